#include "platform/uikit/UIView.hpp"

#include <algorithm>

#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat {

CGRect mainScreenBounds() {
    return CGRect{{0, 0}, {375, 667}};
}

UIView::UIView(rt::Class* cls, CGRect frame) : rt::Object(cls), frame_(frame) {}

rt::Class* UIView::runtimeClass() {
    return uikitClasses().view;
}

std::shared_ptr<UIView> UIView::make(CGRect frame) {
    return std::make_shared<UIView>(runtimeClass(), frame);
}

void UIView::setHidden(bool hidden) {
    hidden_ = hidden;
    sim::UIRecorder::shared().viewHidden(*this, hidden);
}

void UIView::addSubview(const std::shared_ptr<UIView>& view) {
    if (!view || view.get() == this) {
        return;
    }
    view->removeFromSuperview();
    view->superview_ = std::static_pointer_cast<UIView>(shared_from_this());
    subviews_.push_back(view);
}

void UIView::removeFromSuperview() {
    auto parent = superview_.lock();
    superview_.reset();
    if (!parent) {
        return;
    }
    auto& siblings = parent->subviews_;
    siblings.erase(
        std::remove_if(siblings.begin(), siblings.end(), [this](auto& v) { return v.get() == this; }),
        siblings.end());
}

std::shared_ptr<UIWindow> UIView::window() {
    for (std::shared_ptr<UIView> v = std::static_pointer_cast<UIView>(shared_from_this()); v;
         v = v->superview()) {
        if (auto w = std::dynamic_pointer_cast<UIWindow>(v)) {
            return w;
        }
    }
    return nullptr;
}

bool UIView::isDescendantOfView(const UIView& ancestor) const {
    std::shared_ptr<const UIView> held;
    for (const UIView* v = this; v; v = held.get()) {
        if (v == &ancestor) {
            return true;
        }
        held = v->superview_.lock();
    }
    return false;
}

} // namespace plat
