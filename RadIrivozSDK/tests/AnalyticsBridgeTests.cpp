// The analytics bridge over a stand-in "DAVAnalytics" class that records the events it is sent: the switch
// from the remote parameters kept in the app group, the campaign text, and the received, opened and
// influenced-session events.

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozNotificationServiceExtensionHandler.hpp"
#include "RadIrivozSDK/Source/RadIrivozTrackVedudoduAnalytics.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"

namespace {

using namespace push::test;
using plat::Virtual;

struct BridgeEvent {
    std::string name;
    plat::Dictionary parameters;
};

std::vector<BridgeEvent>& bridgeEvents() {
    static std::vector<BridgeEvent> events;
    return events;
}

void registerBridgeAnalyticsStub() {
    plat::rt::Class* cls = plat::rt::registerClass("DAVAnalytics");
    plat::rt::replaceMethod(plat::rt::metaclass(cls), "logEventWithName:parameters:",
                            [](plat::rt::Object&, std::string name, plat::Dictionary parameters) {
                                bridgeEvents().push_back({std::move(name), std::move(parameters)});
                            });
}

std::vector<std::string> bridgeEventNames() {
    std::vector<std::string> names;
    for (const auto& event : bridgeEvents()) {
        names.push_back(event.name);
    }
    return names;
}

plat::Dictionary bridgePush(const std::string& id, const std::string& title) {
    return plat::Dictionary{
        {"aps", plat::Value(plat::Dictionary{{"alert", plat::Value(plat::Dictionary{{"title", plat::Value(title)},
                                                                                     {"body", plat::Value("b")}})}})},
        {"custom", plat::Value(plat::Dictionary{{"i", plat::Value(id)}})}};
}

class AnalyticsBridgeTest : public PushDeviceTest {
protected:
    void launch(bool withAnalytics = true) {
        if (withAnalytics) {
            registerBridgeAnalyticsStub();
        }
        boot("12.4");
        setDelegate(makeDelegateClass("BridgeAppDelegate", {}));
        ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
        net->route("", apiURL(""), plat::ScriptedReply::text(200, R"({"success":true,"id":"player-1"})"));
    }
    static plat::UserDefaults group() { return plat::UserDefaults(RadIrivozExtensionBadgeHandler::appGroupName()); }
    static void receive(const plat::Dictionary& push) {
        auto notification = plat::sim::Notifications::makeRemoteNotification(plat::Value(push));
        ASSERT_TRUE(RadIrivoz::didReceiveNotificationExtensionRequest(notification->request(), nullptr));
    }
};

TEST(RadIrivozCampaign, TemplateElseAtMostTenUnitsOfTheTitleNeverHalfACharacter) {
    struct Case {
        plat::Dictionary custom;
        std::optional<std::string> title;
        std::string campaign;
    };
    const Case cases[] = {
        {{{"i", plat::Value("1")}}, "A title of 25 characters.", "A title of"},
        {{{"i", plat::Value("1")}}, "Four", "Four"},
        {{{"i", plat::Value("1")}}, std::nullopt, ""},
        {{{"i", plat::Value("1")}, {"tn", plat::Value("Spring")}, {"ti", plat::Value("t-7")}}, "Ignored title",
         "Spring - t-7"},
        // Nine single units, then a character of two: it does not fit whole, so it is left out.
        {{{"i", plat::Value("1")}}, "123456789\xF0\x9F\x98\x80xyz", "123456789"},
        {{{"i", plat::Value("1")}}, "12345678\xF0\x9F\x98\x80xyz", "12345678\xF0\x9F\x98\x80"},
        {{{"i", plat::Value("1")}}, "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6",
         "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4"},
    };
    for (const Case& c : cases) {
        plat::Dictionary aps;
        if (c.title) {
            aps.set("alert", plat::Value(plat::Dictionary{{"title", plat::Value(*c.title)}, {"body", plat::Value("b")}}));
        } else {
            aps.set("alert", plat::Value("body only"));
        }
        RINotificationPayload payload(plat::Dictionary{{"aps", plat::Value(aps)}, {"custom", plat::Value(c.custom)}});
        EXPECT_EQ(RadIrivozTrackVedudoduAnalytics::getCampaignNameFromPayload(payload), c.campaign)
            << c.title.value_or("(none)");
    }
}

TEST_F(AnalyticsBridgeTest, TheParametersSwitchTrackingByThePresenceOfTheirKey) {
    launch();
    EXPECT_TRUE(RadIrivozTrackVedudoduAnalytics::needsRemoteParams());
    net->route("GET", apiURL("apps/"), plat::ScriptedReply::text(200, R"({"fba":false})"));
    RadIrivoz::downloadIOSParamsWithAppId(std::string(radirivoz_test::kAppId));
    Virtual::runUntilIdle();
    EXPECT_TRUE(group().boolean("RI_ENABLE_VEDUDODU_ANALYTICS")) << "presence decides, not the value";
    receive(bridgePush("n-1", "Hello"));
    ASSERT_EQ(bridgeEventNames(), std::vector<std::string>{"os_notification_received"});
    EXPECT_EQ(plat::Value(bridgeEvents().front().parameters),
              plat::Value(plat::Dictionary{{"source", plat::Value("RadIrivoz")},
                                           {"medium", plat::Value("notification")},
                                           {"notification_id", plat::Value("n-1")},
                                           {"campaign", plat::Value("Hello")}}));
    EXPECT_EQ(group().string("RI_LAST_RECIEVED_NOTIFICATION_ID"), "n-1");
    EXPECT_EQ(group().string("RI_LAST_RECIEVED_GAF_CAMPAIGN"), "Hello");

    RadIrivozTrackVedudoduAnalytics::updateFromDownloadParams({});
    EXPECT_FALSE(group().object("RI_ENABLE_VEDUDODU_ANALYTICS"));
    receive(bridgePush("n-2", "Again"));
    EXPECT_EQ(bridgeEvents().size(), 1u) << "tracking is off";
}

TEST_F(AnalyticsBridgeTest, AFreshExtensionProcessLoadsTheSwitchTheAppStored) {
    launch();
    group().setBool("RI_ENABLE_VEDUDODU_ANALYTICS", true);
    // No start-up ran in this process: the received event still finds the switch.
    receive(bridgePush("n-1", "Hello"));
    EXPECT_EQ(bridgeEventNames(), std::vector<std::string>{"os_notification_received"});
    EXPECT_GT(group().doubleValue("RI_LAST_RECIEVED_TIME"), 0);
}

TEST_F(AnalyticsBridgeTest, ASessionSoonAfterANotificationCameCountsAsInfluencedUnlessOneWasJustOpened) {
    launch();
    RadIrivozTrackVedudoduAnalytics::updateFromDownloadParams({{"fba", plat::Value(true)}});
    receive(bridgePush("n-1", "Hello"));
    bridgeEvents().clear();

    // The registration of a new session asks; 60 s after the notification came it counts.
    Virtual::advanceBy(60);
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    ASSERT_EQ(bridgeEventNames(), std::vector<std::string>{"os_notification_influence_open"});
    EXPECT_EQ(plat::Value(bridgeEvents().front().parameters)["notification_id"], plat::Value("n-1"));
    EXPECT_EQ(plat::Value(bridgeEvents().front().parameters)["campaign"], plat::Value("Hello"));
    RadIrivozTrackVedudoduAnalytics::trackInfluenceOpenEvent();
    EXPECT_EQ(bridgeEvents().size(), 2u) << "the receipt is not used up";

    Virtual::advanceBy(61);
    RadIrivozTrackVedudoduAnalytics::trackInfluenceOpenEvent();
    EXPECT_EQ(bridgeEvents().size(), 2u) << "121 s after it came";

    // An open of a notification makes the next 30 s no influenced session.
    receive(bridgePush("n-2", "Second"));
    RadIrivozHelper::lastMessageReceived(bridgePush("n-2", "Second"));
    RadIrivozHelper::handleNotificationAction(RIOpenedActionType::RIOpenedActionBody, std::nullopt,
                                              RIInFocusDisplayType::RIInFocusDisplayNotification);
    EXPECT_EQ(bridgeEvents().back().name, "os_notification_opened");
    EXPECT_EQ(plat::Value(bridgeEvents().back().parameters)["notification_id"], plat::Value("n-2"));
    const size_t before = bridgeEvents().size();
    Virtual::advanceBy(10);
    RadIrivozTrackVedudoduAnalytics::trackInfluenceOpenEvent();
    EXPECT_EQ(bridgeEvents().size(), before);
    Virtual::advanceBy(21);
    RadIrivozTrackVedudoduAnalytics::trackInfluenceOpenEvent();
    EXPECT_EQ(bridgeEvents().back().name, "os_notification_influence_open");
}

TEST_F(AnalyticsBridgeTest, WithoutTheAnalyticsClassNothingIsAskedOrLogged) {
    launch(false);
    EXPECT_FALSE(RadIrivozTrackVedudoduAnalytics::needsRemoteParams());
    RadIrivozTrackVedudoduAnalytics::updateFromDownloadParams({{"fba", plat::Value(1)}});
    receive(bridgePush("n-1", "Hello"));
    EXPECT_TRUE(bridgeEvents().empty());
    EXPECT_EQ(group().string("RI_LAST_RECIEVED_NOTIFICATION_ID"), "n-1") << "the receipt is kept all the same";
}

} // namespace
