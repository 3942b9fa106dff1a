#include "platform/foundation/NotificationCenter.hpp"

#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace plat {
namespace {

struct Observer {
    std::uint64_t id;
    const void* owner; // nullptr for token observers
    std::optional<std::string> name;
    ObjectId sender;
    std::shared_ptr<OperationQueue> queue;
    NotificationCenter::Block block;
    std::atomic<bool> removed{false};

    bool matches(const Notification& n) const {
        return (!name || *name == n.name) && (sender == nullptr || sender == n.object);
    }
};

bool runsInline(const std::shared_ptr<OperationQueue>& queue) {
    if (OperationQueue::current() == queue)
        return true;
    // The main operation queue drains on the main thread: waiting there for it would never end.
    return queue == OperationQueue::main() && Thread::isMainThread();
}

} // namespace

struct NotificationCenter::Impl {
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Observer>> observers; // registration order
    std::uint64_t nextId = 1;

    void add(std::shared_ptr<Observer> o) {
        std::lock_guard lock(mutex);
        observers.push_back(std::move(o));
    }

    template <class Pred> void removeIf(Pred pred) {
        std::lock_guard lock(mutex);
        std::erase_if(observers, [&](const std::shared_ptr<Observer>& o) {
            if (!pred(*o))
                return false;
            o->removed.store(true); // a post that already took its snapshot skips it from now on
            return true;
        });
    }
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static NeverDestroyed<NotificationCenter> center;
    return *center;
}

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::optional<std::string> name, ObjectId sender,
                                                          std::shared_ptr<OperationQueue> queue,
                                                          Block block) {
    auto o = std::make_shared<Observer>();
    {
        std::lock_guard lock(impl_->mutex);
        o->id = impl_->nextId++;
    }
    o->owner = nullptr;
    o->name = std::move(name);
    o->sender = sender;
    o->queue = std::move(queue);
    o->block = std::move(block);
    Token token{o->id};
    impl_->add(std::move(o));
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    if (!token)
        return;
    impl_->removeIf([&](const Observer& o) { return o.id == token.id; });
}

void NotificationCenter::addObserver(const void* owner, std::optional<std::string> name, ObjectId sender,
                                     Block block) {
    if (owner == nullptr)
        return; // nothing could ever remove it
    auto o = std::make_shared<Observer>();
    {
        std::lock_guard lock(impl_->mutex);
        o->id = impl_->nextId++;
    }
    o->owner = owner;
    o->name = std::move(name);
    o->sender = sender;
    o->block = std::move(block);
    impl_->add(std::move(o));
}

void NotificationCenter::removeObserver(const void* owner) {
    if (owner == nullptr)
        return;
    impl_->removeIf([&](const Observer& o) { return o.owner == owner; });
}

void NotificationCenter::removeObserver(const void* owner, std::optional<std::string> name, ObjectId sender) {
    if (owner == nullptr)
        return;
    impl_->removeIf([&](const Observer& o) {
        return o.owner == owner && (!name || o.name == name) && (sender == nullptr || o.sender == sender);
    });
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observer>> snapshot;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& o : impl_->observers)
            if (o->matches(notification))
                snapshot.push_back(o);
    }
    for (const auto& o : snapshot) {
        if (o->removed.load())
            continue;
        if (!o->queue || runsInline(o->queue)) {
            o->block(notification);
            continue;
        }
        // Waiting on the operation, not on a signal from inside it: a cancelled operation still finishes.
        auto op = BlockOperation::create([o, &notification] {
            if (!o->removed.load())
                o->block(notification);
        });
        o->queue->addOperation(op);
        op->waitUntilFinished();
    }
}

void NotificationCenter::post(std::string name, ObjectId sender, Dictionary userInfo) {
    post(Notification{std::move(name), sender, std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->observers.size();
}

} // namespace plat
