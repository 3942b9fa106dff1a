#include "kit_host/ZUVSettingsOnboardingManager.hpp"

#include "kit_host/Zuvadu.hpp"

#include "deployment/Deployment.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int> openSettingsSessions{0};

bool launchedWithDebugArgument() {
    const auto arguments = plat::ProcessInfo::processInfo().arguments();
    return std::find(arguments.begin(), arguments.end(), Zuvadu::kDebugLaunchArgument) != arguments.end();
}

} // namespace

ZUVSettingsOnboardingManager::ZUVSettingsOnboardingManager(std::shared_ptr<ZUVApplicationIdentiferModel> model)
    : model_(std::move(model)), networkClient_(ZUVNetworkClient::initWithQueue(nullptr, ZUVPinnedCertificates())),
      debug_(launchedWithDebugArgument()) {}

std::shared_ptr<ZUVSettingsOnboardingManager> ZUVSettingsOnboardingManager::initWithApplicationIdentifierModel(
    std::shared_ptr<ZUVApplicationIdentiferModel> model) {
    return std::make_shared<ZUVSettingsOnboardingManager>(std::move(model));
}

void ZUVSettingsOnboardingManager::debugLog(const std::string& text) const {
    if (debug_)
        plat::NSLogText(text);
}

void ZUVSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(
    const std::string& apiKey, const plat::Dictionary& kitVersionsByKitBundleIdentifier) {
    {
        std::lock_guard lock(mutex_);
        begins_.push_back({apiKey, kitVersionsByKitBundleIdentifier});
        if (!sessionOpen_ && networkClient_ && !networkClient_->isInvalidated()) {
            sessionOpen_ = true;
            openSettingsSessions.fetch_add(1);
        }
        APIKey_ = apiKey;
        kitVersionsByKitBundleIdentifier_ = kitVersionsByKitBundleIdentifier;
    }
    beginSettingsDownload();
}

void ZUVSettingsOnboardingManager::beginSettingsDownload() {
    std::optional<std::string> apiKey;
    {
        std::lock_guard lock(mutex_);
        apiKey = APIKey_;
    }
    auto operation = ZUVDownloadAndSaveSettingsOperation::initWithAPIKey(
        apiKey, weak_from_this(), settingsURL(), settingsDirectoryPath(), settingsPath(),
        model_ ? model_->installID() : std::nullopt, networkClient_);
    if (operation)
        operation->start();
}

void ZUVSettingsOnboardingManager::beginOnboarding(bool create, const std::string& endpointString) {
    std::shared_ptr<ZUVOnboardingOperation> previous;
    std::shared_ptr<ZUVOnboardingOperation> operation;
    {
        std::lock_guard lock(mutex_);
        previous = std::move(onboardingOperation_);
        operation = ZUVOnboardingOperation::initWithDelegate(weak_from_this(), create, APIKey_,
                                                             kitVersionsByKitBundleIdentifier_, model_,
                                                             endpointString, networkClient_);
        onboardingOperation_ = operation;
    }
    if (previous)
        previous->cancel();
    if (operation)
        operation->start();
}

std::shared_ptr<ZUVSettings> ZUVSettingsOnboardingManager::settingsModel() {
    std::lock_guard lock(mutex_);
    if (!settingsModel_)
        settingsModel_ = ZUVSettings::initWithSettingsPath(settingsPath());
    return settingsModel_;
}

std::optional<plat::URL> ZUVSettingsOnboardingManager::settingsURL() {
    const auto endpoint = valueForConfigurationKey(kSettingsEndpointKey);
    if (!endpoint)
        return std::nullopt;
    return ZUVSettings::settingsURLForEndpoint(*endpoint, model_ ? std::optional(model_->instanceIdentifier())
                                                                 : std::nullopt);
}

std::optional<std::string> ZUVSettingsOnboardingManager::settingsPath() const {
    auto directory = settingsDirectoryPath();
    if (!directory)
        return std::nullopt;
    return *directory + "/settings.json";
}

std::optional<std::string> ZUVSettingsOnboardingManager::settingsDirectoryPath() {
    const std::string identifier = plat::Bundle::main()->bundleIdentifier().value_or("");
    // The identifier is a folder name as it is: one that could leave the caches folder names none.
    if (identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find('/') != std::string::npos || identifier.find('\0') != std::string::npos)
        return std::nullopt;
    const auto caches = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Caches);
    if (caches.empty())
        return std::nullopt;
    return caches.front() + "/" + Zuvadu::kSDKBundleIdentifier + ".data/" + identifier;
}

std::optional<std::string> ZUVSettingsOnboardingManager::valueForConfigurationKey(const std::string& key) const {
    if (auto fromEnvironment = plat::ProcessInfo::processInfo().environmentValue(key))
        return fromEnvironment;
    if (const auto info = configuration())
        if (const plat::Value* value = info->find(key); value && value->isString())
            return value->asString();
    const plat::Dictionary defaults = defaultConfiguration();
    if (const plat::Value* value = defaults.find(key); value && value->isString())
        return value->asString();
    return std::nullopt;
}

std::optional<plat::Dictionary> ZUVSettingsOnboardingManager::configuration() const {
    auto value = plat::Bundle::main()->objectForInfoDictionaryKey(kConfigurationInfoKey);
    if (!value || !value->isDictionary())
        return std::nullopt;
    return value->asDictionary();
}

plat::Dictionary ZUVSettingsOnboardingManager::defaultConfiguration() {
    return {{kSettingsEndpointKey, plat::Value(std::string(deployment::kSettingsURL))},
            {kConfigureEndpointKey, plat::Value(std::string(deployment::kApiURL))}};
}

void ZUVSettingsOnboardingManager::finishNetworkingSession() {
    if (networkClient_)
        networkClient_->invalidateAndCancel();
    std::lock_guard lock(mutex_);
    if (sessionOpen_) {
        sessionOpen_ = false;
        openSettingsSessions.fetch_sub(1);
    }
}

bool ZUVSettingsOnboardingManager::hasSessionsInFlight() {
    return openSettingsSessions.load() > 0;
}

void ZUVSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
    debugLog("[Zuvadu] Settings are available for consumption");
    plat::NotificationCenter::defaultCenter().post(kSettingsAvailableNotification);
}

void ZUVSettingsOnboardingManager::operationDidDownloadAndSaveSettingsWithError(
    ZUVDownloadAndSaveSettingsOperation&, const std::optional<plat::Error>& error) {
    if (error) {
        plat::NSLogText("[Zuvadu] failed to download settings " + error->description());
        finishNetworkingSession();
        return;
    }
    debugLog("[Zuvadu] settings downloaded successfully");
    auto model = settingsModel();
    model->clearSettingsDictionary();

    bool alreadyAttempted;
    {
        std::lock_guard lock(mutex_);
        alreadyAttempted = hasAttemptedAppConfigure_;
    }
    if (alreadyAttempted) {
        debugLog("[Zuvadu] App already onboarded in this run of the app");
        postSettingsDownloadCompletedNotification();
        finishNetworkingSession();
        return;
    }
    bool create = false;
    if (model->appNeedsOnboarding()) {
        debugLog("[Zuvadu] Starting onboarding with app create");
        create = true;
    } else {
        postSettingsDownloadCompletedNotification();
        if (!model->appUpdateRequired()) {
            finishNetworkingSession();
            return;
        }
        debugLog("[Zuvadu] Starting onboarding with app update");
    }
    {
        std::lock_guard lock(mutex_);
        hasAttemptedAppConfigure_ = true;
    }
    beginOnboarding(create, valueForConfigurationKey(kConfigureEndpointKey).value_or(""));
}

void ZUVSettingsOnboardingManager::onboardingOperationDidCompleteAppCreationWithError(
    ZUVOnboardingOperation&, const std::optional<plat::Error>& error) {
    if (error) {
        plat::NSLogText("[Zuvadu] unable to complete application configure: " + error->description());
        finishNetworkingSession();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        onboardingOperation_.reset();
    }
    debugLog("[Zuvadu] completed configure");
    beginSettingsDownload();
}

void ZUVSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdateWithError(
    ZUVOnboardingOperation&, const std::optional<plat::Error>& error) {
    finishNetworkingSession();
    if (error) {
        plat::NSLogText("[Zuvadu] unable to complete application update: " + error->description());
        return;
    }
    {
        std::lock_guard lock(mutex_);
        onboardingOperation_.reset();
    }
    debugLog("[Zuvadu] completed application update");
}

bool ZUVSettingsOnboardingManager::hasAttemptedAppConfigure() const {
    std::lock_guard lock(mutex_);
    return hasAttemptedAppConfigure_;
}

std::shared_ptr<ZUVOnboardingOperation> ZUVSettingsOnboardingManager::onboardingOperation() const {
    std::lock_guard lock(mutex_);
    return onboardingOperation_;
}

std::vector<ZUVSettingsOnboardingManager::Begin> ZUVSettingsOnboardingManager::begins() const {
    std::lock_guard lock(mutex_);
    return begins_;
}
