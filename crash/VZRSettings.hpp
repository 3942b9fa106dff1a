#pragma once
// Every configuration question of the crash reporter, from two sources: the kit host's server settings
// (sections "features", "session", "beta", "prompt"; absent values take their defaults) and a local
// configuration of endpoints and switches: the environment variable "Vuzidorazav<key>", then the Info.plist
// dictionary "Vuzidorazav", then the built-in defaults.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <optional>
#include <string>

class VZRSettings {
public:
    explicit VZRSettings(std::optional<plat::Dictionary> settingsDictionary);
    // A settings object over the kit host's current dictionary.
    static VZRSettings fromKitHost();

    const std::optional<plat::Dictionary>& settingsDictionary() const { return settingsDictionary_; }

    // The Info.plist "Vuzidorazav" dictionary, or none.
    static std::optional<plat::Dictionary> configuration();
    static plat::Dictionary defaultConfiguration();
    // The environment wins (logged as an override), then the Info.plist, then the defaults.
    static std::optional<plat::Value> valueForConfigurationKey(const std::string& key);

    std::string reportsEndpoint() const;
    std::string betaEndpoint() const;
    bool shouldPackageReports() const;
    bool shouldSubmitReports() const;
    bool canProcessUrgentReports() const;

    bool crashReportingEnabled() const;
    bool errorReportingEnabled() const;
    bool customExceptionsEnabled() const { return errorReportingEnabled(); }
    bool userPromptEnabled() const;
    bool vedudoduVuzidorazavEnabled() const;
    uint32_t logBufferSize() const;
    uint32_t errorLogBufferSize() const { return logBufferSize(); }
    uint32_t maxCustomExceptions() const;
    uint32_t maxCustomKeys() const;
    plat::Value betaSuspendDuration() const;

    // The server's text, else the built-in one; a translation in the bundle's "Vuzidorazav" table wins.
    std::string promptValueForSettingsKey(const std::string& settingsKey, const std::string& localizedKey,
                                          const std::string& defaultValue) const;
    std::string interactivePromptTitle() const;
    std::string interactivePromptMessage() const;
    std::string interactivePromptCancelTitle() const;
    std::string interactivePromptSendTitle() const;
    std::string interactivePromptAlwaysSendTitle() const;

private:
    const plat::Value* serverValue(const char* section, const char* key) const;
    bool serverBool(const char* section, const char* key, bool fallback) const;
    uint32_t serverUnsigned(const char* section, const char* key, uint32_t fallback) const;

    std::optional<plat::Dictionary> settingsDictionary_;
};
