#include "Zavorida/Source/SessionManager.hpp"

#include <charconv>

#include "Zavorida/Source/ZVError.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/UUID.hpp"

namespace Zavorida {

namespace {

std::string shortestDouble(double value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::string textOrUnknown(const plat::Dictionary& info, std::string_view key) {
    const auto* value = info.find(key);
    return value && value->isString() ? value->stringValue() : "Unknown";
}

// The error a failed request reports: what the adapter threw, not the wrapper that marks it as an adapter's.
AnyError underlyingError(const AnyError& error) {
    return AdaptError::fromError(error).value_or(error);
}

} // namespace

std::string SessionManager::acceptLanguageValue() {
    std::string value;
    const auto languages = plat::Locale::preferredLanguages();
    for (std::size_t i = 0; i < languages.size() && i < 6; ++i) {
        const double quality = static_cast<double>(i) * -0.1 + 1.0;
        value += (i ? ", " : "") + languages[i] + ";q=" + shortestDouble(quality);
    }
    return value;
}

std::string SessionManager::userAgentValue() {
    const auto bundle = plat::Bundle::main();
    if (!bundle || !bundle->infoDictionary()) {
        return "Zavorida";
    }
    const auto& info = *bundle->infoDictionary();
    const auto executable = textOrUnknown(info, "CFBundleExecutable");
    const auto identifier = textOrUnknown(info, "CFBundleIdentifier");
    const auto version = textOrUnknown(info, "CFBundleShortVersionString");
    const auto build = textOrUnknown(info, "CFBundleVersion");
    const auto os = plat::ProcessInfo::processInfo().operatingSystemVersion();
    const auto osText = "iOS " + std::to_string(os.majorVersion) + "." + std::to_string(os.minorVersion) +
                        "." + std::to_string(os.patchVersion);
    std::string library = "Unknown";
    if (const auto own = plat::Bundle::forClass("SessionManager"); own && own->infoDictionary()) {
        if (const auto* libraryVersion = own->infoDictionary()->find("CFBundleShortVersionString")) {
            library = "Zavorida/" + libraryVersion->stringValue();
        }
    }
    return executable + "/" + version + " (" + identifier + "; build:" + build + "; " + osText + ") " +
           library;
}

HeaderDictionary SessionManager::standardHeaders() {
    static const HeaderDictionary headers{{"Accept-Encoding", "gzip;q=1.0, compress;q=0.5"},
                                          {"Accept-Language", acceptLanguageValue()},
                                          {"User-Agent", userAgentValue()}};
    return headers;
}

std::shared_ptr<SessionManager> SessionManager::sharedPointer() {
    static plat::NeverDestroyed<std::shared_ptr<SessionManager>> manager([] {
        auto configuration = plat::URLSessionConfiguration::defaultConfiguration();
        for (const auto& [name, value] : standardHeaders()) {
            configuration.httpAdditionalHeaders.set(name, plat::Value(value));
        }
        return make(configuration, std::make_shared<SessionDelegate>(), nullptr);
    }());
    return manager.get();
}

SessionManager& SessionManager::shared() {
    return *sharedPointer();
}

SessionManager::SessionManager(std::shared_ptr<SessionDelegate> delegate)
    : delegate_(std::move(delegate)),
      queue_(plat::DispatchQueue::makeSerial("org.zavorida.session-manager." +
                                             plat::UUID::random().uuidString())) {}

SessionManager::~SessionManager() {
    if (session_) {
        session_->invalidateAndCancel();
    }
}

std::shared_ptr<SessionManager>
SessionManager::make(const plat::URLSessionConfiguration& configuration,
                     std::shared_ptr<SessionDelegate> delegate,
                     std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
    std::shared_ptr<SessionManager> manager(new SessionManager(std::move(delegate)));
    manager->session_ = plat::URLSession::make(configuration, manager->delegate_);
    manager->setUp(std::move(serverTrustPolicyManager));
    return manager;
}

std::shared_ptr<SessionManager>
SessionManager::make(std::shared_ptr<plat::URLSession> session, std::shared_ptr<SessionDelegate> delegate,
                     std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
    if (!session || !delegate || session->delegate() != delegate) {
        return nullptr;
    }
    std::shared_ptr<SessionManager> manager(new SessionManager(std::move(delegate)));
    manager->session_ = std::move(session);
    manager->setUp(std::move(serverTrustPolicyManager));
    return manager;
}

void SessionManager::setUp(std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
    ServerTrustPolicyManager::attach(session_, std::move(serverTrustPolicyManager));
    delegate_->setSessionManager(shared_from_this());
    delegate_->setSessionDidFinishEventsForBackgroundURLSession([weak = weak_from_this()](plat::URLSession&) {
        if (!weak.lock()) {
            return;
        }
        plat::DispatchQueue::main()->async([weak] {
            const auto self = weak.lock();
            if (const auto handler = self ? self->backgroundCompletionHandler() : nullptr) {
                handler();
            }
        });
    });
}

std::shared_ptr<RequestAdapter> SessionManager::adapter() const {
    std::lock_guard lock(mutex_);
    return adapter_;
}

void SessionManager::setAdapter(std::shared_ptr<RequestAdapter> adapter) {
    std::lock_guard lock(mutex_);
    adapter_ = std::move(adapter);
}

std::function<void()> SessionManager::backgroundCompletionHandler() const {
    std::lock_guard lock(mutex_);
    return backgroundCompletionHandler_;
}

void SessionManager::setBackgroundCompletionHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    backgroundCompletionHandler_ = std::move(handler);
}

std::shared_ptr<DataRequest> SessionManager::makeDataRequestToURL(
    const URLConvertible& url, HTTPMethod method, const std::optional<ParameterDictionary>& parameters,
    const ParameterEncoding& encoding, const std::optional<HeaderDictionary>& headers) {
    std::optional<plat::URLRequest> original;
    try {
        original = makeRequest(url, method, headers);
        return makeDataRequest(URLRequestConvertible(encoding.encodeParameters(*original, parameters)));
    } catch (...) {
        return makeFailedDataRequest(original, AnyError::current());
    }
}

std::shared_ptr<DataRequest> SessionManager::makeDataRequest(const URLRequestConvertible& urlRequest) {
    std::optional<plat::URLRequest> original;
    try {
        original = urlRequest.makeURLRequest();
        auto originalTask = std::make_shared<Requestable>(*original);
        auto task = originalTask->makeTask(*session_, adapter(), queue_);
        auto request = Request::make<DataRequest>(session_, {Request::TaskKind::data, originalTask, task});
        delegate_->setRequest(*task, request);
        if (startRequestsImmediately()) {
            request->resume();
        }
        return request;
    } catch (...) {
        return makeFailedDataRequest(original, AnyError::current());
    }
}

std::shared_ptr<DataRequest> SessionManager::makeFailedDataRequest(std::optional<plat::URLRequest> urlRequest,
                                                                   const AnyError& error) {
    TaskConvertiblePtr originalTask;
    if (urlRequest) {
        originalTask = std::make_shared<Requestable>(std::move(*urlRequest));
    }
    return failed<DataRequest>(Request::TaskKind::data, std::move(originalTask), error);
}

template <class R>
std::shared_ptr<R> SessionManager::failed(Request::TaskKind kind, TaskConvertiblePtr originalTask,
                                          const AnyError& error, const std::function<void(R&)>& prepare) {
    auto request =
        Request::make<R>(session_, {kind, std::move(originalTask), nullptr}, underlyingError(error));
    if (prepare) {
        prepare(*request);
    }
    const auto currentRetrier = retrier();
    if (currentRetrier && error.as<AdaptError>()) {
        offerFailedRequestToRetrier(currentRetrier, request, underlyingError(error));
        return request;
    }
    if (startRequestsImmediately()) {
        request->resume();
    }
    return request;
}

void SessionManager::offerFailedRequestToRetrier(std::shared_ptr<RequestRetrier> retrier,
                                                 std::shared_ptr<Request> request, AnyError error) {
    auto utility = plat::DispatchQueue::global(plat::QoS::utility);
    utility->async([weak = weak_from_this(), retrier, request, error] {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        retrier->shouldRetry(*self, request, error, [weak, request](bool retry, double delay) {
            const auto manager = weak.lock();
            if (!manager) {
                return;
            }
            if (!retry) {
                if (manager->startRequestsImmediately()) {
                    request->resume();
                }
                return;
            }
            executeAfterDelay(*plat::DispatchQueue::global(plat::QoS::utility), delay, [weak, request] {
                const auto later = weak.lock();
                if (later && !later->retryRequest(request) && later->startRequestsImmediately()) {
                    request->resume();
                }
            });
        });
    });
}

std::shared_ptr<DownloadRequest> SessionManager::makeDownloadRequest(const URLRequestConvertible& urlRequest,
                                                                     DownloadDestination destination) {
    std::shared_ptr<const Downloadable> downloadable;
    try {
        // Converted before the destination is handed on, so a failed conversion still has it to keep.
        downloadable = std::make_shared<Downloadable>(Downloadable::request(urlRequest.makeURLRequest()));
    } catch (...) {
        return makeFailedDownloadRequest(nullptr, std::move(destination), AnyError::current());
    }
    return makeDownloadRequestFromDownloadable(std::move(downloadable), std::move(destination));
}

std::shared_ptr<DownloadRequest> SessionManager::makeResumedDownloadRequest(plat::Data resumeData,
                                                                            DownloadDestination destination) {
    return makeDownloadRequestFromDownloadable(
        std::make_shared<Downloadable>(Downloadable::resumeData(std::move(resumeData))),
        std::move(destination));
}

std::shared_ptr<DownloadRequest>
SessionManager::makeDownloadRequestFromDownloadable(std::shared_ptr<const Downloadable> downloadable,
                                                    DownloadDestination destination) {
    TaskConvertible::TaskPtr task;
    try {
        task = downloadable->makeTask(*session_, adapter(), queue_);
    } catch (...) {
        return makeFailedDownloadRequest(downloadable, std::move(destination), AnyError::current());
    }
    auto request =
        Request::make<DownloadRequest>(session_, {Request::TaskKind::download, downloadable, task});
    std::static_pointer_cast<DownloadTaskDelegate>(request->delegate())
        ->setDestination(std::move(destination));
    delegate_->setRequest(*task, request);
    if (startRequestsImmediately()) {
        request->resume();
    }
    return request;
}

std::shared_ptr<DownloadRequest>
SessionManager::makeFailedDownloadRequest(std::shared_ptr<const Downloadable> downloadable,
                                          DownloadDestination destination, const AnyError& error) {
    return failed<DownloadRequest>(Request::TaskKind::download, std::move(downloadable), error,
                                   [&](DownloadRequest& request) {
                                       std::static_pointer_cast<DownloadTaskDelegate>(request.delegate())
                                           ->setDestination(std::move(destination));
                                   });
}

std::shared_ptr<UploadRequest>
SessionManager::makeDataUploadRequest(plat::Data data, const URLRequestConvertible& urlRequest) {
    try {
        return makeUploadRequestFromUploadable(
            std::make_shared<Uploadable>(Uploadable::data(std::move(data), urlRequest.makeURLRequest())));
    } catch (...) {
        return makeFailedUploadRequest(nullptr, AnyError::current());
    }
}

std::shared_ptr<UploadRequest>
SessionManager::makeFileUploadRequest(plat::URL fileURL, const URLRequestConvertible& urlRequest) {
    try {
        return makeUploadRequestFromUploadable(
            std::make_shared<Uploadable>(Uploadable::file(std::move(fileURL), urlRequest.makeURLRequest())));
    } catch (...) {
        return makeFailedUploadRequest(nullptr, AnyError::current());
    }
}

std::shared_ptr<UploadRequest>
SessionManager::makeStreamUploadRequest(std::shared_ptr<plat::InputStream> stream,
                                        const URLRequestConvertible& urlRequest) {
    try {
        return makeUploadRequestFromUploadable(
            std::make_shared<Uploadable>(Uploadable::stream(std::move(stream), urlRequest.makeURLRequest())));
    } catch (...) {
        return makeFailedUploadRequest(nullptr, AnyError::current());
    }
}

std::shared_ptr<UploadRequest>
SessionManager::makeUploadRequestFromUploadable(std::shared_ptr<const Uploadable> uploadable) {
    TaskConvertible::TaskPtr task;
    try {
        task = uploadable->makeTask(*session_, adapter(), queue_);
    } catch (...) {
        return makeFailedUploadRequest(uploadable, AnyError::current());
    }
    auto request = Request::make<UploadRequest>(session_, {Request::TaskKind::upload, uploadable, task});
    if (const auto* streamed = std::get_if<Uploadable::FromStream>(&uploadable->value)) {
        // The same stream every time: when the session needs the body again (a redirect or an
        // authentication round) the stream has been read already, and the session fails the task rather
        // than send a truncated body.
        request->delegate()->setTaskNeedNewBodyStream(
            [stream = streamed->stream](plat::URLSession&, const TaskConvertible::TaskPtr&) {
                return stream;
            });
    }
    delegate_->setRequest(*task, request);
    if (startRequestsImmediately()) {
        request->resume();
    }
    return request;
}

std::shared_ptr<UploadRequest>
SessionManager::makeFailedUploadRequest(std::shared_ptr<const Uploadable> uploadable, const AnyError& error) {
    return failed<UploadRequest>(Request::TaskKind::upload, std::move(uploadable), error);
}

bool SessionManager::retryRequest(const std::shared_ptr<Request>& request) {
    if (!request || !request->originalTask()) {
        return false;
    }
    TaskConvertible::TaskPtr task;
    try {
        task = request->originalTask()->makeTask(*session_, adapter(), queue_);
    } catch (...) {
        request->delegate()->setError(underlyingError(AnyError::current()));
        return false;
    }
    const auto previous = request->task();
    request->delegate()->setTask(task);
    request->setRetryCount(request->retryCount() + 1);
    request->setStartTime(absoluteTimeNow());
    request->setEndTime(std::nullopt);
    // Registered once, before the task can run: a later second registration could re-add a request whose new
    // task had already finished, and nothing would ever remove it.
    if (previous) {
        if (!delegate_->moveRequest(*previous, *task, request)) {
            delegate_->setRequest(*task, request);
        }
    } else {
        delegate_->setRequest(*task, request);
    }
    task->resume();
    return true;
}

std::shared_ptr<DataRequest> requestWithDefaultSession(const URLConvertible& url, HTTPMethod method,
                                                       const std::optional<ParameterDictionary>& parameters,
                                                       const ParameterEncoding& encoding,
                                                       const std::optional<HeaderDictionary>& headers) {
    return SessionManager::shared().makeDataRequestToURL(url, method, parameters, encoding, headers);
}

std::shared_ptr<DataRequest>
requestWithDefaultSessionFromURLRequest(const URLRequestConvertible& urlRequest) {
    return SessionManager::shared().makeDataRequest(urlRequest);
}

} // namespace Zavorida
