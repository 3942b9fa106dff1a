#pragma once
// Runs Operations when they are ready, up to a concurrency limit, in insertion order among ready ones.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Operation.hpp"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
    static constexpr long kDefaultMaxConcurrentOperationCount = -1;

    static std::shared_ptr<OperationQueue> create(std::string name = {});
    // Width 1, runs on the main queue.
    static std::shared_ptr<OperationQueue> main();
    // The queue whose operation the calling thread runs, or nullptr.
    static std::shared_ptr<OperationQueue> current();

    // Never runs the operation inline. Adding an operation twice or a finished one throws.
    void addOperation(const OperationPtr& op);
    void addOperationWithBlock(std::function<void()> fn);
    void addOperations(const std::vector<OperationPtr>& ops, bool waitUntilFinished);
    // Runs `fn` at once on the calling thread as an operation of this queue when the queue is idle: no
    // operation waiting or running, not suspended, not the main queue. Otherwise returns false and leaves
    // `fn` untouched, for the caller to add it as usual. For a thread that would only hand the work over
    // and wait for the next event, this saves waking another thread.
    bool runIfIdle(std::function<void()>& fn);
    void cancelAllOperations();
    // Operations added and not yet finished.
    std::size_t operationCount() const;
    std::vector<OperationPtr> operations() const;
    void waitUntilAllOperationsAreFinished();

    long maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(long count);
    bool isSuspended() const;
    void setSuspended(bool suspended);
    // Lifts the suspension and runs the operations that are ready on the calling thread, in order and as
    // operations of this queue, until none is; later ones run as usual. For a thread that would otherwise
    // wake another to run them and go idle itself. A queue bound to a dispatch queue only resumes.
    void resumeRunningHere();
    std::string name() const;
    void setName(std::string name);
    QoS qualityOfService() const;
    void setQualityOfService(QoS qos);

    OperationQueue(std::string name, DispatchQueuePtr runOn, long width);
    ~OperationQueue();

private:
    friend class Operation;
    void operationFinished(Operation* op);
    void pump();
    // Marks the ready operations that the queue may start now as launched, in insertion order.
    std::vector<OperationPtr> claimReady(bool forDrain);
    void launch(const OperationPtr& op);
    void runLaunched(OperationPtr op);

    DispatchQueuePtr runOn_;
    mutable std::mutex mutex_;
    std::string name_;
    long width_;
    bool suspended_ = false;
    bool drainingHere_ = false; // resumeRunningHere is taking the operations; pump leaves them
    QoS qos_ = QoS::defaultQoS;
    bool isMainQueue_;
    long running_ = 0;
    std::vector<OperationPtr> ops_; // insertion order, until finished
    std::condition_variable drained_;
};

} // namespace plat
