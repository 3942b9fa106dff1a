#pragma once
// URLSession: makes tasks from requests, runs them on its transport (libcurl on an I/O thread of its own,
// or the scripted transport in tests) and reports every event, in order, on its delegate queue.

#include "platform/dispatch/OperationQueue.hpp"
#include "platform/net/URLSessionConfiguration.hpp"
#include "platform/net/URLSessionDelegate.hpp"
#include "platform/net/URLSessionTask.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class WireTransport;

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    using DataCompletion = std::function<void(std::optional<Data>, std::shared_ptr<const HTTPURLResponse>,
                                              std::optional<Error>)>;
    using DownloadCompletion =
        std::function<void(std::optional<URL>, std::shared_ptr<const HTTPURLResponse>, std::optional<Error>)>;
    using TaskList = std::vector<std::shared_ptr<URLSessionTask>>;

    // The process-wide session without a delegate; it cannot be invalidated.
    static std::shared_ptr<URLSession> shared();
    // Without a queue the session makes a serial operation queue of its own. A session lives until it is
    // invalidated, holding its delegate strongly until then. Delegate callbacks and completion blocks run as
    // operations of the delegate queue, in order; while a transfer runs alone, that is on the session's I/O
    // thread, so a callback that blocks holds up the session's other work until it returns.
    static std::shared_ptr<URLSession> make(const URLSessionConfiguration& configuration,
                                            std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                            std::shared_ptr<OperationQueue> delegateQueue = nullptr);
    // The live (not invalidated) session made with a background configuration of this identifier.
    static std::shared_ptr<URLSession> forBackgroundIdentifier(std::string_view identifier);

    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    const URLSessionConfiguration& configuration() const { return configuration_; }
    std::shared_ptr<URLSessionDelegate> delegate() const;
    const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }
    std::string sessionDescription() const;
    void setSessionDescription(std::string description);

    std::shared_ptr<URLSessionDataTask> dataTask(const URLRequest& request,
                                                 DataCompletion completion = nullptr);
    std::shared_ptr<URLSessionDataTask> dataTask(const URL& url, DataCompletion completion = nullptr);
    std::shared_ptr<URLSessionUploadTask> uploadTask(const URLRequest& request, Data body,
                                                     DataCompletion completion = nullptr);
    std::shared_ptr<URLSessionUploadTask> uploadTask(const URLRequest& request, const URL& fileURL,
                                                     DataCompletion completion = nullptr);
    // The body comes from the delegate's needNewBodyStream.
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDownloadTask> downloadTask(const URLRequest& request,
                                                         DownloadCompletion completion = nullptr);
    std::shared_ptr<URLSessionDownloadTask> downloadTask(const URL& url,
                                                         DownloadCompletion completion = nullptr);
    std::shared_ptr<URLSessionDownloadTask>
    downloadTaskWithResumeData(const Data& resumeData, DownloadCompletion completion = nullptr);
    std::shared_ptr<URLSessionStreamTask> streamTask(std::string host, int port);

    // Tasks not yet completed, answered on the delegate queue.
    void getTasks(
        std::function<void(TaskList dataTasks, TaskList uploadTasks, TaskList downloadTasks)> completion);
    void getAllTasks(std::function<void(TaskList)> completion);

    // No new tasks afterwards. Running tasks finish; then didBecomeInvalidWithError(none) and the delegate is
    // released. Ignored on shared().
    void finishTasksAndInvalidate();
    // The same, cancelling every task first (-999).
    void invalidateAndCancel();
    bool isInvalidated() const;

    // Internal: used by the tasks.
    struct Private {};
    URLSession(Private, URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
               std::shared_ptr<OperationQueue> delegateQueue, bool isShared);
    // Runs fn on the delegate queue, after everything delivered before it.
    void deliver(std::function<void()> fn);
    // True while the calling thread runs delegate work of a session on that session's I/O thread, which
    // has nothing else to do (see deliver): work that follows from it may run here as well.
    static bool isDeliveringOnQuietThread();
    // True when a delegate is set, not yet released, and answers the selector.
    bool delegateResponds(std::string_view selector) const;
    WireTransport& transport() { return *transport_; }
    // `<home>/tmp/<session folder>`, made 0700 on first use.
    std::string downloadFolder();
    void taskCompleted(uint64_t identifier);

private:
    template <class T> std::shared_ptr<T> registerTask(std::shared_ptr<T> task);
    std::shared_ptr<URLSessionTask> makeTask(URLSessionTaskKind kind, std::optional<URLRequest> request);
    void invalidate(bool cancel);
    void finishInvalidationIfDone();

    const URLSessionConfiguration configuration_;
    const std::shared_ptr<OperationQueue> delegateQueue_;
    const bool isShared_;
    std::unique_ptr<WireTransport> transport_;
    DispatchQueuePtr virtualDelivery_; // virtual backend only

    mutable std::mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::map<uint64_t, std::shared_ptr<URLSessionTask>> tasks_;
    uint64_t nextIdentifier_ = 1;
    bool invalidating_ = false;
    bool invalidated_ = false;
    std::string description_;
    std::string downloadFolder_;
};

} // namespace plat
