#include "Zavorida/Source/SessionDelegate.hpp"

#include "Zavorida/Source/RequestBuilding.hpp"
#include "Zavorida/Source/ServerTrustPolicy.hpp"
#include "Zavorida/Source/SessionManager.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/net/URLSession.hpp"

namespace Zavorida {

namespace sel = plat::URLSessionSelector;

std::shared_ptr<SessionManager> SessionDelegate::sessionManager() const {
    std::lock_guard lock(overridesMutex_);
    return sessionManager_.lock();
}

void SessionDelegate::setSessionManager(const std::shared_ptr<SessionManager>& manager) {
    std::lock_guard lock(overridesMutex_);
    sessionManager_ = manager;
}

std::shared_ptr<Request> SessionDelegate::requestForTask(const plat::URLSessionTask& task) const {
    std::lock_guard lock(lock_);
    const auto found = requests_.find(task.taskIdentifier());
    return found == requests_.end() ? nullptr : found->second;
}

void SessionDelegate::setRequest(const plat::URLSessionTask& task, std::shared_ptr<Request> request) {
    std::shared_ptr<Request> released;
    std::lock_guard lock(lock_);
    auto& slot = requests_[task.taskIdentifier()];
    released = std::exchange(slot, std::move(request));
    if (!slot) {
        requests_.erase(task.taskIdentifier());
    }
}

bool SessionDelegate::moveRequest(const plat::URLSessionTask& oldTask, const plat::URLSessionTask& newTask,
                                  const std::shared_ptr<Request>& request) {
    std::lock_guard lock(lock_);
    const auto found = requests_.find(oldTask.taskIdentifier());
    if (found == requests_.end() || found->second != request) {
        return false;
    }
    requests_.erase(found);
    requests_[newTask.taskIdentifier()] = request;
    return true;
}

std::size_t SessionDelegate::requestCount() const {
    std::lock_guard lock(lock_);
    return requests_.size();
}

std::shared_ptr<TaskDelegate> SessionDelegate::taskDelegateFor(const TaskPtr& task) const {
    if (!task) {
        return nullptr;
    }
    const auto request = requestForTask(*task);
    return request ? request->delegate() : nullptr;
}

bool SessionDelegate::respondsTo(std::string_view selector) const {
    if (selector == sel::didFinishEventsForBackgroundURLSession) {
        return static_cast<bool>(sessionDidFinishEventsForBackgroundURLSession());
    }
    // Before OS 9 the session has no stream callbacks to hide, so these answer like every implemented one.
    if (plat::ProcessInfo::processInfo().isOperatingSystemAtLeast({9, 0, 0})) {
        if (selector == sel::readClosedForStreamTask) {
            return static_cast<bool>(streamTaskReadClosed());
        }
        if (selector == sel::writeClosedForStreamTask) {
            return static_cast<bool>(streamTaskWriteClosed());
        }
        if (selector == sel::betterRouteDiscoveredForStreamTask) {
            return static_cast<bool>(streamTaskBetterRouteDiscovered());
        }
        if (selector == sel::didBecomeInputStream) {
            return static_cast<bool>(streamTaskDidBecomeInputStream());
        }
    }
    if (selector == sel::didBecomeInvalidWithError) {
        return static_cast<bool>(sessionDidBecomeInvalidWithError());
    }
    if (selector == sel::didReceiveChallenge) {
        return sessionDidReceiveChallenge() || sessionDidReceiveChallengeWithCompletion();
    }
    if (selector == sel::willPerformHTTPRedirection) {
        return taskWillPerformHTTPRedirection() || taskWillPerformHTTPRedirectionWithCompletion();
    }
    if (selector == sel::didReceiveResponse) {
        return dataTaskDidReceiveResponse() || dataTaskDidReceiveResponseWithCompletion();
    }
    for (const auto implemented :
         {sel::taskDidReceiveChallenge, sel::needNewBodyStream, sel::didSendBodyData,
          sel::didFinishCollectingMetrics, sel::didCompleteWithError, sel::didBecomeDownloadTask,
          sel::didReceiveData, sel::willCacheResponse, sel::didFinishDownloadingToURL, sel::didWriteData,
          sel::didResumeAtOffset, sel::readClosedForStreamTask, sel::writeClosedForStreamTask,
          sel::betterRouteDiscoveredForStreamTask, sel::didBecomeInputStream}) {
        if (selector == implemented) {
            return true;
        }
    }
    return false;
}

void SessionDelegate::didBecomeInvalidWithError(Session& session, const std::optional<plat::Error>& error) {
    if (const auto override = sessionDidBecomeInvalidWithError()) {
        override(session, error);
    }
}

void SessionDelegate::didReceiveChallenge(Session& session, const Challenge& challenge,
                                          ChallengeCompletion completion) {
    if (const auto override = sessionDidReceiveChallengeWithCompletion()) {
        override(session, challenge, std::move(completion));
        return;
    }
    ChallengeAnswer answer{Disposition::performDefaultHandling, std::nullopt};
    if (const auto override = sessionDidReceiveChallenge()) {
        answer = override(session, challenge);
    } else if (challenge.protectionSpace.authenticationMethod == plat::NSURLAuthenticationMethodServerTrust) {
        const auto& space = challenge.protectionSpace;
        const auto manager = ServerTrustPolicyManager::forSession(session);
        const auto policy = manager ? manager->policyForHost(space.host) : std::nullopt;
        if (policy && space.serverTrust) {
            answer = policy->evaluateTrust(space.serverTrust, space.host)
                         ? ChallengeAnswer{Disposition::useCredential, plat::URLCredential(space.serverTrust)}
                         : ChallengeAnswer{Disposition::cancelAuthenticationChallenge, std::nullopt};
        }
    }
    if (completion) {
        completion(answer.first, std::move(answer.second));
    }
}

void SessionDelegate::didFinishEventsForBackgroundURLSession(Session& session) {
    if (const auto override = sessionDidFinishEventsForBackgroundURLSession()) {
        override(session);
    }
}

void SessionDelegate::willPerformHTTPRedirection(Session& session, const TaskPtr& task,
                                                 const plat::HTTPURLResponse& response,
                                                 plat::URLRequest newRequest, RedirectCompletion completion) {
    if (const auto override = taskWillPerformHTTPRedirectionWithCompletion()) {
        override(session, task, response, newRequest, std::move(completion));
        return;
    }
    std::optional<plat::URLRequest> redirect = std::move(newRequest);
    if (const auto override = taskWillPerformHTTPRedirection()) {
        redirect = override(session, task, response, *redirect);
    }
    if (completion) {
        completion(std::move(redirect));
    }
}

void SessionDelegate::taskDidReceiveChallenge(Session& session, const TaskPtr& task,
                                              const Challenge& challenge, ChallengeCompletion completion) {
    if (const auto override = taskDidReceiveChallengeWithCompletion()) {
        override(session, task, challenge, std::move(completion));
        return;
    }
    if (const auto override = taskDidReceiveChallenge()) {
        auto answer = override(session, task, challenge);
        if (completion) {
            completion(answer.first, std::move(answer.second));
        }
        return;
    }
    if (const auto taskDelegate = taskDelegateFor(task)) {
        taskDelegate->didReceiveChallenge(session, task, challenge, completion);
        return;
    }
    // Virtual: a subclass's session-level handling answers tasks nobody registered.
    didReceiveChallenge(session, challenge, std::move(completion));
}

void SessionDelegate::needNewBodyStream(Session& session, const TaskPtr& task,
                                        BodyStreamCompletion completion) {
    if (const auto override = taskNeedNewBodyStreamWithCompletion()) {
        override(session, task, std::move(completion));
        return;
    }
    std::shared_ptr<plat::InputStream> stream;
    if (const auto override = taskNeedNewBodyStream()) {
        stream = override(session, task);
    } else if (const auto taskDelegate = taskDelegateFor(task)) {
        if (const auto provider = taskDelegate->taskNeedNewBodyStream()) {
            stream = provider(session, task);
        }
    }
    // Without a stream the session fails the task rather than sending a body it cannot produce again.
    if (completion) {
        completion(std::move(stream));
    }
}

void SessionDelegate::didSendBodyData(Session& session, const TaskPtr& task, std::int64_t bytesSent,
                                      std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) {
    if (const auto override = taskDidSendBodyData()) {
        override(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
        return;
    }
    if (const auto upload = std::dynamic_pointer_cast<UploadTaskDelegate>(taskDelegateFor(task))) {
        upload->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
    }
}

void SessionDelegate::didFinishCollectingMetrics(Session&, const TaskPtr& task,
                                                 const plat::URLSessionTaskMetrics& metrics) {
    if (const auto taskDelegate = taskDelegateFor(task)) {
        taskDelegate->setMetrics(std::make_shared<plat::URLSessionTaskMetrics>(metrics));
    }
}

void SessionDelegate::didCompleteWithError(Session& session, const TaskPtr& task,
                                           const std::optional<plat::Error>& platformError) {
    std::optional<AnyError> error;
    if (platformError) {
        error = AnyError(*platformError);
    }
    const auto request = task ? requestForTask(*task) : nullptr;
    const auto manager = sessionManager();
    if (!request || !manager) {
        finishTask(session, task, error);
        return;
    }
    for (const auto& validation : request->validations()) {
        if (validation) {
            validation();
        }
    }
    if (auto recorded = request->delegate()->error()) {
        error = std::move(recorded);
    }
    const auto currentRetrier = retrier();
    if (currentRetrier && error) {
        currentRetrier->shouldRetry(*manager, request, *error,
                                    [weak = weak_from_this(), session = session.shared_from_this(), task,
                                     error, request](bool retry, double delay) {
                                        if (const auto self = weak.lock()) {
                                            self->handleRetrierDecision(session, task, error, request, retry,
                                                                        delay);
                                        }
                                    });
        return;
    }
    finishTask(session, task, error);
}

void SessionDelegate::handleRetrierDecision(std::shared_ptr<Session> session, TaskPtr task,
                                            std::optional<AnyError> error, std::shared_ptr<Request> request,
                                            bool retry, double delay) {
    if (!retry) {
        finishTask(*session, task, error);
        return;
    }
    auto queue = plat::DispatchQueue::global(plat::QoS::utility);
    executeAfterDelay(*queue, delay, [weak = weak_from_this(), session, task, error, request] {
        if (const auto self = weak.lock()) {
            self->retryTaskAfterDelay(session, task, error, request);
        }
    });
}

void SessionDelegate::retryTaskAfterDelay(const std::shared_ptr<Session>& session, const TaskPtr& task,
                                          const std::optional<AnyError>& error,
                                          const std::shared_ptr<Request>& request) {
    const auto manager = sessionManager();
    // The manager moved the registration to the new task before resuming it; registering again here could
    // re-add a request whose new task has already finished, and it would never leave the map.
    if (manager && manager->retryRequest(request) && request->task()) {
        return;
    }
    finishTask(*session, task, error);
}

void SessionDelegate::finishTask(Session& session, const TaskPtr& task,
                                 const std::optional<AnyError>& error) {
    if (const auto override = taskDidComplete()) {
        override(session, task, error);
    }
    if (const auto taskDelegate = taskDelegateFor(task)) {
        std::optional<plat::Error> platformError;
        if (error) {
            platformError =
                error->platformError() ? *error->platformError() : plat::Error("Zavorida.AnyError", 0);
            // The task delegate keeps the first error; give it the chosen one so that it is the one recorded.
            if (!taskDelegate->error()) {
                taskDelegate->setError(error);
            }
        }
        taskDelegate->didCompleteWithError(session, task, platformError);
    }
    plat::Dictionary info;
    if (task) {
        info.set(Notification::Key::task, plat::Value(task->taskIdentifier()));
        if (const auto data = std::dynamic_pointer_cast<DataTaskDelegate>(taskDelegateFor(task))) {
            if (auto body = data->data()) {
                info.set(Notification::Key::responseData, plat::Value(std::move(*body)));
            }
        }
    }
    plat::NotificationCenter::defaultCenter().post(Notification::Name::Task::didComplete, this,
                                                   std::move(info));
    if (task) {
        setRequest(*task, nullptr);
    }
}

void SessionDelegate::didReceiveResponse(Session& session, const TaskPtr& task,
                                         const plat::HTTPURLResponse& response,
                                         ResponseCompletion completion) {
    if (const auto override = dataTaskDidReceiveResponseWithCompletion()) {
        override(session, task, response, std::move(completion));
        return;
    }
    auto disposition = plat::URLSessionResponseDisposition::allow;
    if (const auto override = dataTaskDidReceiveResponse()) {
        disposition = override(session, task, response);
    }
    if (completion) {
        completion(disposition);
    }
}

void SessionDelegate::didBecomeDownloadTask(Session& session, const TaskPtr& dataTask,
                                            const TaskPtr& downloadTask) {
    if (const auto override = dataTaskDidBecomeDownloadTask()) {
        override(session, dataTask, downloadTask);
        return;
    }
    if (const auto request = downloadTask ? requestForTask(*downloadTask) : nullptr) {
        request->setDelegate(std::make_shared<DownloadTaskDelegate>(downloadTask));
    }
}

void SessionDelegate::didReceiveData(Session& session, const TaskPtr& task, const plat::Data& data) {
    if (const auto override = dataTaskDidReceiveData()) {
        override(session, task, data);
        return;
    }
    if (const auto taskDelegate = std::dynamic_pointer_cast<DataTaskDelegate>(taskDelegateFor(task))) {
        taskDelegate->didReceiveData(session, task, data);
    }
}

void SessionDelegate::willCacheResponse(Session& session, const TaskPtr& task,
                                        plat::CachedURLResponse proposed, CacheCompletion completion) {
    if (const auto override = dataTaskWillCacheResponseWithCompletion()) {
        override(session, task, proposed, std::move(completion));
        return;
    }
    if (const auto override = dataTaskWillCacheResponse()) {
        completion(override(session, task, proposed));
        return;
    }
    if (const auto taskDelegate = std::dynamic_pointer_cast<DataTaskDelegate>(taskDelegateFor(task))) {
        taskDelegate->willCacheResponse(session, task, std::move(proposed), completion);
        return;
    }
    completion(std::move(proposed));
}

void SessionDelegate::didFinishDownloadingToURL(Session& session, const TaskPtr& task,
                                                const plat::URL& location) {
    if (const auto override = downloadTaskDidFinishDownloadingToURL()) {
        override(session, task, location);
        return;
    }
    if (const auto taskDelegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(taskDelegateFor(task))) {
        taskDelegate->didFinishDownloadingToURL(session, task, location);
    }
}

void SessionDelegate::didWriteData(Session& session, const TaskPtr& task, std::int64_t bytesWritten,
                                   std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) {
    if (const auto override = downloadTaskDidWriteData()) {
        override(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
        return;
    }
    if (const auto taskDelegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(taskDelegateFor(task))) {
        taskDelegate->didWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    }
}

void SessionDelegate::didResumeAtOffset(Session& session, const TaskPtr& task, std::int64_t fileOffset,
                                        std::int64_t expectedTotalBytes) {
    if (const auto override = downloadTaskDidResumeAtOffset()) {
        override(session, task, fileOffset, expectedTotalBytes);
        return;
    }
    if (const auto taskDelegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(taskDelegateFor(task))) {
        taskDelegate->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
    }
}

void SessionDelegate::readClosedForStreamTask(Session& session, const TaskPtr& task) {
    if (const auto override = streamTaskReadClosed()) {
        override(session, task);
    }
}

void SessionDelegate::writeClosedForStreamTask(Session& session, const TaskPtr& task) {
    if (const auto override = streamTaskWriteClosed()) {
        override(session, task);
    }
}

void SessionDelegate::betterRouteDiscoveredForStreamTask(Session& session, const TaskPtr& task) {
    if (const auto override = streamTaskBetterRouteDiscovered()) {
        override(session, task);
    }
}

void SessionDelegate::didBecomeInputStream(Session& session, const TaskPtr& task,
                                           std::shared_ptr<plat::InputStream> input,
                                           std::shared_ptr<plat::OutputStream> output) {
    if (const auto override = streamTaskDidBecomeInputStream()) {
        override(session, task, std::move(input), std::move(output));
    }
}

} // namespace Zavorida
