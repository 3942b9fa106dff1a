#include "platform/uikit/UIViewController.hpp"

#include <algorithm>

#include "platform/foundation/Console.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIRecorder.hpp"
#include "platform/uikit/UITabBarController.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat {

UIViewController::UIViewController(rt::Class* cls) : UIResponder(cls) {}

rt::Class* UIViewController::runtimeClass() {
    return uikitClasses().viewController;
}

std::shared_ptr<UIViewController> UIViewController::make() {
    return std::make_shared<UIViewController>(runtimeClass());
}

std::shared_ptr<UIView> UIViewController::view() {
    requireMainThread("-[UIViewController view]");
    if (!view_ && !loading_) {
        loading_ = true;
        loadView();
        if (!view_) {
            view_ = UIView::make(mainScreenBounds());
        }
        loading_ = false;
        rt::msgSend(*this, "viewDidLoad");
    }
    return view_;
}

void UIViewController::loadView() {
    auto v = UIView::make(mainScreenBounds());
    v->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
    view_ = std::move(v);
}

void UIViewController::addChildViewController(const std::shared_ptr<UIViewController>& child) {
    if (!child || child.get() == this) {
        return;
    }
    child->removeFromParentViewController();
    child->parent_ = std::static_pointer_cast<UIViewController>(shared_from_this());
    children_.push_back(child);
}

void UIViewController::removeFromParentViewController() {
    auto parent = parent_.lock();
    parent_.reset();
    if (!parent) {
        return;
    }
    auto& siblings = parent->children_;
    siblings.erase(
        std::remove_if(siblings.begin(), siblings.end(), [this](auto& c) { return c.get() == this; }),
        siblings.end());
}

std::shared_ptr<UINavigationController> UIViewController::navigationController() const {
    for (auto p = parent_.lock(); p; p = p->parent_.lock()) {
        if (auto nav = std::dynamic_pointer_cast<UINavigationController>(p)) {
            return nav;
        }
    }
    return nullptr;
}

std::shared_ptr<UITabBarController> UIViewController::tabBarController() const {
    for (auto p = parent_.lock(); p; p = p->parent_.lock()) {
        if (auto tabs = std::dynamic_pointer_cast<UITabBarController>(p)) {
            return tabs;
        }
    }
    return nullptr;
}

void UIViewController::replaceShownChild(const std::shared_ptr<UIViewController>& from,
                                         const std::shared_ptr<UIViewController>& to, bool animated) {
    if (from == to || !isViewLoaded()) {
        return;
    }
    const bool onScreen = isAppeared();
    if (to) {
        embedChildView(*to);
    }
    if (onScreen) {
        transition(from.get(), to.get(), animated);
    }
    if (from && from->isViewLoaded()) {
        from->view()->removeFromSuperview();
    }
}

void UIViewController::embedChildView(UIViewController& child) {
    auto container = view();
    auto childView = child.view();
    container->addSubview(childView);
    childView->setFrame(container->bounds());
}

// ---- appearance ------------------------------------------------------------------------------------

void UIViewController::sendWillAppear(UIViewController& vc, bool animated) {
    rt::msgSend(vc, "viewWillAppear:", animated);
}

void UIViewController::sendDidAppear(UIViewController& vc, bool animated) {
    vc.appeared_ = true;
    rt::msgSend(vc, "viewDidAppear:", animated);
}

void UIViewController::sendWillDisappear(UIViewController& vc, bool animated) {
    rt::msgSend(vc, "viewWillDisappear:", animated);
}

void UIViewController::sendDidDisappear(UIViewController& vc, bool animated) {
    vc.appeared_ = false;
    rt::msgSend(vc, "viewDidDisappear:", animated);
}

void UIViewController::layoutPass(UIViewController& vc) {
    if (!vc.isViewLoaded() || !vc.view_->window()) {
        return;
    }
    const rt::ObjectPtr keep = vc.shared_from_this(); // a hook may release it
    rt::msgSend(vc, "viewDidLayoutSubviews");
    const auto children = vc.children_; // a layout method may add or remove children
    for (const auto& child : children) {
        if (child->isViewLoaded() && child->view_->isDescendantOfView(*vc.view_)) {
            layoutPass(*child);
        }
    }
    if (auto presented = vc.presented_) {
        layoutPass(*presented);
    }
}

void UIViewController::transition(UIViewController* from, UIViewController* to, bool animated) {
    requireMainThread("appearance transition");
    if (from) {
        sendWillDisappear(*from, animated);
    }
    if (to) {
        sendWillAppear(*to, animated);
        layoutPass(*to);
    }
    if (from) {
        sendDidDisappear(*from, animated);
    }
    if (to) {
        sendDidAppear(*to, animated);
    }
}

// ---- presentation ----------------------------------------------------------------------------------

bool UIViewController::presentViewController(const std::shared_ptr<UIViewController>& vc, bool animated,
                                             std::function<void()> completion) {
    requireMainThread("-[UIViewController presentViewController:animated:completion:]");
    if (!vc) {
        return false;
    }
    auto self = std::static_pointer_cast<UIViewController>(shared_from_this());
    auto window = isViewLoaded() ? view_->window() : nullptr;
    if (auto alert = std::dynamic_pointer_cast<UIAlertController>(vc)) {
        sim::AlertRecord record{alert->title(), alert->message(), {}, false, window && !presented_};
        for (const auto& action : alert->actions()) {
            record.actions.push_back(action->title());
        }
        sim::UIRecorder::shared().alert(std::move(record));
    }
    if (!window) {
        printDevice("Warning: Attempt to present " + rt::describe(*vc) + " on " + rt::describe(*this) +
                    " whose view is not in the window hierarchy!");
        return false;
    }
    if (presented_) {
        printDevice("Warning: Attempt to present " + rt::describe(*vc) + " on " + rt::describe(*this) +
                    " which is already presenting " + rt::describe(*presented_));
        return false;
    }
    presented_ = vc;
    vc->presenting_ = self;
    window->addSubview(vc->view());
    if (vc->coversPresenter()) {
        vc->view()->setFrame(window->bounds());
    }
    vc->beingPresented_ = true;
    transition(vc->coversPresenter() ? this : nullptr, vc.get(), animated);
    vc->beingPresented_ = false;
    if (completion) {
        completion();
    }
    return true;
}

void UIViewController::dismissViewControllerAnimated(bool animated, std::function<void()> completion) {
    if (!presented_) {
        if (auto presenter = presenting_.lock()) {
            presenter->dismissViewControllerAnimated(animated, std::move(completion));
        }
        return;
    }
    // What this screen's presented screen presents goes first.
    if (presented_->presented_) {
        presented_->dismissViewControllerAnimated(animated);
    }
    std::shared_ptr<UIViewController> gone = std::move(presented_);
    presented_.reset();
    gone->presenting_.reset();
    sendWillDisappear(*gone, animated);
    if (gone->coversPresenter()) {
        sendWillAppear(*this, animated);
        layoutPass(*this);
    }
    if (gone->isViewLoaded()) {
        gone->view_->removeFromSuperview();
    }
    sendDidDisappear(*gone, animated);
    if (gone->coversPresenter()) {
        sendDidAppear(*this, animated);
    }
    if (completion) {
        completion();
    }
}

} // namespace plat
