#include "Zavorida/Source/Request.hpp"

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/RequestBuilding.hpp"
#include "platform/foundation/Base64.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/URLCredentialStorage.hpp"
#include "platform/net/URLError.hpp"

#include <map>

namespace Zavorida {

namespace {

plat::URLRequest adapted(const plat::URLRequest& request, const std::shared_ptr<RequestAdapter>& adapter) {
    if (!adapter) {
        return request;
    }
    try {
        return adapter->adapt(request);
    } catch (...) {
        throw AdaptError(AnyError::current());
    }
}

// Tasks of one manager are made one at a time on its queue.
template <class F> TaskConvertible::TaskPtr onQueue(const plat::DispatchQueuePtr& queue, F&& make) {
    if (!queue) {
        return make();
    }
    return queue->sync([&]() -> TaskConvertible::TaskPtr { return make(); });
}

std::shared_ptr<TaskDelegate> makeTaskDelegate(Request::TaskKind kind, Request::TaskPtr task) {
    switch (kind) {
    case Request::TaskKind::data:
        return std::make_shared<DataTaskDelegate>(std::move(task));
    case Request::TaskKind::download:
        return std::make_shared<DownloadTaskDelegate>(std::move(task));
    case Request::TaskKind::upload:
        return std::make_shared<UploadTaskDelegate>(std::move(task));
    case Request::TaskKind::stream:
        break;
    }
    return std::make_shared<TaskDelegate>(std::move(task));
}

} // namespace

// MARK: task factories

TaskConvertible::TaskPtr Requestable::makeTask(plat::URLSession& session,
                                               const std::shared_ptr<RequestAdapter>& adapter,
                                               const plat::DispatchQueuePtr& queue) const {
    const auto request = adapted(urlRequest_, adapter);
    return onQueue(queue, [&] { return session.dataTask(request); });
}

std::optional<plat::URLRequest> Downloadable::urlRequest() const {
    if (const auto* request = std::get_if<plat::URLRequest>(&value)) {
        return *request;
    }
    return std::nullopt;
}

TaskConvertible::TaskPtr Downloadable::makeTask(plat::URLSession& session,
                                                const std::shared_ptr<RequestAdapter>& adapter,
                                                const plat::DispatchQueuePtr& queue) const {
    if (const auto* resumeData = std::get_if<plat::Data>(&value)) {
        return onQueue(queue, [&] { return session.downloadTaskWithResumeData(*resumeData); });
    }
    const auto request = adapted(std::get<plat::URLRequest>(value), adapter);
    return onQueue(queue, [&] { return session.downloadTask(request); });
}

std::optional<plat::URLRequest> Uploadable::urlRequest() const {
    return std::visit([](const auto& upload) { return std::optional<plat::URLRequest>(upload.request); },
                      value);
}

TaskConvertible::TaskPtr Uploadable::makeTask(plat::URLSession& session,
                                              const std::shared_ptr<RequestAdapter>& adapter,
                                              const plat::DispatchQueuePtr& queue) const {
    if (const auto* fromData = std::get_if<FromData>(&value)) {
        const auto request = adapted(fromData->request, adapter);
        return onQueue(queue, [&] { return session.uploadTask(request, fromData->data); });
    }
    if (const auto* fromFile = std::get_if<FromFile>(&value)) {
        const auto request = adapted(fromFile->request, adapter);
        return onQueue(queue, [&] { return session.uploadTask(request, fromFile->fileURL); });
    }
    // The body stream is handed to the task later, through the task delegate's new-body-stream callback.
    const auto request = adapted(std::get<FromStream>(value).request, adapter);
    return onQueue(queue, [&] { return session.uploadTaskWithStreamedRequest(request); });
}

TaskConvertible::TaskPtr Streamable::makeTask(plat::URLSession& session,
                                              const std::shared_ptr<RequestAdapter>&,
                                              const plat::DispatchQueuePtr& queue) const {
    if (const auto* toHost = std::get_if<ToHost>(&value)) {
        return onQueue(queue, [&] { return session.streamTask(toHost->hostName, toHost->port); });
    }
    const auto& service = std::get<NetService>(value);
    if (!service.isResolved()) {
        throw plat::URLError::make(plat::NSURLErrorCannotFindHost, std::nullopt);
    }
    return onQueue(queue, [&] { return session.streamTask(*service.hostName, service.port); });
}

// MARK: Request

Request::Request(std::shared_ptr<plat::URLSession> session, RequestTask requestTask,
                 std::optional<AnyError> error)
    : session_(std::move(session)), originalTask_(std::move(requestTask.originalTask)),
      taskDelegate_(makeTaskDelegate(requestTask.kind, std::move(requestTask.task))) {
    taskDelegate_->setError(std::move(error));
}

void Request::queueEndTimeStamp() {
    // Weak: a request that is never resumed must not keep itself alive through its own suspended queue.
    delegate()->queue()->addOperationWithBlock([weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->setEndTime(absoluteTimeNow());
        }
    });
}

std::shared_ptr<TaskDelegate> Request::delegate() const {
    std::lock_guard lock(taskDelegateLock_);
    return taskDelegate_;
}

void Request::setDelegate(std::shared_ptr<TaskDelegate> delegate) {
    std::shared_ptr<TaskDelegate> previous;
    std::lock_guard lock(taskDelegateLock_);
    previous = std::exchange(taskDelegate_, std::move(delegate));
}

Request::TaskPtr Request::task() const {
    const auto taskDelegate = delegate();
    return taskDelegate ? taskDelegate->task() : nullptr;
}

std::optional<plat::URLRequest> Request::request() const {
    const auto current = task();
    return current ? current->originalRequest() : std::nullopt;
}

HTTPResponsePtr Request::response() const {
    const auto current = task();
    return current ? current->response() : nullptr;
}

std::optional<double> Request::startTime() const {
    std::lock_guard lock(timesMutex_);
    return startTime_;
}

void Request::setStartTime(std::optional<double> time) {
    std::lock_guard lock(timesMutex_);
    startTime_ = time;
}

std::optional<double> Request::endTime() const {
    std::lock_guard lock(timesMutex_);
    return endTime_;
}

void Request::setEndTime(std::optional<double> time) {
    std::lock_guard lock(timesMutex_);
    endTime_ = time;
}

std::vector<std::function<void()>> Request::validations() const {
    std::lock_guard lock(timesMutex_);
    return validations_;
}

void Request::setValidations(std::vector<std::function<void()>> validations) {
    std::lock_guard lock(timesMutex_);
    validations_ = std::move(validations);
}

std::shared_ptr<Request> Request::authenticate(std::string user, std::string password,
                                               plat::URLCredentialPersistence persistence) {
    return authenticate(plat::URLCredential(std::move(user), std::move(password), persistence));
}

std::shared_ptr<Request> Request::authenticate(plat::URLCredential credential) {
    delegate()->setCredential(std::move(credential));
    return shared_from_this();
}

std::optional<std::pair<std::string, std::string>> Request::authorizationHeader(const std::string& user,
                                                                                const std::string& password) {
    // std::string holds bytes; the platform refuses text that is not UTF-8, and so do we.
    const std::string credential = user + ":" + password;
    if (!plat::Encoding::decode(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(credential.data()),
                                          credential.size()),
            plat::UTF8StringEncoding)) {
        return std::nullopt;
    }
    return std::make_pair(std::string("Authorization"), "Basic " + plat::base64Encode(credential));
}

void Request::post(const char* name, const TaskPtr& task) {
    plat::Dictionary info;
    // The user info holds the task's identifier: platform values cannot carry a task object.
    info.set(Notification::Key::task, plat::Value(task->taskIdentifier()));
    plat::NotificationCenter::defaultCenter().post(name, this, std::move(info));
}

void Request::resume() {
    const auto current = task();
    if (!current) {
        delegate()->queue()->setSuspended(false);
        return;
    }
    {
        std::lock_guard lock(timesMutex_);
        if (!startTime_) {
            startTime_ = absoluteTimeNow();
        }
    }
    current->resume();
    post(Notification::Name::Task::didResume, current);
}

void Request::suspend() {
    if (const auto current = task()) {
        current->suspend();
        post(Notification::Name::Task::didSuspend, current);
    }
}

void Request::cancel() {
    if (const auto current = task()) {
        current->cancel();
        post(Notification::Name::Task::didCancel, current);
    }
}

std::string Request::description() const {
    std::vector<std::string> parts;
    if (const auto urlRequest = request()) {
        parts.push_back(urlRequest->httpMethod());
        if (urlRequest->url()) {
            parts.push_back(urlRequest->url()->absoluteString());
        }
    }
    if (const auto httpResponse = response()) {
        parts.push_back("(" + std::to_string(httpResponse->statusCode()) + ")");
    }
    std::string text;
    for (const auto& part : parts) {
        text += (text.empty() ? "" : " ") + part;
    }
    return text;
}

namespace {

std::string escapedQuotes(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// A backslash that escapes a quote in the body is doubled first, so the shell sees the backslash itself.
std::string escapedBody(std::string_view text) {
    std::string doubled;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
            doubled += '\\';
        }
        doubled += text[i];
    }
    return escapedQuotes(doubled);
}

} // namespace

std::string Request::debugDescription() const {
    const auto urlRequest = request();
    const auto url = urlRequest ? urlRequest->url() : std::nullopt;
    const auto host = url ? url->host() : std::nullopt;
    if (!host) {
        return "$ curl command could not be created";
    }
    std::vector<std::string> components{"$ curl -v"};
    if (urlRequest->httpMethod() != "GET") {
        components.push_back("-X " + urlRequest->httpMethod());
    }
    const auto& configuration = session_->configuration();
    if (const auto& storage = configuration.urlCredentialStorage) {
        plat::URLProtectionSpace space;
        space.host = *host;
        space.port = url->port().value_or(0);
        space.protocol = url->scheme().value_or("");
        space.realm = *host;
        space.authenticationMethod = plat::NSURLAuthenticationMethodHTTPBasic;
        if (const auto credentials = storage->credentials(space)) {
            for (const auto& [name, credential] : *credentials) {
                if (credential.user() && credential.password()) {
                    components.push_back("-u " + *credential.user() + ":" + *credential.password());
                }
            }
        } else if (const auto own = delegate()->credential(); own && own->user() && own->password()) {
            components.push_back("-u " + *own->user() + ":" + *own->password());
        }
    }
    if (configuration.httpShouldSetCookies && configuration.httpCookieStorage) {
        const auto cookies = configuration.httpCookieStorage->cookies(*url);
        if (!cookies.empty()) {
            std::string text;
            for (const auto& cookie : cookies) {
                text += cookie.name() + "=" + cookie.value() + ";";
            }
            text.pop_back();
            components.push_back("-b \"" + text + "\"");
        }
    }
    std::map<std::string, std::string> headers;
    for (const auto& [name, value] : configuration.httpAdditionalHeaders) {
        if (name != "Cookie") {
            headers[name] = value.stringValue();
        }
    }
    for (const auto& [name, value] : urlRequest->allHTTPHeaderFields()) {
        if (name != "Cookie") {
            headers[name] = value;
        }
    }
    for (const auto& [name, value] : headers) {
        components.push_back("-H \"" + name + ": " + escapedQuotes(value) + "\"");
    }
    if (const auto& body = urlRequest->httpBody()) {
        if (const auto text = plat::Encoding::decode(*body, plat::UTF8StringEncoding)) {
            components.push_back("-d \"" + escapedBody(*text) + "\"");
        }
    }
    components.push_back("\"" + url->absoluteString() + "\"");
    std::string joined;
    for (const auto& component : components) {
        joined += (joined.empty() ? "" : " \\\n\t") + component;
    }
    return joined;
}

Timeline Request::makeTimeline() const {
    const double requestStart = startTime().value_or(absoluteTimeNow());
    const double requestCompleted = endTime().value_or(absoluteTimeNow());
    const auto taskDelegate = delegate();
    const double initialResponse = taskDelegate->initialResponseTime().value_or(requestCompleted);
    return Timeline(requestStart, initialResponse, requestCompleted, absoluteTimeNow());
}

// MARK: DataRequest

std::shared_ptr<DataTaskDelegate> DataRequest::dataDelegate() const {
    return std::static_pointer_cast<DataTaskDelegate>(delegate());
}

std::optional<plat::URLRequest> DataRequest::request() const {
    if (auto fromTask = Request::request()) {
        return fromTask;
    }
    const auto* requestable = dynamic_cast<const Requestable*>(originalTask().get());
    return requestable ? std::optional<plat::URLRequest>(requestable->urlRequest_) : std::nullopt;
}

ProgressPtr DataRequest::progress() const {
    return dataDelegate()->progress();
}

std::shared_ptr<DataRequest> DataRequest::setDataStream(std::function<void(const plat::Data&)> closure) {
    dataDelegate()->setDataStream(std::move(closure));
    return std::static_pointer_cast<DataRequest>(shared_from_this());
}

std::shared_ptr<DataRequest>
DataRequest::setProgressHandler(plat::DispatchQueuePtr queue,
                                std::function<void(const ProgressPtr&)> closure) {
    dataDelegate()->setProgressHandler(ProgressHandler{std::move(closure), detail::completionQueue(queue)});
    return std::static_pointer_cast<DataRequest>(shared_from_this());
}

std::shared_ptr<DataRequest> DataRequest::addResponseHandler(plat::DispatchQueuePtr queue,
                                                             DefaultHandler completionHandler) {
    auto self = std::static_pointer_cast<DataRequest>(shared_from_this());
    delegate()->queue()->addOperationWithBlock(
        [self, queue = std::move(queue), completionHandler = std::move(completionHandler)] {
            detail::completionQueue(queue)->async([self, completionHandler] {
                const auto taskDelegate = self->dataDelegate();
                DefaultDataResponse record(self->request(), self->response(), taskDelegate->data(),
                                           taskDelegate->error(), self->makeTimeline());
                record.attachMetrics(taskDelegate->metrics());
                if (completionHandler) {
                    completionHandler(record);
                }
            });
        });
    return self;
}

// MARK: UploadRequest

std::optional<plat::URLRequest> UploadRequest::request() const {
    if (auto fromData = DataRequest::request()) {
        return fromData;
    }
    return originalTask() ? originalTask()->urlRequest() : std::nullopt;
}

ProgressPtr UploadRequest::uploadProgress() const {
    return std::static_pointer_cast<UploadTaskDelegate>(delegate())->uploadProgress();
}

std::shared_ptr<UploadRequest>
UploadRequest::setUploadProgressHandler(plat::DispatchQueuePtr queue,
                                        std::function<void(const ProgressPtr&)> closure) {
    std::static_pointer_cast<UploadTaskDelegate>(delegate())
        ->setUploadProgressHandler(ProgressHandler{std::move(closure), detail::completionQueue(queue)});
    return std::static_pointer_cast<UploadRequest>(shared_from_this());
}

// MARK: DownloadRequest

std::shared_ptr<DownloadTaskDelegate> DownloadRequest::downloadDelegate() const {
    return std::static_pointer_cast<DownloadTaskDelegate>(delegate());
}

std::optional<plat::URLRequest> DownloadRequest::request() const {
    if (auto fromTask = Request::request()) {
        return fromTask;
    }
    const auto* downloadable = dynamic_cast<const Downloadable*>(originalTask().get());
    return downloadable ? downloadable->urlRequest() : std::nullopt;
}

DownloadDestination DownloadRequest::suggestedDestination(plat::SearchPathDirectory directory, int domain) {
    return [directory, domain](const plat::URL& temporaryURL, const plat::HTTPURLResponse& response) {
        const auto folders = plat::FileManager::defaultManager().urls(directory, domain);
        if (folders.empty()) {
            return DownloadDestinationResult{temporaryURL, {}};
        }
        return DownloadDestinationResult{
            plat::URL::file(folders.front(), true).appendingPathComponent(response.suggestedFilename()), {}};
    };
}

std::optional<plat::Data> DownloadRequest::resumeData() const {
    return downloadDelegate()->resumeData();
}

ProgressPtr DownloadRequest::progress() const {
    return downloadDelegate()->progress();
}

std::shared_ptr<DownloadRequest>
DownloadRequest::setProgressHandler(plat::DispatchQueuePtr queue,
                                    std::function<void(const ProgressPtr&)> closure) {
    downloadDelegate()->setProgressHandler(
        ProgressHandler{std::move(closure), detail::completionQueue(queue)});
    return std::static_pointer_cast<DownloadRequest>(shared_from_this());
}

std::shared_ptr<DownloadRequest>
DownloadRequest::addResponseHandler(plat::DispatchQueuePtr queue,
                                    std::function<void(const DefaultDownloadResponse&)> completionHandler) {
    auto self = std::static_pointer_cast<DownloadRequest>(shared_from_this());
    delegate()->queue()->addOperationWithBlock([self, queue = std::move(queue),
                                                completionHandler = std::move(completionHandler)] {
        detail::completionQueue(queue)->async([self, completionHandler] {
            const auto taskDelegate = self->downloadDelegate();
            DefaultDownloadResponse record(self->request(), self->response(), taskDelegate->temporaryURL(),
                                           taskDelegate->destinationURL(), taskDelegate->resumeData(),
                                           taskDelegate->error(), self->makeTimeline());
            record.attachMetrics(taskDelegate->metrics());
            if (completionHandler) {
                completionHandler(record);
            }
        });
    });
    return self;
}

void DownloadRequest::cancel() {
    const auto current = std::dynamic_pointer_cast<plat::URLSessionDownloadTask>(task());
    if (!current) {
        return;
    }
    current->cancelByProducingResumeData([weak = weak_from_this()](std::optional<plat::Data> data) {
        if (const auto self = std::static_pointer_cast<DownloadRequest>(weak.lock())) {
            self->downloadDelegate()->setResumeData(std::move(data));
        }
    });
    post(Notification::Name::Task::didCancel, current);
}

} // namespace Zavorida
