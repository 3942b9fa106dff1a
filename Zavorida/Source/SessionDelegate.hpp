#pragma once
// The one delegate a session manager's URL session calls: routes each task event to the task delegate of
// the request registered for that task, lets the app replace the handling of any event with an override
// closure, and runs the completion path (validations, retrier, retry, task-delegate completion, the
// did-complete notification, removal of the request).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "Zavorida/Source/Request.hpp"
#include "platform/net/URLSessionDelegate.hpp"

namespace Zavorida {

class SessionManager;

class SessionDelegate : public plat::URLSessionDelegate,
                        public std::enable_shared_from_this<SessionDelegate> {
public:
    using Session = plat::URLSession;
    using Challenge = plat::URLAuthenticationChallenge;
    using Disposition = plat::URLSessionAuthChallengeDisposition;
    using ChallengeAnswer = std::pair<Disposition, std::optional<plat::URLCredential>>;

    using SessionDidBecomeInvalidWithError = std::function<void(Session&, const std::optional<plat::Error>&)>;
    using SessionDidReceiveChallenge = std::function<ChallengeAnswer(Session&, const Challenge&)>;
    using SessionDidReceiveChallengeWithCompletion =
        std::function<void(Session&, const Challenge&, ChallengeCompletion)>;
    using SessionDidFinishEventsForBackgroundURLSession = std::function<void(Session&)>;
    using TaskWillPerformHTTPRedirection = std::function<std::optional<plat::URLRequest>(
        Session&, const TaskPtr&, const plat::HTTPURLResponse&, const plat::URLRequest&)>;
    using TaskWillPerformHTTPRedirectionWithCompletion = std::function<void(
        Session&, const TaskPtr&, const plat::HTTPURLResponse&, const plat::URLRequest&, RedirectCompletion)>;
    using TaskDidReceiveChallenge =
        std::function<ChallengeAnswer(Session&, const TaskPtr&, const Challenge&)>;
    using TaskDidReceiveChallengeWithCompletion =
        std::function<void(Session&, const TaskPtr&, const Challenge&, ChallengeCompletion)>;
    using TaskNeedNewBodyStream = std::function<std::shared_ptr<plat::InputStream>(Session&, const TaskPtr&)>;
    using TaskNeedNewBodyStreamWithCompletion =
        std::function<void(Session&, const TaskPtr&, BodyStreamCompletion)>;
    using TaskDidSendBodyData =
        std::function<void(Session&, const TaskPtr&, std::int64_t, std::int64_t, std::int64_t)>;
    using TaskDidComplete = std::function<void(Session&, const TaskPtr&, const std::optional<AnyError>&)>;
    using DataTaskDidReceiveResponse = std::function<plat::URLSessionResponseDisposition(
        Session&, const TaskPtr&, const plat::HTTPURLResponse&)>;
    using DataTaskDidReceiveResponseWithCompletion =
        std::function<void(Session&, const TaskPtr&, const plat::HTTPURLResponse&, ResponseCompletion)>;
    using DataTaskDidBecomeDownloadTask = std::function<void(Session&, const TaskPtr&, const TaskPtr&)>;
    using DataTaskDidReceiveData = std::function<void(Session&, const TaskPtr&, const plat::Data&)>;
    using DataTaskWillCacheResponse = std::function<std::optional<plat::CachedURLResponse>(
        Session&, const TaskPtr&, const plat::CachedURLResponse&)>;
    using DataTaskWillCacheResponseWithCompletion =
        std::function<void(Session&, const TaskPtr&, const plat::CachedURLResponse&, CacheCompletion)>;
    using DownloadTaskDidFinishDownloadingToURL =
        std::function<void(Session&, const TaskPtr&, const plat::URL&)>;
    using DownloadTaskDidWriteData =
        std::function<void(Session&, const TaskPtr&, std::int64_t, std::int64_t, std::int64_t)>;
    using DownloadTaskDidResumeAtOffset =
        std::function<void(Session&, const TaskPtr&, std::int64_t, std::int64_t)>;
    using StreamTaskEvent = std::function<void(Session&, const TaskPtr&)>;
    using StreamTaskDidBecomeInputStream = std::function<void(
        Session&, const TaskPtr&, std::shared_ptr<plat::InputStream>, std::shared_ptr<plat::OutputStream>)>;

// Each override is read and written under one mutex, and read into a local before it is called.
#define ZAVORIDA_OVERRIDE(Type, name, Setter)                                                                \
public:                                                                                                      \
    virtual Type name() const {                                                                              \
        std::lock_guard lock(overridesMutex_);                                                               \
        return name##_;                                                                                      \
    }                                                                                                        \
    virtual void Setter(Type closure) {                                                                      \
        Type previous;                                                                                       \
        std::lock_guard lock(overridesMutex_);                                                               \
        previous = std::exchange(name##_, std::move(closure));                                               \
    }                                                                                                        \
                                                                                                             \
private:                                                                                                     \
    Type name##_;

    ZAVORIDA_OVERRIDE(SessionDidBecomeInvalidWithError, sessionDidBecomeInvalidWithError,
                      setSessionDidBecomeInvalidWithError)
    ZAVORIDA_OVERRIDE(SessionDidReceiveChallenge, sessionDidReceiveChallenge, setSessionDidReceiveChallenge)
    ZAVORIDA_OVERRIDE(SessionDidReceiveChallengeWithCompletion, sessionDidReceiveChallengeWithCompletion,
                      setSessionDidReceiveChallengeWithCompletion)
    ZAVORIDA_OVERRIDE(SessionDidFinishEventsForBackgroundURLSession,
                      sessionDidFinishEventsForBackgroundURLSession,
                      setSessionDidFinishEventsForBackgroundURLSession)
    ZAVORIDA_OVERRIDE(TaskWillPerformHTTPRedirection, taskWillPerformHTTPRedirection,
                      setTaskWillPerformHTTPRedirection)
    ZAVORIDA_OVERRIDE(TaskWillPerformHTTPRedirectionWithCompletion,
                      taskWillPerformHTTPRedirectionWithCompletion,
                      setTaskWillPerformHTTPRedirectionWithCompletion)
    ZAVORIDA_OVERRIDE(TaskDidReceiveChallenge, taskDidReceiveChallenge, setTaskDidReceiveChallenge)
    ZAVORIDA_OVERRIDE(TaskDidReceiveChallengeWithCompletion, taskDidReceiveChallengeWithCompletion,
                      setTaskDidReceiveChallengeWithCompletion)
    ZAVORIDA_OVERRIDE(TaskNeedNewBodyStream, taskNeedNewBodyStream, setTaskNeedNewBodyStream)
    ZAVORIDA_OVERRIDE(TaskNeedNewBodyStreamWithCompletion, taskNeedNewBodyStreamWithCompletion,
                      setTaskNeedNewBodyStreamWithCompletion)
    ZAVORIDA_OVERRIDE(TaskDidSendBodyData, taskDidSendBodyData, setTaskDidSendBodyData)
    ZAVORIDA_OVERRIDE(TaskDidComplete, taskDidComplete, setTaskDidComplete)
    ZAVORIDA_OVERRIDE(DataTaskDidReceiveResponse, dataTaskDidReceiveResponse, setDataTaskDidReceiveResponse)
    ZAVORIDA_OVERRIDE(DataTaskDidReceiveResponseWithCompletion, dataTaskDidReceiveResponseWithCompletion,
                      setDataTaskDidReceiveResponseWithCompletion)
    ZAVORIDA_OVERRIDE(DataTaskDidBecomeDownloadTask, dataTaskDidBecomeDownloadTask,
                      setDataTaskDidBecomeDownloadTask)
    ZAVORIDA_OVERRIDE(DataTaskDidReceiveData, dataTaskDidReceiveData, setDataTaskDidReceiveData)
    ZAVORIDA_OVERRIDE(DataTaskWillCacheResponse, dataTaskWillCacheResponse, setDataTaskWillCacheResponse)
    ZAVORIDA_OVERRIDE(DataTaskWillCacheResponseWithCompletion, dataTaskWillCacheResponseWithCompletion,
                      setDataTaskWillCacheResponseWithCompletion)
    ZAVORIDA_OVERRIDE(DownloadTaskDidFinishDownloadingToURL, downloadTaskDidFinishDownloadingToURL,
                      setDownloadTaskDidFinishDownloadingToURL)
    ZAVORIDA_OVERRIDE(DownloadTaskDidWriteData, downloadTaskDidWriteData, setDownloadTaskDidWriteData)
    ZAVORIDA_OVERRIDE(DownloadTaskDidResumeAtOffset, downloadTaskDidResumeAtOffset,
                      setDownloadTaskDidResumeAtOffset)
    ZAVORIDA_OVERRIDE(StreamTaskEvent, streamTaskReadClosed, setStreamTaskReadClosed)
    ZAVORIDA_OVERRIDE(StreamTaskEvent, streamTaskWriteClosed, setStreamTaskWriteClosed)
    ZAVORIDA_OVERRIDE(StreamTaskEvent, streamTaskBetterRouteDiscovered, setStreamTaskBetterRouteDiscovered)
    ZAVORIDA_OVERRIDE(StreamTaskDidBecomeInputStream, streamTaskDidBecomeInputStream,
                      setStreamTaskDidBecomeInputStream)
    ZAVORIDA_OVERRIDE(std::shared_ptr<RequestRetrier>, retrier, setRetrier)
#undef ZAVORIDA_OVERRIDE

public:
    SessionDelegate() = default;

    std::shared_ptr<SessionManager> sessionManager() const;
    void setSessionManager(const std::shared_ptr<SessionManager>& manager);

    // The task subscript: the request registered under the task's identifier.
    std::shared_ptr<Request> requestForTask(const plat::URLSessionTask& task) const;
    void setRequest(const plat::URLSessionTask& task, std::shared_ptr<Request> request);
    // A retry's re-registration, in one lock section: the old task's entry goes and the new one is stored,
    // but only while the old entry still holds this request; false (and no change) when it was already
    // removed.
    bool moveRequest(const plat::URLSessionTask& oldTask, const plat::URLSessionTask& newTask,
                     const std::shared_ptr<Request>& request);
    std::size_t requestCount() const;

    bool respondsTo(std::string_view selector) const override;

    void didBecomeInvalidWithError(Session&, const std::optional<plat::Error>&) override;
    void didReceiveChallenge(Session&, const Challenge&, ChallengeCompletion completion) override;
    void didFinishEventsForBackgroundURLSession(Session&) override;
    void willPerformHTTPRedirection(Session&, const TaskPtr&, const plat::HTTPURLResponse&,
                                    plat::URLRequest newRequest, RedirectCompletion completion) override;
    void taskDidReceiveChallenge(Session&, const TaskPtr&, const Challenge&,
                                 ChallengeCompletion completion) override;
    void needNewBodyStream(Session&, const TaskPtr&, BodyStreamCompletion completion) override;
    void didSendBodyData(Session&, const TaskPtr&, std::int64_t bytesSent, std::int64_t totalBytesSent,
                         std::int64_t totalBytesExpectedToSend) override;
    void didFinishCollectingMetrics(Session&, const TaskPtr&, const plat::URLSessionTaskMetrics&) override;
    void didCompleteWithError(Session&, const TaskPtr&, const std::optional<plat::Error>&) override;
    void didReceiveResponse(Session&, const TaskPtr&, const plat::HTTPURLResponse&,
                            ResponseCompletion completion) override;
    void didBecomeDownloadTask(Session&, const TaskPtr& dataTask, const TaskPtr& downloadTask) override;
    void didReceiveData(Session&, const TaskPtr&, const plat::Data&) override;
    void willCacheResponse(Session&, const TaskPtr&, plat::CachedURLResponse proposed,
                           CacheCompletion completion) override;
    void didFinishDownloadingToURL(Session&, const TaskPtr&, const plat::URL& location) override;
    void didWriteData(Session&, const TaskPtr&, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                      std::int64_t totalBytesExpectedToWrite) override;
    void didResumeAtOffset(Session&, const TaskPtr&, std::int64_t fileOffset,
                           std::int64_t expectedTotalBytes) override;
    void readClosedForStreamTask(Session&, const TaskPtr&) override;
    void writeClosedForStreamTask(Session&, const TaskPtr&) override;
    void betterRouteDiscoveredForStreamTask(Session&, const TaskPtr&) override;
    void didBecomeInputStream(Session&, const TaskPtr&, std::shared_ptr<plat::InputStream>,
                              std::shared_ptr<plat::OutputStream>) override;

private:
    std::shared_ptr<TaskDelegate> taskDelegateFor(const TaskPtr& task) const;
    void handleRetrierDecision(std::shared_ptr<Session> session, TaskPtr task, std::optional<AnyError> error,
                               std::shared_ptr<Request> request, bool retry, double delay);
    void retryTaskAfterDelay(const std::shared_ptr<Session>& session, const TaskPtr& task,
                             const std::optional<AnyError>& error, const std::shared_ptr<Request>& request);
    void finishTask(Session& session, const TaskPtr& task, const std::optional<AnyError>& error);

    mutable std::mutex overridesMutex_;
    std::weak_ptr<SessionManager> sessionManager_;
    mutable std::mutex lock_;
    std::map<std::uint64_t, std::shared_ptr<Request>> requests_;
};

} // namespace Zavorida
