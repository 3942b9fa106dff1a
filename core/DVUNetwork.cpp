#include "core/DVUNetwork.hpp"

#include "core/DVUGzip.hpp"
#include "core/DVULogger.hpp"
#include "deployment/Deployment.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/security/SecTrust.hpp"

#include <cmath>
#include <cstdio>
#include <map>

namespace {

constexpr const char* kNetworkService = "[DVUNetwork]";
constexpr double kNetworkTempFileExpiry = 3600;
constexpr long kNetworkNoSuchFileReadError = 260;
constexpr long kNetworkNoSuchFileError = 4;

std::string netCode(long code) {
    char text[16];
    std::snprintf(text, sizeof text, "I-NET%06ld", code);
    return text;
}

const char* netLevelName(long level) {
    switch (level) {
    case kDVUNetworkLogLevelError:
        return "ERROR";
    case kDVUNetworkLogLevelWarning:
        return "WARNING";
    case kDVUNetworkLogLevelInfo:
        return "INFO";
    case kDVUNetworkLogLevelDebug:
        return "DEBUG";
    default:
        return "";
    }
}

plat::Error netError(long code) {
    const char* context = code == 2   ? "Cannot create network session"
                          : code == 5 ? "Network Error: Empty network response"
                                      : "Failed to create network request";
    return plat::Error(kDVUNetworkErrorDomain, code, plat::Dictionary{{"Context", plat::Value(context)}});
}

plat::Value netErrorContext(const plat::Error& error) {
    return plat::Value(error.description());
}

// Session ID to fetcher, held weakly, under one lock.
struct NetFetcherMap {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<DVUNetworkURLSession>> fetchers;
};

NetFetcherMap& netFetcherMap() {
    static plat::NeverDestroyed<NetFetcherMap> map;
    return map.get();
}

// One trust evaluation at a time.
std::mutex& netTrustMonitor() {
    static plat::NeverDestroyed<std::mutex> monitor;
    return monitor.get();
}

plat::rt::Class* netFetcherClass() {
    static plat::rt::Class* cls = plat::rt::registerClass<DVUNetworkURLSession>("DVUNetworkURLSession");
    return cls;
}

} // namespace

// ---- fetcher ---------------------------------------------------------------------------------------------

DVUNetworkURLSession::DVUNetworkURLSession(plat::rt::Class* cls) : plat::rt::Object(cls) {}

std::shared_ptr<DVUNetworkURLSession> DVUNetworkURLSession::initWithNetworkLoggerDelegate(
    std::weak_ptr<DVUNetworkLoggerDelegate> loggerDelegate) {
    auto fetcher = plat::rt::make<DVUNetworkURLSession>(netFetcherClass());
    fetcher->networkDirectoryURL_ = plat::AppHome::applicationSupport() + "/DVU/Network/DVUNetworkTemporaryDirectory";
    fetcher->sessionID_ = std::string(kDVUNetworkBackgroundSessionPrefix) + "-" + plat::UUID::random().uuidString();
    fetcher->loggerDelegate_ = std::move(loggerDelegate);
    return fetcher;
}

void DVUNetworkURLSession::log(long level, long code, const std::string& message, std::vector<plat::Value> contexts) {
    if (auto delegate = loggerDelegate_.lock()) {
        delegate->DVUNetwork_logWithLevel(level, code, message, contexts);
    }
}

std::optional<std::string> DVUNetworkURLSession::sessionIDFromAsyncPOSTRequest(const plat::URLRequest& request,
                                                                              DVUNetworkFetcherCompletion completion) {
    uploadingFileURL_ = temporaryFilePathWithSessionID(sessionID_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, kNetworkTempFileExpiry);

    auto self = std::static_pointer_cast<DVUNetworkURLSession>(shared_from_this());
    const plat::Data body = request.httpBody().value_or(plat::Data());
    std::shared_ptr<plat::URLSession> session;
    std::shared_ptr<plat::URLSessionTask> task;
    if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
        plat::WriteOptions options;
        options.atomic = true;
        options.permissions = 0600;
        auto written = plat::writeData(uploadingFileURL_, body, options);
        if (!written) {
            log(kDVUNetworkLogLevelError, 901000, "Failed to write request data to file",
                {netErrorContext(written.error())});
        } else {
            excludeFromBackupForURL(uploadingFileURL_);
            auto config = backgroundSessionConfigWithSessionID(sessionID_);
            populateSessionConfig(config, request);
            session = plat::URLSession::make(config, self, plat::OperationQueue::main());
            task = session ? session->uploadTask(request, plat::URL::file(uploadingFileURL_)) : nullptr;
        }
    }
    if (!task) {
        // Foreground, or the background set-up failed.
        if (session) {
            session->invalidateAndCancel();
        }
        session = foregroundSessionForRequest(request);
        task = session ? session->uploadTask(request, body) : nullptr;
    }
    return startTask(session, task, request, std::move(completion));
}

std::optional<std::string> DVUNetworkURLSession::sessionIDFromAsyncGETRequest(const plat::URLRequest& request,
                                                                             DVUNetworkFetcherCompletion completion) {
    std::shared_ptr<plat::URLSession> session;
    if (backgroundNetworkEnabled_) {
        auto config = backgroundSessionConfigWithSessionID(sessionID_);
        populateSessionConfig(config, request);
        session = plat::URLSession::make(config, std::static_pointer_cast<DVUNetworkURLSession>(shared_from_this()),
                                         plat::OperationQueue::main());
    } else {
        session = foregroundSessionForRequest(request);
    }
    auto task = session ? session->downloadTask(request) : nullptr;
    return startTask(session, task, request, std::move(completion));
}

std::shared_ptr<plat::URLSession> DVUNetworkURLSession::foregroundSessionForRequest(const plat::URLRequest& request) {
    if (sharedSession_) {
        onSharedSession_ = true;
        return sharedSession_->sessionForRequest(request);
    }
    onSharedSession_ = false;
    auto config = plat::URLSessionConfiguration::defaultConfiguration();
    populateSessionConfig(config, request);
    return plat::URLSession::make(config, std::static_pointer_cast<DVUNetworkURLSession>(shared_from_this()),
                                  plat::OperationQueue::main());
}

std::optional<std::string> DVUNetworkURLSession::startTask(const std::shared_ptr<plat::URLSession>& session,
                                                           const std::shared_ptr<plat::URLSessionTask>& task,
                                                           const plat::URLRequest& request,
                                                           DVUNetworkFetcherCompletion completion) {
    if (!session || !task) {
        if (session && !onSharedSession_) {
            session->invalidateAndCancel();
        }
        callCompletionHandler(std::move(completion), nullptr, std::nullopt, netError(2));
        return std::nullopt;
    }
    {
        std::lock_guard lock(mutex_);
        URLSession_ = session;
        request_ = request;
        completionHandler_ = std::move(completion);
    }
    auto self = std::static_pointer_cast<DVUNetworkURLSession>(shared_from_this());
    if (onSharedSession_) {
        sharedSession_->attach(task, self);
    }
    setSessionInFetcherMap(self, sessionID_);
    task->resume();
    return sessionID_;
}

void DVUNetworkURLSession::populateSessionConfig(plat::URLSessionConfiguration& config,
                                                 const plat::URLRequest& request) const {
    plat::Dictionary headers;
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
        headers.set(name, plat::Value(value));
    }
    config.httpAdditionalHeaders = std::move(headers);
    config.timeoutIntervalForRequest = request.timeoutInterval();
    config.timeoutIntervalForResource = request.timeoutInterval();
    config.requestCachePolicy = request.cachePolicy();
}

plat::URLSessionConfiguration DVUNetworkURLSession::backgroundSessionConfigWithSessionID(
    const std::string& sessionID) const {
    return plat::URLSessionConfiguration::background(sessionID);
}

std::string DVUNetworkURLSession::temporaryFilePathWithSessionID(const std::string& sessionID) const {
    return networkDirectoryURL_ + "/DVUUpload_temp_" + sessionID;
}

bool DVUNetworkURLSession::ensureTemporaryDirectoryExists() {
    auto& fm = plat::FileManager::defaultManager();
    bool isDirectory = false;
    if (fm.fileExists(networkDirectoryURL_, &isDirectory) && isDirectory) {
        return true;
    }
    auto created = fm.createDirectory(networkDirectoryURL_, true,
                                      plat::Dictionary{{plat::NSFilePosixPermissions, plat::Value(int64_t(0700))}});
    if (!created) {
        log(kDVUNetworkLogLevelError, 901015, "Cannot create temporary directory. Error",
            {netErrorContext(created.error())});
        return false;
    }
    excludeFromBackupForURL(networkDirectoryURL_);
    return true;
}

void DVUNetworkURLSession::excludeFromBackupForURL(const std::string& path) {
    if (path.empty()) {
        return;
    }
    if (!plat::FileManager::defaultManager().setExcludedFromBackup(path, true)) {
        log(kDVUNetworkLogLevelError, 901016, "Cannot exclude temporary folder from iTunes backup");
    }
}

void DVUNetworkURLSession::maybeRemoveTempFilesAtURL(const std::string& directory, double expiringTime) {
    auto& fm = plat::FileManager::defaultManager();
    auto names = fm.contentsOfDirectory(directory);
    if (!names) {
        if (names.error().code != kNetworkNoSuchFileReadError) {
            log(kDVUNetworkLogLevelDebug, 901012, "Cannot get files from the temporary network folder. Error",
                {netErrorContext(names.error())});
        }
        return;
    }
    const double now = plat::Clock::now();
    for (const auto& name : *names) {
        const std::string path = directory + "/" + name;
        auto attributes = fm.attributesOfItem(path);
        if (!attributes) {
            continue;
        }
        const plat::Value* created = attributes->find(plat::NSFileCreationDate);
        auto date = created ? created->ifDate() : std::nullopt;
        if (date && std::fabs(now - date->timeIntervalSince1970()) > expiringTime) {
            removeTempItemAtURL(path);
        }
    }
}

void DVUNetworkURLSession::removeTempItemAtURL(const std::string& path) {
    auto removed = plat::FileManager::defaultManager().removeItem(path);
    if (!removed && removed.error().code != kNetworkNoSuchFileError) {
        log(kDVUNetworkLogLevelError, 901013, "Failed to remove temporary uploading data file. Error",
            {plat::Value(removed.error().description())});
    }
}

void DVUNetworkURLSession::callCompletionHandler(DVUNetworkFetcherCompletion handler,
                                                 std::shared_ptr<const plat::HTTPURLResponse> response,
                                                 std::optional<plat::Data> data, std::optional<plat::Error> error) {
    if (error) {
        log(kDVUNetworkLogLevelError, 901017, "Encounter network error. Code, error",
            {plat::Value(error->code), netErrorContext(*error)});
    }
    if (handler) {
        plat::DispatchQueue::main()->async([handler = std::move(handler), response = std::move(response),
                                            data = std::move(data), sessionID = sessionID_,
                                            error = std::move(error)] { handler(response, data, sessionID, error); });
    }
}

bool DVUNetworkURLSession::respondsTo(std::string_view selector) const {
    return selector == plat::URLSessionSelector::didCompleteWithError ||
           selector == plat::URLSessionSelector::didFinishDownloadingToURL ||
           selector == plat::URLSessionSelector::didFinishEventsForBackgroundURLSession ||
           selector == plat::URLSessionSelector::taskDidReceiveChallenge ||
           selector == plat::URLSessionSelector::willPerformHTTPRedirection;
}

void DVUNetworkURLSession::didCompleteWithError(plat::URLSession& session, const TaskPtr& task,
                                                const std::optional<plat::Error>& error) {
    DVUNetworkFetcherCompletion handler;
    std::optional<plat::Data> data;
    {
        std::lock_guard lock(mutex_);
        handler = std::move(completionHandler_);
        completionHandler_ = nullptr;
        data = downloadedData_;
    }
    auto response = task ? task->response() : nullptr;
    // A task that failed reports its error even when a response arrived: a body cut off after the headers is
    // no success.
    std::optional<plat::Error> result = error;
    if (!response && !result) {
        result = netError(5);
    }
    callCompletionHandler(std::move(handler), response, std::move(data), std::move(result));

    removeTempItemAtURL(uploadingFileURL_.empty() ? temporaryFilePathWithSessionID(sessionID_) : uploadingFileURL_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, kNetworkTempFileExpiry);
    if (onSharedSession_) {
        return;
    }
    session.finishTasksAndInvalidate();
    if (const auto& identifier = session.configuration().identifier()) {
        std::lock_guard lock(netFetcherMap().mutex);
        auto& map = netFetcherMap().fetchers;
        auto it = map.find(*identifier);
        if (it != map.end() && it->second.lock().get() == this) {
            map.erase(it);
        }
    }
}

void DVUNetworkURLSession::didFinishDownloadingToURL(plat::URLSession&, const TaskPtr&, const plat::URL& location) {
    const std::string path = location.path();
    std::optional<plat::Data> data;
    if (path.empty()) {
        log(kDVUNetworkLogLevelError, 901001, "Unable to read downloaded data from empty temp path");
    } else if (auto read = plat::readData(path)) {
        data = std::move(*read);
    } else {
        log(kDVUNetworkLogLevelError, 901002, "Cannot read the content of downloaded data",
            {netErrorContext(read.error())});
    }
    std::lock_guard lock(mutex_);
    downloadedData_ = std::move(data);
}

void DVUNetworkURLSession::didFinishEventsForBackgroundURLSession(plat::URLSession& session) {
    const std::string identifier = session.configuration().identifier().value_or("");
    log(kDVUNetworkLogLevelDebug, 901003, "Background session finished", {plat::Value(identifier)});
    callSystemCompletionHandler(identifier);
}

void DVUNetworkURLSession::taskDidReceiveChallenge(plat::URLSession&, const TaskPtr& task,
                                                   const plat::URLAuthenticationChallenge& challenge,
                                                   ChallengeCompletion completion) {
    if (challenge.protectionSpace.authenticationMethod != plat::NSURLAuthenticationMethodServerTrust) {
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    std::string url;
    if (task && task->originalRequest() && task->originalRequest()->url()) {
        url = task->originalRequest()->url()->absoluteString();
    }
    auto trust = challenge.protectionSpace.serverTrust;
    if (!trust) {
        log(kDVUNetworkLogLevelDebug, 901004, "Received empty server trust for host. Host", {plat::Value(url)});
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    plat::URLCredential credential(trust);
    log(kDVUNetworkLogLevelDebug, 901006, "Received SSL challenge for host. Host", {plat::Value(url)});
    auto self = std::static_pointer_cast<DVUNetworkURLSession>(shared_from_this());
    plat::DispatchQueue::global(plat::QueuePriority::defaultPriority)
        ->async([self, trust, credential, url, completion = std::move(completion)] {
            plat::SecTrustEvaluation evaluation;
            {
                std::lock_guard lock(netTrustMonitor());
                evaluation = trust->evaluate();
            }
            bool accepted = false;
            if (evaluation.status != plat::errSecSuccess) {
                self->log(kDVUNetworkLogLevelError, 901008, "Cannot evaluate server trust. Error, host",
                          {plat::Value(int64_t(evaluation.status)), plat::Value(url)});
            } else {
                accepted = evaluation.result == plat::SecTrustResultType::proceed ||
                           evaluation.result == plat::SecTrustResultType::unspecified;
            }
            if (accepted) {
                completion(plat::URLSessionAuthChallengeDisposition::useCredential, credential);
            } else {
                self->log(kDVUNetworkLogLevelDebug, 901007, "Cancelling authentication challenge for host. Host",
                          {plat::Value(url)});
                completion(plat::URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge, std::nullopt);
            }
        });
}

void DVUNetworkURLSession::willPerformHTTPRedirection(plat::URLSession&, const TaskPtr&,
                                                      const plat::HTTPURLResponse& response,
                                                      plat::URLRequest newRequest, RedirectCompletion completion) {
    const int status = response.statusCode();
    if (status == 302 || status == 301 || status == 307 || status == 300) {
        completion(std::nullopt);
        return;
    }
    completion(std::move(newRequest));
}

void DVUNetworkURLSession::setSessionInFetcherMap(const std::shared_ptr<DVUNetworkURLSession>& fetcher,
                                                  const std::string& sessionID) {
    std::shared_ptr<DVUNetworkURLSession> old;
    {
        std::lock_guard lock(netFetcherMap().mutex);
        auto& map = netFetcherMap().fetchers;
        if (auto it = map.find(sessionID); it != map.end()) {
            old = it->second.lock();
        }
        if (fetcher) {
            map[sessionID] = fetcher;
        } else {
            map.erase(sessionID);
        }
    }
    // Outside the lock: the old fetcher's session and logger may call back into the map.
    if (old && old != fetcher) {
        if (fetcher) {
            old->log(kDVUNetworkLogLevelInfo, 901019, plat::format("Discarding session: %@", old->sessionID()));
        }
        std::shared_ptr<plat::URLSession> oldSession;
        if (!old->onSharedSession_) {
            std::lock_guard lock(old->mutex_);
            oldSession = old->URLSession_.lock();
        }
        if (oldSession) {
            oldSession->finishTasksAndInvalidate();
        }
    }
}

std::shared_ptr<DVUNetworkURLSession> DVUNetworkURLSession::sessionFromFetcherMapForSessionID(
    const std::string& sessionID) {
    std::lock_guard lock(netFetcherMap().mutex);
    auto& map = netFetcherMap().fetchers;
    auto it = map.find(sessionID);
    return it == map.end() ? nullptr : it->second.lock();
}

std::shared_ptr<DVUNetworkURLSession> DVUNetworkURLSession::fetcherWithSessionIdentifier(const std::string& sessionID) {
    if (auto fetcher = sessionFromFetcherMapForSessionID(sessionID)) {
        return fetcher;
    }
    if (sessionID.rfind(kDVUNetworkBackgroundSessionPrefix, 0) != 0) {
        return nullptr;
    }
    auto fetcher = initWithNetworkLoggerDelegate({});
    fetcher->setSessionID(sessionID);
    setSessionInFetcherMap(fetcher, sessionID);
    return fetcher;
}

void DVUNetworkURLSession::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                                 DVUNetworkSystemCompletionHandler completionHandler) {
    if (sessionID.rfind(kDVUNetworkBackgroundSessionPrefix, 0) != 0) {
        return;
    }
    auto fetcher = fetcherWithSessionIdentifier(sessionID);
    if (!fetcher) {
        DVULoggerWriteError(kNetworkService, false, netCode(900003),
                            "Failed to retrieve background session with ID %@ after app is relaunched.", sessionID);
        return;
    }
    fetcher->addSystemCompletionHandler(std::move(completionHandler), sessionID);
}

void DVUNetworkURLSession::addSystemCompletionHandler(DVUNetworkSystemCompletionHandler handler,
                                                      const std::string& sessionID) {
    if (!handler) {
        log(kDVUNetworkLogLevelError, 901009, "Cannot store nil system completion handler in network");
        return;
    }
    if (sessionID.empty()) {
        log(kDVUNetworkLogLevelError, 901010,
            "Cannot store system completion handler with empty network session identifier");
        return;
    }
    std::lock_guard lock(systemHandlersMutex_);
    if (systemCompletionHandlers_.count(sessionID)) {
        log(kDVUNetworkLogLevelWarning, 901011, "Got multiple system handlers for a single session ID",
            {plat::Value(sessionID)});
    }
    systemCompletionHandlers_[sessionID] = std::move(handler);
}

void DVUNetworkURLSession::callSystemCompletionHandler(const std::string& sessionID) {
    DVUNetworkSystemCompletionHandler handler;
    {
        std::lock_guard lock(systemHandlersMutex_);
        auto it = systemCompletionHandlers_.find(sessionID);
        if (it == systemCompletionHandlers_.end()) {
            return;
        }
        handler = std::move(it->second);
        systemCompletionHandlers_.erase(it);
    }
    plat::DispatchQueue::main()->async(std::move(handler));
}

// ---- shared foreground session --------------------------------------------------------------------------

std::shared_ptr<DVUNetworkSharedSession> DVUNetworkSharedSession::make() {
    auto shared = std::make_shared<DVUNetworkSharedSession>();
    shared->weakSelf_ = shared;
    return shared;
}

std::shared_ptr<plat::URLSession> DVUNetworkSharedSession::sessionForRequest(const plat::URLRequest& request) {
    const double timeout = request.timeoutInterval();
    std::shared_ptr<plat::URLSession> retired;
    std::shared_ptr<plat::URLSession> current;
    {
        std::lock_guard lock(mutex_);
        if (session_ && (session_->isInvalidated() || sessionTimeout_ != timeout)) {
            retired = std::move(session_);
        }
        if (!session_) {
            auto config = plat::URLSessionConfiguration::defaultConfiguration();
            config.timeoutIntervalForRequest = timeout;
            config.timeoutIntervalForResource = timeout;
            config.requestCachePolicy = request.cachePolicy();
            session_ = plat::URLSession::make(config, weakSelf_.lock(), plat::OperationQueue::main());
            sessionTimeout_ = timeout;
        }
        current = session_;
    }
    // Outside the lock: invalidation may call back into this delegate.
    if (retired) {
        retired->finishTasksAndInvalidate();
    }
    return current;
}

void DVUNetworkSharedSession::attach(const std::shared_ptr<plat::URLSessionTask>& task,
                                     std::shared_ptr<DVUNetworkURLSession> fetcher) {
    std::lock_guard lock(mutex_);
    fetchers_[task.get()] = std::move(fetcher);
}

void DVUNetworkSharedSession::detach(const plat::URLSessionTask* task) {
    std::shared_ptr<DVUNetworkURLSession> fetcher;
    std::lock_guard lock(mutex_);
    if (auto it = fetchers_.find(task); it != fetchers_.end()) {
        fetcher = std::move(it->second);
        fetchers_.erase(it);
    }
}

void DVUNetworkSharedSession::invalidate() {
    std::shared_ptr<plat::URLSession> session;
    {
        std::lock_guard lock(mutex_);
        session = std::move(session_);
    }
    if (session) {
        session->finishTasksAndInvalidate();
    }
}

std::shared_ptr<DVUNetworkURLSession> DVUNetworkSharedSession::fetcherFor(const TaskPtr& task) {
    std::lock_guard lock(mutex_);
    auto it = fetchers_.find(task.get());
    return it == fetchers_.end() ? nullptr : it->second;
}

bool DVUNetworkSharedSession::respondsTo(std::string_view selector) const {
    return selector == plat::URLSessionSelector::didCompleteWithError ||
           selector == plat::URLSessionSelector::didFinishDownloadingToURL ||
           selector == plat::URLSessionSelector::taskDidReceiveChallenge ||
           selector == plat::URLSessionSelector::willPerformHTTPRedirection;
}

void DVUNetworkSharedSession::didCompleteWithError(plat::URLSession& session, const TaskPtr& task,
                                                   const std::optional<plat::Error>& error) {
    if (auto fetcher = fetcherFor(task)) {
        detach(task.get());
        fetcher->didCompleteWithError(session, task, error);
    }
}

void DVUNetworkSharedSession::didFinishDownloadingToURL(plat::URLSession& session, const TaskPtr& task,
                                                        const plat::URL& location) {
    if (auto fetcher = fetcherFor(task)) {
        fetcher->didFinishDownloadingToURL(session, task, location);
    }
}

void DVUNetworkSharedSession::taskDidReceiveChallenge(plat::URLSession& session, const TaskPtr& task,
                                                      const plat::URLAuthenticationChallenge& challenge,
                                                      ChallengeCompletion completion) {
    if (auto fetcher = fetcherFor(task)) {
        fetcher->taskDidReceiveChallenge(session, task, challenge, std::move(completion));
        return;
    }
    completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
}

void DVUNetworkSharedSession::willPerformHTTPRedirection(plat::URLSession& session, const TaskPtr& task,
                                                         const plat::HTTPURLResponse& response,
                                                         plat::URLRequest newRequest, RedirectCompletion completion) {
    if (auto fetcher = fetcherFor(task)) {
        fetcher->willPerformHTTPRedirection(session, task, response, std::move(newRequest), std::move(completion));
        return;
    }
    // A task nobody started here follows no redirect.
    completion(std::nullopt);
}

// ---- front end -------------------------------------------------------------------------------------------

DVUNetwork::DVUNetwork(Private) {}

std::shared_ptr<DVUNetwork> DVUNetwork::init() {
    auto host = plat::URL::parse(deployment::kMeasurementURL);
    return initWithReachabilityHost(host ? host->host().value_or("") : std::string());
}

std::shared_ptr<DVUNetwork> DVUNetwork::initWithReachabilityHost(const std::string& host) {
    auto network = std::make_shared<DVUNetwork>(Private{});
    network->reachability_ = DVUReachabilityChecker::initWithReachabilityDelegate(network, host);
    if (!network->reachability_ || !network->reachability_->start()) {
        return nullptr;
    }
    // Changes are reported from now on; the state the device is in already is read once, or a front end made
    // while connected would count as offline until the network next changed.
    if (auto probe = plat::Reachability::withName(host)) {
        if (auto flags = probe->flags()) {
            network->reachability_->reachabilityFlagsChanged(*flags);
        }
    }
    return network;
}

DVUNetwork::~DVUNetwork() {
    if (sharedSession_) {
        sharedSession_->invalidate();
    }
    if (reachability_) {
        reachability_->setReachabilityDelegate(std::weak_ptr<DVUReachabilityDelegate>());
        reachability_->stop();
    }
}

double DVUNetwork::timeoutInterval() const {
    std::lock_guard lock(mutex_);
    return timeoutInterval_;
}

void DVUNetwork::setTimeoutInterval(double seconds) {
    std::lock_guard lock(mutex_);
    timeoutInterval_ = seconds;
}

void DVUNetwork::setReachabilityDelegate(std::weak_ptr<DVUNetworkReachabilityDelegate> delegate) {
    std::lock_guard lock(mutex_);
    reachabilityDelegate_ = std::move(delegate);
}

std::shared_ptr<DVUNetworkLoggerDelegate> DVUNetwork::currentLoggerDelegate() const {
    std::lock_guard lock(mutex_);
    return loggerDelegate_.lock();
}

void DVUNetwork::refuseLoggerDelegate() {
    DVULoggerWriteError(kNetworkService, false, netCode(900002),
                        "Cannot set the network logger delegate: delegate does not conform to the network logger "
                        "protocol.");
}

plat::URLRequest DVUNetwork::freshRequest(const plat::URL& url) const {
    const double timeout = timeoutInterval();
    return plat::URLRequest(url, plat::URLRequestCachePolicy::reloadIgnoringLocalCacheData,
                            timeout == 0 ? 60 : timeout);
}

std::optional<std::string> DVUNetwork::postURL(const std::optional<plat::URL>& url, const plat::Data& payload,
                                               plat::DispatchQueuePtr queue, bool usingBackgroundSession,
                                               DVUNetworkRequestCompletion completionHandler) {
    if (!url || url->absoluteString().empty()) {
        handleErrorWithCode(1, std::move(queue), std::move(completionHandler));
        return std::nullopt;
    }
    plat::URLRequest request = freshRequest(*url);
    plat::Data body;
    if (!payload.empty()) {
        plat::Error error;
        auto zipped = dvu_dataByGzippingData(payload, &error);
        if (!zipped) {
            handleErrorWithCode(3, std::move(queue), std::move(completionHandler));
            return std::nullopt;
        }
        body = std::move(*zipped);
    }
    request.setValue(std::to_string(body.size()), "Content-Length");
    request.setHTTPBody(std::move(body));
    request.setHTTPMethod("POST");
    request.setValue("application/x-www-form-urlencoded", "Content-Type");
    request.setValue("gzip", "Content-Encoding");
    return startFetcher(true, *url, request, std::move(queue), usingBackgroundSession, std::move(completionHandler));
}

std::optional<std::string> DVUNetwork::getURL(const std::optional<plat::URL>& url, const plat::Dictionary& headers,
                                              plat::DispatchQueuePtr queue, bool usingBackgroundSession,
                                              DVUNetworkRequestCompletion completionHandler) {
    if (!url || url->absoluteString().empty()) {
        handleErrorWithCode(1, std::move(queue), std::move(completionHandler));
        return std::nullopt;
    }
    plat::URLRequest request = freshRequest(*url);
    request.setHTTPMethod("GET");
    plat::HTTPHeaderFields fields;
    for (const auto& [name, value] : headers) {
        fields.set(name, value.stringValue());
    }
    request.setAllHTTPHeaderFields(fields);
    return startFetcher(false, *url, request, std::move(queue), usingBackgroundSession, std::move(completionHandler));
}

std::optional<std::string> DVUNetwork::startFetcher(bool post, const plat::URL& url, const plat::URLRequest& request,
                                                    plat::DispatchQueuePtr queue, bool usingBackgroundSession,
                                                    DVUNetworkRequestCompletion completionHandler) {
    auto fetcher = DVUNetworkURLSession::initWithNetworkLoggerDelegate(
        std::weak_ptr<DVUNetworkLoggerDelegate>(shared_from_this()));
    fetcher->setBackgroundNetworkEnabled(usingBackgroundSession);
    {
        std::lock_guard lock(mutex_);
        if (!sharedSession_) {
            sharedSession_ = DVUNetworkSharedSession::make();
        }
        fetcher->setSharedSession(sharedSession_);
    }
    std::weak_ptr<DVUNetwork> weakSelf = weak_from_this();
    auto callerQueue = queue ? queue : plat::DispatchQueue::main();
    DVUNetworkFetcherCompletion done = [weakSelf, callerQueue, completionHandler](
                                           std::shared_ptr<const plat::HTTPURLResponse> response,
                                           std::optional<plat::Data> data, const std::string& sessionID,
                                           std::optional<plat::Error> error) {
        // A front end that is gone has no caller left to tell.
        if (!weakSelf.lock()) {
            return;
        }
        callerQueue->async([weakSelf, completionHandler, response, data, sessionID, error] {
            auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            if (!sessionID.empty()) {
                self->requests_.removeObjectForKey(sessionID);
            }
            if (completionHandler) {
                completionHandler(response, data, error);
            }
        });
    };
    auto sessionID = post ? fetcher->sessionIDFromAsyncPOSTRequest(request, std::move(done))
                          : fetcher->sessionIDFromAsyncGETRequest(request, std::move(done));
    if (!sessionID) {
        // The fetcher has already reported its failure through the completion: one report per request.
        handleErrorWithCode(4, std::move(queue), nullptr);
        return std::nullopt;
    }
    DVUNetwork_logWithLevel(kDVUNetworkLogLevelDebug, post ? 900000 : 900001,
                            post ? "Uploading data. Host" : "Downloading data. Host",
                            plat::Value(url.absoluteString()));
    requests_.setObject(plat::Value(plat::rt::ObjectPtr(fetcher)), *sessionID);
    return sessionID;
}

void DVUNetwork::handleErrorWithCode(long code, plat::DispatchQueuePtr queue, DVUNetworkRequestCompletion handler) {
    plat::Error error = netError(code);
    DVUNetwork_logWithLevel(kDVUNetworkLogLevelWarning, 900002, "Failed to create network request. Code, error",
                            std::vector<plat::Value>{plat::Value(int64_t(code)), netErrorContext(error)});
    if (handler) {
        (queue ? queue : plat::DispatchQueue::main())->async([handler, error] { handler(nullptr, std::nullopt, error); });
    }
}

void DVUNetwork::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                       DVUNetworkSystemCompletionHandler completionHandler) {
    DVUNetworkURLSession::handleEventsForBackgroundURLSessionID(sessionID, std::move(completionHandler));
}

void DVUNetwork::reachabilityStatusChanged(DVUReachabilityChecker&, DVUReachabilityStatus status) {
    networkConnected_.store(status == kDVUReachabilityViaWifi || status == kDVUReachabilityViaCellular);
    std::shared_ptr<DVUNetworkReachabilityDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        delegate = reachabilityDelegate_.lock();
    }
    if (delegate) {
        delegate->reachabilityDidChange();
    }
}

void DVUNetwork::DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                         const std::vector<plat::Value>& contexts) {
    if (auto delegate = currentLoggerDelegate()) {
        delegate->DVUNetwork_logWithLevel(level, messageCode, message, contexts);
        return;
    }
    const bool write = level == kDVUNetworkLogLevelError || level == kDVUNetworkLogLevelWarning ||
                       level == kDVUNetworkLogLevelInfo || (level == kDVUNetworkLogLevelDebug && isDebugModeEnabled());
    if (!write) {
        return;
    }
    std::string text = !message ? "(Message was nil)" : message->empty() ? "(Message was empty)" : *message;
    std::string line = std::string("<Razoza/Utilities/Network/") + netLevelName(level) + "> " + text;
    if (!contexts.empty()) {
        line += ": ";
        for (size_t i = 0; i < contexts.size(); ++i) {
            line += (i ? ", " : "") + (contexts[i].isNull() ? std::string("(nil)") : contexts[i].description());
        }
    }
    plat::NSLog("%@", line);
    DVULoggerWriteMessage(level, kNetworkService, false, netCode(messageCode), "%@", line);
}

void DVUNetwork::DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                         const plat::Value& context) {
    if (auto delegate = currentLoggerDelegate()) {
        delegate->DVUNetwork_logWithLevel(level, messageCode, message, context);
        return;
    }
    DVUNetwork_logWithLevel(level, messageCode, message, std::vector<plat::Value>{context});
}

void DVUNetwork::DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message) {
    if (auto delegate = currentLoggerDelegate()) {
        delegate->DVUNetwork_logWithLevel(level, messageCode, message);
        return;
    }
    DVUNetwork_logWithLevel(level, messageCode, message, std::vector<plat::Value>{});
}
