// The interop connector: reached through the component registry, refusing the client's reserved origins,
// events, parameters and user properties, and marking campaign events with their integration.

#include "core/DAVComponentContainer.hpp"
#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <gtest/gtest.h>

namespace {

namespace rt = plat::rt;
using dms::test::EngineFixture;

class DAVAnalyticsConnectorTest : public EngineFixture {
protected:
    rt::ObjectPtr connectorFromRegistry() {
        DAVComponentContainer container(nullptr, DAVComponentContainer::RegistrantSet{DAVAnalyticsConnector::runtimeClass()});
        auto first = container.instanceForProtocol(DAVAnalyticsConnector::kInteropProtocol);
        auto second = container.instanceForProtocol(DAVAnalyticsConnector::kInteropProtocol);
        EXPECT_TRUE(first);
        EXPECT_NE(first, second); // never kept: a new connector per request
        return first;
    }
};

TEST_F(DAVAnalyticsConnectorTest, EventsFromOtherLibrariesKeepToTheirOwnNames) {
    makeBundle();
    auto connector = connectorFromRegistry();
    ASSERT_TRUE(rt::conformsTo(connector->isa(), DAVAnalyticsConnector::kInteropProtocol));
    dms::test::InternalEventRecorder recorder;
    const std::vector<std::tuple<std::string, std::string, plat::Dictionary>> sent = {
        {"fdl", "_cmp", {}},
        {"other", "_cmp", {}},
        {"app", "_cmp", {}},
        {"fdl", "_f", {}},
        {"fdl", "", {}},
        {"fdl", "_cmp", {{"_dbg", plat::Value(int64_t{1})}}},
        {"vcm", "_cmp", {{"medium", plat::Value("push")}}},
    };
    for (const auto& [origin, name, parameters] : sent) {
        rt::msgSend<void>(connector, "logEventWithOrigin:name:parameters:", origin, name, parameters);
    }
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.events[0].origin, "fdl");
    EXPECT_EQ(recorder.events[0].parameters.find("_cis")->stringValue(), "fdl_integration");
    EXPECT_EQ(recorder.events[1].origin, "other");
    EXPECT_EQ(recorder.events[1].parameters.find("_cis"), nullptr);
    EXPECT_EQ(recorder.events[2].parameters.find("_cis")->stringValue(), "vcm_integration");
    EXPECT_EQ(recorder.events[2].parameters.find("medium")->stringValue(), "push");
    EXPECT_EQ(rt::msgSend<int64_t>(connector, "maxUserProperties:", std::string("fdl")), -1);
}

TEST(DAVConnectorUtilsRules, ReservedUserPropertiesAndPatterns) {
    struct Case {
        const char* name;
        const char* origin;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {"_ln", "vcm", true},       {"_ln", "fiam", true},     {"_ln", "fdl", false},
        {"_id", "vcm", false},      {"_ltv_EUR", "fdl", false}, {"_ltv_eur", "fdl", true},
        {"_ltv_EURO", "fdl", true}, {"_cc3", "fdl", false},    {"_cc6", "fdl", true},
        {"", "fdl", false},         {"_custom", "fdl", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DAVConnectorUtils::isUserPropertyAllowed(c.name, c.origin), c.allowed) << c.name << " " << c.origin;
    }
    for (const char* origin : {"auto", "app", "am"}) {
        EXPECT_FALSE(DAVConnectorUtils::isOriginAllowed(origin)) << origin;
    }
    EXPECT_TRUE(DAVConnectorUtils::isOriginAllowed("fdl"));
    EXPECT_TRUE(DAVConnectorUtils::shouldLogEventWithName("_cmp", {}));
    EXPECT_FALSE(DAVConnectorUtils::shouldLogEventWithName("app_open", {}));
    EXPECT_FALSE(DAVConnectorUtils::shouldLogEventWithName("_cmp", {{"_r", plat::Value(int64_t{1})}}));
}

TEST_F(DAVAnalyticsConnectorTest, UserPropertiesFromOtherLibrariesReachTheControllerUnderTheirOrigin) {
    makeBundle();
    startEngine();
    auto connector = connectorFromRegistry();
    rt::msgSend<void>(connector, "setUserPropertyWithOrigin:name:value:", std::string("vcm"), std::string("_ln"),
                      plat::Value("campaign"));
    rt::msgSend<void>(connector, "setUserPropertyWithOrigin:name:value:", std::string("fdl"), std::string("_ln"),
                      plat::Value("refused"));
    rt::msgSend<void>(connector, "setUserPropertyWithOrigin:name:value:", std::string("app"), std::string("mine"),
                      plat::Value("refused"));
    settle();
    std::optional<plat::Dictionary> properties;
    DMSMeasurement::sharedInstance()->userPropertiesIncludingInternal(true, [&](plat::Dictionary d) { properties = d; });
    settle();
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->find("_ln")->stringValue(), "campaign");
    EXPECT_EQ(properties->find("mine"), nullptr);
}

} // namespace
