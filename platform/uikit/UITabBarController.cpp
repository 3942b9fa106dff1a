#include "platform/uikit/UITabBarController.hpp"

#include <algorithm>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/UIKitClasses.hpp"

namespace plat {

UITabBarController::UITabBarController(rt::Class* cls) : UIViewController(cls) {}

rt::Class* UITabBarController::runtimeClass() {
    return uikitClasses().tabBarController;
}

std::shared_ptr<UITabBarController>
UITabBarController::make(const std::vector<std::shared_ptr<UIViewController>>& controllers) {
    auto tabs = std::make_shared<UITabBarController>(runtimeClass());
    tabs->setViewControllers(controllers);
    return tabs;
}

std::shared_ptr<UIViewController> UITabBarController::selectedViewController() const {
    auto selected = selected_.lock();
    const auto& tabs = childViewControllers();
    // A tab taken away with removeFromParentViewController is no longer the selection.
    if (selected && std::find(tabs.begin(), tabs.end(), selected) == tabs.end()) {
        return nullptr;
    }
    return selected;
}

uint64_t UITabBarController::selectedIndex() const {
    auto selected = selectedViewController();
    const auto& tabs = childViewControllers();
    auto it = std::find(tabs.begin(), tabs.end(), selected);
    return it == tabs.end() ? noSelection : static_cast<uint64_t>(it - tabs.begin());
}

void UITabBarController::setViewControllers(const std::vector<std::shared_ptr<UIViewController>>& controllers,
                                            bool animated) {
    requireMainThread("-[UITabBarController setViewControllers:animated:]");
    auto from = selectedViewController(); // kept alive until the switch is done
    const uint64_t fromIndex = selectedIndex();
    const auto previous = childViewControllers(); // a copy: removing changes the children
    for (const auto& old : previous) {
        old->removeFromParentViewController();
    }
    for (const auto& vc : controllers) {
        addChildViewController(vc);
    }
    const auto& tabs = childViewControllers();
    std::shared_ptr<UIViewController> to;
    if (from && std::find(tabs.begin(), tabs.end(), from) != tabs.end()) {
        to = from;
    } else if (fromIndex < tabs.size()) {
        to = tabs[fromIndex];
    } else if (!tabs.empty()) {
        to = tabs.front();
    }
    select(to, animated);
}

void UITabBarController::setSelectedViewController(const std::shared_ptr<UIViewController>& vc) {
    requireMainThread("-[UITabBarController setSelectedViewController:]");
    const auto& tabs = childViewControllers();
    if (!vc || std::find(tabs.begin(), tabs.end(), vc) == tabs.end()) {
        Exception::raise(NSInvalidArgumentException,
                         "-[UITabBarController setSelectedViewController:] only a view controller in the tab "
                         "bar controller's list of view controllers can be selected.");
    }
    select(vc, false);
}

void UITabBarController::setSelectedIndex(uint64_t index) {
    requireMainThread("-[UITabBarController setSelectedIndex:]");
    const auto& tabs = childViewControllers();
    if (index < tabs.size()) {
        select(tabs[index], false);
    }
}

void UITabBarController::select(const std::shared_ptr<UIViewController>& to, bool animated) {
    auto from = selected_.lock();
    selected_ = to;
    // A screen no longer among the tabs leaves the view too, even when nothing replaces it.
    replaceShownChild(from, to, animated);
}

void UITabBarController::loadView() {
    UIViewController::loadView();
    if (auto selected = selectedViewController()) {
        embedChildView(*selected);
    }
}

// The selected screen appears and disappears with its container.
void UITabBarController::viewWillAppear(bool animated) {
    if (auto selected = selectedViewController()) {
        if (isViewLoaded() && !selected->view()->superview()) {
            embedChildView(*selected);
        }
        sendWillAppear(*selected, animated);
    }
}

void UITabBarController::viewDidAppear(bool animated) {
    if (auto selected = selectedViewController()) {
        sendDidAppear(*selected, animated);
    }
}

void UITabBarController::viewWillDisappear(bool animated) {
    if (auto selected = selectedViewController()) {
        sendWillDisappear(*selected, animated);
    }
}

void UITabBarController::viewDidDisappear(bool animated) {
    if (auto selected = selectedViewController()) {
        sendDidDisappear(*selected, animated);
    }
}

} // namespace plat
