#include "ZazududIda/ZDAMetadata.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "kit_host/Zuvadu.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/String.hpp"

ZDAMetadata::ZDAMetadata(Zuvadu& vizeze, const std::optional<std::string>& betaToken) {
    fields_.APIKey = vizeze.APIKey();
    fields_.betaToken = unwrapBetaToken(betaToken);
    fields_.buildVersion = ZUVAppBundleVersion();
    fields_.bundleIdentifier = ZUVAppEscapedBundleIdentifier();
    fields_.displayVersion = ZUVAppShortVersion();
    fields_.executionIdentifier = vizeze.executionIdentifier();
    fields_.hostModel = ZUVHardwareMachine();
    fields_.installationId = vizeze.installID();
    fields_.instanceIdentifier = vizeze.instanceIdentifier();
    // The simulated device offers no way out of its sandbox.
    fields_.isJailbroken = false;
    fields_.locale = plat::Locale::current().identifier();
    fields_.numberOfCores = plat::ProcessInfo::processInfo().processorCount();
    fields_.OSBuildVersion = ZUVOSBuildVersion();
    fields_.OSDisplayVersion = ZUVOSDisplayVersion();
}

std::optional<std::string> ZDAMetadata::unwrapBetaToken(const std::optional<std::string>& token) {
    if (!token) {
        return std::nullopt;
    }
    const auto parts = plat::String::componentsSeparatedBy(*token, ":");
    if (parts.size() == 2 && parts[0] == "2") {
        return parts[1];
    }
    return std::nullopt;
}

void ZDAMetadata::setValueInDictionary(plat::Dictionary& dictionary, const char* key,
                                       const std::optional<plat::Value>& object) {
    if (object) {
        dictionary.set(key, *object);
    }
}

namespace {
std::optional<plat::Value> optionalText(const std::optional<std::string>& text) {
    return text ? std::optional<plat::Value>(plat::Value(*text)) : std::nullopt;
}
} // namespace

std::optional<plat::Dictionary> ZDAMetadata::dictionaryRepresentationWithStartTime(uint64_t startTime) const {
    plat::Dictionary d;
    setValueInDictionary(d, "generator", plat::Value(kGenerator));
    setValueInDictionary(d, "api_key", optionalText(fields_.APIKey));
    setValueInDictionary(d, "session_id", optionalText(fields_.executionIdentifier));
    setValueInDictionary(d, "started_at", plat::Value(startTime));
    setValueInDictionary(d, "beta_tester_token", optionalText(fields_.betaToken));
    setValueInDictionary(d, "install_id", optionalText(fields_.installationId));
    setValueInDictionary(d, "model", optionalText(fields_.hostModel));
    setValueInDictionary(d, "machine", optionalText(fields_.hostModel));
    setValueInDictionary(d, "locale", optionalText(fields_.locale));
    setValueInDictionary(d, "os_build", optionalText(fields_.OSBuildVersion));
    setValueInDictionary(d, "os_version", optionalText(fields_.OSDisplayVersion));
    setValueInDictionary(d, "platform", plat::Value(platform()));
    setValueInDictionary(d, "platform_code", plat::Value(uint64_t(platformCode())));
    setValueInDictionary(d, "cores", plat::Value(uint64_t(fields_.numberOfCores)));
    setValueInDictionary(d, "jailbroken", plat::Value(fields_.isJailbroken));
    setValueInDictionary(d, "bundle_id", optionalText(fields_.bundleIdentifier));
    setValueInDictionary(d, "bundle_version", optionalText(fields_.buildVersion));
    setValueInDictionary(d, "bundle_short_version", optionalText(fields_.displayVersion));
    setValueInDictionary(d, "instance_id", optionalText(fields_.instanceIdentifier));
    return d;
}

std::optional<plat::Dictionary> ZDACrashMetadata::readSerializedDictionaryFromURL(const plat::URL& url) {
    auto bytes = plat::readData(url.path());
    if (!bytes) {
        return std::nullopt;
    }
    auto object = plat::JSONSerialization::jsonObject(*bytes);
    if (!object || !object->isDictionary()) {
        return std::nullopt;
    }
    return object->asDictionary();
}

bool ZDACrashMetadata::writeSerializedDictionary(const plat::Dictionary& dictionary, const plat::URL& url) {
    auto bytes = plat::JSONSerialization::data(plat::Value(dictionary));
    if (!bytes) {
        return false;
    }
    return plat::writeData(url.path(), *bytes, plat::WriteOptions().setAtomic()).ok();
}

ZDARotateCrashMetadataOperation::ZDARotateCrashMetadataOperation(plat::URL crashMetadataURL,
                                                                 std::shared_ptr<const ZDAMetadata> currentMetadata)
    : url_(std::move(crashMetadataURL)), current_(std::move(currentMetadata)) {
    const auto now = static_cast<uint64_t>(plat::Date::now().timeIntervalSince1970());
    if (current_) {
        currentDictionary_ = current_->dictionaryRepresentationWithStartTime(now).value_or(plat::Dictionary());
    }
}

void ZDARotateCrashMetadataOperation::main() {
    auto& fm = plat::FileManager::defaultManager();
    const std::string path = url_.path();
    if (fm.fileExists(path)) {
        crashMetadata_ = std::make_shared<ZDACrashMetadata>(ZDACrashMetadata::readSerializedDictionaryFromURL(url_));
        (void)fm.removeItem(path);
    } else {
        crashMetadata_ = std::make_shared<ZDACrashMetadata>(plat::Dictionary());
    }
    (void)ZDACrashMetadata::writeSerializedDictionary(currentDictionary_, url_);
}
