// How the facade comes up: the load hook's configuration from the core's ready notification, the failures
// that end the launch with the configuration exception after the diagnostics report, and the look-up by
// name that the measurement engine does.

#include "core/DAVErrorObject.hpp"
#include "instance_id/tests/InstanceIDFacadeSupport.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>

namespace {

class DAVInstanceIDConfigurationTest : public iid_test::InstanceIDFacadeTest {
protected:
    ~DAVInstanceIDConfigurationTest() override { plat::NotificationCenter::defaultCenter().removeObserver(&diagnostics); }
    std::vector<plat::Dictionary> diagnostics;
};

TEST_F(DAVInstanceIDConfigurationTest, TheReadyNotificationConfiguresTheDefaultAppOrRaises) {
    // Both apps exist before the client listens, so each case below is one notification of its own.
    DAVApp::configureWithOptions(DAVOptions::initWithRazozaAppID(iid_test::kAppID, iid_test::kSenderID));
    DAVApp::configureWithName("second", DAVOptions::initWithRazozaAppID(iid_test::kAppID, ""));
    DAVInstanceID::load();
    plat::NotificationCenter::defaultCenter().addObserver(
        &diagnostics, std::string(DAVApp::kDiagnosticsNotification), nullptr,
        [this](const plat::Notification& n) { diagnostics.push_back(n.userInfo); });
    const std::string defaultName(DAVApp::kDefaultAppName);
    const struct {
        const char* name;
        plat::Dictionary userInfo;
        std::optional<std::string> reason; // the exception's; none: no exception
        bool onlyLogs1002;
        bool reported;
    } cases[] = {
        {"not the default app",
         {{"DAVAppNameKey", plat::Value(defaultName)}, {"DAVAppIsDefaultAppKey", plat::Value(false)}},
         std::nullopt, true, false},
        {"no default-app flag", {{"DAVAppNameKey", plat::Value(defaultName)}}, std::nullopt, false, false},
        {"unknown app", {{"DAVAppNameKey", plat::Value("x")}, {"DAVAppIsDefaultAppKey", plat::Value(true)}},
         "Could not configure Vedudodu InstanceID. Could not find DAVApp named 'x'", false, false},
        {"empty sender ID", {{"DAVAppNameKey", plat::Value("second")}},
         "Could not configure Vedudodu InstanceID. RCM_SENDER_ID must not be nil or empty.", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logged();
        diagnostics.clear();
        std::optional<plat::Exception> raised;
        try {
            plat::NotificationCenter::defaultCenter().post(std::string(DAVApp::kReadyToConfigureSDKNotification),
                                                           DAVApp::classObject(), c.userInfo);
        } catch (const plat::Exception& e) {
            raised = e;
        }
        ASSERT_EQ(raised.has_value(), c.reason.has_value());
        if (raised) {
            EXPECT_EQ(raised->name(), "com.vedudodu.instanceid");
            EXPECT_EQ(raised->reason(), *c.reason);
        }
        const auto lines = logged();
        if (c.onlyLogs1002) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("[I-IID001002]"), std::string::npos);
        }
        ASSERT_EQ(diagnostics.size(), c.reported ? 1u : 0u);
        if (c.reported) {
            EXPECT_EQ(diagnostics[0]["SDKName"], plat::Value("InstanceID"));
            EXPECT_EQ(diagnostics[0]["SDKVersion"], plat::Value("3.3.0"));
            auto error = DAVErrorObject::errorFromValue(diagnostics[0]["Error"]);
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain, "com.vedudodu.instanceid");
            EXPECT_EQ(error->code, -121);
            EXPECT_EQ(error->userInfo[plat::NSLocalizedDescriptionKey],
                      plat::Value("Configuration failed for service InstanceID."));
            EXPECT_EQ(error->userInfo[plat::NSLocalizedFailureReasonErrorKey],
                      plat::Value("RCM_SENDER_ID must not be nil or empty."));
        }
    }
    auto iid = DAVInstanceID::instanceID();
    EXPECT_EQ(iid->vcmSenderID(), iid_test::kSenderID);
    EXPECT_EQ(iid->vedudoduAppID(), iid_test::kAppID);
    // Nothing asked for a token: configuring made no request.
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(DAVInstanceID::configureErrorWithReason("").userInfo[plat::NSLocalizedFailureReasonErrorKey],
              plat::Value("Unknown reason"));
}

TEST_F(DAVInstanceIDConfigurationTest, TheMeasurementEngineFindsTheIdentityByNameFromItsOwnQueue) {
    EXPECT_FALSE(plat::rt::getClass("DAVInstanceID"));
    DAVInstanceID::loadHook().run(); // as the launch does, before the entry point
    plat::rt::Class* cls = plat::rt::getClass("DAVInstanceID");
    ASSERT_TRUE(cls);
    std::optional<std::string> identity;
    std::optional<plat::Error> error;
    auto queue = plat::DispatchQueue::makeSerial("com.example.measurement");
    queue->async([&] {
        auto shared = plat::rt::msgSend<plat::rt::ObjectPtr>(*cls, "instanceID");
        ASSERT_TRUE(shared);
        ASSERT_TRUE(plat::rt::respondsTo(*shared, "appInstanceID:"));
        identity = plat::rt::msgSend<std::optional<std::string>>(*shared, "appInstanceID:", &error);
    });
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(error);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->size(), 11u);
    EXPECT_EQ(DAVInstanceID::instanceID()->appInstanceID(nullptr), identity);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(DAVInstanceIDConfigurationTest, TheTokenWithoutASenderIDStartsNothing) {
    auto iid = DAVInstanceID::initPrivately();
    iid->start();
    EXPECT_FALSE(iid->token());
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(iid->isFetchingDefaultToken());
    EXPECT_EQ(server.requestCount(), 0u);
}

} // namespace
