#include "kit_host/VZRURLSession.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Runtime.hpp"

#include <cstdio>

namespace {

// Hands the URL connection's callbacks (main queue) to the task's own queue, in order.
class VZRTaskConnectionDelegate : public plat::URLConnectionDelegate {
public:
    explicit VZRTaskConnectionDelegate(std::shared_ptr<VZRURLSessionDataTask> task) : task_(std::move(task)) {}
    void didReceiveResponse(plat::URLConnection&, const plat::HTTPURLResponse& response) override {
        auto copy = std::make_shared<const plat::HTTPURLResponse>(response);
        task_->queue()->async([task = task_, copy] { task->connectionDidReceiveResponse(copy); });
    }
    void didReceiveData(plat::URLConnection&, const plat::Data& data) override {
        task_->queue()->async([task = task_, data] { task->connectionDidReceiveData(data); });
    }
    void didFinishLoading(plat::URLConnection&) override {
        task_->queue()->async([task = task_] { task->connectionDidFinishLoading(); });
    }
    void didFailWithError(plat::URLConnection&, const plat::Error& error) override {
        task_->queue()->async([task = task_, error] { task->connectionDidFailWithError(error); });
    }

private:
    std::shared_ptr<VZRURLSessionDataTask> task_;
};

} // namespace

// ---- configuration ----

std::shared_ptr<VZRURLSessionConfiguration> VZRURLSessionConfiguration::defaultSessionConfiguration() {
    if (VZRURLSession::NSURLSessionShouldBeUsed())
        return std::make_shared<VZRURLSessionConfiguration>(plat::URLSessionConfiguration::defaultConfiguration());
    return std::make_shared<VZRURLSessionConfiguration>();
}

std::shared_ptr<VZRURLSessionConfiguration> VZRURLSessionConfiguration::ephemeralSessionConfiguration() {
    if (VZRURLSession::NSURLSessionShouldBeUsed())
        return std::make_shared<VZRURLSessionConfiguration>(plat::URLSessionConfiguration::ephemeral());
    return std::make_shared<VZRURLSessionConfiguration>();
}

std::shared_ptr<VZRURLSessionConfiguration>
VZRURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
    if (VZRURLSession::NSURLSessionShouldBeUsed())
        return std::make_shared<VZRURLSessionConfiguration>(plat::URLSessionConfiguration::background(std::move(identifier)));
    return nullptr;
}

plat::Dictionary VZRURLSessionConfiguration::HTTPAdditionalHeaders() const {
    return platform_ ? platform_->httpAdditionalHeaders : headers_;
}

void VZRURLSessionConfiguration::setHTTPAdditionalHeaders(plat::Dictionary headers) {
    if (platform_)
        platform_->httpAdditionalHeaders = std::move(headers);
    else
        headers_ = std::move(headers);
}

std::shared_ptr<VZRURLSessionConfiguration> VZRURLSessionConfiguration::copy() const {
    if (platform_)
        return std::make_shared<VZRURLSessionConfiguration>(*platform_);
    auto out = std::make_shared<VZRURLSessionConfiguration>();
    out->headers_ = headers_;
    return out;
}

// ---- tasks ----

VZRURLSessionTask::VZRURLSessionTask() : queue_(plat::DispatchQueue::makeSerial(kQueueLabel)) {}

std::optional<plat::URLRequest> VZRURLSessionTask::originalRequest() const {
    std::lock_guard lock(mutex_);
    return originalRequest_;
}

std::shared_ptr<const plat::HTTPURLResponse> VZRURLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

std::optional<plat::Error> VZRURLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string VZRURLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void VZRURLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

void VZRURLSessionDataTask::resume() {
    auto self = std::static_pointer_cast<VZRURLSessionDataTask>(shared_from_this());
    queue_->async([self] {
        if (self->started_ || self->ended())
            return;
        self->started_ = true;
        auto request = self->originalRequest();
        if (!request)
            return;
        self->connectionDelegate_ = std::make_shared<VZRTaskConnectionDelegate>(self);
        self->connection_.emplace(*request, self->connectionDelegate_);
    });
}

void VZRURLSessionDataTask::cancel() {
    // From now on every event is dropped, also those already queued: a cancelled task reports nothing more.
    cancelled_.store(true);
    auto self = std::static_pointer_cast<VZRURLSessionDataTask>(shared_from_this());
    queue_->async([self] {
        if (self->ended_)
            return;
        self->ended_ = true;
        self->cancelConnection();
        if (auto session = self->session_.lock())
            session->removeTaskFromSet(self);
    });
}

void VZRURLSessionDataTask::cancelConnection() {
    if (connection_)
        connection_->cancel();
    releaseConnection();
}

void VZRURLSessionDataTask::releaseConnection() {
    // The connection's delegate holds this task: let go of both once the load has ended.
    connectionDelegate_.reset();
    connection_.reset();
}

void VZRURLSessionDataTask::connectionDidReceiveResponse(std::shared_ptr<const plat::HTTPURLResponse> response) {
    if (ended())
        return;
    if (auto session = session_.lock())
        session->taskDidReceiveResponse(shared_from_this(), *response);
    std::lock_guard lock(mutex_);
    response_ = std::move(response);
}

void VZRURLSessionDataTask::connectionDidReceiveData(const plat::Data& data) {
    if (ended())
        return;
    if (!data_)
        data_.emplace();
    data_->insert(data_->end(), data.begin(), data.end());
    if (auto session = session_.lock())
        session->taskDidReceiveData(shared_from_this(), data);
}

void VZRURLSessionDataTask::connectionDidFailWithError(const plat::Error& error) {
    if (ended())
        return;
    {
        std::lock_guard lock(mutex_);
        error_ = error;
    }
    complete();
}

void VZRURLSessionDataTask::connectionDidFinishLoading() {
    if (ended())
        return;
    complete();
}

void VZRURLSessionDataTask::complete() {
    if (ended())
        return;
    ended_ = true;
    releaseConnection();
    const auto response = this->response();
    const auto error = this->error();
    if (completionHandler_)
        completionHandler_(data_, response, error);
    if (auto session = session_.lock())
        session->taskDidCompleteWithError(shared_from_this(), error);
}

VZRURLSessionDownloadTask::VZRURLSessionDownloadTask() : targetURL_(temporaryFileURL()) {
    outputStream_ = plat::OutputStream::toFile(targetURL_.path(), false);
}

VZRURLSessionDownloadTask::~VZRURLSessionDownloadTask() {
    if (outputStream_) {
        outputStream_->setDelegate(nullptr);
        outputStream_->close();
    }
}

plat::URL VZRURLSessionDownloadTask::temporaryFileURL() {
    const std::string folder = plat::FileManager::defaultManager().temporaryDirectory();
    std::string path = folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    return plat::URL::file(path + plat::ProcessInfo::processInfo().globallyUniqueString(), false);
}

bool VZRURLSessionDownloadTask::writeDataToStream(const plat::Data& data) {
    if (outputStream_->streamStatus() == plat::StreamStatus::NotOpen)
        outputStream_->open();
    std::size_t offset = 0;
    while (offset < data.size()) {
        const ssize_t n = outputStream_->write(data.data() + offset, data.size() - offset);
        if (n <= 0)
            return false;
        offset += static_cast<std::size_t>(n);
    }
    return true;
}

void VZRURLSessionDownloadTask::connectionDidReceiveData(const plat::Data& data) {
    if (ended())
        return;
    // Received bytes go to the file only; the session hears nothing of them.
    if (!writeDataToStream(data)) {
        // On the task's queue already: end now, so a finish event queued behind cannot report the
        // truncated file as a completed download.
        outputStream_->close();
        cancelConnection();
        {
            std::lock_guard lock(mutex_);
            if (!error_)
                error_ = plat::Error(kErrorDomain, kStreamErrorCode);
        }
        complete();
    }
}

void VZRURLSessionDownloadTask::completeForError() {
    auto self = std::static_pointer_cast<VZRURLSessionDownloadTask>(shared_from_this());
    queue_->async([self] {
        if (self->ended())
            return;
        self->outputStream_->close();
        self->cancelConnection();
        {
            std::lock_guard lock(self->mutex_);
            if (!self->error_)
                self->error_ = plat::Error(kErrorDomain, kStreamErrorCode);
        }
        self->complete();
    });
}

void VZRURLSessionDownloadTask::complete() {
    if (ended())
        return;
    markEnded();
    releaseConnection();
    // An empty body still hands over a file.
    if (!error() && outputStream_->streamStatus() == plat::StreamStatus::NotOpen)
        outputStream_->open();
    outputStream_->close();
    if (outputStream_->streamStatus() == plat::StreamStatus::Error) {
        std::lock_guard lock(mutex_);
        if (!error_)
            error_ = plat::Error(kErrorDomain, kStreamErrorCode);
    }
    const auto response = this->response();
    const auto error = this->error();
    auto self = std::static_pointer_cast<VZRURLSessionDownloadTask>(shared_from_this());
    if (downloadCompletionHandler_)
        downloadCompletionHandler_(error ? std::nullopt : std::optional<plat::URL>(targetURL_), response, error);
    auto session = session_.lock();
    if (error) {
        // Nothing may read a partial file.
        cleanup();
    } else if (session) {
        session->downloadTaskDidFinishDownloadingToURL(self, targetURL_);
    } else {
        cleanup();
    }
    if (session)
        session->taskDidCompleteWithError(self, error);
}

void VZRURLSessionDownloadTask::cleanup() {
    (void)plat::FileManager::defaultManager().removeItem(targetURL_.path());
}

// ---- session ----

bool VZRURLSession::NSURLSessionShouldBeUsed() {
    if (!plat::rt::getClass("NSURLSession"))
        return false;
    plat::rt::Class* configuration = plat::rt::getClass("NSURLSessionConfiguration");
    return configuration &&
           !plat::rt::methodImplementation(plat::rt::metaclass(configuration),
                                           plat::rt::sel("backgroundSessionConfigurationWithIdentifier:"))
                .isNull();
}

VZRSessionPtr VZRURLSession::sessionWithConfiguration(const std::shared_ptr<VZRURLSessionConfiguration>& configuration,
                                                      std::shared_ptr<VZRSessionDelegate> delegate,
                                                      std::shared_ptr<plat::OperationQueue> delegateQueue) {
    if (!configuration)
        return nullptr;
    if (NSURLSessionShouldBeUsed()) {
        plat::URLSessionConfiguration platform = configuration->platformConfiguration().value_or(
            plat::URLSessionConfiguration::defaultConfiguration());
        if (!configuration->platformConfiguration())
            platform.httpAdditionalHeaders = configuration->HTTPAdditionalHeaders();
        return VZRMakePlatformSession(platform, std::move(delegate), std::move(delegateQueue));
    }
    if (delegate && !delegateQueue)
        delegateQueue = newDefaultDelegateQueue();
    return std::make_shared<VZRURLSession>(configuration->copy(), std::move(delegate), std::move(delegateQueue));
}

std::shared_ptr<plat::OperationQueue> VZRURLSession::newDefaultDelegateQueue() {
    // The platform names it after the class object; the address of this marker stands for it.
    static const char classMarker = 0;
    char name[64];
    std::snprintf(name, sizeof name, "VZRURLSession %p", static_cast<const void*>(&classMarker));
    auto queue = plat::OperationQueue::create(name);
    queue->setMaxConcurrentOperationCount(1);
    return queue;
}

VZRURLSession::VZRURLSession(std::shared_ptr<VZRURLSessionConfiguration> configuration,
                             std::shared_ptr<VZRSessionDelegate> delegate,
                             std::shared_ptr<plat::OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)),
      queue_(plat::DispatchQueue::makeSerial(kQueueLabel)), delegate_(std::move(delegate)) {}

void VZRURLSession::configureTask(const std::shared_ptr<VZRURLSessionTask>& task, const plat::URLRequest& request,
                                  const std::function<void(plat::URLRequest&)>& block) {
    plat::URLRequest mutableRequest = request;
    queue_->sync([&] {
        taskSet_.insert(task);
        // Add-value: a field the request already carries keeps its value and gets this one appended.
        for (const auto& [field, value] : configuration_->HTTPAdditionalHeaders())
            mutableRequest.addValue(value.stringValue(), field);
    });
    if (block)
        block(mutableRequest);
    std::lock_guard lock(task->mutex_);
    task->originalRequest_ = mutableRequest;
    task->session_ = weak_from_this();
}

VZRSessionTaskPtr VZRURLSession::dataTask(const plat::URLRequest& request, DataCompletion completion) {
    auto task = std::make_shared<VZRURLSessionDataTask>();
    if (completion) {
        task->completionHandler_ = std::move(completion);
        task->invokesDelegate_ = false;
    }
    configureTask(task, request);
    return task;
}

VZRSessionTaskPtr VZRURLSession::uploadTask(const plat::URLRequest& request, const plat::URL& fileURL,
                                            DataCompletion completion) {
    auto task = std::make_shared<VZRURLSessionUploadTask>();
    if (completion) {
        task->completionHandler_ = std::move(completion);
        task->invokesDelegate_ = false;
    }
    configureTask(task, request, [&fileURL](plat::URLRequest& r) {
        r.setHTTPBody(std::nullopt);
        r.setHTTPBodyStream(plat::InputStream::withFile(fileURL.path()));
    });
    return task;
}

VZRSessionTaskPtr VZRURLSession::downloadTask(const plat::URLRequest& request, DownloadCompletion completion) {
    auto task = std::make_shared<VZRURLSessionDownloadTask>();
    if (completion) {
        task->downloadCompletionHandler_ = std::move(completion);
        task->invokesDelegate_ = false;
    }
    std::weak_ptr<VZRURLSessionDownloadTask> weak = task;
    task->outputStream_->setDelegate([weak](plat::Stream&, plat::StreamEvent event) {
        if (event != plat::StreamEventErrorOccurred)
            return;
        if (auto t = weak.lock())
            t->completeForError();
    });
    configureTask(task, request);
    return task;
}

void VZRURLSession::getTasks(std::function<void(TaskList, TaskList, TaskList)> completion) {
    if (!completion)
        return;
    // A session made without a queue answers on a queue of its own for this call.
    auto queue = delegateQueue_ ? delegateQueue_ : newDefaultDelegateQueue();
    queue->addOperationWithBlock([completion = std::move(completion)] { completion({}, {}, {}); });
}

void VZRURLSession::finishTasksAndInvalidate() {
    std::lock_guard lock(mutex_);
    delegate_.reset();
}

void VZRURLSession::invalidateAndCancel() {
    queue_->sync([this] {
        for (const auto& task : taskSet_)
            task->cancel();
    });
    std::lock_guard lock(mutex_);
    delegate_.reset();
}

std::shared_ptr<VZRSessionDelegate> VZRURLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::string VZRURLSession::sessionDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void VZRURLSession::setSessionDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

std::size_t VZRURLSession::liveTaskCount() const {
    return queue_->sync([this] { return taskSet_.size(); });
}

void VZRURLSession::removeTaskFromSet(const std::shared_ptr<VZRURLSessionTask>& task) {
    auto self = shared_from_this();
    queue_->async([self, task] { self->taskSet_.erase(task); });
}

std::shared_ptr<VZRSessionDelegate> VZRURLSession::delegateFor(std::string_view selector,
                                                               const VZRURLSessionTask& task) const {
    if (!task.invokesDelegate())
        return nullptr;
    auto d = delegate();
    return d && delegateQueue_ && d->respondsTo(selector) ? d : nullptr;
}

void VZRURLSession::taskDidCompleteWithError(const std::shared_ptr<VZRURLSessionTask>& task,
                                             const std::optional<plat::Error>& error) {
    auto d = delegateFor(plat::URLSessionSelector::didCompleteWithError, *task);
    if (!d) {
        removeTaskFromSet(task);
        return;
    }
    auto self = shared_from_this();
    delegateQueue_->addOperationWithBlock([self, d, task, error] {
        d->didCompleteWithError(*self, task, error);
        self->removeTaskFromSet(task);
    });
}

void VZRURLSession::taskDidReceiveResponse(const std::shared_ptr<VZRURLSessionTask>& task,
                                           const plat::HTTPURLResponse& response) {
    auto d = delegateFor(plat::URLSessionSelector::didReceiveResponse, *task);
    if (!d)
        return;
    auto self = shared_from_this();
    delegateQueue_->addOperationWithBlock([self, d, task, response] {
        d->didReceiveResponse(*self, task, response, [](plat::URLSessionResponseDisposition) {});
    });
}

void VZRURLSession::taskDidReceiveData(const std::shared_ptr<VZRURLSessionTask>& task, const plat::Data& data) {
    auto d = delegateFor(plat::URLSessionSelector::didReceiveData, *task);
    if (!d)
        return;
    auto self = shared_from_this();
    delegateQueue_->addOperationWithBlock([self, d, task, data] { d->didReceiveData(*self, task, data); });
}

void VZRURLSession::downloadTaskDidFinishDownloadingToURL(const std::shared_ptr<VZRURLSessionDownloadTask>& task,
                                                          const plat::URL& location) {
    auto d = delegateFor(plat::URLSessionSelector::didFinishDownloadingToURL, *task);
    if (!d) {
        task->cleanup();
        return;
    }
    auto self = shared_from_this();
    delegateQueue_->addOperationWithBlock([self, d, task, location] {
        d->didFinishDownloadingToURL(*self, task, location);
        task->cleanup();
    });
}
