#include "RadIrivozSDK/Source/RadIrivozLocation.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozState.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"

namespace {

constexpr double kFirstRequestDelay = 2.0;

struct LocationTracking {
    std::mutex mutex;
    std::shared_ptr<plat::CLLocationManager> manager;
    bool captureStarted = false;
    bool firstRequestDone = false;
    plat::Timer sendTimer;
    double sendTimerFireTime = 0;
    bool initialSendDone = false;
    plat::UIBackgroundTaskIdentifier backgroundTask = plat::UIBackgroundTaskInvalid;
};

LocationTracking& locationTracking() {
    static plat::NeverDestroyed<LocationTracking> tracking;
    return *tracking;
}

template <class F> auto withLocation(F&& fn) {
    std::lock_guard lock(locationTracking().mutex);
    return fn(locationTracking());
}

// Guarded by mutexObjectForLastLocation().
std::optional<os_last_location>& storedLastLocation() {
    static plat::NeverDestroyed<std::optional<os_last_location>> location;
    return *location;
}

void locationLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

bool locationShared() {
    return withRadIrivozClassState([](RadIrivozClassState& s) { return s.locationShared; });
}

bool applicationActive() {
    auto application = plat::UIApplication::sharedApplication();
    return application && application->applicationState() == plat::UIApplicationState::active;
}

bool infoHas(const char* key) {
    return plat::Bundle::main()->objectForInfoDictionaryKey(key).has_value();
}

bool backgroundModesIncludeLocation() {
    auto modes = plat::Bundle::main()->objectForInfoDictionaryKey("UIBackgroundModes");
    if (const plat::Array* list = modes ? modes->ifArray() : nullptr) {
        for (const plat::Value& mode : *list) {
            if (mode.isString() && mode.asString() == "location") {
                return true;
            }
        }
    }
    return false;
}

// Replaces the send timer: the old one is stopped, so a session can never leave a second chain running.
void scheduleSendTimer(LocationTracking& t, double interval) {
    t.sendTimer.cancel();
    t.sendTimer = plat::DispatchQueue::main()->asyncAfter(interval, [] { RadIrivozLocation::sendLocation(); });
    t.sendTimerFireTime = plat::Clock::now() + interval;
}

} // namespace

void RadIrivozLocation::getLocation(bool prompt) {
    if (withLocation([](LocationTracking& t) { return t.firstRequestDone; })) {
        internalGetLocation(prompt);
        return;
    }
    plat::DispatchQueue::main()->asyncAfter(kFirstRequestDelay, [prompt] {
        withLocation([](LocationTracking& t) { t.firstRequestDone = true; });
        internalGetLocation(prompt);
    });
}

void RadIrivozLocation::internalGetLocation(bool prompt) {
    if (withLocation([](LocationTracking& t) { return t.captureStarted; })) {
        return;
    }
    if (!plat::rt::getClass("CLLocationManager") || !plat::CLLocationManager::locationServicesEnabled()) {
        return;
    }
    if (plat::CLLocationManager::authorizationStatus() == plat::CLAuthorizationStatus::notDetermined && !prompt) {
        return;
    }
    auto manager = plat::CLLocationManager::create();
    manager->setDelegate(sharedInstance());
    withLocation([&](LocationTracking& t) { t.manager = manager; });
    const float os = plat::DeviceProfile::floatVersion();
    if (os >= 8.0f) {
        if (backgroundModesIncludeLocation() &&
            (infoHas("NSLocationAlwaysUsageDescription") || infoHas("NSLocationAlwaysAndWhenInUseUsageDescription"))) {
            manager->requestAlwaysAuthorization();
            if (os >= 9.0f) {
                manager->setAllowsBackgroundLocationUpdates(true);
            }
        } else if (infoHas("NSLocationWhenInUseUsageDescription")) {
            manager->requestWhenInUseAuthorization();
        } else {
            locationLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR,
                        "Include a privacy NSLocationAlwaysUsageDescription or NSLocationWhenInUseUsageDescription "
                        "in your info.plist to request location permissions.");
        }
    }
    manager->startUpdatingLocation();
    withLocation([](LocationTracking& t) { t.captureStarted = true; });
}

void RadIrivozLocation::locationManager_didUpdateLocations(plat::CLLocationManager& manager,
                                                           const std::vector<plat::CLLocation>& locations) {
    if (RadIrivoz::requiresUserPrivacyConsent()) {
        return;
    }
    manager.stopUpdatingLocation();
    if (locations.empty()) {
        return;
    }
    const plat::CLLocation& fix = locations.back();
    {
        std::lock_guard lock(mutexObjectForLastLocation());
        storedLastLocation() = os_last_location{{fix.coordinate.latitude, fix.coordinate.longitude},
                                                fix.verticalAccuracy, fix.horizontalAccuracy};
    }
    const auto [hasTimer, initialSendDone] =
        withLocation([](LocationTracking& t) { return std::pair(static_cast<bool>(t.sendTimer), t.initialSendDone); });
    if (!hasTimer) {
        resetSendTimer();
    }
    if (!initialSendDone) {
        sendLocation();
    }
}

void RadIrivozLocation::locationManager_didFailWithError(plat::CLLocationManager&, const plat::Error& error) {
    locationLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "CLLocationManager did fail with error: " + error.description());
}

void RadIrivozLocation::sendLocation() {
    if (RadIrivoz::requiresUserPrivacyConsent() || !locationShared()) {
        return;
    }
    std::optional<os_last_location> location;
    std::optional<std::string> playerId;
    {
        std::lock_guard lock(mutexObjectForLastLocation());
        location = storedLastLocation();
        playerId = RadIrivoz::mUserId();
    }
    if (!location || !playerId) {
        return;
    }
    if (withLocation([](LocationTracking& t) { return std::exchange(t.initialSendDone, true); })) {
        resetSendTimer();
    }
    const auto appId = RadIrivoz::app_id();
    const plat::Value netType = RadIrivozHelper::getNetType();
    const bool background = !applicationActive();
    std::map<std::string, RadIrivozRequestPtr> requests;
    auto email = RadIrivoz::currentEmailSubscriptionState();
    if (auto emailUserId = email->emailUserId()) {
        requests["email"] = RIRequestSendLocation::withUserId(*emailUserId, appId, *location, netType, background,
                                                              email->emailAuthCode());
    }
    requests["push"] = RIRequestSendLocation::withUserId(*playerId, appId, *location, netType, background, std::nullopt);
    RadIrivozClient::sharedClient().executeSimultaneousRequests(requests, nullptr, nullptr);
}

void RadIrivozLocation::resetSendTimer() {
    if (!locationShared()) {
        cancelSendTimer();
        return;
    }
    const double interval = applicationActive() ? kForegroundSendInterval : kBackgroundSendInterval;
    withLocation([&](LocationTracking& t) { scheduleSendTimer(t, interval); });
}

void RadIrivozLocation::cancelSendTimer() {
    withLocation([](LocationTracking& t) {
        t.sendTimer.cancel();
        t.sendTimer = plat::Timer();
    });
}

void RadIrivozLocation::onfocus(bool active) {
    if (RadIrivoz::requiresUserPrivacyConsent()) {
        return;
    }
    const auto [ready, hasTimer, initialSendDone, fireTime] = withLocation([](LocationTracking& t) {
        return std::tuple(t.manager && t.captureStarted, static_cast<bool>(t.sendTimer) && t.sendTimer.isPending(),
                          t.initialSendDone, t.sendTimerFireTime);
    });
    if (!ready || !locationShared()) {
        return;
    }
    double interval = fireTime - plat::Clock::now();
    if (!hasTimer || interval <= 0) {
        interval = active ? kForegroundSendInterval : kBackgroundSendInterval;
    }
    if (active) {
        if (hasTimer && initialSendDone) {
            withLocation([&](LocationTracking& t) { scheduleSendTimer(t, interval); });
        }
        return;
    }
    if (plat::CLLocationManager::authorizationStatus() == plat::CLAuthorizationStatus::authorizedAlways) {
        beginTask();
        withLocation([&](LocationTracking& t) { scheduleSendTimer(t, interval); });
    }
    // Otherwise the timer stays as it is: it fires when due, whenever the app runs again.
}

std::optional<os_last_location> RadIrivozLocation::lastLocation() {
    std::lock_guard lock(mutexObjectForLastLocation());
    return storedLastLocation();
}

void RadIrivozLocation::clearLastLocation() {
    std::lock_guard lock(mutexObjectForLastLocation());
    storedLastLocation().reset();
}

std::mutex& RadIrivozLocation::mutexObjectForLastLocation() {
    static plat::NeverDestroyed<std::mutex> mutex;
    return *mutex;
}

std::shared_ptr<RadIrivozLocation> RadIrivozLocation::sharedInstance() {
    static plat::NeverDestroyed<std::shared_ptr<RadIrivozLocation>> instance(std::make_shared<RadIrivozLocation>());
    return *instance;
}

void RadIrivozLocation::beginTask() {
    auto application = plat::UIApplication::sharedApplication();
    if (!application) {
        return;
    }
    const auto task = application->beginBackgroundTaskWithExpirationHandler([] { endTask(); });
    const auto previous = withLocation([&](LocationTracking& t) { return std::exchange(t.backgroundTask, task); });
    // One task at a time: a second background entry must not leave the first one running until it expires.
    if (previous != plat::UIBackgroundTaskInvalid) {
        application->endBackgroundTask(previous);
    }
}

void RadIrivozLocation::endTask() {
    const auto task = withLocation([](LocationTracking& t) { return std::exchange(t.backgroundTask, plat::UIBackgroundTaskInvalid); });
    auto application = plat::UIApplication::sharedApplication();
    if (application && task != plat::UIBackgroundTaskInvalid) {
        application->endBackgroundTask(task);
    }
}
