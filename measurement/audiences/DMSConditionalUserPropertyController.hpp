#pragma once
// Conditional user properties: records set through the facade wait for their trigger event, set their user
// property when it comes, and are removed again when the trigger times out or the time to live runs out. All
// timing work happens in the one pass every logged event makes through the controller on the worker queue
// before it is written; there are no timers. The public operations may be called from any thread.

#include "measurement/storage/DMSConditionalUserProperty.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class DMSDatabase;
class DMSMeasurement;

class DMSConditionalUserPropertyController : public std::enable_shared_from_this<DMSConditionalUserPropertyController> {
public:
    // Made on first use and kept for the life of the process.
    static DMSConditionalUserPropertyController& sharedInstance();
    virtual ~DMSConditionalUserPropertyController() = default;

    // Seconds; both bounds inclusive.
    static constexpr double kMinimumInterval = 0.001;
    static constexpr double kMaximumInterval = 15552000;
    // How long a query waits for the worker queue.
    static constexpr double kQueryTimeout = 30;

    // ---- any thread ----
    // A record without a value clears the property, its expired event serving as the clear event.
    void setConditionalUserProperty(const DMSConditionalUserProperty* record, const std::string& name);
    void clearConditionalUserPropertyWithClearEvent(const std::optional<DMSEvent>& clearEvent, const std::string& name);
    // Each argument absent or a string. Blocks the caller up to 30 s; never call it on the worker queue.
    std::optional<std::vector<DMSConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
        const DMSObject& prefix, const DMSObject& origin);

    // ---- worker queue ----
    // The triggered events to write after the event; the time-out and expiry events are written before
    // returning. None on failure (nothing of the pass stays).
    std::optional<std::vector<DMSEvent>> processEventOnWorkerQueue(const DMSEvent* event);
    void setConditionalUserPropertyOnWorkerQueue(const DMSConditionalUserProperty* record);
    void removeConditionalUserPropertyOnWorkerQueue(const DMSConditionalUserProperty* record);
    bool removeTimedOutCUPWithTimedOutEvents(std::vector<DMSEvent>* timedOutEvents);
    bool removeExpiredCUPWithExpiredEvents(std::vector<DMSEvent>* expiredEvents);
    std::optional<std::vector<DMSEvent>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
        const std::string& eventName);

    // A record's valid origin, name and value (when present), and intervals within the bounds.
    static bool isValidConditionalUserProperty(const DMSConditionalUserProperty& record);

protected:
    DMSConditionalUserPropertyController() = default;

private:
    static DMSMeasurement* measurement();
    static DMSDatabase* database();
    void scheduleOnWorkerQueue(const std::string& blockID,
                               std::function<void(DMSConditionalUserPropertyController&)> block);
};

// The name the facade's callers know the controller by.
class DAVAConditionalUserPropertyController : public DMSConditionalUserPropertyController {
protected:
    DAVAConditionalUserPropertyController() = default;
};
