#include "kit_host/ZUVSettings.hpp"

#include "kit_host/ZUVURLBuilder.hpp"
#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"

std::shared_ptr<ZUVSettings> ZUVSettings::initWithSettingsPath(std::optional<std::string> settingsPath) {
    return std::make_shared<ZUVSettings>(std::move(settingsPath));
}

std::optional<plat::Dictionary> ZUVSettings::settingsDictionary() {
    std::lock_guard lock(mutex_);
    if (cached_)
        return cached_;
    if (!settingsPath_)
        return std::nullopt;
    auto bytes = plat::readData(*settingsPath_);
    if (!bytes.ok())
        return std::nullopt;
    auto parsed = plat::JSONSerialization::jsonObject(std::span<const uint8_t>(*bytes));
    std::optional<std::string> problem;
    if (!parsed.ok())
        problem = parsed.error().localizedDescription();
    else if (!parsed->isDictionary())
        // Valid JSON that is no object holds no settings either; keeping it would fail every read.
        problem = "The settings are not a JSON object.";
    if (problem) {
        plat::NSLogText("[Zuvadu] Could not load settings with error: " + *problem);
        (void)plat::FileManager::defaultManager().removeItem(*settingsPath_);
        return std::nullopt;
    }
    cached_ = parsed->asDictionary();
    return cached_;
}

void ZUVSettings::clearSettingsDictionary() {
    std::lock_guard lock(mutex_);
    cached_.reset();
}

std::optional<plat::Dictionary> ZUVSettings::appSettings() {
    auto settings = settingsDictionary();
    const plat::Value* app = settings ? settings->find("app") : nullptr;
    if (!app || !app->isDictionary())
        return std::nullopt;
    return app->asDictionary();
}

std::optional<std::string> ZUVSettings::appStatus() {
    auto app = appSettings();
    const plat::Value* status = app ? app->find("status") : nullptr;
    if (!status || !status->isString())
        return std::nullopt;
    return status->asString();
}

bool ZUVSettings::appNeedsOnboarding() {
    return appStatus() == "new";
}

bool ZUVSettings::appUpdateRequired() {
    auto app = appSettings();
    const plat::Value* required = app ? app->find("update_required") : nullptr;
    return required && (required->isNumber() || required->isString()) && required->boolValue();
}

std::string ZUVSettings::appBundleIdentifier() {
    return ZUVAppEscapedBundleIdentifier();
}

std::optional<std::string> ZUVSettings::appBuildVersion() {
    return ZUVAppBundleVersion();
}

std::optional<std::string> ZUVSettings::appDisplayVersion() {
    return ZUVAppShortVersion();
}

int ZUVSettings::appSource() {
    return ZUVAppInstallSource();
}

std::optional<plat::URL> ZUVSettings::settingsURLForEndpoint(const std::string& endpoint,
                                                             const std::optional<std::string>& instanceIdentifier) {
    ZUVURLBuilder builder(endpoint);
    builder.appendComponent("/spi/v2/platforms/");
    builder.escapeAndAppendComponent(appPlatform());
    builder.appendComponent("/apps/");
    builder.escapeAndAppendComponent(appBundleIdentifier());
    builder.appendComponent("/settings");
    builder.appendValue(appBuildVersion(), "build_version");
    builder.appendValue(appDisplayVersion(), "display_version");
    builder.appendValue(instanceIdentifier, "instance");
    builder.appendValue(plat::Value(appSource()), "source");
    return builder.URL();
}
