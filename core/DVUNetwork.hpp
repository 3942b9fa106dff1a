#pragma once
// The utility layer's small HTTP front end: gzip-compressed POSTs and GETs, each on its own fetcher
// (DVUNetworkURLSession). Foreground fetchers of one front end share its URL session, so connections are
// reused; a background fetcher owns a background session of its own whose upload body waits in a temporary
// file. Results come back through a completion on the caller's queue. The front end also tracks
// connectivity through a reachability checker; its callers decide themselves whether to send.

#include "core/DVUMutableDictionary.hpp"
#include "core/DVUReachabilityChecker.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/net/URLSessionDelegate.hpp"
#include "platform/runtime/Object.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

inline constexpr const char* kDVUNetworkErrorDomain = "com.dvu.network.ErrorDomain";
inline constexpr const char* kDVUNetworkBackgroundSessionPrefix = "com.dvu.network.background-upload";

enum DVUNetworkLogLevel : long {
    kDVUNetworkLogLevelError = 3,
    kDVUNetworkLogLevelWarning = 4,
    kDVUNetworkLogLevelInfo = 6,
    kDVUNetworkLogLevelDebug = 7,
};

using DVUNetworkRequestCompletion = std::function<void(std::shared_ptr<const plat::HTTPURLResponse> response,
                                                       std::optional<plat::Data> data,
                                                       std::optional<plat::Error> error)>;
using DVUNetworkFetcherCompletion =
    std::function<void(std::shared_ptr<const plat::HTTPURLResponse> response, std::optional<plat::Data> data,
                       const std::string& sessionID, std::optional<plat::Error> error)>;
using DVUNetworkSystemCompletionHandler = std::function<void()>;

// Receives every log line of a front end and its fetchers. A context that is null is written "(nil)".
class DVUNetworkLoggerDelegate {
public:
    virtual ~DVUNetworkLoggerDelegate() = default;
    virtual void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                         const std::vector<plat::Value>& contexts) = 0;
    virtual void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                         const plat::Value& context) = 0;
    virtual void DVUNetwork_logWithLevel(long level, long messageCode,
                                         const std::optional<std::string>& message) = 0;
};

class DVUNetworkReachabilityDelegate {
public:
    virtual ~DVUNetworkReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

class DVUNetworkURLSession;

// The foreground URL session a front end's fetchers share. It is the session's delegate and hands every task
// event to the fetcher that started the task, holding that fetcher until its task completes.
class DVUNetworkSharedSession : public plat::URLSessionDelegate {
public:
    static std::shared_ptr<DVUNetworkSharedSession> make();
    // The live session for requests with this time-out; a new time-out replaces the session, letting the
    // tasks of the old one finish.
    std::shared_ptr<plat::URLSession> sessionForRequest(const plat::URLRequest& request);
    void attach(const std::shared_ptr<plat::URLSessionTask>& task, std::shared_ptr<DVUNetworkURLSession> fetcher);
    void detach(const plat::URLSessionTask* task);
    // Running tasks finish; nothing new starts.
    void invalidate();

    bool respondsTo(std::string_view selector) const override;
    void didCompleteWithError(plat::URLSession& session, const TaskPtr& task,
                              const std::optional<plat::Error>& error) override;
    void didFinishDownloadingToURL(plat::URLSession& session, const TaskPtr& task, const plat::URL& location) override;
    void taskDidReceiveChallenge(plat::URLSession& session, const TaskPtr& task,
                                 const plat::URLAuthenticationChallenge& challenge,
                                 ChallengeCompletion completion) override;
    void willPerformHTTPRedirection(plat::URLSession& session, const TaskPtr& task,
                                    const plat::HTTPURLResponse& response, plat::URLRequest newRequest,
                                    RedirectCompletion completion) override;

private:
    std::shared_ptr<DVUNetworkURLSession> fetcherFor(const TaskPtr& task);

    std::mutex mutex_;
    std::weak_ptr<DVUNetworkSharedSession> weakSelf_;
    // Strong until invalidate(): the session holds this delegate strongly in turn until it is invalidated.
    std::shared_ptr<plat::URLSession> session_;
    double sessionTimeout_ = 0;
    std::map<const plat::URLSessionTask*, std::shared_ptr<DVUNetworkURLSession>> fetchers_;
};

// One request's fetcher. It lives while its URL session (or the shared session's task table) holds it and
// while the front end's request table does; the process-wide fetcher map holds it weakly.
class DVUNetworkURLSession : public plat::rt::Object,
                             public plat::URLSessionDelegate {
public:
    static std::shared_ptr<DVUNetworkURLSession> initWithNetworkLoggerDelegate(
        std::weak_ptr<DVUNetworkLoggerDelegate> loggerDelegate);
    explicit DVUNetworkURLSession(plat::rt::Class* cls);

    // Start the task and return the session ID; on a failure none, after the completion got code 2.
    std::optional<std::string> sessionIDFromAsyncPOSTRequest(const plat::URLRequest& request,
                                                             DVUNetworkFetcherCompletion completion);
    std::optional<std::string> sessionIDFromAsyncGETRequest(const plat::URLRequest& request,
                                                            DVUNetworkFetcherCompletion completion);

    static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                      DVUNetworkSystemCompletionHandler completionHandler);
    static std::shared_ptr<DVUNetworkURLSession> fetcherWithSessionIdentifier(const std::string& sessionID);
    static void setSessionInFetcherMap(const std::shared_ptr<DVUNetworkURLSession>& fetcher,
                                       const std::string& sessionID);
    static std::shared_ptr<DVUNetworkURLSession> sessionFromFetcherMapForSessionID(const std::string& sessionID);

    void addSystemCompletionHandler(DVUNetworkSystemCompletionHandler handler, const std::string& sessionID);
    void callSystemCompletionHandler(const std::string& sessionID);
    plat::URLSessionConfiguration backgroundSessionConfigWithSessionID(const std::string& sessionID) const;
    void populateSessionConfig(plat::URLSessionConfiguration& config, const plat::URLRequest& request) const;
    std::string temporaryFilePathWithSessionID(const std::string& sessionID) const;
    bool ensureTemporaryDirectoryExists();
    void excludeFromBackupForURL(const std::string& path);
    void maybeRemoveTempFilesAtURL(const std::string& directory, double expiringTime);
    void removeTempItemAtURL(const std::string& path);
    void callCompletionHandler(DVUNetworkFetcherCompletion handler,
                               std::shared_ptr<const plat::HTTPURLResponse> response,
                               std::optional<plat::Data> data, std::optional<plat::Error> error);

    const std::string& sessionID() const { return sessionID_; }
    void setSessionID(std::string sessionID) { sessionID_ = std::move(sessionID); }
    const std::string& networkDirectoryURL() const { return networkDirectoryURL_; }
    const std::string& uploadingFileURL() const { return uploadingFileURL_; }
    bool isBackgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
    void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
    // Foreground requests then run on this session instead of one of the fetcher's own.
    void setSharedSession(std::shared_ptr<DVUNetworkSharedSession> shared) { sharedSession_ = std::move(shared); }

    // URL-session delegate.
    bool respondsTo(std::string_view selector) const override;
    void didCompleteWithError(plat::URLSession& session, const TaskPtr& task,
                              const std::optional<plat::Error>& error) override;
    void didFinishDownloadingToURL(plat::URLSession& session, const TaskPtr& task, const plat::URL& location) override;
    void didFinishEventsForBackgroundURLSession(plat::URLSession& session) override;
    void taskDidReceiveChallenge(plat::URLSession& session, const TaskPtr& task,
                                 const plat::URLAuthenticationChallenge& challenge,
                                 ChallengeCompletion completion) override;
    void willPerformHTTPRedirection(plat::URLSession& session, const TaskPtr& task,
                                    const plat::HTTPURLResponse& response, plat::URLRequest newRequest,
                                    RedirectCompletion completion) override;

private:
    std::optional<std::string> startTask(const std::shared_ptr<plat::URLSession>& session,
                                         const std::shared_ptr<plat::URLSessionTask>& task,
                                         const plat::URLRequest& request, DVUNetworkFetcherCompletion completion);
    void log(long level, long code, const std::string& message, std::vector<plat::Value> contexts = {});
    std::shared_ptr<plat::URLSession> foregroundSessionForRequest(const plat::URLRequest& request);

    std::mutex mutex_;
    DVUNetworkFetcherCompletion completionHandler_;
    std::string sessionID_;
    std::string networkDirectoryURL_;
    std::optional<plat::Data> downloadedData_;
    std::string uploadingFileURL_;
    std::optional<plat::URLRequest> request_;
    std::weak_ptr<plat::URLSession> URLSession_;
    std::shared_ptr<DVUNetworkSharedSession> sharedSession_;
    // Set when the running task is on the shared session, which this fetcher must never invalidate.
    std::atomic<bool> onSharedSession_{false};
    std::atomic<bool> backgroundNetworkEnabled_{false};
    std::weak_ptr<DVUNetworkLoggerDelegate> loggerDelegate_;
    std::mutex systemHandlersMutex_;
    std::map<std::string, DVUNetworkSystemCompletionHandler> systemCompletionHandlers_;
};

class DVUNetwork : public DVUReachabilityDelegate,
                   public DVUNetworkLoggerDelegate,
                   public std::enable_shared_from_this<DVUNetwork> {
public:
    struct Private {};
    // Watches the deployment's measurement host.
    static std::shared_ptr<DVUNetwork> init();
    // None when the reachability checker cannot start.
    static std::shared_ptr<DVUNetwork> initWithReachabilityHost(const std::string& host);
    explicit DVUNetwork(Private);
    ~DVUNetwork() override;

    // The session ID, or none (the completion then gets the error on the caller's queue, main by default).
    std::optional<std::string> postURL(const std::optional<plat::URL>& url, const plat::Data& payload,
                                       plat::DispatchQueuePtr queue, bool usingBackgroundSession,
                                       DVUNetworkRequestCompletion completionHandler);
    std::optional<std::string> getURL(const std::optional<plat::URL>& url, const plat::Dictionary& headers,
                                      plat::DispatchQueuePtr queue, bool usingBackgroundSession,
                                      DVUNetworkRequestCompletion completionHandler);
    static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                      DVUNetworkSystemCompletionHandler completionHandler);
    void handleErrorWithCode(long code, plat::DispatchQueuePtr queue, DVUNetworkRequestCompletion handler);

    void reachabilityStatusChanged(DVUReachabilityChecker& checker, DVUReachabilityStatus status) override;

    void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                 const std::vector<plat::Value>& contexts) override;
    void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                 const plat::Value& context) override;
    void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message) override;

    // Kept weakly. Anything that is no logger delegate (nil included) is refused with its error line.
    template <class T> void setLoggerDelegate(const std::shared_ptr<T>& delegate) {
        if constexpr (std::is_convertible_v<T*, DVUNetworkLoggerDelegate*>) {
            if (delegate) {
                std::lock_guard lock(mutex_);
                loggerDelegate_ = std::weak_ptr<DVUNetworkLoggerDelegate>(delegate);
                return;
            }
        }
        refuseLoggerDelegate();
    }
    void setReachabilityDelegate(std::weak_ptr<DVUNetworkReachabilityDelegate> delegate);

    bool isNetworkConnected() const { return networkConnected_.load(); }
    bool hasUploadInProgress() const { return requests_.count() > 0; }
    bool isDebugModeEnabled() const { return debugMode_.load(); }
    void setDebugModeEnabled(bool enabled) { debugMode_.store(enabled); }
    double timeoutInterval() const;
    void setTimeoutInterval(double seconds);
    const std::shared_ptr<DVUReachabilityChecker>& reachability() const { return reachability_; }

private:
    // A request to the address that bypasses every cache, with the front end's time-out (60 s when it has none).
    plat::URLRequest freshRequest(const plat::URL& url) const;
    static void refuseLoggerDelegate();
    std::shared_ptr<DVUNetworkLoggerDelegate> currentLoggerDelegate() const;
    std::optional<std::string> startFetcher(bool post, const plat::URL& url, const plat::URLRequest& request,
                                            plat::DispatchQueuePtr queue, bool usingBackgroundSession,
                                            DVUNetworkRequestCompletion completionHandler);

    std::shared_ptr<DVUReachabilityChecker> reachability_;
    std::shared_ptr<DVUNetworkSharedSession> sharedSession_;
    DVUMutableDictionary requests_;
    std::atomic<bool> networkConnected_{false};
    std::atomic<bool> debugMode_{false};
    mutable std::mutex mutex_;
    std::weak_ptr<DVUNetworkReachabilityDelegate> reachabilityDelegate_;
    std::weak_ptr<DVUNetworkLoggerDelegate> loggerDelegate_;
    double timeoutInterval_ = 60;
};
