#pragma once
// The in-focus alert: a push notification that arrives while the app is active, shown as an alert with a
// "Close" button and one button per action button. Every button opens the notification; an action button
// records its id as the chosen action first.

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

class RadIrivozAlertView {
public:
    RadIrivozAlertView() = delete;
    // Main thread. Also hands the notification to the app's received block.
    static void showInAppAlert(const plat::Dictionary& userInfo);
};

// The alert's delegate. Each keeps the message it was made for, so two alerts on screen at once each open
// their own notification; it lives until its alert is answered.
class RadIrivozAlertViewDelegate final : public plat::rt::Object {
public:
    explicit RadIrivozAlertViewDelegate(plat::rt::Class* cls) : plat::rt::Object(cls) {}
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<RadIrivozAlertViewDelegate> initWithMessageDict(const plat::Dictionary& userInfo);

    // 0 is "Close", 1 and up the action buttons in order.
    void alertViewClickedButtonAtIndex(int64_t index);
    const plat::Dictionary& messageDict() const { return message_; }

    // Delegates whose alert is not answered yet.
    static size_t liveDelegateCount();

private:
    plat::Dictionary message_;
};
