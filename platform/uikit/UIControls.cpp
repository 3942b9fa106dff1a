#include "platform/uikit/UIControls.hpp"

#include "platform/runtime/Messaging.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace plat {

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

UIRefreshControl::UIRefreshControl(rt::Class* cls) : UIView(cls) {}

rt::Class* UIRefreshControl::runtimeClass() {
    return uikitClasses().refreshControl;
}

std::shared_ptr<UIRefreshControl> UIRefreshControl::make() {
    auto control = std::make_shared<UIRefreshControl>(runtimeClass());
    sim::App::refreshControlCreated(control);
    return control;
}

void UIRefreshControl::addTarget(const rt::ObjectPtr& target, rt::Sel action, uint64_t controlEvents) {
    targets_.push_back(Target{target, action, controlEvents});
}

void UIRefreshControl::sendActionsForControlEvents(uint64_t controlEvents) {
    const auto targets = targets_; // an action may add targets
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
