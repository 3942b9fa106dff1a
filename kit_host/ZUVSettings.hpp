#pragma once
// The kits' settings as the settings service last sent them, read from the saved file
// (<Caches>/ro.darazo.rev.ara.data/<bundle identifier>/settings.json) and kept until the next download clears
// them. Kits read them from their own queues while a download clears and reloads them, so the cache is
// guarded. A member of the wrong type counts as absent.

#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class ZUVSettings {
public:
    explicit ZUVSettings(std::optional<std::string> settingsPath) : settingsPath_(std::move(settingsPath)) {}
    static std::shared_ptr<ZUVSettings> initWithSettingsPath(std::optional<std::string> settingsPath);

    // The parsed file, cached; none without a file. A file that is no JSON object is removed (logged).
    std::optional<plat::Dictionary> settingsDictionary();
    // The next read loads the file again.
    void clearSettingsDictionary();

    std::optional<plat::Dictionary> appSettings();
    std::optional<std::string> appStatus();
    bool appNeedsOnboarding(); // status "new"
    bool appUpdateRequired();  // "app"."update_required" read as a boolean

    static std::string appBundleIdentifier(); // escaped
    static std::string appPlatform() { return "ios"; }
    static std::optional<std::string> appBuildVersion();
    static std::optional<std::string> appDisplayVersion();
    static int appSource();
    // <endpoint>/spi/v2/platforms/ios/apps/<escaped bundle id>/settings?build_version=…&display_version=…
    // &instance=…&source=…, a missing value left out.
    static std::optional<plat::URL> settingsURLForEndpoint(const std::string& endpoint,
                                                           const std::optional<std::string>& instanceIdentifier);

    const std::optional<std::string>& settingsPath() const { return settingsPath_; }

private:
    const std::optional<std::string> settingsPath_;
    std::mutex mutex_;
    std::optional<plat::Dictionary> cached_;
};
