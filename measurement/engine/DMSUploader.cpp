// Upload: when the upload alarm is armed, how the next upload time follows from the last success, failure and
// back-off, which queued bundles make one batch, and what each reply does to the queue and the persisted
// times. At most one request is in flight; everything runs on the worker queue.

#include "core/DVUNetwork.hpp"
#include "deployment/Deployment.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMeasurementNetworkBridge.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kUploadSuspensionSeconds = 3600;
constexpr double kUploadEpsilon = std::numeric_limits<double>::epsilon();

bool uploaderIsZero(double value) { return std::fabs(value) < kUploadEpsilon; }

std::string uploaderString(const std::shared_ptr<DMSPBMeasurementBundle>& bundle, int32_t slot) {
    return NANOGetString(bundle, slot).value_or("");
}

} // namespace

// ---- the bridge the network layer holds weakly ----------------------------------------------------------------

void DMSMeasurementNetworkBridge::reachabilityDidChange() {
    if (DMSMeasurement* controller = controller_) {
        controller->scheduler().scheduleOnWorkerQueueBlockID("DMSMeasurement:reachability", [weak = weak_from_this()] {
            if (auto bridge = weak.lock(); bridge && bridge->controller()) {
                bridge->controller()->updateSchedule();
            }
        });
    }
}

void DMSMeasurementNetworkBridge::DVUNetwork_logWithLevel(long level, long messageCode,
                                                          const std::optional<std::string>& message,
                                                          const std::vector<plat::Value>& contexts) {
    DMSMeasurement::logNetworkLine(level, messageCode, message, contexts);
}

void DMSMeasurementNetworkBridge::DVUNetwork_logWithLevel(long level, long messageCode,
                                                          const std::optional<std::string>& message,
                                                          const plat::Value& context) {
    DMSMeasurement::logNetworkLine(level, messageCode, message, {context});
}

void DMSMeasurementNetworkBridge::DVUNetwork_logWithLevel(long level, long messageCode,
                                                          const std::optional<std::string>& message) {
    DMSMeasurement::logNetworkLine(level, messageCode, message, {});
}

std::shared_ptr<DMSMeasurementNetworkBridge> DMSMeasurement::networkBridge() {
    if (!networkBridge_) {
        networkBridge_ = std::make_shared<DMSMeasurementNetworkBridge>(this);
    }
    return networkBridge_;
}

// ---- the schedule -------------------------------------------------------------------------------------------

void DMSMeasurement::stopUploadSchedule() {
    if (alarm_) {
        alarm_->cancel();
    }
    if (network_) {
        network_->setReachabilityDelegate({});
    }
    terminateBackgroundTask();
}

void DMSMeasurement::updateSchedule() {
    auto& log = monitor();
    auto& config = remoteConfig();
    if (!database_) {
        return;
    }
    if (!uploaderIsZero(suspendedUploadTimestamp_)) {
        const double elapsed = std::fabs(plat::Clock::uptime() - suspendedUploadTimestamp_);
        if (elapsed < kUploadSuspensionSeconds) {
            log.logWithLevel(4, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
                             plat::Value(kUploadSuspensionSeconds - elapsed));
            stopUploadSchedule();
            return;
        }
        suspendedUploadTimestamp_ = 0;
    }
    if (!hasDataToUpload()) {
        log.logWithLevel(7, 23024, "No data to upload. Upload task will not be scheduled");
        stopUploadSchedule();
        return;
    }
    double next = nextUploadingTime();
    if (uploaderIsZero(next)) {
        log.logWithLevel(7, 23025, "No next uploading time. Upload task will not be scheduled");
        stopUploadSchedule();
        return;
    }
    if (!network_ || !network_->isNetworkConnected()) {
        log.logWithLevel(7, 23026, "No network. Upload task will not be scheduled");
        if (network_) {
            network_->setReachabilityDelegate(networkBridge());
        }
        if (alarm_) {
            alarm_->cancel();
        }
        terminateBackgroundTask();
        return;
    }
    network_->setReachabilityDelegate({});
    const double now = plat::Clock::now();
    if (persistedConfig_) {
        const double backoff = persistedConfig_->lastBackoffTimestamp();
        const double period = config.uploadingBackoffInterval();
        if (!uploaderIsZero(backoff) && std::fabs(now - backoff) < period) {
            next = std::max(next, backoff + period);
        }
    }
    if (!alarm_) {
        return;
    }
    if (auto armed = alarm_->scheduledTimestamp(); armed && !uploaderIsZero(armed->timeIntervalSince1970()) &&
                                                   next >= armed->timeIntervalSince1970()) {
        log.logWithLevel(7, 23027, "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                         plat::Value(armed->timeIntervalSince1970() - now));
        return;
    }
    double delay = next - now;
    if (uploaderIsZero(delay)) {
        delay = 0.001;
    }
    alarm_->runAfterDelay(delay, [this, bridge = std::weak_ptr<DMSMeasurementNetworkBridge>(networkBridge())] {
        if (!bridge.lock()) {
            return;
        }
        scheduleBlock(__LINE__, [this, bridge] {
            if (bridge.lock()) {
                uploadData();
            }
        });
    });
    log.logWithLevel(7, 23028, "Upload task scheduled to be executed in approx. (s)", plat::Value(delay));
}

double DMSMeasurement::nextUploadingTime() {
    auto& log = monitor();
    auto& config = remoteConfig();
    plat::Error error;
    double latest = 0;
    if (auto bundleTime = database_->queryLatestBundleTime(&error)) {
        latest = *bundleTime;
    } else if (!error.domain.empty()) {
        log.logWithLevel(4, 23030, "Failed to query latest bundle time. Error", error);
    }
    plat::Error rawError;
    if (auto rawTime = database_->queryLatestRawEventTime(&rawError)) {
        latest = std::max(latest, *rawTime);
    } else if (!rawError.domain.empty()) {
        log.logWithLevel(4, 23029, "Failed to query latest raw event time. Error", rawError);
    }
    if (uploaderIsZero(latest)) {
        return 0;
    }
    const bool debug = log.isDebugModeEnabled();
    bool realtime = debug;
    if (!realtime) {
        plat::Error realtimeError;
        auto bundles = database_->containsRealtimeBundlesWithError(&realtimeError);
        if (!bundles && !realtimeError.domain.empty()) {
            log.logWithLevel(4, 23031, "Failed to query for real-time bundle indicator. Error", realtimeError);
        }
        realtime = bundles.value_or(false);
        if (!realtime) {
            plat::Error rawRealtimeError;
            auto raws = database_->containsRealtimeRawEventsWithError(&rawRealtimeError);
            if (!raws && !rawRealtimeError.domain.empty()) {
                log.logWithLevel(4, 23032, "Failed to query for real-time raw event indicator. Error",
                                 rawRealtimeError);
            }
            realtime = raws.value_or(false);
        }
    }
    const double interval = realtime ? config.uploadingRealTimeInterval() : config.uploadingInterval();
    const double now = plat::Clock::now();
    latest = now - std::fabs(latest - now);
    const double success = persistedConfig_ ? persistedConfig_->lastSuccessfulUploadTimestamp() : 0;
    double next = std::fabs(now - success) < interval ? success + interval
                                                      : latest + config.uploadingInitialDelayInterval();
    const double failure = persistedConfig_ ? persistedConfig_->lastFailedUploadTimestamp() : 0;
    if (failure < latest) {
        if (debug) {
            next = std::min(next, latest + config.uploadingDebugModeInterval());
        }
        return next;
    }
    const int32_t retries = config.uploadingRetryCount();
    if (retries < 1) {
        return 0;
    }
    const double step = config.uploadingRetryInterval();
    for (int32_t i = 0; i < retries; ++i) {
        next += step * std::ldexp(1.0, i);
        if (next > failure) {
            return next;
        }
    }
    return 0;
}

// ---- one batch ---------------------------------------------------------------------------------------------

bool DMSMeasurement::hasRequestsInFlight() {
    DMSMeasurement* controller = hasSharedInstance() ? sharedInstance() : nullptr;
    return controller && (controller->isNetworkRequestPending_.load() ||
                          (controller->network_ && controller->network_->hasUploadInProgress()));
}

bool DMSMeasurement::isNetworkReadyForRequest() {
    const bool networkBusy = network_ && network_->hasUploadInProgress();
    if (isNetworkRequestPending_ && !networkBusy) {
        monitor().logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
        return false;
    }
    return !isNetworkRequestPending_ && !networkBusy;
}

void DMSMeasurement::uploadDataOrRegisterAlarm() {
    if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
        uploadData();
    } else {
        updateSchedule();
    }
}

std::vector<std::shared_ptr<DMSPBMeasurementBundle>> DMSMeasurement::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::optional<std::string>& resettableDeviceID,
    const std::optional<std::string>& vendorDeviceID,
    const std::vector<std::shared_ptr<DMSPBMeasurementBundle>>& bundlesToUpload) {
    using B = DMSPBMeasurementBundle;
    std::vector<std::shared_ptr<B>> run;
    if (resettableDeviceID && vendorDeviceID) {
        monitor().logWithLevel(2, 23042, "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
        return run;
    }
    for (const auto& bundle : bundlesToUpload) {
        if (uploaderString(bundle, B::kAppID) != appID) {
            break;
        }
        if (resettableDeviceID) {
            const std::string id = uploaderString(bundle, B::kResettableDeviceID);
            if (!id.empty() && id != *resettableDeviceID) {
                break;
            }
        } else if (vendorDeviceID) {
            const std::string id = uploaderString(bundle, B::kVendorDeviceID);
            if (!id.empty() && id != *vendorDeviceID) {
                break;
            }
        }
        run.push_back(bundle);
    }
    return run;
}

std::optional<DMSMeasurement::UploadBatch>
DMSMeasurement::uploadBatchWithQueuedBundles(const std::vector<DMSQueuedBundle>& queued, int64_t sendMillis) {
    using B = DMSPBMeasurementBundle;
    if (queued.empty()) {
        return std::nullopt;
    }
    std::vector<std::shared_ptr<B>> bundles;
    bundles.reserve(queued.size());
    for (const DMSQueuedBundle& entry : queued) {
        bundles.push_back(entry.bundle);
    }
    const std::string appID = uploaderString(bundles.front(), B::kAppID);
    std::optional<std::string> resettable;
    std::optional<std::string> vendor;
    for (const auto& bundle : bundles) {
        const std::string r = uploaderString(bundle, B::kResettableDeviceID);
        const std::string v = uploaderString(bundle, B::kVendorDeviceID);
        if (!r.empty()) {
            resettable = r;
            break;
        }
        if (!v.empty()) {
            vendor = v;
            break;
        }
    }
    const auto run = filteredBundlesWithCompatibleAppID(appID, resettable, vendor, bundles);
    UploadBatch batch;
    plat::Array chosen;
    chosen.reserve(run.size());
    for (size_t i = 0; i < run.size(); ++i) {
        NANOSetInt64(run[i], B::kUploadingRmpVersion, DMSIdentity::vivEduzavedovoLibraryVersion());
        NANOSetInt64(run[i], B::kUploadTimestampMillis, sendMillis);
        chosen.push_back(plat::Value(plat::rt::ObjectPtr(run[i])));
        batch.rowIDs.push_back(queued[i].rowID);
    }
    auto message = DMSPBMeasurementBatch::init();
    NANOSetArray(message, DMSPBMeasurementBatch::kBundles, chosen);
    auto payload = message->protoBuffer();
    if (!payload) {
        return std::nullopt;
    }
    batch.payload = std::move(*payload);
    return batch;
}

bool DMSMeasurement::setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs) {
    auto& log = monitor();
    if (bundleIDs.empty()) {
        log.logWithLevel(1, 23046, "Bundle list is empty. Cancelling upload");
        return false;
    }
    if (!uploadingBundleIDs_.empty()) {
        log.logWithLevel(1, 23047, "Set uploading progress before finishing the previous upload");
        return false;
    }
    uploadingBundleIDs_ = bundleIDs;
    return true;
}

void DMSMeasurement::uploadData() {
    auto& log = monitor();
    auto& config = remoteConfig();
    if (!database_) {
        return;
    }
    if (suspendedUploadTimestamp_ > 0) {
        updateSchedule();
        return;
    }
    log.logWithLevel(7, 23033, "Starting data upload");
    if (!isNetworkReadyForRequest()) {
        log.logWithLevel(7, 23034, "Network operation is pending. Ignoring upload request");
        return;
    }
    if (!network_ || !network_->isNetworkConnected()) {
        log.logWithLevel(7, 23035, "Network not connected, ignoring upload request");
        updateSchedule();
        return;
    }
    DMSRemoteConfig* own = ownRemoteConfig();
    const bool expired = own && own->isExpired();
    if (!expired) {
        const int64_t most = config.maxBundlesCreatedPerIteration();
        for (int64_t i = 0; i < most && bundleRawEvents(); ++i) {
        }
    }
    plat::Error error;
    auto queued = database_->queryBundlesWithCountLimit(config.uploadMaxBundlesLimit(),
                                                        config.uploadMaxSizeLimitBytes(), &error);
    if (!queued) {
        log.logWithLevel(1, 23036, "Failed to query bundles. Error", error);
        terminateBackgroundTask();
        return;
    }
    if (queued->empty()) {
        log.logWithLevel(7, 23037, "No data to upload");
        if (expired) {
            fetchRemoteConfig();
        }
        return;
    }
    const double now = plat::Clock::now();
    if (persistedConfig_ && !uploaderIsZero(persistedConfig_->lastSuccessfulUploadTimestamp())) {
        log.logWithLevel(7, 23038, "Uploading events. Elapsed time since last successful upload (s)",
                         plat::Value(std::fabs(now - persistedConfig_->lastSuccessfulUploadTimestamp())));
    }

    const int64_t sendMillis = DMSMillisecondsFromSeconds(now);
    auto batch = uploadBatchWithQueuedBundles(*queued, sendMillis);
    log.logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data", plat::Value(sendMillis),
                     plat::Value(int64_t(batch ? batch->rowIDs.size() : 0)));
    // A refused record means another batch is still owed its reply: posting this one anyway would let its
    // success delete the wrong rows.
    if (!batch || !setUploadInProgressWithBundleIDs(batch->rowIDs)) {
        updateSchedule();
        return;
    }
    if (persistedConfig_) {
        persistedConfig_->setLastFailedUploadTimestamp(now);
    }
    isNetworkRequestPending_ = true;
    network_->setTimeoutInterval(config.networkTimeout());
    auto url = plat::URL::parse(std::string(deployment::kMeasurementURL) + "/a");
    std::weak_ptr<DMSMeasurementNetworkBridge> bridge = networkBridge();
    auto sessionID = network_->postURL(
        url, batch->payload, scheduler_->workerQueue(), config.isNetworkBackgroundSessionEnabled(),
        [bridge](std::shared_ptr<const plat::HTTPURLResponse> response, std::optional<plat::Data>,
                 std::optional<plat::Error> failure) {
            auto strong = bridge.lock();
            if (!strong || !strong->controller()) {
                return;
            }
            strong->controller()->isNetworkRequestPending_ = false;
            strong->controller()->networkUploadCompletionHandlerWithResponse(response, failure);
        });
    if (!sessionID || sessionID->empty()) {
        log.logWithLevel(1, 23040, "Unable to create network session.");
        uploadingBundleIDs_.clear();
    }
}

void DMSMeasurement::networkUploadCompletionHandlerWithResponse(
    const std::shared_ptr<const plat::HTTPURLResponse>& response, const std::optional<plat::Error>& error) {
    auto& log = monitor();
    const int status = response ? response->statusCode() : 0;
    const double now = plat::Clock::now();
    if (status == 200 || status == 204) {
        log.logWithLevel(7, 23044, "Successful upload. Got network response. Code, size", plat::Value(int64_t{status}),
                         plat::Value(response->expectedContentLength()));
        if (persistedConfig_) {
            persistedConfig_->setLastSuccessfulUploadTimestamp(now);
            persistedConfig_->setLastFailedUploadTimestamp(0);
            persistedConfig_->setLastBackoffTimestamp(0);
        }
        updateSchedule();
        if (!removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
            log.logWithLevel(1, 23045, "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                             plat::Value(kUploadSuspensionSeconds));
            const double uptime = plat::Clock::uptime();
            // With the uptime unknown the suspension could never end for this process.
            suspendedUploadTimestamp_ = uptime >= 0 ? uptime : 0;
        } else {
            suspendedUploadTimestamp_ = 0;
        }
        uploadingBundleIDs_.clear();
        DMSRemoteConfig* own = ownRemoteConfig();
        if ((network_ && network_->isNetworkConnected() && hasDataToUpload()) || (own && own->isExpired())) {
            uploadData();
        } else {
            updateSchedule();
        }
        return;
    }
    if (persistedConfig_) {
        persistedConfig_->setLastFailedUploadTimestamp(now);
        if (status == 503 || status == 429) {
            persistedConfig_->setLastBackoffTimestamp(now);
        }
    }
    log.logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error", plat::Value(int64_t{status}),
                     error ? plat::Value(error->localizedDescription()) : plat::Value());
    incrementRetryCounter();
    uploadingBundleIDs_.clear();
    updateSchedule();
}

void DMSMeasurement::incrementRetryCounter() {
    plat::Array rowIDs;
    for (int64_t id : uploadingBundleIDs_) {
        rowIDs.push_back(plat::Value(id));
    }
    database_->performTransaction([&] {
        plat::Error error;
        if (!database_->incrementRetryCounterForBundlesWithIDs(rowIDs, &error)) {
            monitor().logWithLevel(1, 23166, "Failed to update the bundles' retry counts. Error", error);
            return false;
        }
        return true;
    });
}
