#include "kit_host/VZRUserDefaults.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/UserDefaults.hpp"

VZRUserDefaults& VZRUserDefaults::standardUserDefaults() {
    static plat::NeverDestroyed<VZRUserDefaults> instance;
    return *instance;
}

VZRUserDefaults::VZRUserDefaults()
    : serialDictionaryQueue_(plat::DispatchQueue::makeSerial(kAccessQueueLabel)),
      synchronizationQueue_(plat::DispatchQueue::makeSerial(kIOQueueLabel)) {
    serialDictionaryQueue_->sync([this] {
        const auto support = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::ApplicationSupport);
        directoryURL_ = (support.empty() ? std::string() : support.back()) + "/com.vuzidorazav";
        fileURL_ = directoryURL_ + "/VZRUserDefaults.plist";
        persistedDataDictionary_ = synchronizationQueue_->sync([this] { return loadDefaults(); }).value_or(plat::Dictionary{});
        dataDictionary_ = persistedDataDictionary_;
    });
}

std::optional<plat::Dictionary> VZRUserDefaults::loadDefaults() const {
    auto& fm = plat::FileManager::defaultManager();
    bool isDirectory = false;
    if (!fm.fileExists(fileURL_, &isDirectory))
        return std::nullopt;
    if (isDirectory) {
        plat::NSLogText("[Zuvadu:UserDefaults] found directory where file expected. Removing conflicting directory");
        if (auto removed = fm.removeItem(fileURL_); !removed)
            plat::NSLog("[Zuvadu:UserDefaults] error removing conflicting directory: {error = %@}",
                        removed.error().description());
        return std::nullopt;
    }
    auto bytes = plat::readData(fileURL_);
    auto dictionary = bytes ? plat::PropertyListSerialization::dictionary(*bytes) : plat::Result<plat::Dictionary>(bytes.error());
    if (!dictionary) {
        plat::NSLogText("[Zuvadu:UserDefaults] failed to read existing UserDefaults file");
        return std::nullopt;
    }
    return std::move(*dictionary);
}

std::optional<plat::Value> VZRUserDefaults::objectForKey(std::string_view key) const {
    return serialDictionaryQueue_->sync([&]() -> std::optional<plat::Value> {
        const plat::Value* value = dataDictionary_.find(key);
        return value ? std::optional<plat::Value>(*value) : std::nullopt;
    });
}

std::optional<std::string> VZRUserDefaults::stringForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->isString())
        return std::nullopt;
    return *value->ifString();
}

bool VZRUserDefaults::boolForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value && value->isNumber() && value->boolValue();
}

void VZRUserDefaults::setObject(std::optional<plat::Value> value, std::string_view key) {
    serialDictionaryQueue_->sync([&] {
        if (value)
            dataDictionary_.set(key, std::move(*value));
        else
            dataDictionary_.erase(key);
    });
}

void VZRUserDefaults::setString(std::optional<std::string> value, std::string_view key) {
    setObject(value ? std::optional<plat::Value>(plat::Value(std::move(*value))) : std::nullopt, key);
}

void VZRUserDefaults::setBool(bool value, std::string_view key) {
    setObject(plat::Value(value), key);
}

void VZRUserDefaults::removeObjectForKey(std::string_view key) {
    setObject(std::nullopt, key);
}

void VZRUserDefaults::removeAllObjects() {
    serialDictionaryQueue_->sync([this] { dataDictionary_.clear(); });
}

plat::Dictionary VZRUserDefaults::dictionaryRepresentation() const {
    return serialDictionaryQueue_->sync([this] { return dataDictionary_; });
}

plat::Dictionary VZRUserDefaults::persistedDataDictionary() const {
    return serialDictionaryQueue_->sync([this] { return persistedDataDictionary_; });
}

bool VZRUserDefaults::synchronizeWroteToDisk() const {
    return serialDictionaryQueue_->sync([this] { return synchronizeWroteToDisk_; });
}

void VZRUserDefaults::synchronize() {
    // Snapshot, write and bookkeeping are one step on the io queue: two callers can then never leave an
    // older snapshot in the file while memory counts a newer one as persisted. Values are only ever read
    // briefly on their own queue from inside it, never the other way round once the store exists.
    synchronizationQueue_->sync([this] {
        auto snapshot = serialDictionaryQueue_->sync([this]() -> std::optional<plat::Dictionary> {
            const bool changed = !(persistedDataDictionary_ == dataDictionary_);
            synchronizeWroteToDisk_ = changed;
            if (!changed)
                return std::nullopt;
            return dataDictionary_;
        });
        if (!snapshot || !writeSnapshot(*snapshot))
            return;
        serialDictionaryQueue_->sync([&] { persistedDataDictionary_ = std::move(*snapshot); });
    });
}

bool VZRUserDefaults::writeSnapshot(const plat::Dictionary& snapshot) const {
    auto& fm = plat::FileManager::defaultManager();
    if (!fm.fileExists(directoryURL_)) {
        if (auto created = fm.createDirectory(directoryURL_, true); !created)
            plat::NSLog("[Zuvadu:UserDefaults] failed to create directory with error:%@", created.error().description());
    }
    auto bytes = plat::PropertyListSerialization::data(plat::Value(snapshot), plat::PropertyListSerialization::Format::XML);
    if (!bytes || !plat::writeData(fileURL_, *bytes, plat::WriteOptions().setAtomic())) {
        plat::NSLog("[Zuvadu:UserDefaults] Unable to open file for writing at path %@", fileURL_);
        return false;
    }
    if (auto protectedFile = fm.setFileProtection(fileURL_, plat::NSFileProtectionNone); !protectedFile)
        plat::NSLog("[Zuvadu:UserDefaults] Error setting NSFileProtection %@", protectedFile.error().description());
    return true;
}

void VZRUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
    auto& platform = plat::UserDefaults::standardUserDefaults();
    bool moved = false;
    for (const std::string& key : keys) {
        if (auto value = platform.object(key)) {
            setObject(std::move(*value), key);
            moved = true;
        }
    }
    if (!moved)
        return;
    synchronize();
    for (const std::string& key : keys)
        platform.remove(key);
    platform.synchronize();
}

std::optional<plat::Value> VZRUserDefaults::objectForKeyByMigratingFromNSUserDefaults(std::string_view key) {
    if (auto value = objectForKey(key))
        return value;
    auto& platform = plat::UserDefaults::standardUserDefaults();
    auto value = platform.object(key);
    if (!value)
        return std::nullopt;
    setObject(*value, key);
    synchronize();
    platform.remove(key);
    platform.synchronize();
    return value;
}
