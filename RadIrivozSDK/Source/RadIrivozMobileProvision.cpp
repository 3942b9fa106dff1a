#include "RadIrivozSDK/Source/RadIrivozMobileProvision.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PropertyList.hpp"

#include <mutex>

namespace {

struct ProvisionCache {
    std::mutex mutex;
    std::optional<plat::Dictionary> profile;
};

ProvisionCache& provisionCache() {
    static plat::NeverDestroyed<ProvisionCache> cache;
    return *cache;
}

} // namespace

void RadIrivozMobileProvision::logInvalidMobileProvisionError(const std::string& message) {
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, message);
}

void RadIrivozMobileProvision::resetCache() {
    std::lock_guard lock(provisionCache().mutex);
    provisionCache().profile.reset();
}

std::optional<plat::Dictionary> RadIrivozMobileProvision::getMobileProvision() {
    {
        std::lock_guard lock(provisionCache().mutex);
        if (provisionCache().profile) {
            return provisionCache().profile;
        }
    }
    auto path = plat::Bundle::main()->pathForResource("embedded", "mobileprovision");
    if (!path) {
        return plat::Dictionary{};
    }
    auto bytes = plat::FileManager::defaultManager().contentsAtPath(*path);
    if (!bytes.ok()) {
        return std::nullopt;
    }
    // Latin-1 maps every byte to one character, so the byte offsets are the text's.
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    const size_t begin = text.find("<plist");
    if (begin == std::string_view::npos) {
        logInvalidMobileProvisionError("unable to find beginning of plist");
        return std::nullopt;
    }
    const std::string_view endTag = "</plist>";
    const size_t end = text.find(endTag, begin);
    if (end == std::string_view::npos) {
        logInvalidMobileProvisionError("unable to find end of plist");
        return std::nullopt;
    }
    auto parsed = plat::PropertyListSerialization::propertyList(text.substr(begin, end + endTag.size() - begin));
    if (!parsed.ok()) {
        logInvalidMobileProvisionError("error parsing extracted plist - " + parsed.error().description());
        return std::nullopt;
    }
    const plat::Dictionary* profile = parsed->value.ifDictionary();
    if (!profile) {
        logInvalidMobileProvisionError("error parsing extracted plist - not a dictionary");
        return std::nullopt;
    }
    std::lock_guard lock(provisionCache().mutex);
    provisionCache().profile = *profile;
    return provisionCache().profile;
}

int64_t RadIrivozMobileProvision::releaseMode() {
    auto profile = getMobileProvision();
    if (!profile) {
        RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG, "mobileProvision not found");
        return 0;
    }
    if (RadIrivoz::isLogged(ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG)) {
        RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG,
                                 "mobileProvision: " + plat::Value(*profile).description());
    }
    if (profile->empty()) {
        return 4;
    }
    if (const plat::Value* all = profile->find("ProvisionsAllDevices"); all && all->boolValue()) {
        return 6;
    }
    const plat::Value* entitlements = profile->find("Entitlements");
    const plat::Value* environment = entitlements ? entitlements->find("aps-environment") : nullptr;
    if (environment && environment->isString() && environment->asString() == "development") {
        return 1;
    }
    return 4;
}
