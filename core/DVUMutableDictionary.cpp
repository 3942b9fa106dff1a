#include "core/DVUMutableDictionary.hpp"

DVUMutableDictionary::DVUMutableDictionary()
    : queue_(plat::DispatchQueue::makeSerial("DVUMutableDictionary")),
      objects_(std::make_shared<plat::Dictionary>()) {}

std::optional<plat::Value> DVUMutableDictionary::objectForKey(std::string_view key) const {
    return queue_->sync([&]() -> std::optional<plat::Value> {
        const plat::Value* value = objects_->find(key);
        return value ? std::optional<plat::Value>(*value) : std::nullopt;
    });
}

void DVUMutableDictionary::setObject(plat::Value object, std::string key) {
    // The queue's work holds the storage, so a write still pending when the dictionary goes stays safe.
    queue_->async([objects = objects_, object = std::move(object), key = std::move(key)]() mutable {
        if (object.isNull()) {
            objects->erase(key);
        } else {
            objects->set(key, std::move(object));
        }
    });
}

void DVUMutableDictionary::removeObjectForKey(std::string key) {
    queue_->async([objects = objects_, key = std::move(key)] { objects->erase(key); });
}

void DVUMutableDictionary::removeAllObjects() {
    queue_->async([objects = objects_] { *objects = plat::Dictionary(); });
}

std::size_t DVUMutableDictionary::count() const {
    return queue_->sync([&] { return objects_->size(); });
}

plat::Dictionary DVUMutableDictionary::dictionary() const {
    return queue_->sync([&] { return *objects_; });
}

std::string DVUMutableDictionary::description() const {
    return queue_->sync([&] { return plat::Value(*objects_).description(); });
}
