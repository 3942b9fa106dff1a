// Handlers handed to the app are checked to be called exactly once; notification delivery and actions of OS 9
// and earlier; legacy settings registration with the user's answer, local notifications; background URL
// session events reaching both the app delegate and the session.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/CompletionCheck.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"

namespace plat {
namespace {

std::vector<std::string>& notificationEvents() {
    static std::vector<std::string> list;
    return list;
}

class UIKitNotifications : public ::testing::Test {
protected:
    void SetUp() override {
        notificationEvents().clear();
        sim::App::recorder().reset();
        delegateClass = rt::registerClass("NotifyDelegate", rt::rootClass(), {"UIApplicationDelegate"});
    }
    rt::Class* delegateClass = nullptr;
};

bool hasProblem(const std::string& needle) {
    for (const auto& p : sim::CompletionHandlers::problems()) {
        if (p.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(UIKitCompletionCheck, EachMisuseIsReportedAndTheHandlerRunsOnlyOnce) {
    int runs = 0;
    auto once = sim::CompletionHandlers::wrap("once", std::function<void(int)>([&](int) { ++runs; }));
    auto twice = sim::CompletionHandlers::wrap("twice", std::function<void(int)>([&](int) { ++runs; }));
    auto pending = sim::CompletionHandlers::wrap("pending", std::function<void()>());
    { auto dropped = sim::CompletionHandlers::wrap("dropped", std::function<void()>()); }
    once(1);
    twice(1);
    twice(2);
    EXPECT_EQ(runs, 2);

    EXPECT_FALSE(hasProblem("of once "));
    EXPECT_TRUE(hasProblem("of twice was called more than once"));
    EXPECT_TRUE(hasProblem("of dropped was released without being called"));
    EXPECT_TRUE(hasProblem("of pending was never called"));
    EXPECT_EQ(sim::CompletionHandlers::records().size(), 4u);

    // After a reset the old handler still works but is no longer reported.
    sim::CompletionHandlers::reset();
    pending();
    pending();
    EXPECT_TRUE(sim::CompletionHandlers::problems().empty());
}

TEST(UIKitCompletionCheckDeathTest, AHandlerNeverCalledFailsTheTestProgramAtExit) {
    ASSERT_TRUE(Backend::isVirtual());
    EXPECT_EXIT(
        {
            static auto kept = sim::CompletionHandlers::wrap("kept", std::function<void()>());
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "completion handler misuse: completion handler of kept was");
}

TEST_F(UIKitNotifications, FetchCompletionIsRecordedOnceAndAPlainDelegateIsTheFallback) {
    rt::addMethod(delegateClass, "application:didReceiveRemoteNotification:fetchCompletionHandler:",
                  [](rt::Object&, rt::ObjectPtr, Value userInfo, FetchCompletionHandler done) {
                      notificationEvents().push_back("fetch " + userInfo["id"].stringValue());
                      DispatchQueue::main()->async([done] {
                          done(UIBackgroundFetchResult::newData);
                          done(UIBackgroundFetchResult::failed); // misuse: ignored, reported
                      });
                  });
    sim::App::launch("NotifyDelegate");
    std::vector<UIBackgroundFetchResult> seen;
    EXPECT_TRUE(sim::App::receiveRemoteNotification(Value(Dictionary{{"id", Value("7")}}),
                                                    [&](UIBackgroundFetchResult r) { seen.push_back(r); }));
    EXPECT_TRUE(seen.empty());
    Virtual::runUntilIdle();
    EXPECT_EQ(seen, (std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::newData}));
    EXPECT_EQ(sim::App::recorder().fetchResults(), seen);
    EXPECT_TRUE(hasProblem("fetchCompletionHandler: was called more than once"));
    sim::CompletionHandlers::reset();

    rt::Class* plain = rt::registerClass("PlainDelegate", rt::rootClass(), {});
    rt::addMethod(plain, "application:didReceiveRemoteNotification:", [](rt::Object&, rt::ObjectPtr, Value) {
        notificationEvents().push_back("plain");
    });
    auto app = UIApplication::sharedApplication();
    app->setDelegate(rt::createInstance(plain));
    EXPECT_TRUE(sim::App::receiveRemoteNotification(Value(Dictionary{})));
    app->setDelegate(rt::createInstance(rt::registerClass("SilentDelegate", rt::rootClass(), {})));
    EXPECT_FALSE(sim::App::receiveRemoteNotification(Value(Dictionary{})));
    EXPECT_EQ(notificationEvents(), (std::vector<std::string>{"fetch 7", "plain"}));
    EXPECT_TRUE(sim::CompletionHandlers::problems().empty());
}

TEST_F(UIKitNotifications, ActionsPreferTheResponseInfoFormAndTheirHandlersAreChecked) {
    rt::addMethod(delegateClass,
                  "application:handleActionWithIdentifier:forRemoteNotification:completionHandler:",
                  [](rt::Object&, rt::ObjectPtr, std::string id, Value, std::function<void()> done) {
                      notificationEvents().push_back("remote " + id);
                      done();
                  });
    rt::addMethod(
        delegateClass,
        "application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:",
        [](rt::Object&, rt::ObjectPtr, std::string id, Value userInfo, Value info,
           std::function<void()> done) {
            notificationEvents().push_back("remote+info " + id + " " + userInfo["k"].stringValue() + " " +
                               (info.isDictionary() ? "dict" : "other"));
            done();
        });
    rt::addMethod(
        delegateClass, "application:handleActionWithIdentifier:forLocalNotification:completionHandler:",
        [](rt::Object&, rt::ObjectPtr, std::string id, UILocalNotification n, std::function<void()>) {
            notificationEvents().push_back("local " + id + " " + n.alertBody); // never completes
        });
    sim::App::launch("NotifyDelegate");
    int done = 0;
    EXPECT_TRUE(sim::App::handleActionForRemoteNotification("reply", Value(Dictionary{{"k", Value("v")}}), {},
                                                            [&] { ++done; }));
    UILocalNotification note;
    note.alertBody = "hello";
    EXPECT_TRUE(sim::App::handleActionForLocalNotification("open", note, {}, [&] { ++done; }));
    EXPECT_EQ(notificationEvents(), (std::vector<std::string>{"remote+info reply v dict", "local open hello"}));
    EXPECT_EQ(done, 1);
    // The local handler was dropped uncalled by the app.
    EXPECT_TRUE(hasProblem("forLocalNotification:completionHandler: was released without being called"));
    sim::CompletionHandlers::reset();
}

TEST_F(UIKitNotifications, SettingsAreAnsweredLaterWithWhatTheUserAllowed) {
    std::vector<uint64_t> answered;
    rt::addMethod(delegateClass, "application:didRegisterUserNotificationSettings:",
                  [&answered](rt::Object&, rt::ObjectPtr, UIUserNotificationSettings s) {
                      answered.push_back(s.types);
                      notificationEvents().push_back("category " +
                                         (s.categories.empty() ? "" : s.categories[0].identifier));
                  });
    auto app = sim::App::launch("NotifyDelegate");
    EXPECT_EQ(app->currentUserNotificationSettings().types, UIUserNotificationTypeNone);

    UIMutableUserNotificationCategory category{"reply", {}};
    category.setActions({{"ok", "OK", UIUserNotificationActivationMode::foreground, false, false}},
                        UIUserNotificationActionContext::defaultContext);
    const uint64_t all =
        UIUserNotificationTypeBadge | UIUserNotificationTypeSound | UIUserNotificationTypeAlert;
    // No prompt installed: everything asked for is allowed.
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(all, {category}));
    EXPECT_TRUE(answered.empty()) << "the answer comes later, on the main queue";
    Virtual::runUntilIdle();

    // The user allows alerts and badges only; a type not asked for is never granted.
    sim::App::setLegacyNotificationPrompt([](uint64_t) {
        return UIUserNotificationTypeAlert | UIUserNotificationTypeBadge |
               UIRemoteNotificationTypeNewsstandContentAvailability;
    });
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(
        UIUserNotificationTypeAlert | UIUserNotificationTypeSound, {category}));
    Virtual::runUntilIdle();
    sim::App::setLegacyNotificationPrompt([](uint64_t) { return UIUserNotificationTypeNone; });
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(all, {}));
    Virtual::runUntilIdle();

    EXPECT_EQ(answered,
              (std::vector<uint64_t>{all, UIUserNotificationTypeAlert, UIUserNotificationTypeNone}));
    EXPECT_EQ(notificationEvents(), (std::vector<std::string>{"category reply", "category reply", "category "}));
    EXPECT_EQ(app->currentUserNotificationSettings().types, UIUserNotificationTypeNone);
    auto records = sim::App::recorder().settingsRegistrations();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].requestedTypes, UIUserNotificationTypeAlert | UIUserNotificationTypeSound);
    EXPECT_EQ(records[1].granted.types, UIUserNotificationTypeAlert);
    EXPECT_EQ(records[1]
                  .granted.categories.at(0)
                  .actionsForContext(UIUserNotificationActionContext::defaultContext)
                  .at(0)
                  .identifier,
              "ok");
}

TEST_F(UIKitNotifications, TheOSProfileCanTakeSettingsRegistrationAway) {
    auto app = sim::App::launch("NotifyDelegate");
    rt::Class* cls = UIApplication::runtimeClass();
    EXPECT_TRUE(rt::instancesRespondTo(cls, "registerUserNotificationSettings:"));
    EXPECT_TRUE(rt::instancesRespondTo(cls, "currentUserNotificationSettings"));
    rt::replaceMethod(cls, rt::sel("registerUserNotificationSettings:"), rt::Imp());
    EXPECT_THROW(app->registerUserNotificationSettings({}), Exception);
}

TEST_F(UIKitNotifications, LocalNotificationsAreRecordedAndCancelled) {
    rt::addMethod(delegateClass, "application:didReceiveLocalNotification:",
                  [](rt::Object&, rt::ObjectPtr, UILocalNotification n) {
                      notificationEvents().push_back("received " + n.alertBody);
                  });
    auto app = sim::App::launch("NotifyDelegate");
    UILocalNotification first;
    first.alertBody = "one";
    first.userInfo = Value(Dictionary{{"id", Value(1)}});
    UILocalNotification second;
    second.alertBody = "two";
    second.soundName = "";
    app->scheduleLocalNotification(first);
    app->scheduleLocalNotification(second);
    EXPECT_EQ(app->scheduledLocalNotifications().size(), 2u);
    app->cancelAllLocalNotifications();
    EXPECT_TRUE(app->scheduledLocalNotifications().empty());

    auto scheduled = sim::App::recorder().localNotificationsScheduled();
    ASSERT_EQ(scheduled.size(), 2u);
    EXPECT_EQ(scheduled[0].soundName, UILocalNotificationDefaultSoundName);
    EXPECT_EQ(scheduled[0].userInfo["id"].integerValue(), 1);
    EXPECT_EQ(scheduled[1].alertBody, "two");
    EXPECT_EQ(sim::App::recorder().localNotificationCancels(), 1);
    EXPECT_TRUE(sim::App::receiveLocalNotification(first));
    EXPECT_EQ(notificationEvents(), (std::vector<std::string>{"received one"}));
}

class BackgroundDelegate : public URLSessionDelegate {
public:
    bool respondsTo(std::string_view selector) const override {
        return selector == URLSessionSelector::didFinishEventsForBackgroundURLSession;
    }
    void didFinishEventsForBackgroundURLSession(URLSession& session) override {
        notificationEvents().push_back("session done " + session.configuration().identifier().value_or(""));
    }
};

TEST_F(UIKitNotifications, BackgroundSessionEventsReachTheAppThenTheSession) {
    std::function<void()> stored;
    rt::addMethod(delegateClass, "application:handleEventsForBackgroundURLSession:completionHandler:",
                  [&stored](rt::Object&, rt::ObjectPtr, std::string id, std::function<void()> done) {
                      notificationEvents().push_back("app " + id);
                      // The app re-creates its session here, as it would on a relaunch.
                      URLSession::make(URLSessionConfiguration::background(id),
                                       std::make_shared<BackgroundDelegate>());
                      stored = std::move(done);
                  });
    sim::App::launch("NotifyDelegate");
    bool completed = false;
    sim::App::backgroundURLSessionEvents("com.example.upload", [&] { completed = true; });
    Virtual::runUntilIdle();
    EXPECT_EQ(notificationEvents(),
              (std::vector<std::string>{"app com.example.upload", "session done com.example.upload"}));
    EXPECT_FALSE(completed);
    EXPECT_TRUE(hasProblem("handleEventsForBackgroundURLSession:completionHandler: was never called"));
    stored();
    EXPECT_TRUE(completed);
    EXPECT_TRUE(sim::CompletionHandlers::problems().empty());
    URLSession::forBackgroundIdentifier("com.example.upload")->invalidateAndCancel();
    Virtual::runUntilIdle();
}

} // namespace
} // namespace plat
