// The controller's event pipeline: the gates every event passes on the worker queue, the daily limits, and
// the raw-event storage bundling reads from.

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSScheduler.hpp"

void DMSMeasurement::logEvent(const std::optional<DMSEvent>& event) {
    if (!event) {
        monitor().logWithLevel(4, 23048, "Attempted to log nil event");
        return;
    }
    scheduleBlock(__LINE__, [this, event = *event]() mutable { handleEventOnWorkerQueue(std::move(event)); });
}

void DMSMeasurement::handleEventOnWorkerQueue(DMSEvent event) { writeEventOnWorkerQueue(std::move(event)); }
void DMSMeasurement::writeEventOnWorkerQueue(DMSEvent) {}
void DMSMeasurement::maybeAddDebugAndRealtimeParameters(DMSEvent&) {}
bool DMSMeasurement::DMSIsEventSubjectToRealtimeLimit(const DMSEvent&) { return true; }
