#pragma once
// Registers the app with the kit host's back end, or updates its registration: one multipart form with the
// app's identity, versions, kits, executable slices and icon.

#include "kit_host/ZUVApplicationIdentiferModel.hpp"
#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"
#include "kit_host/ZUVNetworkClient.hpp"
#include "kit_host/ZUVNetworkOperation.hpp"

#include <memory>
#include <optional>
#include <string>

class ZUVOnboardingOperation;

class ZUVOnboardingOperationDelegate {
public:
    virtual ~ZUVOnboardingOperationDelegate() = default;
    virtual void onboardingOperationDidCompleteAppCreationWithError(ZUVOnboardingOperation& operation,
                                                                   const std::optional<plat::Error>& error) = 0;
    virtual void onboardingOperationDidCompleteAppUpdateWithError(ZUVOnboardingOperation& operation,
                                                                 const std::optional<plat::Error>& error) = 0;
};

class ZUVOnboardingOperation : public ZUVNetworkOperation {
public:
    static constexpr const char* kErrorDomain = "ZUVSDKOnboardingErrorDomain";
    static constexpr uint64_t kCreateRetryLimit = 10;
    static constexpr uint64_t kUpdateRetryLimit = 1;

    // None without a key.
    static std::shared_ptr<ZUVOnboardingOperation>
    initWithDelegate(std::weak_ptr<ZUVOnboardingOperationDelegate> delegate, bool shouldCreate,
                     std::optional<std::string> APIKey, plat::Dictionary kitVersionsByKitBundleIdentifier,
                     std::shared_ptr<ZUVApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
                     std::weak_ptr<ZUVNetworkClient> networkClient);
    explicit ZUVOnboardingOperation(std::string APIKey);

    void main() override;
    void beginAppConfigure();

    bool shouldCreate() const { return shouldCreate_; }
    std::optional<plat::URL> appCreateURL() const;
    std::optional<plat::URL> appUpdateURL() const;
    // The request without its body: URL, method and the default headers.
    plat::URLRequest onboardingRequestForAppCreate(bool create) const;
    // Adds the form's parts in their order.
    void encodeForm(ZUVMultipartMimeStreamEncoder& encoder) const;

    static std::string appBundleIdentifier();
    static std::string appPlatform() { return "ios"; }
    static std::optional<std::string> appName();
    static std::optional<std::string> appBuildVersion();
    static std::optional<std::string> appDisplayVersion();
    static int appInstallSource();
    static plat::Error errorForCode(int64_t code, plat::Dictionary userInfo);

    std::optional<plat::Error> error() const;

private:
    void complete(std::optional<plat::Error> error);

    bool shouldCreate_ = false;
    mutable std::mutex errorMutex_;
    std::optional<plat::Error> error_;
    std::shared_ptr<ZUVApplicationIdentiferModel> appIdentifierModel_;
    std::string appEndpoint_;
    std::weak_ptr<ZUVOnboardingOperationDelegate> delegate_;
    std::weak_ptr<ZUVNetworkClient> networkClient_;
    plat::Dictionary kitVersionsByKitBundleIdentifier_;
};
