// The driver's taps on controls (kept apart from the lifecycle driver in SimApp.cpp).

#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIControls.hpp"

namespace plat::sim {

bool App::tapButton(const std::shared_ptr<UIView>& view) {
    requireMainThread("tap on a control");
    auto control = std::dynamic_pointer_cast<UIControl>(view);
    if (!control || !control->isEnabled()) {
        return false;
    }
    for (auto v = view; v; v = v->superview()) {
        if (v->isHidden()) {
            return false;
        }
    }
    control->sendActionsForControlEvents(UIControlEventTouchUpInside);
    return true;
}

} // namespace plat::sim
