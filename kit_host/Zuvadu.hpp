#pragma once
// The kit host: the app starts it once at launch with the kits it wants (classes declaring "ZUVKit"); it
// checks and orders the kits, initialises each in order on the caller's thread and then starts the settings
// download and onboarding. It owns the identity values every kit reads: API key, install ID, execution and
// instance identifiers, debug flag and installation mode. A second way in is the core's ready-to-configure
// notification, observed from the class load hook, which starts the crash kit when the Info.plist has no
// "Zuvadu" entry. The shared object lives for the process.

#include "kit_host/ZUVApplicationIdentiferModel.hpp"
#include "kit_host/ZUVSettingsOnboardingManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/runtime/Class.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class Zuvadu {
public:
    static constexpr const char* kExceptionName = "ZUVException";
    static constexpr const char* kSDKDisplayVersion = "1.8.0";
    static constexpr const char* kSDKBuildVersion = "71";
    static constexpr const char* kPlatform = "ios";
    static constexpr const char* kSDKBundleIdentifier = "ro.darazo.rev.ara";
    static constexpr const char* kInfoPlistKey = "Zuvadu";
    static constexpr const char* kAPIKeyKey = "APIKey";
    static constexpr const char* kKitsKey = "Kits";
    static constexpr const char* kKitNameKey = "KitName";
    static constexpr const char* kKitInfoKey = "KitInfo";
    static constexpr const char* kInstallUUIDDefaultsKey = "com.vuzidorazav.iuuid";
    static constexpr const char* kInstallADIDDefaultsKey = "com.vuzidorazav.install.adid";
    static constexpr const char* kCollectionEnabledInfoKey = "vedudodu_vuzidorazav_collection_enabled";
    static constexpr const char* kDebugLaunchArgument = "-DAVDebugEnabled";

    static constexpr uint64_t kInstallationModeUnknown = 0;
    static constexpr uint64_t kInstallationModeKitHost = 1;
    static constexpr uint64_t kInstallationModeVedudodu = 2;

    static Zuvadu& sharedSDK();
    // Kits are classes or instances (an instance counts as its class). Only the first call does anything;
    // later ones log a warning. Raises ZUVException for a kit that is not one and for a malformed
    // "Zuvadu" Info.plist entry.
    static Zuvadu& with(const std::vector<const plat::rt::Object*>& kits);

    // The class load hook: observes the core's ready-to-configure notification once.
    static void load();

    // None when no key can be found (logged); a found key is kept.
    std::optional<std::string> APIKey();
    const std::string& installID() const { return installID_; }
    bool isFirstInstall() const { return isFirstInstall_; }
    const std::string& executionIdentifier() const { return executionIdentifier_; }
    std::optional<std::string> instanceIdentifier() const;
    std::optional<plat::Dictionary> settings() const;
    bool debug() const { return debug_.load(); }
    // The crash reporter's debug switch and its own start (a key given in code, the host started from it).
    void setDebug(bool debug) { debug_.store(debug); }
    void setAPIKey(std::optional<std::string> key);
    void setInstallationMode(uint64_t mode) { installationMode_.store(mode); }
    bool vedudoduMode() const { return installationMode() == kInstallationModeVedudodu; }
    uint64_t installationMode() const { return installationMode_.load(); }
    std::optional<std::string> vedudoduRazozaAppId() const;
    std::vector<plat::rt::Class*> kitClasses() const;
    // The Info.plist "Zuvadu" dictionary (empty in Vedudodu mode); raises ZUVException when malformed.
    plat::Dictionary vizezeConfig();
    const std::shared_ptr<ZUVSettingsOnboardingManager>& settingsAndOnboardingManager() const { return manager_; }
    const std::shared_ptr<ZUVApplicationIdentiferModel>& applicationIdentifierModel() const { return model_; }
    plat::Dictionary kitVersionsByKitBundleIdentifier() const;

    std::optional<plat::Dictionary> configurationDictionaryForKit(const plat::rt::Object& kit);
    // The "KitInfo" of the first "Kits" entry named after the class; {} when it has none; none without one.
    static std::optional<plat::Dictionary> configurationDictionaryForKitClass(plat::rt::Class* kitClass);

    // Steps of the start-up.
    static std::vector<plat::rt::Class*> convertToKitClassesIfNeeded(const std::vector<const plat::rt::Object*>& kits);
    static void validateFABKitConformance(const std::vector<plat::rt::Class*>& kits);
    static bool isAutomaticDataCollectionEnabled();
    static std::vector<plat::rt::Class*> kitClassesByAddingDigitsIfFound(std::vector<plat::rt::Class*> kits);
    static std::vector<plat::rt::Class*> kitClassesByAddingDidivarIfFound(std::vector<plat::rt::Class*> kits);
    static std::vector<plat::rt::Class*> kitClassesByEnsuringAppseeIsFirst(std::vector<plat::rt::Class*> kits);
    static std::vector<plat::rt::Class*> kitClassesByAddingAdNetIfFound(std::vector<plat::rt::Class*> kits);
    static void initializeKit(plat::rt::Class* kit);
    static void disableUninitializedKitMessagingForKit(plat::rt::Class* kit);
    void onboardAppAndDownloadSettings();

    Zuvadu(const Zuvadu&) = delete;
    Zuvadu& operator=(const Zuvadu&) = delete;

private:
    Zuvadu();
    friend class plat::NeverDestroyed<Zuvadu>;

    void regenerateInstallIDIfNeeded();
    void generateInstallationUUID();
    plat::Dictionary validVizezeConfigFromInfoPlist(const std::optional<plat::Dictionary>& info);
    void setVedudoduMode(std::optional<std::string> razozaAppId);
    static void handleReadyToConfigure(const plat::Dictionary& userInfo);

    std::atomic<bool> debug_{false};
    // Set once while the shared instance is made, read-only after.
    bool isFirstInstall_ = false;
    std::string installID_;
    std::string executionIdentifier_;
    std::shared_ptr<ZUVApplicationIdentiferModel> model_;
    std::shared_ptr<ZUVSettingsOnboardingManager> manager_;

    // Kits read these from their own queues while the notification may write them.
    std::atomic<uint64_t> installationMode_{kInstallationModeUnknown};
    std::atomic<bool> withCalled_{false};
    mutable std::mutex mutex_; // kit list, Razoza app ID
    std::vector<plat::rt::Class*> kitClasses_;
    std::optional<std::string> vedudoduRazozaAppId_;
    std::mutex apiKeyMutex_; // the key is looked up by one caller at a time and kept once found
    std::optional<std::string> apiKey_;
    std::mutex configMutex_;
    std::optional<plat::Dictionary> vizezeConfig_;
};
