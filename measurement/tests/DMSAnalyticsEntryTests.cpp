// The public entry: checks on the caller's thread with their error events, the interceptor and listeners,
// user properties and the user ID, and the ad client's event IDs.

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <gtest/gtest.h>

namespace {

using dms::test::EngineFixture;

class DMSAnalyticsEntryTest : public EngineFixture {};

struct EntryErrorCase {
    const char* what;
    std::function<void()> call;
    int64_t code;
    std::string offending;
};

// Each refused name or value becomes one "_err" event carrying the code and the offending text.
TEST_F(DMSAnalyticsEntryTest, RefusedNamesAndValuesBecomeErrorEvents) {
    const std::string longValue = dms::test::repeated("v", 37);
    const std::vector<EntryErrorCase> cases = {
        {"reserved event name", [] { DMSAnalytics::logEventWithName("first_open", {}); }, 13, "first_open"},
        {"event name starting with a digit", [] { DMSAnalytics::logEventWithName("9lives", {}); }, 2, "9lives"},
        {"user-property value too long",
         [&] { DMSAnalytics::setUserPropertyString(plat::Value(longValue), "color"); }, 7,
         dms::test::repeated("v", 24)},
        {"user-property name with a space",
         [] { DMSAnalytics::setUserPropertyString(plat::Value("red"), "my color"); }, 6, "my color"},
    };
    for (const auto& c : cases) {
        dms::test::InternalEventRecorder recorder;
        c.call();
        ASSERT_EQ(recorder.events.size(), 1u) << c.what;
        const auto& event = recorder.events.front();
        EXPECT_EQ(event.origin, "auto") << c.what;
        EXPECT_EQ(event.name, "_err") << c.what;
        EXPECT_EQ(event.parameters.find("_err")->integerValue(), c.code) << c.what;
        EXPECT_EQ(event.parameters.find("_ev")->stringValue().substr(0, 24), c.offending) << c.what;
    }
}

TEST_F(DMSAnalyticsEntryTest, AUserIDOrPropertyOfTheWrongTypeIsReportedAndSetsNothing) {
    dms::test::InternalEventRecorder recorder;
    DMSAnalytics::setUserID(plat::Value(int64_t{42}));
    DMSAnalytics::setUserPropertyString(plat::Value(int64_t{7}), "color");
    auto userID = firstCall(25004);
    ASSERT_TRUE(userID);
    EXPECT_EQ(userID->level, 0);
    auto property = firstCall(25003);
    ASSERT_TRUE(property);
    EXPECT_EQ(property->level, 0);
    EXPECT_TRUE(recorder.events.empty());
    // Nothing was queued for the controller either.
    EXPECT_EQ(DMSAnalytics::operationQueue()->operationCount(), 0u);
}

TEST_F(DMSAnalyticsEntryTest, OriginsUpToThirtyTwoCharactersAreAccepted) {
    DMSAnalytics::sharedInstance().setInternalUserProperty(plat::Value("v"), "prop", dms::test::repeated("o", 32));
    EXPECT_EQ(countOf(25005), 0u);
    EXPECT_EQ(DMSAnalytics::operationQueue()->operationCount(), 1u);
    DMSAnalytics::sharedInstance().setInternalUserProperty(plat::Value("v"), "prop", dms::test::repeated("o", 33));
    DMSAnalytics::sharedInstance().setInternalUserProperty(plat::Value("v"), "prop", "");
    EXPECT_EQ(countOf(25005), 2u);
    EXPECT_EQ(DMSAnalytics::operationQueue()->operationCount(), 1u);
}

TEST_F(DMSAnalyticsEntryTest, TheAdClientsEventIDBecomesANumberWhenItIsOne) {
    dms::test::InternalEventRecorder recorder;
    DMSAnalytics::sharedInstance().logInternalEventWithOrigin_name_parameters("am", "_ae",
                                                                             {{"_aeid", plat::Value("1234")}});
    DMSAnalytics::sharedInstance().logInternalEventWithOrigin_name_parameters("am", "_ae",
                                                                             {{"_aeid", plat::Value("12a")}});
    // Only the ad client's origin is converted.
    DMSAnalytics::sharedInstance().logInternalEventWithOrigin_name_parameters("vzx", "_ae",
                                                                             {{"_aeid", plat::Value("55")}});
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.events[0].parameters.find("_aeid")->kind(), plat::Value::Kind::Int);
    EXPECT_EQ(recorder.events[0].parameters.find("_aeid")->integerValue(), 1234);
    EXPECT_EQ(recorder.events[1].parameters.find("_aeid")->stringValue(), "12a");
    EXPECT_EQ(recorder.events[2].parameters.find("_aeid")->stringValue(), "55");
    EXPECT_EQ(countOf(25023), 2u);
    EXPECT_EQ(countOf(25024), 1u);
}

// After start: the interceptor takes public events only; listeners hear internal ones, never the ad client's.
TEST_F(DMSAnalyticsEntryTest, TheInterceptorTakesPublicEventsAndListenersHearTheRest) {
    makeBundle();
    startEngine();
    std::vector<std::string> intercepted;
    std::vector<std::string> heard;
    DMSAnalytics::setLogEventInterceptor(
        [&](const std::string& origin, const std::string& name, const plat::Dictionary&, double) {
            intercepted.push_back(origin + "/" + name);
        });
    auto token = DMSAnalytics::addLogEventListener([&](const DMSEvent& event) { heard.push_back(event.name()); });
    ASSERT_TRUE(token);
    DMSAnalytics::logEventWithName("shop", {{"item", plat::Value("book")}});
    DMSAnalytics::logInternalEventWithOrigin("vzx", "_ae", {});
    DMSAnalytics::logInternalEventWithOrigin("am", "_ai", {});
    settle();
    EXPECT_EQ(intercepted, std::vector<std::string>{"app/shop"});
    EXPECT_EQ(heard, std::vector<std::string>{"_ae"});

    DMSAnalytics::removeLogEventListener(token);
    settle();
    EXPECT_EQ(countOf(25015), 0u);
    DMSAnalytics::removeLogEventListener(token);
    DMSAnalytics::removeLogEventListener(nullptr);
    settle();
    EXPECT_EQ(countOf(25015), 1u);
    EXPECT_EQ(countOf(25013), 1u);
    EXPECT_FALSE(DMSAnalytics::addLogEventListener(nullptr));
    EXPECT_EQ(countOf(25012), 1u);
}

TEST_F(DMSAnalyticsEntryTest, WithCollectionOffEventsStillReachTheControllerButNoListener) {
    makeBundle();
    startEngine({{DMSAnalytics::kOptionCollectionEnabled, plat::Value(false)}});
    std::vector<std::string> heard;
    DMSAnalytics::addLogEventListener([&](const DMSEvent& event) { heard.push_back(event.name()); });
    DMSAnalytics::logInternalEventWithOrigin("vzx", "_ae", {});
    settle();
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(countOf(23049), 1u);
}

} // namespace
