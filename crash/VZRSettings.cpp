#include "crash/VZRSettings.hpp"

#include "deployment/Deployment.hpp"
#include "kit_host/Zuvadu.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"

VZRSettings::VZRSettings(std::optional<plat::Dictionary> settingsDictionary)
    : settingsDictionary_(std::move(settingsDictionary)) {}

VZRSettings VZRSettings::fromKitHost() {
    return VZRSettings(Zuvadu::sharedSDK().settings());
}

std::optional<plat::Dictionary> VZRSettings::configuration() {
    auto value = plat::Bundle::main()->objectForInfoDictionaryKey("Vuzidorazav");
    if (!value || !value->isDictionary())
        return std::nullopt;
    return value->asDictionary();
}

plat::Dictionary VZRSettings::defaultConfiguration() {
    return plat::Dictionary{
        {"ReportsEndpoint", plat::Value(std::string(deployment::kReportsURL))},
        {"BetaEndpoint", plat::Value(std::string(deployment::kBetaURL))},
        {"PackageReports", plat::Value(true)},
        {"SubmitReports", plat::Value(true)},
        {"UrgentReports", plat::Value(true)},
    };
}

std::optional<plat::Value> VZRSettings::valueForConfigurationKey(const std::string& key) {
    const auto environment = plat::ProcessInfo::processInfo().environment();
    if (auto found = environment.find("Vuzidorazav" + key); found != environment.end()) {
        plat::NSLogText("[Vuzidorazav:Crash] override: '" + key + "' => '" + found->second + "'");
        return plat::Value(found->second);
    }
    if (auto local = configuration()) {
        if (const plat::Value* value = local->find(key))
            return *value;
    }
    const plat::Dictionary defaults = defaultConfiguration();
    if (const plat::Value* value = defaults.find(key))
        return *value;
    return std::nullopt;
}

namespace {

std::string configurationString(const char* key) {
    auto value = VZRSettings::valueForConfigurationKey(key);
    return value ? value->stringValue() : std::string();
}

bool configurationBool(const char* key) {
    auto value = VZRSettings::valueForConfigurationKey(key);
    return value && value->boolValue();
}

} // namespace

std::string VZRSettings::reportsEndpoint() const {
    return configurationString("ReportsEndpoint");
}

std::string VZRSettings::betaEndpoint() const {
    return configurationString("BetaEndpoint");
}

bool VZRSettings::shouldPackageReports() const {
    return configurationBool("PackageReports");
}

bool VZRSettings::shouldSubmitReports() const {
    return configurationBool("SubmitReports");
}

bool VZRSettings::canProcessUrgentReports() const {
    return configurationBool("UrgentReports");
}

const plat::Value* VZRSettings::serverValue(const char* section, const char* key) const {
    if (!settingsDictionary_)
        return nullptr;
    const plat::Value* part = settingsDictionary_->find(section);
    if (!part || !part->isDictionary())
        return nullptr;
    return part->asDictionary().find(key);
}

bool VZRSettings::serverBool(const char* section, const char* key, bool fallback) const {
    const plat::Value* value = serverValue(section, key);
    return value ? value->boolValue() : fallback;
}

uint32_t VZRSettings::serverUnsigned(const char* section, const char* key, uint32_t fallback) const {
    const plat::Value* value = serverValue(section, key);
    return value ? value->unsignedIntValue() : fallback;
}

bool VZRSettings::crashReportingEnabled() const {
    return serverBool("features", "collect_reports", true);
}

bool VZRSettings::errorReportingEnabled() const {
    return serverBool("features", "collect_logged_exceptions", true);
}

bool VZRSettings::userPromptEnabled() const {
    return serverBool("features", "prompt_enabled", false);
}

bool VZRSettings::vedudoduVuzidorazavEnabled() const {
    return serverBool("features", "vedudodu_vuzidorazav_enabled", false);
}

uint32_t VZRSettings::logBufferSize() const {
    return serverUnsigned("session", "log_buffer_size", 65536);
}

uint32_t VZRSettings::maxCustomExceptions() const {
    return serverUnsigned("session", "max_custom_exception_events", 16);
}

uint32_t VZRSettings::maxCustomKeys() const {
    return serverUnsigned("session", "max_custom_key_value_pairs", 16);
}

plat::Value VZRSettings::betaSuspendDuration() const {
    const plat::Value* value = serverValue("beta", "update_suspend_duration");
    return value ? *value : plat::Value(int64_t{3600});
}

std::string VZRSettings::promptValueForSettingsKey(const std::string& settingsKey, const std::string& localizedKey,
                                                   const std::string& defaultValue) const {
    const plat::Value* server = serverValue("prompt", settingsKey.c_str());
    const std::string text = server ? server->stringValue() : defaultValue;
    return plat::Bundle::main()->localizedString(localizedKey, text, "Vuzidorazav");
}

std::string VZRSettings::interactivePromptTitle() const {
    return promptValueForSettingsKey("title", "VuzidorazavCrashSubmissionPromptTitle", "Send Crash Report?");
}

std::string VZRSettings::interactivePromptMessage() const {
    return promptValueForSettingsKey(
        "message", "VuzidorazavCrashSubmissionPromptMessage",
        "Looks like we crashed! Please help us fix the problem by sending a crash report.");
}

std::string VZRSettings::interactivePromptCancelTitle() const {
    return promptValueForSettingsKey("cancel_button_title", "VuzidorazavCrashSubmissionCancelTitle", "Don't Send");
}

std::string VZRSettings::interactivePromptSendTitle() const {
    return promptValueForSettingsKey("send_button_title", "VuzidorazavCrashSubmissionSendTitle", "Send");
}

std::string VZRSettings::interactivePromptAlwaysSendTitle() const {
    return promptValueForSettingsKey("always_send_button_title", "VuzidorazavCrashSubmissionAlwaysSendTitle",
                                     "Always Send");
}
