// The app-delegate proxy: the run-time subclass and its forwarders, interceptors held weakly, the switches
// in the Info.plist, a push-style hook on the same delegate, and the block swizzler.

#include "core/DVUAppDelegateSwizzler.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using plat::rt::Class;
using plat::rt::Object;
using plat::rt::ObjectPtr;

std::vector<std::string>& proxyCalls() {
    static std::vector<std::string> calls;
    return calls;
}

constexpr const char* kProxyOpenURL = "application:openURL:options:";
constexpr const char* kProxyBackgroundEvents = "application:handleEventsForBackgroundURLSession:completionHandler:";

// An interceptor class answering the URL open with a fixed result and taking background events.
Class* proxyInterceptorClass(const std::string& name, bool answer) {
    Class* cls = plat::rt::registerClass(name, plat::rt::rootClass(), {"UIApplicationDelegate"});
    plat::rt::addMethod(cls, kProxyOpenURL, [name, answer](Object&, ObjectPtr, std::string url, plat::Value) {
        proxyCalls().push_back(name + " " + url);
        return answer;
    });
    plat::rt::addMethod(cls, kProxyBackgroundEvents,
                        [name](Object&, ObjectPtr, std::string id, std::function<void()> done) {
                            proxyCalls().push_back(name + " events " + id);
                            done();
                        });
    return cls;
}

class AppDelegateProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        proxyCalls().clear();
        delegateClass = plat::rt::registerClass("AppDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"});
        plat::rt::addMethod(delegateClass, "application:didFinishLaunchingWithOptions:",
                            [](Object&, ObjectPtr, plat::Value) { return true; });
    }
    void withOpenURLAnswering(bool answer) {
        plat::rt::addMethod(delegateClass, kProxyOpenURL, [answer](Object&, ObjectPtr, std::string url, plat::Value) {
            proxyCalls().push_back("delegate " + url);
            return answer;
        });
    }
    void bundleWith(const plat::Dictionary& info) {
        bundle = std::make_unique<plat::test::FixtureBundle>(home.root() + "/Portal.app", info);
        bundle->makeMain();
    }
    std::vector<std::string> logged() {
        plat::Virtual::runUntilIdle();
        auto texts = capture.texts();
        plat::sim::SystemLog::clearCaptured();
        return texts;
    }

    plat::test::TempAppHome home;
    std::unique_ptr<plat::test::FixtureBundle> bundle;
    plat::sim::SystemLogCapture capture;
    Class* delegateClass = nullptr;
};

TEST_F(AppDelegateProxyTest, ForwardersCallEveryInterceptorThenTheDelegateAndOrTheAnswers) {
    withOpenURLAnswering(false);
    auto app = plat::sim::App::launch("AppDelegate");
    ObjectPtr delegate = app->delegate();
    auto a = plat::rt::createInstance(proxyInterceptorClass("A", true));
    auto b = plat::rt::createInstance(proxyInterceptorClass("B", false));
    auto idA = DVUAppDelegateSwizzler::registerAppDelegateInterceptor(a);
    auto idB = DVUAppDelegateSwizzler::registerAppDelegateInterceptor(b);
    ASSERT_TRUE(idA && idB);
    EXPECT_TRUE(std::regex_match(*idA, std::regex("DVU_0x[0-9a-f]+")));
    EXPECT_EQ(DVUAppDelegateSwizzler::registerAppDelegateInterceptor(a), idA);
    EXPECT_EQ(DVUAppDelegateSwizzler::interceptors().count(), 2u);

    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    const std::string proxied = plat::rt::className(*delegate);
    EXPECT_TRUE(std::regex_match(proxied, std::regex("DVU_AppDelegate-[0-9]{13}"))) << proxied;
    EXPECT_EQ(app->delegate(), delegate);
    EXPECT_TRUE(std::regex_match(plat::rt::describe(*delegate), std::regex("<AppDelegate: 0x[0-9a-f]+>")));

    EXPECT_EQ(plat::rt::msgSend<bool>(delegate, kProxyOpenURL, ObjectPtr(app), std::string("portal://x"),
                                      plat::Value()),
              true);
    EXPECT_EQ(proxyCalls(), (std::vector<std::string>{"A portal://x", "B portal://x", "delegate portal://x"}));

    // Only the first call proxies.
    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(plat::rt::className(*delegate), proxied);

    // The system's background-events handler runs once, however many recipients call theirs.
    int systemCalls = 0;
    plat::rt::msgSend<void>(delegate, kProxyBackgroundEvents, ObjectPtr(app), std::string("s1"),
                            std::function<void()>([&] { ++systemCalls; }));
    EXPECT_EQ(systemCalls, 1);

    // An interceptor released without unregistering is dropped at the next forwarded call.
    const std::string deadID = *idB;
    b.reset();
    logged();
    proxyCalls().clear();
    EXPECT_TRUE(plat::rt::msgSend<bool>(delegate, kProxyOpenURL, ObjectPtr(app), std::string("portal://y"),
                                        plat::Value()));
    EXPECT_EQ(proxyCalls(), (std::vector<std::string>{"A portal://y", "delegate portal://y"}));
    EXPECT_EQ(logged(), std::vector<std::string>{" - [RazozaUtilities/AppDelegateSwizzler][I-SWZ001010] "
                                                 "AppDelegateProxy cannot find interceptor with ID " +
                                                 deadID + ". Removing the interceptor."});
    EXPECT_EQ(DVUAppDelegateSwizzler::interceptors().count(), 1u);

    // Unregistering: a known ID goes, an unknown one is reported.
    DVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(idA);
    DVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(idA);
    EXPECT_EQ(DVUAppDelegateSwizzler::interceptors().count(), 0u);
    EXPECT_EQ(logged(), std::vector<std::string>{" - [RazozaUtilities/AppDelegateSwizzler][I-SWZ001004] "
                                                 "AppDelegateProxy cannot unregister interceptor that was not "
                                                 "registered. Interceptor ID " +
                                                 *idA});
}

TEST_F(AppDelegateProxyTest, TheSystemOpenReachesInterceptorsThroughTheProxy) {
    withOpenURLAnswering(false);
    auto app = plat::sim::App::launch("AppDelegate");
    auto a = plat::rt::createInstance(proxyInterceptorClass("A", true));
    DVUAppDelegateSwizzler::registerAppDelegateInterceptor(a);
    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    plat::sim::App::openURL("portal://open");
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(proxyCalls(), (std::vector<std::string>{"A portal://open", "delegate portal://open"}));

    // Background events from the system: the interceptor calls the handler, the delegate has no method.
    proxyCalls().clear();
    int done = 0;
    plat::sim::App::backgroundURLSessionEvents("com.example.session", [&] { ++done; });
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(proxyCalls(), std::vector<std::string>{"A events com.example.session"});
    EXPECT_EQ(done, 1);
}

TEST_F(AppDelegateProxyTest, TheInfoPlistSwitches) {
    struct Case {
        const char* key;
        plat::Value value;
        bool proxied;
    };
    const Case cases[] = {
        {"RazozaUtilitiesAppDelegateProxyEnabled", plat::Value(false), false},
        {"VedudoduAppDelegateProxyEnabled", plat::Value(false), false},
        {"RazozaUtilitiesAppDelegateProxyEnabled", plat::Value("NO"), true},
        {"RazozaUtilitiesAppDelegateProxyEnabled", plat::Value(int64_t(0)), false},
        {"RazozaUtilitiesAppDelegateProxyEnabled", plat::Value(true), true},
    };
    for (const auto& c : cases) {
        bundleWith(plat::Dictionary{{c.key, c.value}});
        EXPECT_EQ(DVUAppDelegateSwizzler::isAppDelegateProxyEnabled(), c.proxied) << c.key << " " << c.value.description();
    }

    bundleWith(plat::Dictionary{{"RazozaUtilitiesAppDelegateProxyEnabled", plat::Value(false)}});
    auto app = plat::sim::App::launch("AppDelegate");
    logged();
    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(plat::rt::className(*app->delegate()), "AppDelegate");
    EXPECT_EQ(logged(), std::vector<std::string>{
                            " - [RazozaUtilities/AppDelegateSwizzler][I-SWZ001011] App Delegate Proxy is disabled. "});
}

TEST_F(AppDelegateProxyTest, RefusalsAndADelegateWithoutTheOpenMethod) {
    auto app = plat::sim::App::launch("AppDelegate");
    Class* plain = plat::rt::registerClass("NotADelegate");
    logged();
    EXPECT_FALSE(DVUAppDelegateSwizzler::registerAppDelegateInterceptor(plat::rt::createInstance(plain)));
    EXPECT_FALSE(DVUAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr));
    DVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(std::nullopt);
    DVUAppDelegateSwizzler::proxyAppDelegate(nullptr);
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            " - [RazozaUtilities/AppDelegateSwizzler][I-SWZ001001] AppDelegateProxy interceptor does "
                            "not conform to UIApplicationDelegate",
                            " - [RazozaUtilities/AppDelegateSwizzler][I-SWZ001000] AppDelegateProxy cannot add nil "
                            "interceptor.",
                            " - [RazozaUtilities/AppDelegateSwizzler][I-SWZ001003] AppDelegateProxy cannot unregister "
                            "empty interceptor ID.",
                            " - [RazozaUtilities/AppDelegateSwizzler][I-SWZ001012] Cannot create App Delegate Proxy "
                            "because App Delegate instance is nil. "}));
    EXPECT_EQ(DVUAppDelegateSwizzler::interceptors().count(), 0u);

    ObjectPtr delegate = app->delegate();
    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    Class* subclass = delegate->isa();
    ASSERT_NE(subclass, delegateClass);
    EXPECT_EQ(plat::rt::ownMethod(subclass, kProxyOpenURL), nullptr);
    EXPECT_FALSE(plat::rt::respondsTo(delegate, kProxyOpenURL));
    for (const char* sel : {"application:openURL:sourceApplication:annotation:",
                            "application:continueUserActivity:restorationHandler:", kProxyBackgroundEvents}) {
        EXPECT_NE(plat::rt::ownMethod(subclass, sel), nullptr) << sel;
    }
    // Forwarders with no interceptor and no own method answer NO.
    EXPECT_FALSE(plat::rt::msgSend<bool>(delegate, "application:continueUserActivity:restorationHandler:",
                                         ObjectPtr(app), ObjectPtr(), plat::RestorationHandler()));

    // The app replaces its delegate: the proxy lets go of the old one and stops watching.
    EXPECT_TRUE(DVUAppDelegateObserver::sharedInstance().isObserving());
    app->setDelegate(plat::rt::createInstance(delegateClass));
    EXPECT_FALSE(DVUAppDelegateObserver::sharedInstance().isObserving());
    EXPECT_EQ(delegate->isa(), subclass);
}

// A push-style hook: installed before launch on setDelegate:, it wraps the delegate class's token method.
std::vector<std::string>& pushHookCalls() {
    static std::vector<std::string> calls;
    return calls;
}

void installPushStyleTokenHook() {
    Class* appClass = plat::UIApplication::runtimeClass();
    plat::rt::addMethod(appClass, "pushHookSetDelegate:", [](Object& self, ObjectPtr d) {
        static std::set<Class*> hooked;
        constexpr const char* tokenSel = "application:didRegisterForRemoteNotificationsWithDeviceToken:";
        if (d) {
            Class* cls = d->isa();
            bool done = false;
            for (Class* c : hooked) {
                done = done || plat::rt::isSubclassOf(cls, c);
            }
            if (!done) {
                hooked.insert(cls);
                plat::rt::Imp original = plat::rt::methodImplementation(cls, tokenSel);
                plat::rt::replaceMethod(cls, tokenSel, [original](Object& delegate, ObjectPtr app, plat::Data token) {
                    pushHookCalls().push_back("hook " + std::to_string(token.size()));
                    if (original) {
                        original.call<void>(delegate, app, token);
                    }
                });
            }
        }
        plat::rt::msgSend(self, "pushHookSetDelegate:", d);
    });
    plat::rt::exchangeImplementations(plat::rt::instanceMethod(appClass, "setDelegate:"),
                                      plat::rt::instanceMethod(appClass, "pushHookSetDelegate:"));
}

struct ProxyTestRegistrar : plat::RemoteNotificationRegistrar {
    void registerForRemoteNotifications(std::function<void(plat::Result<plat::Data>)> done) override {
        done(plat::Data{1, 2, 3, 4});
    }
};

TEST_F(AppDelegateProxyTest, APushStyleTokenHookStillRunsOnTheProxiedDelegate) {
    pushHookCalls().clear();
    plat::rt::addMethod(delegateClass, "application:didRegisterForRemoteNotificationsWithDeviceToken:",
                        [](Object&, ObjectPtr, plat::Data token) {
                            pushHookCalls().push_back("delegate " + std::to_string(token.size()));
                        });
    withOpenURLAnswering(true);
    installPushStyleTokenHook();
    plat::sim::App::setRemoteNotificationRegistrar(std::make_shared<ProxyTestRegistrar>());
    auto app = plat::sim::App::launch("AppDelegate");
    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    ASSERT_NE(app->delegate()->isa(), delegateClass);

    app->registerForRemoteNotifications();
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(pushHookCalls(), (std::vector<std::string>{"hook 4", "delegate 4"}));
    EXPECT_TRUE(plat::rt::msgSend<bool>(app->delegate(), kProxyOpenURL, ObjectPtr(app), std::string("u"),
                                        plat::Value()));
}

TEST(SwizzlerTest, BlocksReplaceAndAddMethodsAndTheCurrentImplementationIsCallable) {
    Class* cls = plat::rt::registerClass("SwizzleTarget");
    plat::rt::addMethod(cls, "value", [](Object&) -> int64_t { return 1; });
    plat::rt::addMethod(plat::rt::metaclass(cls), "shared", [](Object&) -> int64_t { return 10; });

    auto before = DVUSwizzler::currentImplementationForClass(cls, "value", false);
    ASSERT_TRUE(before);
    DVUSwizzler::swizzleClass(cls, "value", false, [before](Object& self) -> int64_t {
        return before.call<int64_t>(self) + 100;
    });
    auto object = plat::rt::createInstance(cls);
    EXPECT_EQ(plat::rt::msgSend<int64_t>(object, "value"), 101);

    auto classBefore = DVUSwizzler::currentImplementationForClass(cls, "shared", true);
    ASSERT_TRUE(classBefore);
    DVUSwizzler::swizzleClass(cls, "shared", true, [](Object&) -> int64_t { return 20; });
    EXPECT_EQ(plat::rt::msgSend<int64_t>(*cls, "shared"), 20);

    // A missing method is added.
    EXPECT_FALSE(DVUSwizzler::selectorExistsInClass("added", cls, false));
    DVUSwizzler::swizzleClass(cls, "added", false, [](Object&) -> int64_t { return 7; });
    EXPECT_TRUE(DVUSwizzler::selectorExistsInClass("added", cls, false));
    EXPECT_EQ(plat::rt::msgSend<int64_t>(object, "added"), 7);

    EXPECT_FALSE(DVUSwizzler::currentImplementationForClass(nullptr, "value", false));
    EXPECT_FALSE(DVUSwizzler::currentImplementationForClass(cls, "nothing", false));
    EXPECT_FALSE(DVUSwizzler::originalImplementationForClass(cls, "value", false));
}

} // namespace
