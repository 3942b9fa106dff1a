#include "RadIrivozSDK/Source/RadIrivozDialogController.hpp"

#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace rt = plat::rt;

rt::Class* RadIrivozDialogController::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<RadIrivozDialogController>("RadIrivozDialogController");
        rt::addMethod(c, "alertView:didDismissWithButtonIndex:",
                      [](RadIrivozDialogController& self, rt::ObjectPtr, int64_t index) {
                          self.alertViewDidDismissWithButtonIndex(index);
                      });
        return c;
    }();
    return cls;
}

std::shared_ptr<RadIrivozDialogController> RadIrivozDialogController::sharedInstance() {
    static plat::NeverDestroyed<std::shared_ptr<RadIrivozDialogController>> shared(
        std::make_shared<RadIrivozDialogController>(runtimeClass()));
    return *shared;
}

void RadIrivozDialogController::presentDialogWithTitle(std::string title, std::string message,
                                                       std::optional<std::string> actionTitle,
                                                       std::string cancelTitle,
                                                       RIDialogRequest::Completion completion) {
    auto self = std::static_pointer_cast<RadIrivozDialogController>(shared_from_this());
    auto request = std::make_shared<RIDialogRequest>(std::move(title), std::move(message), std::move(actionTitle),
                                                     std::move(cancelTitle), std::move(completion));
    plat::DispatchQueue::main()->async([self, request] {
        bool first = false;
        {
            std::lock_guard lock(self->mutex_);
            self->queue_.push_back(request);
            first = self->queue_.size() < 2;
        }
        if (first) {
            self->displayDialog(request);
        }
    });
}

void RadIrivozDialogController::displayDialog(const std::shared_ptr<RIDialogRequest>& request) {
    auto self = std::static_pointer_cast<RadIrivozDialogController>(shared_from_this());
    if (plat::DeviceProfile::floatVersion() < 8.0f) {
        std::vector<std::string> others;
        if (request->actionTitle) {
            others.push_back(*request->actionTitle);
        }
        plat::UIAlertView::make(request->title, request->message, self, request->cancelTitle, std::move(others))
            ->show();
        return;
    }
    auto alert = plat::UIAlertController::alertControllerWithTitle(request->title, request->message,
                                                                   plat::UIAlertControllerStyle::alert);
    alert->addAction(plat::UIAlertAction::actionWithTitle(request->cancelTitle, plat::UIAlertActionStyle::cancel,
                                                          [self](const plat::UIAlertAction&) { self->delayResult(false); }));
    if (request->actionTitle) {
        alert->addAction(plat::UIAlertAction::actionWithTitle(
            *request->actionTitle, plat::UIAlertActionStyle::defaultStyle,
            [self](const plat::UIAlertAction&) { self->delayResult(true); }));
    }
    auto application = plat::UIApplication::sharedApplication();
    auto window = application ? application->keyWindow() : nullptr;
    auto root = window ? window->rootViewController() : nullptr;
    // A dialog nobody can see would never be answered and would hold back every later one: it answers NO.
    // (Not logged through the push client's log: within the visual log level that would be another dialog.)
    if (!root || !root->presentViewController(alert, true)) {
        delayResult(false);
    }
}

void RadIrivozDialogController::delayResult(bool result) {
    auto self = std::static_pointer_cast<RadIrivozDialogController>(shared_from_this());
    plat::DispatchQueue::main()->asyncAfter(0.25, [self, result] {
        std::shared_ptr<RIDialogRequest> answered;
        std::shared_ptr<RIDialogRequest> next;
        {
            std::lock_guard lock(self->mutex_);
            if (self->queue_.empty()) {
                return;
            }
            answered = self->queue_.front();
        }
        if (answered->completion) {
            answered->completion(result);
        }
        {
            std::lock_guard lock(self->mutex_);
            self->queue_.pop_front();
            if (!self->queue_.empty()) {
                next = self->queue_.front();
            }
        }
        if (next) {
            self->displayDialog(next);
        }
    });
}

void RadIrivozDialogController::alertViewDidDismissWithButtonIndex(int64_t index) {
    delayResult(index > 0);
}

size_t RadIrivozDialogController::queueCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}
