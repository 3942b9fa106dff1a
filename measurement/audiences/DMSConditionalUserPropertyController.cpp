#include "measurement/audiences/DMSConditionalUserPropertyController.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <mutex>

namespace {

DMSMonitor& cupMonitor() {
    return DMSMeasurement::monitor();
}

plat::Value cupReadableName(const std::string& name) {
    return plat::Value(DMSReadableUserPropertyName(plat::Value(name)));
}

// A template event as the system logs it on the record's behalf: an internal event of the record's origin.
std::optional<DMSEvent> cupTemplateEvent(const DMSEvent& templateEvent, const std::string& origin, double timestamp) {
    return DMSEvent::initWithOrigin(origin, false, templateEvent.name(), timestamp, 0, templateEvent.parameters());
}

// A database call failed when it answered NO together with an error.
bool cupFailed(bool answered, const plat::Error& error) {
    return !answered && !error.domain.empty();
}

// The query's answer, shared by the waiting caller and the worker block: a block that runs after the caller
// gave up writes here and touches nothing of the caller.
struct CUPQueryState {
    plat::DispatchSemaphore semaphore{0};
    std::mutex mutex;
    std::optional<std::vector<DMSConditionalUserProperty>> properties;
    std::optional<plat::Error> error;
};

} // namespace

DMSConditionalUserPropertyController& DMSConditionalUserPropertyController::sharedInstance() {
    struct Made final : DMSConditionalUserPropertyController {};
    static plat::NeverDestroyed<std::shared_ptr<DMSConditionalUserPropertyController>> instance(
        std::make_shared<Made>());
    return **instance;
}

DMSMeasurement* DMSConditionalUserPropertyController::measurement() {
    return DMSMeasurement::sharedInstance();
}

DMSDatabase* DMSConditionalUserPropertyController::database() {
    DMSMeasurement* controller = measurement();
    return controller ? controller->database() : nullptr;
}

void DMSConditionalUserPropertyController::scheduleOnWorkerQueue(
    const std::string& blockID, std::function<void(DMSConditionalUserPropertyController&)> block) {
    DMSMeasurement* controller = measurement();
    if (!controller) {
        return;
    }
    std::weak_ptr<DMSConditionalUserPropertyController> weakSelf = weak_from_this();
    controller->scheduler().scheduleOnWorkerQueueBlockID(blockID, [weakSelf, block = std::move(block)] {
        if (auto self = weakSelf.lock()) {
            block(*self);
        }
    });
}

bool DMSConditionalUserPropertyController::isValidConditionalUserProperty(const DMSConditionalUserProperty& record) {
    int64_t failureCode = 0;
    if (!DMSDataTypeValidator::isValidConditionalUserPropertyOrigin(plat::Value(record.origin()), &failureCode) ||
        !DMSDataTypeValidator::isValidConditionalUserPropertyName(plat::Value(record.name()), &failureCode) ||
        (record.value() && !DMSDataTypeValidator::isValidConditionalUserPropertyValue(*record.value(), &failureCode))) {
        return false;
    }
    if (!(record.triggerTimeout() >= kMinimumInterval && record.triggerTimeout() <= kMaximumInterval)) {
        cupMonitor().logWithLevel(1, 11000, "Invalid conditional user property timeout. Trigger timeout",
                                  record.triggerTimeout());
        return false;
    }
    if (!(record.timeToLive() >= kMinimumInterval && record.timeToLive() <= kMaximumInterval)) {
        cupMonitor().logWithLevel(1, 11001, "Invalid conditional user property time to live. Time to live",
                                  record.timeToLive());
        return false;
    }
    return true;
}

// ---- any thread ------------------------------------------------------------------------------------------------

void DMSConditionalUserPropertyController::setConditionalUserProperty(const DMSConditionalUserProperty* record,
                                                                      const std::string& name) {
    if (!record) {
        cupMonitor().logWithLevel(1, 11002, "Unable to set conditional user property. Conditional user property is nil");
        return;
    }
    DMSConditionalUserProperty copy = *record;
    copy.setName(name);
    if (!isValidConditionalUserProperty(copy)) {
        return;
    }
    copy.setCreationTimestamp(plat::Clock::now());
    scheduleOnWorkerQueue("DMSConditionalUserPropertyController:93", [copy](DMSConditionalUserPropertyController& self) {
        if (copy.value()) {
            self.setConditionalUserPropertyOnWorkerQueue(&copy);
        } else {
            self.removeConditionalUserPropertyOnWorkerQueue(&copy);
        }
    });
}

void DMSConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::optional<DMSEvent>& clearEvent, const std::string& name) {
    int64_t failureCode = 0;
    if (!DMSDataTypeValidator::isValidConditionalUserPropertyName(plat::Value(name), &failureCode)) {
        return;
    }
    DMSConditionalUserProperty record;
    record.setName(name);
    record.setExpiredEvent(clearEvent);
    scheduleOnWorkerQueue("DMSConditionalUserPropertyController:118",
                          [record](DMSConditionalUserPropertyController& self) {
                              self.removeConditionalUserPropertyOnWorkerQueue(&record);
                          });
}

std::optional<std::vector<DMSConditionalUserProperty>>
DMSConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const DMSObject& prefix,
                                                                              const DMSObject& origin) {
    auto& monitor = cupMonitor();
    auto text = [](const DMSObject& object) -> std::optional<std::string> {
        if (const auto* value = std::get_if<plat::Value>(&object); value && value->isString()) {
            return value->asString();
        }
        if (const auto* value = std::get_if<DMSValue>(&object); value && value->isString()) {
            return value->stringValue();
        }
        return std::nullopt;
    };
    const bool prefixAbsent = std::holds_alternative<std::monostate>(prefix) ||
                              (std::holds_alternative<plat::Value>(prefix) && std::get<plat::Value>(prefix).isNull());
    const bool originAbsent = std::holds_alternative<std::monostate>(origin) ||
                              (std::holds_alternative<plat::Value>(origin) && std::get<plat::Value>(origin).isNull());
    auto prefixText = text(prefix);
    auto originText = text(origin);
    if (!prefixAbsent && !prefixText) {
        monitor.logWithLevel(1, 11003, "Unable to query for conditional user properties. Name prefix is not a string. Class",
                             DMSObjectClassName(prefix));
        return std::nullopt;
    }
    if (!originAbsent && !originText) {
        monitor.logWithLevel(1, 11004, "Unable to query for conditional user properties. Origin is not a string. Class",
                             DMSObjectClassName(origin));
        return std::nullopt;
    }
    auto state = std::make_shared<CUPQueryState>();
    const std::string wantedPrefix = prefixText.value_or("");
    const std::string wantedOrigin = originText.value_or("");
    scheduleOnWorkerQueue("DMSConditionalUserPropertyController:168",
                          [state, wantedPrefix, wantedOrigin](DMSConditionalUserPropertyController&) {
                              DMSMeasurement* controller = measurement();
                              if (!controller || !controller->isEnabled()) {
                                  cupMonitor().logWithLevel(
                                      3, 11005, "Unable to query for conditional user properties. Analytics is disabled");
                              } else if (DMSDatabase* store = controller->database()) {
                                  plat::Error error;
                                  auto found = store->conditionalUserPropertiesWithPrefix(wantedPrefix, wantedOrigin,
                                                                                          &error);
                                  std::lock_guard lock(state->mutex);
                                  state->properties = std::move(found);
                                  if (!state->properties && !error.domain.empty()) {
                                      state->error = error;
                                  }
                              }
                              state->semaphore.signal();
                          });
    if (!state->semaphore.wait(kQueryTimeout)) {
        return std::nullopt;
    }
    std::lock_guard lock(state->mutex);
    if (state->error) {
        monitor.logWithLevel(1, 11006, "Unable to query for conditional user properties. Name prefix, origin, error",
                             wantedPrefix, wantedOrigin, *state->error);
        return std::nullopt;
    }
    return state->properties;
}

// ---- worker queue: the pass of every event ---------------------------------------------------------------------

std::optional<std::vector<DMSEvent>> DMSConditionalUserPropertyController::processEventOnWorkerQueue(
    const DMSEvent* event) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
    if (!event) {
        cupMonitor().logWithLevel(1, 10000, "Unable to process event for conditional user property. Event is nil");
        return std::nullopt;
    }
    DMSMeasurement* controller = measurement();
    DMSDatabase* store = controller ? controller->database() : nullptr;
    if (!store) {
        return std::nullopt;
    }
    // With no record stored, nothing can time out, expire or trigger: the pass needs no transaction.
    plat::Error countError;
    if (store->sqliteStore() && store->sqliteStore()->rowCount("conditional_properties", &countError) ==
                                    std::optional<int64_t>(0)) {
        return std::vector<DMSEvent>();
    }
    std::vector<DMSEvent> timedOut;
    std::vector<DMSEvent> expired;
    std::optional<std::vector<DMSEvent>> triggered;
    const bool committed = store->performTransaction([&] {
        if (!removeTimedOutCUPWithTimedOutEvents(&timedOut) || !removeExpiredCUPWithExpiredEvents(&expired)) {
            return false;
        }
        triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
        return triggered.has_value();
    });
    if (!committed) {
        return std::nullopt;
    }
    for (DMSEvent& next : timedOut) {
        controller->writeEventOnWorkerQueue(std::move(next));
    }
    for (DMSEvent& next : expired) {
        controller->writeEventOnWorkerQueue(std::move(next));
    }
    return triggered;
}

bool DMSConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(std::vector<DMSEvent>* timedOutEvents) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:");
    auto& monitor = cupMonitor();
    DMSDatabase* store = database();
    plat::Error error;
    auto properties = store ? store->timedOutConditionalUserPropertiesWithError(&error) : std::nullopt;
    if (!properties) {
        monitor.logWithLevel(1, 10001, "Unable to fetch timed out conditional user properties. Error", error);
        return false;
    }
    for (const DMSConditionalUserProperty& property : *properties) {
        monitor.logWithLevel(7, 10002, "Conditional user property has timed out. Name", cupReadableName(property.name()));
        plat::Error deleteError;
        if (cupFailed(store->deleteConditionalUserPropertyWithName(property.name(), &deleteError), deleteError)) {
            monitor.logWithLevel(7, 10003, "Unable to delete timed out condition user property. Name, error",
                                 cupReadableName(property.name()), deleteError);
            return false;
        }
        if (property.timedOutEvent() && timedOutEvents) {
            if (auto made = cupTemplateEvent(*property.timedOutEvent(), property.origin(), plat::Clock::now())) {
                timedOutEvents->push_back(std::move(*made));
            }
        }
    }
    return true;
}

bool DMSConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(std::vector<DMSEvent>* expiredEvents) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:");
    auto& monitor = cupMonitor();
    DMSDatabase* store = database();
    plat::Error error;
    auto properties = store ? store->expiredConditionalUserPropertiesWithError(&error) : std::nullopt;
    if (!properties) {
        monitor.logWithLevel(1, 10004, "Unable to fetch expired conditional user properties. Error", error);
        return false;
    }
    for (const DMSConditionalUserProperty& property : *properties) {
        monitor.logWithLevel(7, 10005, "Conditional user property has expired. Name, expired event",
                             cupReadableName(property.name()),
                             property.expiredEvent() ? plat::Value(property.expiredEvent()->name()) : plat::Value());
        plat::Error deleteError;
        if (cupFailed(store->deleteUserAttributeWithName(property.name(), &deleteError), deleteError)) {
            monitor.logWithLevel(1, 10006,
                                 "Unable to remove conditional user property. Failed to delete the user property. "
                                 "Name, origin, error",
                                 cupReadableName(property.name()), property.origin(), deleteError);
            return false;
        }
        if (cupFailed(store->deleteConditionalUserPropertyWithName(property.name(), &deleteError), deleteError)) {
            monitor.logWithLevel(7, 10007, "Unable to delete expired condition user property. Name, error",
                                 cupReadableName(property.name()), deleteError);
            return false;
        }
        if (property.expiredEvent() && expiredEvents) {
            if (auto made = cupTemplateEvent(*property.expiredEvent(), property.origin(), plat::Clock::now())) {
                expiredEvents->push_back(std::move(*made));
            }
        }
    }
    return true;
}

std::optional<std::vector<DMSEvent>>
DMSConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
    auto& monitor = cupMonitor();
    DMSDatabase* store = database();
    plat::Error error;
    auto properties = store ? store->triggeredConditionalUserPropertiesWithEventName(eventName, &error) : std::nullopt;
    if (!properties) {
        monitor.logWithLevel(1, 10008, "Unable to fetch triggering conditional user properties. Event name, error",
                             DMSReadableEventName(plat::Value(eventName)), error);
        return std::nullopt;
    }
    std::vector<DMSEvent> triggered;
    for (DMSConditionalUserProperty property : *properties) {
        const double now = plat::Clock::now();
        auto attribute = DMSUserAttribute::initWithOrigin(property.origin(), property.name(), property.value(), now);
        plat::Error writeError;
        if (attribute && store->updateUserAttribute(&*attribute, &writeError)) {
            monitor.logWithLevel(7, 10010, "User property updated. Name, origin, value", cupReadableName(property.name()),
                                 property.origin(), property.value() ? property.value()->object() : plat::Value());
        } else {
            monitor.logWithLevel(1, 10009,
                                 "Unable to update user property from conditional user property. Name, origin, error",
                                 cupReadableName(property.name()), property.origin(), writeError);
        }
        if (property.triggeredEvent()) {
            if (auto made = cupTemplateEvent(*property.triggeredEvent(), property.origin(), now)) {
                triggered.push_back(std::move(*made));
            }
        }
        property.setActive(true);
        property.setTriggeredTimestamp(now);
        plat::Error storeError;
        if (cupFailed(store->updateConditionalUserProperty(&property, &storeError), storeError)) {
            monitor.logWithLevel(1, 10011, "Unable to update conditional user property. Name, origin, error",
                                 cupReadableName(property.name()), property.origin(), storeError);
            return std::nullopt;
        }
    }
    return triggered;
}

// ---- worker queue: set and remove ------------------------------------------------------------------------------

void DMSConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const DMSConditionalUserProperty* record) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue");
    auto& monitor = cupMonitor();
    DMSMeasurement* controller = measurement();
    if (!controller || !controller->isEnabled()) {
        monitor.logWithLevel(3, 11007, "Unable to set conditional user property. Analytics is disabled");
        return;
    }
    if (!record) {
        monitor.logWithLevel(1, 11008,
                             "Unable to set conditional user property on worker queue. Conditional user property is nil");
        return;
    }
    DMSDatabase* store = controller->database();
    if (!store) {
        return;
    }
    DMSConditionalUserProperty property = *record;
    std::optional<DMSEvent> triggeredEvent;
    const bool committed = store->performTransaction([&] {
        triggeredEvent.reset();
        plat::Error error;
        auto stored = store->conditionalUserPropertyWithName(property.name(), &error);
        if (!stored && !error.domain.empty()) {
            monitor.logWithLevel(1, 11009, "Unable to query conditional user property. Name, origin, error",
                                 cupReadableName(property.name()), property.origin(), error);
            return false;
        }
        if (stored && stored->origin() != property.origin()) {
            monitor.logWithLevel(4, 11010,
                                 "Updating a conditional user property with different origin. Name, origin, saved "
                                 "origin",
                                 cupReadableName(property.name()), property.origin(), stored->origin());
        }
        const bool storedActive = stored && stored->isActive();
        bool newlyTriggered = false;
        if (storedActive) {
            property.setOrigin(stored->origin());
            property.setCreationTimestamp(stored->creationTimestamp());
            property.setTriggerEventName(stored->triggerEventName());
            property.setTriggeredEvent(stored->triggeredEvent());
            property.setTriggerTimeout(stored->triggerTimeout());
        } else if (property.triggerEventName().empty()) {
            property.setActive(true);
            property.setTriggeredTimestamp(property.creationTimestamp());
            newlyTriggered = true;
        }
        if (property.isActive()) {
            auto attribute = DMSUserAttribute::initWithOrigin(property.origin(), property.name(), property.value(),
                                                              property.triggeredTimestamp());
            plat::Error writeError;
            if (attribute && store->updateUserAttribute(&*attribute, &writeError)) {
                monitor.logWithLevel(7, 11012, "User property updated. Name, origin", cupReadableName(property.name()),
                                     property.origin());
            } else {
                monitor.logWithLevel(1, 11011,
                                     "Unable to update user property from conditional user property. Name, origin, "
                                     "error",
                                     cupReadableName(property.name()), property.origin(), writeError);
            }
        }
        if (newlyTriggered && property.triggeredEvent()) {
            triggeredEvent =
                cupTemplateEvent(*property.triggeredEvent(), property.origin(), property.triggeredTimestamp());
        }
        if (storedActive) {
            property.setActive(true);
            property.setTriggeredTimestamp(stored->triggeredTimestamp());
        }
        plat::Error storeError;
        if (!store->updateConditionalUserProperty(&property, &storeError)) {
            // Without its record the user property just written could never expire or be cleared: undo both.
            monitor.logWithLevel(1, 11014,
                                 "Unable to insert user property from conditional user property. Name, origin, error",
                                 cupReadableName(property.name()), property.origin(), storeError);
            triggeredEvent.reset();
            return false;
        }
        monitor.logWithLevel(7, 11013, "Conditional user property added. Name, origin", cupReadableName(property.name()),
                             property.origin());
        return true;
    });
    if (committed && triggeredEvent) {
        controller->writeEventOnWorkerQueue(std::move(*triggeredEvent));
    }
}

void DMSConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const DMSConditionalUserProperty* record) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue:");
    auto& monitor = cupMonitor();
    DMSMeasurement* controller = measurement();
    if (!controller || !controller->isEnabled()) {
        monitor.logWithLevel(3, 11015, "Unable to remove conditional user property. Analytics is disabled");
        return;
    }
    if (!record) {
        monitor.logWithLevel(1, 11016,
                             "Unable to remove conditional user property on worker queue. Conditional user property is "
                             "nil");
        return;
    }
    DMSDatabase* store = controller->database();
    if (!store) {
        return;
    }
    std::optional<DMSEvent> clearEvent;
    const bool committed = store->performTransaction([&] {
        clearEvent.reset();
        plat::Error error;
        auto stored = store->conditionalUserPropertyWithName(record->name(), &error);
        if (!stored) {
            if (!error.domain.empty()) {
                monitor.logWithLevel(1, 11017,
                                     "Unable to remove conditional user property. Cannot query conditional user "
                                     "property. Name, origin, error",
                                     cupReadableName(record->name()), record->origin(), error);
                return false;
            }
            monitor.logWithLevel(4, 11018,
                                 "Unable to remove conditional user property. Conditional user property doesn't exist. "
                                 "Name, origin",
                                 cupReadableName(record->name()), record->origin());
            return true;
        }
        if (cupFailed(store->deleteConditionalUserPropertyWithName(record->name(), &error), error)) {
            monitor.logWithLevel(1, 11019,
                                 "Unable to remove conditional user property. Failed to execute the delete operation. "
                                 "Name, origin, error",
                                 cupReadableName(record->name()), record->origin(), error);
            return false;
        }
        if (stored->isActive() && cupFailed(store->deleteUserAttributeWithName(record->name(), &error), error)) {
            monitor.logWithLevel(1, 11020,
                                 "Unable to remove conditional user property. Failed to delete the user property. Name, "
                                 "origin, error",
                                 cupReadableName(record->name()), record->origin(), error);
            return false;
        }
        if (record->expiredEvent()) {
            clearEvent = cupTemplateEvent(*record->expiredEvent(), stored->origin(), plat::Clock::now());
        }
        return true;
    });
    if (committed && clearEvent) {
        controller->writeEventOnWorkerQueue(std::move(*clearEvent));
    }
}
