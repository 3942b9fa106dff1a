// The controller's side of sessions: a session started on the worker queue (in the background, by an event
// that extends it) and the session properties an expired session leaves behind.

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSSessionReporter.hpp"
#include "measurement/storage/DMSDatabase.hpp"

namespace {

bool sessionStartDeleteProperty(DMSDatabase& database, const char* name, int64_t code, const char* message) {
    plat::Error error;
    const bool deleted = database.performTransaction([&] { return database.deleteUserAttributeWithName(name, &error); });
    if (!deleted) {
        DMSMeasurement::monitor().logWithLevel(1, code, message, error);
    }
    return deleted;
}

} // namespace

void DMSMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp) {
    auto sessions = sessionReporter();
    if (!sessions || !sessions->isSessionExpired() || !database_) {
        return;
    }
    sessions->updatePropertiesForNewSessionStart();
    DMSRemoteConfig& config = remoteConfig();
    if (config.sessionIDEnabled()) {
        if (auto property = sessions->sessionIDPropertyWithTimestamp(timestamp)) {
            setUserAttributeOnWorkerQueue(*property);
        }
    } else {
        sessionStartDeleteProperty(*database_, "_sid", 23175, "Failed to delete session ID user property. Error");
    }
    std::optional<int64_t> number;
    if (config.sessionNumberEnabled()) {
        if (auto property = sessions->sessionNumberProperty()) {
            number = property->value().int64Value();
            setUserAttributeOnWorkerQueue(*property);
        }
    } else {
        sessionStartDeleteProperty(*database_, "_sno", 23176, "Failed to delete session number user property. Error");
    }
    plat::Dictionary parameters;
    if (config.sessionIDEnabled()) {
        parameters.set("_sid", plat::Value(static_cast<int64_t>(timestamp)));
    }
    if (number) {
        parameters.set("_sno", plat::Value(*number));
    }
    auto event = DMSEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
    if (!event) {
        return;
    }
    handleEventOnWorkerQueue(*event);
    DMSAnalytics::notifyEventListeners(*event);
}

void DMSMeasurement::backfillSessionNumber() {
    if (!remoteConfig().sessionNumberEnabled() || !persistedConfig_ || !database_ ||
        persistedConfig_->sessionNumber() != 0) {
        return;
    }
    // Sessions counted before numbers were switched on: the lifetime count of "_s" carries on from there.
    plat::Error error;
    auto aggregates = database_->eventAggregatesWithName("_s", &error);
    if (!aggregates) {
        if (!error.domain.empty()) {
            monitor().logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", plat::Value("_s"), error);
        }
        return;
    }
    persistedConfig_->setSessionNumber(aggregates->lifetimeCount());
}

void DMSMeasurement::removeExpiredSessionPropertiesOnWorkerQueue() {
    plat::Error error;
    database_->performTransaction([&] {
        if (!database_->deleteUserAttributeWithName("_sid", &error)) {
            monitor().logWithLevel(1, 23177, "Failed to remove session ID user property on session expiration. Error",
                                   error);
            return false;
        }
        if (!database_->deleteUserAttributeWithName("_sno", &error)) {
            monitor().logWithLevel(1, 23178,
                                   "Failed to remove session number user property on session expiration. Error", error);
            return false;
        }
        return true;
    });
}
