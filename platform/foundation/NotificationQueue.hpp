#pragma once
// Deferred, coalesced posting to the default notification centre. Everything enqueued is posted on the main
// loop, whatever thread enqueues it (other threads run no loop that would post it).

#include "platform/foundation/NotificationCenter.hpp"

#include <memory>

namespace plat {

enum class PostingStyle : int {
    whenIdle = 1, // once the main queue has nothing else to do
    asap = 2,     // the main loop's next turn
    now = 3,      // at once on the main thread (from another thread: as asap)
};

enum NotificationCoalescing : unsigned {
    NotificationNoCoalescing = 0,
    NotificationCoalescingOnName = 1,
    NotificationCoalescingOnSender = 2,
};

class NotificationQueue {
public:
    static NotificationQueue& defaultQueue();
    explicit NotificationQueue(NotificationCenter& center);
    ~NotificationQueue();
    NotificationQueue(const NotificationQueue&) = delete;
    NotificationQueue& operator=(const NotificationQueue&) = delete;

    // Coalescing drops the queued notifications that match this one (same name, same sender, or both) before
    // it joins the queue, so one post carries the latest of them.
    void enqueue(Notification notification, PostingStyle style,
                 unsigned coalesceMask = NotificationCoalescingOnName | NotificationCoalescingOnSender);
    void dequeueNotificationsMatching(const Notification& notification, unsigned coalesceMask);
    std::size_t pendingCount() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace plat
