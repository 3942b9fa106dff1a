#pragma once
// A preference store for one domain (the app's own or a named suite), written straight through the
// preferences service with checks on keys and values. Writes reach disk lazily: one second after the last
// write of a burst, on the store's own timer (so writers on any thread, with or without a run loop, are
// covered), and at the latest when the process exits normally.

#include "platform/dispatch/Timer.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class DVUUserDefaults {
public:
    static DVUUserDefaults& standardUserDefaults();

    DVUUserDefaults();
    // An empty name means the current application's domain.
    explicit DVUUserDefaults(std::string_view suiteName);
    ~DVUUserDefaults();
    DVUUserDefaults(const DVUUserDefaults&) = delete;
    DVUUserDefaults& operator=(const DVUUserDefaults&) = delete;

    const std::string& appNameRef() const { return appNameRef_; }
    bool isPreferenceFileExcluded() const;
    void setIsPreferenceFileExcluded(bool excluded);

    std::optional<plat::Value> objectForKey(std::string_view key) const;
    // None removes the key. A value that is no string, number, array, dictionary, date or data is refused.
    void setObject(std::optional<plat::Value> value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    int64_t integerForKey(std::string_view key) const;
    float floatForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    bool boolForKey(std::string_view key) const;
    // The stored value as it is: no check of its kind.
    std::optional<plat::Value> stringForKey(std::string_view key) const { return objectForKey(key); }
    std::optional<plat::Value> arrayForKey(std::string_view key) const { return objectForKey(key); }
    std::optional<plat::Value> dictionaryForKey(std::string_view key) const { return objectForKey(key); }

    void setInteger(int64_t value, std::string_view key);
    void setFloat(float value, std::string_view key);
    void setDouble(double value, std::string_view key);
    void setBool(bool value, std::string_view key);

    // Writes the domain now; false (and an error line) when the write failed.
    bool synchronize();
    // Restarts the one-second delay before the next synchronize.
    void scheduleSynchronize();
    void clearAllData();

private:
    struct Pending;

    std::string appNameRef_;
    bool isPreferenceFileExcluded_ = false;
    mutable std::mutex mutex_;
    std::shared_ptr<Pending> pending_;
};
