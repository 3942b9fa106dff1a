#pragma once
// A dictionary any thread may use. Reads share a lock and writes take it alone, so every read sees the
// writes issued before it. A value a write replaces or removes is released after the lock is dropped: it
// may be an object whose teardown calls back into the dictionary.

#include "platform/foundation/Value.hpp"

#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

class DVUMutableDictionary {
public:
    DVUMutableDictionary() = default;
    DVUMutableDictionary(const DVUMutableDictionary&) = delete;
    DVUMutableDictionary& operator=(const DVUMutableDictionary&) = delete;

    // None when the key is absent.
    std::optional<plat::Value> objectForKey(std::string_view key) const;
    std::optional<plat::Value> operator[](std::string_view key) const { return objectForKey(key); }
    // A null value removes the key.
    void setObject(plat::Value object, std::string key);
    void removeObjectForKey(std::string key);
    void removeAllObjects();
    std::size_t count() const;
    plat::Dictionary dictionary() const;
    std::string description() const;

private:
    mutable std::shared_mutex mutex_;
    plat::Dictionary objects_;
};
