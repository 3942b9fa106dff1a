#include "platform/dispatch/Operation.hpp"

#include "platform/dispatch/DispatchInternal.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <algorithm>
#include <stdexcept>

namespace plat {

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
    if (isFinished()) {
        return;
    }
    if (isExecuting()) {
        throw std::logic_error("Operation::start: the operation is already executing");
    }
    if (!isCancelled() && !isReady()) {
        throw std::logic_error("Operation::start: the operation is not yet ready to execute");
    }
    if (isCancelled()) {
        willChangeValueForKey("isFinished");
        finished_.store(true);
        didChangeValueForKey("isFinished");
        return;
    }
    willChangeValueForKey("isExecuting");
    executing_.store(true);
    didChangeValueForKey("isExecuting");
    main();
    willChangeValueForKey("isExecuting");
    executing_.store(false);
    didChangeValueForKey("isExecuting");
    willChangeValueForKey("isFinished");
    finished_.store(true);
    didChangeValueForKey("isFinished");
}

void Operation::cancel() {
    if (cancelled_.load() || isFinished()) {
        return;
    }
    willChangeValueForKey("isCancelled");
    cancelled_.store(true);
    didChangeValueForKey("isCancelled");
    // A cancelled operation no longer waits for its dependencies, so its queue may start it now.
    std::shared_ptr<OperationQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = queue_.lock();
    }
    if (queue) {
        queue->pump();
    }
}

bool Operation::dependenciesFinished() const {
    std::lock_guard lock(mutex_);
    return std::all_of(dependencies_.begin(), dependencies_.end(),
                       [](const OperationPtr& d) { return d->finishSeen_.load(); });
}

bool Operation::isReady() const {
    return isCancelled() || dependenciesFinished();
}

void Operation::addDependency(const OperationPtr& op) {
    if (!op || op.get() == this) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (std::find(dependencies_.begin(), dependencies_.end(), op) != dependencies_.end()) {
            return;
        }
        dependencies_.push_back(op);
    }
    std::lock_guard lock(op->mutex_);
    op->dependents_.push_back(weak_from_this());
}

void Operation::removeDependency(const OperationPtr& op) {
    std::shared_ptr<OperationQueue> queue;
    {
        std::lock_guard lock(mutex_);
        dependencies_.erase(std::remove(dependencies_.begin(), dependencies_.end(), op), dependencies_.end());
        queue = queue_.lock();
    }
    if (queue) {
        queue->pump();
    }
}

std::vector<OperationPtr> Operation::dependencies() const {
    std::lock_guard lock(mutex_);
    return dependencies_;
}

void Operation::setCompletionBlock(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    completion_ = std::move(fn);
}

std::function<void()> Operation::completionBlock() const {
    std::lock_guard lock(mutex_);
    return completion_;
}

std::string Operation::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void Operation::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

std::uint64_t Operation::observe(const std::string& key, Observer fn) {
    std::lock_guard lock(mutex_);
    std::uint64_t token = nextToken_++;
    observers_.push_back(ObserverEntry{token, key, std::make_shared<Observer>(std::move(fn))});
    return token;
}

void Operation::removeObserver(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                    [token](const ObserverEntry& e) { return e.token == token; }),
                     observers_.end());
}

void Operation::notify(const std::string& key, bool prior) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : observers_) {
            if (e.key == key) {
                matching.push_back(e.fn);
            }
        }
    }
    KeyChange change{key, prior};
    for (const auto& fn : matching) {
        (*fn)(*this, change);
    }
}

void Operation::willChangeValueForKey(const std::string& key) {
    notify(key, true);
}

void Operation::didChangeValueForKey(const std::string& key) {
    notify(key, false);
    if (key == "isFinished" && isFinished()) {
        noteFinished();
    }
}

void Operation::noteFinished() {
    if (finishSeen_.exchange(true)) {
        return;
    }
    std::function<void()> completion;
    std::vector<std::weak_ptr<Operation>> dependents;
    std::shared_ptr<OperationQueue> queue;
    {
        std::lock_guard lock(mutex_);
        completion = completion_;
        dependents = dependents_;
        queue = queue_.lock();
    }
    if (completion) {
        DispatchQueue::global()->async(std::move(completion));
    }
    if (queue) {
        queue->operationFinished(this);
    }
    for (const auto& weak : dependents) {
        if (auto dependent = weak.lock()) {
            std::shared_ptr<OperationQueue> theirs;
            {
                std::lock_guard lock(dependent->mutex_);
                theirs = dependent->queue_.lock();
            }
            if (theirs) {
                theirs->pump();
            }
        }
    }
    { std::lock_guard lock(waitMutex_); }
    detail::executor().notify(waitCv_);
}

void Operation::waitUntilFinished() {
    detail::executor().wait(
        waitMutex_, waitCv_, [this] { return finishSeen_.load(); }, kWaitForever);
}

// BlockOperation

std::shared_ptr<BlockOperation> BlockOperation::create(std::function<void()> fn) {
    auto op = std::make_shared<BlockOperation>();
    op->addExecutionBlock(std::move(fn));
    return op;
}

void BlockOperation::addExecutionBlock(std::function<void()> fn) {
    if (!fn) {
        return;
    }
    std::lock_guard lock(blocksMutex_);
    blocks_.push_back(std::move(fn));
}

void BlockOperation::main() {
    std::vector<std::function<void()>> blocks;
    {
        std::lock_guard lock(blocksMutex_);
        blocks = blocks_;
    }
    for (const auto& b : blocks) {
        b();
    }
}

} // namespace plat
