#pragma once
// What makes a notification appear: a push from the service (UNPushNotificationTrigger, made by the device
// only) or a time interval after the request was added (UNTimeIntervalNotificationTrigger).

#include <memory>
#include <string_view>

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"

namespace plat {

class UNNotificationTrigger : public rt::Object {
public:
    UNNotificationTrigger(rt::Class* cls, bool repeats = false) : rt::Object(cls), repeats_(repeats) {}
    bool repeats() const { return repeats_; }
    // "repeats".
    Value valueForKey(std::string_view key) override;

private:
    bool repeats_;
};

class UNPushNotificationTrigger final : public UNNotificationTrigger {
public:
    UNPushNotificationTrigger(rt::Class* cls, bool contentAvailable = false)
        : UNNotificationTrigger(cls, false), contentAvailable_(contentAvailable) {}
    // For a push whose "aps" dictionary has content-available 1.
    static std::shared_ptr<UNPushNotificationTrigger> make(bool contentAvailable);

    bool isContentAvailable() const { return contentAvailable_; }
    // "_isContentAvailable" and "contentAvailable", besides the base's keys.
    Value valueForKey(std::string_view key) override;

private:
    bool contentAvailable_;
};

class UNTimeIntervalNotificationTrigger final : public UNNotificationTrigger {
public:
    UNTimeIntervalNotificationTrigger(rt::Class* cls, double interval = 0, bool repeats = false)
        : UNNotificationTrigger(cls, repeats), interval_(interval) {}
    // Raises NSInternalInconsistencyException for an interval that is not above 0, and for a repeating one
    // under 60 seconds, as the device does.
    static std::shared_ptr<UNTimeIntervalNotificationTrigger> triggerWithTimeInterval(double interval,
                                                                                      bool repeats);

    double timeInterval() const { return interval_; }
    // "timeInterval", besides the base's keys.
    Value valueForKey(std::string_view key) override;

private:
    double interval_;
};

} // namespace plat
