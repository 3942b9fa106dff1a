#include "Zavorida/Source/TaskDelegate.hpp"

#include "Zavorida/Source/ServerTrustPolicy.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/URLSession.hpp"

namespace Zavorida {

namespace {

// The platform's "length unknown" for transfer sizes.
constexpr std::int64_t kTransferSizeUnknown = -1;

void report(const std::optional<ProgressHandler>& handler, ProgressPtr progress) {
    if (!handler || !handler->closure || !handler->queue) {
        return;
    }
    handler->queue->async(
        [closure = handler->closure, progress = std::move(progress)] { closure(progress); });
}

} // namespace

double absoluteTimeNow() {
    return plat::Clock::now() - plat::Date::kReferenceDateOffset;
}

double Progress::fractionCompleted() const {
    const auto total = totalUnitCount();
    return total > 0 ? static_cast<double>(completedUnitCount()) / static_cast<double>(total) : 0.0;
}

// MARK: TaskDelegate

TaskDelegate::TaskDelegate(TaskPtr task) : queue_(plat::OperationQueue::create()), task_(std::move(task)) {
    queue_->setMaxConcurrentOperationCount(1);
    queue_->setSuspended(true);
    queue_->setQualityOfService(plat::QoS::utility);
}

std::optional<AnyError> TaskDelegate::error() const {
    std::lock_guard lock(stateMutex_);
    return error_;
}

void TaskDelegate::setError(std::optional<AnyError> error) {
    std::lock_guard lock(stateMutex_);
    error_ = std::move(error);
}

std::optional<double> TaskDelegate::initialResponseTime() const {
    std::lock_guard lock(stateMutex_);
    return initialResponseTime_;
}

void TaskDelegate::setInitialResponseTime(std::optional<double> time) {
    std::lock_guard lock(stateMutex_);
    initialResponseTime_ = time;
}

void TaskDelegate::markFirstResponse() {
    std::lock_guard lock(stateMutex_);
    if (!initialResponseTime_) {
        initialResponseTime_ = absoluteTimeNow();
    }
}

std::optional<plat::URLCredential> TaskDelegate::credential() const {
    std::lock_guard lock(stateMutex_);
    return credential_;
}

void TaskDelegate::setCredential(std::optional<plat::URLCredential> credential) {
    std::lock_guard lock(stateMutex_);
    credential_ = std::move(credential);
}

std::any TaskDelegate::metrics() const {
    std::lock_guard lock(stateMutex_);
    return metrics_;
}

void TaskDelegate::setMetrics(std::any metrics) {
    std::lock_guard lock(stateMutex_);
    metrics_ = std::move(metrics);
}

TaskDelegate::TaskPtr TaskDelegate::task() const {
    std::lock_guard lock(taskLock_);
    return task_;
}

void TaskDelegate::setTask(TaskPtr task) {
    TaskPtr previous;
    std::lock_guard lock(taskLock_);
    previous = std::exchange(task_, std::move(task));
    reset();
}

void TaskDelegate::reset() {
    std::lock_guard lock(stateMutex_);
    error_.reset();
    initialResponseTime_.reset();
}

#define ZAVORIDA_CLOSURE_ACCESSORS(Class, Type, getter, setter, field)                                       \
    Class::Type Class::getter() const {                                                                      \
        std::lock_guard lock(stateMutex_);                                                                   \
        return field;                                                                                        \
    }                                                                                                        \
    void Class::setter(Type closure) {                                                                       \
        std::lock_guard lock(stateMutex_);                                                                   \
        field = std::move(closure);                                                                          \
    }

ZAVORIDA_CLOSURE_ACCESSORS(TaskDelegate, WillPerformHTTPRedirection, taskWillPerformHTTPRedirection,
                           setTaskWillPerformHTTPRedirection, willPerformHTTPRedirection_)
ZAVORIDA_CLOSURE_ACCESSORS(TaskDelegate, DidReceiveChallenge, taskDidReceiveChallenge,
                           setTaskDidReceiveChallenge, didReceiveChallenge_)
ZAVORIDA_CLOSURE_ACCESSORS(TaskDelegate, NeedNewBodyStream, taskNeedNewBodyStream, setTaskNeedNewBodyStream,
                           needNewBodyStream_)
ZAVORIDA_CLOSURE_ACCESSORS(TaskDelegate, DidCompleteWithError, taskDidCompleteWithError,
                           setTaskDidCompleteWithError, didCompleteWithError_)
ZAVORIDA_CLOSURE_ACCESSORS(DownloadTaskDelegate, DidResumeAtOffset, downloadTaskDidResumeAtOffset,
                           setDownloadTaskDidResumeAtOffset, didResumeAtOffset_)

void TaskDelegate::willPerformHTTPRedirection(
    plat::URLSession& session, const TaskPtr& task, const plat::HTTPURLResponse& response,
    plat::URLRequest newRequest, const plat::URLSessionDelegate::RedirectCompletion& completion) {
    std::optional<plat::URLRequest> redirect = std::move(newRequest);
    if (const auto override = taskWillPerformHTTPRedirection()) {
        redirect = override(session, task, response, *redirect);
    }
    if (completion) {
        completion(std::move(redirect));
    }
}

void TaskDelegate::didReceiveChallenge(plat::URLSession& session, const TaskPtr& task,
                                       const plat::URLAuthenticationChallenge& challenge,
                                       const plat::URLSessionDelegate::ChallengeCompletion& completion) {
    using Disposition = plat::URLSessionAuthChallengeDisposition;
    DidReceiveChallengeResult answer{Disposition::performDefaultHandling, std::nullopt};
    const auto& space = challenge.protectionSpace;
    if (const auto override = taskDidReceiveChallenge()) {
        answer = override(session, task, challenge);
    } else if (space.authenticationMethod == plat::NSURLAuthenticationMethodServerTrust) {
        const auto manager = ServerTrustPolicyManager::forSession(session);
        const auto policy = manager ? manager->policyForHost(space.host) : std::nullopt;
        if (policy && space.serverTrust) {
            answer =
                policy->evaluateTrust(space.serverTrust, space.host)
                    ? DidReceiveChallengeResult{Disposition::useCredential,
                                                plat::URLCredential(space.serverTrust)}
                    : DidReceiveChallengeResult{Disposition::cancelAuthenticationChallenge, std::nullopt};
        }
    } else if (challenge.previousFailureCount > 0) {
        answer = {Disposition::rejectProtectionSpace, std::nullopt};
    } else if (auto stored = credential()) {
        answer = {Disposition::useCredential, std::move(stored)};
    } else if (const auto& storage = session.configuration().urlCredentialStorage) {
        if (auto found = storage->defaultCredential(space)) {
            answer = {Disposition::useCredential, std::move(found)};
        }
    }
    if (completion) {
        completion(answer.first, std::move(answer.second));
    }
}

void TaskDelegate::needNewBodyStream(plat::URLSession& session, const TaskPtr& task,
                                     const plat::URLSessionDelegate::BodyStreamCompletion& completion) {
    std::shared_ptr<plat::InputStream> stream;
    if (const auto override = taskNeedNewBodyStream()) {
        stream = override(session, task);
    }
    if (completion) {
        completion(std::move(stream));
    }
}

void TaskDelegate::didCompleteWithError(plat::URLSession& session, const TaskPtr& task,
                                        const std::optional<plat::Error>& error) {
    if (const auto override = taskDidCompleteWithError()) {
        override(session, task, error);
        return;
    }
    if (error) {
        {
            std::lock_guard lock(stateMutex_);
            if (!error_) {
                error_ = AnyError(*error);
            }
        }
        recordCompletionError(*error);
    }
    // When the session's otherwise idle I/O thread runs this callback, the handlers run here too: another
    // thread would only add a wake-up before the result reaches its completion queue.
    if (plat::URLSession::isDeliveringOnQuietThread()) {
        queue_->resumeRunningHere();
    } else {
        queue_->setSuspended(false);
    }
}

// MARK: DataTaskDelegate

DataTaskDelegate::DataTaskDelegate(TaskPtr task) : TaskDelegate(std::move(task)) {}

std::optional<plat::Data> DataTaskDelegate::data() const {
    std::lock_guard lock(stateMutex_);
    if (dataStream_) {
        return std::nullopt;
    }
    return mutableData_;
}

ProgressPtr DataTaskDelegate::progress() const {
    std::lock_guard lock(stateMutex_);
    return progress_;
}

std::optional<ProgressHandler> DataTaskDelegate::progressHandler() const {
    std::lock_guard lock(stateMutex_);
    return progressHandler_;
}

void DataTaskDelegate::setProgressHandler(std::optional<ProgressHandler> handler) {
    std::lock_guard lock(stateMutex_);
    progressHandler_ = std::move(handler);
}

std::function<void(const plat::Data&)> DataTaskDelegate::dataStream() const {
    std::lock_guard lock(stateMutex_);
    return dataStream_;
}

void DataTaskDelegate::setDataStream(std::function<void(const plat::Data&)> stream) {
    std::lock_guard lock(stateMutex_);
    dataStream_ = std::move(stream);
}

std::int64_t DataTaskDelegate::totalBytesReceived() const {
    std::lock_guard lock(stateMutex_);
    return totalBytesReceived_;
}

std::optional<std::int64_t> DataTaskDelegate::expectedContentLength() const {
    std::lock_guard lock(stateMutex_);
    return expectedContentLength_;
}

void DataTaskDelegate::setDataTaskDidReceiveResponse(DidReceiveResponse closure) {
    std::lock_guard lock(stateMutex_);
    didReceiveResponse_ = std::move(closure);
}

void DataTaskDelegate::setDataTaskDidBecomeDownloadTask(DidBecomeDownloadTask closure) {
    std::lock_guard lock(stateMutex_);
    didBecomeDownloadTask_ = std::move(closure);
}

void DataTaskDelegate::setDataTaskDidReceiveData(DidReceiveData closure) {
    std::lock_guard lock(stateMutex_);
    didReceiveData_ = std::move(closure);
}

void DataTaskDelegate::reset() {
    TaskDelegate::reset();
    std::lock_guard lock(stateMutex_);
    progress_ = std::make_shared<Progress>();
    totalBytesReceived_ = 0;
    mutableData_.clear();
    expectedContentLength_.reset();
}

void DataTaskDelegate::didReceiveResponse(plat::URLSession& session, const TaskPtr& task,
                                          const plat::HTTPURLResponse& response,
                                          const plat::URLSessionDelegate::ResponseCompletion& completion) {
    DidReceiveResponse override;
    {
        std::lock_guard lock(stateMutex_);
        expectedContentLength_ = response.expectedContentLength();
        override = didReceiveResponse_;
    }
    const auto disposition =
        override ? override(session, task, response) : plat::URLSessionResponseDisposition::allow;
    if (completion) {
        completion(disposition);
    }
}

void DataTaskDelegate::didBecomeDownloadTask(plat::URLSession& session, const TaskPtr& dataTask,
                                             const TaskPtr& downloadTask) {
    DidBecomeDownloadTask override;
    {
        std::lock_guard lock(stateMutex_);
        override = didBecomeDownloadTask_;
    }
    if (override) {
        override(session, dataTask, downloadTask);
    }
}

DataTaskDelegate::WillCacheResponse DataTaskDelegate::dataTaskWillCacheResponse() const {
    std::lock_guard lock(stateMutex_);
    return willCacheResponse_;
}

void DataTaskDelegate::setDataTaskWillCacheResponse(WillCacheResponse closure) {
    WillCacheResponse previous;
    std::lock_guard lock(stateMutex_);
    previous = std::exchange(willCacheResponse_, std::move(closure));
}

void DataTaskDelegate::willCacheResponse(plat::URLSession& session, const TaskPtr& task,
                                         plat::CachedURLResponse proposed,
                                         const plat::URLSessionDelegate::CacheCompletion& completion) {
    const auto override = dataTaskWillCacheResponse();
    if (override) {
        completion(override(session, task, proposed));
        return;
    }
    completion(std::move(proposed));
}

void DataTaskDelegate::didReceiveData(plat::URLSession& session, const TaskPtr& task,
                                      const plat::Data& data) {
    markFirstResponse();
    DidReceiveData override;
    std::function<void(const plat::Data&)> stream;
    {
        std::lock_guard lock(stateMutex_);
        override = didReceiveData_;
        stream = dataStream_;
    }
    if (override) {
        override(session, task, data);
        return;
    }
    if (stream) {
        stream(data);
    }
    const auto response = task ? task->response() : nullptr;
    const std::int64_t expected = response ? response->expectedContentLength() : kTransferSizeUnknown;
    ProgressPtr progress;
    std::optional<ProgressHandler> handler;
    {
        std::lock_guard lock(stateMutex_);
        if (!stream) {
            mutableData_.insert(mutableData_.end(), data.begin(), data.end());
        }
        totalBytesReceived_ += static_cast<std::int64_t>(data.size());
        progress_->setTotalUnitCount(expected);
        progress_->setCompletedUnitCount(totalBytesReceived_);
        progress = progress_;
        handler = progressHandler_;
    }
    report(handler, progress);
}

// MARK: UploadTaskDelegate

ProgressPtr UploadTaskDelegate::uploadProgress() const {
    std::lock_guard lock(stateMutex_);
    return uploadProgress_;
}

std::optional<ProgressHandler> UploadTaskDelegate::uploadProgressHandler() const {
    std::lock_guard lock(stateMutex_);
    return uploadProgressHandler_;
}

void UploadTaskDelegate::setUploadProgressHandler(std::optional<ProgressHandler> handler) {
    std::lock_guard lock(stateMutex_);
    uploadProgressHandler_ = std::move(handler);
}

void UploadTaskDelegate::setTaskDidSendBodyData(DidSendBodyData closure) {
    std::lock_guard lock(stateMutex_);
    didSendBodyData_ = std::move(closure);
}

void UploadTaskDelegate::reset() {
    DataTaskDelegate::reset();
    std::lock_guard lock(stateMutex_);
    uploadProgress_ = std::make_shared<Progress>();
}

void UploadTaskDelegate::didSendBodyData(plat::URLSession& session, const TaskPtr& task,
                                         std::int64_t bytesSent, std::int64_t totalBytesSent,
                                         std::int64_t totalBytesExpectedToSend) {
    markFirstResponse();
    DidSendBodyData override;
    ProgressPtr progress;
    std::optional<ProgressHandler> handler;
    {
        std::lock_guard lock(stateMutex_);
        override = didSendBodyData_;
        if (!override) {
            uploadProgress_->setTotalUnitCount(totalBytesExpectedToSend);
            uploadProgress_->setCompletedUnitCount(totalBytesSent);
            progress = uploadProgress_;
            handler = uploadProgressHandler_;
        }
    }
    if (override) {
        override(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
        return;
    }
    report(handler, progress);
}

// MARK: DownloadTaskDelegate

ProgressPtr DownloadTaskDelegate::progress() const {
    std::lock_guard lock(stateMutex_);
    return progress_;
}

std::optional<ProgressHandler> DownloadTaskDelegate::progressHandler() const {
    std::lock_guard lock(stateMutex_);
    return progressHandler_;
}

void DownloadTaskDelegate::setProgressHandler(std::optional<ProgressHandler> handler) {
    std::lock_guard lock(stateMutex_);
    progressHandler_ = std::move(handler);
}

std::optional<plat::Data> DownloadTaskDelegate::resumeData() const {
    std::lock_guard lock(stateMutex_);
    return resumeData_;
}

void DownloadTaskDelegate::setResumeData(std::optional<plat::Data> data) {
    std::lock_guard lock(stateMutex_);
    resumeData_ = std::move(data);
}

DownloadDestination DownloadTaskDelegate::destination() const {
    std::lock_guard lock(stateMutex_);
    return destination_;
}

void DownloadTaskDelegate::setDestination(DownloadDestination destination) {
    std::lock_guard lock(stateMutex_);
    destination_ = std::move(destination);
}

std::optional<plat::URL> DownloadTaskDelegate::temporaryURL() const {
    std::lock_guard lock(stateMutex_);
    return temporaryURL_;
}

std::optional<plat::URL> DownloadTaskDelegate::destinationURL() const {
    std::lock_guard lock(stateMutex_);
    return destinationURL_;
}

void DownloadTaskDelegate::setDownloadTaskDidWriteData(DidWriteData closure) {
    std::lock_guard lock(stateMutex_);
    didWriteData_ = std::move(closure);
}

void DownloadTaskDelegate::reset() {
    TaskDelegate::reset();
    std::lock_guard lock(stateMutex_);
    progress_ = std::make_shared<Progress>();
    resumeData_.reset();
}

void DownloadTaskDelegate::recordCompletionError(const plat::Error& error) {
    const auto* resume = error.userInfo.find(plat::NSURLSessionDownloadTaskResumeData);
    if (resume && resume->isData()) {
        setResumeData(resume->asData());
    }
}

void DownloadTaskDelegate::didFinishDownloadingToURL(plat::URLSession&, const TaskPtr& task,
                                                     const plat::URL& location) {
    DownloadDestination destination;
    {
        std::lock_guard lock(stateMutex_);
        temporaryURL_ = location;
        destination = destination_;
    }
    const auto response = task ? task->response() : nullptr;
    if (!destination || !response) {
        return;
    }
    const auto [target, options] = destination(location, *response);
    {
        std::lock_guard lock(stateMutex_);
        destinationURL_ = target;
    }
    auto& files = plat::FileManager::defaultManager();
    plat::Result<void> outcome;
    if (options.contains(DownloadOptions::removeExistingFile()) && files.fileExists(target.path())) {
        outcome = files.removeItem(target.path());
    }
    if (outcome.ok() && options.contains(DownloadOptions::createIntermediateDirectories())) {
        outcome = files.createDirectory(target.deletingLastPathComponent().path(), true);
    }
    if (outcome.ok()) {
        outcome = files.moveItem(location.path(), target.path());
    }
    if (!outcome.ok()) {
        setError(AnyError(outcome.error()));
    }
}

void DownloadTaskDelegate::didWriteData(plat::URLSession& session, const TaskPtr& task,
                                        std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                        std::int64_t totalBytesExpectedToWrite) {
    markFirstResponse();
    DidWriteData override;
    ProgressPtr progress;
    std::optional<ProgressHandler> handler;
    {
        std::lock_guard lock(stateMutex_);
        override = didWriteData_;
        if (!override) {
            progress_->setTotalUnitCount(totalBytesExpectedToWrite);
            progress_->setCompletedUnitCount(totalBytesWritten);
            progress = progress_;
            handler = progressHandler_;
        }
    }
    if (override) {
        override(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
        return;
    }
    report(handler, progress);
}

void DownloadTaskDelegate::didResumeAtOffset(plat::URLSession& session, const TaskPtr& task,
                                             std::int64_t fileOffset, std::int64_t expectedTotalBytes) {
    if (const auto override = downloadTaskDidResumeAtOffset()) {
        override(session, task, fileOffset, expectedTotalBytes);
        return;
    }
    const auto current = progress();
    current->setTotalUnitCount(expectedTotalBytes);
    current->setCompletedUnitCount(fileOffset);
}

} // namespace Zavorida
