#pragma once
// The per-task state a request owns: what the URL session reported about its task (first error, first
// response time, metrics, body, progress, downloaded file) and the suspended operation queue on which the
// request's end-time stamp and its response handlers wait until the task completes.

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "Zavorida/Source/AnyError.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/net/URLSessionDelegate.hpp"
#include "platform/net/URLSessionTask.hpp"

namespace plat {
class URLSession;
class InputStream;
} // namespace plat

namespace Zavorida {

// Seconds since 1 January 2001 UTC, the clock of every time the client records.
double absoluteTimeNow();

// Units of work done out of a total; safe to read from any thread while the delegate queue updates it.
class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount = 0) : total_(totalUnitCount) {}
    std::int64_t totalUnitCount() const { return total_.load(); }
    void setTotalUnitCount(std::int64_t count) { total_.store(count); }
    std::int64_t completedUnitCount() const { return completed_.load(); }
    void setCompletedUnitCount(std::int64_t count) { completed_.store(count); }
    // 0 while the total is unknown or zero.
    double fractionCompleted() const;

private:
    std::atomic<std::int64_t> total_;
    std::atomic<std::int64_t> completed_{0};
};
using ProgressPtr = std::shared_ptr<Progress>;

struct ProgressHandler {
    std::function<void(const ProgressPtr&)> closure;
    plat::DispatchQueuePtr queue;
};

// Bit flags telling how a finished download is moved to its destination; a set of options over rawValue.
struct DownloadOptions {
    std::uint64_t rawValue = 0;

    static constexpr std::uint64_t createIntermediateDirectoriesBit = 1;
    static constexpr std::uint64_t removeExistingFileBit = 2;
    static DownloadOptions createIntermediateDirectories() {
        return DownloadOptions(createIntermediateDirectoriesBit);
    }
    static DownloadOptions removeExistingFile() { return DownloadOptions(removeExistingFileBit); }

    constexpr DownloadOptions() = default;
    constexpr explicit DownloadOptions(std::uint64_t raw) : rawValue(raw) {}
    // A list of options is their union; the empty list is the empty set.
    constexpr DownloadOptions(std::initializer_list<DownloadOptions> options) {
        for (const auto option : options) {
            rawValue |= option.rawValue;
        }
    }

    bool isEmpty() const { return rawValue == 0; }
    bool contains(DownloadOptions other) const { return (rawValue & other.rawValue) == other.rawValue; }
    bool isSubset(DownloadOptions of) const { return (rawValue & ~of.rawValue) == 0; }
    bool isSuperset(DownloadOptions of) const { return of.isSubset(*this); }
    bool isDisjoint(DownloadOptions with) const { return (rawValue & with.rawValue) == 0; }

    DownloadOptions symmetricDifference(DownloadOptions other) const {
        return DownloadOptions(rawValue ^ other.rawValue);
    }
    DownloadOptions subtracting(DownloadOptions other) const {
        return DownloadOptions(rawValue & ~other.rawValue);
    }
    // True when the member was not already in the set; the member as it now stands in the set.
    std::pair<bool, DownloadOptions> insert(DownloadOptions member) {
        const DownloadOptions present(rawValue & member.rawValue);
        rawValue |= member.rawValue;
        return {present != member, present == member ? present : member};
    }
    // The part of the member that was in the set, none when nothing of it was.
    std::optional<DownloadOptions> remove(DownloadOptions member) {
        const DownloadOptions removed(rawValue & member.rawValue);
        rawValue &= ~member.rawValue;
        return removed.isEmpty() ? std::nullopt : std::optional<DownloadOptions>(removed);
    }

    friend DownloadOptions operator|(DownloadOptions a, DownloadOptions b) {
        return DownloadOptions(a.rawValue | b.rawValue);
    }
    friend DownloadOptions operator&(DownloadOptions a, DownloadOptions b) {
        return DownloadOptions(a.rawValue & b.rawValue);
    }
    friend DownloadOptions operator^(DownloadOptions a, DownloadOptions b) {
        return a.symmetricDifference(b);
    }
    friend DownloadOptions operator-(DownloadOptions a, DownloadOptions b) { return a.subtracting(b); }
    friend bool operator==(DownloadOptions, DownloadOptions) = default;
};

struct DownloadDestinationResult {
    plat::URL destinationURL;
    DownloadOptions options;
};
using DownloadDestination = std::function<DownloadDestinationResult(const plat::URL& temporaryURL,
                                                                    const plat::HTTPURLResponse& response)>;

class TaskDelegate : public std::enable_shared_from_this<TaskDelegate> {
public:
    using TaskPtr = std::shared_ptr<plat::URLSessionTask>;
    using WillPerformHTTPRedirection = std::function<std::optional<plat::URLRequest>(
        plat::URLSession&, const TaskPtr&, const plat::HTTPURLResponse&, const plat::URLRequest&)>;
    using DidReceiveChallengeResult =
        std::pair<plat::URLSessionAuthChallengeDisposition, std::optional<plat::URLCredential>>;
    using DidReceiveChallenge = std::function<DidReceiveChallengeResult(
        plat::URLSession&, const TaskPtr&, const plat::URLAuthenticationChallenge&)>;
    using NeedNewBodyStream =
        std::function<std::shared_ptr<plat::InputStream>(plat::URLSession&, const TaskPtr&)>;
    using DidCompleteWithError =
        std::function<void(plat::URLSession&, const TaskPtr&, const std::optional<plat::Error>&)>;

    explicit TaskDelegate(TaskPtr task);
    virtual ~TaskDelegate() = default;
    TaskDelegate(const TaskDelegate&) = delete;
    TaskDelegate& operator=(const TaskDelegate&) = delete;

    // Serial, created suspended; resumed once when the task completes.
    const std::shared_ptr<plat::OperationQueue>& queue() const { return queue_; }

    // The response body as handlers see it; none for a stream request.
    virtual std::optional<plat::Data> data() const { return std::nullopt; }

    std::optional<AnyError> error() const;
    void setError(std::optional<AnyError> error);
    std::optional<double> initialResponseTime() const;
    void setInitialResponseTime(std::optional<double> time);
    std::optional<plat::URLCredential> credential() const;
    void setCredential(std::optional<plat::URLCredential> credential);
    // The platform's task-metrics object, as the session delegate stored it.
    std::any metrics() const;
    void setMetrics(std::any metrics);

    TaskPtr task() const;
    // A new task (a retry) starts from a clean state: reset() runs under the task lock.
    void setTask(TaskPtr task);

    WillPerformHTTPRedirection taskWillPerformHTTPRedirection() const;
    void setTaskWillPerformHTTPRedirection(WillPerformHTTPRedirection closure);
    DidReceiveChallenge taskDidReceiveChallenge() const;
    void setTaskDidReceiveChallenge(DidReceiveChallenge closure);
    NeedNewBodyStream taskNeedNewBodyStream() const;
    void setTaskNeedNewBodyStream(NeedNewBodyStream closure);
    DidCompleteWithError taskDidCompleteWithError() const;
    void setTaskDidCompleteWithError(DidCompleteWithError closure);

    void willPerformHTTPRedirection(plat::URLSession& session, const TaskPtr& task,
                                    const plat::HTTPURLResponse& response, plat::URLRequest newRequest,
                                    const plat::URLSessionDelegate::RedirectCompletion& completion);
    void didReceiveChallenge(plat::URLSession& session, const TaskPtr& task,
                             const plat::URLAuthenticationChallenge& challenge,
                             const plat::URLSessionDelegate::ChallengeCompletion& completion);
    void needNewBodyStream(plat::URLSession& session, const TaskPtr& task,
                           const plat::URLSessionDelegate::BodyStreamCompletion& completion);
    void didCompleteWithError(plat::URLSession& session, const TaskPtr& task,
                              const std::optional<plat::Error>& error);

protected:
    // Clears what belongs to one task; subclasses extend it. Called with the task lock held.
    virtual void reset();
    // What the subclass keeps of a completion error (download resume data).
    virtual void recordCompletionError(const plat::Error&) {}
    // Sets initialResponseTime unless set; for the receiving handlers.
    void markFirstResponse();

    mutable std::mutex stateMutex_;

private:
    const std::shared_ptr<plat::OperationQueue> queue_;
    std::optional<AnyError> error_;
    std::optional<double> initialResponseTime_;
    std::optional<plat::URLCredential> credential_;
    std::any metrics_;
    WillPerformHTTPRedirection willPerformHTTPRedirection_;
    DidReceiveChallenge didReceiveChallenge_;
    NeedNewBodyStream needNewBodyStream_;
    DidCompleteWithError didCompleteWithError_;

    mutable std::mutex taskLock_;
    TaskPtr task_;
};

class DataTaskDelegate : public TaskDelegate {
public:
    using DidReceiveResponse = std::function<plat::URLSessionResponseDisposition(
        plat::URLSession&, const TaskPtr&, const plat::HTTPURLResponse&)>;
    using DidBecomeDownloadTask = std::function<void(plat::URLSession&, const TaskPtr&, const TaskPtr&)>;
    using DidReceiveData = std::function<void(plat::URLSession&, const TaskPtr&, const plat::Data&)>;
    using WillCacheResponse = std::function<std::optional<plat::CachedURLResponse>(
        plat::URLSession&, const TaskPtr&, const plat::CachedURLResponse&)>;

    explicit DataTaskDelegate(TaskPtr task);

    // None while a data stream takes the chunks.
    std::optional<plat::Data> data() const override;

    ProgressPtr progress() const;
    std::optional<ProgressHandler> progressHandler() const;
    void setProgressHandler(std::optional<ProgressHandler> handler);
    std::function<void(const plat::Data&)> dataStream() const;
    void setDataStream(std::function<void(const plat::Data&)> stream);
    std::int64_t totalBytesReceived() const;
    std::optional<std::int64_t> expectedContentLength() const;

    void setDataTaskDidReceiveResponse(DidReceiveResponse closure);
    void setDataTaskDidBecomeDownloadTask(DidBecomeDownloadTask closure);
    void setDataTaskDidReceiveData(DidReceiveData closure);
    WillCacheResponse dataTaskWillCacheResponse() const;
    void setDataTaskWillCacheResponse(WillCacheResponse closure);

    void didReceiveResponse(plat::URLSession& session, const TaskPtr& task,
                            const plat::HTTPURLResponse& response,
                            const plat::URLSessionDelegate::ResponseCompletion& completion);
    void didBecomeDownloadTask(plat::URLSession& session, const TaskPtr& dataTask,
                               const TaskPtr& downloadTask);
    void didReceiveData(plat::URLSession& session, const TaskPtr& task, const plat::Data& data);
    void willCacheResponse(plat::URLSession& session, const TaskPtr& task, plat::CachedURLResponse proposed,
                           const plat::URLSessionDelegate::CacheCompletion& completion);

protected:
    void reset() override;

private:
    ProgressPtr progress_ = std::make_shared<Progress>();
    std::optional<ProgressHandler> progressHandler_;
    std::function<void(const plat::Data&)> dataStream_;
    std::int64_t totalBytesReceived_ = 0;
    plat::Data mutableData_;
    std::optional<std::int64_t> expectedContentLength_;
    DidReceiveResponse didReceiveResponse_;
    DidBecomeDownloadTask didBecomeDownloadTask_;
    DidReceiveData didReceiveData_;
    WillCacheResponse willCacheResponse_;
};

class UploadTaskDelegate : public DataTaskDelegate {
public:
    using DidSendBodyData =
        std::function<void(plat::URLSession&, const TaskPtr&, std::int64_t bytesSent,
                           std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend)>;

    explicit UploadTaskDelegate(TaskPtr task) : DataTaskDelegate(std::move(task)) {}

    ProgressPtr uploadProgress() const;
    std::optional<ProgressHandler> uploadProgressHandler() const;
    void setUploadProgressHandler(std::optional<ProgressHandler> handler);
    void setTaskDidSendBodyData(DidSendBodyData closure);

    void didSendBodyData(plat::URLSession& session, const TaskPtr& task, std::int64_t bytesSent,
                         std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend);

protected:
    void reset() override;

private:
    ProgressPtr uploadProgress_ = std::make_shared<Progress>();
    std::optional<ProgressHandler> uploadProgressHandler_;
    DidSendBodyData didSendBodyData_;
};

class DownloadTaskDelegate : public TaskDelegate {
public:
    using DidWriteData =
        std::function<void(plat::URLSession&, const TaskPtr&, std::int64_t bytesWritten,
                           std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite)>;
    using DidResumeAtOffset = std::function<void(plat::URLSession&, const TaskPtr&, std::int64_t fileOffset,
                                                 std::int64_t expectedTotalBytes)>;

    explicit DownloadTaskDelegate(TaskPtr task) : TaskDelegate(std::move(task)) {}

    // The resume data.
    std::optional<plat::Data> data() const override { return resumeData(); }

    ProgressPtr progress() const;
    std::optional<ProgressHandler> progressHandler() const;
    void setProgressHandler(std::optional<ProgressHandler> handler);
    std::optional<plat::Data> resumeData() const;
    void setResumeData(std::optional<plat::Data> data);
    DownloadDestination destination() const;
    void setDestination(DownloadDestination destination);
    std::optional<plat::URL> temporaryURL() const;
    std::optional<plat::URL> destinationURL() const;

    void setDownloadTaskDidWriteData(DidWriteData closure);
    DidResumeAtOffset downloadTaskDidResumeAtOffset() const;
    void setDownloadTaskDidResumeAtOffset(DidResumeAtOffset closure);

    void didFinishDownloadingToURL(plat::URLSession& session, const TaskPtr& task, const plat::URL& location);
    void didWriteData(plat::URLSession& session, const TaskPtr& task, std::int64_t bytesWritten,
                      std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite);
    void didResumeAtOffset(plat::URLSession& session, const TaskPtr& task, std::int64_t fileOffset,
                           std::int64_t expectedTotalBytes);

protected:
    void reset() override;
    void recordCompletionError(const plat::Error& error) override;

private:
    ProgressPtr progress_ = std::make_shared<Progress>();
    std::optional<ProgressHandler> progressHandler_;
    std::optional<plat::Data> resumeData_;
    DownloadDestination destination_;
    std::optional<plat::URL> temporaryURL_;
    std::optional<plat::URL> destinationURL_;
    DidWriteData didWriteData_;
    DidResumeAtOffset didResumeAtOffset_;
};

} // namespace Zavorida
