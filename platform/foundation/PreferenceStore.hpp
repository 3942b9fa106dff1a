#pragma once
// The one store behind both preference front ends (UserDefaults and PreferenceDomain): one in-memory domain
// per name for the whole process, written to `<name>.plist` on synchronize and reloaded when another
// process changed that file.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class PreferenceStore {
public:
    class Domain;
    using DomainPtr = std::shared_ptr<Domain>;

    // The domain of that name, created on first use. The standard domain's name is the main bundle's
    // identifier (the process name when there is none).
    static DomainPtr domain(std::string_view name);
    static DomainPtr standardDomain();
    static std::string standardDomainName();

    // Property-list kinds only: string, number, data, date, array, dictionary, all the way down.
    static bool isPropertyList(const Value& value);
};

class PreferenceStore::Domain {
public:
    Domain(std::string name, std::string filePath);

    const std::string& name() const { return name_; }
    const std::string& filePath() const { return filePath_; }

    std::optional<Value> value(std::string_view key);
    // none removes. Refuses (false, with a [device] warning) a value that is no property list.
    bool setValue(std::string_view key, std::optional<Value> value);
    // Removal of `remove`, then every entry of `set`, as one change.
    bool setMultiple(const Dictionary& set, const std::vector<std::string>& remove);
    std::vector<std::string> keys();
    Dictionary snapshot();
    // Removes every key (and so, at the next write, the file's contents).
    void removeAll();

    // Writes the file when something changed here since the last write, merging what another process wrote
    // meanwhile. False when the write failed (the changes stay pending) or a fault was injected.
    bool synchronize();
    // A read-modify-write of one key that no process's write can come between: under the file's lock, the
    // key is read from the file as it is now, `change` makes the new value (none removes) and the domain is
    // written before the lock is released. So processes sharing a domain (an app and its extension, through
    // an app group) never lose each other's updates. False when the new value is no property list (nothing
    // changes) or the write failed (the change stays pending, as after a failed synchronize).
    using Change = std::function<std::optional<Value>(std::optional<Value> current)>;
    bool update(std::string_view key, const Change& change);
    bool hasPendingChanges();

    // Test controls.
    int synchronizeCount();
    int fileWriteCount();
    void wipe(); // forget everything and delete the file

    struct State;

private:
    std::string name_;
    std::string filePath_;
    std::unique_ptr<State> state_;

public:
    ~Domain();
};

namespace sim {

struct Preferences {
    // Synchronizes every domain with changes; the app's lifecycle calls it on entering the background and
    // at normal exit. Returns false when any write failed.
    static bool flushAll();
    // Empties every domain, in memory and on disk (handles stay valid).
    static void wipe();
    // The device's app groups: a suite of one of these names lives in the group's shared container.
    static void setAppGroups(std::vector<std::string> groups);
    static int synchronizeCount(std::string_view domain);
    static int fileWriteCount(std::string_view domain);
};

} // namespace sim
} // namespace plat
