#pragma once
// The measurement controller: one process-wide instance that owns the measurement database, the remote
// configuration, the audience evaluator and the network front end, and does all its work on the worker queue
// of its scheduler. Here: creation, the start of its components, switching collection on and off, the wipe
// after an app-ID change and the reset, the event pipeline and the user properties.

#include "measurement/messages/DMSMessageFields.hpp"
#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "platform/dispatch/Once.hpp"
#include "platform/storekit/SKPaymentQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/runtime/Object.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DMSAlarm;
class DMSAudience;
class DMSMeasurementNetworkBridge;
class DMSDatabase;
class DMSIdentity;
class DMSMonitor;
class DMSPBMeasurementBundle;
class DMSPersistedConfig;
class DMSRemoteConfig;
class DMSScheduler;
class DMSSearchAdReporter;
class DMSSessionReporter;
struct DMSQueuedBundle;
class DVUNetwork;

class DMSMeasurement {
public:
    static constexpr int64_t kLibraryVersion = 50300;
    static constexpr const char* kLibraryVersionString = "50300000";
    static constexpr const char* kWorkerQueueLabel = "com.razoza.dava.worker";
    static constexpr int64_t kMaxPublicEventNames = 500;
    static constexpr int64_t kMaxUserPropertiesPerOrigin = 25;

    // Made once, on first use, and kept for the life of the process.
    static DMSMonitor& monitor();
    // The settings in force: the controller's configuration, else the default instance.
    static DMSRemoteConfig& remoteConfig();
    // Until the controller exists, suites hand the accessor a configuration of their own (none: the default).
    static void setRemoteConfigForTesting(std::shared_ptr<DMSRemoteConfig> remoteConfig);

    // Once per process; later calls change nothing. An empty app ID leaves no controller.
    static void initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                  bool isAnalyticsCollectionDeactivated,
                                                  const std::optional<std::vector<std::string>>& safelistedEvents);
    static bool hasSharedInstance();
    static DMSMeasurement* sharedInstance();

    // None for an empty app ID (23170).
    static std::unique_ptr<DMSMeasurement> initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                         bool isAnalyticsCollectionDeactivated,
                                                         const std::optional<std::vector<std::string>>& safelistedEvents);
    static std::unique_ptr<DMSMeasurement> initWithDatabaseName(
        const std::string& databaseName, DMSPersistedConfig* persistedConfig, std::shared_ptr<DVUNetwork> network,
        std::shared_ptr<DMSScheduler> scheduler, std::shared_ptr<DMSAlarm> alarm, const std::string& appID,
        bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
        const std::optional<std::vector<std::string>>& safelistedEvents);
    ~DMSMeasurement();
    DMSMeasurement(const DMSMeasurement&) = delete;
    DMSMeasurement& operator=(const DMSMeasurement&) = delete;

    // ---- start-up, enablement, reset ----
    bool shouldEnableMeasurement();
    void setEnabled(bool enabled);
    bool isEnabled() const { return enabled_.load(); }
    bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
    void setEnabledOnWorkerQueue(bool enabled);
    bool startMeasurementOnWorkerQueue();
    static bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                                        const std::optional<std::string>& appIDFromRMP,
                                        const std::optional<std::string>& appIDFromAdNet,
                                        const std::optional<std::string>& persistedAppIDFromRMP,
                                        const std::optional<std::string>& persistedAppIDFromAdNet);
    void wipeoutAnalyticsDataAndResetComponents();
    // Blocks the caller until the worker queue has reset.
    void resetAnalyticsData();
    // A link that opened the app after its first open. Only schedules work; on the worker queue itself it
    // refuses (23163).
    void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
    // The web address a continued activity carries, when it is a browsing-web activity (none otherwise).
    static std::optional<std::string> deepLinkFromUserActivity(const plat::rt::ObjectPtr& userActivity);
    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);

    // ---- events ----
    void logEvent(const std::optional<DMSEvent>& event);
    void handleEventOnWorkerQueue(DMSEvent event);
    void writeEventOnWorkerQueue(DMSEvent event);
    void maybeAddDebugAndRealtimeParameters(DMSEvent& event);
    static bool DMSIsEventSubjectToRealtimeLimit(const DMSEvent& event);
    // The header stored with raw events: app, device and identity as they are now.
    std::shared_ptr<DMSPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
        const std::vector<DMSUserAttribute>& attributes);

    // ---- user properties ----
    void setUserAttribute(const std::optional<DMSUserAttribute>& attribute);
    void removeUserAttribute(const std::optional<DMSUserAttribute>& attribute);
    void setUserAttributeOnWorkerQueue(const DMSUserAttribute& attribute);
    bool setUserPropertyInDatabaseOnWorkerQueue(const DMSUserAttribute& attribute);
    void removeUserAttributeOnWorkerQueue(const DMSUserAttribute& attribute);
    using UserAttributeCallback = std::function<void(std::optional<DMSUserAttribute>)>;
    void userAttributeWithName(const std::string& name, UserAttributeCallback callback);
    using UserPropertiesCallback = std::function<void(plat::Dictionary)>;
    void userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback);
    using MaxUserPropertiesCallback = std::function<void(int64_t)>;
    void maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback);

    // ---- collaborators (worker queue, once started) ----
    const std::string& appID() const { return appID_; }
    const std::string& databaseName() const { return databaseName_; }
    const std::vector<std::string>& safelistedEvents() const { return safelistedEvents_; }
    DMSIdentity* identity() const { return identity_.load(); }
    DMSDatabase* database() const { return database_.get(); }
    DMSAudience* audience() const { return audience_.get(); }
    DMSScheduler& scheduler() const { return *scheduler_; }
    DMSPersistedConfig* persistedConfig() const { return persistedConfig_; }
    const std::shared_ptr<DVUNetwork>& network() const { return network_; }
    const std::shared_ptr<DMSAlarm>& alarm() const { return alarm_; }
    DMSRemoteConfig* ownRemoteConfig() const { return remoteConfig_.load(); }
    double initTimestamp() const { return initTimestamp_.load(); }
    const std::optional<std::string>& previousRMPAppID() const { return previousRMPAppID_; }
    bool needFirstOpenAfterReset() const { return needFirstOpenAfterReset_; }
    // Made when the components start and replaced by a wipe; the screen reporter reads it on the main thread.
    std::shared_ptr<DMSSessionReporter> sessionReporter() const;
    std::shared_ptr<DMSSearchAdReporter> searchAdReporter() const;

    // ---- sessions ----
    // A new session at t, only when the current one has expired: the session properties, then "_s".
    void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp);
    // With session numbers on and none kept yet, the number carries on from the sessions already counted.
    void backfillSessionNumber();
    // "_sid" and "_sno" of an expired session, in one transaction.
    void removeExpiredSessionPropertiesOnWorkerQueue();

    // ---- purchases ----
    // Leaves out purchases whose fingerprint was stored before; the callback runs on a global queue.
    using PurchaseTransactionsCallback = std::function<void(std::vector<plat::SKPaymentTransaction>)>;
    void filterPurchaseTransactions(const std::vector<plat::SKPaymentTransaction>& transactions,
                                    PurchaseTransactionsCallback callback);
    // Fingerprints of purchases that were let through but never reported, dropped on the worker queue.
    void forgetPurchaseFingerprints(std::vector<std::string> fingerprints);

    // ---- bundling, sampling, upload (worker queue) ----
    bool bundleRawEvents();
    bool hasDataToUpload();
    bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs);
    // The events to keep, in input order; none on a database failure.
    std::optional<std::vector<DMSEventFields>> sampleEvents(const std::vector<DMSEventFields>& events,
                                                            plat::Error* error);
    bool canEventBeSampled(const DMSEventFields& event);
    bool isEventBundledAfterRoll(int64_t rate);
    void updateSchedule();
    // Seconds since 1970; 0: no upload due.
    double nextUploadingTime();
    void uploadData();
    void uploadDataOrRegisterAlarm();
    bool isNetworkReadyForRequest();
    bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
    // Any thread: the shared controller has an upload or a configuration fetch under way.
    static bool hasRequestsInFlight();
    // Main thread: whether the facade's queue or the worker queue still had work queued at the last look. Each
    // look that finds the last one's marker run queues a new one, so two quiet looks in a row mean that all
    // work queued before the first of them has been done.
    static bool hasQueuedWork();
    double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
    // The longest leading run of the list with the first bundle's app ID and a matching device ID (empty
    // for both device IDs: none given; both given: refused with an empty list).
    static std::vector<std::shared_ptr<DMSPBMeasurementBundle>> filteredBundlesWithCompatibleAppID(
        const std::string& appID, const std::optional<std::string>& resettableDeviceID,
        const std::optional<std::string>& vendorDeviceID,
        const std::vector<std::shared_ptr<DMSPBMeasurementBundle>>& bundlesToUpload);
    bool setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs);
    // What one upload posts: the compatible run at the head of the queue read, stamped with the send time and
    // the library version and encoded as one batch, with the rows it covers.
    struct UploadBatch {
        plat::Data payload;
        std::vector<int64_t> rowIDs;
    };
    static std::optional<UploadBatch> uploadBatchWithQueuedBundles(const std::vector<DMSQueuedBundle>& queued,
                                                                   int64_t sendMillis);
    void networkUploadCompletionHandlerWithResponse(const std::shared_ptr<const plat::HTTPURLResponse>& response,
                                                    const std::optional<plat::Error>& error);
    void incrementRetryCounter();

    // ---- configuration fetch ----
    void fetchRemoteConfig();
    void networkRemoteConfigFetchCompletionHandler(const std::shared_ptr<const plat::HTTPURLResponse>& response,
                                                   const std::optional<plat::Data>& data,
                                                   const std::optional<plat::Error>& error);
    // "<measurement host>/config/app/<app ID>?<query>"; none without an app instance ID or platform.
    static std::optional<std::string> remoteConfigURLWithAppID(const std::string& appID,
                                                              const std::optional<std::string>& appInstanceID,
                                                              const std::optional<std::string>& platform,
                                                              int64_t sdkVersion);

    // ---- lifecycle ----
    // The class's load hook: the launch notification records the deep link the app was launched with.
    static void load();
    void registerLifecycleObservers();
    static void handleAppDidFinishLaunching(const plat::Dictionary& launchOptions);
    void handleAppDidBecomeActiveEvent();
    void handleAppWillResignActiveEvent();
    void handleAppWillEnterForegroundNotification();
    void terminateBackgroundTask();
    void swapBackgroundTaskWithNewTaskID(uint64_t taskID);
    uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
    double firstOpenTimestamp();
    // The network layer's log lines as monitor lines: its levels 3-7 mapped onto the monitor's.
    static void logNetworkLine(long level, long messageCode, const std::optional<std::string>& message,
                               const std::vector<plat::Value>& contexts);

    // ---- automatic events ----
    void reportFirstOpenOnWorkerQueue();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    void reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampMillis);
    void handleOpenURL(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                       double eventTimestampSeconds);
    void handleOpenURLOnWorkerQueue(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                                    double eventTimestampSeconds);
    bool isAppUpdateWithAnalytics();
    static int64_t timestampMillisRoundedUpToNextHour(int64_t millis);
    static int systemMajorVersion();

    DMSMeasurement();

private:
    bool initializeComponentsOnWorkerQueue();
    void storeDeferredCollectionOnWorkerQueue();
    void scheduleBlock(int line, std::function<void()> block);
    bool bundleOneHeaderOnWorkerQueue(bool& done);
    bool deleteConsumedRawEventsOnWorkerQueue(int64_t fingerprint, int64_t maxRowID);
    void stopUploadSchedule();
    bool applyRemoteConfigBodyOnWorkerQueue(const plat::Data& body);
    void storeRemoteConfigUpdateTimeOnWorkerQueue(int64_t failureCode);
    std::shared_ptr<DMSMeasurementNetworkBridge> networkBridge();
    bool applyDailyLimitsOnWorkerQueue(DMSEvent& event, bool& dropped, bool& realtime);
    bool storeEventOnWorkerQueue(const DMSEvent& event, bool realtime);
    void bumpFirstOpenCountInKeychain();
    void startSearchAdReporterOnWorkerQueue();
    // floor((now - the install's midnight offset) / one day).
    int32_t currentDayOnWorkerQueue() const;

    std::string appID_;
    std::string databaseName_;
    bool isAnalyticsCollectionEnabled_ = true;
    bool isAnalyticsCollectionDeactivated_ = false;
    std::vector<std::string> safelistedEvents_;
    std::atomic<bool> enabled_{false};
    bool wasEnabledDuringInitialization_ = false;
    DMSPersistedConfig* persistedConfig_ = nullptr;
    std::shared_ptr<DVUNetwork> network_;
    std::shared_ptr<DMSScheduler> scheduler_;
    std::shared_ptr<DMSAlarm> alarm_;
    std::atomic<DMSIdentity*> identity_{nullptr};
    std::unique_ptr<DMSDatabase> database_;
    // Published once the components start; read by the class accessor from any thread.
    std::unique_ptr<DMSRemoteConfig> ownedRemoteConfig_;
    std::atomic<DMSRemoteConfig*> remoteConfig_{nullptr};
    std::unique_ptr<DMSAudience> audience_;
    plat::ResettableOnce initializeComponentsOnce_;
    bool componentsStarted_ = false;
    std::atomic<double> initTimestamp_{0};
    double suspendedUploadTimestamp_ = 0;
    std::vector<int64_t> uploadingBundleIDs_;
    std::atomic<bool> isNetworkRequestPending_{false};
    std::atomic<uint64_t> backgroundUpdateTask_{0};
    std::shared_ptr<DMSMeasurementNetworkBridge> networkBridge_;
    std::optional<std::string> previousRMPAppID_;
    bool needFirstOpenAfterReset_ = false;
    bool automaticEventsReported_ = false;
    mutable std::mutex reportersMutex_;
    std::shared_ptr<DMSSessionReporter> sessionReporter_;
    std::shared_ptr<DMSSearchAdReporter> searchAdReporter_;
};

// Kept for clients that name the older class; it adds nothing.
class DIZURuvudavirev : public DMSMeasurement {
public:
    static DMSMeasurement* sharedInstance() { return DMSMeasurement::sharedInstance(); }
};
