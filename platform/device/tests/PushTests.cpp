// Remote notifications and taps as the device routes them per OS version and app state, and the prompts and
// device facts that boot hands to uikit and the notification centre.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/device/Boot.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/CompletionCheck.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIDevice.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

std::vector<std::string>& events() {
    static std::vector<std::string> list;
    return list;
}

std::string stateText() {
    return std::to_string(static_cast<int>(UIApplication::sharedApplication()->applicationState()));
}

std::string idOf(const Value& userInfo) {
    return userInfo["id"].stringValue();
}

std::string idOf(const rt::ObjectPtr& notification) {
    return idOf(std::dynamic_pointer_cast<UNNotification>(notification)->userInfo());
}

Value payload(const std::string& id, bool contentAvailable, bool alert = true) {
    Dictionary aps;
    if (alert)
        aps.set("alert", Value("hello " + id));
    if (contentAvailable)
        aps.set("content-available", Value(1));
    return Value(Dictionary{{"aps", Value(std::move(aps))}, {"id", Value(id)}});
}

// An app delegate that is also the centre's delegate (as apps make it in their launch), logging what reaches
// it with the application state at that moment.
void registerDelegateClass() {
    rt::Class* cls = rt::registerClass("PushAppDelegate", rt::rootClass(),
                                       {"UIApplicationDelegate", UNUserNotificationCenterDelegateProtocol});
    rt::addMethod(
        cls,
        "application:didFinishLaunchingWithOptions:", [](rt::Object& self, rt::ObjectPtr, Value options) {
            if (const Value* push = options.find(UIApplicationLaunchOptionsRemoteNotificationKey))
                events().push_back("launch " + idOf(*push));
            UNUserNotificationCenter::currentNotificationCenter()->setDelegate(self.shared_from_this());
            return true;
        });
    rt::addMethod(cls, "application:didReceiveRemoteNotification:fetchCompletionHandler:",
                  [](rt::Object&, rt::ObjectPtr, Value userInfo, FetchCompletionHandler done) {
                      events().push_back("fetch " + idOf(userInfo) + " state=" + stateText());
                      done(UIBackgroundFetchResult::newData);
                  });
    rt::addMethod(
        cls,
        "application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:",
        [](rt::Object&, rt::ObjectPtr, std::string action, Value userInfo, Value info,
           std::function<void()> done) {
            events().push_back("action " + action + " " + idOf(userInfo) +
                               " text=" + info[UIUserNotificationActionResponseTypedTextKey].stringValue() +
                               " state=" + stateText());
            done();
        });
    rt::addMethod(cls, kWillPresentNotificationSelector,
                  [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr n, UNPresentationHandler done) {
                      events().push_back("present " + idOf(n));
                      done(7);
                  });
    rt::addMethod(cls, kDidReceiveNotificationResponseSelector,
                  [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr r, std::function<void()> done) {
                      std::string line = "response " + r->valueForKey("actionIdentifier").stringValue() +
                                         " " + idOf(r->valueForKey("notification").asObject());
                      if (rt::isKindOf(*r, rt::getClass("UNTextInputNotificationResponse")))
                          line += " text=" + r->valueForKey("userText").stringValue();
                      events().push_back(line);
                      done();
                  });
}

class DevicePush : public ::testing::Test {
protected:
    void bootAs(const std::string& os) {
        DeviceConfig config;
        config.appHome = temp.home();
        config.osVersion = os;
        ASSERT_TRUE(boot(config).ok());
        registerDelegateClass();
        events().clear();
    }
    void launch() {
        sim::App::launch("PushAppDelegate", sim::App::launchOptions());
        Virtual::runUntilIdle();
    }
    test::TempAppHome temp;
};

TEST_F(DevicePush, DeliveryFollowsTheOsVersionAndTheAppState) {
    bootAs("12.4");
    launch();
    enum class In { front, background };
    struct Case {
        const char* os;
        In state;
        bool contentAvailable;
        bool alert;
        std::vector<std::string> expected;
        bool listed; // OS 10 and later: in the centre's delivered list afterwards
    };
    const Case cases[] = {
        {"12.4", In::front, false, true, {"present p"}, true},
        {"12.4", In::front, true, true, {"present p", "fetch p state=0"}, true},
        {"12.4", In::background, false, true, {}, true},
        {"12.4", In::background, true, false, {"fetch p state=2"}, false},
        {"12.4", In::background, true, true, {"fetch p state=2"}, true},
        {"10.0", In::front, false, true, {"present p"}, true},
        {"9.3", In::front, false, true, {"fetch p state=0"}, false},
        {"9.3", In::background, false, true, {}, false},
        {"9.3", In::background, true, false, {"fetch p state=2"}, false},
        {"8.0", In::front, true, true, {"fetch p state=0"}, false},
    };
    size_t fetches = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.os) + (c.state == In::front ? " front" : " background") +
                     (c.contentAvailable ? " content-available" : "") + (c.alert ? " alert" : ""));
        ASSERT_TRUE(sim::Device::setOsVersion(c.os).ok());
        if (c.state == In::front)
            sim::App::enterForeground();
        else
            sim::App::enterBackground();
        events().clear();
        UNUserNotificationCenter::currentNotificationCenter()->removeAllDeliveredNotifications();
        const std::string id = sim::Device::receivePush(payload("p", c.contentAvailable, c.alert));
        Virtual::runUntilIdle();
        EXPECT_EQ(events(), c.expected);
        EXPECT_EQ(sim::Notifications::deliveredNotification(id) != nullptr, c.listed);
        for (const auto& e : c.expected)
            fetches += e.rfind("fetch", 0) == 0;
    }
    EXPECT_EQ(sim::App::recorder().fetchResults().size(), fetches) << "every fetch result is recorded";
}

Value badgedPayload(int64_t badge, bool alert) {
    Dictionary aps{{"badge", Value(badge)}};
    if (alert)
        aps.set("alert", Value("you have mail"));
    return Value(Dictionary{{"aps", Value(std::move(aps))}, {"id", Value("badged")}});
}

// A push's badge goes on the icon when the user allows badges: at OS 10 and later by the centre's settings (in
// front only when the delegate presents it with the badge option), before that by the registered types.
TEST_F(DevicePush, APushsBadgeGoesOnTheIconWhenBadgesAreAllowed) {
    bootAs("12.4");
    launch();
    auto app = UIApplication::sharedApplication();
    struct Case {
        bool front;
        uint64_t granted;
        bool alert;
        int64_t expected;
    };
    const Case cases[] = {
        {false, 7, true, 3},  {false, 7, false, 3}, {false, 4, true, 0},
        {true, 7, true, 3},   {true, 4, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.front ? "front" : "background") + " granted " + std::to_string(c.granted) +
                     (c.alert ? " alert" : " badge only"));
        sim::Notifications::setAuthorizationStatus(UNAuthorizationStatus::authorized, c.granted);
        if (c.front)
            sim::App::enterForeground();
        else
            sim::App::enterBackground();
        app->setApplicationIconBadgeNumber(0);
        sim::Device::receivePush(badgedPayload(3, c.alert));
        Virtual::runUntilIdle();
        EXPECT_EQ(app->applicationIconBadgeNumber(), c.expected);
    }

    ASSERT_TRUE(sim::Device::setOsVersion("9.3").ok());
    sim::Device::answerLegacyTypes(UIUserNotificationTypeAlert | UIUserNotificationTypeBadge);
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(7, {}));
    Virtual::runUntilIdle();
    sim::App::enterBackground();
    app->setApplicationIconBadgeNumber(0);
    sim::Device::receivePush(badgedPayload(5, true));
    EXPECT_EQ(app->applicationIconBadgeNumber(), 5);
    sim::App::enterForeground();
    app->setApplicationIconBadgeNumber(0);
    sim::Device::receivePush(badgedPayload(6, true));
    Virtual::runUntilIdle();
    EXPECT_EQ(app->applicationIconBadgeNumber(), 0) << "in front the app handles the push itself";
}

TEST_F(DevicePush, TapsAtOs12ReachTheCentresDelegate) {
    bootAs("12.4");
    launch();
    sim::App::enterBackground();
    events().clear();
    const std::string first = sim::Device::receivePush(payload("a", false));
    const std::string second = sim::Device::receivePush(payload("b", false));
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(sim::Device::tapNotification(first));
    EXPECT_TRUE(sim::Device::tapNotification(second, "reply", std::string("see you")));
    EXPECT_FALSE(sim::Device::tapNotification(first)) << "a tapped notification is gone";
    EXPECT_FALSE(sim::Device::tapNotification("unknown"));
    EXPECT_EQ(events(), (std::vector<std::string>{std::string("response ") +
                                                      UNNotificationDefaultActionIdentifier + " a",
                                                  "response reply b text=see you"}));
    auto tapped = sim::Device::tapPush(payload("c", false));
    EXPECT_TRUE(tapped);
    EXPECT_EQ(events().back(), std::string("response ") + UNNotificationDefaultActionIdentifier + " c");
}

TEST_F(DevicePush, TapsAtOs9ReachTheAppDelegateWhileInactive) {
    bootAs("9.3");
    launch();
    sim::App::enterBackground();
    events().clear();
    const std::string plain = sim::Device::receivePush(payload("a", false));
    const std::string action = sim::Device::receivePush(payload("b", false));
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(sim::Device::tapNotification(plain));
    EXPECT_EQ(UIApplication::sharedApplication()->applicationState(), UIApplicationState::active)
        << "the tap brought the app to the front";
    sim::App::enterBackground();
    EXPECT_TRUE(sim::Device::tapNotification(action, "reply", std::string("typed")));
    EXPECT_FALSE(sim::Device::tapNotification(plain));
    // Tapped in the notification list while the app was in front: it resigns for the tap.
    EXPECT_TRUE(sim::Device::tapPush(payload("c", false)));
    EXPECT_EQ(events(), (std::vector<std::string>{"fetch a state=1", "action reply b text=typed state=1",
                                                  "fetch c state=1"}));
    EXPECT_EQ(UIApplication::sharedApplication()->applicationState(), UIApplicationState::active);
}

TEST_F(DevicePush, ATapAtOs9LaunchesAnAppThatIsNotRunningWithTheNotification) {
    bootAs("9.3");
    const std::string id = sim::Device::receivePush(payload("cold", false));
    EXPECT_TRUE(sim::Device::tapNotification(id));
    EXPECT_TRUE(events().empty());
    launch();
    EXPECT_EQ(events(), (std::vector<std::string>{"launch cold"}));
}

TEST_F(DevicePush, ATapAtOs12LaunchesTheAppAndThenTellsTheCentresDelegate) {
    bootAs("12.4");
    const std::string id = sim::Device::receivePush(payload("cold", false));
    EXPECT_TRUE(sim::Device::tapNotification(id, "open"));
    EXPECT_TRUE(events().empty());
    launch();
    EXPECT_EQ(events(), (std::vector<std::string>{"launch cold", "response open cold"}));
    sim::App::enterBackground();
    sim::App::enterForeground();
    Virtual::runUntilIdle();
    EXPECT_EQ(events().size(), 2u) << "told once";
}

TEST_F(DevicePush, BootAnswersTheLegacyPromptFromTheDevicesAnswers) {
    bootAs("9.3");
    sim::Device::answerLegacyTypes(UIUserNotificationTypeAlert);
    auto app = UIApplication::sharedApplication();
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(7, {}));
    Virtual::runUntilIdle();
    EXPECT_EQ(app->currentUserNotificationSettings().types, UIUserNotificationTypeAlert);
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(7, {}));
    Virtual::runUntilIdle();
    auto prompts = sim::Device::prompts();
    ASSERT_EQ(prompts.size(), 1u) << "the user is asked once";
    EXPECT_EQ(prompts[0].kind, PromptKind::legacyNotifications);
    EXPECT_EQ(prompts[0].options, 7u);
}

TEST_F(DevicePush, TheCentresPromptIsAnsweredFromTheDevicesAnswersAndRecorded) {
    bootAs("12.4");
    sim::Device::answerNotifications(false, Error(UNErrorDomain, UNErrorCodeNotificationsNotAllowed), 2);
    std::optional<bool> granted;
    std::optional<Error> error;
    UNUserNotificationCenter::currentNotificationCenter()->requestAuthorizationWithOptions(
        7 | 32, [&](bool g, std::optional<Error> e) {
            granted = g;
            error = e;
        });
    Virtual::advanceBy(1);
    EXPECT_FALSE(granted);
    Virtual::advanceBy(1.5);
    EXPECT_EQ(granted, false);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, UNErrorCodeNotificationsNotAllowed);
    auto prompts = sim::Device::prompts();
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].kind, PromptKind::notifications);
    EXPECT_EQ(prompts[0].options, 39u);
}

TEST(DeviceFacts, ABootedDeviceAnswersUIDeviceAndUIScreen) {
    test::TempAppHome temp;
    DeviceConfig config;
    config.appHome = temp.home();
    config.osVersion = "11.2.5";
    config.systemName = "TestOS";
    config.model = "TestPad";
    config.name = "Lab device";
    config.idiom = UIUserInterfaceIdiom::pad;
    config.screen = ScreenInfo{768, 1024, 2};
    config.orientation = UIInterfaceOrientation::landscapeLeft;
    ASSERT_TRUE(boot(config).ok());
    const UIDevice& device = UIDevice::currentDevice();
    EXPECT_EQ(device.systemName(), "TestOS");
    EXPECT_EQ(device.systemVersion(), "11.2.5");
    EXPECT_EQ(device.model(), "TestPad");
    EXPECT_EQ(device.name(), "Lab device");
    EXPECT_EQ(device.userInterfaceIdiom(), UIUserInterfaceIdiomPad);
    EXPECT_EQ(device.identifierForVendor(), DeviceProfile::identifierForVendor());
    EXPECT_EQ(device.orientation(), UIDeviceOrientation::landscapeRight)
        << "the interface turned left means the device turned right";
    EXPECT_EQ(UIScreen::mainScreen().bounds(), (CGRect{{0, 0}, {1024, 768}}))
        << "the screen's bounds follow the interface orientation it boots in";
    EXPECT_EQ(UIScreen::mainScreen().scale(), 2);

    sim::Device::rotate(UIInterfaceOrientation::portrait);
    ASSERT_TRUE(sim::Device::setOsVersion("12.1").ok());
    EXPECT_EQ(device.orientation(), UIDeviceOrientation::portrait);
    EXPECT_EQ(device.systemVersion(), "12.1");
}

} // namespace
} // namespace plat
