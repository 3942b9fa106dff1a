// Tab-bar and page controllers: selection and page turns in the device's appearance order (through the
// runtime, so hooks see them), child and parent links, and walking a controller tree as a screen reporter
// does.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIPageViewController.hpp"
#include "platform/uikit/UITabBarController.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/uikit/tests/LoggingScreen.hpp"

namespace plat {
namespace {

using test::calls;
using test::AppearanceReporter;
using test::LoggingScreen;

using test::Calls;

// The switch from one shown screen to another, as the device orders it.
Calls switchCalls(const std::string& from, const std::string& to, bool loads = true) {
    Calls out;
    if (loads) {
        out.push_back(to + " load");
    }
    for (const char* step : {" willDisappear", " willAppear", " didDisappear", " didAppear"}) {
        const bool leaving = std::string(step).find("Disappear") != std::string::npos;
        out.push_back((leaving ? from : to) + step);
    }
    return out;
}

class UIKitContainers : public test::LoggingScreenTest {
protected:
    void show(const std::shared_ptr<UIViewController>& root) {
        window->setRootViewController(root);
        window->makeKeyAndVisible();
    }
};

TEST_F(UIKitContainers, TabSelectionRunsAppearanceCallsInDeviceOrderThroughTheRuntime) {
    // A screen reporter's hook: the current viewDidAppear: runs, then the report.
    AppearanceReporter reporter;
    auto& reported = reporter.reported;

    auto a = screen("A"), b = screen("B"), c = screen("C");
    auto tabs = UITabBarController::make({a, b, c});
    tabs->setTitle("Tabs");
    EXPECT_EQ(tabs->selectedViewController(), a) << "the first tab is selected";
    EXPECT_TRUE(calls().empty()) << "nothing loads off screen";
    show(tabs);
    EXPECT_EQ(calls(), (Calls{"A load", "A willAppear", "A didAppear"}));

    calls().clear();
    tabs->setSelectedIndex(1);
    EXPECT_EQ(calls(), switchCalls("A", "B"));
    calls().clear();
    tabs->setSelectedViewController(c);
    EXPECT_EQ(calls(), switchCalls("B", "C"));
    EXPECT_EQ(tabs->selectedIndex(), 2u);
    EXPECT_EQ(tabs->view()->subviews(), (std::vector<std::shared_ptr<UIView>>{c->view()}))
        << "only the selected screen's view is in the tab-bar controller's view";

    calls().clear();
    tabs->setSelectedIndex(9);
    tabs->setSelectedViewController(c);
    EXPECT_TRUE(calls().empty()) << "an index past the tabs and the selected tab change nothing";
    try {
        tabs->setSelectedViewController(screen("Outsider"));
        ADD_FAILURE() << "selecting a screen that is not a tab raises";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), NSInvalidArgumentException);
    }
    EXPECT_EQ(tabs->selectedViewController(), c);
    EXPECT_EQ(reported, (std::vector<std::string>{"A", "Tabs", "B", "C"}));

    calls().clear();
    window->setRootViewController(screen("Next"));
    EXPECT_EQ(calls(),
              (Calls{"Next load", "C willDisappear", "Next willAppear", "C didDisappear", "Next didAppear"}))
        << "the selected tab leaves with its container";
}

TEST_F(UIKitContainers, NewTabsKeepTheSelectionWhereTheyCan) {
    auto a = screen("A"), b = screen("B"), c = screen("C"), d = screen("D"), e = screen("E"), f = screen("F");
    auto tabs = UITabBarController::make({a, b, c});
    tabs->setSelectedViewController(b);
    show(tabs);
    calls().clear();

    tabs->setViewControllers({c, b});
    EXPECT_EQ(tabs->selectedViewController(), b) << "the selected screen is still a tab";
    EXPECT_EQ(tabs->selectedIndex(), 1u);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(a->parentViewController(), nullptr);

    tabs->setViewControllers({d, e});
    EXPECT_EQ(tabs->selectedViewController(), e) << "else the same index";
    EXPECT_EQ(calls(), switchCalls("B", "E"));

    calls().clear();
    tabs->setViewControllers({f});
    EXPECT_EQ(tabs->selectedViewController(), f) << "else the first";
    EXPECT_EQ(calls(), switchCalls("E", "F"));
    EXPECT_EQ(f->tabBarController(), tabs);
    EXPECT_EQ(e->tabBarController(), nullptr);
    EXPECT_EQ(e->parentViewController(), nullptr);

    calls().clear();
    tabs->setViewControllers({});
    EXPECT_EQ(tabs->selectedViewController(), nullptr);
    EXPECT_EQ(tabs->selectedIndex(), UITabBarController::noSelection);
    EXPECT_EQ(calls(), (Calls{"F willDisappear", "F didDisappear"}));
    EXPECT_TRUE(tabs->view()->subviews().empty());
}

TEST_F(UIKitContainers, PageTurnsRunAppearanceCallsInDeviceOrder) {
    auto pages = UIPageViewController::make();
    EXPECT_TRUE(pages->viewControllers().empty());
    auto p1 = screen("P1"), p2 = screen("P2");
    pages->setViewControllers({p1}, UIPageViewControllerNavigationDirection::forward, false);
    show(pages);
    EXPECT_EQ(calls(), (Calls{"P1 load", "P1 willAppear", "P1 didAppear"}));

    calls().clear();
    std::vector<bool> completions;
    pages->setViewControllers({p2}, UIPageViewControllerNavigationDirection::forward, true,
                              [&](bool finished) { completions.push_back(finished); });
    EXPECT_EQ(calls(), switchCalls("P1", "P2"));
    EXPECT_EQ(pages->viewControllers(), (std::vector<std::shared_ptr<UIViewController>>{p2}));
    EXPECT_EQ(pages->childViewControllers(), (std::vector<std::shared_ptr<UIViewController>>{p2}));
    EXPECT_EQ(p2->parentViewController(), pages);
    EXPECT_EQ(p1->parentViewController(), nullptr);

    calls().clear();
    pages->setViewControllers({p2}, UIPageViewControllerNavigationDirection::reverse, false,
                              [&](bool finished) { completions.push_back(finished); });
    EXPECT_TRUE(calls().empty()) << "the page shown already";
    EXPECT_EQ(completions, (std::vector<bool>{true, true}));

    for (const auto& wrong : {std::vector<std::shared_ptr<UIViewController>>{},
                              std::vector<std::shared_ptr<UIViewController>>{p1, p2},
                              std::vector<std::shared_ptr<UIViewController>>{nullptr}}) {
        SCOPED_TRACE(wrong.size());
        EXPECT_THROW(
            pages->setViewControllers(wrong, UIPageViewControllerNavigationDirection::forward, false),
            Exception);
        EXPECT_EQ(pages->viewControllers(), (std::vector<std::shared_ptr<UIViewController>>{p2}));
    }
}

// The descent a screen reporter makes from a screen to the one the user sees.
std::shared_ptr<UIViewController> shownLeaf(std::shared_ptr<UIViewController> g) {
    while (true) {
        std::shared_ptr<UIViewController> m;
        if (auto nav = std::dynamic_pointer_cast<UINavigationController>(g)) {
            m = nav->visibleViewController();
        } else if (auto tabs = std::dynamic_pointer_cast<UITabBarController>(g)) {
            m = tabs->selectedViewController();
        } else if (auto pages = std::dynamic_pointer_cast<UIPageViewController>(g)) {
            m = pages->viewControllers().empty() ? nullptr : pages->viewControllers().front();
        } else if (g->presentedViewController()) {
            m = g->presentedViewController();
        }
        if (!m || !(std::dynamic_pointer_cast<UINavigationController>(m) ||
                    std::dynamic_pointer_cast<UITabBarController>(m) ||
                    std::dynamic_pointer_cast<UIPageViewController>(m))) {
            return m;
        }
        g = m;
    }
}

TEST_F(UIKitContainers, ControllerTreesAreWalkableThroughChildrenSelectionAndPresentation) {
    auto a = screen("A"), b = screen("B"), c = screen("C");
    auto nav = UINavigationController::make(a);
    nav->pushViewController(b, false);
    auto pages = UIPageViewController::make();
    pages->setViewControllers({c}, UIPageViewControllerNavigationDirection::forward, false);
    auto tabs = UITabBarController::make({nav, pages});
    show(tabs);

    EXPECT_EQ(rt::className(*tabs), "UITabBarController");
    EXPECT_EQ(rt::className(*pages), "UIPageViewController");
    EXPECT_TRUE(rt::isKindOf(*tabs, UIViewController::runtimeClass()));
    EXPECT_EQ(tabs->childViewControllers(), (std::vector<std::shared_ptr<UIViewController>>{nav, pages}));
    EXPECT_EQ(b->navigationController(), nav);
    EXPECT_EQ(b->tabBarController(), tabs);
    EXPECT_EQ(c->tabBarController(), tabs);
    EXPECT_EQ(c->navigationController(), nullptr);
    EXPECT_EQ(shownLeaf(tabs), b);
    EXPECT_TRUE(b->isAppeared());

    tabs->setSelectedViewController(pages);
    EXPECT_EQ(shownLeaf(tabs), c);
    EXPECT_TRUE(c->isAppeared());
    EXPECT_FALSE(b->isAppeared()) << "the navigation stack's top left with its tab";

    auto modal = screen("Modal");
    ASSERT_TRUE(c->presentViewController(modal, false));
    EXPECT_EQ(c->presentedViewController(), modal);
    EXPECT_EQ(shownLeaf(c), modal);
    EXPECT_EQ(modal->view()->window(), window);
}

} // namespace
} // namespace plat
