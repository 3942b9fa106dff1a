#pragma once
// The base of the kit host's asynchronous operations: an operation-queue operation whose work may end on
// another thread long after main() returned, and which reports its own end through finishWithError().
// ZUVCompoundOperation runs a list of them on a queue of its own and finishes once, when all have, with
// one aggregated error.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Operation.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Error.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A recursive lock that carries a name, so a stuck thread shows which operation holds it.
class ZUVRecursiveLock {
public:
    explicit ZUVRecursiveLock(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::string name_;
    std::recursive_mutex mutex_;
};

class ZUVAsyncOperation : public plat::Operation {
public:
    using AsyncCompletion = std::function<void(const std::optional<plat::Error>&)>;

    // `className` names the lock ("com.ruzovid.<className>-lock"); subclasses pass their own name.
    explicit ZUVAsyncOperation(std::string className = "ZUVAsyncOperation");

    const std::string& className() const { return className_; }
    const ZUVRecursiveLock& lockObject() const { return *lock_; }

    bool isAsynchronous() const override { return true; }
    bool isConcurrent() const { return true; }
    bool isExecuting() const override;
    bool isFinished() const override;

    // A cancelled operation goes straight to finished; otherwise markStarted(), then main() here.
    void start() override;
    // When cancelled: markDone() and true. Subclasses may call it at any point of their work.
    bool checkForCancellation();
    void markStarted();
    void markDone();
    // Calls the async completion (when set) on this thread, then markDone().
    void finishWithError(const std::optional<plat::Error>& error);

    void lock(const std::function<void()>& block);
    void changeValueForKey(const std::string& key, const std::function<void()>& block);

    AsyncCompletion asyncCompletion() const;
    void setAsyncCompletion(AsyncCompletion completion);

protected:
    void unlockedMarkStarted();
    void unlockedMarkComplete();
    void unlockedMarkFinished();

private:
    const std::string className_;
    // Held by pointer so const readers can take it.
    std::unique_ptr<ZUVRecursiveLock> lock_;
    bool internalExecuting_ = false;
    bool internalFinished_ = false;
    AsyncCompletion asyncCompletion_;
};

class ZUVCompoundOperation : public ZUVAsyncOperation {
public:
    static constexpr const char* kErrorDomain = "com.ruzovid.ZUVCompoundOperation.error";
    static constexpr int64_t kCancelledErrorCode = -2;
    static constexpr int64_t kFailedErrorCode = -3;
    static constexpr const char* kUnderlyingErrorsKey =
        "com.ruzovid.ZUVCompoundOperation.error.user-info-key.underlying-errors";
    static constexpr const char* kCountingQueueLabel =
        "com.ruzovid.ZUVCompoundOperation.dispatch-queue.counting-queue";

    static std::shared_ptr<ZUVCompoundOperation> create();
    ZUVCompoundOperation();

    // Set before the operation starts.
    std::vector<std::shared_ptr<ZUVAsyncOperation>> operations() const;
    void setOperations(std::vector<std::shared_ptr<ZUVAsyncOperation>> operations);
    const std::shared_ptr<plat::OperationQueue>& compoundQueue() const { return compoundQueue_; }
    const plat::DispatchQueuePtr& countingQueue() const { return countingQueue_; }
    uint64_t completedOperations() const;
    // The sub-operations' errors, in the order they were recorded.
    std::vector<plat::Error> errors() const;
    // The errors under kUnderlyingErrorsKey of a -3 error, as they were recorded.
    static std::vector<plat::Error> underlyingErrors(const plat::Error& error);

    void main() override;
    void cancel() override;

    void injectCompoundAsyncCompletionInOperation(const std::shared_ptr<ZUVAsyncOperation>& operation);
    void injectCompoundSyncCompletionInOperation(const std::shared_ptr<ZUVAsyncOperation>& operation);
    void updateCompletionCountsWithError(const std::optional<plat::Error>& error);
    void attemptCompoundCompletion();

private:
    std::weak_ptr<ZUVCompoundOperation> weakSelf();
    // On the counting queue only.
    void attemptCompoundCompletionOnCountingQueue();

    std::shared_ptr<plat::OperationQueue> compoundQueue_;
    plat::DispatchQueuePtr countingQueue_;
    mutable std::mutex operationsMutex_;
    std::vector<std::shared_ptr<ZUVAsyncOperation>> operations_;
    // Touched only on the counting queue.
    uint64_t completedOperations_ = 0;
    std::vector<plat::Error> errors_;
    bool compoundCompleted_ = false;
};
