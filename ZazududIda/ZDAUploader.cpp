#include "ZazududIda/ZDAUploader.hpp"

#include "ZazududIda/ZDAApplication.hpp"
#include "ZazududIda/ZDAFileUtils.hpp"
#include "ZazududIda/ZDALogger.hpp"

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"

#include "deployment/Deployment.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <unistd.h>

#include <cmath>

namespace {

// The session's delegate: hands each callback to the uploader while it lives. The session holds this
// strongly, so it holds the uploader only weakly.
class ZDAUploaderSessionDelegate : public VZRSessionDelegate {
public:
    explicit ZDAUploaderSessionDelegate(std::weak_ptr<ZDAUploader> uploader) : uploader_(std::move(uploader)) {}

    bool respondsTo(std::string_view selector) const override {
        return selector == plat::URLSessionSelector::didBecomeInvalidWithError ||
               selector == plat::URLSessionSelector::didReceiveChallenge ||
               selector == plat::URLSessionSelector::didCompleteWithError;
    }
    void didBecomeInvalidWithError(VZRSession&, const std::optional<plat::Error>& error) override {
        if (auto uploader = uploader_.lock()) {
            uploader->sessionDidBecomeInvalid(error);
        }
    }
    void didReceiveChallenge(VZRSession& session, const plat::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) override {
        if (auto uploader = uploader_.lock()) {
            uploader->sessionDidReceiveChallenge(session, challenge, std::move(completion));
            return;
        }
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
    void didCompleteWithError(VZRSession&, const VZRSessionTaskPtr& task,
                              const std::optional<plat::Error>& error) override {
        if (auto uploader = uploader_.lock()) {
            uploader->taskDidComplete(task, error);
        }
    }

private:
    std::weak_ptr<ZDAUploader> uploader_;
};

bool isReadableFile(const std::string& path) {
    bool isDirectory = false;
    return plat::FileManager::defaultManager().fileExists(path, &isDirectory) && !isDirectory &&
           ::access(path.c_str(), R_OK) == 0;
}

} // namespace

std::shared_ptr<ZDAUploader> ZDAUploader::make(std::shared_ptr<plat::OperationQueue> queue,
                                               std::weak_ptr<ZDAUploaderDelegate> delegate) {
    std::shared_ptr<ZDAUploader> uploader(new ZDAUploader(std::move(queue), std::move(delegate)));
    if (supportsPowerStateNotifications()) {
        std::weak_ptr<ZDAUploader> weak = uploader;
        uploader->powerObserver_ = plat::NotificationCenter::defaultCenter().addObserver(
            std::string(plat::NSProcessInfoPowerStateDidChangeNotification), nullptr, nullptr,
            [weak](const plat::Notification&) {
                if (auto self = weak.lock()) {
                    self->powerStageChanged();
                }
            });
    }
    return uploader;
}

ZDAUploader::ZDAUploader(std::shared_ptr<plat::OperationQueue> queue, std::weak_ptr<ZDAUploaderDelegate> delegate)
    : operationQueue_(std::move(queue)), delegate_(std::move(delegate)) {}

ZDAUploader::~ZDAUploader() {
    plat::NotificationCenter::defaultCenter().removeObserver(powerObserver_);
    if (session_) {
        session_->finishTasksAndInvalidate();
    }
}

bool ZDAUploader::lowPowerMode() {
    return supportsPowerStateNotifications() && plat::ProcessInfo::processInfo().isLowPowerModeEnabled();
}

bool ZDAUploader::supportsBackgroundRequests() {
    return ZDAApplication::hostApplication().isExtension() ? false : shouldUseBackgroundRequests();
}

double ZDAUploader::defaultUploadTimeout() const {
    std::lock_guard lock(mutex_);
    return defaultUploadTimeout_;
}

double ZDAUploader::lowPowerUploadTimeout() const {
    std::lock_guard lock(mutex_);
    return lowPowerUploadTimeout_;
}

void ZDAUploader::setDefaultUploadTimeout(double seconds) {
    operationQueue_->addOperationWithBlock([weak = weak_from_this(), seconds] {
        if (auto self = weak.lock()) {
            {
                std::lock_guard lock(self->mutex_);
                self->defaultUploadTimeout_ = seconds;
            }
            self->dropSession();
        }
    });
}

void ZDAUploader::setLowPowerUploadTimeout(double seconds) {
    operationQueue_->addOperationWithBlock([weak = weak_from_this(), seconds] {
        if (auto self = weak.lock()) {
            {
                std::lock_guard lock(self->mutex_);
                self->lowPowerUploadTimeout_ = seconds;
            }
            self->dropSession();
        }
    });
}

void ZDAUploader::powerStageChanged() {
    operationQueue_->addOperationWithBlock([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->dropSession();
        }
    });
}

void ZDAUploader::dropSession() {
    VZRSessionPtr old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(session_);
        session_.reset();
    }
    // Its running tasks still finish and report; afterwards it lets go of its delegate.
    if (old) {
        old->finishTasksAndInvalidate();
    }
}

VZRSessionPtr ZDAUploader::session() {
    {
        std::lock_guard lock(mutex_);
        if (session_) {
            return session_;
        }
    }
    std::shared_ptr<VZRURLSessionConfiguration> configuration;
    if (supportsBackgroundRequests()) {
        configuration = createBackgroundSessionConfiguration();
    }
    if (!configuration) {
        configuration = VZRURLSessionConfiguration::defaultSessionConfiguration();
    }
    if (!configuration) {
        return nullptr;
    }
    const bool lowPower = lowPowerMode();
    const double timeout = lowPower ? lowPowerUploadTimeout() : defaultUploadTimeout();
    configuration->allowsCellularAccess = !lowPower;
    configuration->timeoutIntervalForResource = timeout;
    if (auto* platform = configuration->mutablePlatformConfiguration()) {
        platform->allowsCellularAccess = !lowPower;
        platform->timeoutIntervalForResource = timeout;
    }
    auto made = VZRURLSession::sessionWithConfiguration(
        configuration, std::make_shared<ZDAUploaderSessionDelegate>(weak_from_this()), operationQueue_);
    std::lock_guard lock(mutex_);
    if (!session_) {
        session_ = std::move(made);
    } else if (made) {
        made->invalidateAndCancel();
    }
    return session_;
}

std::shared_ptr<VZRURLSessionConfiguration> ZDAUploader::createBackgroundSessionConfiguration() const {
    auto configuration = VZRURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
        kBackgroundSessionIdentifier);
    if (configuration) {
        configuration->setSessionSendsLaunchEvents(false);
        if (auto* platform = configuration->mutablePlatformConfiguration()) {
            platform->sessionSendsLaunchEvents = false;
            platform->discretionary = lowPowerMode();
        }
    }
    return configuration;
}

void ZDAUploader::attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block) {
    operationQueue_->addOperationWithBlock([weak = weak_from_this(), block = std::move(block)] {
        auto self = weak.lock();
        if (!self || !block) {
            return;
        }
        if (supportsBackgroundRequests()) {
            plat::DispatchQueue::main()->async([queue = self->operationQueue_, block] {
                queue->addOperationWithBlock(block);
            });
            return;
        }
        block();
    });
}

void ZDAUploader::startUploadRequest(std::optional<plat::URLRequest> request, std::string filePath,
                                     std::string uniqueName) {
    if (!uniqueName.empty()) {
        bool claimed;
        {
            std::lock_guard lock(mutex_);
            claimed = claimedNames_.insert(uniqueName).second;
        }
        if (!claimed) {
            ZDALogger::sharedLogger().logWithLabel(kLabel, "A task currently exists for '%@', skipping", uniqueName);
            return;
        }
    }
    checkThenStart(std::move(request), std::move(filePath), std::move(uniqueName));
}

void ZDAUploader::checkThenStart(std::optional<plat::URLRequest> request, std::string filePath,
                                 std::string uniqueName) {
    auto self = shared_from_this();
    checkForExistingTaskMatchingDescription(
        uniqueName, [self, request = std::move(request), filePath, uniqueName](bool exists) {
            if (exists) {
                ZDALogger::sharedLogger().logWithLabel(kLabel, "A task currently exists for '%@', skipping",
                                                       uniqueName);
                return;
            }
            self->startNewUploadRequest(request, filePath, uniqueName);
        });
}

void ZDAUploader::checkForExistingTaskMatchingDescription(const std::string& description,
                                                          std::function<void(bool)> block) {
    operationQueue_->addOperationWithBlock([self = shared_from_this(), description, block = std::move(block)] {
        auto session = self->session();
        if (!session) {
            block(false);
            return;
        }
        session->getTasks([description, block](VZRSession::TaskList data, VZRSession::TaskList upload,
                                               VZRSession::TaskList download) {
            block(taskArray(data, description) || taskArray(upload, description) ||
                  taskArray(download, description));
        });
    });
}

bool ZDAUploader::taskArray(const VZRSession::TaskList& tasks, const std::string& description) {
    for (const auto& task : tasks) {
        if (task && task->taskDescription() == description) {
            return true;
        }
    }
    return false;
}

void ZDAUploader::startNewUploadRequest(const std::optional<plat::URLRequest>& request, const std::string& filePath,
                                        const std::string& uniqueName) {
    std::optional<int64_t> failure;
    if (!request || filePath.empty() || uniqueName.empty()) {
        failure = kInvalidUploadCode;
    } else if (!isReadableFile(filePath)) {
        failure = kUnreadableFileCode;
    }
    if (failure) {
        const plat::Error error = errorWithCode(*failure, errorUserInfoWithFilePath(filePath, uniqueName));
        operationQueue_->addOperationWithBlock([self = shared_from_this(), uniqueName, error] {
            self->handleTaskDescription(uniqueName, error);
        });
        return;
    }
    auto session = this->session();
    VZRSessionTaskPtr task = session ? session->uploadTask(*request, plat::URL::file(filePath)) : nullptr;
    if (!task) {
        handleTaskDescription(uniqueName, errorWithCode(kInvalidUploadCode, errorUserInfoWithFilePath(filePath, uniqueName)));
        return;
    }
    task->setTaskDescription(uniqueName);
    {
        std::lock_guard lock(mutex_);
        ++tasksInFlight_;
    }
    task->resume();
}

void ZDAUploader::handleTaskDescription(const std::string& description, const std::optional<plat::Error>& error) {
    if (auto delegate = delegate_.lock()) {
        delegate->didFinishUploadWithUniqueName(*this, description, error);
    }
    // Released only once the delegate has removed the package, so no new start can find it still there.
    std::lock_guard lock(mutex_);
    claimedNames_.erase(description);
}

bool ZDAUploader::hasTasksInFlight() const {
    std::lock_guard lock(mutex_);
    return tasksInFlight_ > 0;
}

plat::Error ZDAUploader::errorWithCode(int64_t code, const plat::Dictionary& userInfo) {
    return plat::Error(kErrorDomain, code, userInfo);
}

plat::Dictionary ZDAUploader::errorUserInfoWithFilePath(const std::string& filePath, const std::string& uniqueName) {
    plat::Dictionary info;
    info.set(plat::NSFilePathErrorKey, plat::Value(filePath.empty() ? std::string("(null)") : filePath));
    info.set(kUniqueNameKey, plat::Value(uniqueName.empty() ? std::string("(null)") : uniqueName));
    return info;
}

void ZDAUploader::sessionDidBecomeInvalid(const std::optional<plat::Error>& error) {
    if (error) {
        ZDALogger::sharedLogger().logWithLabel(kLabel, "Error: session has become invalid %@", *error);
    } else {
        ZDALogger::sharedLogger().logWithLabel(kLabel, "Error: session has become invalid %@", plat::Value());
    }
}

void ZDAUploader::sessionDidReceiveChallenge(VZRSession& session, const plat::URLAuthenticationChallenge& challenge,
                                             VZRSessionDelegate::ChallengeCompletion completion) {
    auto delegate = delegate_.lock();
    if (delegate && delegate->respondsToChallenge()) {
        delegate->didReceiveChallenge(*this, session, challenge, std::move(completion));
        return;
    }
    completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
}

void ZDAUploader::taskDidComplete(const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error) {
    {
        std::lock_guard lock(mutex_);
        if (tasksInFlight_ > 0) {
            --tasksInFlight_;
        }
    }
    auto delegate = delegate_.lock();
    if (!delegate || !task) {
        return;
    }
    const auto response = task->response();
    const std::string name = task->taskDescription();
    delegate->completedRequest(*this, task->originalRequest().value_or(plat::URLRequest()), response.get(), name,
                               error,
                               [self = shared_from_this(), task, name](bool retry, const std::optional<plat::Error>& e) {
                                   if (!retry) {
                                       self->handleTaskDescription(name, e);
                                       return;
                                   }
                                   ZDALogger::sharedLogger().log("Retrying task with name %@", name);
                                   self->restartTask(task);
                               });
}

void ZDAUploader::restartTask(const VZRSessionTaskPtr& task) {
    operationQueue_->addOperationWithBlock([self = shared_from_this(), task] {
        auto delegate = self->delegate_.lock();
        if (!delegate) {
            return;
        }
        const std::string name = task->taskDescription();
        // The name is still claimed by this upload: its retry goes straight to the task check.
        self->checkThenStart(task->originalRequest(), delegate->filePathForUniqueName(*self, name), name);
    });
}

ZDAUploadOperation::ZDAUploadOperation(std::shared_ptr<ZDAUploader> uploader, std::optional<plat::URL> didivarURL,
                                       std::optional<std::string> apiKey, plat::URL multipartURL,
                                       std::string multipartMimeBoundary)
    : uploader_(std::move(uploader)), didivarURL_(std::move(didivarURL)), apiKey_(std::move(apiKey)),
      multipartURL_(std::move(multipartURL)), boundary_(std::move(multipartMimeBoundary)) {}

std::string ZDAUploadOperation::currentTimestampString() {
    const double now = plat::Clock::now();
    return std::to_string(static_cast<int64_t>(std::trunc(now)));
}

std::optional<plat::URLRequest> ZDAUploadOperation::request() const {
    if (!didivarURL_) {
        return std::nullopt;
    }
    plat::URLRequest request(*didivarURL_);
    request.setHTTPMethod("POST");
    request.setValue(ZUVMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(boundary_), "Content-Type");
    request.setValue(std::to_string(ZDAFileUtils::fileSizeAtURL(multipartURL_)), "Content-Length");
    request.setValue(kUserAgent, "User-Agent");
    request.setValue(deployment::kKitDeveloperToken, "X-VUZIDORAZAV-DEVELOPER-TOKEN");
    request.setValue("Zuvidir iOS SDK", "X-VUZIDORAZAV-API-CLIENT-TYPE");
    request.setValue("31", "X-VUZIDORAZAV-API-CLIENT-VERSION");
    request.setValue("1.4.0", "X-VUZIDORAZAV-API-CLIENT-DISPLAY-VERSION");
    request.setValue("31", "X-VUZIDORAZAV-API-CLIENT-BUILD-VERSION");
    if (apiKey_) {
        request.setValue(*apiKey_, "X-VUZIDORAZAV-API-KEY");
    }
    request.setValue(currentTimestampString(), "X-Vuzidorazav-Api-Client-Packaged-Timestamp");
    return request;
}

void ZDAUploadOperation::main() {
    if (!uploader_) {
        return;
    }
    ZDALogger::sharedLogger().log("Transmitting packaged events for '%@'.", boundary_);
    uploader_->startUploadRequest(request(), multipartURL_.path(), boundary_);
}
