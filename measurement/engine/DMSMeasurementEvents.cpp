// The controller's event pipeline: the gates every event passes on the worker queue, the daily limits, and
// the raw-event storage bundling reads from. Three transactions per event (lifetime value, daily counts,
// storage), each all-or-nothing.

#include "measurement/audiences/DMSConditionalUserPropertyController.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSLifetimeValueRecorder.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/engine/DMSSessionReporter.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

plat::Value pipelineReadableName(const std::string& name) {
    return plat::Value(DMSReadableEventName(DMSObject(plat::Value(name))));
}

plat::Value pipelineReadableParameters(const DMSEvent& event) {
    return plat::Value(DMSReadableParametersDescription(event.parameters()));
}

bool pipelineFailed(const plat::Error& error) { return !error.domain.empty(); }

bool pipelineAppIsActive() {
    auto application = DMSAEU::sharedApplication();
    return application && application->applicationState() == plat::UIApplicationState::active;
}

// The keychain count is text; anything unreadable or not positive counts as none.
int64_t pipelineFirstOpenCount(const std::optional<std::string>& text) {
    if (!text || text->empty()) {
        return 0;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text->c_str(), &end, 10);
    if (end == text->c_str() || value <= 0) {
        return 0;
    }
    return value;
}

} // namespace

// ---- hand-over and the controller-wide gates ---------------------------------------------------------------

void DMSMeasurement::logEvent(const std::optional<DMSEvent>& event) {
    if (!event) {
        monitor().logWithLevel(4, 23048, "Attempted to log nil event");
        return;
    }
    scheduleBlock(__LINE__, [this, event = *event]() mutable { handleEventOnWorkerQueue(std::move(event)); });
}

void DMSMeasurement::handleEventOnWorkerQueue(DMSEvent event) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue");
    auto& log = monitor();
    if (!isEnabled()) {
        log.logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
        return;
    }
    if (!safelistedEvents_.empty()) {
        if (std::find(safelistedEvents_.begin(), safelistedEvents_.end(), event.name()) == safelistedEvents_.end()) {
            log.logWithLevel(3, 23174, "Event dropped. Reason: not whitelisted. Event name, origin",
                             plat::Value(event.name()), plat::Value(event.origin()));
            return;
        }
        event.mutableParameters().set("ga_safelisted", DMSValue::initWithInt64(1));
    }
    if (remoteConfig().sessionBackgroundEnabled() && !pipelineAppIsActive()) {
        if (const DMSValue* extend = event.parameters().find("extend_session")) {
            if (!(extend->isInt64() && extend->int64Value() == 1)) {
                log.logWithLevel(3, 23179,
                                 "extend_session is a reserved parameter. To extend or start a session in the "
                                 "background, set an event parameter {@'extend_session': @1}");
            } else if (auto sessions = sessionReporter(); sessions && sessions->isSessionExpired()) {
                reportSessionStartOnWorkerQueueWithTimestamp(plat::Clock::now());
            } else if (sessions) {
                sessions->extendSession();
            }
        }
    }
    if (auto sessions = sessionReporter(); sessions && database_ && !pipelineAppIsActive() &&
                                           sessions->isSessionExpired()) {
        removeExpiredSessionPropertiesOnWorkerQueue();
    }
    // Time-out and expiry events are written by the pass, before the event; triggered ones come after it.
    auto passed = DMSConditionalUserPropertyController::sharedInstance().processEventOnWorkerQueue(&event);
    if (!passed) {
        log.logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                         pipelineReadableName(event.name()), plat::Value(event.origin()));
    }
    std::vector<DMSEvent> triggered = passed ? std::move(*passed) : std::vector<DMSEvent>();
    writeEventOnWorkerQueue(std::move(event));
    for (DMSEvent& next : triggered) {
        writeEventOnWorkerQueue(std::move(next));
    }
    updateSchedule();
}

// ---- the write ---------------------------------------------------------------------------------------------

bool DMSMeasurement::DMSIsEventSubjectToRealtimeLimit(const DMSEvent& event) {
    if (monitor().isDebugModeEnabled()) {
        return false;
    }
    return event.name() != "_iap" && event.name() != "_f";
}

void DMSMeasurement::maybeAddDebugAndRealtimeParameters(DMSEvent& event) {
    if (!monitor().isDebugModeEnabled()) {
        return;
    }
    event.setRealtime(true);
    event.setDebug(true);
    monitor().logWithLevel(7, 23073, "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                           pipelineReadableName(event.name()), pipelineReadableParameters(event));
}

int32_t DMSMeasurement::currentDayOnWorkerQueue() const {
    const double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0;
    return static_cast<int32_t>(std::floor((plat::Clock::now() - offset) / 86400.0));
}

void DMSMeasurement::writeEventOnWorkerQueue(DMSEvent event) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue");
    auto& log = monitor();
    auto& config = remoteConfig();
    log.logWithLevel(7, 23051, "Logging event: origin, name, params", plat::Value(event.origin()),
                     pipelineReadableName(event.name()), pipelineReadableParameters(event));
    if (!database_) {
        return;
    }
    const std::string& name = event.name();
    const bool isError = DMSIsErrorEventName(event);
    if (config.isEventBlacklisted(name)) {
        log.logWithLevel(4, 23052, "Rejected event. Event name", pipelineReadableName(name));
        if (!config.blacklistInternal() && !config.blacklistPublic() && !isError) {
            DMSLogErrorEventWithValue(DMSErrorCodeEventIsBlacklisted, plat::Value(name), 40, std::nullopt);
        }
        return;
    }
    if (name == "ecommerce_purchase" || name == "_f" || name == "_iap") {
        event.setConversion(true);
    }
    if (DMSLifetimeValueRecorder::isPurchaseEvent(event) &&
        !database_->performTransaction(
            [&] { return DMSLifetimeValueRecorder::recordLifetimeValueToDatabase(database_.get(), event); })) {
        const DMSValue* currency = event.parameters().find("currency");
        const DMSValue* value = event.parameters().find("value");
        log.logWithLevel(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
                         pipelineReadableName(name), currency ? currency->object() : plat::Value(),
                         value ? value->object() : plat::Value());
        return;
    }

    bool dropped = false;
    bool realtime = false;
    if (!database_->performTransaction([&] { return applyDailyLimitsOnWorkerQueue(event, dropped, realtime); })) {
        return;
    }
    if (dropped) {
        log.logWithLevel(7, 23062, "Event dropped. Event name, event params", pipelineReadableName(name),
                         pipelineReadableParameters(event));
        return;
    }
    database_->performTransaction([&] { return storeEventOnWorkerQueue(event, realtime); });
}

bool DMSMeasurement::applyDailyLimitsOnWorkerQueue(DMSEvent& event, bool& dropped, bool& realtime) {
    auto& log = monitor();
    auto& config = remoteConfig();
    const std::string& name = event.name();
    const bool isPublic = DMSIsPublicName(DMSObject(plat::Value(name)));
    const bool isError = DMSIsErrorEventName(event);
    plat::Error error;
    auto counts = database_->dailyCounts(&error);
    if (!counts) {
        log.logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error", error);
        return false;
    }
    const int32_t today = currentDayOnWorkerQueue();
    if (counts->day() != today) {
        counts->resetWithNewDay(today);
    }
    // The first overflowing event of a day and every thousandth after it are reported.
    const int64_t allOver = int64_t{counts->allEventsCount()} - config.maxEventsPerDay();
    bool droppedByAll = false;
    if (allOver >= 0) {
        dropped = droppedByAll = true;
        if (allOver % 1000 == 0) {
            log.logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit", pipelineReadableName(name),
                             plat::Value(int64_t{config.maxEventsPerDay()}));
        }
    }
    if (!dropped && isError) {
        const int64_t over = int64_t{counts->errorEventsCount()} - config.maxErrorEventsPerDay();
        if (over >= 0) {
            dropped = true;
            if (over % 1000 == 0) {
                const DMSValue* code = event.parameters().find(kDMSErrorParameterCode);
                log.logWithLevel(1, 23056, "Too many error events logged. Error code, limit",
                                 code ? code->object() : plat::Value(),
                                 plat::Value(int64_t{config.maxErrorEventsPerDay()}));
            }
        }
    }
    if (!dropped && isPublic) {
        const int64_t over = int64_t{counts->publicEventsCount()} - config.maxPublicEventsPerDay();
        if (over >= 0) {
            dropped = true;
            if (over % 1000 == 0) {
                log.logWithLevel(1, 23057, "Data loss. Too many public events logged. Name, limit",
                                 pipelineReadableName(name), plat::Value(int64_t{config.maxPublicEventsPerDay()}));
            }
            DMSLogErrorEvent(DMSErrorCodePublicEventLimitReached);
        }
    }
    if (isError) {
        counts->incrementErrorEventsCountForCurrentDay(today);
    } else {
        counts->incrementCountsForCurrentDay(today, isPublic, false);
    }
    if (dropped && !droppedByAll) {
        counts->decrementAllEventsCount();
    }
    const int32_t maxRealtime = config.maxRealtimeEventCountPerDay();
    if (event.isConversion() || config.isEventCustomConversion(name)) {
        if (counts->realtimeCount() < maxRealtime) {
            realtime = true;
            log.logWithLevel(7, 23058,
                             "Conversion event is under real-time daily limit. Marking the event as real-time. Event "
                             "name, parameters",
                             pipelineReadableName(name), pipelineReadableParameters(event));
        }
        if (!DMSIsEventSubjectToRealtimeLimit(event)) {
            realtime = true;
            log.logWithLevel(7, 23059,
                             "Conversion event is not subject to real-time daily limit. Marking the event as "
                             "real-time. Event name, parameters",
                             pipelineReadableName(name), pipelineReadableParameters(event));
        }
    }
    if (event.isRealtime() && DMSIsEventSubjectToRealtimeLimit(event) && counts->realtimeCount() >= maxRealtime) {
        event.setRealtime(false);
        log.logWithLevel(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
                         pipelineReadableName(name), pipelineReadableParameters(event));
    }
    maybeAddDebugAndRealtimeParameters(event);
    realtime = realtime || event.isRealtime();
    if (!database_->updateDailyCounts(*counts, &error)) {
        log.logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
                         pipelineReadableName(name), error);
        return false;
    }
    return true;
}

bool DMSMeasurement::storeEventOnWorkerQueue(const DMSEvent& event, bool realtime) {
    auto& log = monitor();
    const std::string& name = event.name();
    plat::Error error;
    auto aggregates = database_->eventAggregatesWithName(name, &error);
    if (!aggregates && pipelineFailed(error)) {
        log.logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", pipelineReadableName(name), error);
        return false;
    }
    if (!aggregates) {
        if (DMSIsPublicName(DMSObject(plat::Value(name)))) {
            auto count = database_->publicEventCount(&error);
            if (!count) {
                log.logWithLevel(1, 23064, "Unable to query event count. Error", error);
                return false;
            }
            if (*count >= kMaxPublicEventNames) {
                log.logWithLevel(1, 23065, "Unable to set event. Reached limit on set events. Name",
                                 pipelineReadableName(name));
                DMSLogErrorEvent(DMSErrorCodeEventLimitReached);
                return false;
            }
        }
        auto fresh = DMSEventAggregates::initWithName(name, 0, 0, 0);
        if (!fresh || !database_->updateEventAggregates(&*fresh, &error)) {
            log.logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error", error);
            return false;
        }
    }
    auto attributes = database_->userAttributesIncludingInternal(true, &error);
    if (!attributes && pipelineFailed(error)) {
        log.logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error", error);
        return false;
    }
    auto metadata = createRawEventMetadataWithUserAttributes(attributes.value_or(std::vector<DMSUserAttribute>{}));
    if (!database_->insertIfNotExistsRawEventMetadata(metadata, &error)) {
        log.logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error", error);
        return false;
    }
    auto deleted = database_->deleteRawEventsOverAbsoluteLimit(&error);
    if (!deleted) {
        log.logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error", error);
        return false;
    }
    if (*deleted != 0) {
        log.logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count", plat::Value(*deleted));
    }
    const auto encoding = metadata ? metadata->protoBuffer() : std::nullopt;
    const int64_t fingerprint = dms_64LSBMD5(encoding.value_or(plat::Data()));
    if (!database_->insertRawEvent(&event, fingerprint, realtime, &error)) {
        log.logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error", error);
        return false;
    }
    if (name == "_f") {
        bumpFirstOpenCountInKeychain();
    }
    log.logWithLevel(7, 23072, "Event logged. Event name, event params", pipelineReadableName(name),
                     pipelineReadableParameters(event));
    return true;
}

// The count outlives the app's own data: the keychain is kept when the app is deleted.
void DMSMeasurement::bumpFirstOpenCountInKeychain() {
    auto bundle = plat::Bundle::main();
    const std::string appID = bundle ? bundle->bundleIdentifier().value_or("") : std::string();
    const int64_t count = pipelineFirstOpenCount(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", appID));
    const int64_t next = count == std::numeric_limits<int64_t>::max() ? count : count + 1;
    DMSKeychainWrapper::upsertKeychainValue(std::to_string(next), "_pfo", appID);
}

// ---- the header raw events are stored under ------------------------------------------------------------------

std::shared_ptr<DMSPBMeasurementBundle> DMSMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<DMSUserAttribute>& attributes) {
    using B = DMSPBMeasurementBundle;
    auto bundle = B::init();
    auto& environment = DMSEnvironmentInfo::sharedInstance();
    NANOSetInt32(bundle, B::kProtocolVersion, 1);
    if (!attributes.empty()) {
        plat::Array list;
        for (const DMSUserAttribute& attribute : attributes) {
            list.push_back(plat::Value(plat::rt::ObjectPtr(attribute.protoUserAttribute())));
        }
        NANOSetArray(bundle, B::kUserAttributes, list);
    }
    NANOSetString(bundle, B::kPlatform, plat::Value("ios"));
    NANOSetString(bundle, B::kOSVersion, plat::Value(environment.deviceOSVersion()));
    NANOSetString(bundle, B::kDeviceModel, plat::Value(environment.deviceModel()));
    if (auto language = environment.userDefaultLanguage()) {
        NANOSetString(bundle, B::kUserDefaultLanguage, plat::Value(*language));
    }
    NANOSetInt32(bundle, B::kTimeZoneOffsetMinutes, environment.timeZoneOffsetMinutes());
    NANOSetInt64(bundle, B::kRmpVersion, DMSIdentity::vivEduzavedovoLibraryVersion());
    DMSIdentity* identity = identity_.load();
    if (!identity) {
        return bundle;
    }
    if (identity->appID()) {
        NANOSetString(bundle, B::kAppID, plat::Value(*identity->appID()));
    }
    if (identity->appVersion()) {
        NANOSetString(bundle, B::kAppVersion, plat::Value(*identity->appVersion()));
    }
    const auto deviceID = identity->resettableDeviceID();
    if (identity->hasLimitedAdTracking() && deviceID) {
        NANOSetBool(bundle, B::kLimitedAdTracking, identity->limitedAdTracking());
        NANOSetString(bundle, B::kResettableDeviceID, plat::Value(*deviceID));
    } else if (auto vendorID = identity->identifierForVendor()) {
        NANOSetString(bundle, B::kVendorDeviceID, plat::Value(*vendorID));
    }
    if (auto instanceID = identity->appInstanceID()) {
        NANOSetString(bundle, B::kAppInstanceID, plat::Value(*instanceID));
    }
    const auto rmp = identity->appIDFromRMP();
    if (rmp && !rmp->empty()) {
        NANOSetString(bundle, B::kRmpAppID, plat::Value(*rmp));
    } else if (auto adNet = identity->appIDFromAdNet(); adNet && !adNet->empty()) {
        NANOSetString(bundle, B::kAdnetAppID, plat::Value(*adNet));
    }
    if (auto instanceID = identity->vedudoduInstanceID()) {
        NANOSetString(bundle, B::kVedudoduInstanceID, plat::Value(*instanceID));
    }
    auto clampToInt32 = [](int64_t value) {
        return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
    };
    if (auto major = identity->appVersionMajor()) {
        NANOSetInt32(bundle, B::kAppVersionMajor, clampToInt32(*major));
    }
    if (auto minor = identity->appVersionMinor()) {
        NANOSetInt32(bundle, B::kAppVersionMinor, clampToInt32(*minor));
    }
    if (auto release = identity->appVersionRelease()) {
        NANOSetInt32(bundle, B::kAppVersionRelease, clampToInt32(*release));
    }
    return bundle;
}
