#include "measurement/storage/DMSAEU.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSError.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/security/Keychain.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>

std::optional<std::string> DMSAEU::deviceModel() {
    static const std::optional<std::string> model = []() -> std::optional<std::string> {
        struct utsname name {};
        if (::uname(&name) != 0) {
            return std::nullopt;
        }
        return std::string(name.machine);
    }();
    return model;
}

std::string DMSAEU::systemVersion() {
    return plat::DeviceProfile::systemVersion();
}

bool DMSAEU::isOSSupported() {
    static const long major = std::strtol(systemVersion().c_str(), nullptr, 10);
    return major > 6;
}

bool DMSAEU::isAEX() {
    return plat::String::hasSuffix(plat::Bundle::main()->bundlePath(), ".appex");
}

std::shared_ptr<plat::UIApplication> DMSAEU::sharedApplication() {
    if (isAEX() || !plat::rt::getClass("UIApplication")) {
        return nullptr;
    }
    return plat::UIApplication::sharedApplication();
}

std::optional<std::string> DMSAEU::appStoreRURL() {
    if (!isOSSupported()) {
        return std::nullopt;
    }
    return plat::Bundle::main()->storeReceiptURL();
}

bool DMSAEU::isASRS() {
    auto url = appStoreRURL();
    return url && plat::String::lastPathComponent(*url) == "sandboxReceipt";
}

std::string DMSMeasurementFilePath(std::string_view name) {
    if (name.empty()) {
        return {};
    }
    auto folders = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::ApplicationSupport);
    if (folders.empty() || folders.front().empty()) {
        DMSMeasurement::monitor().logWithLevel(1, 19001, "NSSearchPath for ApplicationSupport directory is empty");
        return {};
    }
    return plat::String::appendingPathComponent(
        plat::String::appendingPathComponent(folders.front(), "Razoza/Measurement"), name);
}

std::string DMSPreferencesFilePath(std::string_view name) {
    if (name.empty()) {
        return {};
    }
    auto folders = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Library);
    if (folders.empty() || folders.front().empty()) {
        DMSMeasurement::monitor().logWithLevel(1, 19000, "NSSearchPath for Library directory is empty");
        return {};
    }
    return plat::String::appendingPathExtension(
        plat::String::appendingPathComponent(plat::String::appendingPathComponent(folders.front(), "Preferences"),
                                             name),
        "plist");
}

bool DMSExcludePathFromBackup(std::string_view path, plat::Error* error) {
    auto result = plat::FileManager::defaultManager().setExcludedFromBackup(path, true);
    if (!result && error) {
        *error = result.error();
    }
    return result.ok();
}

bool DMSDeleteFileAtPath(std::string_view path, plat::Error* error) {
    if (path.empty()) {
        DMSSetError(error, 1, "Received empty path for deleting file");
        return false;
    }
    auto result = plat::FileManager::defaultManager().removeItem(path);
    if (!result && error) {
        *error = result.error();
    }
    return result.ok();
}

std::optional<std::string> DMSInfoPlistFileUtil::razozaServiceInfoPlistPath() {
    if (auto path = plat::Bundle::main()->pathForResource("RazozaService-Info", "plist")) {
        return path;
    }
    return plat::Bundle::forClass("DMSInfoPlistFileUtil")->pathForResource("RazozaService-Info", "plist");
}

std::optional<plat::Dictionary> DMSInfoPlistFileUtil::dictionaryFromRazozaServiceInfoPlist() {
    auto path = razozaServiceInfoPlistPath();
    if (!path) {
        return std::nullopt;
    }
    auto bytes = plat::FileManager::defaultManager().contentsAtPath(*path);
    if (!bytes) {
        return std::nullopt;
    }
    auto dictionary = plat::PropertyListSerialization::dictionary(*bytes);
    if (!dictionary) {
        return std::nullopt;
    }
    return *dictionary;
}

std::optional<plat::Dictionary> DMSKeychainWrapper::searchDirectoryForIdentifier(std::string_view identifier,
                                                                                 std::string_view appID) {
    if (identifier.empty() || appID.empty()) {
        return std::nullopt;
    }
    plat::Data identifierBytes(identifier.begin(), identifier.end());
    return plat::Dictionary{
        {plat::kSecClass, plat::Value(plat::kSecClassGenericPassword)},
        {plat::kSecAttrService, plat::Value(appID)},
        {plat::kSecAttrGeneric, plat::Value(identifierBytes)},
        {plat::kSecAttrAccount, plat::Value(identifierBytes)},
    };
}

std::optional<plat::Data> DMSKeychainWrapper::keychainDataWithIdentifier(std::string_view identifier,
                                                                         std::string_view appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) {
        return std::nullopt;
    }
    query->set(plat::kSecMatchLimit, plat::Value(plat::kSecMatchLimitOne));
    query->set(plat::kSecReturnData, plat::Value(true));
    auto found = plat::SecItemCopyMatching(*query);
    if (found.status != plat::errSecSuccess || !found.result || !found.result->isData()) {
        return std::nullopt;
    }
    return found.result->asData();
}

std::optional<std::string> DMSKeychainWrapper::keychainValueWithIdentifier(std::string_view identifier,
                                                                           std::string_view appID) {
    auto data = keychainDataWithIdentifier(identifier, appID);
    if (!data || data->empty()) {
        return std::nullopt;
    }
    auto text = plat::String::fromUTF8(*data);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return text;
}

bool DMSKeychainWrapper::upsertKeychainValue(std::string_view value, std::string_view identifier,
                                             std::string_view appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (value.empty() || !query) {
        return false;
    }
    plat::Data valueBytes(value.begin(), value.end());
    if (keychainValueWithIdentifier(identifier, appID)) {
        return plat::SecItemUpdate(*query, plat::Dictionary{{plat::kSecValueData, plat::Value(valueBytes)}}) ==
               plat::errSecSuccess;
    }
    query->set(plat::kSecValueData, plat::Value(valueBytes));
    query->set(plat::kSecAttrAccessible, plat::Value(plat::kSecAttrAccessibleAlwaysThisDeviceOnly));
    return plat::SecItemAdd(*query) == plat::errSecSuccess;
}

void DMSKeychainWrapper::deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID) {
    if (auto query = searchDirectoryForIdentifier(identifier, appID)) {
        (void)plat::SecItemDelete(*query);
    }
}

int64_t DMSNumericUtil::randomInt64() {
    auto bytes = plat::Random::bytes(sizeof(int64_t));
    if (!bytes || bytes->size() != sizeof(int64_t)) {
        std::string reason = bytes ? std::string("short read") : bytes.error().localizedDescription();
        DMSMeasurement::monitor().logWithLevel(4, 26004, "Unable to generate random integer", reason);
        return 0;
    }
    int64_t value = 0;
    std::memcpy(&value, bytes->data(), sizeof value);
    return value;
}
