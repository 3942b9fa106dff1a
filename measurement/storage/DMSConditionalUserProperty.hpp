#pragma once
// A user property that takes effect when its trigger event is logged within a timeout and lives for a time to
// live after that, with the template events logged on its behalf when it is triggered, times out or expires.
// The database keeps one per name; the controller moves it from pending to active to gone.

#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSValue.hpp"

#include <optional>
#include <string>

class DMSConditionalUserProperty {
public:
    DMSConditionalUserProperty() = default;
    virtual ~DMSConditionalUserProperty() = default;
    DMSConditionalUserProperty(const DMSConditionalUserProperty&) = default;
    DMSConditionalUserProperty& operator=(const DMSConditionalUserProperty&) = default;

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& origin() const { return origin_; }
    void setOrigin(std::string origin) { origin_ = std::move(origin); }
    // Absent: setting the record clears the property.
    const std::optional<DMSValue>& value() const { return value_; }
    void setValue(std::optional<DMSValue> value) { value_ = std::move(value); }
    // Empty: triggered as soon as it is set.
    const std::string& triggerEventName() const { return triggerEventName_; }
    void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
    double triggerTimeout() const { return triggerTimeout_; }
    void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
    double timeToLive() const { return timeToLive_; }
    void setTimeToLive(double seconds) { timeToLive_ = seconds; }
    const std::optional<DMSEvent>& triggeredEvent() const { return triggeredEvent_; }
    void setTriggeredEvent(std::optional<DMSEvent> event) { triggeredEvent_ = std::move(event); }
    const std::optional<DMSEvent>& timedOutEvent() const { return timedOutEvent_; }
    void setTimedOutEvent(std::optional<DMSEvent> event) { timedOutEvent_ = std::move(event); }
    const std::optional<DMSEvent>& expiredEvent() const { return expiredEvent_; }
    void setExpiredEvent(std::optional<DMSEvent> event) { expiredEvent_ = std::move(event); }
    double creationTimestamp() const { return creationTimestamp_; }
    void setCreationTimestamp(double seconds) { creationTimestamp_ = seconds; }
    bool isActive() const { return active_; }
    void setActive(bool active) { active_ = active; }
    double triggeredTimestamp() const { return triggeredTimestamp_; }
    void setTriggeredTimestamp(double seconds) { triggeredTimestamp_ = seconds; }

private:
    std::string name_;
    std::string origin_;
    std::optional<DMSValue> value_;
    std::string triggerEventName_;
    double triggerTimeout_ = 0;
    double timeToLive_ = 0;
    std::optional<DMSEvent> triggeredEvent_;
    std::optional<DMSEvent> timedOutEvent_;
    std::optional<DMSEvent> expiredEvent_;
    double creationTimestamp_ = 0;
    bool active_ = false;
    double triggeredTimestamp_ = 0;
};

// The name the facade's callers know the record by.
class DAVAConditionalUserProperty : public DMSConditionalUserProperty {
public:
    using DMSConditionalUserProperty::DMSConditionalUserProperty;
};
