#include "platform/uikit/UIAlert.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace plat {

std::shared_ptr<UIAlertAction> UIAlertAction::actionWithTitle(std::string title, UIAlertActionStyle style,
                                                              Handler handler) {
    return std::make_shared<UIAlertAction>(std::move(title), style, std::move(handler));
}

UIAlertController::UIAlertController(rt::Class* cls) : UIViewController(cls) {}

rt::Class* UIAlertController::runtimeClass() {
    return uikitClasses().alertController;
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(std::string title,
                                                                               std::string message,
                                                                               UIAlertControllerStyle style) {
    auto alert = std::make_shared<UIAlertController>(runtimeClass());
    alert->setTitle(std::move(title));
    alert->message_ = std::move(message);
    alert->style_ = style;
    return alert;
}

void UIAlertController::addAction(std::shared_ptr<UIAlertAction> action) {
    if (action) {
        actions_.push_back(std::move(action));
    }
}

UIAlertView::UIAlertView(rt::Class* cls) : UIView(cls) {}

rt::Class* UIAlertView::runtimeClass() {
    return uikitClasses().alertView;
}

std::shared_ptr<UIAlertView> UIAlertView::make(std::string title, std::string message,
                                               const rt::ObjectPtr& delegate,
                                               std::optional<std::string> cancelButtonTitle,
                                               std::vector<std::string> otherButtonTitles) {
    auto alert = std::make_shared<UIAlertView>(runtimeClass());
    alert->title_ = std::move(title);
    alert->message_ = std::move(message);
    alert->delegate_ = delegate;
    if (cancelButtonTitle) {
        alert->cancelIndex_ = alert->addButtonWithTitle(std::move(*cancelButtonTitle));
    }
    for (auto& t : otherButtonTitles) {
        alert->addButtonWithTitle(std::move(t));
    }
    return alert;
}

int64_t UIAlertView::addButtonWithTitle(std::string title) {
    buttons_.push_back(std::move(title));
    return static_cast<int64_t>(buttons_.size()) - 1;
}

std::string UIAlertView::buttonTitleAtIndex(int64_t index) const {
    return index >= 0 && index < numberOfButtons() ? buttons_[static_cast<size_t>(index)] : std::string();
}

void UIAlertView::show() {
    requireMainThread("-[UIAlertView show]");
    if (visible_) {
        return;
    }
    visible_ = true;
    sim::App::alertViewShown(std::static_pointer_cast<UIAlertView>(shared_from_this()));
    sim::UIRecorder::shared().alert(sim::AlertRecord{title_, message_, buttons_, true, true});
}

void UIAlertView::dismissWithClickedButtonIndex(int64_t index, bool) {
    if (!visible_) {
        return;
    }
    visible_ = false;
    auto self = std::static_pointer_cast<UIAlertView>(shared_from_this());
    sim::App::alertViewHidden(*this);
    DispatchQueue::main()->async([self, index] {
        rt::ObjectPtr d = self->delegate();
        if (rt::respondsTo(d, "alertView:clickedButtonAtIndex:")) {
            rt::msgSend(d, "alertView:clickedButtonAtIndex:", rt::ObjectPtr(self), index);
        }
        if (rt::respondsTo(d, "alertView:didDismissWithButtonIndex:")) {
            rt::msgSend(d, "alertView:didDismissWithButtonIndex:", rt::ObjectPtr(self), index);
        }
    });
}

} // namespace plat
