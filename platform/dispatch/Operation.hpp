#pragma once
// A unit of work for an OperationQueue: synchronous (done when main() returns) or asynchronous (done
// when it reports isFinished through willChange/didChange), with dependencies, cancellation,
// key-value observation of its state flags and a completion block.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

class Operation;
class OperationQueue;
using OperationPtr = std::shared_ptr<Operation>;

// One key-value-observing notification: prior is true for willChange, false for didChange.
struct KeyChange {
    std::string key;
    bool prior;
};

class Operation : public std::enable_shared_from_this<Operation> {
public:
    Operation();
    virtual ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Runs the operation on the calling thread. A cancelled operation goes straight to finished
    // without main(). Starting an operation that is not ready, executing or finished throws.
    virtual void start();
    virtual void main() {}
    virtual void cancel();

    bool isCancelled() const { return cancelled_.load(); }
    virtual bool isExecuting() const { return executing_.load(); }
    virtual bool isFinished() const { return finished_.load(); }
    // All dependencies finished, or the operation was cancelled.
    virtual bool isReady() const;
    virtual bool isAsynchronous() const { return false; }

    // Also on an operation already queued but not started.
    void addDependency(const OperationPtr& op);
    void removeDependency(const OperationPtr& op);
    std::vector<OperationPtr> dependencies() const;

    // Runs on a global queue after the operation finished.
    void setCompletionBlock(std::function<void()> fn);
    std::function<void()> completionBlock() const;

    std::string name() const;
    void setName(std::string name);

    // Observes "isExecuting", "isFinished", "isCancelled" (or any key a subclass announces). Observers
    // run on the thread that makes the change, in the order will, then did.
    using Observer = std::function<void(Operation&, const KeyChange&)>;
    std::uint64_t observe(const std::string& key, Observer fn);
    void removeObserver(std::uint64_t token);

    void willChangeValueForKey(const std::string& key);
    void didChangeValueForKey(const std::string& key);

    // Blocks until finished (runs other work under the virtual backend).
    void waitUntilFinished();

private:
    friend class OperationQueue;
    void notify(const std::string& key, bool prior);
    void noteFinished();
    bool dependenciesFinished() const;

    std::atomic<bool> cancelled_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> finishSeen_{false};
    std::atomic<bool> enqueued_{false};
    std::atomic<bool> launched_{false}; // handed to a dispatch queue by its OperationQueue

    mutable std::mutex mutex_; // guards the fields below; never held while calling out
    std::vector<OperationPtr> dependencies_;
    std::vector<std::weak_ptr<Operation>> dependents_;
    std::weak_ptr<OperationQueue> queue_;
    std::function<void()> completion_;
    std::string name_;
    struct ObserverEntry {
        std::uint64_t token;
        std::string key;
        std::shared_ptr<Observer> fn;
    };
    std::vector<ObserverEntry> observers_;
    std::uint64_t nextToken_ = 1;

    std::mutex waitMutex_;
    std::condition_variable waitCv_;
};

// Runs one or more blocks as its main().
class BlockOperation : public Operation {
public:
    static std::shared_ptr<BlockOperation> create(std::function<void()> fn);
    void addExecutionBlock(std::function<void()> fn);
    void main() override;

private:
    std::mutex blocksMutex_;
    std::vector<std::function<void()>> blocks_;
};

} // namespace plat
