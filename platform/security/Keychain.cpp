#include "platform/security/Keychain.hpp"

#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PropertyList.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <mutex>

namespace plat {
namespace {

using Items = std::vector<Dictionary>;

// Serialises the read-modify-write of the keychain file within this process; flock does the same
// between the app and its extensions.
std::mutex& keychainMutex() {
    static NeverDestroyed<std::mutex> mutex;
    return *mutex;
}

class FileLock {
public:
    explicit FileLock(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_EX);
        }
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

std::string keychainPath() {
    return AppHome::deviceFolder() + "/keychain.plist";
}

// Holds the keychain for one read or read-modify-write, against this process and the others.
class KeychainLock {
public:
    KeychainLock() = default;
    KeychainLock(const KeychainLock&) = delete;
    KeychainLock& operator=(const KeychainLock&) = delete;

private:
    std::lock_guard<std::mutex> lock_{keychainMutex()};
    FileLock file_{keychainPath() + ".lock"};
};

// The last file content this process read or wrote, with its parsed items. Turning the property list into
// values is most of a lookup's cost, and the file changes far less often than it is read; comparing the
// bytes (rather than a modification time) also sees a write of another process within one clock tick.
// Guarded by the keychain mutex, which every caller holds.
struct ParsedKeychain {
    std::vector<uint8_t> bytes;
    std::shared_ptr<const Items> items;
};

ParsedKeychain& parsedKeychain() {
    static NeverDestroyed<ParsedKeychain> parsed;
    return *parsed;
}

std::shared_ptr<const Items> noItems() {
    return std::make_shared<const Items>();
}

// A damaged file is reported (nullptr), never silently replaced: writing over it would lose every item.
std::shared_ptr<const Items> load() {
    const auto data = readData(keychainPath());
    if (!data) {
        if (data.error().code == NSFileReadNoSuchFileError) {
            return noItems();
        }
        return nullptr;
    }
    if (data->empty()) {
        return noItems();
    }
    ParsedKeychain& cache = parsedKeychain();
    if (cache.items && cache.bytes == *data) {
        return cache.items;
    }
    const auto parsed = PropertyListSerialization::propertyList(std::span<const uint8_t>(*data));
    if (!parsed || !parsed->value.isArray()) {
        return nullptr;
    }
    auto items = std::make_shared<Items>();
    for (const auto& item : parsed->value.asArray()) {
        if (!item.isDictionary()) {
            return nullptr;
        }
        items->push_back(item.asDictionary());
    }
    cache.bytes = *data;
    cache.items = items;
    return items;
}

OSStatus save(Items items) {
    Array list;
    for (const auto& item : items) {
        list.emplace_back(item);
    }
    const auto bytes =
        PropertyListSerialization::data(Value(std::move(list)), PropertyListSerialization::Format::Binary);
    if (!bytes) {
        return errSecParam;
    }
    (void)FileManager::defaultManager().createDirectory(AppHome::deviceFolder(), true,
                                                        Dictionary{{NSFilePosixPermissions, Value(0700)}});
    const auto written = writeData(keychainPath(), *bytes, WriteOptions().setAtomic().setPermissions(0600));
    if (!written) {
        return errSecIO;
    }
    ParsedKeychain& cache = parsedKeychain();
    cache.bytes.assign(bytes->begin(), bytes->end());
    cache.items = std::make_shared<const Items>(std::move(items));
    return errSecSuccess;
}

bool isControlKey(std::string_view key) {
    return key == kSecClass || key == kSecValueData || key == kSecValueRef || key.starts_with("m_") ||
           key.starts_with("r_") || key.starts_with("u_");
}

std::string bytesOf(const Value& v) {
    if (v.isString()) {
        return v.asString();
    }
    if (v.isData()) {
        return std::string(v.asData().begin(), v.asData().end());
    }
    return {};
}

// Tags and other byte strings may be given as text or as data; both name the same bytes.
bool sameValue(const Value& a, const Value& b) {
    if ((a.isString() && b.isData()) || (a.isData() && b.isString())) {
        return bytesOf(a) == bytesOf(b);
    }
    return a == b;
}

std::string classOf(const Dictionary& d) {
    const Value* c = d.find(kSecClass);
    return c && c->isString() ? c->asString() : std::string();
}

bool supportedClass(const std::string& c) {
    return c == kSecClassGenericPassword || c == kSecClassKey;
}

bool matches(const Dictionary& item, const Dictionary& query) {
    if (classOf(item) != classOf(query)) {
        return false;
    }
    for (const auto& [key, value] : query) {
        if (isControlKey(key)) {
            continue;
        }
        const Value* stored = item.find(key);
        if (!stored || !sameValue(*stored, value)) {
            return false;
        }
    }
    return true;
}

// An absent attribute and an empty one name the same item.
std::string primaryPart(const Dictionary& item, const char* key) {
    const Value* v = item.find(key);
    if (!v) {
        return {};
    }
    if (v->isString() || v->isData()) {
        return bytesOf(*v);
    }
    return v->description();
}

bool samePrimaryKey(const Dictionary& a, const Dictionary& b) {
    if (classOf(a) != classOf(b)) {
        return false;
    }
    const auto keys =
        classOf(a) == kSecClassKey
            ? std::vector<const char*>{kSecAttrApplicationTag, kSecAttrKeyType, kSecAttrKeyClass}
            : std::vector<const char*>{kSecAttrService, kSecAttrAccount, kSecAttrAccessGroup};
    for (const char* key : keys) {
        if (primaryPart(a, key) != primaryPart(b, key)) {
            return false;
        }
    }
    return true;
}

bool storable(const Value& v) {
    return !v.isNull() && !v.isObject();
}

// The subject of a keychain fault: the application tag of a key item, the service of a password, so a test
// can fail one item family alone.
std::optional<int> fault(std::string_view op, const Dictionary& d) {
    if (classOf(d) == kSecClassKey) {
        const Value* tag = d.find(kSecAttrApplicationTag);
        return sim::Faults::check(op, tag ? bytesOf(*tag) : std::string());
    }
    const Value* service = d.find(kSecAttrService);
    return sim::Faults::check(op, service && service->isString() ? service->asString() : std::string());
}

std::shared_ptr<SecKey> keyOf(const Dictionary& item) {
    const Value* data = item.find(kSecValueData);
    if (!data || !data->isData()) {
        return nullptr;
    }
    const SecKeyType type = primaryPart(item, kSecAttrKeyType) == kSecAttrKeyTypeECSECPrimeRandom
                                ? SecKeyType::ec
                                : SecKeyType::rsa;
    const SecKeyClass keyClass = primaryPart(item, kSecAttrKeyClass) == kSecAttrKeyClassPrivate
                                     ? SecKeyClass::privateKey
                                     : SecKeyClass::publicKey;
    return SecKey::createWithData(data->asData(), type, keyClass);
}

bool asks(const Dictionary& query, const char* key) {
    const Value* v = query.find(key);
    return v && v->boolValue();
}

} // namespace

SecItemResult SecItemCopyMatching(const Dictionary& query) {
    if (!supportedClass(classOf(query))) {
        return {errSecParam, std::nullopt, {}};
    }
    if (const auto status = fault("keychain.copy", query)) {
        return {static_cast<OSStatus>(*status), std::nullopt, {}};
    }
    KeychainLock held;
    const auto items = load();
    if (!items) {
        return {errSecInteractionNotAllowed, std::nullopt, {}};
    }
    const Value* limit = query.find(kSecMatchLimit);
    const bool all = limit && limit->isString() && limit->asString() == kSecMatchLimitAll;
    const bool wantData = asks(query, kSecReturnData);
    const bool wantAttributes = asks(query, kSecReturnAttributes);
    const bool wantRef = asks(query, kSecReturnRef);

    SecItemResult out;
    Array results;
    std::size_t matched = 0;
    for (const auto& item : *items) {
        if (!matches(item, query)) {
            continue;
        }
        ++matched;
        if (wantRef && classOf(item) == kSecClassKey) {
            out.refs.push_back(keyOf(item));
        }
        if (wantAttributes) {
            Dictionary attributes;
            for (const auto& [key, value] : item) {
                if (key != kSecValueData || wantData) {
                    attributes.set(key, value);
                }
            }
            results.emplace_back(std::move(attributes));
        } else if (wantData) {
            const Value* data = item.find(kSecValueData);
            results.push_back(data ? *data : Value(Data{}));
        }
        if (!all) {
            break;
        }
    }
    if (matched == 0) {
        return {errSecItemNotFound, std::nullopt, {}};
    }
    if (!results.empty()) {
        out.result = all ? Value(std::move(results)) : results.front();
    }
    return out;
}

OSStatus SecItemAdd(const Dictionary& attributes, const std::shared_ptr<SecKey>& valueRef) {
    const std::string itemClass = classOf(attributes);
    if (!supportedClass(itemClass)) {
        return errSecParam;
    }
    Dictionary item;
    for (const auto& [key, value] : attributes) {
        if (key.starts_with("m_") || key.starts_with("r_") || key.starts_with("u_") || key == kSecValueRef) {
            continue;
        }
        if (!storable(value) || (key == kSecValueData && !value.isData())) {
            return errSecParam;
        }
        item.set(key, value);
    }
    if (valueRef) {
        if (itemClass != kSecClassKey) {
            return errSecParam;
        }
        const auto der = valueRef->copyExternalRepresentation();
        if (!der) {
            return errSecParam;
        }
        item.set(kSecValueData, Value(*der));
        if (!item.contains(kSecAttrKeyType)) {
            item.set(kSecAttrKeyType, valueRef->keyType() == SecKeyType::rsa
                                          ? kSecAttrKeyTypeRSA
                                          : kSecAttrKeyTypeECSECPrimeRandom);
        }
        if (!item.contains(kSecAttrKeyClass)) {
            item.set(kSecAttrKeyClass, valueRef->keyClass() == SecKeyClass::privateKey
                                           ? kSecAttrKeyClassPrivate
                                           : kSecAttrKeyClassPublic);
        }
    }
    if (const auto status = fault("keychain.add", attributes)) {
        return static_cast<OSStatus>(*status);
    }
    KeychainLock held;
    const auto stored = load();
    if (!stored) {
        return errSecInteractionNotAllowed;
    }
    for (const auto& existing : *stored) {
        if (samePrimaryKey(existing, item)) {
            return errSecDuplicateItem;
        }
    }
    Items items = *stored;
    const Value now(Date::now());
    if (!item.contains(kSecAttrCreationDate)) {
        item.set(kSecAttrCreationDate, now);
    }
    item.set(kSecAttrModificationDate, now);
    items.push_back(std::move(item));
    return save(std::move(items));
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    if (!supportedClass(classOf(query)) || attributesToUpdate.contains(kSecClass)) {
        return errSecParam;
    }
    for (const auto& [key, value] : attributesToUpdate) {
        if ((isControlKey(key) && key != kSecValueData) || !storable(value) ||
            (key == kSecValueData && !value.isData())) {
            return errSecParam;
        }
    }
    if (const auto status = fault("keychain.update", query)) {
        return static_cast<OSStatus>(*status);
    }
    KeychainLock held;
    auto items = load();
    if (!items) {
        return errSecInteractionNotAllowed;
    }
    Items updated = *items;
    bool any = false;
    const Value now(Date::now());
    for (auto& item : updated) {
        if (!matches(item, query)) {
            continue;
        }
        any = true;
        for (const auto& [key, value] : attributesToUpdate) {
            item.set(key, value);
        }
        item.set(kSecAttrModificationDate, now);
    }
    if (!any) {
        return errSecItemNotFound;
    }
    for (std::size_t i = 0; i < updated.size(); ++i) {
        for (std::size_t j = i + 1; j < updated.size(); ++j) {
            if (samePrimaryKey(updated[i], updated[j])) {
                return errSecDuplicateItem;
            }
        }
    }
    return save(std::move(updated));
}

OSStatus SecItemDelete(const Dictionary& query) {
    if (!supportedClass(classOf(query))) {
        return errSecParam;
    }
    if (const auto status = fault("keychain.delete", query)) {
        return static_cast<OSStatus>(*status);
    }
    KeychainLock held;
    const auto stored = load();
    if (!stored) {
        return errSecInteractionNotAllowed;
    }
    Items items = *stored;
    std::erase_if(items, [&](const Dictionary& item) { return matches(item, query); });
    if (items.size() == stored->size()) {
        return errSecItemNotFound;
    }
    return save(std::move(items));
}

namespace sim {

void Keychain::wipe() {
    KeychainLock held;
    (void)save({});
}

std::vector<Dictionary> Keychain::items() {
    KeychainLock held;
    const auto items = load();
    return items ? *items : Items{};
}

std::string Keychain::path() {
    return keychainPath();
}

} // namespace sim

} // namespace plat
