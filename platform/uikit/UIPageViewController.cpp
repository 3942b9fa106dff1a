#include "platform/uikit/UIPageViewController.hpp"

#include <string>

#include "platform/foundation/Error.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/UIKitClasses.hpp"

namespace plat {

UIPageViewController::UIPageViewController(rt::Class* cls) : UIViewController(cls) {}

rt::Class* UIPageViewController::runtimeClass() {
    return uikitClasses().pageViewController;
}

std::shared_ptr<UIPageViewController> UIPageViewController::make() {
    return std::make_shared<UIPageViewController>(runtimeClass());
}

void UIPageViewController::setViewControllers(
    const std::vector<std::shared_ptr<UIViewController>>& controllers,
    UIPageViewControllerNavigationDirection, bool animated, std::function<void(bool)> completion) {
    requireMainThread("-[UIPageViewController setViewControllers:direction:animated:completion:]");
    if (controllers.size() != 1 || !controllers.front()) {
        Exception::raise(NSInvalidArgumentException,
                         "The number of view controllers provided (" + std::to_string(controllers.size()) +
                             ") doesn't match the number required (1) for the requested transition");
    }
    std::shared_ptr<UIViewController> from = pages_.empty() ? nullptr : pages_.front();
    const auto& to = controllers.front();
    if (from != to) {
        if (from) {
            from->removeFromParentViewController();
        }
        addChildViewController(to);
        pages_ = controllers;
        replaceShownChild(from, to, animated);
    }
    if (completion) {
        completion(true);
    }
}

void UIPageViewController::loadView() {
    UIViewController::loadView();
    for (const auto& page : pages_) {
        embedChildView(*page);
    }
}

// The shown page appears and disappears with its container.
void UIPageViewController::viewWillAppear(bool animated) {
    const auto pages = pages_; // a hook may turn the page
    for (const auto& page : pages) {
        if (isViewLoaded() && !page->view()->superview()) {
            embedChildView(*page);
        }
        sendWillAppear(*page, animated);
    }
}

void UIPageViewController::viewDidAppear(bool animated) {
    const auto pages = pages_; // a hook may turn the page
    for (const auto& page : pages) {
        sendDidAppear(*page, animated);
    }
}

void UIPageViewController::viewWillDisappear(bool animated) {
    const auto pages = pages_; // a hook may turn the page
    for (const auto& page : pages) {
        sendWillDisappear(*page, animated);
    }
}

void UIPageViewController::viewDidDisappear(bool animated) {
    const auto pages = pages_; // a hook may turn the page
    for (const auto& page : pages) {
        sendDidDisappear(*page, animated);
    }
}

} // namespace plat
