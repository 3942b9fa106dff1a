#pragma once
// The kit host's own small key-value store: property-list values in memory, written as one property-list
// file under Application Support when asked to synchronise and read back at the next launch. It can take
// over values that earlier versions kept in the platform's user defaults. Every accessor may be called from
// any thread: the values live on one serial queue, the file on another.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {
template <class> class NeverDestroyed;
}

class VZRUserDefaults {
public:
    static constexpr const char* kAccessQueueLabel = "com.vuzidorazav.VZRUserDefaults.access";
    static constexpr const char* kIOQueueLabel = "com.vuzidorazav.VZRUserDefaults.io";

    // Made on first use, never destroyed.
    static VZRUserDefaults& standardUserDefaults();

    // `<Application Support>/com.vuzidorazav` and the file `VZRUserDefaults.plist` in it.
    const std::string& directoryURL() const { return directoryURL_; }
    const std::string& fileURL() const { return fileURL_; }

    std::optional<plat::Value> objectForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const; // strings only
    bool boolForKey(std::string_view key) const;                         // numbers only, else false
    // None removes the key.
    void setObject(std::optional<plat::Value> value, std::string_view key);
    void setString(std::optional<std::string> value, std::string_view key);
    void setBool(bool value, std::string_view key);
    void removeObjectForKey(std::string_view key);
    void removeAllObjects();
    plat::Dictionary dictionaryRepresentation() const;
    // What the store last read from or wrote to its file.
    plat::Dictionary persistedDataDictionary() const;

    // Writes the values when they differ from those last persisted. A failed write leaves them counted as
    // unwritten, so the next call tries again.
    void synchronize();
    // Whether the last synchronize found changes to write.
    bool synchronizeWroteToDisk() const;

    // Moves the keys' values out of the platform's standard user defaults into this store.
    void migrateFromNSUserDefaults(const std::vector<std::string>& keys);
    // The value here, else one taken over from the platform's standard user defaults (none when neither has
    // it).
    std::optional<plat::Value> objectForKeyByMigratingFromNSUserDefaults(std::string_view key);

    VZRUserDefaults(const VZRUserDefaults&) = delete;
    VZRUserDefaults& operator=(const VZRUserDefaults&) = delete;

private:
    template <class> friend class plat::NeverDestroyed;
    VZRUserDefaults();

    std::optional<plat::Dictionary> loadDefaults() const;
    bool writeSnapshot(const plat::Dictionary& snapshot) const;

    plat::DispatchQueuePtr serialDictionaryQueue_;
    plat::DispatchQueuePtr synchronizationQueue_;
    std::string directoryURL_;
    std::string fileURL_;
    // Guarded by serialDictionaryQueue_.
    plat::Dictionary persistedDataDictionary_;
    plat::Dictionary dataDictionary_;
    bool synchronizeWroteToDisk_ = false;
};
