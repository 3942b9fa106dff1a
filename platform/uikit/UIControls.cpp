#include "platform/uikit/UIControls.hpp"

#include "platform/runtime/Messaging.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace plat {

UIControl::UIControl(rt::Class* cls, CGRect frame) : UIView(cls, frame) {}

rt::Class* UIControl::runtimeClass() {
    return uikitClasses().control;
}

void UIControl::addTarget(const rt::ObjectPtr& target, rt::Sel action, uint64_t controlEvents) {
    targets_.push_back(Target{target, action, controlEvents});
}

void UIControl::removeTarget(const rt::ObjectPtr& target, rt::Sel action, uint64_t controlEvents) {
    for (auto& t : targets_) {
        // A null target or action stands for every one, as on the device.
        if ((!target || t.target.lock() == target) && (action == rt::Sel() || t.action == action)) {
            t.events &= ~controlEvents;
        }
    }
    std::erase_if(targets_, [](const Target& t) { return t.events == 0; });
}

void UIControl::sendActionsForControlEvents(uint64_t controlEvents) {
    const auto targets = targets_; // an action may add or remove targets
    for (const auto& t : targets) {
        if (!(t.events & controlEvents)) {
            continue;
        }
        rt::ObjectPtr target = t.target.lock();
        if (!target) {
            continue;
        }
        if (t.action.name().ends_with(':')) {
            rt::msgSend(target, t.action, shared_from_this());
        } else {
            rt::msgSend(target, t.action);
        }
    }
}

UIButton::UIButton(rt::Class* cls, CGRect frame) : UIControl(cls, frame) {}

rt::Class* UIButton::runtimeClass() {
    return uikitClasses().button;
}

std::shared_ptr<UIButton> UIButton::make(CGRect frame) {
    return std::make_shared<UIButton>(runtimeClass(), frame);
}

UIActivityIndicatorView::UIActivityIndicatorView(rt::Class* cls) : UIView(cls) {
    setHidden(true);
}

rt::Class* UIActivityIndicatorView::runtimeClass() {
    return uikitClasses().activityIndicator;
}

std::shared_ptr<UIActivityIndicatorView> UIActivityIndicatorView::make() {
    return std::make_shared<UIActivityIndicatorView>(runtimeClass());
}

void UIActivityIndicatorView::startAnimating() {
    animating_ = true;
    if (isHidden()) {
        setHidden(false);
    }
    sim::UIRecorder::shared().indicator(true);
}

void UIActivityIndicatorView::stopAnimating() {
    animating_ = false;
    if (hidesWhenStopped_ && !isHidden()) {
        setHidden(true);
    }
    sim::UIRecorder::shared().indicator(false);
}

void UIActivityIndicatorView::setHidesWhenStopped(bool hides) {
    hidesWhenStopped_ = hides;
    if (hides && !animating_ && !isHidden()) {
        setHidden(true);
    }
}

UIRefreshControl::UIRefreshControl(rt::Class* cls) : UIControl(cls) {}

rt::Class* UIRefreshControl::runtimeClass() {
    return uikitClasses().refreshControl;
}

std::shared_ptr<UIRefreshControl> UIRefreshControl::make() {
    auto control = std::make_shared<UIRefreshControl>(runtimeClass());
    sim::App::refreshControlCreated(control);
    return control;
}

void UIRefreshControl::beginRefreshing() {
    refreshing_ = true;
    sim::UIRecorder::shared().refreshing(true);
}

void UIRefreshControl::endRefreshing() {
    if (!refreshing_) {
        return;
    }
    refreshing_ = false;
    sim::UIRecorder::shared().refreshing(false);
}

} // namespace plat
