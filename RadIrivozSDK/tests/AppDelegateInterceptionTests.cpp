// The push client's hooks on the application delegate: installed by the load hook and the first
// setDelegate:, each telling the push client and then running the app's own method; only the delegate's
// own class chain is touched, also once the core has proxied the delegate.

#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"

#include "core/DVUAppDelegateSwizzler.hpp"
#include "platform/uikit/SimApp.hpp"

namespace {

using namespace push::test;
using plat::Virtual;
namespace rt = plat::rt;

int calls(const std::string& cls, const std::string& selector) {
    return delegateCalls().count[cls + " " + selector];
}

// Runs a lifecycle method as the platform would: through the runtime, on the given object.
void send(const rt::ObjectPtr& object, const char* selector) {
    rt::msgSend<void>(object, rt::Sel(selector), rt::ObjectPtr(plat::UIApplication::sharedApplication()));
}

class InterceptionTest : public PushDeviceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(InterceptionTest, TheTokenReachesThePushClientOnceAndTheAppsOwnMethodsStillRun) {
    boot(GetParam());
    rt::Class* cls = makeDelegateClass("TokenAppDelegate", {"applicationDidBecomeActive:"});
    int ownTokenCalls = 0;
    rt::addMethod(cls, "application:didRegisterForRemoteNotificationsWithDeviceToken:",
                  [&](rt::Object&, rt::ObjectPtr, const plat::Data& token) {
                      EXPECT_EQ(token, (plat::Data{0xDE, 0xAD, 0xBE, 0xEF}));
                      ++ownTokenCalls;
                  });
    setDelegate(cls);
    ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
    plat::sim::Device::autoRegister(plat::Data{0xDE, 0xAD, 0xBE, 0xEF});
    plat::UIApplication::sharedApplication()->registerForRemoteNotifications();
    Virtual::runUntilIdle();
    plat::sim::App::becomeActive();

    EXPECT_EQ(ownTokenCalls, 1);
    EXPECT_EQ(calls("TokenAppDelegate", "applicationDidBecomeActive:"), 1);
    EXPECT_EQ(RadIrivoz::currentSubscriptionState()->pushToken(), "deadbeef");
    const std::string log = console.nslog();
    EXPECT_NE(log.find("VERBOSE: UIApplication(RadIrivoz) LOADED!"), std::string::npos);
    EXPECT_NE(log.find("VERBOSE: RADIRIVOZ setRadIrivozDelegate CALLED: "), std::string::npos);
    EXPECT_EQ(Virtual::runUntilIdle(), 0u);
    size_t tokenLines = 0;
    for (size_t at = log.find("INFO: Device Registered with Apple: deadbeef"); at != std::string::npos;
         at = log.find("INFO: Device Registered with Apple: deadbeef", at + 1)) {
        ++tokenLines;
    }
    EXPECT_EQ(tokenLines, 1u);
    EXPECT_NE(log.find("VERBOSE: radIrivozApplicationDidBecomeActive\n"), std::string::npos);
    EXPECT_EQ(rt::getClass("TokenAppDelegate"), RadIrivozAppDelegate::delegateClass());

    // The phase hooks of the older notification interface exist below OS 10 only.
    const bool belowTen = std::string(GetParam()) == "9.3";
    EXPECT_EQ(rt::instancesRespondTo(cls, "application:didRegisterUserNotificationSettings:"), belowTen);
    EXPECT_EQ(rt::instancesRespondTo(cls, "application:didReceiveRemoteNotification:"), belowTen);
    // Hooks the app had no method for leave no way back to one.
    EXPECT_FALSE(rt::instancesRespondTo(cls, "radIrivozApplicationWillTerminate:"));
    EXPECT_TRUE(rt::instancesRespondTo(cls, "radIrivozApplicationDidBecomeActive:"));
}

INSTANTIATE_TEST_SUITE_P(OsVersions, InterceptionTest, ::testing::Values("9.3", "12.4"),
                         [](const auto& info) { return std::string(info.param) == "9.3" ? "OS9" : "OS12"; });

TEST_F(PushDeviceTest, ASecondLoadWarnsAndSwizzlesNothingMore) {
    boot("12.4");
    RadIrivozAppDelegate::load();
    EXPECT_NE(console.nslog().find("WARNING: Already swizzled UIApplication.setDelegate. Make sure the RadIrivoz "
                                   "library wasn't loaded into the runtime twice!"),
              std::string::npos);
    // setDelegate: still reaches the application once, through one hook.
    rt::Class* cls = makeDelegateClass("TwiceLoadedDelegate", {});
    setDelegate(cls);
    EXPECT_EQ(plat::UIApplication::sharedApplication()->delegate(), delegate);
    EXPECT_EQ(RadIrivozAppDelegate::delegateClass(), cls);
}

TEST_F(PushDeviceTest, OnlyTheFirstDelegatesClassGetsHooks) {
    boot("12.4");
    setDelegate(makeDelegateClass("FirstDelegate", {}));
    rt::Class* second = makeDelegateClass("SecondDelegate", {"applicationDidBecomeActive:"});
    setDelegate(second);
    EXPECT_EQ(plat::UIApplication::sharedApplication()->delegate(), delegate);
    EXPECT_FALSE(rt::instancesRespondTo(second, "radIrivozApplicationDidBecomeActive:"));
    EXPECT_FALSE(rt::instancesRespondTo(second, "application:didRegisterForRemoteNotificationsWithDeviceToken:"));
}

TEST_F(PushDeviceTest, ASiblingOfTheDelegatesClassIsNeverHooked) {
    boot("12.4");
    // Base declares the protocol and implements the method; a sibling of the delegate's class overrides it.
    rt::Class* base = makeDelegateClass("SiblingBase", {"applicationDidBecomeActive:"});
    rt::Class* sibling = makeDelegateClass("SiblingOther", {"applicationDidBecomeActive:"}, base, {});
    rt::Class* child = makeDelegateClass("SiblingChild", {}, base, {});
    setDelegate(child);

    send(delegate, "applicationDidBecomeActive:");
    EXPECT_EQ(calls("SiblingBase", "applicationDidBecomeActive:"), 1);
    EXPECT_NE(console.nslog().find("radIrivozApplicationDidBecomeActive"), std::string::npos)
        << "the delegate's own chain got the hook";

    const size_t before = console.nslog().size();
    send(rt::createInstance(sibling), "applicationDidBecomeActive:");
    EXPECT_EQ(calls("SiblingOther", "applicationDidBecomeActive:"), 1);
    EXPECT_EQ(calls("SiblingBase", "applicationDidBecomeActive:"), 1);
    EXPECT_EQ(console.nslog().find("radIrivozApplicationDidBecomeActive", before), std::string::npos);
}

TEST_F(PushDeviceTest, HookingAnInheritedMethodLeavesTheAncestorsOtherSubclassesAlone) {
    boot("12.4");
    // The method comes from a base that is no delegate; the delegate's class only inherits it.
    rt::Class* base = makeDelegateClass("InheritedBase", {"applicationDidBecomeActive:"}, nullptr, {});
    rt::Class* appDelegate = makeDelegateClass("InheritedAppDelegate", {}, base);
    rt::Class* other = makeDelegateClass("InheritedOther", {}, base, {});
    setDelegate(appDelegate);

    send(delegate, "applicationDidBecomeActive:");
    EXPECT_EQ(calls("InheritedBase", "applicationDidBecomeActive:"), 1) << "the app's own method, once";
    EXPECT_NE(console.nslog().find("radIrivozApplicationDidBecomeActive"), std::string::npos);

    const size_t before = console.nslog().size();
    send(rt::createInstance(other), "applicationDidBecomeActive:");
    send(rt::createInstance(base), "applicationDidBecomeActive:");
    EXPECT_EQ(calls("InheritedBase", "applicationDidBecomeActive:"), 3);
    EXPECT_EQ(console.nslog().find("radIrivozApplicationDidBecomeActive", before), std::string::npos);
    EXPECT_EQ(rt::ownMethod(base, "radIrivozApplicationDidBecomeActive:"), nullptr);
}

TEST_F(PushDeviceTest, WithACoronaDelegatePresentOnlyTheFetchAndFailureHooksGoIn) {
    boot("12.4");
    rt::registerClass("CoronaAppDelegate");
    rt::Class* cls = makeDelegateClass("CoronaShellDelegate", {});
    setDelegate(cls);
    EXPECT_TRUE(rt::instancesRespondTo(cls, "application:didReceiveRemoteNotification:fetchCompletionHandler:"));
    EXPECT_TRUE(rt::instancesRespondTo(cls, "application:didFailToRegisterForRemoteNotificationsWithError:"));
    EXPECT_FALSE(rt::instancesRespondTo(cls, "application:didRegisterForRemoteNotificationsWithDeviceToken:"));
    EXPECT_FALSE(rt::instancesRespondTo(cls, "applicationDidBecomeActive:"));
}

TEST_F(PushDeviceTest, ABackgroundFetchCallsTheHandlerExactlyOnce) {
    boot("9.3");
    rt::Class* plain = makeDelegateClass("FetchPlainDelegate", {});
    setDelegate(plain);
    std::vector<plat::UIBackgroundFetchResult> results;
    const plat::Value push(plat::Dictionary{{"aps", plat::Dictionary{{"content-available", 1}}}});
    EXPECT_TRUE(plat::sim::App::receiveRemoteNotification(
        push, [&](plat::UIBackgroundFetchResult r) { results.push_back(r); }));
    Virtual::runUntilIdle();
    EXPECT_EQ(results, std::vector<plat::UIBackgroundFetchResult>{plat::UIBackgroundFetchResult::newData});
}

TEST_F(PushDeviceTest, AnAppWithItsOwnFetchHandlerCallsItItself) {
    boot("12.4");
    rt::Class* cls = makeDelegateClass("FetchOwnDelegate", {});
    int own = 0;
    rt::addMethod(cls, "application:didReceiveRemoteNotification:fetchCompletionHandler:",
                  [&](rt::Object&, rt::ObjectPtr, const plat::Value&, const plat::FetchCompletionHandler& done) {
                      ++own;
                      done(plat::UIBackgroundFetchResult::noData);
                  });
    setDelegate(cls);
    std::vector<plat::UIBackgroundFetchResult> results;
    plat::sim::App::receiveRemoteNotification(plat::Value(plat::Dictionary{{"aps", plat::Dictionary{}}}),
                                              [&](plat::UIBackgroundFetchResult r) { results.push_back(r); });
    Virtual::runUntilIdle();
    EXPECT_EQ(own, 1);
    EXPECT_EQ(results, std::vector<plat::UIBackgroundFetchResult>{plat::UIBackgroundFetchResult::noData});
}

TEST_F(PushDeviceTest, TheBadgeSetterStillSetsTheBadge) {
    boot("12.4");
    auto application = plat::UIApplication::sharedApplication();
    application->setApplicationIconBadgeNumber(3);
    EXPECT_EQ(application->applicationIconBadgeNumber(), 3);
    EXPECT_TRUE(rt::instancesRespondTo(plat::UIApplication::runtimeClass(), "radirivozSetApplicationIconBadgeNumber:"));
}

TEST_F(PushDeviceTest, OnADelegateTheCoreProxiesTheHooksKeepWorking) {
    boot("12.4");
    rt::Class* cls = makeDelegateClass("ProxiedAppDelegate", {"applicationDidBecomeActive:"});
    int ownTokenCalls = 0;
    rt::addMethod(cls, "application:didRegisterForRemoteNotificationsWithDeviceToken:",
                  [&](rt::Object&, rt::ObjectPtr, const plat::Data&) { ++ownTokenCalls; });
    setDelegate(cls);
    ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));

    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    Virtual::runUntilIdle();
    ASSERT_EQ(rt::className(*delegate).rfind("DVU_ProxiedAppDelegate-", 0), 0u);
    EXPECT_EQ(RadIrivozAppDelegate::delegateClass(), cls) << "the proxy's own re-set installs nothing more";

    plat::sim::Device::autoRegister(plat::Data{0xCA, 0xFE});
    plat::UIApplication::sharedApplication()->registerForRemoteNotifications();
    Virtual::runUntilIdle();
    plat::sim::App::becomeActive();
    EXPECT_EQ(RadIrivoz::currentSubscriptionState()->pushToken(), "cafe");
    EXPECT_EQ(ownTokenCalls, 1);
    EXPECT_EQ(delegateCalls().count["ProxiedAppDelegate applicationDidBecomeActive:"], 1);
    EXPECT_NE(console.nslog().find("VERBOSE: radIrivozApplicationDidBecomeActive\n"), std::string::npos);
}

} // namespace
