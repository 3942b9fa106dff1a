#include "RadIrivozSDK/Source/RadIrivozAlertView.hpp"

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIAlert.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace rt = plat::rt;

namespace {

struct LiveAlertDelegates {
    std::mutex mutex;
    std::vector<std::shared_ptr<RadIrivozAlertViewDelegate>> delegates;
};

LiveAlertDelegates& liveAlertDelegates() {
    static plat::NeverDestroyed<LiveAlertDelegates> live;
    return *live;
}

std::string buttonText(const plat::Value& button) {
    const plat::Value& text = button["text"];
    return text.isString() ? text.asString() : text.stringValue();
}

} // namespace

void RadIrivozAlertView::showInAppAlert(const plat::Dictionary& userInfo) {
    auto payload = RINotificationPayload::parseWithApns(userInfo);
    auto delegate = RadIrivozAlertViewDelegate::initWithMessageDict(userInfo);
    std::vector<std::string> buttons;
    if (payload->actionButtons()) {
        for (const plat::Value& button : *payload->actionButtons()) {
            buttons.push_back(buttonText(button));
        }
    }
    auto alert = plat::UIAlertView::make(payload->title().value_or(""), payload->body().value_or(""), delegate,
                                         plat::Bundle::main()->localizedString("Close", "", ""),
                                         std::move(buttons));
    alert->show();
    RadIrivozHelper::handleNotificationReceived(RIInFocusDisplayType::RIInFocusDisplayInAppAlert);
}

rt::Class* RadIrivozAlertViewDelegate::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<RadIrivozAlertViewDelegate>("RadIrivozAlertViewDelegate");
        rt::addMethod(c, "alertView:clickedButtonAtIndex:",
                      [](RadIrivozAlertViewDelegate& self, rt::ObjectPtr, int64_t index) {
                          self.alertViewClickedButtonAtIndex(index);
                      });
        return c;
    }();
    return cls;
}

std::shared_ptr<RadIrivozAlertViewDelegate> RadIrivozAlertViewDelegate::initWithMessageDict(
    const plat::Dictionary& userInfo) {
    auto delegate = std::make_shared<RadIrivozAlertViewDelegate>(runtimeClass());
    delegate->message_ = userInfo;
    std::lock_guard lock(liveAlertDelegates().mutex);
    liveAlertDelegates().delegates.push_back(delegate);
    return delegate;
}

void RadIrivozAlertViewDelegate::alertViewClickedButtonAtIndex(int64_t index) {
    // Keeps this delegate alive to the end of the call, whatever the open path does.
    auto self = std::static_pointer_cast<RadIrivozAlertViewDelegate>(shared_from_this());
    RIOpenedActionType actionType = RIOpenedActionType::RIOpenedActionBody;
    if (index != 0) {
        actionType = RIOpenedActionType::RIOpenedActionButton;
        // The alert's buttons are the parsed payload's buttons (entries without a text dropped), so the index
        // is mapped onto those, not onto the raw lists of the message.
        auto payload = RINotificationPayload::parseWithApns(message_);
        const int64_t k = index - 1;
        const plat::Value* id = nullptr;
        if (payload->actionButtons() && k >= 0 && static_cast<size_t>(k) < payload->actionButtons()->size()) {
            id = (*payload->actionButtons())[static_cast<size_t>(k)].find("id");
        }
        if (id) {
            const plat::Value message(message_);
            if (message["os_data"].isDictionary() || message_.contains("buttons")) {
                // Both layouts read a top-level "actionSelected" as the chosen action.
                message_.set("actionSelected", *id);
            } else {
                plat::Dictionary custom;
                if (const plat::Dictionary* d = message["custom"].ifDictionary()) {
                    custom = *d;
                }
                plat::Dictionary additional;
                if (const plat::Dictionary* a = message["custom"]["a"].ifDictionary()) {
                    additional = *a;
                }
                additional.set("actionSelected", *id);
                custom.set("a", plat::Value(std::move(additional)));
                message_.set("custom", plat::Value(std::move(custom)));
            }
        }
    }
    RadIrivoz::handleNotificationOpened(message_, true, actionType, RIInFocusDisplayType::RIInFocusDisplayInAppAlert);
    std::lock_guard lock(liveAlertDelegates().mutex);
    std::erase(liveAlertDelegates().delegates, self);
}

size_t RadIrivozAlertViewDelegate::liveDelegateCount() {
    std::lock_guard lock(liveAlertDelegates().mutex);
    return liveAlertDelegates().delegates.size();
}
