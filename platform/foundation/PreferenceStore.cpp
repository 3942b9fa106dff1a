#include "platform/foundation/PreferenceStore.hpp"

#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/PropertyList.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

namespace plat {
namespace {

// What identifies one version of the file: an atomic rewrite always brings a new inode.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtimeNanos = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino, st.st_size,
            static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, PreferenceStore::DomainPtr, std::less<>> domains;
    std::set<std::string, std::less<>> appGroups;
};

Registry& registry() {
    static NeverDestroyed<Registry> r;
    return *r;
}

std::string parentOf(const std::string& p) {
    auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

// Holds an exclusive flock on `<file>.lock` so that two processes never interleave read-merge-write.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FileLock() {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace

struct PreferenceStore::Domain::State {
    std::mutex mutex;
    Dictionary values;
    // Keys changed here since the last write; they win over what another process wrote meanwhile.
    std::set<std::string, std::less<>> changed;
    FileStamp seen;
    bool loaded = false;
    int synchronizeCalls = 0;
    int fileWrites = 0;
};

PreferenceStore::Domain::Domain(std::string name, std::string filePath)
    : name_(std::move(name)), filePath_(std::move(filePath)), state_(std::make_unique<State>()) {}

PreferenceStore::Domain::~Domain() = default;

namespace {

// Brings the in-memory domain up to the file when the file changed since it was last seen. Called with the
// domain's lock held. The stamp can miss a change (a freed inode reused within one tick of the file clock,
// at the same size), so a caller about to write under the file lock forces the read.
void refresh(PreferenceStore::Domain::State& s, const std::string& path, bool force = false) {
    FileStamp now = stampOf(path);
    if (s.loaded && now == s.seen && !force)
        return;
    Dictionary fromFile;
    if (now.exists) {
        bool readable = false;
        if (auto bytes = readData(path)) {
            if (auto parsed = PropertyListSerialization::propertyList(*bytes);
                parsed && parsed->value.isDictionary()) {
                fromFile = parsed->value.asDictionary();
                readable = true;
            }
        }
        if (!readable)
            printDevice("preferences file " + path + " is corrupt or unreadable; reading it as empty");
    }
    for (const auto& key : s.changed) {
        if (const Value* mine = s.values.find(key))
            fromFile.set(key, *mine);
        else
            fromFile.erase(key);
    }
    s.values = std::move(fromFile);
    s.seen = now;
    s.loaded = true;
}

} // namespace

std::optional<Value> PreferenceStore::Domain::value(std::string_view key) {
    std::lock_guard lock(state_->mutex);
    refresh(*state_, filePath_);
    if (const Value* v = state_->values.find(key))
        return *v;
    return std::nullopt;
}

bool PreferenceStore::Domain::setValue(std::string_view key, std::optional<Value> value) {
    if (value && value->isNull())
        value.reset();
    if (value && !PreferenceStore::isPropertyList(*value)) {
        printDevice("refusing to store a non-property-list value for key '" + std::string(key) +
                    "' in domain " + name_);
        return false;
    }
    std::lock_guard lock(state_->mutex);
    refresh(*state_, filePath_);
    if (value)
        state_->values.set(key, std::move(*value));
    else
        state_->values.erase(key);
    state_->changed.emplace(key);
    return true;
}

bool PreferenceStore::Domain::setMultiple(const Dictionary& set, const std::vector<std::string>& remove) {
    for (const auto& [key, v] : set)
        if (!v.isNull() && !PreferenceStore::isPropertyList(v)) {
            printDevice("refusing to store a non-property-list value for key '" + key + "' in domain " +
                        name_);
            return false;
        }
    std::lock_guard lock(state_->mutex);
    refresh(*state_, filePath_);
    for (const auto& key : remove) {
        state_->values.erase(key);
        state_->changed.insert(key);
    }
    for (const auto& [key, v] : set) {
        if (v.isNull())
            state_->values.erase(key);
        else
            state_->values.set(key, v);
        state_->changed.insert(key);
    }
    return true;
}

std::vector<std::string> PreferenceStore::Domain::keys() {
    std::lock_guard lock(state_->mutex);
    refresh(*state_, filePath_);
    return state_->values.keys();
}

Dictionary PreferenceStore::Domain::snapshot() {
    std::lock_guard lock(state_->mutex);
    refresh(*state_, filePath_);
    return state_->values;
}

void PreferenceStore::Domain::removeAll() {
    std::lock_guard lock(state_->mutex);
    refresh(*state_, filePath_);
    for (const auto& key : state_->values.keys())
        state_->changed.insert(key);
    state_->values.clear();
}

namespace {

bool makeFolderOf(const std::string& path) {
    auto& fm = FileManager::defaultManager();
    const std::string folder = parentOf(path);
    return fm.fileExists(folder) || fm.createDirectory(folder, true);
}

// Writes the values with the domain's mutex and the file lock held; the changes stay pending on failure.
bool writeLocked(PreferenceStore::Domain::State& s, const std::string& name, const std::string& path) {
    auto bytes = PropertyListSerialization::data(Value(s.values), PropertyListSerialization::Format::Binary);
    if (!bytes) {
        printDevice("preferences domain " + name + " cannot be written: " + bytes.error().description());
        return false;
    }
    WriteOptions options;
    options.atomic = true;
    options.permissions = 0600;
    if (auto written = writeData(path, *bytes, options); !written) {
        printDevice("preferences file " + path + " was not written: " + written.error().description());
        return false;
    }
    s.fileWrites += 1;
    s.changed.clear();
    s.seen = stampOf(path);
    return true;
}

} // namespace

bool PreferenceStore::Domain::synchronize() {
    std::lock_guard lock(state_->mutex);
    state_->synchronizeCalls += 1;
    if (sim::Faults::check("defaults.synchronize", name_))
        return false;
    if (!makeFolderOf(filePath_))
        return false;
    FileLock fileLock(filePath_);
    // Picks up another process's write and keeps our changes on top.
    refresh(*state_, filePath_, !state_->changed.empty());
    if (state_->changed.empty())
        return true;
    return writeLocked(*state_, name_, filePath_);
}

bool PreferenceStore::Domain::update(std::string_view key, const Change& change) {
    std::lock_guard lock(state_->mutex);
    const bool canWrite = makeFolderOf(filePath_);
    FileLock fileLock(filePath_);
    refresh(*state_, filePath_, true);
    std::optional<Value> current;
    if (const Value* stored = state_->values.find(key))
        current = *stored;
    std::optional<Value> next = change ? change(std::move(current)) : std::nullopt;
    if (next && next->isNull())
        next.reset();
    if (next && !PreferenceStore::isPropertyList(*next)) {
        printDevice("refusing to store a non-property-list value for key '" + std::string(key) +
                    "' in domain " + name_);
        return false;
    }
    if (next)
        state_->values.set(key, std::move(*next));
    else
        state_->values.erase(key);
    state_->changed.emplace(key);
    if (!canWrite || sim::Faults::check("defaults.synchronize", name_))
        return false;
    return writeLocked(*state_, name_, filePath_);
}

bool PreferenceStore::Domain::hasPendingChanges() {
    std::lock_guard lock(state_->mutex);
    return !state_->changed.empty();
}

int PreferenceStore::Domain::synchronizeCount() {
    std::lock_guard lock(state_->mutex);
    return state_->synchronizeCalls;
}

int PreferenceStore::Domain::fileWriteCount() {
    std::lock_guard lock(state_->mutex);
    return state_->fileWrites;
}

void PreferenceStore::Domain::wipe() {
    std::lock_guard lock(state_->mutex);
    FileLock fileLock(filePath_);
    ::unlink(filePath_.c_str());
    state_->values.clear();
    state_->changed.clear();
    state_->seen = {};
    state_->loaded = true;
}

PreferenceStore::DomainPtr PreferenceStore::domain(std::string_view name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (auto it = r.domains.find(name); it != r.domains.end())
        return it->second;
    std::string file = std::string(name) + ".plist";
    std::string path = r.appGroups.count(name)
                           ? AppHome::appGroupContainer(name) + "/Library/Preferences/" + file
                           : AppHome::preferences() + "/" + file;
    auto d = std::make_shared<Domain>(std::string(name), std::move(path));
    r.domains.emplace(std::string(name), d);
    return d;
}

std::string PreferenceStore::standardDomainName() {
    if (auto id = Bundle::main()->bundleIdentifier(); id && !id->empty())
        return *id;
    return ProcessInfo::processInfo().processName();
}

PreferenceStore::DomainPtr PreferenceStore::standardDomain() {
    return domain(standardDomainName());
}

bool PreferenceStore::isPropertyList(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::Bool:
    case Value::Kind::Int:
    case Value::Kind::UInt:
    case Value::Kind::Double:
    case Value::Kind::String:
    case Value::Kind::Data:
    case Value::Kind::Date:
        return true;
    case Value::Kind::Array:
        return std::all_of(value.asArray().begin(), value.asArray().end(),
                           [](const Value& v) { return isPropertyList(v); });
    case Value::Kind::Dictionary:
        return std::all_of(value.asDictionary().begin(), value.asDictionary().end(),
                           [](const auto& entry) { return isPropertyList(entry.second); });
    case Value::Kind::Null:
    case Value::Kind::Object:
        return false;
    }
    return false;
}

namespace sim {

namespace {
std::vector<PreferenceStore::DomainPtr> allDomains() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<PreferenceStore::DomainPtr> out;
    for (const auto& [name, d] : r.domains)
        out.push_back(d);
    return out;
}
} // namespace

bool Preferences::flushAll() {
    bool ok = true;
    for (const auto& d : allDomains())
        if (d->hasPendingChanges())
            ok = d->synchronize() && ok;
    return ok;
}

void Preferences::wipe() {
    for (const auto& d : allDomains())
        d->wipe();
    // Domains this process never opened still have files from earlier launches.
    auto& fm = FileManager::defaultManager();
    if (auto names = fm.contentsOfDirectory(AppHome::preferences()))
        for (const auto& name : *names)
            if (name.ends_with(".plist"))
                (void)fm.removeItem(AppHome::preferences() + "/" + name);
}

void Preferences::setAppGroups(std::vector<std::string> groups) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.appGroups = {groups.begin(), groups.end()};
}

int Preferences::synchronizeCount(std::string_view domain) {
    return PreferenceStore::domain(domain)->synchronizeCount();
}

int Preferences::fileWriteCount(std::string_view domain) {
    return PreferenceStore::domain(domain)->fileWriteCount();
}

} // namespace sim
} // namespace plat
