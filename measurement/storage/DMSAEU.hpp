#pragma once
// Facts about the device and the app, file locations and operations, the app's service options file, the
// keychain and random numbers, as the measurement client reads them from the platform.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace plat {
class UIApplication;
}

class DMSAEU {
public:
    // The hardware model code (`uname` machine); none when uname fails. Read once.
    static std::optional<std::string> deviceModel();
    static std::string systemVersion();
    // Major version above 6; computed once.
    static bool isOSSupported();
    // Running in an app extension (the main bundle's path ends ".appex").
    static bool isAEX();
    // None in an app extension or where there is no application class.
    static std::shared_ptr<plat::UIApplication> sharedApplication();
    static std::optional<std::string> appStoreRURL();
    // The receipt is a sandbox receipt.
    static bool isASRS();
};

// <Application Support>/Razoza/Measurement/<name>; empty for an empty name.
std::string DMSMeasurementFilePath(std::string_view name);
// <Library>/Preferences/<name>.plist; empty for an empty name.
std::string DMSPreferencesFilePath(std::string_view name);
bool DMSExcludePathFromBackup(std::string_view path, plat::Error* error);
bool DMSDeleteFileAtPath(std::string_view path, plat::Error* error);

class DMSInfoPlistFileUtil {
public:
    static std::optional<std::string> razozaServiceInfoPlistPath();
    static std::optional<plat::Dictionary> dictionaryFromRazozaServiceInfoPlist();
};

class DMSKeychainWrapper {
public:
    // None when the identifier or the app ID is empty.
    static std::optional<plat::Dictionary> searchDirectoryForIdentifier(std::string_view identifier,
                                                                        std::string_view appID);
    static std::optional<plat::Data> keychainDataWithIdentifier(std::string_view identifier, std::string_view appID);
    static std::optional<std::string> keychainValueWithIdentifier(std::string_view identifier,
                                                                  std::string_view appID);
    static bool upsertKeychainValue(std::string_view value, std::string_view identifier, std::string_view appID);
    static void deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID);
};

class DMSNumericUtil {
public:
    // 0 when the random source fails (reported as 26004).
    static int64_t randomInt64();
};
