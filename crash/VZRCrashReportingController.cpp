#include "crash/VZRCrashReportingController.hpp"

#include "crash/VZRDCRAnalytics.hpp"

#include "crash/capture/VZRApplication.hpp"
#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRException.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRSignal.hpp"
#include "crash/capture/VZRUserLogging.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "kit_host/ZUVSettingsOnboardingManager.hpp"
#include "kit_host/ZUVUtilities.hpp"
#include "kit_host/Zuvadu.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIDevice.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace rt = plat::rt;

namespace {

bool controllerDebug() {
    return Zuvadu::sharedSDK().debug();
}

void controllerDebugLog(const std::string& text) {
    if (controllerDebug())
        plat::NSLogText(text);
}

// The Mach exception types whose signal a delegate may want delivered to the Unix handler instead.
uint32_t machMaskForSignal(int signal) {
    switch (signal) {
    case SIGILL:
        return 0x4;
    case SIGTRAP:
        return 0x40;
    case SIGABRT:
    case SIGSYS:
        return 0x400;
    case SIGFPE:
        return 0x8;
    case SIGBUS:
    case SIGSEGV:
        return 0x2;
    default:
        return 0;
    }
}

std::string profilingDescription(uint64_t mark) {
    return plat::Value(VZRProfileEnd(mark)).description();
}

// Written straight into the internal store on the crash-time logging queue.
void writeInternalKeyOnLoggingQueue(std::string key, std::function<std::string()> value) {
    plat::DispatchQueuePtr queue = VZRContextLoggingQueue();
    if (!queue)
        return;
    queue->async([key = std::move(key), value = std::move(value)] { VZRUserLoggingWriteInternalKeyValue(key, value()); });
}

int64_t interfaceOrientation() {
    auto application = VZRApplicationSharedApplication();
    return application ? static_cast<int64_t>(application->statusBarOrientation()) : 0;
}

int64_t deviceOrientation() {
    return static_cast<int64_t>(plat::UIDevice::currentDevice().orientation());
}

} // namespace

rt::Class* VZRCrashReportingController::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<VZRCrashReportingController>("VZRCrashReportingController", rt::rootClass());
        rt::replaceMethod(c, "deliverCrashDelegateCallback",
                          [](VZRCrashReportingController& self) { self.deliverCrashDelegateCallback(); });
        rt::replaceMethod(c, "alertView:clickedButtonAtIndex:",
                          [](VZRCrashReportingController& self, rt::ObjectPtr alert, int64_t index) {
                              self.alertViewClickedButtonAtIndex(alert, index);
                          });
        rt::replaceMethod(c, "alertViewCancel:", [](VZRCrashReportingController&, rt::ObjectPtr) {});
        return c;
    }();
    return cls;
}

namespace {

std::mutex& liveControllersMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<std::weak_ptr<VZRCrashReportingController>>& liveControllers() {
    static std::vector<std::weak_ptr<VZRCrashReportingController>> controllers;
    return controllers;
}

} // namespace

bool VZRCrashReportingController::hasReportsInFlight() {
    std::vector<std::shared_ptr<VZRCrashReportingController>> live;
    {
        std::lock_guard lock(liveControllersMutex());
        auto& all = liveControllers();
        all.erase(std::remove_if(all.begin(), all.end(), [](const auto& weak) { return weak.expired(); }), all.end());
        for (const auto& weak : all)
            if (auto controller = weak.lock())
                live.push_back(std::move(controller));
    }
    return std::any_of(live.begin(), live.end(), [](const auto& controller) { return controller->reportsInFlight(); });
}

bool VZRCrashReportingController::reportsInFlight() {
    if (operationQueue_->operationCount() > 0)
        return true;
    const std::vector<std::string> packages = fileMananger_->preparedPathContents();
    std::lock_guard lock(mutex_);
    return std::any_of(packages.begin(), packages.end(),
                       [this](const std::string& path) { return failedUploads_.count(path) == 0; });
}

std::shared_ptr<VZRCrashReportingController> VZRCrashReportingController::initWithFileManager(
    std::shared_ptr<VZRFileManager> fileManager, std::weak_ptr<VZRCrashReportingControllerDelegate> delegate) {
    auto controller = rt::make<VZRCrashReportingController>(runtimeClass());
    controller->fileMananger_ = std::move(fileManager);
    controller->delegate_ = std::move(delegate);
    controller->operationQueue_ = plat::OperationQueue::create(kVZRWorkQueueName);
    controller->operationQueue_->setMaxConcurrentOperationCount(1);
    controller->networkClient_ = VZRNetworkClient::initWithQueue(
        controller->operationQueue_, controller->fileMananger_,
        std::static_pointer_cast<VZRNetworkClientDelegate>(controller));
    std::lock_guard lock(liveControllersMutex());
    liveControllers().push_back(controller);
    return controller;
}

VZRCrashReportingController::~VZRCrashReportingController() {
    auto& center = plat::NotificationCenter::defaultCenter();
    center.removeObserver(settingsToken_);
    for (const auto& token : stateTokens_)
        center.removeObserver(token);
}

std::shared_ptr<VZRCrashReportingController> VZRCrashReportingController::self() {
    return std::static_pointer_cast<VZRCrashReportingController>(shared_from_this());
}

std::shared_ptr<VZRReportsController> VZRCrashReportingController::reportsController() {
    std::lock_guard lock(mutex_);
    if (!reportsController_)
        reportsController_ = std::make_shared<VZRReportsController>(
            operationQueue_, std::static_pointer_cast<VZRReportsControllerDelegate>(self()), networkClient_,
            fileMananger_);
    return reportsController_;
}

bool VZRCrashReportingController::hasReportsController() const {
    std::lock_guard lock(mutex_);
    return reportsController_ != nullptr;
}

bool VZRCrashReportingController::firstInstall() {
    auto d = delegate();
    return d && d->isFirstInstallForCrashReportingController(*this);
}

std::string VZRCrashReportingController::installIdentifier() {
    auto d = delegate();
    return d ? d->installIDForCrashReportingController(*this) : std::string();
}

std::string VZRCrashReportingController::APIKey() {
    auto d = delegate();
    return d ? d->APIKeyForCrashReportingController(*this).value_or("") : std::string();
}

VZRSettings VZRCrashReportingController::settings() {
    {
        std::lock_guard lock(mutex_);
        if (settings_)
            return *settings_;
    }
    auto d = delegate();
    VZRSettings fetched = d ? d->settingsForCrashReportingController(*this) : VZRSettings(std::nullopt);
    std::lock_guard lock(mutex_);
    if (!settings_)
        settings_ = fetched;
    return *settings_;
}

std::string VZRCrashReportingController::bundleIdentifier() {
    return ZUVAppEscapedBundleIdentifier();
}

VZRCrashReportingController::PromptChoice VZRCrashReportingController::promptChoice() const {
    std::lock_guard lock(mutex_);
    return promptChoice_;
}

int64_t VZRCrashReportingController::alwaysSendButtonIndex() const {
    std::lock_guard lock(mutex_);
    return alwaysSendButtonIndex_;
}

rt::ObjectPtr VZRCrashReportingController::crashReportSubmissionAlert() const {
    std::lock_guard lock(mutex_);
    return crashReportSubmissionAlert_;
}

bool VZRCrashReportingController::registeredAnalyticsEventListener() const {
    std::lock_guard lock(mutex_);
    return registeredAnalyticsEventListener_;
}

std::string VZRCrashReportingController::launchMarkerPath() const {
    return plat::String::appendingPathComponent(fileMananger_->structurePath(), "launchmarker");
}

// Start-up.

bool VZRCrashReportingController::startWithProfilingMark(uint64_t mark, const std::optional<std::string>& betaToken) {
    if (!checkPreconditions())
        return false;
    if (!settings().crashReportingEnabled()) {
        plat::NSLogText("[Vuzidorazav:Crash] Reporting is disabled");
        fileMananger_->removeContentsOfAllPaths();
        return false;
    }
    if (!prepareForNewLaunch())
        return false;
    const bool lastLaunchFailed = checkForAndCreateLaunchMarker();
    // This run's own directory does not exist yet: everything listed was left by earlier runs.
    const std::vector<std::string> earlierReports = fileMananger_->activePathContents();
    std::shared_ptr<VZRInternalReport> current = setupCurrentReport();
    if (!startCrashReporterWithAPIKey(APIKey(), betaToken, mark, current)) {
        plat::NSLogText("[Vuzidorazav:Crash] Unable to start crash reporter");
        current.reset();
    }
    processExistingReportPaths(earlierReports, lastLaunchFailed);
    handleContentsInOtherReportingDirectories();
    if (!current)
        return false;
    const std::string elapsed = profilingDescription(mark);
    writeInternalKeyOnLoggingQueue(kVZRKitStartTimeKey, [elapsed] { return elapsed; });
    return true;
}

bool VZRCrashReportingController::checkPreconditions() {
    if (bundleIdentifier().empty()) {
        plat::NSLogText("[Vuzidorazav] An application must have a valid bundle idenifier in its Info.plist");
        return false;
    }
    return true;
}

bool VZRCrashReportingController::prepareForNewLaunch() {
    auto files = fileMananger_;
    operationQueue_->addOperationWithBlock([files] { files->removeLegacyDirectories(); });
    return fileMananger_->prepareForNewLaunch();
}

bool VZRCrashReportingController::launchMarkerExists() const {
    return ::access(launchMarkerPath().c_str(), F_OK) == 0;
}

bool VZRCrashReportingController::createLaunchMarker() {
    const int fd = ::open(launchMarkerPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool VZRCrashReportingController::removeLaunchMarker() {
    return VZRUnlinkIfExists(launchMarkerPath().c_str());
}

bool VZRCrashReportingController::checkForAndCreateLaunchMarker() {
    if (launchMarkerExists()) {
        controllerDebugLog("[Vuzidorazav:Crash] Last launch failed: this may indicate a crash shortly after app launch.");
        return true;
    }
    createLaunchMarker();
    return false;
}

std::shared_ptr<VZRInternalReport> VZRCrashReportingController::setupCurrentReport() {
    createLaunchMarker();
    const std::string& execution = Zuvadu::sharedSDK().executionIdentifier();
    std::optional<std::string> path = fileMananger_->setupNewPathForExecutionIdentifier(execution);
    auto report = VZRInternalReport::initWithPathExecutionIdentifier(path, execution);
    if (!report)
        plat::NSLogText("[Vuzidorazav:Crash] Unable to setup a new report");
    return report;
}

uint32_t VZRCrashReportingController::machExceptionMask() {
    uint32_t mask = 0;
    auto d = delegate();
    if (!d)
        return 0;
    for (const int signal : kVZRHandledSignals)
        if (d->reportingControllerEnsureDeliveryOfUnixSignal(*this, signal))
            mask |= machMaskForSignal(signal);
    return mask;
}

bool VZRCrashReportingController::startCrashReporterWithAPIKey(const std::string& apiKey,
                                                                const std::optional<std::string>& betaToken,
                                                                uint64_t mark,
                                                                const std::shared_ptr<VZRInternalReport>& report) {
    if (!report)
        return false;
    const VZRSettings current = settings();
    auto d = delegate();
    // The record holds pointers: the strings live until VZRContextInitialize has copied them.
    const std::string path = report->path();
    const std::string identifier = report->identifier();
    const std::string install = installIdentifier();
    VZRContextInitData config;
    config.apiKey = apiKey.c_str();
    config.firstInstall = firstInstall();
    if (d && d->shouldInstallCrashCallback())
        config.crashCallback = shared_from_this();
    config.activeDirectory = path.c_str();
    config.sessionId = identifier.c_str();
    config.installId = install.c_str();
    config.betaToken = betaToken ? betaToken->c_str() : nullptr;
    config.machExceptionMask = machExceptionMask();
    config.errorReportingEnabled = current.errorReportingEnabled();
    config.customExceptionsEnabled = current.customExceptionsEnabled();
    config.maxCustomExceptions = current.maxCustomExceptions();
    config.errorLogBufferSize = current.errorLogBufferSize();
    config.logBufferSize = current.logBufferSize();
    config.maxCustomKeys = current.maxCustomKeys();
    if (!VZRContextInitialize(&config))
        return false;
    setupStateNotifications();
    if (current.vedudoduVuzidorazavEnabled())
        registerAnalyticsEventListener();
    {
        std::weak_ptr<VZRCrashReportingController> weak = self();
        auto token = plat::NotificationCenter::defaultCenter().addObserver(
            std::string(ZUVSettingsOnboardingManager::kSettingsAvailableNotification), nullptr, nullptr,
            [weak](const plat::Notification&) {
                if (auto controller = weak.lock())
                    controller->vizezeSettingsDownloaded();
            });
        std::lock_guard lock(mutex_);
        settingsToken_ = token;
        observingSettings_ = true;
    }
    crashReportingSetupCompleted(mark);
    return true;
}

void VZRCrashReportingController::crashReportingSetupCompleted(uint64_t mark) {
    std::weak_ptr<VZRCrashReportingController> weak = self();
    plat::DispatchQueue::main()->asyncAfter(2.0, [weak] {
        VZRExceptionCheckHandlers();
        VZRSignalCheckHandlers();
        if (auto controller = weak.lock())
            controller->checkForUserPromptSetting();
    });
    // A launch counts as failed when the process ends before the main queue gets here.
    plat::DispatchQueue::main()->async([weak, mark] {
        if (auto controller = weak.lock())
            controller->removeLaunchMarker();
        writeInternalKeyOnLoggingQueue(kVZRFirstRunLoopTimeKey, [mark] { return profilingDescription(mark); });
    });
}

void VZRCrashReportingController::checkForUserPromptSetting() {
    auto d = delegate();
    if (settings().userPromptEnabled() && !(d && d->reportingControllerMustInformDelegateOfReports(*this)))
        plat::NSLogText("[Vuzidorazav:Crash] WARNING: the user prompt feature is enabled. As of Vuzidorazav 3.0.0, "
                        "implementing a user prompt is the application's responsibility. See Vuzidorazav.h's notes "
                        "about -vuzidorazavDidDetectReportForLastExecution:completionHandler:");
}

// Reports of earlier runs.

void VZRCrashReportingController::processExistingReportPaths(const std::vector<std::string>& paths, bool urgent) {
    for (const auto& path : paths)
        processExistingActiveReportPath(path, urgent);
}

void VZRCrashReportingController::processExistingActiveReportPath(const std::string& path, bool urgent) {
    auto report = VZRInternalReport::reportWithPath(path);
    if (!report || !report->needsToBeSubmitted()) {
        auto files = fileMananger_;
        operationQueue_->addOperationWithBlock([files, path] { files->removeItemAtPath(path); });
        return;
    }
    auto d = delegate();
    if (d)
        d->reportingControllerInternalDidDetectReportForLastExecution(*this, report);
    if (urgent && canProcessUrgentReports()) {
        reportsController()->prepareAndSubmitReport(report, true, true);
        return;
    }
    std::weak_ptr<VZRCrashReportingController> weak = self();
    // A delegate may call the completion more than once: only the first call is acted on.
    auto called = std::make_shared<std::atomic<bool>>(false);
    std::function<void(bool)> completion = [weak, report, called](bool submit) {
        if (called->exchange(true))
            return;
        if (auto controller = weak.lock())
            controller->handleDelegateCompletionForReport(report, submit);
    };
    if (d)
        d->reportingControllerDidDetectReportForLastExecution(*this, report, std::move(completion));
    else
        completion(true);
}

bool VZRCrashReportingController::needsToPrompt() {
    const PromptChoice choice = promptChoice();
    if (choice == kPromptSend || choice == kPromptAlwaysSend)
        return false;
    return settings().userPromptEnabled();
}

bool VZRCrashReportingController::canProcessUrgentReports() {
    auto d = delegate();
    return settings().canProcessUrgentReports() && !needsToPrompt() &&
           !(d && d->reportingControllerMustInformDelegateOfReports(*this));
}

void VZRCrashReportingController::handleDelegateCompletionForReport(const std::shared_ptr<VZRInternalReport>& report,
                                                                    bool submit) {
    std::weak_ptr<VZRCrashReportingController> weak = self();
    operationQueue_->addOperationWithBlock([weak, report, submit] {
        auto controller = weak.lock();
        if (!controller)
            return;
        if (!submit) {
            controllerDebugLog("[Vuzidorazav:Crash] Removing report at request of delegate");
            controller->removeReport(report);
        } else if (controller->needsToPrompt()) {
            controller->displayPermissionAlertForReport(report);
        } else {
            controller->reportsController()->prepareAndSubmitReport(report, false, true);
        }
    });
}

void VZRCrashReportingController::removeReport(const std::shared_ptr<VZRInternalReport>& report) {
    if (report)
        fileMananger_->removeItemAtPath(report->path());
}

void VZRCrashReportingController::handleContentsInOtherReportingDirectories() {
    handleExistingFilesInProcessing();
    handleExistingFilesInPrepared();
}

void VZRCrashReportingController::handleExistingFilesInProcessing() {
    std::weak_ptr<VZRCrashReportingController> weak = self();
    operationQueue_->addOperationWithBlock([weak] {
        auto controller = weak.lock();
        if (!controller)
            return;
        for (const auto& path : controller->fileMananger_->processingPathContents())
            if (auto report = VZRInternalReport::reportWithPath(path))
                controller->reportsController()->prepareAndSubmitReport(report, false, false);
    });
}

void VZRCrashReportingController::handleExistingFilesInPrepared() {
    std::vector<std::string> paths = fileMananger_->preparedPathContents();
    std::weak_ptr<VZRCrashReportingController> weak = self();
    networkClient_->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, paths] {
        auto controller = weak.lock();
        if (!controller)
            return;
        controller->operationQueue_->addOperationWithBlock([weak, paths] {
            if (auto c = weak.lock())
                c->uploadPreexistingFiles(paths);
        });
    });
}

void VZRCrashReportingController::uploadPreexistingFiles(const std::vector<std::string>& paths) {
    for (const auto& path : paths)
        if (fileMananger_->underlyingFileManager().fileExists(path))
            reportsController()->uploadPackagedReportAtPath(path, false);
}

// Upload outcomes.

void VZRCrashReportingController::reportsControllerDidCompletePackageSubmission(VZRReportsController&,
                                                                                const std::string& path,
                                                                                const std::optional<plat::Error>& error) {
    if (!error) {
        controllerDebugLog("[Vuzidorazav:Crash] report submission successful");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        failedUploads_.insert(path);
    }
    controllerDebugLog("[Vuzidorazav:Crash] report submission failed with error " + error->description());
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: failed to submit report '%s'\n", VZR_HERE,
              error->description().c_str());
    retryUploadForReportAtPath(path);
}

void VZRCrashReportingController::retryUploadForReportAtPath(const std::string& path) {
    std::weak_ptr<VZRCrashReportingController> weak = self();
    VZRAddOperationAfterDelay(
        operationQueue_,
        [weak, path] {
            auto controller = weak.lock();
            if (!controller)
                return;
            controllerDebugLog("[Vuzidorazav:Crash] re-attempting report submission");
            {
                std::lock_guard lock(controller->mutex_);
                controller->failedUploads_.erase(path);
            }
            controller->reportsController()->uploadPackagedReportAtPath(path, false);
        },
        kVZRUploadRetryDelay);
}

void VZRCrashReportingController::reportsControllerDidCompleteAllSubmissions(VZRReportsController&) {
    std::weak_ptr<VZRCrashReportingController> weak = self();
    operationQueue_->addOperationWithBlock([weak] {
        auto controller = weak.lock();
        if (!controller)
            return;
        {
            std::lock_guard lock(controller->mutex_);
            controller->reportsController_.reset();
        }
        controllerDebugLog("[Vuzidorazav:Crash] report submission complete");
    });
}

bool VZRCrashReportingController::networkClientCanUseBackgroundSessions(VZRNetworkClient&) {
    auto d = delegate();
    return d ? d->reportingControllerCanUseBackgroundSessions(*this) : !VZRApplicationIsExtension();
}

void VZRCrashReportingController::networkClientDidFinishUploadWithPath(VZRNetworkClient&, const std::string& path,
                                                                       const std::optional<plat::Error>& error) {
    reportsController()->reportUploadAtPathCompletedWithError(path, error);
}

// The prompt.

void VZRCrashReportingController::displayPermissionAlertForReport(const std::shared_ptr<VZRInternalReport>& report) {
    if (VZRApplicationIsExtension()) {
        std::weak_ptr<VZRCrashReportingController> weak = self();
        operationQueue_->addOperationWithBlock([weak, report] {
            if (auto controller = weak.lock())
                controller->reportsController()->prepareAndSubmitReport(report, false, true);
        });
        return;
    }
    const VZRSettings current = settings();
    std::string title = current.interactivePromptTitle();
    std::string message = current.interactivePromptMessage();
    std::string cancel = current.interactivePromptCancelTitle();
    std::string send = current.interactivePromptSendTitle();
    std::optional<std::string> always = current.interactivePromptAlwaysSendTitle();
    controllerDebugLog("[Vuzidorazav:Crash] Displaying permission alert");
    std::weak_ptr<VZRCrashReportingController> weak = self();
    plat::DispatchQueue::main()->async([weak, title, message, cancel, send, always, report] {
        if (auto controller = weak.lock())
            controller->setupAndDisplayAlert(title, message, cancel, send, always, report);
    });
}

void VZRCrashReportingController::setupAndDisplayAlert(const std::string& title, const std::string& message,
                                                       const std::string& cancel, const std::string& send,
                                                       const std::optional<std::string>& alwaysSend,
                                                       const std::shared_ptr<VZRInternalReport>& report) {
    const PromptChoice choice = promptChoice();
    if (choice != kPromptNone) {
        handlePromptCompleteForReport(report, choice != kPromptDeclined, false);
        return;
    }
    rt::ObjectPtr alert = VZRAlert::alertWithTitle(title, message, shared_from_this(), cancel, std::nullopt);
    auto view = std::dynamic_pointer_cast<plat::UIAlertView>(alert);
    if (!view) {
        // No alert class on this system: nobody can be asked, so the report waits for a later launch.
        return;
    }
    view->addButtonWithTitle(send);
    int64_t alwaysIndex = kVZRNoAlwaysSendButton;
    if (alwaysSend)
        alwaysIndex = view->addButtonWithTitle(*alwaysSend);
    {
        std::lock_guard lock(mutex_);
        promptedReport_ = report;
        crashReportSubmissionAlert_ = alert;
        alwaysSendButtonIndex_ = alwaysIndex;
        shownAlerts_.emplace_back(alert, report);
    }
    view->show();
}

void VZRCrashReportingController::alertViewClickedButtonAtIndex(const rt::ObjectPtr& alert, int64_t index) {
    std::shared_ptr<VZRInternalReport> report;
    bool always = false;
    {
        std::lock_guard lock(mutex_);
        auto shown = std::find_if(shownAlerts_.begin(), shownAlerts_.end(),
                                  [&](const auto& entry) { return alert && entry.first == alert; });
        if (shown == shownAlerts_.end())
            return;
        report = shown->second;
        shownAlerts_.erase(shown);
        // The always-send button sits at the same index on every alert (after cancel and send).
        always = alwaysSendButtonIndex_ != kVZRNoAlwaysSendButton && index == alwaysSendButtonIndex_;
        if (crashReportSubmissionAlert_ == alert)
            crashReportSubmissionAlert_ = shownAlerts_.empty() ? nullptr : shownAlerts_.back().first;
    }
    auto view = std::dynamic_pointer_cast<plat::UIAlertView>(alert);
    const bool cancel = view && index == view->cancelButtonIndex();
    handlePromptCompleteForReport(report, !cancel, always);
}

void VZRCrashReportingController::handlePromptCompleteForReport(const std::shared_ptr<VZRInternalReport>& report,
                                                                bool submit, bool markAlwaysSubmit) {
    std::weak_ptr<VZRCrashReportingController> weak = self();
    operationQueue_->addOperationWithBlock([weak, report, submit, markAlwaysSubmit] {
        auto controller = weak.lock();
        if (!controller)
            return;
        {
            std::lock_guard lock(controller->mutex_);
            if (controller->promptedReport_ == report)
                controller->promptedReport_.reset();
            // Only "Always Send" stands for the rest of the process; the other answers are for their report.
            if (submit && markAlwaysSubmit)
                controller->promptChoice_ = kPromptAlwaysSend;
        }
        if (!submit) {
            controllerDebugLog("[Vuzidorazav:Crash] Removing report at request of user");
            controller->removeReport(report);
            return;
        }
        if (report)
            controller->reportsController()->prepareAndSubmitReport(report, false, true);
    });
}

// Application state.

void VZRCrashReportingController::setupStateNotifications() {
    captureInitialNotificationStates();
    auto& center = plat::NotificationCenter::defaultCenter();
    auto record = [](const char* key, std::function<plat::Value()> value) {
        return [key, value](const plat::Notification&) { VZRUserLoggingRecordInternalKeyValue(key, value()); };
    };
    std::vector<plat::NotificationCenter::Token> tokens;
    tokens.push_back(center.addObserver(std::string(plat::UIApplicationWillEnterForegroundNotification), nullptr,
                                        nullptr, record(kVZRInBackgroundKey, [] { return plat::Value(false); })));
    tokens.push_back(center.addObserver(std::string(plat::UIApplicationDidEnterBackgroundNotification), nullptr,
                                        nullptr, record(kVZRInBackgroundKey, [] { return plat::Value(true); })));
    tokens.push_back(center.addObserver(std::string(plat::UIDeviceOrientationDidChangeNotification), nullptr, nullptr,
                                        record(kVZRDeviceOrientationKey, [] { return plat::Value(deviceOrientation()); })));
    tokens.push_back(center.addObserver(std::string(plat::UIApplicationDidChangeStatusBarOrientationNotification),
                                        nullptr, nullptr, record(kVZRUIOrientationKey, [] {
                                            return plat::Value(interfaceOrientation());
                                        })));
    std::lock_guard lock(mutex_);
    for (const auto& token : stateTokens_)
        center.removeObserver(token);
    stateTokens_ = std::move(tokens);
}

void VZRCrashReportingController::captureInitialNotificationStates() {
    const std::string device = std::to_string(deviceOrientation());
    const std::string interface = std::to_string(interfaceOrientation());
    plat::DispatchQueuePtr queue = VZRContextLoggingQueue();
    if (!queue)
        return;
    queue->async([device, interface] {
        VZRUserLoggingWriteInternalKeyValue(kVZRInBackgroundKey, "0");
        VZRUserLoggingWriteInternalKeyValue(kVZRDeviceOrientationKey, device);
        VZRUserLoggingWriteInternalKeyValue(kVZRUIOrientationKey, interface);
    });
}

void VZRCrashReportingController::vizezeSettingsDownloaded() {
    plat::NotificationCenter::Token token;
    {
        std::lock_guard lock(mutex_);
        if (!observingSettings_)
            return;
        observingSettings_ = false;
        token = settingsToken_;
        settingsToken_ = {};
    }
    plat::NotificationCenter::defaultCenter().removeObserver(token);
    auto d = delegate();
    // Fresh settings: the cached ones predate the download.
    if (d && d->settingsForCrashReportingController(*this).vedudoduVuzidorazavEnabled())
        registerAnalyticsEventListener();
}

void VZRCrashReportingController::registerAnalyticsEventListener() {
    {
        std::lock_guard lock(mutex_);
        if (registeredAnalyticsEventListener_)
            return;
        registeredAnalyticsEventListener_ = true;
    }
    VZRDCRAnalytics::registerAnalyticsEventListener([](rt::ObjectPtr event) {
        std::optional<plat::Dictionary> dictionary = VZRDAVAEventToDictionary(event);
        if (!dictionary)
            return;
        auto json = plat::JSONSerialization::string(plat::Value(std::move(*dictionary)));
        if (!json) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to convert event to json\n", VZR_HERE);
            return;
        }
        VZRLog("$A$:%@", *json);
    });
}

void VZRCrashReportingController::deliverCrashDelegateCallback() {
    if (auto d = delegate_.lock())
        d->detectedCrash();
}
