#pragma once
// The device's location service: whether it is on, the app's authorisation, and managers that ask for
// permission and deliver fixes to their delegate on the main queue. Present only once installed
// (sim::Location::install registers the "CLLocationManager" class), as on a device where an app may run
// without the location framework. The driver (sim::Location) plays the user and the positioning hardware.

#include "platform/foundation/Date.hpp"
#include "platform/foundation/Error.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace plat {

enum class CLAuthorizationStatus : int64_t {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorizedAlways = 3,
    authorizedWhenInUse = 4,
};

// Errors come in kCLErrorDomain (Error.hpp).
enum class CLError : int64_t { locationUnknown = 0, denied = 1, network = 2 };

struct CLLocationCoordinate2D {
    double latitude = 0;
    double longitude = 0;
};

struct CLLocation {
    CLLocationCoordinate2D coordinate;
    double horizontalAccuracy = 0;
    double verticalAccuracy = 0;
    Date timestamp;
};

class CLLocationManager;

// The optional delegate methods; each does nothing unless overridden.
class CLLocationManagerDelegate {
public:
    virtual ~CLLocationManagerDelegate() = default;
    virtual void locationManager_didUpdateLocations(CLLocationManager&, const std::vector<CLLocation>&) {}
    virtual void locationManager_didFailWithError(CLLocationManager&, const Error&) {}
    virtual void locationManager_didChangeAuthorizationStatus(CLLocationManager&, CLAuthorizationStatus) {}
};

class CLLocationManager : public std::enable_shared_from_this<CLLocationManager> {
public:
    static std::shared_ptr<CLLocationManager> create();

    static bool locationServicesEnabled();
    static CLAuthorizationStatus authorizationStatus();

    // Held weakly.
    void setDelegate(const std::shared_ptr<CLLocationManagerDelegate>& delegate);
    std::shared_ptr<CLLocationManagerDelegate> delegate() const;

    // Ignored (and counted as such) when the bundle lacks the usage text the device requires; from
    // notDetermined the user's prompt answer sets the status, told to the delegate on the main queue.
    void requestAlwaysAuthorization();
    void requestWhenInUseAuthorization();
    void startUpdatingLocation();
    void stopUpdatingLocation();
    bool isUpdatingLocation() const;

    // Raises NSInternalInconsistencyException when turned on without "location" in UIBackgroundModes.
    void setAllowsBackgroundLocationUpdates(bool allows);
    bool allowsBackgroundLocationUpdates() const;
    double desiredAccuracy() const;
    void setDesiredAccuracy(double accuracy);
    double distanceFilter() const;
    void setDistanceFilter(double meters);

private:
    CLLocationManager() = default;
    void requestAuthorization(CLAuthorizationStatus wanted, std::initializer_list<const char*> usageKeys);

    mutable std::mutex mutex_;
    std::weak_ptr<CLLocationManagerDelegate> delegate_;
    bool updating_ = false;
    bool backgroundUpdates_ = false;
    double desiredAccuracy_ = -1; // best
    double distanceFilter_ = -1;  // none
};

namespace sim {

class Location {
public:
    // Registers the "CLLocationManager" class: code that looks the framework up by name finds it from now on.
    static void install();
    static void setServicesEnabled(bool enabled);
    static void setAuthorization(CLAuthorizationStatus status);
    // What the user answers the next prompts (default: the kind asked for).
    static void answerPrompt(CLAuthorizationStatus status);
    // Every manager that is updating hears the fixes on the main queue.
    static void deliverLocations(std::vector<CLLocation> locations);
    // Every manager that is updating hears the error (kCLErrorDomain) on the main queue.
    static void fail(CLError code);

    static int startCount();
    static int stopCount();
    static int authorizationRequests();
    // Requests dropped for a missing usage text.
    static int ignoredAuthorizationRequests();
    static std::vector<std::shared_ptr<CLLocationManager>> updatingManagers();
};

} // namespace sim

} // namespace plat
