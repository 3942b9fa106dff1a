#pragma once
// A dictionary any thread may use: every access runs on the instance's own serial queue, reads waiting for
// the writes issued before them, writes returning before they are applied.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>
#include <string_view>

class DVUMutableDictionary {
public:
    DVUMutableDictionary();
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
    plat::DispatchQueuePtr queue_;
    // Touched only on queue_.
    std::shared_ptr<plat::Dictionary> objects_;
};
