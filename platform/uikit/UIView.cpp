#include "platform/uikit/UIView.hpp"

#include <algorithm>

#include "platform/uikit/UIDevice.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat {

CGRect mainScreenBounds() {
    return UIScreen::mainScreen().bounds();
}

UIView::UIView(rt::Class* cls, CGRect frame) : UIResponder(cls), frame_(frame) {}

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

namespace {

// One axis of a subview inside a superview whose extent grew by `delta`: the flexible parts among the near
// margin, the size and the far margin take the change in proportion to their current lengths (evenly when
// those are all zero).
void resizeAxis(double& origin, double& size, double oldExtent, double delta, bool flexNear, bool flexSize,
                bool flexFar) {
    const int flexible = int(flexNear) + int(flexSize) + int(flexFar);
    if (flexible == 0 || delta == 0) {
        return;
    }
    // A part outside the superview (a negative length) takes no share.
    const double nearLength = std::max(0.0, origin);
    const double farLength = std::max(0.0, oldExtent - origin - size);
    double total = 0;
    total += flexNear ? nearLength : 0;
    total += flexSize ? std::max(0.0, size) : 0;
    total += flexFar ? farLength : 0;
    auto share = [&](bool flex, double length) {
        if (!flex) {
            return 0.0;
        }
        return total > 0 ? delta * length / total : delta / flexible;
    };
    const double nearShare = share(flexNear, nearLength);
    const double sizeShare = share(flexSize, std::max(0.0, size));
    origin += nearShare;
    size = std::max(0.0, size + sizeShare);
}

} // namespace

void UIView::setFrame(CGRect frame) {
    const CGSize oldSize = frame_.size;
    frame_ = frame;
    if (oldSize.width != frame.size.width || oldSize.height != frame.size.height) {
        resizeSubviews(oldSize);
    }
}

void UIView::resizeSubviews(CGSize oldSize) {
    const double dw = frame_.size.width - oldSize.width;
    const double dh = frame_.size.height - oldSize.height;
    const auto children = subviews_;
    for (const auto& child : children) {
        const uint64_t mask = child->autoresizingMask_;
        if (mask == UIViewAutoresizingNone) {
            continue;
        }
        CGRect f = child->frame_;
        resizeAxis(f.origin.x, f.size.width, oldSize.width, dw, mask & UIViewAutoresizingFlexibleLeftMargin,
                   mask & UIViewAutoresizingFlexibleWidth, mask & UIViewAutoresizingFlexibleRightMargin);
        resizeAxis(f.origin.y, f.size.height, oldSize.height, dh, mask & UIViewAutoresizingFlexibleTopMargin,
                   mask & UIViewAutoresizingFlexibleHeight, mask & UIViewAutoresizingFlexibleBottomMargin);
        child->setFrame(f);
    }
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
