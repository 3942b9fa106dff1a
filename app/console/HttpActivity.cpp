#include "app/console/HttpActivity.hpp"

#include "Zavorida/Source/RequestBuilding.hpp"
#include "platform/foundation/NotificationCenter.hpp"

namespace console {
namespace {

int64_t taskOf(const plat::Notification& notification) {
    const plat::Value* task = notification.userInfo.find(Zavorida::Notification::Key::task);
    return task ? task->integerValue() : -1;
}

} // namespace

HttpActivity::HttpActivity() {
    namespace Name = Zavorida::Notification::Name::Task;
    auto& center = plat::NotificationCenter::defaultCenter();
    // Notifications come from whatever thread the client is on; the mutex guards the set.
    // A request posts its resume right after it asks the task to resume, on the caller's thread, while the
    // task completes on the session's delegate queue: on a busy machine the completion can be posted first. A
    // task identifier is never used again in a session, so a resume that comes after its task's completion is
    // not counted as running.
    center.addObserver(this, std::string(Name::didResume), nullptr, [this](const plat::Notification& n) {
        std::lock_guard lock(mutex_);
        const int64_t task = taskOf(n);
        if (!completed_.contains(task))
            running_.insert(task);
        ++changes_;
    });
    center.addObserver(this, std::string(Name::didSuspend), nullptr, [this](const plat::Notification& n) {
        std::lock_guard lock(mutex_);
        running_.erase(taskOf(n));
        ++changes_;
    });
    center.addObserver(this, std::string(Name::didComplete), nullptr, [this](const plat::Notification& n) {
        std::lock_guard lock(mutex_);
        const int64_t task = taskOf(n);
        running_.erase(task);
        completed_.insert(task);
        ++changes_;
    });
}

HttpActivity::~HttpActivity() {
    plat::NotificationCenter::defaultCenter().removeObserver(this);
}

bool HttpActivity::busy() const {
    std::lock_guard lock(mutex_);
    return !running_.empty();
}

uint64_t HttpActivity::changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
}

} // namespace console
