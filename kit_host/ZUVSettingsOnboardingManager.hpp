#pragma once
// Downloads the kits' settings and registers the app with the kit host's back end. For now it stands at
// its interface: it keeps what the start-up hands it and has no settings yet.

#include "kit_host/ZUVApplicationIdentiferModel.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ZUVSettingsOnboardingManager {
public:
    explicit ZUVSettingsOnboardingManager(std::shared_ptr<ZUVApplicationIdentiferModel> model);
    static std::shared_ptr<ZUVSettingsOnboardingManager> initWithApplicationIdentifierModel(
        std::shared_ptr<ZUVApplicationIdentiferModel> model);

    void beginSettingsAndOnboardingOperationsWithAPIKey(const std::string& apiKey,
                                                        const plat::Dictionary& kitVersionsByKitBundleIdentifier);
    // The downloaded settings; none until a download has saved them.
    std::optional<plat::Dictionary> settings() const { return std::nullopt; }

    const std::shared_ptr<ZUVApplicationIdentiferModel>& applicationIdentifierModel() const { return model_; }
    struct Begin {
        std::string apiKey;
        plat::Dictionary kitVersions;
    };
    // Every begin call so far, in order.
    std::vector<Begin> begins() const;

private:
    std::shared_ptr<ZUVApplicationIdentiferModel> model_;
    mutable std::mutex mutex_;
    std::vector<Begin> begins_;
};
