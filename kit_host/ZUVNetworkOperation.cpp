#include "kit_host/ZUVNetworkOperation.hpp"

#include "kit_host/Zuvadu.hpp"

#include "deployment/Deployment.hpp"
#include "platform/foundation/Locale.hpp"

std::shared_ptr<ZUVNetworkOperation> ZUVNetworkOperation::initWithAPIKey(std::optional<std::string> APIKey) {
    if (!APIKey)
        return nullptr;
    return std::make_shared<ZUVNetworkOperation>(std::move(*APIKey));
}

plat::URLRequest ZUVNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const plat::URL& url) const {
    return mutableRequestWithDefaultHTTPHeadersForURL(url, kDefaultTimeout);
}

plat::URLRequest ZUVNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const plat::URL& url, double timeout) const {
    plat::URLRequest request(url, plat::URLRequestCachePolicy::reloadIgnoringLocalCacheData, timeout);
    const std::string locale = localeIdentifier();
    request.setValue(userAgentString(), "User-Agent");
    request.setValue("utf-8", "Accept-Charset");
    request.setValue(locale, "Accept-Language");
    request.setValue(locale, "Content-Language");
    request.setValue(deployment::kKitDeveloperToken, "X-Vuzidorazav-Developer-Token");
    request.setValue(Zuvadu::kSDKBundleIdentifier, "X-Vuzidorazav-API-Client-Id");
    request.setValue(Zuvadu::kSDKDisplayVersion, "X-Vuzidorazav-API-Client-Display-Version");
    request.setValue(Zuvadu::kSDKBuildVersion, "X-Vuzidorazav-API-Client-Build-Version");
    request.setValue(APIKey_, "X-Vuzidorazav-API-Key");
    return request;
}

std::string ZUVNetworkOperation::userAgentString() {
    return std::string(Zuvadu::kSDKBundleIdentifier) + "/" + Zuvadu::kSDKDisplayVersion + " (" +
           Zuvadu::kSDKBuildVersion + ")";
}

std::string ZUVNetworkOperation::localeIdentifier() {
    return plat::Locale::current().identifier();
}
