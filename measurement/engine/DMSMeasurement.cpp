#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSSearchAdReporter.hpp"
#include "measurement/engine/DMSSessionReporter.hpp"

#include "core/DVULogger.hpp"
#include "core/DVUNetwork.hpp"
#include "deployment/Deployment.hpp"
#include "measurement/audiences/DMSAudience.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSMeasurementNetworkBridge.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/uikit/NSUserActivity.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <atomic>
#include <mutex>

namespace {

// Read and written from the worker queue only, like the settings themselves.
std::shared_ptr<DMSRemoteConfig>& measurementRemoteConfigOverride() {
    static plat::NeverDestroyed<std::shared_ptr<DMSRemoteConfig>> remoteConfig;
    return *remoteConfig;
}

struct MeasurementSharedState {
    std::mutex mutex;
    bool initialized = false;
    std::unique_ptr<DMSMeasurement> controller;
    std::atomic<DMSMeasurement*> published{nullptr};
};

MeasurementSharedState& measurementSharedState() {
    static plat::NeverDestroyed<MeasurementSharedState> state;
    return *state;
}

bool measurementPresent(const std::optional<std::string>& text) { return text && !text->empty(); }

} // namespace

DMSMonitor& DMSMeasurement::monitor() {
    static plat::NeverDestroyed<DMSMonitor> shared(DMSIdentity::vivEduzavedovoLibraryVersion());
    return *shared;
}

DMSRemoteConfig& DMSMeasurement::remoteConfig() {
    if (auto& remoteConfig = measurementRemoteConfigOverride()) {
        return *remoteConfig;
    }
    if (DMSMeasurement* controller = measurementSharedState().published.load()) {
        if (DMSRemoteConfig* own = controller->ownRemoteConfig()) {
            return *own;
        }
    }
    return DMSRemoteConfig::defaultInstance();
}

void DMSMeasurement::setRemoteConfigForTesting(std::shared_ptr<DMSRemoteConfig> remoteConfig) {
    measurementRemoteConfigOverride() = std::move(remoteConfig);
}

// ---- shared instance ------------------------------------------------------------------------------------

void DMSMeasurement::initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::optional<std::vector<std::string>>& safelistedEvents) {
    auto& state = measurementSharedState();
    std::lock_guard lock(state.mutex);
    if (state.initialized) {
        return;
    }
    state.initialized = true;
    if (appID.empty()) {
        return;
    }
    (void)monitor();
    state.controller =
        initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, safelistedEvents);
    state.published.store(state.controller.get());
}

bool DMSMeasurement::hasSharedInstance() {
    auto& state = measurementSharedState();
    std::lock_guard lock(state.mutex);
    return state.initialized && state.controller;
}

namespace {

// A marker block queued behind whatever a queue holds; pending until the queue gets to it.
struct QueueMarker {
    std::atomic<bool> pending{false};

    bool stillPending(const plat::DispatchQueuePtr& queue) {
        if (!queue) {
            return false;
        }
        if (pending.load()) {
            return true;
        }
        pending.store(true);
        queue->async([this] { pending.store(false); });
        return false;
    }
};

} // namespace

bool DMSMeasurement::hasQueuedWork() {
    // Left alive at exit: a marker block may still run on its queue then.
    static auto* facade = new QueueMarker;
    static auto* worker = new QueueMarker;
    bool busy = facade->stillPending(DMSAnalytics::serialQueue());
    if (hasSharedInstance()) {
        busy = worker->stillPending(sharedInstance()->scheduler().workerQueue()) || busy;
    }
    return busy;
}

DMSMeasurement* DMSMeasurement::sharedInstance() {
    if (!DMSAEU::isOSSupported()) {
        return nullptr;
    }
    auto& state = measurementSharedState();
    std::lock_guard lock(state.mutex);
    if (!state.initialized && plat::rt::getClass("DAVAnalytics")) {
        DVULoggerWriteWarning("<VivEduzavedovo>", false, plat::format("I-ACS%06ld", int64_t{23147}),
                              "Razoza Analytics for Vedudodu has not been created. Please, configure Vedudodu by "
                              "calling [DAVApp configure]");
    }
    return state.controller.get();
}

// ---- creation -------------------------------------------------------------------------------------------

DMSMeasurement::DMSMeasurement() = default;

DMSMeasurement::~DMSMeasurement() { plat::NotificationCenter::defaultCenter().removeObserver(this); }

std::unique_ptr<DMSMeasurement> DMSMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
    auto& log = monitor();
    if (appID.empty()) {
        log.logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
        return nullptr;
    }
    log.logWithLevel(6, 23007, plat::format("Analytics v.%@ started", std::string(kLibraryVersionString)));
    const bool hasFacade = plat::rt::getClass("DAVAnalytics") != nullptr;
    const std::string enableSwitch = hasFacade ? "-DAVAnalyticsDebugEnabled" : "-DMSAnalyticsDebugEnabled";
    const std::string disableSwitch = hasFacade ? "-noDAVAnalyticsDebugEnabled" : "-noAPMAnalyticsDebugEnabled";
    const std::string pointer = " (see " + std::string(deployment::kMeasurementHelpURL) + "/debug-view)";
    if (log.isDebugModeEnabled()) {
        log.logWithLevel(6, 23008,
                         plat::format("To disable debug logging set the following application argument: %@",
                                      disableSwitch) +
                             pointer);
    } else {
        log.logWithLevel(6, 23008,
                         plat::format("To enable debug logging set the following application argument: %@",
                                      enableSwitch) +
                             pointer);
    }
    log.logWithLevel(7, 23009, "Debug logging enabled");

    std::shared_ptr<DVUNetwork> network = DVUNetwork::init();
    if (network) {
        network->setDebugModeEnabled(log.isDebugModeEnabled());
    } else {
        log.logWithLevel(1, 23010, "Failed to initialize network component");
    }
    auto scheduler = std::make_shared<DMSScheduler>(kWorkerQueueLabel);
    auto alarm = DMSAlarm::initWithDispatchQueue(scheduler->workerQueue(), "Measurement timer");
    return initWithDatabaseName(DMSDatabase::kDatabaseName, DMSPersistedConfig::sharedInstance(), std::move(network),
                                std::move(scheduler), std::move(alarm), appID, isAnalyticsCollectionEnabled,
                                isAnalyticsCollectionDeactivated, safelistedEvents);
}

std::unique_ptr<DMSMeasurement> DMSMeasurement::initWithDatabaseName(
    const std::string& databaseName, DMSPersistedConfig* persistedConfig, std::shared_ptr<DVUNetwork> network,
    std::shared_ptr<DMSScheduler> scheduler, std::shared_ptr<DMSAlarm> alarm, const std::string& appID,
    bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
    auto controller = std::make_unique<DMSMeasurement>();
    controller->appID_ = appID;
    controller->databaseName_ = databaseName;
    controller->isAnalyticsCollectionEnabled_ = isAnalyticsCollectionEnabled;
    controller->isAnalyticsCollectionDeactivated_ = isAnalyticsCollectionDeactivated;
    controller->safelistedEvents_ = safelistedEvents.value_or(std::vector<std::string>{});
    controller->persistedConfig_ = persistedConfig;
    controller->network_ = std::move(network);
    controller->scheduler_ = std::move(scheduler);
    controller->alarm_ = std::move(alarm);
    if (persistedConfig) {
        if (auto stored = persistedConfig->loadTimestampValue(); stored && stored->isNumber()) {
            controller->initTimestamp_ = stored->doubleValue();
        } else {
            const double loaded = DMSAnalytics::loadTimestamp();
            controller->initTimestamp_ = loaded;
            persistedConfig->setLoadTimestampValue(plat::Value(loaded));
        }
    }
    const bool enabled = controller->shouldEnableMeasurement();
    controller->enabled_ = enabled;
    controller->setEnabled(enabled);
    controller->wasEnabledDuringInitialization_ = enabled;
    if (controller->network_) {
        controller->network_->setLoggerDelegate(controller->networkBridge());
    }
    controller->registerLifecycleObservers();
    return controller;
}

void DMSMeasurement::scheduleBlock(int line, std::function<void()> block) {
    scheduler_->scheduleOnWorkerQueueBlockID("DMSMeasurement:" + std::to_string(line), std::move(block));
}

// ---- enablement -----------------------------------------------------------------------------------------

bool DMSMeasurement::shouldEnableMeasurement() {
    if (isAnalyticsCollectionDeactivated_) {
        return false;
    }
    switch (persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0) {
    case 1:
        return true;
    case 2:
        return false;
    default:
        return isAnalyticsCollectionEnabled_;
    }
}

void DMSMeasurement::setEnabled(bool enabled) {
    scheduleBlock(__LINE__, [this, enabled] { setEnabledOnWorkerQueue(enabled); });
}

void DMSMeasurement::storeDeferredCollectionOnWorkerQueue() {
    if (!isAnalyticsCollectionDeactivated_ && persistedConfig_ && !persistedConfig_->deferredAnalyticsCollection()) {
        persistedConfig_->setDeferredAnalyticsCollection(plat::Value(int64_t{enabled_.load() ? 0 : 1}));
    }
}

void DMSMeasurement::setEnabledOnWorkerQueue(bool enabled) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
    if (isAnalyticsCollectionDeactivated_ && enabled) {
        return;
    }
    storeDeferredCollectionOnWorkerQueue();
    enabled_ = enabled;
    auto& log = monitor();
    if (enabled) {
        if (!startMeasurementOnWorkerQueue()) {
            log.logWithLevel(7, 23011, "Failed to start Analytics. Analytics is disabled");
            setEnabled(false);
            return;
        }
        if (auto sessions = sessionReporter()) {
            sessions->setReportingEnabled(true);
        }
        log.logWithLevel(7, 23012, "Analytics enabled");
    } else {
        log.logWithLevel(7, 23013, "Analytics disabled");
    }
}

bool DMSMeasurement::startMeasurementOnWorkerQueue() {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
    if (!DMSAEU::isOSSupported()) {
        return false;
    }
    initializeComponentsOnce_.call([this] { componentsStarted_ = initializeComponentsOnWorkerQueue(); });
    if (!componentsStarted_) {
        // A failed start is tried again at the next enable.
        initializeComponentsOnce_.reset();
        return false;
    }
    if (!automaticEventsReported_ || needFirstOpenAfterReset_) {
        automaticEventsReported_ = true;
        needFirstOpenAfterReset_ = false;
        reportFirstOpenOnWorkerQueue();
        reportStoredCampaignEventOnWorkerQueue(std::nullopt);
        reportAppUpdateOnWorkerQueue();
        reportOSUpdateOnWorkerQueue();
    }
    updateSchedule();
    return true;
}

bool DMSMeasurement::initializeComponentsOnWorkerQueue() {
    auto& log = monitor();
    DMSIdentity* identity = DMSIdentity::sharedInstance();
    if (!identity) {
        return false;
    }
    identity_ = identity;
    if (!persistedConfig_) {
        return false;
    }
    const auto rmp = identity->appIDFromRMP();
    const auto adNet = identity->appIDFromAdNet();
    if (shouldWipeDataWithAppID(appID_, rmp, adNet, persistedConfig_->appIDFromRMP(),
                                persistedConfig_->appIDFromAdNet())) {
        wipeoutAnalyticsDataAndResetComponents();
    }
    if (rmp != persistedConfig_->appIDFromRMP()) {
        persistedConfig_->setAppIDFromRMP(rmp);
    }
    if (adNet != persistedConfig_->appIDFromAdNet()) {
        persistedConfig_->setAppIDFromAdNet(adNet);
    }
    const auto origin = DMSIdentifiers::sharedInstance().origin();
    if (origin == "fa") {
        persistedConfig_->setAppIDFromRMP(appID_);
    } else if (origin == "am") {
        persistedConfig_->setAppIDFromAdNet(appID_);
    }

    database_ = DMSDatabase::initWithDatabaseName(databaseName_, persistedConfig_);
    if (!database_) {
        database_ = DMSDatabase::initWithDatabaseName(databaseName_, persistedConfig_);
    }
    if (!database_) {
        return false;
    }
    // The settings keep their configuration in the database, so one fetched in an earlier run is in force at once.
    ownedRemoteConfig_ = DMSRemoteConfig::initWithAppID(appID_, database_.get());
    audience_ = DMSAudience::initWithDatabase(database_.get());
    if (!ownedRemoteConfig_ || !audience_) {
        // Neither was published; both point into the database that goes with them.
        audience_.reset();
        ownedRemoteConfig_.reset();
        database_.reset();
        return false;
    }
    remoteConfig_ = ownedRemoteConfig_.get();

    const std::string databasePath = DMSMeasurementFilePath(databaseName_);
    plat::Error error;
    if (!DMSExcludePathFromBackup(plat::String::deletingLastPathComponent(databasePath), &error)) {
        log.logWithLevel(4, 23015, "Failed to exclude directory from backup. Error", error);
    }
    {
        std::lock_guard lock(reportersMutex_);
        sessionReporter_ = DMSSessionReporter::initWithPersistedConfig(persistedConfig_);
    }
    startSearchAdReporterOnWorkerQueue();
    log.logWithLevel(7, 23016, "Analytics is ready to receive events");
    // This build keeps monitor contexts readable.
    log.setEncodeContexts(false);
    plat::Error staleError;
    if (!database_->maybeDeleteStaleData(&staleError) && !staleError.domain.empty()) {
        log.logWithLevel(4, 23018, "Unable to delete stale data. Error", staleError);
    }
    backfillSessionNumber();
    return true;
}

bool DMSMeasurement::shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                                             const std::optional<std::string>& appIDFromRMP,
                                             const std::optional<std::string>& appIDFromAdNet,
                                             const std::optional<std::string>& persistedAppIDFromRMP,
                                             const std::optional<std::string>& persistedAppIDFromAdNet) {
    const bool rmp = measurementPresent(appIDFromRMP);
    const bool adNet = measurementPresent(appIDFromAdNet);
    const bool persistedRMP = measurementPresent(persistedAppIDFromRMP);
    const bool persistedAdNet = measurementPresent(persistedAppIDFromAdNet);
    if (persistedRMP && rmp) {
        return *persistedAppIDFromRMP != *appIDFromRMP;
    }
    if (!persistedRMP && persistedAdNet && rmp && !adNet) {
        return true;
    }
    if (!persistedRMP && persistedAdNet && rmp && adNet) {
        return *persistedAppIDFromAdNet != *appIDFromAdNet;
    }
    if (persistedRMP && !persistedAdNet && !rmp && adNet && measurementPresent(appID)) {
        return true;
    }
    if (!rmp && persistedAdNet && measurementPresent(appID)) {
        return *appID != *persistedAppIDFromAdNet;
    }
    return false;
}

void DMSMeasurement::wipeoutAnalyticsDataAndResetComponents() {
    auto& log = monitor();
    log.logWithLevel(3, 23171, "App ID has been changed. Resetting App Measurement data");
    previousRMPAppID_ = persistedConfig_ ? persistedConfig_->appIDFromRMP() : std::nullopt;
    if (persistedConfig_) {
        persistedConfig_->clearValues();
    }
    log.clearMonitoringData();
    if (database_) {
        database_->reset();
        if (DMSRemoteConfig* own = remoteConfig_.load()) {
            own->reset();
        }
        auto fresh = DMSSessionReporter::initWithPersistedConfig(persistedConfig_);
        std::lock_guard lock(reportersMutex_);
        sessionReporter_ = std::move(fresh);
    } else {
        plat::Error error;
        const std::string path = DMSMeasurementFilePath(databaseName_);
        if (plat::FileManager::defaultManager().fileExists(path) && !DMSDeleteFileAtPath(path, &error)) {
            log.logWithLevel(4, 23014, "Failed to delete old database file. Error", error);
        }
    }
}

void DMSMeasurement::resetAnalyticsData() {
    auto& log = monitor();
    if (!remoteConfig().isResetAnalyticsDataEnabled()) {
        log.logWithLevel(5, 23169, "resetAnalyticsData API is disabled");
        return;
    }
    const double loadTimestamp = DMSAnalytics::loadTimestamp();
    scheduler_->dispatchSyncOnWorkerQueueBlockID("DMSMeasurement:" + std::to_string(__LINE__), [&] {
        wipeoutAnalyticsDataAndResetComponents();
        DMSIdentity* identity = identity_.load() ? identity_.load() : DMSIdentity::sharedInstance();
        if (!identity || !identity->appInstanceID()) {
            log.logWithLevel(4, 23167, "Failed to create an app instance ID after reset");
        }
        log.logWithLevel(7, 23168, "Analytics data has been reset");
        storeDeferredCollectionOnWorkerQueue();
        initTimestamp_ = loadTimestamp;
        if (persistedConfig_) {
            persistedConfig_->setLoadTimestampValue(plat::Value(loadTimestamp));
        }
        if (!enabled_.load()) {
            needFirstOpenAfterReset_ = true;
        }
    });
}

void DMSMeasurement::setMinimumSessionInterval(double seconds) {
    scheduleBlock(__LINE__, [this, seconds] {
        if (auto sessions = sessionReporter()) {
            sessions->setMinimumSessionInterval(seconds);
        }
    });
}

void DMSMeasurement::setSessionTimeoutInterval(double seconds) {
    scheduleBlock(__LINE__, [this, seconds] {
        if (auto sessions = sessionReporter()) {
            sessions->setTimeoutSessionInterval(seconds);
        }
    });
}

std::shared_ptr<DMSSessionReporter> DMSMeasurement::sessionReporter() const {
    std::lock_guard lock(reportersMutex_);
    return sessionReporter_;
}

std::shared_ptr<DMSSearchAdReporter> DMSMeasurement::searchAdReporter() const {
    std::lock_guard lock(reportersMutex_);
    return searchAdReporter_;
}

void DMSMeasurement::startSearchAdReporterOnWorkerQueue() {
    if (!remoteConfig().isSearchAdReporterEnabled()) {
        return;
    }
    auto reporter = DMSSearchAdReporter::initWithWorkerQueue(scheduler_->workerQueue(), persistedConfig_);
    if (!reporter) {
        return;
    }
    reporter->setSearchAdReporterEnabled(true);
    {
        std::lock_guard lock(reportersMutex_);
        searchAdReporter_ = reporter;
    }
    reporter->start();
}
