#pragma once
// The device's position for the push player: permission as far as the app's Info.plist allows, one fix per
// start, sent right away and then on a timer (300 s while active, 585 s otherwise), and handed to the next
// registration. The location framework is optional: the manager class is looked up by name. Class methods
// over process-wide state; the shared instance is the manager's delegate.

#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "platform/location/CLLocationManager.hpp"

#include <memory>
#include <mutex>
#include <optional>

class RadIrivozLocation : public plat::CLLocationManagerDelegate {
public:
    static constexpr double kForegroundSendInterval = 300.0;
    static constexpr double kBackgroundSendInterval = 585.0;

    // Starts capture (after 2 s the first time); `prompt` allows asking for permission.
    static void getLocation(bool prompt);
    static void internalGetLocation(bool prompt);
    // True when the app became active, false when it entered the background.
    static void onfocus(bool active);
    static void sendLocation();
    static void resetSendTimer();
    // Stops the periodic sends (the app no longer shares its location).
    static void cancelSendTimer();
    static std::optional<os_last_location> lastLocation();
    static void clearLastLocation();
    static std::mutex& mutexObjectForLastLocation();
    static std::shared_ptr<RadIrivozLocation> sharedInstance();
    static void beginTask();
    static void endTask();

    void locationManager_didUpdateLocations(plat::CLLocationManager& manager,
                                            const std::vector<plat::CLLocation>& locations) override;
    void locationManager_didFailWithError(plat::CLLocationManager& manager, const plat::Error& error) override;
};
