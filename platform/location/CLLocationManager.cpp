#include "platform/location/CLLocationManager.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"

#include <optional>

namespace plat {

namespace {

// The device's side: one per process, like the positioning service.
struct LocationDevice {
    std::mutex mutex;
    bool servicesEnabled = true;
    CLAuthorizationStatus status = CLAuthorizationStatus::notDetermined;
    std::optional<CLAuthorizationStatus> promptAnswer;
    std::vector<std::weak_ptr<CLLocationManager>> managers;
    int starts = 0;
    int stops = 0;
    int requests = 0;
    int ignored = 0;
};

LocationDevice& locationDevice() {
    static NeverDestroyed<LocationDevice> device;
    return *device;
}

bool bundleHasInfoKey(const char* key) {
    auto bundle = Bundle::main();
    return bundle && bundle->objectForInfoDictionaryKey(key).has_value();
}

bool backgroundModesHoldLocation() {
    auto bundle = Bundle::main();
    auto modes = bundle ? bundle->objectForInfoDictionaryKey("UIBackgroundModes") : std::nullopt;
    if (const Array* list = modes ? modes->ifArray() : nullptr) {
        for (const Value& mode : *list) {
            if (mode.isString() && mode.asString() == "location") {
                return true;
            }
        }
    }
    return false;
}

// Tells each manager's delegate on the main queue, as the device does.
template <class Call> void tellUpdatingManagers(Call call) {
    for (auto& manager : sim::Location::updatingManagers()) {
        DispatchQueue::main()->async([manager, call] {
            if (auto delegate = manager->delegate()) {
                call(*delegate, *manager);
            }
        });
    }
}

} // namespace

std::shared_ptr<CLLocationManager> CLLocationManager::create() {
    std::shared_ptr<CLLocationManager> manager(new CLLocationManager());
    LocationDevice& device = locationDevice();
    std::lock_guard lock(device.mutex);
    std::erase_if(device.managers, [](const auto& weak) { return weak.expired(); });
    device.managers.push_back(manager);
    return manager;
}

bool CLLocationManager::locationServicesEnabled() {
    std::lock_guard lock(locationDevice().mutex);
    return locationDevice().servicesEnabled;
}

CLAuthorizationStatus CLLocationManager::authorizationStatus() {
    std::lock_guard lock(locationDevice().mutex);
    return locationDevice().status;
}

void CLLocationManager::setDelegate(const std::shared_ptr<CLLocationManagerDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

std::shared_ptr<CLLocationManagerDelegate> CLLocationManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void CLLocationManager::requestAlwaysAuthorization() {
    requestAuthorization(CLAuthorizationStatus::authorizedAlways,
                         {"NSLocationAlwaysUsageDescription", "NSLocationAlwaysAndWhenInUseUsageDescription"});
}

void CLLocationManager::requestWhenInUseAuthorization() {
    requestAuthorization(CLAuthorizationStatus::authorizedWhenInUse, {"NSLocationWhenInUseUsageDescription"});
}

void CLLocationManager::requestAuthorization(CLAuthorizationStatus wanted,
                                             std::initializer_list<const char*> usageKeys) {
    bool described = false;
    for (const char* key : usageKeys) {
        described = described || bundleHasInfoKey(key);
    }
    LocationDevice& device = locationDevice();
    CLAuthorizationStatus answer;
    {
        std::lock_guard lock(device.mutex);
        ++device.requests;
        if (!described) {
            ++device.ignored;
            return;
        }
        if (device.status != CLAuthorizationStatus::notDetermined) {
            return;
        }
        answer = device.promptAnswer.value_or(wanted);
        device.status = answer;
    }
    DispatchQueue::main()->async([self = shared_from_this(), answer] {
        if (auto delegate = self->delegate()) {
            delegate->locationManager_didChangeAuthorizationStatus(*self, answer);
        }
    });
}

void CLLocationManager::startUpdatingLocation() {
    {
        std::lock_guard lock(mutex_);
        updating_ = true;
    }
    std::lock_guard lock(locationDevice().mutex);
    ++locationDevice().starts;
}

void CLLocationManager::stopUpdatingLocation() {
    {
        std::lock_guard lock(mutex_);
        updating_ = false;
    }
    std::lock_guard lock(locationDevice().mutex);
    ++locationDevice().stops;
}

bool CLLocationManager::isUpdatingLocation() const {
    std::lock_guard lock(mutex_);
    return updating_;
}

void CLLocationManager::setAllowsBackgroundLocationUpdates(bool allows) {
    if (allows && !backgroundModesHoldLocation()) {
        Exception::raise("NSInternalInconsistencyException",
                         "Invalid parameter not satisfying: !stayUp || CLClientIsBackgroundable(internal->fClient)");
    }
    std::lock_guard lock(mutex_);
    backgroundUpdates_ = allows;
}

bool CLLocationManager::allowsBackgroundLocationUpdates() const {
    std::lock_guard lock(mutex_);
    return backgroundUpdates_;
}

double CLLocationManager::desiredAccuracy() const {
    std::lock_guard lock(mutex_);
    return desiredAccuracy_;
}

void CLLocationManager::setDesiredAccuracy(double accuracy) {
    std::lock_guard lock(mutex_);
    desiredAccuracy_ = accuracy;
}

double CLLocationManager::distanceFilter() const {
    std::lock_guard lock(mutex_);
    return distanceFilter_;
}

void CLLocationManager::setDistanceFilter(double meters) {
    std::lock_guard lock(mutex_);
    distanceFilter_ = meters;
}

// ---- driver ----

void sim::Location::install() {
    if (!rt::getClass("CLLocationManager")) {
        rt::registerClass("CLLocationManager");
    }
}

void sim::Location::setServicesEnabled(bool enabled) {
    std::lock_guard lock(locationDevice().mutex);
    locationDevice().servicesEnabled = enabled;
}

void sim::Location::setAuthorization(CLAuthorizationStatus status) {
    std::lock_guard lock(locationDevice().mutex);
    locationDevice().status = status;
}

void sim::Location::answerPrompt(CLAuthorizationStatus status) {
    std::lock_guard lock(locationDevice().mutex);
    locationDevice().promptAnswer = status;
}

void sim::Location::deliverLocations(std::vector<CLLocation> locations) {
    tellUpdatingManagers([locations = std::move(locations)](CLLocationManagerDelegate& delegate,
                                                            CLLocationManager& manager) {
        delegate.locationManager_didUpdateLocations(manager, locations);
    });
}

void sim::Location::fail(CLError code) {
    const Error error(kCLErrorDomain, static_cast<int64_t>(code));
    tellUpdatingManagers([error](CLLocationManagerDelegate& delegate, CLLocationManager& manager) {
        delegate.locationManager_didFailWithError(manager, error);
    });
}

int sim::Location::startCount() {
    std::lock_guard lock(locationDevice().mutex);
    return locationDevice().starts;
}

int sim::Location::stopCount() {
    std::lock_guard lock(locationDevice().mutex);
    return locationDevice().stops;
}

int sim::Location::authorizationRequests() {
    std::lock_guard lock(locationDevice().mutex);
    return locationDevice().requests;
}

int sim::Location::ignoredAuthorizationRequests() {
    std::lock_guard lock(locationDevice().mutex);
    return locationDevice().ignored;
}

std::vector<std::shared_ptr<CLLocationManager>> sim::Location::updatingManagers() {
    std::vector<std::shared_ptr<CLLocationManager>> out;
    std::lock_guard lock(locationDevice().mutex);
    for (const auto& weak : locationDevice().managers) {
        if (auto manager = weak.lock(); manager && manager->isUpdatingLocation()) {
            out.push_back(manager);
        }
    }
    return out;
}

} // namespace plat
