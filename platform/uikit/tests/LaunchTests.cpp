// Launch through UIApplicationMain and the lifecycle: delegate by class name, load hooks first, the order of
// delegate calls and notifications, the delegate set through the runtime with cached respond-to answers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIApplicationMain.hpp"
#include "platform/uikit/UIStoryboard.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat {
namespace {

std::vector<std::string>& launchEvents() {
    static std::vector<std::string> list;
    return list;
}

class Screen : public UIViewController {
public:
    using UIViewController::UIViewController;
    void viewDidLoad() override { launchEvents().push_back("viewDidLoad"); }
    void viewDidAppear(bool) override { launchEvents().push_back("viewDidAppear"); }
};

class UIKitLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        launchEvents().clear();
        sim::App::recorder().reset();
        delegateClass = rt::registerClass("AppDelegate", rt::rootClass(), {"UIApplicationDelegate"});
        for (const char* sel :
             {"applicationDidBecomeActive:", "applicationWillResignActive:", "applicationDidEnterBackground:",
              "applicationWillEnterForeground:", "applicationWillTerminate:"}) {
            rt::addMethod(delegateClass, sel, [name = std::string(sel)](rt::Object&, rt::ObjectPtr app) {
                launchEvents().push_back(name + (app == UIApplication::sharedApplication() ? "" : " (wrong app)"));
            });
        }
        rt::addMethod(delegateClass, "application:didFinishLaunchingWithOptions:",
                      [](rt::Object&, rt::ObjectPtr, Value options) {
                          launchEvents().push_back("didFinishLaunching " + options["url"].stringValue());
                          return true;
                      });
        for (const char* name :
             {UIApplicationDidFinishLaunchingNotification, UIApplicationDidBecomeActiveNotification,
              UIApplicationWillResignActiveNotification, UIApplicationDidEnterBackgroundNotification,
              UIApplicationWillEnterForegroundNotification, UIApplicationWillTerminateNotification}) {
            NotificationCenter::defaultCenter().addObserver(
                std::string(name), nullptr, nullptr,
                [](const Notification& n) { launchEvents().push_back("notification " + n.name); });
        }
        screenClass = rt::registerClass<Screen>("LoginScreen", UIViewController::runtimeClass());
        UIStoryboard::registerScreen("Main", "login", [this] {
            return std::static_pointer_cast<UIViewController>(rt::createInstance(screenClass));
        });
        UIStoryboard::setInitialScreen("Main", "login");
        UIStoryboard::setMainStoryboardName("Main");
    }
    rt::Class* delegateClass = nullptr;
    rt::Class* screenClass = nullptr;
};

TEST_F(UIKitLaunch, UIApplicationMainRunsHooksLaunchesShowsTheFirstScreenAndRunsTheLoop) {
    static const rt::LoadHook hooks[] = {{"First", [] { launchEvents().push_back("load hook"); }}};
    sim::App::setLaunchOptions(Value(Dictionary{{"url", Value("portal://x")}}));
    DispatchQueue::main()->async([] {
        launchEvents().push_back("main loop");
        sim::App::terminate();
    });

    EXPECT_EQ(UIApplicationMain(0, nullptr, nullptr, "AppDelegate", hooks), 0);

    EXPECT_EQ(launchEvents(), (std::vector<std::string>{
                            "load hook",
                            "didFinishLaunching portal://x",
                            "notification UIApplicationDidFinishLaunchingNotification",
                            "viewDidLoad",
                            "viewDidAppear",
                            "applicationDidBecomeActive:",
                            "notification UIApplicationDidBecomeActiveNotification",
                            "main loop",
                            "applicationWillTerminate:",
                            "notification UIApplicationWillTerminateNotification",
                        }));
    auto app = UIApplication::sharedApplication();
    ASSERT_NE(app->keyWindow(), nullptr);
    EXPECT_EQ(rt::className(*app->keyWindow()->rootViewController()), "LoginScreen");
    EXPECT_NE(app->keyWindow()->rootViewController()->storyboard(), nullptr);
    EXPECT_EQ(rt::className(*app->delegate()), "AppDelegate");
    EXPECT_EQ(sim::App::recorder().windowRoots(), (std::vector<std::string>{"LoginScreen"}));
}

TEST_F(UIKitLaunch, MissingDelegateClassRaises) {
    try {
        sim::App::launch("NoSuchDelegate");
        FAIL() << "expected an exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), NSInternalInconsistencyException);
        EXPECT_NE(e.reason().find("No class named NoSuchDelegate is loaded."), std::string::npos);
    }
}

TEST_F(UIKitLaunch, LifecycleTransitionsInDeviceOrder) {
    auto app = sim::App::launch("AppDelegate");
    EXPECT_EQ(app->applicationState(), UIApplicationState::active);
    launchEvents().clear();

    sim::App::enterBackground();
    EXPECT_EQ(app->applicationState(), UIApplicationState::background);
    sim::App::enterBackground(); // already there: nothing
    sim::App::enterForeground();
    EXPECT_EQ(app->applicationState(), UIApplicationState::active);
    EXPECT_EQ(launchEvents(), (std::vector<std::string>{
                            "applicationWillResignActive:",
                            "notification UIApplicationWillResignActiveNotification",
                            "applicationDidEnterBackground:",
                            "notification UIApplicationDidEnterBackgroundNotification",
                            "applicationWillEnterForeground:",
                            "notification UIApplicationWillEnterForegroundNotification",
                            "applicationDidBecomeActive:",
                            "notification UIApplicationDidBecomeActiveNotification",
                        }));
}

TEST_F(UIKitLaunch, DelegateIsSetThroughTheRuntimeAndItsAnswersAreCachedThen) {
    // A hook exchanged onto setDelegate: before launch sees the delegate, as a library's load hook would.
    rt::Class* appClass = UIApplication::runtimeClass();
    std::vector<std::string> seen;
    rt::addMethod(appClass, "hookSetDelegate:", [&seen](rt::Object& self, rt::ObjectPtr d) {
        seen.push_back(d ? rt::className(*d) : "nil");
        rt::msgSend(self, "hookSetDelegate:", d);
    });
    rt::exchangeImplementations(rt::instanceMethod(appClass, "setDelegate:"),
                                rt::instanceMethod(appClass, "hookSetDelegate:"));
    auto app = sim::App::launch("AppDelegate");
    EXPECT_EQ(seen, (std::vector<std::string>{"AppDelegate"}));

    // A method added after the delegate was set is not called until the delegate is set again.
    rt::addMethod(delegateClass, "applicationDidReceiveMemoryWarning:", [](rt::Object&, rt::ObjectPtr) {
        launchEvents().push_back("memory warning");
    });
    launchEvents().clear();
    sim::App::memoryWarning();
    EXPECT_TRUE(launchEvents().empty() || launchEvents().back() != "memory warning");
    rt::ObjectPtr delegate = app->delegate();
    std::vector<std::pair<Value, Value>> changes;
    app->observe("delegate", [&](const Value& o, const Value& n) { changes.emplace_back(o, n); });
    app->setDelegate(nullptr);
    app->setDelegate(delegate);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_TRUE(changes[0].second.isNull());
    EXPECT_EQ(changes[1].second, Value(delegate));
    launchEvents().clear();
    sim::App::memoryWarning();
    ASSERT_FALSE(launchEvents().empty());
    EXPECT_EQ(launchEvents().front(), "memory warning");
}

class FakeRegistrar : public RemoteNotificationRegistrar {
public:
    void registerForRemoteNotifications(std::function<void(Result<Data>)> done) override {
        done(Data{0xab, 0xcd});
    }
};

TEST_F(UIKitLaunch, BadgeRemoteRegistrationOpenURLAndBackgroundTasks) {
    std::vector<int64_t> badges;
    rt::Class* appClass = UIApplication::runtimeClass();
    rt::Imp original = rt::methodImplementation(appClass, "setApplicationIconBadgeNumber:");
    rt::replaceMethod(appClass,
                      "setApplicationIconBadgeNumber:", [&badges, original](rt::Object& self, int64_t n) {
                          badges.push_back(n);
                          original.call(self, n);
                      });
    Data token;
    rt::addMethod(delegateClass, "application:didRegisterForRemoteNotificationsWithDeviceToken:",
                  [&token](rt::Object&, rt::ObjectPtr, Data t) { token = std::move(t); });
    rt::addMethod(delegateClass,
                  "application:openURL:options:", [](rt::Object&, rt::ObjectPtr, std::string url, Value) {
                      launchEvents().push_back("open " + url);
                      return true;
                  });
    auto app = sim::App::launch("AppDelegate");

    app->setApplicationIconBadgeNumber(3);
    EXPECT_EQ(badges, (std::vector<int64_t>{3}));
    EXPECT_EQ(app->applicationIconBadgeNumber(), 3);
    EXPECT_EQ(sim::App::recorder().badgeHistory(), (std::vector<int64_t>{3}));

    sim::App::setRemoteNotificationRegistrar(std::make_shared<FakeRegistrar>());
    app->registerForRemoteNotifications();
    EXPECT_TRUE(token.empty()) << "the answer comes later, on the main queue";
    Virtual::runUntilIdle();
    EXPECT_EQ(token, (Data{0xab, 0xcd}));
    EXPECT_TRUE(app->isRegisteredForRemoteNotifications());

    EXPECT_TRUE(app->canOpenURL("https://www.example.test"));
    sim::App::setCanOpenURL("tel", false);
    EXPECT_FALSE(app->canOpenURL("tel:123"));
    bool completed = false;
    app->openURL("https://www.example.test/a", {}, [&](bool ok) { completed = ok; });
    Virtual::runUntilIdle();
    EXPECT_TRUE(completed);
    sim::App::openURL("portal://open?x=1");
    EXPECT_EQ(launchEvents().back(), "open portal://open?x=1");
    ASSERT_EQ(sim::App::recorder().openedURLs().size(), 1u);
    EXPECT_EQ(sim::App::recorder().openedURLs()[0].url, "https://www.example.test/a");

    int expired = 0;
    auto first = app->beginBackgroundTaskWithName("upload", [&] { ++expired; });
    auto second = app->beginBackgroundTaskWithExpirationHandler([&] { ++expired; });
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    app->endBackgroundTask(first);
    app->endBackgroundTask(first); // a [device] warning, nothing else
    sim::App::expireBackgroundTasks();
    sim::App::expireBackgroundTasks();
    Virtual::runUntilIdle();
    EXPECT_EQ(expired, 1) << "only the live task expires, once";
    auto tasks = sim::App::recorder().backgroundTasks();
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_TRUE(tasks[0].ended);
    EXPECT_FALSE(tasks[0].expired);
    EXPECT_TRUE(tasks[1].expired);
}

TEST_F(UIKitLaunch, UniversalLinksAndTheLegacyOpenURLFallback) {
    rt::addMethod(delegateClass, "application:continueUserActivity:restorationHandler:",
                  [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr activity, RestorationHandler handler) {
                      launchEvents().push_back("continue " + activity->valueForKey("activityType").stringValue() +
                                         " " + activity->valueForKey("webpageURL").stringValue());
                      handler({});
                      return true;
                  });
    rt::addMethod(delegateClass, "application:openURL:sourceApplication:annotation:",
                  [](rt::Object&, rt::ObjectPtr, std::string url, std::string source, Value) {
                      launchEvents().push_back("legacy open " + url + " from " + source);
                      return true;
                  });
    sim::App::launch("AppDelegate");
    launchEvents().clear();
    EXPECT_TRUE(sim::App::openUniversalLink("https://portal.example.test/news"));
    sim::App::openURL("portal://x", "com.example.mail");
    EXPECT_EQ(launchEvents(), (std::vector<std::string>{
                            "continue NSUserActivityTypeBrowsingWeb https://portal.example.test/news",
                            "legacy open portal://x from com.example.mail",
                        }));
}

} // namespace
} // namespace plat
