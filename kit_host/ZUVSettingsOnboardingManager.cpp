#include "kit_host/ZUVSettingsOnboardingManager.hpp"

ZUVSettingsOnboardingManager::ZUVSettingsOnboardingManager(std::shared_ptr<ZUVApplicationIdentiferModel> model)
    : model_(std::move(model)) {}

std::shared_ptr<ZUVSettingsOnboardingManager> ZUVSettingsOnboardingManager::initWithApplicationIdentifierModel(
    std::shared_ptr<ZUVApplicationIdentiferModel> model) {
    return std::make_shared<ZUVSettingsOnboardingManager>(std::move(model));
}

void ZUVSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(
    const std::string& apiKey, const plat::Dictionary& kitVersionsByKitBundleIdentifier) {
    std::lock_guard lock(mutex_);
    begins_.push_back({apiKey, kitVersionsByKitBundleIdentifier});
}

std::vector<ZUVSettingsOnboardingManager::Begin> ZUVSettingsOnboardingManager::begins() const {
    std::lock_guard lock(mutex_);
    return begins_;
}
