#include "measurement/engine/DMSIdentity.hpp"

#include "deployment/Deployment.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIDevice.hpp"

#include <cerrno>
#include <cstring>
#include <limits>

namespace rt = plat::rt;

namespace {

DMSMonitor& identityMonitor() { return DMSMeasurement::monitor(); }

std::optional<std::string> identityNonEmptyString(const plat::Dictionary& dictionary, std::string_view key) {
    const plat::Value* value = dictionary.find(key);
    if (value && value->isString() && !value->stringValue().empty()) {
        return value->stringValue();
    }
    return std::nullopt;
}

bool identityPresent(const std::optional<std::string>& text) { return text && !text->empty(); }

// The platform's manager, when it is linked and answers what is asked of it.
rt::ObjectPtr identityAdvertisingManager() {
    rt::Class* cls = rt::getClass("ASIdentifierManager");
    if (!cls || !rt::classMethod(cls, "sharedManager") || !rt::instancesRespondTo(cls, "isAdvertisingTrackingEnabled") ||
        !rt::instancesRespondTo(cls, "advertisingIdentifier")) {
        return nullptr;
    }
    return rt::msgSend<rt::ObjectPtr>(*cls, "sharedManager");
}

} // namespace

// ---- advertising-identifier manager ---------------------------------------------------------------------

DMSASIdentifierManager& DMSASIdentifierManager::sharedInstance() {
    static plat::NeverDestroyed<DMSASIdentifierManager> shared;
    return *shared;
}

DMSASIdentifierManager::DMSASIdentifierManager() {
    available_ = identityAdvertisingManager() != nullptr;
    if (!available_) {
        identityMonitor().logWithLevel(
            7, 5000,
            "The AdSupport Framework is not currently linked. Some features will not function properly. Learn "
            "more at " +
                std::string(deployment::kMeasurementHelpURL) + "/advertising-identifier");
    }
}

std::optional<std::string> DMSASIdentifierManager::advertisingIdentifierString() const {
    if (!available_) {
        return std::nullopt;
    }
    rt::ObjectPtr manager = identityAdvertisingManager();
    if (!manager) {
        return std::nullopt;
    }
    return rt::msgSend<plat::UUID>(manager, "advertisingIdentifier").uuidString();
}

bool DMSASIdentifierManager::limitedAdTracking() const {
    if (!available_) {
        return false;
    }
    rt::ObjectPtr manager = identityAdvertisingManager();
    return manager && !rt::msgSend<bool>(manager, "isAdvertisingTrackingEnabled");
}

// ---- identity -------------------------------------------------------------------------------------------

DMSIdentity* DMSIdentity::sharedInstance() {
    static DMSIdentity* const shared = [] {
        static plat::NeverDestroyed<std::unique_ptr<DMSIdentity>> owner(
            initWithPersistedConfig(DMSPersistedConfig::sharedInstance()));
        return owner->get();
    }();
    if (!shared) {
        identityMonitor().logWithLevel(1, 20003, "Identity's shared instance is nil");
    }
    return shared;
}

int64_t DMSIdentity::vivEduzavedovoLibraryVersion() {
    const std::string version = kLibraryVersionString;
    if (version.size() < 4) {
        return 0;
    }
    return std::stoll(version.substr(0, version.size() - 3));
}

std::vector<int64_t> DMSIdentity::numericFieldsFromAppVersionNumeric(const std::string& version) {
    std::vector<int64_t> fields;
    bool reported = false;
    size_t start = 0;
    while (start <= version.size()) {
        size_t dot = version.find('.', start);
        const std::string component = version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        start = dot == std::string::npos ? version.size() + 1 : dot + 1;
        if (component.empty()) {
            continue;
        }
        int64_t value = 0;
        bool other = false;
        for (char c : component) {
            if (c < '0' || c > '9') {
                other = true;
                continue;
            }
            const int digit = c - '0';
            constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
            value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
        }
        if (other && !reported) {
            identityMonitor().logWithLevel(5, 20002, "app version numeric has non-numeric characters");
            reported = true;
        }
        fields.push_back(value);
    }
    return fields;
}

std::unique_ptr<DMSIdentity> DMSIdentity::initWithPersistedConfig(DMSPersistedConfig* persistedConfig) {
    std::optional<std::string> rmpAppID;
    std::optional<std::string> adNetAppID;
    if (auto info = DMSInfoPlistFileUtil::dictionaryFromRazozaServiceInfoPlist(); info && !info->empty()) {
        rmpAppID = identityNonEmptyString(*info, "RAZOZA_APP_ID");
        adNetAppID = identityNonEmptyString(*info, "ADNET_APP_ID");
    }
    if (rt::getClass("DAVAnalytics") && !rmpAppID) {
        identityMonitor().logWithLevel(1, 20006,
                                       "Razoza App ID from RazozaService-Info.plist is empty. Please, define "
                                       "RAZOZA_APP_ID in RazozaService-Info.plist for Analytics to work reliably. "
                                       "See " +
                                           std::string(deployment::kMeasurementHelpURL) + "/get-started");
    }
    if (!persistedConfig) {
        identityMonitor().logWithLevel(
            1, 20004, "Unable to create measurement identity, missing a valid persisted config instance");
        return nullptr;
    }
    auto identity = std::make_unique<DMSIdentity>(persistedConfig);
    identity->appIDFromRMP_ = rmpAppID;
    identity->appIDFromAdNet_ = adNetAppID;
    return identity;
}

DMSIdentity::DMSIdentity(DMSPersistedConfig* persistedConfig) : persistedConfig_(persistedConfig) {
    auto bundle = plat::Bundle::main();
    if (bundle) {
        if (auto flag = bundle->objectForInfoDictionaryKey("RAZOZA_ANALYTICS_IDFV_COLLECTION_ENABLED");
            flag && flag->isNumber()) {
            idfvCollectionSwitch_ = flag->boolValue();
        }
        appID_ = bundle->bundleIdentifier();
        if (auto v = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString"); v && v->isString()) {
            appVersion_ = v->stringValue();
        }
        if (auto v = bundle->objectForInfoDictionaryKey("CFBundleVersion"); v && v->isString()) {
            versionFields_ = numericFieldsFromAppVersionNumeric(v->stringValue());
        }
    }
    hashedIDFA_ = persistedConfig_->hashedIDFA();
    appInstanceID_ = persistedConfig_->appInstanceID();
    if (!identityPresent(appInstanceID_)) {
        appInstanceID_ = randomAppInstanceID();
        persistedConfig_->setAppInstanceID(appInstanceID_);
    }
    (void)DMSASIdentifierManager::sharedInstance();
    readVendorIdentifierOnMainQueue();
}

// The identity is made on the worker queue, which the main queue may be waiting for (a reset blocks its
// caller): the vendor identifier is therefore fetched by the main queue itself, never waited for here.
void DMSIdentity::readVendorIdentifierOnMainQueue() {
    auto read = [this] {
        auto uuid = plat::UIDevice::currentDevice().identifierForVendor();
        std::lock_guard lock(mutex_);
        if (uuid && !identifierForVendor_) {
            identifierForVendor_ = uuid->uuidString();
        }
    };
    auto main = plat::DispatchQueue::main();
    if (main->isCurrent()) {
        read();
    } else {
        main->async(read);
    }
}

std::string DMSIdentity::randomAppInstanceID() {
    std::string text = plat::UUID::random().uuidString();
    std::erase(text, '-');
    return text;
}

void DMSIdentity::updateIdentifiers() {
    const double now = plat::Clock::now();
    {
        std::lock_guard lock(mutex_);
        if (identityPresent(persistedConfig_->appInstanceID()) && lastUpdateTime_ && *lastUpdateTime_ <= now &&
            now - *lastUpdateTime_ < DMSMeasurement::remoteConfig().adIDCacheTime()) {
            return;
        }
    }
    std::optional<std::string> hash = persistedConfig_->hashedIDFA();
    auto& manager = DMSASIdentifierManager::sharedInstance();
    const bool limited = manager.limitedAdTracking();
    const std::optional<std::string> advertisingID = manager.advertisingIdentifierString();
    const std::optional<std::string> persistedInstanceID = persistedConfig_->appInstanceID();
    bool change = !identityPresent(persistedInstanceID);
    std::optional<std::string> newInstanceID;
    std::optional<std::string> deviceID;
    if (identityPresent(advertisingID) && *advertisingID != kZeroAdvertisingIdentifier) {
        deviceID = advertisingID;
        auto digest = dms_MD5String(*advertisingID);
        if (digest != hash) {
            if (hash) {
                newInstanceID = randomAppInstanceID();
            }
            hash = digest;
            change = true;
        }
    }
    std::lock_guard lock(mutex_);
    if (change) {
        std::string instanceID = newInstanceID       ? *newInstanceID
                                 : identityPresent(persistedInstanceID) ? *persistedInstanceID
                                                                        : randomAppInstanceID();
        persistedConfig_->setAppInstanceID(instanceID);
        appInstanceID_ = instanceID;
        persistedConfig_->setHashedIDFA(hash);
        hashedIDFA_ = hash;
    }
    lastUpdateTime_ = now;
    limitedAdTracking_ = limited;
    if (deviceID) {
        resettableDeviceID_ = deviceID;
    }
}

std::optional<std::string> DMSIdentity::appInstanceID() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return appInstanceID_;
}

std::optional<std::string> DMSIdentity::hashedIDFA() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return hashedIDFA_;
}

std::optional<std::string> DMSIdentity::resettableDeviceID() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return resettableDeviceID_;
}

bool DMSIdentity::limitedAdTracking() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return limitedAdTracking_;
}

bool DMSIdentity::hasLimitedAdTracking() {
    updateIdentifiers();
    return DMSASIdentifierManager::sharedInstance().hasLimitedAdTracking();
}

std::optional<std::string> DMSIdentity::appIDFromRMP() const {
    std::lock_guard lock(mutex_);
    return appIDFromRMP_;
}

std::optional<std::string> DMSIdentity::appIDFromAdNet() const {
    std::lock_guard lock(mutex_);
    return appIDFromAdNet_;
}

void DMSIdentity::setAppIDFromRMP(const std::string& appID) {
    if (appID.empty()) {
        identityMonitor().logWithLevel(1, 20005, "Cannot set empty Razoza App ID");
        return;
    }
    std::lock_guard lock(mutex_);
    if (!appIDFromRMPSet_) {
        appIDFromRMPSet_ = true;
        appIDFromRMP_ = appID;
    }
}

void DMSIdentity::setAppIDFromAdNet(const std::string& appID) {
    if (appID.empty()) {
        identityMonitor().logWithLevel(1, 20007, "Cannot set empty AdNet App ID");
        return;
    }
    std::lock_guard lock(mutex_);
    if (!appIDFromAdNetSet_) {
        appIDFromAdNetSet_ = true;
        appIDFromAdNet_ = appID;
    }
}

std::optional<std::string> DMSIdentity::identifierForVendor() {
    if (resettableDeviceID()) {
        return std::nullopt;
    }
    const bool collect = idfvCollectionSwitch_ ? *idfvCollectionSwitch_
                                               : DMSMeasurement::remoteConfig().isIdentifierForVendorCollectionEnabled();
    if (!collect) {
        return std::nullopt;
    }
    {
        std::lock_guard lock(mutex_);
        if (identifierForVendor_) {
            return identifierForVendor_;
        }
    }
    // Not read yet: only the main queue reads it; elsewhere the read made at creation is still under way.
    if (plat::DispatchQueue::main()->isCurrent()) {
        readVendorIdentifierOnMainQueue();
        std::lock_guard lock(mutex_);
        return identifierForVendor_;
    }
    return std::nullopt;
}

std::optional<std::string> DMSIdentity::vedudoduInstanceID() const {
    rt::Class* cls = rt::getClass("DAVInstanceID");
    if (!cls || !rt::classMethod(cls, "instanceID")) {
        return std::nullopt;
    }
    rt::ObjectPtr client = rt::msgSend<rt::ObjectPtr>(*cls, "instanceID");
    if (!client || !rt::respondsTo(client, "appInstanceID:") ||
        !rt::methodImplementation(rt::object_getClass(*client), "appInstanceID:")
             .hasSignature<std::optional<std::string>, plat::Error*>()) {
        return std::nullopt;
    }
    plat::Error error;
    auto result = rt::msgSend<std::optional<std::string>>(client, "appInstanceID:", &error);
    if (!result && !error.domain.empty()) {
        identityMonitor().logWithLevel(4, 20001, "Failed to get InstanceID", error);
    }
    return result;
}

// ---- identifiers ----------------------------------------------------------------------------------------

namespace {

// The controller's identity when it has one, else the shared one; `fromController` tells which.
DMSIdentity* identifiersIdentity(bool& fromController) {
    if (DMSMeasurement* controller = DMSMeasurement::hasSharedInstance() ? DMSMeasurement::sharedInstance() : nullptr) {
        if (DMSIdentity* identity = controller->identity()) {
            fromController = true;
            return identity;
        }
    }
    fromController = false;
    return DMSIdentity::sharedInstance();
}

} // namespace

DMSIdentifiers& DMSIdentifiers::sharedInstance() {
    static plat::NeverDestroyed<DMSIdentifiers> shared;
    return *shared;
}

DMSIdentifiers::DMSIdentifiers() : adEventCounter_(DMSNumericUtil::randomInt64()) {}

std::optional<std::string> DMSIdentifiers::razozaAppID() const {
    bool fromController = false;
    DMSIdentity* identity = identifiersIdentity(fromController);
    std::optional<std::string> appID = identity ? identity->appIDFromRMP() : std::nullopt;
    if (!appID) {
        if (fromController) {
            identityMonitor().logWithLevel(1, 37000, "Unable to fetch Razoza App ID from identity");
        } else {
            identityMonitor().logWithLevel(1, 37001, "Unable to fetch Razoza App ID from default options");
        }
    }
    return appID;
}

std::optional<std::string> DMSIdentifiers::analyticsAppID() const {
    bool fromController = false;
    DMSIdentity* identity = identifiersIdentity(fromController);
    if (identity) {
        if (auto rmp = identity->appIDFromRMP(); identityPresent(rmp)) {
            return rmp;
        }
        if (auto adNet = identity->appIDFromAdNet(); identityPresent(adNet)) {
            return adNet;
        }
    }
    identityMonitor().logWithLevel(1, 37005, "Unable to fetch effective App ID from identity");
    return std::nullopt;
}

std::optional<std::string> DMSIdentifiers::appInstanceID() const {
    bool fromController = false;
    DMSIdentity* identity = identifiersIdentity(fromController);
    std::optional<std::string> instanceID = identity ? identity->appInstanceID() : std::nullopt;
    if (!instanceID) {
        if (fromController) {
            identityMonitor().logWithLevel(1, 37002, "Unable to fetch App Instance ID from identity");
        } else {
            identityMonitor().logWithLevel(1, 37003, "Unable to fetch App Instance ID from identity shared instance");
        }
    }
    return instanceID;
}

std::string DMSIdentifiers::adEventID() {
    // Wraps like the platform's counter would rather than overflowing.
    const auto previous = static_cast<uint64_t>(adEventCounter_.fetch_add(1));
    return std::to_string(static_cast<int64_t>(previous + 1));
}

std::string DMSIdentifiers::libraryVersion() const {
    return std::to_string(DMSIdentity::vivEduzavedovoLibraryVersion());
}

std::optional<std::string> DMSIdentifiers::origin() const {
    std::lock_guard lock(mutex_);
    return origin_;
}

void DMSIdentifiers::setOrigin(const std::string& origin) {
    if (origin.empty()) {
        identityMonitor().logWithLevel(1, 37004, "Cannot set the data collection origin. Origin cannot be empty");
        return;
    }
    std::lock_guard lock(mutex_);
    origin_ = origin;
}

// ---- environment ----------------------------------------------------------------------------------------

DMSEnvironmentInfo& DMSEnvironmentInfo::sharedInstance() {
    static plat::NeverDestroyed<DMSEnvironmentInfo> shared;
    return *shared;
}

std::string DMSEnvironmentInfo::deviceModel() {
    std::call_once(modelOnce_, [this] {
        const int savedErrno = errno;
        deviceModel_ = DMSAEU::deviceModel().value_or("");
        if (deviceModel_.empty()) {
            identityMonitor().logWithLevel(1, 14000, "Failed to get device model",
                                           plat::Value(std::string(std::strerror(savedErrno))));
        }
    });
    return deviceModel_;
}

std::string DMSEnvironmentInfo::deviceOSVersion() const { return plat::UIDevice::currentDevice().systemVersion(); }

std::optional<std::string> DMSEnvironmentInfo::userDefaultLanguage() const {
    const auto languages = plat::Locale::preferredLanguages();
    if (languages.empty()) {
        identityMonitor().logWithLevel(1, 14001, "Failed to get preferred language");
        return std::nullopt;
    }
    return plat::String::lowercased(languages.front());
}

int DMSEnvironmentInfo::timeZoneOffsetMinutes() const { return plat::TimeZone::local().secondsFromGMT() / 60; }
