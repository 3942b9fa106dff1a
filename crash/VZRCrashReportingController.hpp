#pragma once
// Crash reporting for one process: checks the preconditions, prepares the report store, creates this run's
// report and the launch marker, has the crash-time context install the handlers, and decides for each report
// of an earlier run whether it goes to the delegate, to the user in a prompt, to the upload, or away. All
// report work after start-up runs on the serial work queue, which the reports controller and the network
// client share. Runtime class "VZRCrashReportingController": the crash handler sends it
// "deliverCrashDelegateCallback", the prompt "alertView:clickedButtonAtIndex:".

#include "crash/VZRFileManager.hpp"
#include "crash/VZRNetworkClient.hpp"
#include "crash/VZRReport.hpp"
#include "crash/VZRReportsController.hpp"
#include "crash/VZRSettings.hpp"

#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/Object.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class VZRCrashReportingController;

class VZRCrashReportingControllerDelegate {
public:
    virtual ~VZRCrashReportingControllerDelegate() = default;
    virtual bool shouldInstallCrashCallback() = 0;
    // On the crashing thread, inside the crash handler.
    virtual void detectedCrash() = 0;
    virtual bool reportingControllerCanUseBackgroundSessions(VZRCrashReportingController& controller) = 0;
    virtual bool reportingControllerMustInformDelegateOfReports(VZRCrashReportingController& controller) = 0;
    // The report is sent or removed only once `completion` is called (its first call counts).
    virtual void reportingControllerDidDetectReportForLastExecution(
        VZRCrashReportingController& controller, const std::shared_ptr<VZRInternalReport>& report,
        std::function<void(bool submit)> completion) = 0;
    virtual void reportingControllerInternalDidDetectReportForLastExecution(
        VZRCrashReportingController& controller, const std::shared_ptr<VZRInternalReport>& report) = 0;
    virtual bool reportingControllerEnsureDeliveryOfUnixSignal(VZRCrashReportingController& controller,
                                                               int signal) = 0;
    virtual std::optional<std::string> APIKeyForCrashReportingController(VZRCrashReportingController& controller) = 0;
    virtual std::string installIDForCrashReportingController(VZRCrashReportingController& controller) = 0;
    virtual bool isFirstInstallForCrashReportingController(VZRCrashReportingController& controller) = 0;
    virtual VZRSettings settingsForCrashReportingController(VZRCrashReportingController& controller) = 0;
};

inline constexpr const char* kVZRWorkQueueName = "com.ruzovid.vuzidorazav.ios.work-queue";
inline constexpr double kVZRUploadRetryDelay = 600.0;
inline constexpr int64_t kVZRNoAlwaysSendButton = -1337;

// Internal keys of the current report that the controller writes.
inline constexpr const char* kVZRKitStartTimeKey = "com.vuzidorazav.kit-start-time";
inline constexpr const char* kVZRFirstRunLoopTimeKey = "com.vuzidorazav.first-run-loop-time";
inline constexpr const char* kVZRInBackgroundKey = "com.vuzidorazav.in-background";
inline constexpr const char* kVZRDeviceOrientationKey = "com.vuzidorazav.device-orientation";
inline constexpr const char* kVZRUIOrientationKey = "com.vuzidorazav.ui-orientation";

class VZRCrashReportingController : public plat::rt::Object,
                                    public VZRReportsControllerDelegate,
                                    public VZRNetworkClientDelegate {
public:
    // The standing answer to the prompt.
    enum PromptChoice : int64_t { kPromptNone = 0, kPromptDeclined = 1, kPromptSend = 2, kPromptAlwaysSend = 3 };

    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<VZRCrashReportingController> initWithFileManager(
        std::shared_ptr<VZRFileManager> fileManager, std::weak_ptr<VZRCrashReportingControllerDelegate> delegate);
    explicit VZRCrashReportingController(plat::rt::Class* cls) : plat::rt::Object(cls) {}
    ~VZRCrashReportingController() override;

    // Whether a controller of this process still has report work queued or a package whose upload has not
    // ended (a package waiting for its retry does not count): what a program waits for before it quits.
    static bool hasReportsInFlight();
    bool reportsInFlight();

    // True when crash reporting runs for this process.
    bool startWithProfilingMark(uint64_t mark, const std::optional<std::string>& betaToken);

    const std::shared_ptr<plat::OperationQueue>& operationQueue() const { return operationQueue_; }
    const std::shared_ptr<VZRNetworkClient>& networkClient() const { return networkClient_; }
    const std::shared_ptr<VZRFileManager>& fileManager() const { return fileMananger_; }
    std::shared_ptr<VZRReportsController> reportsController();
    bool hasReportsController() const;

    bool firstInstall();
    std::string installIdentifier();
    std::string APIKey();
    VZRSettings settings();
    std::string bundleIdentifier();
    PromptChoice promptChoice() const;
    int64_t alwaysSendButtonIndex() const;
    plat::rt::ObjectPtr crashReportSubmissionAlert() const;
    std::string launchMarkerPath() const;

    // Start-up steps.
    bool checkPreconditions();
    bool prepareForNewLaunch();
    bool checkForAndCreateLaunchMarker();
    bool createLaunchMarker();
    bool launchMarkerExists() const;
    bool removeLaunchMarker();
    std::shared_ptr<VZRInternalReport> setupCurrentReport();
    bool startCrashReporterWithAPIKey(const std::string& apiKey, const std::optional<std::string>& betaToken,
                                      uint64_t mark, const std::shared_ptr<VZRInternalReport>& report);
    uint32_t machExceptionMask();
    void crashReportingSetupCompleted(uint64_t mark);
    void checkForUserPromptSetting();
    void processExistingReportPaths(const std::vector<std::string>& paths, bool urgent);
    void processExistingActiveReportPath(const std::string& path, bool urgent);
    void handleContentsInOtherReportingDirectories();
    void handleExistingFilesInProcessing();
    void handleExistingFilesInPrepared();
    void uploadPreexistingFiles(const std::vector<std::string>& paths);
    bool canProcessUrgentReports();
    bool needsToPrompt();
    void handleDelegateCompletionForReport(const std::shared_ptr<VZRInternalReport>& report, bool submit);
    void removeReport(const std::shared_ptr<VZRInternalReport>& report);
    void retryUploadForReportAtPath(const std::string& path);

    // The prompt.
    void displayPermissionAlertForReport(const std::shared_ptr<VZRInternalReport>& report);
    void setupAndDisplayAlert(const std::string& title, const std::string& message, const std::string& cancel,
                              const std::string& send, const std::optional<std::string>& alwaysSend,
                              const std::shared_ptr<VZRInternalReport>& report);
    void alertViewClickedButtonAtIndex(const plat::rt::ObjectPtr& alert, int64_t index);
    void handlePromptCompleteForReport(const std::shared_ptr<VZRInternalReport>& report, bool submit,
                                       bool markAlwaysSubmit);

    // Application state.
    void setupStateNotifications();
    void captureInitialNotificationStates();
    void vizezeSettingsDownloaded();
    void registerAnalyticsEventListener();
    bool registeredAnalyticsEventListener() const;

    // From the crash handler; nothing but the delegate call.
    void deliverCrashDelegateCallback();

    // VZRReportsControllerDelegate
    void reportsControllerDidCompletePackageSubmission(VZRReportsController& controller, const std::string& path,
                                                       const std::optional<plat::Error>& error) override;
    void reportsControllerDidCompleteAllSubmissions(VZRReportsController& controller) override;
    VZRSettings settingsForReportsController(VZRReportsController&) override { return settings(); }
    std::string APIKeyForReportsController(VZRReportsController&) override { return APIKey(); }
    std::string bundleIdentifierForReportsController(VZRReportsController&) override { return bundleIdentifier(); }

    // VZRNetworkClientDelegate
    bool networkClientCanUseBackgroundSessions(VZRNetworkClient& client) override;
    void networkClientDidFinishUploadWithPath(VZRNetworkClient& client, const std::string& path,
                                              const std::optional<plat::Error>& error) override;

private:
    std::shared_ptr<VZRCrashReportingController> self();
    std::shared_ptr<VZRCrashReportingControllerDelegate> delegate() const { return delegate_.lock(); }

    std::shared_ptr<VZRFileManager> fileMananger_;
    std::shared_ptr<VZRNetworkClient> networkClient_;
    std::shared_ptr<plat::OperationQueue> operationQueue_;
    std::weak_ptr<VZRCrashReportingControllerDelegate> delegate_;

    mutable std::mutex mutex_; // everything below
    std::shared_ptr<VZRReportsController> reportsController_;
    std::optional<VZRSettings> settings_;
    int64_t alwaysSendButtonIndex_ = kVZRNoAlwaysSendButton;
    plat::rt::ObjectPtr crashReportSubmissionAlert_; // the latest on screen
    std::shared_ptr<VZRInternalReport> promptedReport_;
    // Every alert on screen with its report: several reports of one launch each get their own alert, and
    // each answer must reach its own report.
    std::vector<std::pair<plat::rt::ObjectPtr, std::shared_ptr<VZRInternalReport>>> shownAlerts_;
    PromptChoice promptChoice_ = kPromptNone;
    bool registeredAnalyticsEventListener_ = false;
    bool observingSettings_ = false;
    plat::NotificationCenter::Token settingsToken_;
    std::vector<plat::NotificationCenter::Token> stateTokens_;
    std::set<std::string> failedUploads_; // packages waiting for their retry
};
