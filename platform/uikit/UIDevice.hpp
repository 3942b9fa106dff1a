#pragma once
// UIDevice and UIScreen: what the device says about itself (system, model, name, vendor identifier,
// orientation, idiom) and its screen. The answers come from a facts provider that the simulated device
// installs at boot; without one they are those of a default device. Safe to read from any thread, as
// libraries read them from their own queues.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/UUID.hpp"
#include "platform/uikit/UIKitTypes.hpp"

namespace plat {

enum class UIDeviceOrientation : int64_t {
    unknown = 0,
    portrait = 1,
    portraitUpsideDown = 2,
    landscapeLeft = 3,
    landscapeRight = 4,
    faceUp = 5,
    faceDown = 6
};

// The values of the user-interface idiom (unspecified -1, phone 0, pad 1).
inline constexpr int64_t UIUserInterfaceIdiomUnspecified = -1;
inline constexpr int64_t UIUserInterfaceIdiomPhone = 0;
inline constexpr int64_t UIUserInterfaceIdiomPad = 1;

// The facts UIDevice and UIScreen report; each answer defaults to the default device's.
class DeviceFacts {
public:
    virtual ~DeviceFacts() = default;
    virtual std::string systemName() const { return "SimOS"; }
    // The running version's text (ProcessInfo).
    virtual std::string systemVersion() const;
    virtual std::string model() const { return "SimPhone"; }
    virtual std::string name() const { return "Simulated Device"; }
    // One random identifier per process; none is allowed (the device answers nil before first unlock).
    virtual std::optional<UUID> identifierForVendor() const;
    virtual UIDeviceOrientation orientation() const { return UIDeviceOrientation::portrait; }
    virtual int64_t userInterfaceIdiom() const { return UIUserInterfaceIdiomPhone; }
    virtual CGRect screenBounds() const { return CGRect{{0, 0}, {375, 812}}; }
    virtual double screenScale() const { return 3; }
    // Whether apps may keep running in the background (background tasks, process activities).
    virtual bool multitaskingSupported() const { return true; }
};

class UIDevice {
public:
    static UIDevice& currentDevice();

    std::string systemName() const;
    std::string systemVersion() const;
    std::string model() const;
    std::string name() const;
    std::optional<UUID> identifierForVendor() const;
    UIDeviceOrientation orientation() const;
    int64_t userInterfaceIdiom() const;
    bool isMultitaskingSupported() const;
};

class UIScreen {
public:
    static UIScreen& mainScreen();

    // Follows the interface: width and height trade places while it is turned to landscape.
    CGRect bounds() const;
    double scale() const;
};

namespace sim {
// Installs the provider UIDevice and UIScreen answer from; null brings back the default device.
void setDeviceFacts(std::shared_ptr<const DeviceFacts> facts);
// The orientation the interface is shown in (set by the driver's rotation); UIScreen's bounds follow it.
void setInterfaceOrientation(UIInterfaceOrientation orientation);
} // namespace sim

} // namespace plat
