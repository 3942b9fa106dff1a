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
    center.addObserver(this, std::string(Name::didResume), nullptr, [this](const plat::Notification& n) {
        std::lock_guard lock(mutex_);
        running_.insert(taskOf(n));
        ++changes_;
    });
    for (const char* ended : {Name::didSuspend, Name::didComplete}) {
        center.addObserver(this, std::string(ended), nullptr, [this](const plat::Notification& n) {
            std::lock_guard lock(mutex_);
            running_.erase(taskOf(n));
            ++changes_;
        });
    }
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
