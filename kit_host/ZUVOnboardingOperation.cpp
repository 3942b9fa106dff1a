#include "kit_host/ZUVOnboardingOperation.hpp"

#include "kit_host/ZUVAppIconUtility.hpp"
#include "kit_host/ZUVURLBuilder.hpp"
#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/Console.hpp"

#include <algorithm>

namespace {

// "%d.%d.%d" of a version triple; an executable without a version command gives "0.0.0".
std::string onboardingVersionText(const VZRMachOVersion& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.bugfix);
}

} // namespace

std::shared_ptr<ZUVOnboardingOperation> ZUVOnboardingOperation::initWithDelegate(
    std::weak_ptr<ZUVOnboardingOperationDelegate> delegate, bool shouldCreate, std::optional<std::string> APIKey,
    plat::Dictionary kitVersionsByKitBundleIdentifier, std::shared_ptr<ZUVApplicationIdentiferModel> appIdentifierModel,
    std::string endpointString, std::weak_ptr<ZUVNetworkClient> networkClient) {
    if (!APIKey)
        return nullptr;
    auto operation = std::make_shared<ZUVOnboardingOperation>(std::move(*APIKey));
    operation->delegate_ = std::move(delegate);
    operation->shouldCreate_ = shouldCreate;
    operation->kitVersionsByKitBundleIdentifier_ = std::move(kitVersionsByKitBundleIdentifier);
    operation->appIdentifierModel_ = std::move(appIdentifierModel);
    operation->appEndpoint_ = std::move(endpointString);
    operation->networkClient_ = std::move(networkClient);
    return operation;
}

ZUVOnboardingOperation::ZUVOnboardingOperation(std::string APIKey)
    : ZUVNetworkOperation(std::move(APIKey), "ZUVOnboardingOperation") {}

void ZUVOnboardingOperation::main() {
    beginAppConfigure();
}

std::optional<plat::URL> ZUVOnboardingOperation::appCreateURL() const {
    ZUVURLBuilder builder(appEndpoint_);
    builder.appendComponent("/spi/v1/platforms/");
    builder.escapeAndAppendComponent(appPlatform());
    builder.appendComponent("/apps");
    return builder.URL();
}

std::optional<plat::URL> ZUVOnboardingOperation::appUpdateURL() const {
    ZUVURLBuilder builder(appEndpoint_);
    builder.appendComponent("/spi/v1/platforms/");
    builder.escapeAndAppendComponent(appPlatform());
    builder.appendComponent("/apps/");
    builder.escapeAndAppendComponent(appBundleIdentifier());
    return builder.URL();
}

plat::URLRequest ZUVOnboardingOperation::onboardingRequestForAppCreate(bool create) const {
    const auto url = create ? appCreateURL() : appUpdateURL();
    plat::URLRequest request = mutableRequestWithDefaultHTTPHeadersForURL(*url, kDefaultTimeout);
    request.setHTTPMethod(create ? "POST" : "PUT");
    return request;
}

void ZUVOnboardingOperation::encodeForm(ZUVMultipartMimeStreamEncoder& encoder) const {
    auto text = [](const std::optional<std::string>& value) {
        return value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt;
    };
    encoder.addValue(plat::Value(appBundleIdentifier()), "app[identifier]");
    encoder.addValue(plat::Value(appIdentifierModel_->instanceIdentifier()), "app[instance_identifier]");
    encoder.addValue(text(appName()), "app[name]");
    encoder.addValue(text(appBuildVersion()), "app[build_version]");
    encoder.addValue(text(appDisplayVersion()), "app[display_version]");
    encoder.addValue(plat::Value(appInstallSource()), "app[source]");
    encoder.addValue(plat::Value(onboardingVersionText(appIdentifierModel_->minimumSDK())), "app[minimum_sdk_version]");
    encoder.addValue(plat::Value(onboardingVersionText(appIdentifierModel_->builtSDK())), "app[built_sdk_version]");
    std::vector<std::string> kits = kitVersionsByKitBundleIdentifier_.keys();
    std::sort(kits.begin(), kits.end());
    for (const auto& kit : kits) {
        const plat::Value* version = kitVersionsByKitBundleIdentifier_.find(kit);
        encoder.addValue(version ? std::optional<plat::Value>(*version) : std::nullopt,
                         "app[build][libraries][" + kit + "]");
    }
    for (const auto& [architecture, uuid] : appIdentifierModel_->architectureUUIDMap()) {
        encoder.addValue(plat::Value(architecture), "app[slices][][arch]");
        encoder.addValue(plat::Value(uuid), "app[slices][][uuid]");
    }
    auto icon = appIdentifierModel_->icon();
    if (icon && !icon->data().empty() && !icon->dataHash().empty()) {
        encoder.addValue(plat::Value(icon->dataHash()), "app[icon][hash]");
        encoder.addValue(plat::Value(icon->prerendered() ? "true" : "false"), "app[icon][prerendered]");
        encoder.addValue(plat::Value(static_cast<uint64_t>(icon->size().width)), "app[icon][width]");
        encoder.addValue(plat::Value(static_cast<uint64_t>(icon->size().height)), "app[icon][height]");
        encoder.addFileData(icon->data(), "icon.png", "image/png", "app[icon][data]");
    }
}

void ZUVOnboardingOperation::beginAppConfigure() {
    auto stream = plat::OutputStream::toMemory();
    auto encoder = ZUVMultipartMimeStreamEncoder::encoderWithStream(stream, ZUVMultipartMimeStreamEncoder::generateBoundary());
    const auto url = shouldCreate_ ? appCreateURL() : appUpdateURL();
    if (!encoder || !appIdentifierModel_ || !url) {
        plat::NSLogText("[Zuvadu] configure failed during onboarding");
        finishWithError(errorForCode(0, {{"NSLocalizedDescription", plat::Value("Multipart mime encoder was nil")}}));
        return;
    }
    encoder->encode([&] { encodeForm(*encoder); });
    plat::URLRequest request = onboardingRequestForAppCreate(shouldCreate_);
    request.setValue(encoder->contentTypeHTTPHeaderValue(), "Content-Type");
    request.setValue(encoder->contentLengthHTTPHeaderValue(), "Content-Length");
    request.setHTTPBody(stream->dataWrittenToMemory());

    auto client = networkClient_.lock();
    if (!client) {
        complete(plat::Error("ZUVNetworkError", -3));
        return;
    }
    auto self = std::static_pointer_cast<ZUVOnboardingOperation>(shared_from_this());
    client->startDataTaskWithRequest(request, shouldCreate_ ? kCreateRetryLimit : kUpdateRetryLimit,
                                     [self](std::optional<plat::Data>, std::shared_ptr<const plat::HTTPURLResponse>,
                                            std::optional<plat::Error> error) { self->complete(std::move(error)); });
}

void ZUVOnboardingOperation::complete(std::optional<plat::Error> error) {
    {
        std::lock_guard lock(errorMutex_);
        error_ = error;
    }
    if (auto delegate = delegate_.lock()) {
        if (shouldCreate_)
            delegate->onboardingOperationDidCompleteAppCreationWithError(*this, error);
        else
            delegate->onboardingOperationDidCompleteAppUpdateWithError(*this, error);
    }
    finishWithError(error);
}

std::optional<plat::Error> ZUVOnboardingOperation::error() const {
    std::lock_guard lock(errorMutex_);
    return error_;
}

std::string ZUVOnboardingOperation::appBundleIdentifier() {
    return ZUVAppEscapedBundleIdentifier();
}

std::optional<std::string> ZUVOnboardingOperation::appName() {
    return ZUVAppDisplayName();
}

std::optional<std::string> ZUVOnboardingOperation::appBuildVersion() {
    return ZUVAppBundleVersion();
}

std::optional<std::string> ZUVOnboardingOperation::appDisplayVersion() {
    return ZUVAppShortVersion();
}

int ZUVOnboardingOperation::appInstallSource() {
    return ZUVAppInstallSource();
}

plat::Error ZUVOnboardingOperation::errorForCode(int64_t code, plat::Dictionary userInfo) {
    return plat::Error(kErrorDomain, code, std::move(userInfo));
}
