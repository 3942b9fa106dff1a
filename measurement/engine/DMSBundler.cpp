// Bundling: the raw events of one stored header become one queued bundle, in one exclusive transaction with
// the daily counts, the aggregates, "_lte", the sampling memory and the app metadata, so that a failure
// anywhere leaves every one of them as it was and the same raw events are tried again.

#include "measurement/audiences/DMSAudience.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Bundle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

plat::Value bundlerReadableName(const std::string& name) {
    return plat::Value(DMSReadableEventName(DMSObject(plat::Value(name))));
}

plat::Value bundlerReadableParameters(const DMSEvent& event) {
    return plat::Value(DMSReadableParametersDescription(event.parameters()));
}

bool bundlerFailed(const plat::Error& error) { return !error.domain.empty(); }

int64_t bundlerRowID(const DMSRecord& row) {
    const plat::Value* rowID = row.find("rowid");
    return rowID && rowID->isNumber() ? rowID->integerValue() : -1;
}

plat::Value bundlerMessageValue(const std::shared_ptr<NANOMessage>& message) {
    return plat::Value(plat::rt::ObjectPtr(message));
}

// What the selection filter keeps while it reads one header's rows.
struct BundlerSelection {
    int64_t hourBucket = 0;
    int64_t lastRowID = 0;
    int64_t runningSize = 0;
};

} // namespace

bool DMSMeasurement::hasDataToUpload() {
    if (!database_) {
        return false;
    }
    auto& log = monitor();
    plat::Error error;
    auto queueEmpty = database_->isQueuedBundleTableEmpty(&error);
    if (!queueEmpty) {
        log.logWithLevel(1, 23117, "Failed to check if queue table is empty. Error", error);
        return false;
    }
    if (!*queueEmpty) {
        return true;
    }
    auto rawEmpty = database_->isRawEventsTableEmpty(&error);
    if (!rawEmpty) {
        log.logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error", error);
        return false;
    }
    return !*rawEmpty;
}

bool DMSMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs) {
    if (!database_) {
        return false;
    }
    plat::Array rowIDs;
    for (int64_t id : bundleIDs) {
        rowIDs.push_back(plat::Value(id));
    }
    return database_->performTransaction([&] {
        plat::Error error;
        if (!database_->deleteBundlesWithRowIDs(rowIDs, &error)) {
            monitor().logWithLevel(1, 23122, "Failed to delete bundles from database. Error", error);
            return false;
        }
        return true;
    });
}

bool DMSMeasurement::bundleRawEvents() {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
    if (!database_) {
        return false;
    }
    bool done = false;
    const bool committed = database_->performTransaction([&] { return bundleOneHeaderOnWorkerQueue(done); });
    if (done) {
        suspendedUploadTimestamp_ = 0;
    }
    return committed && done;
}

bool DMSMeasurement::deleteConsumedRawEventsOnWorkerQueue(int64_t fingerprint, int64_t maxRowID) {
    auto& log = monitor();
    plat::Error error;
    if (!database_->deleteRawEventsWithMaxRowID(maxRowID, &error)) {
        log.logWithLevel(1, 23119, "Unable to delete raw events. RowID, error", plat::Value(maxRowID), error);
        return false;
    }
    auto left = database_->containsRawEventWithMetadataFingerprint(fingerprint, &error);
    if (!left) {
        log.logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error", plat::Value(fingerprint),
                         error);
        return false;
    }
    if (!*left && !database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
        log.logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error", plat::Value(fingerprint),
                         error);
        return false;
    }
    return true;
}

bool DMSMeasurement::bundleOneHeaderOnWorkerQueue(bool& done) {
    using B = DMSPBMeasurementBundle;
    auto& log = monitor();
    auto& config = remoteConfig();
    plat::Error error;

    auto fingerprint = database_->nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
        if (bundlerFailed(error)) {
            log.logWithLevel(1, 23095, "Unable to fetch next event metadata. Error", error);
            return false;
        }
        return true;
    }

    // The first row is always taken, whatever its size and even when it does not decode: refusing it would
    // leave every later call in front of the same row, and nothing behind it would ever be uploaded.
    const int64_t maxEvents = config.uploadMaxEventsPerBundle();
    const int64_t sizeLimit = config.uploadMaxSizeLimitBytes();
    BundlerSelection selection;
    auto filter = [&](uint32_t index, const DMSRecord& row) {
        const int64_t rowID = bundlerRowID(row);
        plat::Error rowError;
        auto raw = database_->rawEventDataFromDictionary(&row, &rowError);
        if (!raw) {
            log.logWithLevel(4, 23096, "Failed to bundle raw event. Error", rowError);
            if (index == 0) {
                selection.lastRowID = rowID;
                return true;
            }
            return false;
        }
        if (index > 0 && static_cast<int64_t>(index) >= maxEvents) {
            return false;
        }
        const int64_t bucket = static_cast<int64_t>(std::floor(raw->rawEvent().timestamp())) / 3600;
        if (index == 0) {
            selection.hourBucket = bucket;
        } else if (bucket != selection.hourBucket || rowID != selection.lastRowID + 1) {
            return false;
        }
        auto encoded = raw->rawEvent().protoEvent();
        const auto bytes = encoded ? encoded->protoBuffer() : std::nullopt;
        const int64_t size = bytes ? static_cast<int64_t>(bytes->size()) : 0;
        if (index > 0 && selection.runningSize + size >= sizeLimit) {
            return false;
        }
        selection.runningSize += size;
        selection.lastRowID = rowID;
        return true;
    };
    auto page = database_->rawEventsWithMetadataFingerprint(*fingerprint, &error, filter);
    if (!page) {
        log.logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error", error);
        return false;
    }
    if (page->events.empty()) {
        if (page->unreadableRowIDs.empty() || selection.lastRowID <= 0) {
            log.logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error", error);
            return false;
        }
        log.logWithLevel(1, 23109, "Data loss. A raw event that cannot be read was deleted. RowID",
                         plat::Value(selection.lastRowID));
        if (!deleteConsumedRawEventsOnWorkerQueue(*fingerprint, selection.lastRowID)) {
            return false;
        }
        done = true;
        return true;
    }
    auto bundle = database_->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
    if (!bundle) {
        log.logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                         plat::Value(*fingerprint), error);
        return false;
    }
    const int64_t maxRowID = selection.lastRowID;

    std::vector<DMSEvent> events;
    for (const DMSRawEventData& raw : page->events) {
        if (config.isEventBlacklisted(raw.rawEvent().name())) {
            log.logWithLevel(4, 23099, "Rejected event. Event name", bundlerReadableName(raw.rawEvent().name()));
            continue;
        }
        events.push_back(raw.rawEvent());
    }
    if (events.empty()) {
        if (!deleteConsumedRawEventsOnWorkerQueue(*fingerprint, maxRowID)) {
            return false;
        }
        log.logWithLevel(4, 23100, "Rejected all events.");
        return true;
    }

    double smallest = events.front().timestamp();
    double largest = smallest;
    for (const DMSEvent& event : events) {
        smallest = std::min(smallest, event.timestamp());
        largest = std::max(largest, event.timestamp());
    }
    NANOSetInt64(bundle, B::kStartTimestampMillis, DMSMillisecondsFromSeconds(smallest));
    NANOSetInt64(bundle, B::kEndTimestampMillis, DMSMillisecondsFromSeconds(largest));

    const bool debug = log.isDebugModeEnabled();
    const int32_t today = currentDayOnWorkerQueue();
    int64_t engagementSum = 0;
    bool bundleRealtime = false;
    std::vector<DMSEventFields> kept;
    // The sequence filters' times of this bundle only: each bundle starts with an empty cache.
    DMSSequenceTimestampsCacheMap sequenceTimestamps;
    for (DMSEvent event : events) {
        const std::string name = event.name();
        if (config.isEventCustomConversion(name)) {
            event.setConversion(true);
        }
        auto counts = database_->dailyCounts(&error);
        if (!counts) {
            log.logWithLevel(1, 23101, "Failed to query daily event counts. Error", error);
            return false;
        }
        bool dirty = false;
        if (DMSIsPublicName(DMSObject(plat::Value(name))) && event.isConversion()) {
            if (counts->day() != today || counts->conversionsCount() < config.maxConversionsPerDay()) {
                counts->incrementCountsForCurrentDay(today, false, true);
                dirty = true;
            } else {
                event.setConversion(false);
                log.logWithLevel(4, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
                                 bundlerReadableName(name), plat::Value(int64_t{config.maxConversionsPerDay()}));
            }
        }
        if (event.isRealtime() || event.isConversion()) {
            const bool limited = !debug && name != "_iap" && name != "_f";
            if (!limited) {
                event.setRealtime(true);
                log.logWithLevel(7, 23105,
                                 "Event is not subject to real-time event count daily limit. Marking an event as "
                                 "real-time. Event name, parameters",
                                 bundlerReadableName(name), bundlerReadableParameters(event));
            } else if ((counts->day() != today ? 0 : counts->realtimeCount()) < config.maxRealtimeEventCountPerDay()) {
                counts->incrementRealtimeCountsForCurrentDay(today);
                event.setRealtime(true);
                dirty = true;
                log.logWithLevel(7, 23103,
                                 "Event is under real-time event count daily limit. Marking the event as real-time. "
                                 "Event name, parameters",
                                 bundlerReadableName(name), bundlerReadableParameters(event));
            } else {
                event.setRealtime(false);
                log.logWithLevel(4, 23104,
                                 "Number of real-time events is over the real-time event count daily limit. Event is "
                                 "no longer real-time. Event name, parameters",
                                 bundlerReadableName(name), bundlerReadableParameters(event));
            }
        }
        if (dirty && !database_->updateDailyCounts(*counts, &error)) {
            log.logWithLevel(1, 23106, "Failed to update daily event counts. Name, error", bundlerReadableName(name),
                             error);
            return false;
        }

        auto aggregates = database_->eventAggregatesWithName(name, &error);
        if (!aggregates && bundlerFailed(error)) {
            log.logWithLevel(1, 23107, "Failed to query event aggregates. Name, error", bundlerReadableName(name),
                             error);
            return false;
        }
        if (aggregates) {
            if (auto withPrevious = event.copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) {
                const bool conversion = event.isConversion();
                const bool realtime = event.isRealtime();
                event = std::move(*withPrevious);
                event.setConversion(conversion);
                event.setRealtime(realtime);
            }
            aggregates->incrementCurrentBundleCount();
            aggregates->incrementLifetimeCount();
            aggregates->setLastFireTimestamp(event.timestamp());
        } else {
            aggregates = DMSEventAggregates::initWithName(name, 1, 1, event.timestamp());
        }
        if (!aggregates || !database_->updateEventAggregates(&*aggregates, &error)) {
            log.logWithLevel(1, 23108, "Failed to update event aggregates. Error", error);
            return false;
        }

        if (name == "_iap" && config.parsePurchaseDataEnabled()) {
            DMSParameters parameters = event.parameters();
            if (DMSAEU::isASRS()) {
                parameters.set("sandbox", DMSValue::initWithInt64(1));
            }
            if (auto copy = event.copyWithParameters(parameters)) {
                const bool conversion = event.isConversion();
                const bool realtime = event.isRealtime();
                event = std::move(*copy);
                event.setConversion(conversion);
                event.setRealtime(realtime);
            }
        }
        if (name == "_e") {
            const DMSValue* time = event.parameters().find("_et");
            if (time && time->isInt64()) {
                engagementSum += time->int64Value();
            } else if (time && time->isDouble()) {
                engagementSum += static_cast<int64_t>(time->doubleValue());
            } else {
                log.logWithLevel(1, 23165, "User engagement event doesn't contain any user engagement time");
            }
        }
        if (!audience_ || !audience_->evaluateFiltersForEvent(event, &*aggregates, sequenceTimestamps)) {
            return false;
        }
        kept.push_back(event.protoEventFields());
        bundleRealtime = bundleRealtime || event.isRealtime();
    }

    const double now = plat::Clock::now();
    if (engagementSum >= 1) {
        auto lifetime = database_->userAttributeWithName("_lte", &error);
        if (!lifetime && bundlerFailed(error)) {
            log.logWithLevel(1, 23164, "Failed to query for user engagement lifetime user property. Error", error);
            return false;
        }
        if (lifetime && lifetime->value().isInt64()) {
            engagementSum += lifetime->value().int64Value();
        }
        auto attribute = DMSUserAttribute::initWithOrigin("auto", "_lte", DMSValue::initWithInt64(engagementSum), now);
        if (!attribute || !setUserPropertyInDatabaseOnWorkerQueue(*attribute)) {
            return false;
        }
        plat::Array attributes =
            NANOGetArray(bundle, B::kUserAttributes, &DMSPBUserAttribute::messageClass()).value_or(plat::Array{});
        bool replaced = false;
        for (plat::Value& value : attributes) {
            auto message = std::static_pointer_cast<NANOMessage>(value.asObject());
            if (!replaced && NANOGetString(message, DMSPBUserAttribute::kName) == std::optional<std::string>("_lte")) {
                NANOSetInt64(message, DMSPBUserAttribute::kIntValue, engagementSum);
                NANOSetInt64(message, DMSPBUserAttribute::kSetTimestampMillis, DMSMillisecondsFromSeconds(now));
                replaced = true;
            }
        }
        if (!replaced) {
            attributes.push_back(bundlerMessageValue(attribute->protoUserAttribute()));
        }
        NANOSetArray(bundle, B::kUserAttributes, attributes);
    }

    if (config.isEventSamplingEnabled() && !debug) {
        auto sampled = sampleEvents(kept, &error);
        if (!sampled) {
            return false;
        }
        kept = std::move(*sampled);
    }
    if (kept.empty()) {
        log.logWithLevel(4, 23159, "Bundle was dropped because no events were left after sampling");
        if (!deleteConsumedRawEventsOnWorkerQueue(*fingerprint, maxRowID)) {
            return false;
        }
        done = true;
        return true;
    }
    plat::Array eventMessages;
    for (const DMSEventFields& fields : kept) {
        eventMessages.push_back(bundlerMessageValue(DMSPBEventFromFields(fields)));
    }
    NANOSetArray(bundle, B::kEvents, eventMessages);

    auto metadata = database_->queryAppMetadata(&error);
    if (!metadata) {
        log.logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error", error);
        return false;
    }
    if (metadata->lastBundleEndTimestamp() > 0) {
        NANOSetInt64(bundle, B::kPreviousBundleEndTimestampMillis,
                     DMSMillisecondsFromSeconds(metadata->lastBundleEndTimestamp()));
    }
    if (metadata->lastBundleStartTimestamp() > 0) {
        NANOSetInt64(bundle, B::kPreviousBundleStartTimestampMillis,
                     DMSMillisecondsFromSeconds(metadata->lastBundleStartTimestamp()));
    } else if (metadata->lastBundleEndTimestamp() > 0) {
        NANOSetInt64(bundle, B::kPreviousBundleStartTimestampMillis,
                     DMSMillisecondsFromSeconds(metadata->lastBundleEndTimestamp()));
    }
    metadata->incrementLastBundleIndex();
    metadata->setLastBundleStartTimestamp(smallest);
    metadata->setLastBundleEndTimestamp(largest);
    NANOSetInt32(bundle, B::kBundleSequentialIndex, metadata->lastBundleIndex());
    if (!database_->updateAppMetadata(*metadata, &error)) {
        log.logWithLevel(1, 23112, "Unable to update the app metadata. Error", error);
        return false;
    }

    plat::Array audienceResults;
    if (!audience_ || !audience_->resultsForBundling(&audienceResults)) {
        log.logWithLevel(1, 23113, "Unable to read audience evaluation results");
        return false;
    }
    if (!audienceResults.empty()) {
        NANOSetArray(bundle, B::kAudienceEvaluationResults, audienceResults);
    }

    if (persistedConfig_) {
        auto sample = log.monitoringDataForDispatchWithSamplePeriod(config.monitoringSamplePeriod(),
                                                                    persistedConfig_->lastMonitorDataSampledTimestamp());
        if (sample && !sample->empty()) {
            NANOSetString(bundle, B::kMonitoringSample, plat::Value(*sample));
            persistedConfig_->setLastMonitorDataSampledTimestamp(now);
        }
    }
    if (config.version() >= 0) {
        NANOSetInt64(bundle, B::kConfigVersion, config.version());
    }
    if (NANOGetString(bundle, B::kAppID).value_or("").empty()) {
        DMSIdentity* identity = identity_.load();
        std::string appID = identity && identity->appID() ? *identity->appID() : std::string();
        if (appID.empty()) {
            auto main = plat::Bundle::main();
            appID = main ? main->bundleIdentifier().value_or("") : std::string();
        }
        NANOSetString(bundle, B::kAppID, plat::Value(appID));
        log.logWithLevel(4, 23114, "Added missing App ID to event metadata.");
    }
    if (!database_->insertBundle(bundle, bundleRealtime, &error)) {
        log.logWithLevel(1, 23115, "Unable to insert bundle. Error", error);
        return false;
    }
    log.logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                     plat::Value(int64_t{metadata->lastBundleIndex()}),
                     plat::Value(NANOGetInt64(bundle, B::kEndTimestampMillis)));
    if (!deleteConsumedRawEventsOnWorkerQueue(*fingerprint, maxRowID)) {
        return false;
    }
    done = true;
    return true;
}
