// Windows, screens and navigation: root replacement, push and pop with the appearance order, hooks on the
// appearance methods, presentation, alerts tapped by the driver, refresh control and indicator.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/uikit/tests/LoggingScreen.hpp"

namespace plat {
namespace {

using test::calls;
using test::AppearanceReporter;
using test::LoggingScreen;

using UIKitScreens = test::LoggingScreenTest;

TEST_F(UIKitScreens, ReplacingTheRootReleasesTheOldScreen) {
    auto first = screen("A");
    std::weak_ptr<LoggingScreen> watch = first;
    window->setRootViewController(first);
    EXPECT_TRUE(calls().empty()) << "an invisible window loads nothing";
    window->makeKeyAndVisible();
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(app->keyWindow(), window);
    first.reset();

    window->setRootViewController(screen("B"));
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"A load", "A willAppear", "A didAppear", "B load", "A willDisappear",
                                        "B willAppear", "A didDisappear", "B didAppear"}));
    EXPECT_EQ(window->subviews().size(), 1u) << "the old root's view left the window";
    EXPECT_EQ(window->rootViewController()->view()->window(), window);
}

TEST_F(UIKitScreens, NavigationPushAndPopInAppearanceOrder) {
    auto nav = UINavigationController::make(screen("Root"));
    window->setRootViewController(nav);
    window->makeKeyAndVisible();
    auto detail = screen("Detail");
    std::weak_ptr<LoggingScreen> watch = detail;
    nav->pushViewController(detail, true);
    EXPECT_EQ(nav->topViewController(), detail);
    EXPECT_EQ(detail->navigationController(), nav);
    detail.reset();
    auto popped = nav->popViewControllerAnimated(true);
    ASSERT_NE(popped, nullptr);
    EXPECT_EQ(nav->popViewControllerAnimated(true), nullptr) << "the root stays";
    popped.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(calls(),
              (std::vector<std::string>{
                  "Root load", "Root willAppear", "Root didAppear",                              // shown
                  "Detail load", "Root willDisappear", "Detail willAppear", "Root didDisappear", // push
                  "Detail didAppear", "Detail willDisappear", "Root willAppear", "Detail didDisappear",
                  "Root didAppear", // pop
              }));
}

TEST_F(UIKitScreens, PushOffScreenLoadsNothingAndPopToRoot) {
    auto nav = UINavigationController::make(screen("Root"));
    nav->pushViewController(screen("One"), false);
    nav->pushViewController(screen("Two"), false);
    EXPECT_TRUE(calls().empty());
    window->setRootViewController(nav);
    window->makeKeyAndVisible();
    EXPECT_EQ(calls(), (std::vector<std::string>{"Two load", "Two willAppear", "Two didAppear"}));
    calls().clear();
    auto popped = nav->popToRootViewControllerAnimated(false);
    EXPECT_EQ(popped.size(), 2u);
    EXPECT_EQ(nav->viewControllers().size(), 1u);
    EXPECT_EQ(calls(), (std::vector<std::string>{"Root load", "Two willDisappear", "Root willAppear",
                                                 "Two didDisappear", "Root didAppear"}));
}

// Screens leaving the stack are reported like those entering it, topmost first when several leave at once.
TEST_F(UIKitScreens, PushesAndPopsAreRecordedWithTheirDeviceLines) {
    rt::registerClass<LoggingScreen>("OtherScreen", screenClass);
    auto other = [] { return rt::make<LoggingScreen>(rt::getClass("OtherScreen")); };
    auto& recorder = sim::App::recorder();
    const size_t pushedBefore = recorder.pushedScreens().size();
    const size_t poppedBefore = recorder.poppedScreens().size();
    const size_t eventsBefore = recorder.events().size();

    auto nav = UINavigationController::make(screen("Root"));
    window->setRootViewController(nav);
    window->makeKeyAndVisible();
    nav->pushViewController(other(), false);
    nav->pushViewController(screen("Two"), false);
    nav->popViewControllerAnimated(false);
    nav->pushViewController(screen("Three"), false);
    nav->popToRootViewControllerAnimated(false);
    nav->popViewControllerAnimated(false); // only the root is left: nothing pops

    auto since = [](std::vector<std::string> all, size_t from) {
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
    };
    EXPECT_EQ(since(recorder.pushedScreens(), pushedBefore),
              (std::vector<std::string>{"OtherScreen", "LoggingScreen", "LoggingScreen"}));
    EXPECT_EQ(since(recorder.poppedScreens(), poppedBefore),
              (std::vector<std::string>{"LoggingScreen", "LoggingScreen", "OtherScreen"}));
    EXPECT_EQ(
        since(recorder.events(), eventsBefore),
        (std::vector<std::string>{"screen installed: UINavigationController", "pushed OtherScreen",
                                  "pushed LoggingScreen", "popped LoggingScreen", "pushed LoggingScreen",
                                  "popped LoggingScreen", "popped OtherScreen"}));
}

TEST_F(UIKitScreens, HooksOnAppearanceMethodsSeeEveryCall) {
    // The way a screen reporter hooks viewDidAppear: keep the current implementation, install a block that
    // calls it and then reports.
    AppearanceReporter reporter;
    auto& reported = reporter.reported;
    auto nav = UINavigationController::make(screen("Root"));
    nav->setTitle("Nav");
    window->setRootViewController(nav);
    window->makeKeyAndVisible();
    nav->pushViewController(screen("Detail"), true);
    EXPECT_EQ(reported, (std::vector<std::string>{"Root", "Nav", "Detail"}));
    EXPECT_EQ(calls().back(), "Detail didAppear") << "the screen's own method still runs";
}

TEST_F(UIKitScreens, PresentationNeedsAWindowAndDismissRestoresThePresenter) {
    auto root = screen("Root");
    auto modal = screen("Modal");
    EXPECT_FALSE(root->presentViewController(modal, true)) << "not in a window";
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    calls().clear();
    bool completed = false;
    EXPECT_TRUE(root->presentViewController(modal, true, [&] { completed = true; }));
    EXPECT_TRUE(completed);
    EXPECT_EQ(root->presentedViewController(), modal);
    EXPECT_EQ(modal->presentingViewController(), root);
    EXPECT_FALSE(root->presentViewController(screen("Other"), true)) << "already presenting";
    modal->dismissViewControllerAnimated(true);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"Modal load", "Root willDisappear", "Modal willAppear",
                                        "Root didDisappear", "Modal didAppear", "Modal willDisappear",
                                        "Root willAppear", "Modal didDisappear", "Root didAppear"}));
}

TEST_F(UIKitScreens, AlertControllerTappedByTheDriver) {
    auto root = screen("Root");
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    auto alert = UIAlertController::alertControllerWithTitle("Offline", "No connection",
                                                             UIAlertControllerStyle::alert);
    std::vector<std::string> tapped;
    alert->addAction(UIAlertAction::actionWithTitle(
        "Cancel", UIAlertActionStyle::cancel, [&](const UIAlertAction& a) { tapped.push_back(a.title()); }));
    alert->addAction(
        UIAlertAction::actionWithTitle("Retry", UIAlertActionStyle::defaultStyle,
                                       [&](const UIAlertAction& a) { tapped.push_back(a.title()); }));
    calls().clear();
    EXPECT_TRUE(root->presentViewController(alert, true));
    EXPECT_TRUE(calls().empty()) << "an alert shows over its presenter";
    EXPECT_FALSE(sim::App::tapAlertAction("Nope"));
    EXPECT_TRUE(sim::App::tapAlertAction("Retry"));
    EXPECT_EQ(tapped, (std::vector<std::string>{"Retry"}));
    EXPECT_EQ(root->presentedViewController(), nullptr) << "dismissed before the handler ran";
    EXPECT_FALSE(sim::App::tapAlertAction("Cancel")) << "nothing on screen any more";

    auto alerts = sim::App::recorder().alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "Offline");
    EXPECT_EQ(alerts[0].message, "No connection");
    EXPECT_EQ(alerts[0].actions, (std::vector<std::string>{"Cancel", "Retry"}));
    EXPECT_TRUE(alerts[0].shown);
}

TEST_F(UIKitScreens, AlertWithoutAWindowIsRecordedAsNotShown) {
    auto root = screen("Root");
    auto alert = UIAlertController::alertControllerWithTitle("Hi", "", UIAlertControllerStyle::alert);
    alert->addAction(UIAlertAction::actionWithTitle("OK", UIAlertActionStyle::defaultStyle));
    EXPECT_FALSE(root->presentViewController(alert, true));
    auto alerts = sim::App::recorder().alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_FALSE(alerts[0].shown);
    EXPECT_FALSE(sim::App::tapAlertAction("OK"));
}

TEST_F(UIKitScreens, LegacyAlertViewTellsItsDelegateOnTheMainQueue) {
    rt::Class* delegateClass = rt::registerClass("AlertDelegate");
    std::vector<std::string> heard;
    rt::addMethod(delegateClass,
                  "alertView:clickedButtonAtIndex:", [&](rt::Object&, rt::ObjectPtr, int64_t i) {
                      heard.push_back("clicked " + std::to_string(i));
                  });
    rt::addMethod(delegateClass,
                  "alertView:didDismissWithButtonIndex:", [&](rt::Object&, rt::ObjectPtr, int64_t i) {
                      heard.push_back("dismissed " + std::to_string(i));
                  });
    auto delegate = rt::createInstance(delegateClass);
    auto alert = UIAlertView::make("Update", "A new version", delegate, std::string("Later"), {"Update"});
    EXPECT_EQ(alert->cancelButtonIndex(), 0);
    EXPECT_EQ(alert->addButtonWithTitle("Details"), 2);
    std::weak_ptr<UIAlertView> watch = alert;
    alert->show();
    alert.reset();
    EXPECT_FALSE(watch.expired()) << "a shown alert stays alive";
    EXPECT_FALSE(sim::App::tapAlertButton(3));
    EXPECT_TRUE(sim::App::tapAlertButton(1));
    EXPECT_TRUE(heard.empty());
    Virtual::runUntilIdle();
    EXPECT_EQ(heard, (std::vector<std::string>{"clicked 1", "dismissed 1"}));
    EXPECT_TRUE(watch.expired());
    ASSERT_EQ(sim::App::recorder().alerts().size(), 1u);
    EXPECT_TRUE(sim::App::recorder().alerts()[0].legacy);
}

TEST_F(UIKitScreens, PullToRefreshSendsTheActionAndIndicatorIsRecorded) {
    rt::Class* targetClass = rt::registerClass("WebScreen");
    int refreshes = 0;
    rt::addMethod(targetClass,
                  "refresh:", [&](rt::Object&, rt::ObjectPtr sender) { refreshes += sender != nullptr; });
    auto target = rt::createInstance(targetClass);
    EXPECT_FALSE(sim::App::pullToRefresh());
    auto control = UIRefreshControl::make();
    control->addTarget(target, "refresh:", UIControlEventValueChanged);
    EXPECT_TRUE(sim::App::pullToRefresh());
    EXPECT_TRUE(control->isRefreshing());
    EXPECT_TRUE(sim::App::pullToRefresh()) << "already refreshing: no second action";
    control->endRefreshing();
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(sim::App::recorder().refreshStates(), (std::vector<bool>{true, false}));

    auto spinner = UIActivityIndicatorView::make();
    EXPECT_TRUE(spinner->isHidden());
    spinner->startAnimating();
    EXPECT_FALSE(spinner->isHidden());
    spinner->stopAnimating();
    EXPECT_TRUE(spinner->isHidden());
    EXPECT_EQ(sim::App::recorder().indicatorStates(), (std::vector<bool>{true, false}));
}

TEST_F(UIKitScreens, TapButtonSendsTouchUpInsideActionsOnlyToAVisibleEnabledButton) {
    rt::Class* targetClass = rt::registerClass("OfflineScreen");
    std::vector<std::string> actions;
    rt::addMethod(targetClass, "reloadButtonAction", [&](rt::Object&) { actions.push_back("reload"); });
    rt::addMethod(targetClass, "tapped:", [&](rt::Object&, rt::ObjectPtr sender) {
        actions.push_back(sender ? rt::className(*sender) : "nil");
    });
    rt::addMethod(targetClass, "changed", [&](rt::Object&) { actions.push_back("changed"); });
    auto target = rt::createInstance(targetClass);

    auto offlineView = UIView::make();
    auto button = UIButton::make();
    button->setTitle("Reload");
    offlineView->addSubview(button);
    button->addTarget(target, "reloadButtonAction", UIControlEventTouchUpInside);
    button->addTarget(target, "tapped:", UIControlEventTouchUpInside | UIControlEventValueChanged);
    button->addTarget(target, "changed", UIControlEventValueChanged);

    EXPECT_TRUE(sim::App::tapButton(button));
    EXPECT_EQ(actions, (std::vector<std::string>{"reload", "UIButton"}))
        << "touch-up-inside actions in the order added, the sender passed to a one-argument action";

    actions.clear();
    offlineView->setHidden(true);
    EXPECT_FALSE(sim::App::tapButton(button)) << "inside a hidden view";
    offlineView->setHidden(false);
    button->setEnabled(false);
    EXPECT_FALSE(sim::App::tapButton(button)) << "disabled";
    button->setEnabled(true);
    EXPECT_FALSE(sim::App::tapButton(offlineView)) << "not a control";
    EXPECT_FALSE(sim::App::tapButton(nullptr));
    EXPECT_TRUE(actions.empty());

    button->removeTarget(target, "tapped:", UIControlEventTouchUpInside);
    EXPECT_TRUE(sim::App::tapButton(button));
    button->sendActionsForControlEvents(UIControlEventValueChanged);
    EXPECT_EQ(actions, (std::vector<std::string>{"reload", "UIButton", "changed"}))
        << "removing one event keeps the action for the other";

    actions.clear();
    button->removeTarget(nullptr, rt::Sel(), UIControlEventTouchUpInside);
    EXPECT_TRUE(sim::App::tapButton(button));
    EXPECT_TRUE(actions.empty()) << "a null target and action remove every touch-up-inside action";

    // Hooks apply: an action exchanged at run time is the one that runs.
    button->addTarget(target, "reloadButtonAction", UIControlEventTouchUpInside);
    rt::replaceMethod(targetClass, "reloadButtonAction", [&](rt::Object&) { actions.push_back("hooked"); });
    EXPECT_TRUE(sim::App::tapButton(button));
    EXPECT_EQ(actions, (std::vector<std::string>{"hooked"}));
    actions.clear();
    target.reset();
    EXPECT_TRUE(sim::App::tapButton(button));
    EXPECT_TRUE(actions.empty()) << "the target is held weakly";
}

} // namespace
} // namespace plat

namespace plat {
namespace {

TEST(UIKitMainThreadDeathTest, UIFromAnotherQueueIsFatalInTests) {
    EXPECT_DEATH(
        {
            auto queue = DispatchQueue::makeSerial("worker");
            queue->async([] { UIViewController::make()->view(); });
            Virtual::runUntilIdle();
        },
        "UI API called on a background thread: -\\[UIViewController view\\]");
}

} // namespace
} // namespace plat
