// Layout: autoresizing masks when a superview changes size, layout passes sent through the runtime when a
// screen is put in a window (before it appears) and when the device turns, the screen's bounds in landscape,
// and the responder class at the base of views, screens and the application.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UIDevice.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIPageViewController.hpp"
#include "platform/uikit/UIResponder.hpp"
#include "platform/uikit/UITabBarController.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/uikit/tests/LoggingScreen.hpp"

namespace plat {
namespace {

using test::Calls;
using test::calls;

// Logs its layout calls too, with the size of its view at layout time.
class LayoutScreen : public test::LoggingScreen {
public:
    using test::LoggingScreen::LoggingScreen;
    void viewDidLayoutSubviews() override {
        const CGSize size = view()->frame().size;
        calls().push_back(title() + " layout " + std::to_string(int(size.width)) + "x" +
                          std::to_string(int(size.height)));
    }
};

class UIKitLayout : public ::testing::Test {
public: // the cases of a table build their screens through the fixture
    void SetUp() override {
        calls().clear();
        screenClass = rt::registerClass<LayoutScreen>("LayoutScreen", UIViewController::runtimeClass());
        rt::registerClass("AppDelegate");
        app = sim::App::launch("AppDelegate");
        window = UIWindow::make();
    }
    void TearDown() override { sim::App::rotate(UIInterfaceOrientation::portrait); }

    std::shared_ptr<LayoutScreen> screen(const std::string& title) {
        auto s = rt::make<LayoutScreen>(screenClass);
        s->setTitle(title);
        return s;
    }
    void show(const std::shared_ptr<UIViewController>& root) {
        window->setRootViewController(root);
        window->makeKeyAndVisible();
    }

    rt::Class* screenClass = nullptr;
    std::shared_ptr<UIApplication> app;
    std::shared_ptr<UIWindow> window;
};

// ---- autoresizing ----------------------------------------------------------------------------------

struct ResizeCase {
    const char* name;
    uint64_t mask;
    CGRect child; // in a 100 x 100 superview that becomes 200 x 300
    CGRect expected;
};

TEST(UIKitAutoresizing, SubviewsFollowTheirMasksWhenTheSuperviewChangesSize) {
    constexpr uint64_t L = UIViewAutoresizingFlexibleLeftMargin, W = UIViewAutoresizingFlexibleWidth,
                       R = UIViewAutoresizingFlexibleRightMargin, T = UIViewAutoresizingFlexibleTopMargin,
                       H = UIViewAutoresizingFlexibleHeight, B = UIViewAutoresizingFlexibleBottomMargin;
    const ResizeCase cases[] = {
        {"fixed", 0, {{10, 10}, {50, 50}}, {{10, 10}, {50, 50}}},
        {"stretched", W | H, {{10, 10}, {50, 50}}, {{10, 10}, {150, 250}}},
        {"pinned to the far edges", L | T, {{10, 10}, {50, 50}}, {{110, 210}, {50, 50}}},
        {"pinned to the near edges", R | B, {{10, 10}, {50, 50}}, {{10, 10}, {50, 50}}},
        // Margins of 10 and 40 take 1/5 and 4/5 of the growth.
        {"centred by proportion", L | R | T | B, {{10, 10}, {50, 50}}, {{30, 50}, {50, 50}}},
        // A margin and the size of equal length share the growth evenly.
        {"margin and size", L | W | T | H, {{50, 50}, {50, 50}}, {{100, 150}, {100, 150}}},
        // Flexible parts that are all zero long share it evenly too.
        {"zero margins", L | R, {{0, 0}, {100, 100}}, {{50, 0}, {100, 100}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto parent = UIView::make({{0, 0}, {100, 100}});
        auto child = UIView::make(c.child);
        child->setAutoresizingMask(c.mask);
        parent->addSubview(child);
        parent->setFrame({{5, 5}, {200, 300}});
        EXPECT_EQ(child->frame(), c.expected);
        parent->setFrame({{0, 0}, {100, 100}});
        EXPECT_EQ(child->frame(), c.child) << "shrinking back restores the frame";
    }
}

TEST(UIKitAutoresizing, ResizingReachesNestedViewsButAMoveAloneChangesNothing) {
    auto root = UIView::make({{0, 0}, {100, 100}});
    auto middle = UIView::make({{0, 0}, {100, 100}});
    middle->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
    auto leaf = UIView::make({{0, 20}, {100, 80}});
    leaf->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
    root->addSubview(middle);
    middle->addSubview(leaf);

    root->setFrame({{30, 30}, {100, 100}});
    EXPECT_EQ(leaf->frame(), (CGRect{{0, 20}, {100, 80}}));
    root->setFrame({{0, 0}, {400, 50}});
    EXPECT_EQ(middle->frame(), (CGRect{{0, 0}, {400, 50}}));
    EXPECT_EQ(leaf->frame(), (CGRect{{0, 20}, {400, 30}}));
}

// ---- layout passes ---------------------------------------------------------------------------------

TEST_F(UIKitLayout, TheRootIsLaidOutInTheWindowsBoundsBeforeItAppears) {
    auto nav = UINavigationController::make(screen("A"));
    window->setRootViewController(nav);
    EXPECT_TRUE(calls().empty()) << "nothing is laid out before the window shows";
    window->makeKeyAndVisible();

    const CGRect screenBounds = UIScreen::mainScreen().bounds();
    EXPECT_EQ(window->frame(), screenBounds);
    EXPECT_EQ(nav->view()->frame(), screenBounds);
    EXPECT_EQ(nav->topViewController()->view()->frame(), screenBounds);
    const std::string size =
        std::to_string(int(screenBounds.size.width)) + "x" + std::to_string(int(screenBounds.size.height));
    EXPECT_EQ(calls(), (Calls{"A load", "A willAppear", "A layout " + size, "A didAppear"}));
}

// Every way of putting a screen on the screen lays it out after viewWillAppear and before viewDidAppear.
TEST_F(UIKitLayout, EveryWayOfShowingAScreenLaysItOutBeforeItAppears) {
    struct Case {
        const char* name;
        std::function<std::shared_ptr<UIViewController>(UIKitLayout&)> root; // shown first
        std::function<void(UIViewController& root, const std::shared_ptr<UIViewController>& next)> showNext;
    };
    const Case cases[] = {
        {"new window root", [](UIKitLayout& t) { return t.screen("A"); },
         [](UIViewController&, const std::shared_ptr<UIViewController>& next) {
             UIApplication::sharedApplication()->keyWindow()->setRootViewController(next);
         }},
        {"push", [](UIKitLayout& t) { return UINavigationController::make(t.screen("A")); },
         [](UIViewController& root, const std::shared_ptr<UIViewController>& next) {
             dynamic_cast<UINavigationController&>(root).pushViewController(next, true);
         }},
        {"presentation", [](UIKitLayout& t) { return UINavigationController::make(t.screen("A")); },
         [](UIViewController& root, const std::shared_ptr<UIViewController>& next) {
             EXPECT_TRUE(
                 dynamic_cast<UINavigationController&>(root).topViewController()->presentViewController(
                     next, true));
         }},
        {"tab",
         [](UIKitLayout& t) {
             return UITabBarController::make({t.screen("A"), t.screen("B")});
         },
         [](UIViewController& root, const std::shared_ptr<UIViewController>&) {
             dynamic_cast<UITabBarController&>(root).setSelectedIndex(1);
         }},
        {"page",
         [](UIKitLayout& t) {
             auto pages = UIPageViewController::make();
             pages->setViewControllers({t.screen("A")}, UIPageViewControllerNavigationDirection::forward,
                                       false);
             return std::static_pointer_cast<UIViewController>(pages);
         },
         [](UIViewController& root, const std::shared_ptr<UIViewController>& next) {
             dynamic_cast<UIPageViewController&>(root).setViewControllers(
                 {next}, UIPageViewControllerNavigationDirection::forward, true);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        window = UIWindow::make();
        auto root = c.root(*this);
        show(root);
        std::shared_ptr<UIViewController> next = screen("B");
        if (auto tabs = std::dynamic_pointer_cast<UITabBarController>(root)) {
            next = tabs->viewControllers().at(1);
        }
        calls().clear();
        c.showNext(*root, next);

        const Calls& got = calls();
        auto at = [&](const std::string& call) {
            return std::find(got.begin(), got.end(), call) - got.begin();
        };
        const auto layout = std::find_if(got.begin(), got.end(),
                                         [](const std::string& s) { return s.starts_with("B layout "); });
        ASSERT_NE(layout, got.end()) << ::testing::PrintToString(got);
        EXPECT_LT(at("B willAppear"), layout - got.begin()) << ::testing::PrintToString(got);
        EXPECT_LT(layout - got.begin(), at("B didAppear")) << ::testing::PrintToString(got);
        EXPECT_EQ(next->view()->frame().size.width, window->frame().size.width);
        EXPECT_EQ(next->view()->frame().size.height, window->frame().size.height);
    }
}

TEST_F(UIKitLayout, AHookOnTheLayoutMethodSeesThePass) {
    int hooked = 0;
    rt::Class* base = UIViewController::runtimeClass();
    const rt::Sel layout = rt::sel("viewDidLayoutSubviews");
    rt::Imp original;
    original = rt::replaceMethod(base, layout, rt::Imp([&](UIViewController& self) {
                                     ++hooked;
                                     original.call<void>(self);
                                 }));
    show(UINavigationController::make(screen("A")));
    rt::replaceMethod(base, layout, original);
    EXPECT_EQ(hooked, 2) << "the container and the screen inside it";
    EXPECT_EQ(calls(), (Calls{"A load", "A willAppear", "A layout 375x812", "A didAppear"}))
        << "the original method still runs";
}

TEST_F(UIKitLayout, TurningTheDeviceResizesTheWindowsAndLaysOutWhatTheyShow) {
    auto nav = UINavigationController::make(screen("A"));
    show(nav);
    ASSERT_TRUE(nav->topViewController()->presentViewController(screen("P"), false));
    auto hiddenWindow = UIWindow::make();
    hiddenWindow->setRootViewController(screen("Hidden"));
    calls().clear();

    sim::App::rotate(UIInterfaceOrientation::landscapeLeft);
    const CGRect landscape{{0, 0}, {812, 375}};
    EXPECT_EQ(UIScreen::mainScreen().bounds(), landscape);
    EXPECT_EQ(window->frame(), landscape);
    EXPECT_EQ(nav->view()->frame(), landscape);
    EXPECT_EQ(nav->topViewController()->view()->frame(), landscape);
    EXPECT_EQ(calls(), (Calls{"A layout 812x375", "P layout 812x375"}));
    EXPECT_FALSE(hiddenWindow->rootViewController()->isViewLoaded()) << "a window not shown lays out nothing";

    calls().clear();
    sim::App::rotate(UIInterfaceOrientation::landscapeRight);
    EXPECT_TRUE(calls().empty()) << "the size did not change, so there is nothing to lay out";

    sim::App::rotate(UIInterfaceOrientation::portraitUpsideDown);
    EXPECT_EQ(window->frame(), (CGRect{{0, 0}, {375, 812}}));
    EXPECT_EQ(calls(), (Calls{"A layout 375x812", "P layout 375x812"}));
}

TEST_F(UIKitLayout, LayoutHappensBetweenTheTwoOrientationNotifications) {
    show(screen("A"));
    NotificationCenter::defaultCenter().addObserver(
        this, UIDeviceOrientationDidChangeNotification, nullptr,
        [&](const Notification&) { calls().push_back("device"); });
    NotificationCenter::defaultCenter().addObserver(
        this, UIApplicationDidChangeStatusBarOrientationNotification, nullptr,
        [&](const Notification&) { calls().push_back("status bar"); });
    calls().clear();
    sim::App::rotate(UIInterfaceOrientation::landscapeRight);
    NotificationCenter::defaultCenter().removeObserver(this);
    EXPECT_EQ(calls(), (Calls{"device", "A layout 812x375", "status bar"}));
}

// ---- responder chain classes -----------------------------------------------------------------------

TEST(UIKitResponder, ViewsScreensAndTheApplicationAreResponders) {
    rt::Class* responder = UIResponder::runtimeClass();
    ASSERT_NE(responder, nullptr);
    EXPECT_EQ(rt::getClass("UIResponder"), responder);
    EXPECT_EQ(responder->superclass(), rt::rootClass());
    for (const char* name : {"UIView", "UIWindow", "UIButton", "UIViewController", "UINavigationController",
                             "UIAlertController", "UIApplication"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(rt::isSubclassOf(rt::getClass(name), responder));
    }
    EXPECT_FALSE(rt::isSubclassOf(rt::rootClass(), responder));
}

} // namespace
} // namespace plat
