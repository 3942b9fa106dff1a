#include "platform/dispatch/OperationQueue.hpp"

#include "platform/dispatch/DispatchInternal.hpp"
#include "platform/dispatch/Thread.hpp"

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace plat {
namespace {

std::weak_ptr<OperationQueue>& currentSlot() {
    thread_local std::weak_ptr<OperationQueue> slot;
    return slot;
}

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(std::weak_ptr<OperationQueue> q) : saved_(std::move(currentSlot())) {
        currentSlot() = std::move(q);
    }
    ~CurrentQueueScope() { currentSlot() = std::move(saved_); }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    std::weak_ptr<OperationQueue> saved_;
};

// A worker that finishes an operation of a serial queue runs the queue's next one itself, as a serial
// dispatch queue drains on one thread, instead of handing it to another worker to wake. Bounded, so that a
// busy queue still gives its worker back now and then.
struct Continuation {
    const OperationQueue* queue = nullptr; // the serial queue whose operation this thread runs
    OperationPtr next;                     // launched by it meanwhile, to run here next
};

Continuation& continuation() {
    thread_local Continuation c;
    return c;
}

constexpr int kMaxContinued = 64;

} // namespace

OperationQueue::OperationQueue(std::string name, DispatchQueuePtr runOn, long width)
    : runOn_(std::move(runOn)), name_(std::move(name)), width_(width),
      isMainQueue_(runOn_ && runOn_->isMain()) {}

OperationQueue::~OperationQueue() = default;

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name) {
    return std::make_shared<OperationQueue>(std::move(name), nullptr, kDefaultMaxConcurrentOperationCount);
}

std::shared_ptr<OperationQueue> OperationQueue::main() {
    static detail::Immortal<std::shared_ptr<OperationQueue>> q(
        std::make_shared<OperationQueue>("main", DispatchQueue::main(), 1));
    return q.get();
}

std::shared_ptr<OperationQueue> OperationQueue::current() {
    if (auto q = currentSlot().lock()) {
        return q;
    }
    return Thread::isMainThread() ? main() : nullptr;
}

void OperationQueue::addOperation(const OperationPtr& op) {
    if (!op) {
        return;
    }
    if (op->finishSeen_.load() || op->isExecuting()) {
        throw std::invalid_argument("OperationQueue::addOperation: the operation is finished or executing");
    }
    if (op->enqueued_.exchange(true)) {
        throw std::invalid_argument("OperationQueue::addOperation: the operation is already in a queue");
    }
    {
        std::lock_guard lock(op->mutex_);
        op->queue_ = weak_from_this();
    }
    {
        std::lock_guard lock(mutex_);
        ops_.push_back(op);
    }
    pump();
}

void OperationQueue::addOperationWithBlock(std::function<void()> fn) {
    addOperation(BlockOperation::create(std::move(fn)));
}

bool OperationQueue::runIfIdle(std::function<void()>& fn) {
    if (runOn_) {
        return false; // bound to a dispatch queue (the main queue among them): its work runs there
    }
    OperationPtr op;
    {
        std::lock_guard lock(mutex_);
        if (suspended_ || !ops_.empty()) {
            return false;
        }
        op = BlockOperation::create(std::move(fn));
        op->enqueued_.store(true);
        op->launched_.store(true);
        ++running_;
        ops_.push_back(op);
    }
    {
        std::lock_guard lock(op->mutex_);
        op->queue_ = weak_from_this();
    }
    CurrentQueueScope scope(weak_from_this());
    op->start();
    return true;
}

void OperationQueue::addOperations(const std::vector<OperationPtr>& ops, bool waitUntilFinished) {
    for (const auto& op : ops) {
        addOperation(op);
    }
    if (waitUntilFinished) {
        for (const auto& op : ops) {
            if (op) {
                op->waitUntilFinished();
            }
        }
    }
}

void OperationQueue::cancelAllOperations() {
    for (const auto& op : operations()) {
        op->cancel();
    }
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return ops_.size();
}

std::vector<OperationPtr> OperationQueue::operations() const {
    std::lock_guard lock(mutex_);
    return ops_;
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    detail::executor().wait(
        mutex_, drained_, [this] { return ops_.empty(); }, kWaitForever);
}

long OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(mutex_);
    return width_;
}

void OperationQueue::setMaxConcurrentOperationCount(long count) {
    if (isMainQueue_) {
        return; // the main queue stays serial
    }
    {
        std::lock_guard lock(mutex_);
        width_ = count;
    }
    pump();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard lock(mutex_);
    return suspended_;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard lock(mutex_);
        suspended_ = suspended;
    }
    if (!suspended) {
        pump();
    }
}

void OperationQueue::resumeRunningHere() {
    bool drain = false;
    {
        std::lock_guard lock(mutex_);
        suspended_ = false;
        if (drainingHere_) {
            return; // the drain under way takes the operations
        }
        // A queue bound to a dispatch queue, or wider than one, runs its operations where it always does.
        drain = !runOn_ && width_ == 1;
        drainingHere_ = drain;
    }
    while (drain) {
        const auto claimed = claimReady(true);
        if (claimed.empty()) {
            break;
        }
        CurrentQueueScope scope(weak_from_this());
        for (const auto& op : claimed) {
            op->start();
        }
    }
    {
        std::lock_guard lock(mutex_);
        drainingHere_ = false;
    }
    // Whatever is left runs as usual; an operation that finished elsewhere while this thread held the
    // queue found pump closed and is picked up here.
    pump();
}

std::string OperationQueue::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void OperationQueue::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

QoS OperationQueue::qualityOfService() const {
    std::lock_guard lock(mutex_);
    return qos_;
}

void OperationQueue::setQualityOfService(QoS qos) {
    std::lock_guard lock(mutex_);
    qos_ = qos;
}

void OperationQueue::operationFinished(Operation* op) {
    {
        std::lock_guard lock(mutex_);
        auto it =
            std::find_if(ops_.begin(), ops_.end(), [op](const OperationPtr& p) { return p.get() == op; });
        if (it == ops_.end()) {
            return;
        }
        if (op->launched_.load()) {
            --running_;
        }
        ops_.erase(it);
    }
    detail::executor().notify(drained_);
    pump();
}

void OperationQueue::pump() {
    for (const auto& op : claimReady(false)) {
        launch(op);
    }
}

// Readiness may call into subclasses, so it is evaluated outside the queue's lock and the claim re-checked
// under it. A drain under way holds the queue: only the drain itself (`forDrain`) claims then.
std::vector<OperationPtr> OperationQueue::claimReady(bool forDrain) {
    auto closed = [&] {
        const long width = width_ <= 0 ? LONG_MAX : width_;
        return suspended_ || (drainingHere_ && !forDrain) || running_ >= width;
    };
    // One vector from candidates to claims: a pump runs for every operation a queue takes.
    std::vector<OperationPtr> claimed;
    {
        std::lock_guard lock(mutex_);
        if (closed()) {
            return {};
        }
        for (const auto& op : ops_) {
            if (!op->launched_.load()) {
                claimed.push_back(op);
            }
        }
    }
    std::erase_if(claimed, [](const OperationPtr& op) { return !op->isReady(); });
    std::size_t kept = 0;
    std::lock_guard lock(mutex_);
    for (auto& op : claimed) {
        if (closed()) {
            break;
        }
        if (op->launched_.exchange(true)) {
            continue;
        }
        ++running_;
        claimed[kept++] = std::move(op);
    }
    claimed.resize(kept);
    return claimed;
}

void OperationQueue::launch(const OperationPtr& op) {
    QoS qos;
    long width;
    {
        std::lock_guard lock(mutex_);
        qos = qos_;
        width = width_;
    }
    auto& slot = continuation();
    if (slot.queue == this && !slot.next && width == 1) {
        slot.next = op;
        return;
    }
    DispatchQueuePtr target = runOn_ ? runOn_ : DispatchQueue::global(qos);
    target->async([self = shared_from_this(), op] { self->runLaunched(op); });
}

void OperationQueue::runLaunched(OperationPtr op) {
    auto& slot = continuation();
    // Work run while waiting inside an operation (under virtual time) may be another queue's: restored after.
    const OperationQueue* outerQueue = slot.queue;
    OperationPtr outerNext = std::move(slot.next);
    slot.next = nullptr;
    CurrentQueueScope scope(weak_from_this());
    for (int run = 0; op; ++run) {
        slot.queue = !runOn_ && run < kMaxContinued ? this : nullptr;
        op->start();
        op = std::move(slot.next);
        slot.next = nullptr;
    }
    slot.queue = outerQueue;
    slot.next = std::move(outerNext);
}

} // namespace plat
