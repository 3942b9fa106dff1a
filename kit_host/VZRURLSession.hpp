#pragma once
// The URL-session shim: the kit host, the crash reporter and the event kit ask VZRURLSessionConfiguration
// for a configuration and VZRURLSession for a session, and use the result through one interface
// (VZRSession, its tasks and VZRSessionDelegate) whichever session answers. Where the platform's URL session
// is usable (the runtime has "NSURLSession" and the configuration class's background factory) the session
// is the platform's own plat::URLSession, passed through; otherwise it is a connection-based session built
// on plat::URLConnection whose tasks report to the same delegate methods.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Stream.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLConnection.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/net/URLSessionConfiguration.hpp"
#include "platform/net/URLSessionDelegate.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class VZRSession;

// ---- what callers program against ----

enum class VZRSessionTaskKind { data, upload, download };

// A task of either session kind. Created suspended; runs from its first resume().
class VZRSessionTask {
public:
    virtual ~VZRSessionTask() = default;
    virtual VZRSessionTaskKind kind() const = 0;
    virtual void resume() = 0;
    // No further event and no completion follow.
    virtual void cancel() = 0;
    virtual std::optional<plat::URLRequest> originalRequest() const = 0;
    virtual std::shared_ptr<const plat::HTTPURLResponse> response() const = 0;
    virtual std::optional<plat::Error> error() const = 0;
    virtual std::string taskDescription() const = 0;
    virtual void setTaskDescription(std::string description) = 0;
    // The platform's task on the pass-through path, else null.
    virtual std::shared_ptr<plat::URLSessionTask> platformTask() const { return nullptr; }
};
using VZRSessionTaskPtr = std::shared_ptr<VZRSessionTask>;

// The session delegate. respondsTo() answers for the selectors (platform spellings, as in
// plat::URLSessionSelector) of the methods a delegate implements; nothing else is called. Every call runs
// on the session's delegate queue.
class VZRSessionDelegate {
public:
    using ChallengeCompletion = plat::URLSessionDelegate::ChallengeCompletion;
    using ResponseCompletion = plat::URLSessionDelegate::ResponseCompletion;

    virtual ~VZRSessionDelegate() = default;
    virtual bool respondsTo(std::string_view selector) const {
        (void)selector;
        return false;
    }
    // Platform session only: the connection-based session leaves server trust to the URL connection.
    virtual void didBecomeInvalidWithError(VZRSession&, const std::optional<plat::Error>&) {}
    virtual void didReceiveChallenge(VZRSession&, const plat::URLAuthenticationChallenge&, ChallengeCompletion completion) {
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
    virtual void didFinishEventsForBackgroundURLSession(VZRSession&) {}

    virtual void didCompleteWithError(VZRSession&, const VZRSessionTaskPtr&, const std::optional<plat::Error>&) {}
    virtual void didReceiveResponse(VZRSession&, const VZRSessionTaskPtr&, const plat::HTTPURLResponse&,
                                    ResponseCompletion completion) {
        completion(plat::URLSessionResponseDisposition::allow);
    }
    virtual void didReceiveData(VZRSession&, const VZRSessionTaskPtr&, const plat::Data&) {}
    // The file is removed when this returns.
    virtual void didFinishDownloadingToURL(VZRSession&, const VZRSessionTaskPtr&, const plat::URL& location) {
        (void)location;
    }
};

class VZRSession {
public:
    using DataCompletion = plat::URLSession::DataCompletion;
    // The file is removed when the completion returns.
    using DownloadCompletion = plat::URLSession::DownloadCompletion;
    using TaskList = std::vector<VZRSessionTaskPtr>;

    virtual ~VZRSession() = default;
    // A completion handler takes the task's results; the delegate then hears nothing of that task
    // (on the connection-based session) or only what the platform tells it.
    virtual VZRSessionTaskPtr dataTask(const plat::URLRequest& request, DataCompletion completion = nullptr) = 0;
    virtual VZRSessionTaskPtr uploadTask(const plat::URLRequest& request, const plat::URL& fileURL,
                                         DataCompletion completion = nullptr) = 0;
    virtual VZRSessionTaskPtr downloadTask(const plat::URLRequest& request, DownloadCompletion completion = nullptr) = 0;
    VZRSessionTaskPtr downloadTask(const plat::URL& url) { return downloadTask(plat::URLRequest(url)); }
    // Answered on the delegate queue.
    virtual void getTasks(std::function<void(TaskList data, TaskList upload, TaskList download)> completion) = 0;
    // The delegate is released; running tasks go on and their completion handlers still run.
    virtual void finishTasksAndInvalidate() = 0;
    // Every running task is cancelled (reporting nothing more), then the delegate is released.
    virtual void invalidateAndCancel() = 0;
    virtual std::shared_ptr<VZRSessionDelegate> delegate() const = 0;
    virtual std::shared_ptr<plat::OperationQueue> delegateQueue() const = 0;
    virtual std::string sessionDescription() const = 0;
    virtual void setSessionDescription(std::string description) = 0;
    // The platform's session on the pass-through path, else null.
    virtual std::shared_ptr<plat::URLSession> platformSession() const { return nullptr; }
};
using VZRSessionPtr = std::shared_ptr<VZRSession>;

// ---- configuration ----

class VZRURLSessionConfiguration {
public:
    static std::shared_ptr<VZRURLSessionConfiguration> defaultSessionConfiguration();
    static std::shared_ptr<VZRURLSessionConfiguration> ephemeralSessionConfiguration();
    // None on the connection-based path.
    static std::shared_ptr<VZRURLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(std::string identifier);
    static std::shared_ptr<VZRURLSessionConfiguration> backgroundSessionConfiguration(std::string identifier) {
        return backgroundSessionConfigurationWithIdentifier(std::move(identifier));
    }

    VZRURLSessionConfiguration() = default;
    explicit VZRURLSessionConfiguration(plat::URLSessionConfiguration platform) : platform_(std::move(platform)) {}

    // The platform's configuration on the pass-through path (every field of it applies there).
    const std::optional<plat::URLSessionConfiguration>& platformConfiguration() const { return platform_; }
    plat::URLSessionConfiguration* mutablePlatformConfiguration() { return platform_ ? &*platform_ : nullptr; }

    // The only field the connection-based session applies.
    plat::Dictionary HTTPAdditionalHeaders() const;
    void setHTTPAdditionalHeaders(plat::Dictionary headers);

    // Kept for the caller; the connection-based session does not apply them.
    std::shared_ptr<plat::URLCache> URLCache;
    uint64_t HTTPCookieAcceptPolicy = 0;
    double timeoutIntervalForRequest = 0;
    double timeoutIntervalForResource = 0;
    bool allowsCellularAccess = false;
    bool sessionSendsLaunchEvents() const { return false; }
    void setSessionSendsLaunchEvents(bool) {}

    // A new configuration that carries only the additional headers (the platform's is copied whole).
    std::shared_ptr<VZRURLSessionConfiguration> copy() const;

private:
    std::optional<plat::URLSessionConfiguration> platform_;
    plat::Dictionary headers_;
};

// ---- the connection-based session ----

class VZRURLSession;

// The base of the connection-based tasks.
class VZRURLSessionTask : public VZRSessionTask, public std::enable_shared_from_this<VZRURLSessionTask> {
public:
    static constexpr const char* kQueueLabel = "com.vuzidorazav.URLSessionTask";

    VZRURLSessionTask();
    std::optional<plat::URLRequest> originalRequest() const override;
    std::shared_ptr<const plat::HTTPURLResponse> response() const override;
    std::optional<plat::Error> error() const override;
    std::string taskDescription() const override;
    void setTaskDescription(std::string description) override;
    void resume() override {}
    void cancel() override {}
    virtual void cleanup() {}

    const plat::DispatchQueuePtr& queue() const { return queue_; }
    bool invokesDelegate() const { return invokesDelegate_; }

protected:
    friend class VZRURLSession;
    std::weak_ptr<VZRURLSession> session_;
    const plat::DispatchQueuePtr queue_;
    bool invokesDelegate_ = true;
    mutable std::mutex mutex_;
    std::optional<plat::URLRequest> originalRequest_;
    std::shared_ptr<const plat::HTTPURLResponse> response_;
    std::optional<plat::Error> error_;
    std::string description_;
};

class VZRURLSessionDataTask : public VZRURLSessionTask {
public:
    VZRSessionTaskKind kind() const override { return VZRSessionTaskKind::data; }
    // Opens one connection however often it is called.
    void resume() override;
    void cancel() override;

    // Connection events, on the task's queue.
    void connectionDidReceiveResponse(std::shared_ptr<const plat::HTTPURLResponse> response);
    virtual void connectionDidReceiveData(const plat::Data& data);
    void connectionDidFailWithError(const plat::Error& error);
    void connectionDidFinishLoading();

protected:
    friend class VZRURLSession;
    // Reports the end once; later events of a task that already ended are dropped.
    virtual void complete();
    bool ended() const { return ended_ || cancelled_.load(); }
    void markEnded() { ended_ = true; }
    void cancelConnection();
    void releaseConnection();

    VZRSession::DataCompletion completionHandler_;
    std::optional<plat::Data> data_;

private:
    bool started_ = false;        // task queue only
    bool ended_ = false;          // task queue only
    std::atomic<bool> cancelled_{false};
    std::optional<plat::URLConnection> connection_;
    std::shared_ptr<plat::URLConnectionDelegate> connectionDelegate_;
};

class VZRURLSessionUploadTask : public VZRURLSessionDataTask {
public:
    VZRSessionTaskKind kind() const override { return VZRSessionTaskKind::upload; }
};

class VZRURLSessionDownloadTask : public VZRURLSessionDataTask {
public:
    static constexpr const char* kErrorDomain = "VZRURLSessionDownloadTaskError";
    static constexpr int64_t kStreamErrorCode = -1;

    VZRURLSessionDownloadTask();
    ~VZRURLSessionDownloadTask() override;
    VZRSessionTaskKind kind() const override { return VZRSessionTaskKind::download; }

    // `<home>/tmp/<globally unique string>`.
    static plat::URL temporaryFileURL();
    const plat::URL& targetURL() const { return targetURL_; }

    void connectionDidReceiveData(const plat::Data& data) override;
    // Ends the task with the stream error (unless an error was recorded already); the file goes in cleanup.
    void completeForError();
    void cleanup() override;

protected:
    friend class VZRURLSession;
    void complete() override;

private:
    // Writes every byte; false when the stream takes no more.
    bool writeDataToStream(const plat::Data& data);

    VZRSession::DownloadCompletion downloadCompletionHandler_;
    plat::URL targetURL_;
    std::shared_ptr<plat::OutputStream> outputStream_;
};

class VZRURLSession : public VZRSession, public std::enable_shared_from_this<VZRURLSession> {
public:
    static constexpr const char* kQueueLabel = "com.vuzidorazav.URLSession";

    // The decision rule, evaluated anew on each call.
    static bool NSURLSessionShouldBeUsed();
    // The platform's session when the rule holds. Otherwise a connection-based session; none for a null
    // configuration; a delegate without a queue gets newDefaultDelegateQueue().
    static VZRSessionPtr sessionWithConfiguration(const std::shared_ptr<VZRURLSessionConfiguration>& configuration,
                                                  std::shared_ptr<VZRSessionDelegate> delegate = nullptr,
                                                  std::shared_ptr<plat::OperationQueue> delegateQueue = nullptr);
    // "VZRURLSession <address>", one operation at a time.
    static std::shared_ptr<plat::OperationQueue> newDefaultDelegateQueue();

    VZRURLSession(std::shared_ptr<VZRURLSessionConfiguration> configuration, std::shared_ptr<VZRSessionDelegate> delegate,
                  std::shared_ptr<plat::OperationQueue> delegateQueue);

    VZRSessionTaskPtr dataTask(const plat::URLRequest& request, DataCompletion completion = nullptr) override;
    VZRSessionTaskPtr uploadTask(const plat::URLRequest& request, const plat::URL& fileURL,
                                 DataCompletion completion = nullptr) override;
    VZRSessionTaskPtr downloadTask(const plat::URLRequest& request, DownloadCompletion completion = nullptr) override;
    using VZRSession::downloadTask;
    // Three empty lists: no task of this session outlives the process.
    void getTasks(std::function<void(TaskList, TaskList, TaskList)> completion) override;
    void finishTasksAndInvalidate() override;
    void invalidateAndCancel() override;
    std::shared_ptr<VZRSessionDelegate> delegate() const override;
    std::shared_ptr<plat::OperationQueue> delegateQueue() const override { return delegateQueue_; }
    std::string sessionDescription() const override;
    void setSessionDescription(std::string description) override;

    const std::shared_ptr<VZRURLSessionConfiguration>& configuration() const { return configuration_; }
    std::size_t liveTaskCount() const;

    // Called by the tasks, on their queues.
    void taskDidCompleteWithError(const std::shared_ptr<VZRURLSessionTask>& task, const std::optional<plat::Error>& error);
    void taskDidReceiveResponse(const std::shared_ptr<VZRURLSessionTask>& task, const plat::HTTPURLResponse& response);
    void taskDidReceiveData(const std::shared_ptr<VZRURLSessionTask>& task, const plat::Data& data);
    void downloadTaskDidFinishDownloadingToURL(const std::shared_ptr<VZRURLSessionDownloadTask>& task, const plat::URL& location);
    plat::URLRequest taskWillPerformHTTPRedirection(const plat::URLRequest& proposed) { return proposed; }
    void removeTaskFromSet(const std::shared_ptr<VZRURLSessionTask>& task);

private:
    void configureTask(const std::shared_ptr<VZRURLSessionTask>& task, const plat::URLRequest& request,
                       const std::function<void(plat::URLRequest&)>& block = nullptr);
    // The delegate, when the task lets it be called and it answers the selector.
    std::shared_ptr<VZRSessionDelegate> delegateFor(std::string_view selector, const VZRURLSessionTask& task) const;

    const std::shared_ptr<VZRURLSessionConfiguration> configuration_;
    const std::shared_ptr<plat::OperationQueue> delegateQueue_;
    const plat::DispatchQueuePtr queue_;
    std::set<std::shared_ptr<VZRURLSessionTask>> taskSet_; // queue_ only
    mutable std::mutex mutex_;
    std::shared_ptr<VZRSessionDelegate> delegate_;
    std::string description_;
};

// The pass-through session over the platform's URL session (made by VZRURLSession::sessionWithConfiguration).
VZRSessionPtr VZRMakePlatformSession(const plat::URLSessionConfiguration& configuration,
                                     std::shared_ptr<VZRSessionDelegate> delegate,
                                     std::shared_ptr<plat::OperationQueue> delegateQueue);
