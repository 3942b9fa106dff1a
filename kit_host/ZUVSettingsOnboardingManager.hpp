#pragma once
// Downloads the kits' settings, decides from them whether the app must be registered with the kit host's
// back end (status "new") or its registration updated ("update_required"), does so, and posts
// "ZUVSettingsAvailableNotification" once the settings are usable. Each path ends by closing the
// networking session, after which the manager sends nothing more.
//
// Download, onboarding and decision callbacks run on the network client's delegate queue while kits read
// the settings from their own queues: the manager's state and the settings cache are guarded.

#include "kit_host/ZUVApplicationIdentiferModel.hpp"
#include "kit_host/ZUVDownloadAndSaveSettingsOperation.hpp"
#include "kit_host/ZUVNetworkClient.hpp"
#include "kit_host/ZUVOnboardingOperation.hpp"
#include "kit_host/ZUVSettings.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ZUVSettingsOnboardingManager : public ZUVDownloadAndSaveSettingsOperationDelegate,
                                     public ZUVOnboardingOperationDelegate,
                                     public std::enable_shared_from_this<ZUVSettingsOnboardingManager> {
public:
    static constexpr const char* kSettingsAvailableNotification = "ZUVSettingsAvailableNotification";
    static constexpr const char* kSettingsEndpointKey = "SettingsEndpoint";
    static constexpr const char* kConfigureEndpointKey = "ConfigureEndpoint";
    // The Info.plist dictionary whose entries stand in for the defaults.
    static constexpr const char* kConfigurationInfoKey = "Vuzidorazav";

    // Makes the network client, which pins the kit host's roots (the debug argument leaves trust to the
    // platform's default handling).
    explicit ZUVSettingsOnboardingManager(std::shared_ptr<ZUVApplicationIdentiferModel> model);
    static std::shared_ptr<ZUVSettingsOnboardingManager> initWithApplicationIdentifierModel(
        std::shared_ptr<ZUVApplicationIdentiferModel> model);

    void beginSettingsAndOnboardingOperationsWithAPIKey(const std::string& apiKey,
                                                        const plat::Dictionary& kitVersionsByKitBundleIdentifier);
    void beginSettingsDownload();
    void beginOnboarding(bool create, const std::string& endpointString);

    // The saved settings; none before a download saved usable ones.
    std::optional<plat::Dictionary> settings() { return settingsModel()->settingsDictionary(); }
    std::shared_ptr<ZUVSettings> settingsModel();
    std::optional<plat::URL> settingsURL();
    std::optional<std::string> settingsPath() const;
    // <Caches>/ro.darazo.rev.ara.data/<bundle identifier>; none when the identifier cannot name a folder
    // (empty, "." or "..", or holding "/").
    static std::optional<std::string> settingsDirectoryPath();

    // The environment variable of that name, else the Info.plist "Vuzidorazav" entry, else the default.
    std::optional<std::string> valueForConfigurationKey(const std::string& key) const;
    std::optional<plat::Dictionary> configuration() const;
    static plat::Dictionary defaultConfiguration();

    void finishNetworkingSession();
    // Whether any manager began and has not finished its networking session yet (a program waits for it
    // before it quits, so the start-up's traffic is complete).
    static bool hasSessionsInFlight();
    void postSettingsDownloadCompletedNotification();

    void operationDidDownloadAndSaveSettingsWithError(ZUVDownloadAndSaveSettingsOperation& operation,
                                                      const std::optional<plat::Error>& error) override;
    void onboardingOperationDidCompleteAppCreationWithError(ZUVOnboardingOperation& operation,
                                                           const std::optional<plat::Error>& error) override;
    void onboardingOperationDidCompleteAppUpdateWithError(ZUVOnboardingOperation& operation,
                                                         const std::optional<plat::Error>& error) override;

    const std::shared_ptr<ZUVApplicationIdentiferModel>& applicationIdentifierModel() const { return model_; }
    const std::shared_ptr<ZUVNetworkClient>& networkClient() const { return networkClient_; }
    bool hasAttemptedAppConfigure() const;
    std::shared_ptr<ZUVOnboardingOperation> onboardingOperation() const;

    struct Begin {
        std::string apiKey;
        plat::Dictionary kitVersions;
    };
    // Every begin call so far, in order.
    std::vector<Begin> begins() const;

private:
    void debugLog(const std::string& text) const;

    const std::shared_ptr<ZUVApplicationIdentiferModel> model_;
    const std::shared_ptr<ZUVNetworkClient> networkClient_;
    const bool debug_;

    mutable std::mutex mutex_;
    bool hasAttemptedAppConfigure_ = false;
    bool sessionOpen_ = false;
    std::shared_ptr<ZUVSettings> settingsModel_;
    std::shared_ptr<ZUVOnboardingOperation> onboardingOperation_;
    std::optional<std::string> APIKey_;
    plat::Dictionary kitVersionsByKitBundleIdentifier_;
    std::vector<Begin> begins_;
};
