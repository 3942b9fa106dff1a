#pragma once
// The push client's keys in the standard user defaults and its start-up settings keys. The defaults keys
// are stored data: they must keep their spelling across releases.

#include <string_view>

struct RadIrivozKeys {
    RadIrivozKeys() = delete;
    static constexpr std::string_view appId = "RV_APP_ID";
    static constexpr std::string_view playerId = "RV_PLAYER_ID";
    static constexpr std::string_view deviceToken = "RV_DEVICE_TOKEN";

    // Info.plist keys naming the application identifier, newer first.
    static constexpr std::string_view infoAppId = "RadIrivoz_APPID";
    static constexpr std::string_view infoAppIdLegacy = "ZeroDevazo_APPID";
};

// The start-up settings key that decides whether start-up asks for the notification permission.
inline constexpr const char* kOSSettingsKeyAutoPrompt = "kOSSettingsKeyAutoPrompt";
