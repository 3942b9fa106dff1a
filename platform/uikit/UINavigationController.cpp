#include "platform/uikit/UINavigationController.hpp"

#include <algorithm>

#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace plat {

UINavigationController::UINavigationController(rt::Class* cls) : UIViewController(cls) {}

rt::Class* UINavigationController::runtimeClass() {
    return uikitClasses().navigationController;
}

std::shared_ptr<UINavigationController>
UINavigationController::make(const std::shared_ptr<UIViewController>& root) {
    auto nav = std::make_shared<UINavigationController>(runtimeClass());
    if (root) {
        nav->addChildViewController(root);
    }
    return nav;
}

std::shared_ptr<UIViewController> UINavigationController::topViewController() const {
    const auto& children = childViewControllers();
    return children.empty() ? nullptr : children.back();
}

std::shared_ptr<UIViewController> UINavigationController::visibleViewController() const {
    auto top = topViewController();
    if (auto presented = presentedViewController()) {
        return presented;
    }
    return top;
}

void UINavigationController::loadView() {
    UIViewController::loadView();
    if (auto top = topViewController()) {
        embedChildView(*top);
    }
}

void UINavigationController::switchTop(const std::shared_ptr<UIViewController>& from,
                                       const std::shared_ptr<UIViewController>& to, bool animated) {
    replaceShownChild(from, to, animated);
}

void UINavigationController::pushViewController(const std::shared_ptr<UIViewController>& vc, bool animated) {
    if (!vc) {
        return;
    }
    auto from = topViewController();
    addChildViewController(vc);
    switchTop(from, vc, animated);
    sim::UIRecorder::shared().screenPushed(rt::className(*vc));
}

std::shared_ptr<UIViewController> UINavigationController::popViewControllerAnimated(bool animated) {
    const auto& children = childViewControllers();
    if (children.size() < 2) {
        return nullptr;
    }
    auto popped = children.back();
    auto to = children[children.size() - 2];
    switchTop(popped, to, animated);
    popped->removeFromParentViewController();
    sim::UIRecorder::shared().screenPopped(rt::className(*popped));
    return popped;
}

std::vector<std::shared_ptr<UIViewController>>
UINavigationController::popToViewController(const std::shared_ptr<UIViewController>& vc, bool animated) {
    auto children = childViewControllers();
    auto it = std::find(children.begin(), children.end(), vc);
    if (it == children.end() || it + 1 == children.end()) {
        return {};
    }
    std::vector<std::shared_ptr<UIViewController>> popped(it + 1, children.end());
    switchTop(children.back(), vc, animated);
    for (auto& p : popped) {
        p->removeFromParentViewController();
    }
    for (auto p = popped.rbegin(); p != popped.rend(); ++p) {
        sim::UIRecorder::shared().screenPopped(rt::className(**p));
    }
    return popped;
}

std::vector<std::shared_ptr<UIViewController>>
UINavigationController::popToRootViewControllerAnimated(bool animated) {
    const auto& children = childViewControllers();
    return children.empty() ? std::vector<std::shared_ptr<UIViewController>>{}
                            : popToViewController(children.front(), animated);
}

void UINavigationController::setViewControllers(
    const std::vector<std::shared_ptr<UIViewController>>& controllers, bool animated) {
    auto from = topViewController(); // kept alive until the switch is done
    auto previous = childViewControllers();
    for (auto& old : previous) {
        old->removeFromParentViewController();
    }
    for (auto& vc : controllers) {
        addChildViewController(vc);
    }
    switchTop(from, topViewController(), animated);
}

void UINavigationController::setNavigationBarHidden(bool hidden, bool) {
    barHidden_ = hidden;
}

// The shown top screen appears and disappears with its container.
void UINavigationController::viewWillAppear(bool animated) {
    if (auto top = topViewController()) {
        if (isViewLoaded() && !top->view()->superview()) {
            embedChildView(*top);
        }
        sendWillAppear(*top, animated);
    }
}

void UINavigationController::viewDidAppear(bool animated) {
    if (auto top = topViewController()) {
        sendDidAppear(*top, animated);
    }
}

void UINavigationController::viewWillDisappear(bool animated) {
    if (auto top = topViewController()) {
        sendWillDisappear(*top, animated);
    }
}

void UINavigationController::viewDidDisappear(bool animated) {
    if (auto top = topViewController()) {
        sendDidDisappear(*top, animated);
    }
}

} // namespace plat
