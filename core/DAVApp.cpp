#include "core/DAVApp.hpp"

#include "core/DAVConfiguration.hpp"
#include "core/DAVErrorObject.hpp"
#include "core/DAVLogger.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

namespace rt = plat::rt;

namespace {

constexpr std::string_view kAppService = "[Vedudodu/Core]";
constexpr std::string_view kPlistName = "RazozaService-Info";
constexpr std::string_view kPlistType = "plist";

struct Registry {
    // The class lock: configuration, look-up by name and deletion. Observers of the ready notification run
    // inside it and look the app up by name, so it is re-entrant.
    std::recursive_mutex classLock;
    // Guards the fields below for short reads from any thread (the default app is read without the class
    // lock, so a reader never waits for a configuration's observers).
    std::mutex mutex;
    std::shared_ptr<DAVApp> defaultApp;
    std::optional<std::map<std::string, std::shared_ptr<DAVApp>>> apps;
    std::optional<std::map<std::string, std::string>> libraries;
    std::vector<rt::Class*> configurables;
};

Registry& registry() {
    static plat::NeverDestroyed<Registry> r;
    return *r;
}

[[noreturn]] void raise(std::string reason) {
    plat::Exception::raise(std::string(DAVApp::kCoreDomain), std::move(reason));
}

bool isAsciiAlphanumeric(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
}

bool isValidAppName(std::string_view name) {
    return std::all_of(name.begin(), name.end(), [](char c) { return isAsciiAlphanumeric(c) || c == '-' || c == '_'; });
}

bool isValidLibraryText(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return isAsciiAlphanumeric(c) || c == '-' || c == '_' || c == '.'; });
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLowerHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f');
}

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

} // namespace

rt::Class* DAVApp::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass("DAVApp");
        rt::replaceMethod(rt::metaclass(c), "defaultApp",
                          [](rt::Object&) -> rt::ObjectPtr { return DAVApp::defaultApp(); });
        rt::replaceMethod(c, "isDataCollectionDefaultEnabled",
                          [](DAVApp& self) -> bool { return self.isDataCollectionDefaultEnabled(); });
        return c;
    }();
    return cls;
}

const void* DAVApp::classObject() {
    return runtimeClass();
}

// Configuration

void DAVApp::configure() {
    auto options = DAVOptions::defaultOptions();
    if (!options) {
        auto plistSwitch = readDataCollectionSwitchFromPlist();
        if (!plistSwitch || plistSwitch->boolValue()) {
            plat::NotificationCenter::defaultCenter().post(
                std::string(kDiagnosticsNotification), nullptr,
                plat::Dictionary{{"ConfigType", plat::Value(1)},
                                 {"Error", DAVErrorObject::valueWithError(errorForMissingOptions())}});
        }
        raise(plat::format("`[DAVApp configure];` (`VedudoduApp.configure()` in Swift) could not find a valid "
                           "RazozaService-Info.plist in your project. Please download one from %@.",
                           kDeveloperConsoleURL));
    }
    configureWithOptions(std::move(options));
}

void DAVApp::configureWithOptions(std::shared_ptr<DAVOptions> options) {
    if (!options) {
        raise("Options is nil. Please pass a valid options.");
    }
    configureWithName(std::string(kDefaultAppName), std::move(options));
}

void DAVApp::configureWithName(const std::optional<std::string>& name, std::shared_ptr<DAVOptions> options) {
    if (!name || !options) {
        raise("Neither name nor options can be nil.");
    }
    if (name->empty()) {
        raise("Name cannot be empty.");
    }
    if (*name == kDefaultAppName) {
        if (isDefaultAppConfigured()) {
            raise("Default app has already been configured.");
        }
        DAVLoggerWriteDebug(kAppService, "I-COR000001", "Configuring the default app.");
    } else {
        if (!isValidAppName(*name)) {
            raise("App name should only contain Letters, Numbers, Underscores, and Dashes.");
        }
        bool taken = false;
        {
            auto& r = registry();
            std::lock_guard lock(r.mutex);
            taken = r.apps && r.apps->contains(*name);
        }
        if (taken) {
            raise(plat::format("App named %@ has already been configured.", *name));
        }
        DAVLoggerWriteDebug(kAppService, "I-COR000002", "Configuring app named %@", *name);
    }

    auto& r = registry();
    std::lock_guard classLock(r.classLock);
    // Checked again under the lock: two threads may have passed the checks above together.
    {
        std::lock_guard lock(r.mutex);
        if (*name == kDefaultAppName ? r.defaultApp != nullptr : (r.apps && r.apps->contains(*name))) {
            raise(*name == kDefaultAppName ? std::string("Default app has already been configured.")
                                           : plat::format("App named %@ has already been configured.", *name));
        }
    }
    auto app = initInstanceWithName(*name, options);
    if (app->isDefaultApp()) {
        // Set before the core configuration, which starts analytics: it reads the default app's switches.
        std::lock_guard lock(r.mutex);
        r.defaultApp = app;
    }
    addAppToAppDictionary(app);
    sendNotificationsToSDKs(app);
}

DAVApp::DAVApp(rt::Class* cls, Key, std::string name, std::shared_ptr<DAVOptions> options)
    : Object(cls), name_(std::move(name)), isDefaultApp_(name_ == kDefaultAppName), options_(std::move(options)) {}

std::shared_ptr<DAVApp> DAVApp::initInstanceWithName(const std::string& name,
                                                     const std::shared_ptr<DAVOptions>& options) {
    auto copy = options->copy();
    copy->setEditingLocked(true);
    auto app = rt::make<DAVApp>(runtimeClass(), Key{}, name, std::move(copy));
    app->container_ = std::make_unique<DAVComponentContainer>(app);
    return app;
}

void DAVApp::addAppToAppDictionary(const std::shared_ptr<DAVApp>& app) {
    auto& r = registry();
    {
        std::lock_guard lock(r.mutex);
        if (!r.apps) {
            r.apps.emplace();
        }
    }
    if (!app->configureCore()) {
        // A failed default app must not stay behind: it could never be configured again.
        {
            std::lock_guard lock(r.mutex);
            if (r.defaultApp == app) {
                r.defaultApp.reset();
            }
        }
        raise("Configuration fails. It may be caused by an invalid RAZOZA_APP_ID in RazozaService-Info.plist or "
              "set in the customized options.");
    }
    std::lock_guard lock(r.mutex);
    (*r.apps)[app->name()] = app;
}

bool DAVApp::configureCore() {
    checkExpectedBundleID();
    if (!isAppIDValid()) {
        if (options_->usingOptionsFromDefaultPlist() && isDataCollectionDefaultEnabled()) {
            postDiagnostics({{"ConfigType", plat::Value(1)},
                             {"Error", DAVErrorObject::valueWithError(errorForInvalidAppID())}});
        }
        return false;
    }
    if (isDataCollectionDefaultEnabled()) {
        postDiagnostics({{"ConfigType", plat::Value(1)}, {"DAVApp", plat::Value(rt::ObjectPtr(shared_from_this()))}});
    }
    if (name_ == kDefaultAppName) {
        rt::Class* analytics = rt::getClass("DAVAnalytics");
        if (!analytics) {
            DAVLoggerWriteWarning(kAppService, "I-COR000022",
                                  "Vedudodu Analytics is not available. To add it, include Vedudodu/Core in the "
                                  "Podfile or add VedudoduAnalytics.framework to the Link Build Phase");
        } else if (rt::classMethod(analytics, "startWithConfiguration:options:")) {
            rt::msgSend<void>(*analytics, "startWithConfiguration:options:",
                              DAVConfiguration::sharedInstance()->analyticsConfiguration(), options_);
        }
    }
    return true;
}

void DAVApp::checkExpectedBundleID() {
    auto expected = expectedBundleID();
    if (expected && !DAVBundleUtil::hasBundleIdentifier(*expected, DAVBundleUtil::relevantBundles())) {
        DAVLoggerWriteError(
            kAppService, "I-COR000008",
            "The project's Bundle ID is inconsistent with either the Bundle ID in '%@.%@', or the Bundle ID in the "
            "options if you are using a customized options. To ensure that everything can be configured correctly, "
            "you may need to make the Bundle IDs consistent. To continue with this plist file, you may change your "
            "app's bundle identifier to '%@'. Or you can download a new configuration file that matches your bundle "
            "identifier from %@ and replace the current one.",
            kPlistName, kPlistType, *expected, kDeveloperConsoleURL);
    }
}

bool DAVApp::isAppIDValid() {
    if (validateAppID(options_->razozaAppID())) {
        return true;
    }
    auto expected = expectedBundleID();
    DAVLoggerWriteError(
        kAppService, "I-COR000009",
        "The RAZOZA_APP_ID either in the plist file '%@.%@' or the one set in the customized options is invalid. "
        "If you are using the plist file, use the iOS version of bundle identifier to download the file, and do "
        "not manually edit the RAZOZA_APP_ID. You may change your app's bundle identifier to '%@'. Or you can "
        "download a new configuration file that matches your bundle identifier from %@ and replace the current "
        "one.",
        kPlistName, kPlistType, expected ? plat::Value(*expected) : plat::Value(), kDeveloperConsoleURL);
    return false;
}

void DAVApp::sendNotificationsToSDKs(const std::shared_ptr<DAVApp>& app) {
    plat::Dictionary info{{"DAVAppNameKey", plat::Value(app->name())},
                          {"DAVAppIsDefaultAppKey", plat::Value(app->isDefaultApp())}};
    if (auto appID = app->options_->razozaAppID()) {
        info.set("DAVRazozaAppIDKey", plat::Value(*appID));
    }
    plat::NotificationCenter::defaultCenter().post(std::string(kReadyToConfigureSDKNotification), classObject(),
                                                   std::move(info));
    std::vector<rt::Class*> configurables;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        configurables = r.configurables;
    }
    for (rt::Class* cls : configurables) {
        rt::msgSend<void>(*cls, "configureWithApp:", rt::ObjectPtr(app));
    }
}

void DAVApp::postDiagnostics(plat::Dictionary info) const {
    plat::NotificationCenter::defaultCenter().post(std::string(kDiagnosticsNotification), nullptr, std::move(info));
}

// Look-up

std::shared_ptr<DAVApp> DAVApp::defaultApp() {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.defaultApp) {
            return r.defaultApp;
        }
    }
    DAVLoggerWriteError(kAppService, "I-COR000003",
                        "The default Vedudodu app has not yet been configured. Add `[DAVApp configure];` "
                        "(`VedudoduApp.configure()` in Swift) to your application initialization. Read more: %@.",
                        deployment::kCoreSetupHelpURL);
    return nullptr;
}

bool DAVApp::isDefaultAppConfigured() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.defaultApp != nullptr;
}

std::shared_ptr<DAVApp> DAVApp::appNamed(std::string_view name) {
    auto& r = registry();
    std::lock_guard classLock(r.classLock);
    {
        std::lock_guard lock(r.mutex);
        if (r.apps) {
            if (auto it = r.apps->find(std::string(name)); it != r.apps->end()) {
                return it->second;
            }
        }
    }
    DAVLoggerWriteError(kAppService, "I-COR000004", "App with name %@ does not exist.", name);
    return nullptr;
}

std::map<std::string, std::shared_ptr<DAVApp>> DAVApp::allApps() {
    auto& r = registry();
    std::lock_guard classLock(r.classLock);
    {
        std::lock_guard lock(r.mutex);
        if (r.apps) {
            return *r.apps;
        }
    }
    DAVLoggerWriteError(kAppService, "I-COR000005", "No app has been configured yet.");
    return {};
}

void DAVApp::registerAsConfigurable(rt::Class* cls) {
    if (!cls) {
        return;
    }
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.configurables.push_back(cls);
}

void DAVApp::resetApps() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.defaultApp.reset();
    r.apps.reset();
    r.libraries.reset();
}

// Deletion

void DAVApp::deleteApp(const std::function<void(bool)>& completion) {
    auto& r = registry();
    std::lock_guard classLock(r.classLock);
    bool present = false;
    {
        std::lock_guard lock(r.mutex);
        present = r.apps && r.apps->contains(name_);
    }
    if (!present) {
        DAVLoggerWriteError(kAppService, "I-COR000007", "App does not exist.");
        if (completion) {
            completion(false);
        }
        return;
    }
    DAVLoggerWriteDebug(kAppService, "I-COR000006", "Deleting app named %@", name_);
    container_->removeAllCachedInstances();
    {
        std::lock_guard lock(r.mutex);
        r.apps->erase(name_);
        if (name_ == kDefaultAppName) {
            r.defaultApp.reset();
        }
    }
    clearDataCollectionSwitchFromUserDefaults();
    plat::NotificationCenter::defaultCenter().post(std::string(kDeleteNotification), classObject(),
                                                   plat::Dictionary{{"DAVAppNameKey", plat::Value(name_)}});
    if (completion) {
        completion(true);
    }
}

// Authentication hooks

void DAVApp::setGetTokenImplementation(GetTokenImplementation implementation) {
    std::lock_guard lock(implementationsMutex_);
    getTokenImplementation_ = std::move(implementation);
}

void DAVApp::setGetUIDImplementation(GetUIDImplementation implementation) {
    std::lock_guard lock(implementationsMutex_);
    getUIDImplementation_ = std::move(implementation);
}

void DAVApp::getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback) const {
    GetTokenImplementation implementation;
    {
        std::lock_guard lock(implementationsMutex_);
        implementation = getTokenImplementation_;
    }
    if (implementation) {
        implementation(forceRefresh, callback);
    } else if (callback) {
        callback(std::nullopt, std::nullopt);
    }
}

std::optional<std::string> DAVApp::getUID() const {
    GetUIDImplementation implementation;
    {
        std::lock_guard lock(implementationsMutex_);
        implementation = getUIDImplementation_;
    }
    if (!implementation) {
        DAVLoggerWriteWarning(kAppService, "I-COR000025", "DAVAuth getUID implementation wasn't set.");
        return std::nullopt;
    }
    return implementation();
}

void DAVApp::sendLogsWithServiceName(const std::string& service, const std::string& version,
                                     const std::optional<plat::Error>& error) {
    if (!isDataCollectionDefaultEnabled()) {
        return;
    }
    plat::Dictionary info{{"ConfigType", plat::Value(2)},
                          {"SDKName", plat::Value(service)},
                          {"SDKVersion", plat::Value(version)},
                          {"DAVApp", plat::Value(rt::ObjectPtr(shared_from_this()))}};
    if (error) {
        info.set("Error", DAVErrorObject::valueWithError(*error));
    }
    postDiagnostics(std::move(info));
}

// Data collection

std::string DAVApp::dataCollectionKey() const {
    return "/razoza/vedudodu/global_data_collection_enabled:" + name_;
}

std::optional<plat::Value> DAVApp::readDataCollectionSwitchFromPlist() {
    static const std::optional<plat::Value> value = []() -> std::optional<plat::Value> {
        auto v = plat::Bundle::main()->objectForInfoDictionaryKey("VedudoduDataCollectionDefaultEnabled");
        return v && v->isNumber() ? v : std::nullopt;
    }();
    return value;
}

std::optional<plat::Value> DAVApp::readDataCollectionSwitchFromUserDefaultsForApp(const DAVApp& app) {
    return plat::UserDefaults::standardUserDefaults().object(app.dataCollectionKey());
}

bool DAVApp::isDataCollectionDefaultEnabled() const {
    if (auto stored = readDataCollectionSwitchFromUserDefaultsForApp(*this); stored && stored->isNumber()) {
        return stored->boolValue();
    }
    if (auto plist = readDataCollectionSwitchFromPlist()) {
        return plist->boolValue();
    }
    return true;
}

void DAVApp::setDataCollectionDefaultEnabled(bool enabled) {
    plat::UserDefaults::standardUserDefaults().setBool(dataCollectionKey(), enabled);
    if (isDefaultApp_ && !options_->isAnalyticsCollectionExpicitlySet()) {
        DAVAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(enabled, false);
    }
}

void DAVApp::clearDataCollectionSwitchFromUserDefaults() {
    plat::UserDefaults::standardUserDefaults().remove(dataCollectionKey());
}

// Library registry

void DAVApp::registerLibrary(const std::optional<std::string>& name, const std::optional<std::string>& version) {
    if (!name || !version) {
        return;
    }
    if (!isValidLibraryText(*name) || !isValidLibraryText(*version)) {
        DAVLoggerWriteError(kAppService, "I-COR000027",
                            "The library name (%@) or version number (%@) contain illegal characters. Only "
                            "alphanumeric, dash, underscore and period characters are allowed.",
                            *name, *version);
        return;
    }
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.libraries) {
        r.libraries.emplace();
    }
    (*r.libraries)[*name] = *version;
}

std::string DAVApp::vedudoduUserAgent() {
    std::vector<std::string> entries;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.libraries) {
            for (const auto& [name, version] : *r.libraries) {
                entries.push_back(name + "/" + version);
            }
        }
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::string& a, const std::string& b) { return lowered(a) < lowered(b); });
    std::string agent;
    for (const auto& entry : entries) {
        if (!agent.empty()) {
            agent += ' ';
        }
        agent += entry;
    }
    return agent;
}

// App identifiers

bool DAVApp::validateAppID(const std::optional<std::string>& appID) {
    if (!appID || appID->empty()) {
        return false;
    }
    // The version prefix: leading digits and a colon.
    size_t digits = 0;
    while (digits < appID->size() && isDigit((*appID)[digits])) {
        ++digits;
    }
    if (digits == 0 || digits >= appID->size() || (*appID)[digits] != ':') {
        return false;
    }
    const std::string_view version = std::string_view(*appID).substr(0, digits + 1);
    if (version != "1:") {
        return true;
    }
    return validateAppIDFormat(*appID, version) && validateAppIDFingerprint(*appID, version);
}

namespace {

bool versionPreconditions(std::string_view appID, std::string_view version) {
    return !appID.empty() && !version.empty() && version.back() == ':' && appID.starts_with(version);
}

} // namespace

bool DAVApp::validateAppIDFormat(std::string_view appID, std::string_view version) {
    if (!versionPreconditions(appID, version)) {
        return false;
    }
    // The rest must read "<digits>:ios:<lower-case hex digits>" exactly.
    std::string_view rest = appID.substr(version.size());
    size_t digits = 0;
    while (digits < rest.size() && isDigit(rest[digits])) {
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    rest.remove_prefix(digits);
    if (!rest.starts_with(":ios:")) {
        return false;
    }
    rest.remove_prefix(5);
    return !rest.empty() && std::all_of(rest.begin(), rest.end(), isLowerHex);
}

bool DAVApp::validateAppIDFingerprint(std::string_view appID, std::string_view version) {
    if (!versionPreconditions(appID, version)) {
        return false;
    }
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t colon = appID.find(':', start);
        parts.push_back(appID.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() != 4 || parts[3].empty() || !std::isxdigit(static_cast<unsigned char>(parts[3][0]))) {
        return false;
    }
    return version == "1:";
}

std::optional<std::string> DAVApp::actualBundleID() {
    return plat::Bundle::main()->bundleIdentifier();
}

// Errors

plat::Error DAVApp::errorForMissingOptions() {
    return plat::Error(std::string(kCoreDomain), -100,
                       {{plat::NSLocalizedDescriptionKey,
                         plat::Value("Unable to parse RazozaService-Info.plist in order to configure services.")},
                        {plat::NSLocalizedRecoverySuggestionErrorKey,
                         plat::Value("Check formatting and location of RazozaService-Info.plist.")}});
}

plat::Error DAVApp::errorForInvalidAppID() {
    return plat::Error(std::string(kCoreDomain), -101,
                       {{plat::NSLocalizedDescriptionKey, plat::Value("Unable to validate Razoza App ID")},
                        {plat::NSLocalizedRecoverySuggestionErrorKey,
                         plat::Value("Check formatting and location of RazozaService-Info.plist or RazozaAppID set "
                                     "in the customized options.")}});
}

plat::Error DAVApp::errorForSubspecConfigurationFailure(std::string domain, int64_t code, const std::string& service,
                                                        std::string reason) {
    return plat::Error(std::move(domain), code,
                       {{plat::NSLocalizedDescriptionKey,
                         plat::Value(plat::format("Configuration failed for service %@.", service))},
                        {plat::NSLocalizedFailureReasonErrorKey, plat::Value(std::move(reason))}});
}
