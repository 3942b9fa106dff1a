#include "platform/dispatch/DispatchQueue.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchInternal.hpp"

#include <array>

namespace plat {

using detail::CorePtr;
using detail::QueueCore;
using detail::QueueKind;

DispatchQueue::DispatchQueue(std::shared_ptr<QueueCore> core) : core_(std::move(core)) {}

DispatchQueue::~DispatchQueue() {
    if (core_->kind == QueueKind::serial) {
        detail::executor().released(core_);
    }
}

DispatchQueuePtr DispatchQueue::main() {
    static detail::Immortal<DispatchQueuePtr> q(std::make_shared<DispatchQueue>(detail::mainCore()));
    return q.get();
}

DispatchQueuePtr DispatchQueue::makeSerial(std::string label, QueueOptions options) {
    auto core = std::make_shared<QueueCore>(std::move(label), QueueKind::serial, options.qos);
    core->target = std::move(options.target);
    core->suspendCount = options.startSuspended ? 1 : 0;
    return std::make_shared<DispatchQueue>(std::move(core));
}

namespace {
constexpr std::array<const char*, 6> kGlobalLabels = {
    "global.user-interactive-qos", "global.user-initiated-qos", "global.default-qos",
    "global.utility-qos",          "global.background-qos",     "global.unspecified-qos"};
}

DispatchQueuePtr DispatchQueue::global(QoS qos) {
    using Table = std::array<DispatchQueuePtr, 6>;
    static detail::Immortal<Table> table([] {
        Table t;
        for (std::size_t i = 0; i < t.size(); ++i) {
            t[i] = std::make_shared<DispatchQueue>(
                std::make_shared<QueueCore>(kGlobalLabels[i], QueueKind::global, static_cast<QoS>(i)));
        }
        return t;
    }());
    return table.get()[static_cast<std::size_t>(qos)];
}

DispatchQueuePtr DispatchQueue::global(QueuePriority priority) {
    switch (priority) {
    case QueuePriority::high:
        return global(QoS::userInitiated);
    case QueuePriority::low:
        return global(QoS::utility);
    case QueuePriority::background:
        return global(QoS::background);
    case QueuePriority::defaultPriority:
        break;
    }
    return global(QoS::defaultQoS);
}

void DispatchQueue::async(std::function<void()> fn) {
    detail::executor().async(core_, std::move(fn));
}

void DispatchQueue::syncImpl(const std::function<void()>& fn) {
    // The block may drop the last reference to this queue; its state must outlive the block.
    CorePtr core = core_;
    detail::executor().sync(core, fn);
}

namespace {
Timer schedule(const DispatchQueuePtr& q, double deadline, bool wall, std::function<void()> fn) {
    auto st = std::make_shared<detail::TimerState>();
    st->fn = std::move(fn);
    st->queue = q;
    st->deadline = deadline;
    st->wall = wall;
    detail::executor().addTimer(st);
    return Timer(st);
}

} // namespace

Timer DispatchQueue::asyncAfter(double seconds, std::function<void()> fn) {
    return schedule(shared_from_this(), detail::executor().uptime() + (seconds > 0 ? seconds : 0), false,
                    std::move(fn));
}

Timer DispatchQueue::asyncAt(double wallDeadline, std::function<void()> fn) {
    return schedule(shared_from_this(), wallDeadline, true, std::move(fn));
}

void DispatchQueue::suspend() {
    if (core_->kind != QueueKind::serial) {
        return;
    }
    std::lock_guard lock(core_->m);
    ++core_->suspendCount;
}

void DispatchQueue::resume() {
    if (core_->kind != QueueKind::serial) {
        return;
    }
    bool nowRunning = false;
    {
        std::lock_guard lock(core_->m);
        if (core_->suspendCount == 0) {
            detail::fatal("resume of queue \"" + core_->label + "\" that is not suspended");
        }
        nowRunning = --core_->suspendCount == 0;
    }
    if (nowRunning) {
        detail::executor().resumed(core_);
    }
}

const std::string& DispatchQueue::label() const {
    return core_->label;
}

bool DispatchQueue::isCurrent() const {
    // Frames below the latest work item that did not come through sync belong to other threads
    // (under the virtual backend all work shares one thread).
    const auto& f = detail::frames();
    for (auto it = f.rbegin(); it != f.rend(); ++it) {
        if (it->queue == core_.get()) {
            return true;
        }
        if (!it->viaSync) {
            break;
        }
    }
    return false;
}

bool DispatchQueue::isMain() const {
    return core_->kind == QueueKind::main;
}

bool DispatchQueue::isSerial() const {
    return core_->kind != QueueKind::global;
}

QoS DispatchQueue::qos() const {
    return core_->qos;
}

DispatchQueuePtr DispatchQueue::target() const {
    return core_->target;
}

std::string DispatchQueue::currentLabel() {
    const auto& f = detail::frames();
    return f.empty() ? std::string() : f.back().queue->label;
}

// Timer

detail::Task detail::TimerState::take() {
    std::lock_guard lock(m);
    if (cancelled || done) {
        return {};
    }
    done = true;
    Task out = std::move(fn);
    fn = nullptr;
    return out;
}

void Timer::cancel() const {
    if (!state_) {
        return;
    }
    detail::Task drop;
    {
        std::lock_guard lock(state_->m);
        if (state_->done) {
            return;
        }
        state_->cancelled = true;
        drop = std::move(state_->fn);
        state_->fn = nullptr;
    }
}

bool Timer::isCancelled() const {
    if (!state_) {
        return false;
    }
    std::lock_guard lock(state_->m);
    return state_->cancelled;
}

bool Timer::isPending() const {
    if (!state_) {
        return false;
    }
    std::lock_guard lock(state_->m);
    return !state_->cancelled && !state_->done;
}

} // namespace plat
