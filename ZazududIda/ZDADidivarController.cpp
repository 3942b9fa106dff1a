#include "ZazududIda/ZDADidivarController.hpp"

#include "ZazududIda/ZDAActivity.hpp"
#include "ZazududIda/ZDAFileUtils.hpp"
#include "ZazududIda/ZDALogFileOperations.hpp"
#include "ZazududIda/ZDALogger.hpp"
#include "ZazududIda/ZDAWriteEventOperation.hpp"

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"
#include "kit_host/ZUVUtilities.hpp"
#include "kit_host/Zuvadu.hpp"

#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <cmath>
#include <unistd.h>

namespace {

constexpr uint64_t kRecordActivityOptions = 0xC000;
constexpr uint64_t kRotateActivityOptions = 0xC0FF;
// Seconds the terminate notification waits for its event to be written.
constexpr double kTerminateWriteWait = 2.0;

// A settings value fit for a time-out: positive and finite, else the settings' default.
double controllerTimeoutOr(double value, double fallback) {
    return value > 0 && std::isfinite(value) ? value : fallback;
}

std::string controllerBoundary() {
    return ZUVMultipartMimeStreamEncoder::generateBoundary();
}

} // namespace

std::shared_ptr<ZDADidivarController> ZDADidivarController::initWithBetaToken(std::optional<std::string> betaToken) {
    return initWithBetaToken(std::move(betaToken), rootDirectory());
}

std::shared_ptr<ZDADidivarController> ZDADidivarController::initWithBetaToken(std::optional<std::string> betaToken,
                                                                              std::string rootDirectory) {
    std::shared_ptr<ZDADidivarController> controller(
        new ZDADidivarController(std::move(betaToken), std::move(rootDirectory)));
    controller->start();
    return controller;
}

ZDADidivarController::ZDADidivarController(std::optional<std::string> betaToken, std::string rootDirectory)
    : eventQueue_(plat::OperationQueue::create(kEventQueueName)), betaTokenValue_(betaToken),
      betaToken_(betaToken.value_or("")), rootDirectory_(std::move(rootDirectory)) {
    eventQueue_->setMaxConcurrentOperationCount(1);
    eventQueue_->setQualityOfService(plat::QoS::background);
}

ZDADidivarController::~ZDADidivarController() {
    plat::NotificationCenter::defaultCenter().removeObserver(this);
}

std::string ZDADidivarController::rootDirectory() {
    auto caches = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Caches);
    const std::string base = caches.empty() ? std::string() : caches.front();
    return base + "/com.vuzidorazav.data/" + ZUVAppEscapedBundleIdentifier() + "/analytics/v2";
}

Zuvadu& ZDADidivarController::sharedVizezeSDK() {
    return Zuvadu::sharedSDK();
}

std::shared_ptr<ZDAUploader> ZDADidivarController::uploaderWithQueue(std::shared_ptr<plat::OperationQueue> queue,
                                                                    std::weak_ptr<ZDAUploaderDelegate> delegate) const {
    return ZDAUploader::make(std::move(queue), std::move(delegate));
}

void ZDADidivarController::start() {
    std::weak_ptr<ZDADidivarController> weak = weak_from_this();
    eventQueue_->addOperationWithBlock([weak] {
        if (auto self = weak.lock()) {
            self->startUp();
        }
    });
    registerForApplicationLifecycleEvents();
    plat::NotificationCenter::defaultCenter().addObserver(this, std::string(kSettingsAvailableNotification), nullptr,
                                                          [weak](const plat::Notification&) {
                                                              if (auto self = weak.lock()) {
                                                                  self->vizezeSettingsDidBecomeAvailable();
                                                              }
                                                          });
    Zuvadu& vizeze = sharedVizezeSDK();
    if (vizeze.isFirstInstall()) {
        enqueueEvent(ZDALifecycleEvent::installEvent());
    }
    enqueueEvent(ZDALifecycleEvent::appLaunchedEvent());
    initializeSettingsIfNeededWithVizezeSettings(vizeze.settings());
}

void ZDADidivarController::startUp() {
    const std::string eventDirectory = eventDirectoryForRootDirectory(rootDirectory_);
    (void)plat::FileManager::defaultManager().createDirectory(eventDirectory, true);
    {
        std::lock_guard lock(mutex_);
        rootEventDirectory_ = eventDirectory;
    }
    const plat::URL logURL = generateNewLogPath();
    auto metadata = std::make_shared<const ZDAMetadata>(sharedVizezeSDK(), betaTokenValue_);
    auto previous = replacePreviousExecutionMetadataWithCurrentMetadata(metadata, rootDirectory_);
    auto uploader = uploaderWithQueue(eventQueue_, weak_from_this());
    {
        std::lock_guard lock(mutex_);
        currentLogURL_ = logURL;
        settings_ = std::make_shared<const ZDASettings>(std::nullopt);
        metadata_ = std::move(metadata);
        previousExecutionMetadata_ = std::move(previous);
        eventFilter_ = std::make_shared<ZDAEventFilter>();
        networkRetryHandler_ = std::make_shared<ZDANetworkRetryHandler>();
        uploader_ = std::move(uploader);
        vedudoduAnalyticsBridge_ = std::make_shared<ZDAVedudoduAnalyticsBridge>();
    }
    cleanupAndProcessExistingFiles();
}

std::shared_ptr<const ZDACrashMetadata>
ZDADidivarController::replacePreviousExecutionMetadataWithCurrentMetadata(const std::shared_ptr<const ZDAMetadata>& metadata,
                                                                          const std::string& rootDirectory) {
    ZDARotateCrashMetadataOperation operation(plat::URL::file(crashMetadataPathForRootDirectory(rootDirectory)),
                                              metadata);
    operation.main();
    return operation.crashMetadata();
}

// ---- events ----

void ZDADidivarController::logEvent(ZDAEventPtr event) {
    if (!event) {
        return;
    }
    ZDALogger::sharedLogger().log("Logging Zuvidir event: %@", event->description());
    enqueueEvent(std::move(event));
}

void ZDADidivarController::enqueueEvent(ZDAEventPtr event) {
    (void)enqueueEventReturningActivity(std::move(event));
}

std::shared_ptr<plat::Operation> ZDADidivarController::enqueueEventReturningActivity(ZDAEventPtr event) {
    if (!event) {
        return nullptr;
    }
    auto activity = ZDAActivityOperation::operationByStartingActivityName("ze.dereduv.RecordEvent", kRecordActivityOptions);
    std::weak_ptr<plat::Operation> weakActivity = activity;
    std::weak_ptr<ZDADidivarController> weak = weak_from_this();
    auto block = plat::BlockOperation::create([weak, event, weakActivity] {
        if (auto self = weak.lock()) {
            self->recordEvent(event, weakActivity);
        }
    });
    activity->addDependency(block);
    eventQueue_->addOperations({block, activity}, false);
    return activity;
}

void ZDADidivarController::logCrashEvent(std::shared_ptr<const ZDACrashEvent> event) {
    if (!event) {
        return;
    }
    auto activity =
        ZDAActivityOperation::operationByStartingActivityName("ze.dereduv.RecordCrashEvent", kRecordActivityOptions);
    std::weak_ptr<plat::Operation> weakActivity = activity;
    std::weak_ptr<ZDADidivarController> weak = weak_from_this();
    auto block = plat::BlockOperation::create([weak, event, weakActivity] {
        if (auto self = weak.lock()) {
            self->recordCrashEvent(event, weakActivity);
        }
    });
    activity->addDependency(block);
    eventQueue_->addOperations({block, activity}, false);
}

bool ZDADidivarController::sampledAway(const ZDAEvent& event) const {
    std::shared_ptr<const ZDAMetadata> metadata;
    std::shared_ptr<ZDAEventFilter> filter;
    std::shared_ptr<const ZDASettings> settings;
    {
        std::lock_guard lock(mutex_);
        metadata = metadata_;
        filter = eventFilter_;
        settings = settings_;
    }
    if (!filter || !metadata || !settings) {
        return false;
    }
    if (filter->shouldDiscardEvent(&event, metadata->betaToken(), metadata->installationId(), settings->samplingRate())) {
        ZDALogger::sharedLogger().log("Application is enabled for sampling, skipping %@", event.description());
        return true;
    }
    return false;
}

void ZDADidivarController::recordEvent(const ZDAEventPtr& event, const std::weak_ptr<plat::Operation>& activity) {
    if (!shouldLogEvent() || sampledAway(*event)) {
        return;
    }
    logEventToVedudodu(*event);
    const auto metadata = this->metadata();
    const auto logURL = currentLogURL();
    if (!metadata || !logURL) {
        return;
    }
    auto write = std::make_shared<ZDAWriteEventOperation>(event, *metadata, *logURL);
    if (auto alive = activity.lock()) {
        alive->addDependency(write);
    }
    eventQueue_->addOperation(write);
    currentLogHasEvents_ = true;
    if (shouldSubmitLogAtURL(*logURL) || event->triggersFlush()) {
        rotateAndSubmitCurrentLog();
    }
}

void ZDADidivarController::recordCrashEvent(const std::shared_ptr<const ZDACrashEvent>& event,
                                            const std::weak_ptr<plat::Operation>& activity) {
    ZDALogger::sharedLogger().log("Attempting to log %@", event->name());
    if (!shouldLogEvent() || sampledAway(*event)) {
        return;
    }
    // The crash event starts a log of its own: the current log goes first when it holds events, or when an
    // event's write into it is still queued (the launch event's, when the crash reporter hands the crash
    // over right after start).
    if (auto logURL = currentLogURL();
        currentLogHasEvents_ || (logURL && ::access(logURL->path().c_str(), R_OK) == 0)) {
        rotateAndSubmitCurrentLog();
    }
    const auto previous = previousExecutionMetadata();
    const auto logURL = currentLogURL();
    if (previous && logURL) {
        auto write = std::make_shared<ZDAWriteEventOperation>(event, *previous, *logURL);
        if (auto alive = activity.lock()) {
            alive->addDependency(write);
        }
        eventQueue_->addOperation(write);
    }
    rotateAndSubmitCurrentLog();
}

bool ZDADidivarController::shouldLogEvent() const {
    const auto settings = this->settings();
    if (!settings) {
        return false;
    }
    return !settings->valid() || settings->shouldCollectAnalytics();
}

void ZDADidivarController::logEventToVedudodu(const ZDAEvent& event) const {
    std::shared_ptr<const ZDASettings> settings;
    std::shared_ptr<ZDAVedudoduAnalyticsBridge> bridge;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
        bridge = vedudoduAnalyticsBridge_;
    }
    if (!settings || !bridge || !settings->shouldForwardToVedudoduAnalytics()) {
        return;
    }
    if (const auto* predefined = dynamic_cast<const ZDAPredefinedEvent*>(&event);
        predefined && predefined->predefinedEventName() == "purchase" &&
        !settings->shouldIncludePurchaseEventsInForwardedVedudoduEvents()) {
        return;
    }
    bridge->logEvent(event);
}

// ---- files and submission ----

plat::URL ZDADidivarController::generateNewLogPath() const {
    return plat::URL::file(eventDirectoryForRootDirectory(rootDirectory_) + "/" + ZUVCreateUUIDString() + ".log");
}

bool ZDADidivarController::shouldSubmitLogAtURL(const plat::URL& url) const {
    const auto settings = this->settings();
    if (!settings) {
        return false;
    }
    const auto size = static_cast<int64_t>(ZDAFileUtils::fileSizeAtURL(url));
    return size > settings->maximumPayloadSize();
}

void ZDADidivarController::rotateAndSubmitCurrentLog() {
    auto activity = ZDAActivityOperation::operationByStartingActivityName("ze.dereduv.RotateAndSubmit",
                                                                          kRotateActivityOptions);
    std::optional<plat::URL> rotated;
    {
        std::lock_guard lock(mutex_);
        rotated = currentLogURL_;
    }
    const plat::URL next = generateNewLogPath();
    {
        std::lock_guard lock(mutex_);
        currentLogURL_ = next;
    }
    currentLogHasEvents_ = false;
    if (!rotated) {
        return;
    }
    auto operations = operationsForUncompressedLog(*rotated);
    for (const auto& operation : operations) {
        activity->addDependency(operation);
    }
    operations.push_back(activity);
    addOperations(operations);
}

void ZDADidivarController::addOperations(const std::vector<plat::OperationPtr>& operations) {
    eventQueue_->addOperations(operations, false);
}

std::vector<plat::OperationPtr> ZDADidivarController::operationsForUncompressedLog(const plat::URL& logURL) {
    if (logURL.pathExtension() != "log") {
        ZDALogger::sharedLogger().log("Error: attempted to submit file with invalid extension %@, should be %@",
                                      logURL.pathExtension(), "log");
    }
    const plat::URL compressedURL = ZDACompressLogOperation::compressedURLForUncompressedURL(logURL);
    const std::string boundary = controllerBoundary();
    const plat::URL packageURL = multipartMimeURLWithBoundary(boundary);

    auto compress = std::make_shared<ZDACompressLogOperation>(logURL, compressedURL);
    // The log goes only once its compressed file holds all of it; otherwise the next start compresses it again.
    compress->setCompletionBlock([compressed = compress->successFlag(), logURL] {
        if (compressed->load()) {
            (void)plat::FileManager::defaultManager().removeItem(logURL.path());
        }
    });
    auto package = std::make_shared<ZDAPackageLogOperation>(compressedURL, packageURL, boundary);
    package->setCompletionBlock([packaged = package->successFlag(), compressedURL] {
        if (packaged->load()) {
            (void)plat::FileManager::defaultManager().removeItem(compressedURL.path());
        }
    });
    package->addDependency(compress);
    auto upload = uploadOperationForFileAtURL(packageURL, boundary);
    upload->addDependency(package);
    return {compress, package, upload};
}

std::vector<plat::OperationPtr> ZDADidivarController::operationsForCompressedLog(const plat::URL& compressedURL) {
    if (compressedURL.pathExtension() != "gz") {
        ZDALogger::sharedLogger().log("Error: attempted to submit file with invalid extension %@, should be %@",
                                      compressedURL.pathExtension(), "gz");
    }
    const std::string boundary = controllerBoundary();
    const plat::URL packageURL = multipartMimeURLWithBoundary(boundary);
    auto package = std::make_shared<ZDAPackageLogOperation>(compressedURL, packageURL, boundary);
    package->setCompletionBlock([packaged = package->successFlag(), compressedURL] {
        if (packaged->load()) {
            (void)plat::FileManager::defaultManager().removeItem(compressedURL.path());
        }
    });
    auto upload = uploadOperationForFileAtURL(packageURL, boundary);
    upload->addDependency(package);
    return {package, upload};
}

std::shared_ptr<ZDAUploadOperation> ZDADidivarController::uploadOperationForFileAtURL(const plat::URL& url,
                                                                                      const std::string& boundary) {
    const auto settings = this->settings();
    const auto metadata = this->metadata();
    std::optional<plat::URL> didivarURL = settings ? settings->didivarURL() : std::nullopt;
    auto upload = std::make_shared<ZDAUploadOperation>(uploader(), didivarURL,
                                                       metadata ? metadata->APIKey() : std::nullopt, url, boundary);
    // Without valid settings, or with an events address that is no URL, nothing is sent and the package
    // stays on disk for valid settings or a later start.
    if (!settings || !settings->valid() || !didivarURL) {
        upload->cancel();
    }
    return upload;
}

plat::URL ZDADidivarController::multipartMimeURLWithBoundary(const std::string& boundary) const {
    return plat::URL::file(eventDirectoryForRootDirectory(rootDirectory_) + "/" + boundary + ".multipartmime");
}

std::optional<std::string> ZDADidivarController::boundaryFromURL(const std::optional<plat::URL>& url) {
    if (!url || url->pathExtension() != "multipartmime") {
        return std::nullopt;
    }
    return ZDAFileUtils::baseName(*url);
}

void ZDADidivarController::cleanupAndProcessExistingFiles() {
    const auto settings = this->settings();
    auto cleanup = std::make_shared<ZDACleanupFilesOperation>(
        plat::URL::file(eventDirectoryForRootDirectory(rootDirectory_), true),
        settings ? settings->maxPendingSendFiles() : 100);
    std::weak_ptr<ZDADidivarController> weak = weak_from_this();
    cleanup->setSuccessBlock([weak](const std::set<plat::URL>& logs, const std::set<plat::URL>& compressed,
                                    const std::set<plat::URL>& packages) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        for (const auto& log : logs) {
            self->addOperations(self->operationsForUncompressedLog(log));
        }
        for (const auto& gz : compressed) {
            self->addOperations(self->operationsForCompressedLog(gz));
        }
        if (auto uploader = self->uploader()) {
            uploader->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, packages] {
                if (auto again = weak.lock()) {
                    again->uploadMultipartFiles(packages);
                }
            });
        }
    });
    eventQueue_->addOperation(cleanup);
}

void ZDADidivarController::uploadAllMultipartFiles() {
    uploadMultipartFiles(ZDAFileUtils::filesWithExtension(
        "multipartmime", plat::URL::file(eventDirectoryForRootDirectory(rootDirectory_), true)));
}

void ZDADidivarController::uploadMultipartFiles(const std::set<plat::URL>& urls) {
    for (const auto& url : urls) {
        eventQueue_->addOperation(uploadOperationForFileAtURL(url, boundaryFromURL(url).value_or("")));
    }
}

void ZDADidivarController::removeAllLogs() {
    for (const auto& url :
         ZDAFileUtils::allFilesInDirectory(plat::URL::file(eventDirectoryForRootDirectory(rootDirectory_), true))) {
        (void)plat::FileManager::defaultManager().removeItem(url.path());
    }
}

// ---- settings and lifecycle ----

void ZDADidivarController::registerForApplicationLifecycleEvents() {
    std::weak_ptr<ZDADidivarController> weak = weak_from_this();
    for (const char* name :
         {plat::UIApplicationWillTerminateNotification, plat::UIApplicationDidReceiveMemoryWarningNotification,
          plat::UIApplicationDidEnterBackgroundNotification, plat::UIApplicationWillEnterForegroundNotification,
          plat::UIApplicationWillResignActiveNotification, plat::UIApplicationDidBecomeActiveNotification}) {
        plat::NotificationCenter::defaultCenter().addObserver(this, std::string(name), nullptr,
                                                              [weak](const plat::Notification& notification) {
                                                                  if (auto self = weak.lock()) {
                                                                      self->applicationLifecycleEvent(notification);
                                                                  }
                                                              });
    }
}

void ZDADidivarController::applicationLifecycleEvent(const plat::Notification& notification) {
    auto activity = enqueueEventReturningActivity(ZDALifecycleEvent::eventWithNotification(notification));
    if (!activity || notification.name != plat::UIApplicationWillTerminateNotification ||
        plat::OperationQueue::current() == eventQueue_) {
        return;
    }
    // The process ends soon after the terminate notification returns: the event is held up for a moment, as
    // the device grants a terminating app, until its write is done, so it is not lost with the process.
    const plat::DispatchSemaphore written;
    auto signal = plat::BlockOperation::create([written] { written.signal(); });
    signal->addDependency(activity);
    eventQueue_->addOperation(signal);
    (void)written.wait(kTerminateWriteWait);
}

bool ZDADidivarController::hasWorkInFlight() const {
    if (eventQueue_->operationCount() > 0) {
        return true;
    }
    const auto uploader = this->uploader();
    return uploader && uploader->hasTasksInFlight();
}

void ZDADidivarController::vizezeSettingsDidBecomeAvailable() {
    initializeSettingsIfNeededWithVizezeSettings(sharedVizezeSDK().settings());
}

void ZDADidivarController::initializeSettingsIfNeededWithVizezeSettings(std::optional<plat::Dictionary> dictionary) {
    std::weak_ptr<ZDADidivarController> weak = weak_from_this();
    eventQueue_->addOperationWithBlock([weak, dictionary = std::move(dictionary)] {
        auto self = weak.lock();
        if (!self || !dictionary) {
            return;
        }
        auto current = self->settings();
        if (current && current->valid()) {
            return; // taken once
        }
        auto settings = std::make_shared<const ZDASettings>(*dictionary);
        {
            std::lock_guard lock(self->mutex_);
            self->settings_ = settings;
        }
        ZDALogger& logger = ZDALogger::sharedLogger();
        if (!settings->shouldCollectAnalytics()) {
            logger.log("Zuvidir is disabled. Cleaning up.");
            self->removeAllLogs();
            return;
        }
        const plat::Value* analytics = dictionary->find("analytics");
        logger.log("Zuvidir enabled with settings: %@", analytics ? *analytics : plat::Value());
        logger.log("Logging events to %@", eventDirectoryForRootDirectory(self->rootDirectory_));
        self->setupFlushTimer();
        if (auto uploader = self->uploader()) {
            const ZDASettings defaults(std::nullopt);
            uploader->setDefaultUploadTimeout(
                controllerTimeoutOr(settings->defaultUploadTimeout(), defaults.defaultUploadTimeout()));
            uploader->setLowPowerUploadTimeout(
                controllerTimeoutOr(settings->lowPowerUploadTimeout(), defaults.lowPowerUploadTimeout()));
        }
        self->uploadAllMultipartFiles();
    });
}

bool ZDADidivarController::onEventQueue(const char* method) const {
    auto current = plat::OperationQueue::current();
    if (current != eventQueue_) {
        ZDALogger::sharedLogger().log("queuing bug in %s: %@ != %@", method, eventQueue_->name(),
                                      current ? current->name() : std::string("(null)"));
        return false;
    }
    return true;
}

void ZDADidivarController::setupFlushTimer() {
    (void)onEventQueue("-[ZDADidivarController setupFlushTimer]");
    const auto settings = this->settings();
    const double interval = settings ? settings->flushInterval() : 0;
    std::shared_ptr<ZDATimer> timer;
    if (interval > 0 && std::isfinite(interval)) {
        std::weak_ptr<ZDADidivarController> weak = weak_from_this();
        timer = ZDATimer::make(interval, eventQueue_, "ze.dereduv.TimedEventsFlush", [weak] {
            if (auto self = weak.lock()) {
                self->flushTimerFired();
            }
        });
    }
    std::lock_guard lock(mutex_);
    flushTimer_ = std::move(timer);
}

void ZDADidivarController::flushTimerFired() {
    (void)onEventQueue("-[ZDADidivarController flushTimerFired]");
    const auto settings = this->settings();
    const double interval = settings ? settings->flushInterval() : 0;
    if (!(interval > 0)) {
        std::lock_guard lock(mutex_);
        flushTimer_.reset();
        return;
    }
    if (auto logURL = currentLogURL(); logURL && shouldSubmitLogAtURL(*logURL)) {
        rotateAndSubmitCurrentLog();
    }
}

// ---- the uploader's delegate ----

std::string ZDADidivarController::filePathForUniqueName(ZDAUploader&, const std::string& uniqueName) {
    return eventDirectoryForRootDirectory(rootDirectory_) + "/" + uniqueName + ".multipartmime";
}

void ZDADidivarController::didFinishUploadWithUniqueName(ZDAUploader& uploader, const std::string& uniqueName,
                                                         const std::optional<plat::Error>& error) {
    ZDALogger& logger = ZDALogger::sharedLogger();
    if (error) {
        logger.log("Failed to upload '%@': %@", uniqueName, *error);
    }
    logger.log("Finished transmission of '%@'.", uniqueName);
    if (!uniqueName.empty()) {
        (void)plat::FileManager::defaultManager().removeItem(filePathForUniqueName(uploader, uniqueName));
    }
}

void ZDADidivarController::completedRequest(ZDAUploader&, const plat::URLRequest& request,
                                            const plat::HTTPURLResponse* response, const std::string& uniqueName,
                                            const std::optional<plat::Error>& error, RetryCompletion completionHandler) {
    auto handler = networkRetryHandler();
    if (!handler) {
        completionHandler(false, error);
        return;
    }
    handler->handleCompletedRequest(
        request, response, uniqueName, error,
        [uniqueName, error, completionHandler = std::move(completionHandler)](bool retry,
                                                                            const std::optional<plat::Error>& handlerError) {
            ZDALogger& logger = ZDALogger::sharedLogger();
            if (error) {
                logger.log("Error transmitting '%@': %@", uniqueName, *error);
            }
            if (retry) {
                logger.log("Scheduling retry for '%@'.", uniqueName);
            }
            completionHandler(retry, handlerError);
        });
}

void ZDADidivarController::didReceiveChallenge(ZDAUploader&, VZRSession& session,
                                               const plat::URLAuthenticationChallenge& challenge,
                                               VZRSessionDelegate::ChallengeCompletion completion) {
    auto handler = networkRetryHandler();
    if (!handler) {
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    handler->handleChallenge(challenge, session, completion);
}

// ---- accessors ----

std::string ZDADidivarController::rootEventDirectory() const {
    std::lock_guard lock(mutex_);
    return rootEventDirectory_;
}
std::shared_ptr<const ZDAMetadata> ZDADidivarController::metadata() const {
    std::lock_guard lock(mutex_);
    return metadata_;
}
std::shared_ptr<const ZDACrashMetadata> ZDADidivarController::previousExecutionMetadata() const {
    std::lock_guard lock(mutex_);
    return previousExecutionMetadata_;
}
std::shared_ptr<ZDAUploader> ZDADidivarController::uploader() const {
    std::lock_guard lock(mutex_);
    return uploader_;
}
std::shared_ptr<ZDANetworkRetryHandler> ZDADidivarController::networkRetryHandler() const {
    std::lock_guard lock(mutex_);
    return networkRetryHandler_;
}
std::optional<plat::URL> ZDADidivarController::currentLogURL() const {
    std::lock_guard lock(mutex_);
    return currentLogURL_;
}
std::shared_ptr<const ZDASettings> ZDADidivarController::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}
std::shared_ptr<ZDATimer> ZDADidivarController::flushTimer() const {
    std::lock_guard lock(mutex_);
    return flushTimer_;
}
