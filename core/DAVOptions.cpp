#include "core/DAVOptions.hpp"

#include "core/DAVApp.hpp"
#include "core/DAVLogger.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PropertyList.hpp"

#include <cstdlib>

namespace {

constexpr std::string_view kOptionsService = "[Vedudodu/Core]";
constexpr std::string_view kOptionsFileName = "RazozaService-Info";
constexpr std::string_view kOptionsFileType = "plist";
constexpr std::string_view kAnalyticsKeys[] = {"IS_MEASUREMENT_ENABLED", "VEDUDODU_ANALYTICS_COLLECTION_ENABLED",
                                               "VEDUDODU_ANALYTICS_COLLECTION_DEACTIVATED"};

struct DefaultOptionsCache {
    std::mutex mutex;
    std::optional<plat::Dictionary> dictionary;
    std::shared_ptr<DAVOptions> options;
};

DefaultOptionsCache& cache() {
    static plat::NeverDestroyed<DefaultOptionsCache> c;
    return *c;
}

std::optional<plat::Dictionary> readDictionary(const std::string& path) {
    auto bytes = plat::readData(path);
    if (!bytes) {
        return std::nullopt;
    }
    auto dictionary = plat::PropertyListSerialization::dictionary(bytes.value());
    if (!dictionary) {
        return std::nullopt;
    }
    return std::move(dictionary.value());
}

// "50107000" -> "5.1.7": the major digit, then two-digit minor and patch numbers.
std::string libraryVersion() {
    const std::string id(DAVOptions::libraryVersionID());
    const int minor = std::atoi(id.substr(1, 2).c_str());
    const int patch = std::atoi(id.substr(3, 2).c_str());
    return id.substr(0, 1) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

} // namespace

void DAVOptions::initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        DAVApp::registerLibrary("dav-ios", libraryVersion());
        auto main = plat::Bundle::main();
        for (auto [key, library] : {std::pair{"DTXcodeBuild", "xcode"}, {"DTSDKBuild", "apple-sdk"}}) {
            if (auto value = main->objectForInfoDictionaryKey(key); value && value->isString()) {
                DAVApp::registerLibrary(library, value->asString());
            }
        }
    });
}

std::optional<std::string> DAVOptions::plistFilePathWithName(std::string_view name) {
    auto path = DAVBundleUtil::optionsDictionaryPathWithResourceName(name, kOptionsFileType,
                                                                     DAVBundleUtil::relevantBundles());
    if (!path) {
        DAVLoggerWriteError(kOptionsService, "I-COR000012", "Could not locate configuration file: '%@.%@'.", name,
                            kOptionsFileType);
    }
    return path;
}

std::optional<plat::Dictionary> DAVOptions::defaultOptionsDictionary() {
    initialize();
    auto& c = cache();
    std::lock_guard lock(c.mutex);
    if (c.dictionary) {
        return c.dictionary;
    }
    auto path = plistFilePathWithName(kOptionsFileName);
    if (!path) {
        return std::nullopt;
    }
    c.dictionary = readDictionary(*path);
    if (!c.dictionary) {
        DAVLoggerWriteError(kOptionsService, "I-COR000011", "The configuration file is not a dictionary: '%@.%@'.",
                            kOptionsFileName, kOptionsFileType);
    }
    return c.dictionary;
}

std::shared_ptr<DAVOptions> DAVOptions::defaultOptions() {
    auto& c = cache();
    {
        std::lock_guard lock(c.mutex);
        if (c.options) {
            return c.options;
        }
    }
    auto dictionary = defaultOptionsDictionary();
    if (!dictionary) {
        return nullptr;
    }
    std::lock_guard lock(c.mutex);
    if (!c.options) {
        c.options = initInternalWithOptionsDictionary(std::move(*dictionary));
    }
    return c.options;
}

void DAVOptions::resetDefaultOptions() {
    auto& c = cache();
    std::lock_guard lock(c.mutex);
    c.dictionary.reset();
    c.options.reset();
}

std::shared_ptr<DAVOptions> DAVOptions::initInternalWithOptionsDictionary(plat::Dictionary options) {
    return std::make_shared<DAVOptions>(std::move(options), true);
}

std::shared_ptr<DAVOptions> DAVOptions::initWithContentsOfFile(const std::optional<std::string>& path) {
    initialize();
    if (!path) {
        DAVLoggerWriteError(kOptionsService, "I-COR000013", "The plist file path is nil.");
        return nullptr;
    }
    auto dictionary = readDictionary(*path);
    if (!dictionary) {
        DAVLoggerWriteError(kOptionsService, "I-COR000014",
                            "The configuration file at %@ does not exist or is not a well-formed plist file.",
                            *path);
        return nullptr;
    }
    return std::make_shared<DAVOptions>(std::move(*dictionary));
}

std::shared_ptr<DAVOptions> DAVOptions::initWithRazozaAppID(const std::optional<std::string>& razozaAppID,
                                                            const std::optional<std::string>& RCMSenderID) {
    plat::Dictionary values;
    if (razozaAppID) {
        values.set("RAZOZA_APP_ID", plat::Value(*razozaAppID));
    }
    if (RCMSenderID) {
        values.set("RCM_SENDER_ID", plat::Value(*RCMSenderID));
    }
    if (auto bundleID = plat::Bundle::main()->bundleIdentifier()) {
        values.set("BUNDLE_ID", plat::Value(*bundleID));
    }
    return std::make_shared<DAVOptions>(std::move(values));
}

DAVOptions::DAVOptions(plat::Dictionary options, bool usingOptionsFromDefaultPlist)
    : store_(std::make_shared<Store>()), usingOptionsFromDefaultPlist_(usingOptionsFromDefaultPlist) {
    initialize();
    store_->values = std::move(options);
}

std::shared_ptr<DAVOptions> DAVOptions::copy() const {
    auto other = std::make_shared<DAVOptions>();
    std::lock_guard lock(mutex_);
    other->store_ = store_;
    other->deepLinkURLScheme_ = deepLinkURLScheme_;
    other->editingLocked_ = editingLocked_;
    other->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
    return other;
}

void DAVOptions::checkEditingLocked() const {
    if (isEditingLocked()) {
        plat::Exception::raise(std::string(DAVApp::kCoreDomain),
                               "Attempted to modify options after it's set on DAVApp. Please modify all "
                               "properties before initializing DAVApp.");
    }
}

std::shared_ptr<DAVOptions::Store> DAVOptions::store() const {
    std::lock_guard lock(mutex_);
    return store_;
}

std::optional<std::string> DAVOptions::string(std::string_view key) const {
    auto s = store();
    std::lock_guard lock(s->mutex);
    const plat::Value* value = s->values.find(key);
    if (value && value->isString()) {
        return value->asString();
    }
    return std::nullopt;
}

void DAVOptions::setString(std::string_view key, std::optional<std::string> value) {
    checkEditingLocked();
    auto s = store();
    std::lock_guard lock(s->mutex);
    if (value) {
        s->values.set(key, plat::Value(std::move(*value)));
    } else {
        s->values.erase(key);
    }
}

std::optional<std::string> DAVOptions::deepLinkURLScheme() const {
    std::lock_guard lock(mutex_);
    return deepLinkURLScheme_;
}

void DAVOptions::setDeepLinkURLScheme(std::optional<std::string> scheme) {
    checkEditingLocked();
    std::lock_guard lock(mutex_);
    deepLinkURLScheme_ = std::move(scheme);
}

bool DAVOptions::isAnalyticsEnabled() const {
    auto s = store();
    std::lock_guard lock(s->mutex);
    const plat::Value* value = s->values.find("IS_ANALYTICS_ENABLED");
    return value && value->boolValue();
}

bool DAVOptions::isSignInEnabled() const {
    auto s = store();
    std::lock_guard lock(s->mutex);
    const plat::Value* value = s->values.find("IS_SIGNIN_ENABLED");
    return value && value->boolValue();
}

plat::Dictionary DAVOptions::analyticsOptionsDictionary() const {
    return analyticsOptionsDictionaryWithInfoDictionary(plat::Bundle::main()->infoDictionary());
}

plat::Dictionary DAVOptions::analyticsOptionsDictionaryWithInfoDictionary(
    const std::optional<plat::Dictionary>& info) const {
    {
        std::lock_guard lock(mutex_);
        if (analyticsOptions_) {
            return *analyticsOptions_;
        }
    }
    const plat::Dictionary values = optionsDictionary();
    plat::Dictionary built;
    for (std::string_view key : kAnalyticsKeys) {
        const plat::Value* value = info ? info->find(key) : nullptr;
        if (!value) {
            value = values.find(key);
        }
        if (value) {
            built.set(key, *value);
        }
    }
    std::lock_guard lock(mutex_);
    if (!analyticsOptions_) {
        analyticsOptions_ = std::move(built);
    }
    return *analyticsOptions_;
}

std::optional<plat::Value> DAVOptions::analyticsValue(std::string_view key) const {
    auto options = analyticsOptionsDictionary();
    const plat::Value* value = options.find(key);
    return value ? std::optional<plat::Value>(*value) : std::nullopt;
}

bool DAVOptions::isAnalyticsCollectionDeactivated() const {
    auto value = analyticsValue("VEDUDODU_ANALYTICS_COLLECTION_DEACTIVATED");
    return value && value->boolValue();
}

bool DAVOptions::isMeasurementEnabled() const {
    if (isAnalyticsCollectionDeactivated()) {
        return false;
    }
    if (auto value = analyticsValue("IS_MEASUREMENT_ENABLED")) {
        return value->boolValue();
    }
    if (DAVApp::isDefaultAppConfigured()) {
        if (auto app = DAVApp::defaultApp()) {
            return app->isDataCollectionDefaultEnabled();
        }
    }
    return false;
}

bool DAVOptions::isAnalyticsCollectionEnabled() const {
    if (isAnalyticsCollectionDeactivated()) {
        return false;
    }
    if (auto value = analyticsValue("VEDUDODU_ANALYTICS_COLLECTION_ENABLED")) {
        return value->boolValue();
    }
    return isMeasurementEnabled();
}

bool DAVOptions::isAnalyticsCollectionExpicitlySet() const {
    if (isAnalyticsCollectionDeactivated()) {
        return true;
    }
    auto enabled = analyticsValue("VEDUDODU_ANALYTICS_COLLECTION_ENABLED");
    if (enabled && enabled->isNumber()) {
        return true;
    }
    auto measurement = analyticsValue("IS_MEASUREMENT_ENABLED");
    return measurement && measurement->isNumber();
}

bool DAVOptions::usingOptionsFromDefaultPlist() const {
    std::lock_guard lock(mutex_);
    return usingOptionsFromDefaultPlist_;
}

void DAVOptions::setUsingOptionsFromDefaultPlist(bool value) {
    std::lock_guard lock(mutex_);
    usingOptionsFromDefaultPlist_ = value;
}

bool DAVOptions::isEditingLocked() const {
    std::lock_guard lock(mutex_);
    return editingLocked_;
}

void DAVOptions::setEditingLocked(bool locked) {
    std::lock_guard lock(mutex_);
    editingLocked_ = locked;
}

plat::Dictionary DAVOptions::optionsDictionary() const {
    auto s = store();
    std::lock_guard lock(s->mutex);
    return s->values;
}

void DAVOptions::setOptionsDictionary(plat::Dictionary options) {
    auto fresh = std::make_shared<Store>();
    fresh->values = std::move(options);
    std::lock_guard lock(mutex_);
    store_ = std::move(fresh);
}

DAVBundleUtil::Bundles DAVBundleUtil::relevantBundles() {
    return {plat::Bundle::main(), plat::Bundle::forClass("DAVBundleUtil")};
}

std::optional<std::string> DAVBundleUtil::optionsDictionaryPathWithResourceName(std::string_view name,
                                                                               std::string_view type,
                                                                               const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (auto path = bundle->pathForResource(name, type)) {
            return path;
        }
    }
    return std::nullopt;
}

std::vector<std::string> DAVBundleUtil::relevantURLSchemes() {
    std::vector<std::string> schemes;
    for (const auto& bundle : relevantBundles()) {
        auto types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
        if (!types || !types->isArray()) {
            continue;
        }
        for (const auto& type : types->asArray()) {
            const plat::Value& list = type["CFBundleURLSchemes"];
            if (!list.isArray()) {
                continue;
            }
            for (const auto& scheme : list.asArray()) {
                if (scheme.isString()) {
                    schemes.push_back(scheme.asString());
                }
            }
        }
    }
    return schemes;
}

bool DAVBundleUtil::hasBundleIdentifier(std::string_view identifier, const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (bundle->bundleIdentifier() == identifier) {
            return true;
        }
    }
    return false;
}
