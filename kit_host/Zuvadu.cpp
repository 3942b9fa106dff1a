#include "kit_host/Zuvadu.hpp"

#include "kit_host/AdNetKit.hpp"
#include "kit_host/VZRDAVApp.hpp"
#include "kit_host/VZRUserDefaults.hpp"
#include "kit_host/ZUVUtilities.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <cctype>

namespace rt = plat::rt;

namespace {

constexpr const char* kReadyToConfigureSDKNotification = "DAVAppReadyToConfigureSDKNotification";
constexpr const char* kRazozaAppIDKey = "DAVRazozaAppIDKey";
constexpr const char* kClassName = "Zuvadu"; // the class name in the messages of the start-up

bool contains(const std::vector<rt::Class*>& kits, const rt::Class* kit) {
    return std::find(kits.begin(), kits.end(), kit) != kits.end();
}

bool isKit(rt::Class* kit) {
    return rt::conformsTo(kit, "ZUVKit");
}

void debugLog(const std::string& text) {
    if (Zuvadu::sharedSDK().debug())
        plat::NSLogText(text);
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

Zuvadu& Zuvadu::sharedSDK() {
    // Never destroyed: kits read it until the process ends.
    static plat::NeverDestroyed<Zuvadu> instance;
    return *instance;
}

Zuvadu::Zuvadu() {
    const auto arguments = plat::ProcessInfo::processInfo().arguments();
    debug_ = std::find(arguments.begin(), arguments.end(), kDebugLaunchArgument) != arguments.end();

    auto stored = VZRUserDefaults::standardUserDefaults().objectForKeyByMigratingFromNSUserDefaults(
        kInstallUUIDDefaultsKey);
    if (stored && stored->isString() && !stored->ifString()->empty())
        installID_ = *stored->ifString();
    regenerateInstallIDIfNeeded();
    if (installID_.empty()) {
        isFirstInstall_ = true;
        generateInstallationUUID();
    }

    std::string execution = ZUVCreateUUIDString();
    execution.erase(std::remove(execution.begin(), execution.end(), '-'), execution.end());
    std::transform(execution.begin(), execution.end(), execution.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    executionIdentifier_ = execution;

    model_ = ZUVApplicationIdentiferModel::initWithInstallID(installID_);
    manager_ = ZUVSettingsOnboardingManager::initWithApplicationIdentifierModel(model_);
}

void Zuvadu::regenerateInstallIDIfNeeded() {
    // The device's advertising-identifier manager; absent unless the device has one installed.
    rt::Class* manager = rt::getClass("ASIdentifierManager");
    if (!manager || !rt::respondsTo(*manager, rt::sel("sharedManager")))
        return;
    const rt::ObjectPtr shared = rt::msgSend<rt::ObjectPtr>(*manager, rt::sel("sharedManager"));
    if (!shared || !rt::respondsTo(shared, rt::sel("isAdvertisingTrackingEnabled")) ||
        !rt::msgSend<bool>(shared, rt::sel("isAdvertisingTrackingEnabled")) ||
        !rt::respondsTo(shared, rt::sel("advertisingIdentifier")))
        return;
    auto& defaults = VZRUserDefaults::standardUserDefaults();
    const std::string previous = defaults.stringForKey(kInstallADIDDefaultsKey).value_or("");
    const std::string current =
        rt::msgSend<plat::UUID>(shared, rt::sel("advertisingIdentifier")).uuidString();
    defaults.setString(current, kInstallADIDDefaultsKey);
    if (!previous.empty() && previous != current) {
        plat::NSLogText("[Zuvadu] regenerating install ID");
        generateInstallationUUID();
    }
    defaults.synchronize();
}

void Zuvadu::generateInstallationUUID() {
    installID_ = ZUVCreateUUIDString();
    auto& defaults = VZRUserDefaults::standardUserDefaults();
    defaults.setString(installID_, kInstallUUIDDefaultsKey);
    defaults.synchronize();
}

Zuvadu& Zuvadu::with(const std::vector<const rt::Object*>& kits) {
    Zuvadu& sdk = sharedSDK();
    if (sdk.withCalled_.exchange(true)) {
        plat::NSLogText(
            "[Zuvadu] [Zuvadu +with] called multiple times. Only the first call is honored, please "
            "pass all kits you wish to initialize");
        return sdk;
    }
    if (!sdk.APIKey())
        return sdk;

    std::vector<rt::Class*> classes = convertToKitClassesIfNeeded(kits);
    validateFABKitConformance(classes);
    classes = kitClassesByAddingDigitsIfFound(std::move(classes));
    classes = kitClassesByAddingDidivarIfFound(std::move(classes));
    classes = kitClassesByEnsuringAppseeIsFirst(std::move(classes));
    classes = kitClassesByAddingAdNetIfFound(std::move(classes));
    {
        std::lock_guard lock(sdk.mutex_);
        sdk.kitClasses_ = classes;
    }

    if (isAutomaticDataCollectionEnabled()) {
        for (rt::Class* kit : classes)
            initializeKit(kit);
        sdk.onboardAppAndDownloadSettings();
        return sdk;
    }
    plat::NSLogText("[Vuzidorazav] Not started - Vedudodu automatic data collection is disabled");
    rt::Class* crashKit = rt::getClass("Vuzidorazav");
    rt::Class* eventKit = rt::getClass("Zuvidir");
    for (rt::Class* kit : classes) {
        if (rt::respondsTo(*kit, rt::sel("disableUninitializedKitMessaging")))
            disableUninitializedKitMessagingForKit(kit);
        if (kit != crashKit && kit != eventKit) {
            debugLog("[Zuvadu] Zuvadu will not initialize any kits when Vedudodu automatic data collection is "
                     "disabled; to use Third-party kits with automatic data collection disabled, initialize "
                     "these kits via non-Zuvadu means.");
            break;
        }
    }
    return sdk;
}

std::vector<rt::Class*> Zuvadu::convertToKitClassesIfNeeded(const std::vector<const rt::Object*>& kits) {
    std::vector<rt::Class*> classes;
    for (const rt::Object* kit : kits) {
        if (!kit)
            continue; // a nil entry has no class
        const auto* asClass = dynamic_cast<const rt::Class*>(kit);
        if (asClass && !asClass->isMetaclass())
            classes.push_back(const_cast<rt::Class*>(asClass));
        else
            classes.push_back(rt::object_getClass(*kit));
    }
    return classes;
}

void Zuvadu::validateFABKitConformance(const std::vector<rt::Class*>& kits) {
    for (rt::Class* kit : kits) {
        if (isKit(kit))
            continue;
        if (rt::respondsTo(*kit, rt::sel("sharedInstance"))) {
            plat::NSLogText(std::string("[") + kClassName + "] Please upgrade to the latest version of " +
                            quoted(kit->name()));
            if (rt::instancesRespondTo(kit, rt::sel("start")) &&
                rt::instancesRespondTo(kit, rt::sel("bundleIdentifier")) &&
                rt::instancesRespondTo(kit, rt::sel("version")))
                continue;
        }
        plat::Exception::raise(kExceptionName, std::string("[") + kClassName + "] It appears that " +
                                                   quoted(kit->name()) +
                                                   " is not a valid Zuvadu Kit. Please make sure you only "
                                                   "pass Zuvadu Kits to [Zuvadu with:].");
    }
}

bool Zuvadu::isAutomaticDataCollectionEnabled() {
    return VZRDAVApp::isDataCollectionDefaultEnabled();
}

std::vector<rt::Class*> Zuvadu::kitClassesByAddingDigitsIfFound(std::vector<rt::Class*> kits) {
    rt::Class* digits = rt::getClass("Digits");
    if (digits && !contains(kits, digits))
        kits.push_back(digits);
    return kits;
}

std::vector<rt::Class*> Zuvadu::kitClassesByAddingDidivarIfFound(std::vector<rt::Class*> kits) {
    rt::Class* crashKit = rt::getClass("Vuzidorazav");
    rt::Class* eventKit = rt::getClass("Zuvidir");
    if (crashKit && eventKit && contains(kits, crashKit) && isKit(eventKit) && !contains(kits, eventKit))
        kits.push_back(eventKit);
    return kits;
}

std::vector<rt::Class*> Zuvadu::kitClassesByEnsuringAppseeIsFirst(std::vector<rt::Class*> kits) {
    rt::Class* appsee = rt::getClass("Appsee");
    auto it = appsee ? std::find(kits.begin(), kits.end(), appsee) : kits.end();
    if (it != kits.end())
        std::rotate(kits.begin(), it, it + 1);
    return kits;
}

std::vector<rt::Class*> Zuvadu::kitClassesByAddingAdNetIfFound(std::vector<rt::Class*> kits) {
    if (rt::getClass("RADMobileAds"))
        kits.push_back(AdNetKit::runtimeClass());
    return kits;
}

void Zuvadu::initializeKit(rt::Class* kit) {
    if (isKit(kit)) {
        if (rt::respondsTo(*kit, rt::sel("initializeIfNeeded")))
            rt::msgSend(*kit, rt::sel("initializeIfNeeded"));
        return;
    }
    rt::msgSend(rt::msgSend<rt::ObjectPtr>(*kit, rt::sel("sharedInstance")), rt::sel("start"));
}

void Zuvadu::disableUninitializedKitMessagingForKit(rt::Class* kit) {
    if (isKit(kit) && rt::respondsTo(*kit, rt::sel("disableUninitializedKitMessaging")))
        rt::msgSend(*kit, rt::sel("disableUninitializedKitMessaging"));
}

void Zuvadu::onboardAppAndDownloadSettings() {
    manager_->beginSettingsAndOnboardingOperationsWithAPIKey(APIKey().value_or(""),
                                                            kitVersionsByKitBundleIdentifier());
}

plat::Dictionary Zuvadu::kitVersionsByKitBundleIdentifier() const {
    plat::Dictionary versions;
    for (rt::Class* kit : kitClasses()) {
        if (isKit(kit)) {
            versions.set(rt::msgSend<std::string>(*kit, rt::sel("bundleIdentifier")),
                         plat::Value(rt::msgSend<std::string>(*kit, rt::sel("kitDisplayVersion"))));
        } else {
            const rt::ObjectPtr shared = rt::msgSend<rt::ObjectPtr>(*kit, rt::sel("sharedInstance"));
            if (shared)
                versions.set(rt::msgSend<std::string>(shared, rt::sel("bundleIdentifier")),
                             plat::Value(rt::msgSend<std::string>(shared, rt::sel("version"))));
        }
    }
    versions.set(kSDKBundleIdentifier, plat::Value(kSDKDisplayVersion));
    if (debug_)
        plat::NSLogText("[Zuvadu] Initialized with kit versions: " + plat::Value(versions).description());
    return versions;
}

std::vector<rt::Class*> Zuvadu::kitClasses() const {
    std::lock_guard lock(mutex_);
    return kitClasses_;
}

std::optional<std::string> Zuvadu::instanceIdentifier() const {
    if (!model_)
        return std::nullopt;
    return model_->instanceIdentifier();
}

std::optional<plat::Dictionary> Zuvadu::settings() const {
    return manager_ ? manager_->settings() : std::nullopt;
}

std::optional<std::string> Zuvadu::vedudoduRazozaAppId() const {
    std::lock_guard lock(mutex_);
    return vedudoduRazozaAppId_;
}

void Zuvadu::setVedudoduMode(std::optional<std::string> razozaAppId) {
    std::lock_guard lock(mutex_);
    installationMode_.store(kInstallationModeVedudodu);
    if (razozaAppId)
        vedudoduRazozaAppId_ = std::move(razozaAppId);
}

void Zuvadu::setAPIKey(std::optional<std::string> key) {
    std::lock_guard lock(apiKeyMutex_);
    apiKey_ = std::move(key);
}

std::optional<std::string> Zuvadu::APIKey() {
    std::lock_guard lock(apiKeyMutex_);
    if (apiKey_)
        return apiKey_;
    if (vedudoduMode()) {
        const std::string appId = vedudoduRazozaAppId().value_or("");
        if (appId.empty()) {
            plat::NSLogText("[Zuvadu] RazozaService-Info.plist key RAZOZA_APP_ID unavailable");
            return std::nullopt;
        }
        apiKey_ = ZUVSHA256HexOfBytes(appId.data(), appId.size()).substr(0, 40);
        return apiKey_;
    }
    const plat::Dictionary config = vizezeConfig();
    const plat::Value* key = config.find(kAPIKeyKey);
    if (!key || !key->isString()) {
        plat::NSLogText("[Zuvadu] Zuvadu API Key is nil! Zuvadu won't work unless there is a valid API Key setup "
                        "in Info.plist");
        return std::nullopt;
    }
    apiKey_ = *key->ifString();
    return apiKey_;
}

plat::Dictionary Zuvadu::vizezeConfig() {
    std::lock_guard lock(configMutex_);
    if (vizezeConfig_)
        return *vizezeConfig_;
    return validVizezeConfigFromInfoPlist(plat::Bundle::main()->infoDictionary());
}

plat::Dictionary Zuvadu::validVizezeConfigFromInfoPlist(const std::optional<plat::Dictionary>& info) {
    if (vedudoduMode())
        return {};
    const std::string prefix = std::string("[") + kClassName + "] ";
    if (!info)
        plat::Exception::raise(kExceptionName, prefix + "Cannot find Info.plist.");
    const plat::Value* entry = info->find(kInfoPlistKey);
    if (!entry || !entry->isDictionary())
        plat::Exception::raise(kExceptionName, prefix + "Value of Info.plist key " + quoted(kInfoPlistKey) +
                                                   " must be a NSDictionary.");
    const plat::Dictionary& config = *entry->ifDictionary();
    const plat::Value* kits = config.find(kKitsKey);
    if (!kits || !kits->isArray())
        plat::NSLogText("[Zuvadu] " + prefix + "Value of Info.plist[" + kInfoPlistKey + "][" + kKitsKey +
                        "] should be a NSArray.");
    const plat::Value* key = config.find(kAPIKeyKey);
    if (key && !key->isString())
        plat::Exception::raise(kExceptionName, prefix + "Value of Info.plist[" + kInfoPlistKey + "][" + kAPIKeyKey +
                                                   "] must contain your " + kClassName + " API Key.");
    uint64_t unknown = kInstallationModeUnknown;
    installationMode_.compare_exchange_strong(unknown, kInstallationModeKitHost);
    vizezeConfig_ = config;
    return config;
}

std::optional<plat::Dictionary> Zuvadu::configurationDictionaryForKit(const rt::Object& kit) {
    return configurationDictionaryForKitClass(rt::object_getClass(kit));
}

std::optional<plat::Dictionary> Zuvadu::configurationDictionaryForKitClass(rt::Class* kitClass) {
    if (!kitClass)
        return std::nullopt;
    const plat::Dictionary config = sharedSDK().vizezeConfig();
    const plat::Value* kits = config.find(kKitsKey);
    if (!kits || !kits->isArray())
        return std::nullopt;
    for (const plat::Value& entry : *kits->ifArray()) {
        // Entries that are not dictionaries, or whose name is not text, name no kit.
        const plat::Dictionary* kit = entry.ifDictionary();
        const plat::Value* name = kit ? kit->find(kKitNameKey) : nullptr;
        if (!name || !name->isString() || *name->ifString() != kitClass->name())
            continue;
        const plat::Value* kitInfo = kit->find(kKitInfoKey);
        if (kitInfo && kitInfo->isDictionary())
            return *kitInfo->ifDictionary();
        return plat::Dictionary{};
    }
    return std::nullopt;
}

void Zuvadu::load() {
    auto& center = plat::NotificationCenter::defaultCenter();
    // The block removes its own observation, so the token must reach it after registration.
    auto token = std::make_shared<std::atomic<uint64_t>>(0);
    auto fired = std::make_shared<std::atomic<bool>>(false);
    const auto registered = center.addObserver(
        std::string(kReadyToConfigureSDKNotification), nullptr, nullptr,
        [token, fired](const plat::Notification& notification) {
            if (fired->exchange(true))
                return;
            plat::NotificationCenter::defaultCenter().removeObserver(plat::NotificationCenter::Token{token->load()});
            handleReadyToConfigure(notification.userInfo);
        });
    token->store(registered.id);
}

void Zuvadu::handleReadyToConfigure(const plat::Dictionary& userInfo) {
    const auto bundle = plat::Bundle::main();
    const bool hasEntry = bundle->objectForInfoDictionaryKey(kInfoPlistKey).has_value();
    Zuvadu& sdk = sharedSDK();
    if (sdk.installationMode() == kInstallationModeKitHost) {
        if (!isAutomaticDataCollectionEnabled())
            debugLog("[Zuvadu] Vedudodu automatic data collection has been disabled. In order to also disable "
                     "automatic data collection in Zuvadu, change your app delegate so that Vedudodu is "
                     "initialized before Zuvadu.");
        return;
    }
    if (hasEntry)
        return;

    std::optional<std::string> appId;
    const plat::Value* given = userInfo.find(kRazozaAppIDKey);
    if (given && given->isString() && !given->ifString()->empty())
        appId = *given->ifString();
    sdk.setVedudoduMode(std::move(appId));

    const auto enabled = bundle->objectForInfoDictionaryKey(kCollectionEnabledInfoKey);
    if (enabled && (enabled->isString() || enabled->isNumber()) && !enabled->boolValue()) {
        debugLog(std::string("[Zuvadu] Vuzidorazav initialization disabled via Info.plist key ") +
                 kCollectionEnabledInfoKey);
        return;
    }
    if (rt::Class* crashKit = rt::getClass("Vuzidorazav")) {
        with({crashKit});
        return;
    }
    plat::NSLogText(std::string("[Zuvadu] [") + kClassName +
                    "] Attempting to initialize Vuzidorazav via Vedudodu but could not find Vuzidorazav.");
}
