#include "core/DVUMutableDictionary.hpp"

#include <mutex>
#include <utility>

std::optional<plat::Value> DVUMutableDictionary::objectForKey(std::string_view key) const {
    std::shared_lock lock(mutex_);
    const plat::Value* value = objects_.find(key);
    return value ? std::optional<plat::Value>(*value) : std::nullopt;
}

void DVUMutableDictionary::setObject(plat::Value object, std::string key) {
    if (object.isNull()) {
        removeObjectForKey(std::move(key));
        return;
    }
    plat::Value previous;
    std::unique_lock lock(mutex_);
    if (plat::Value* existing = objects_.find(key)) {
        previous = std::exchange(*existing, std::move(object));
    } else {
        objects_.set(std::move(key), std::move(object));
    }
    lock.unlock();
}

void DVUMutableDictionary::removeObjectForKey(std::string key) {
    plat::Value previous;
    std::unique_lock lock(mutex_);
    if (plat::Value* existing = objects_.find(key)) {
        previous = std::move(*existing);
        objects_.erase(key);
    }
    lock.unlock();
}

void DVUMutableDictionary::removeAllObjects() {
    plat::Dictionary previous;
    std::unique_lock lock(mutex_);
    std::swap(previous, objects_);
    lock.unlock();
}

std::size_t DVUMutableDictionary::count() const {
    std::shared_lock lock(mutex_);
    return objects_.size();
}

plat::Dictionary DVUMutableDictionary::dictionary() const {
    std::shared_lock lock(mutex_);
    return objects_;
}

std::string DVUMutableDictionary::description() const {
    std::shared_lock lock(mutex_);
    return plat::Value(objects_).description();
}
