#include "platform/foundation/NotificationQueue.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <deque>
#include <mutex>

namespace plat {
namespace {

bool coalesces(const Notification& queued, const Notification& n, unsigned mask) {
    if ((mask & (NotificationCoalescingOnName | NotificationCoalescingOnSender)) == 0)
        return false;
    if ((mask & NotificationCoalescingOnName) && queued.name != n.name)
        return false;
    if ((mask & NotificationCoalescingOnSender) && queued.object != n.object)
        return false;
    return true;
}

} // namespace

struct NotificationQueue::Impl : std::enable_shared_from_this<NotificationQueue::Impl> {
    explicit Impl(NotificationCenter& c) : center(c) {}

    NotificationCenter& center;
    mutable std::mutex mutex;
    std::deque<Notification> asap;
    std::deque<Notification> idle;
    bool asapScheduled = false;
    bool idleScheduled = false;

    void drop(const Notification& n, unsigned mask) {
        auto match = [&](const Notification& q) { return coalesces(q, n, mask); };
        std::erase_if(asap, match);
        std::erase_if(idle, match);
    }

    void scheduleAsap() {
        if (asapScheduled)
            return;
        asapScheduled = true;
        std::weak_ptr<Impl> weak = weak_from_this();
        DispatchQueue::main()->async([weak] {
            if (auto self = weak.lock())
                self->postAsap();
        });
    }

    // Two hops on the main queue: the first lets everything already queued there go ahead, so the post
    // happens once the queue has drained what was waiting.
    void scheduleIdle() {
        if (idleScheduled)
            return;
        idleScheduled = true;
        std::weak_ptr<Impl> weak = weak_from_this();
        DispatchQueue::main()->async([weak] {
            DispatchQueue::main()->async([weak] {
                if (auto self = weak.lock())
                    self->postIdle();
            });
        });
    }

    void postAsap() {
        std::deque<Notification> batch;
        {
            std::lock_guard lock(mutex);
            asapScheduled = false;
            batch.swap(asap);
        }
        for (const auto& n : batch)
            center.post(n);
    }

    void postIdle() {
        std::deque<Notification> batch;
        {
            std::lock_guard lock(mutex);
            idleScheduled = false;
            if (!asap.empty()) { // more urgent work came in meanwhile: stay behind it
                scheduleIdle();
                return;
            }
            batch.swap(idle);
        }
        for (const auto& n : batch)
            center.post(n);
    }
};

NotificationQueue& NotificationQueue::defaultQueue() {
    static NeverDestroyed<NotificationQueue> queue(NotificationCenter::defaultCenter());
    return *queue;
}

NotificationQueue::NotificationQueue(NotificationCenter& center) : impl_(std::make_shared<Impl>(center)) {}
NotificationQueue::~NotificationQueue() = default;

void NotificationQueue::enqueue(Notification notification, PostingStyle style, unsigned coalesceMask) {
    bool postNow = style == PostingStyle::now && Thread::isMainThread();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->drop(notification, coalesceMask);
        if (!postNow) {
            if (style == PostingStyle::whenIdle) {
                impl_->idle.push_back(std::move(notification));
                impl_->scheduleIdle();
            } else {
                impl_->asap.push_back(std::move(notification));
                impl_->scheduleAsap();
            }
            return;
        }
    }
    impl_->center.post(notification);
}

void NotificationQueue::dequeueNotificationsMatching(const Notification& notification,
                                                     unsigned coalesceMask) {
    std::lock_guard lock(impl_->mutex);
    impl_->drop(notification, coalesceMask);
}

std::size_t NotificationQueue::pendingCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->asap.size() + impl_->idle.size();
}

} // namespace plat
