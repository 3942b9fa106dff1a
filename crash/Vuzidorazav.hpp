#pragma once
// The crash reporter's public object and its kit: runtime class "Vuzidorazav", declaring the kit protocol
// "ZUVKit", whose class methods the kit host calls ("bundleIdentifier", "kitDisplayVersion",
// "kitBuildVersion", "initializeIfNeeded", "sharedInstance"). Starting it brings up crash reporting once per
// process.

#include "crash/capture/VZRVersion.hpp"
#include "platform/runtime/Class.hpp"
#include "platform/runtime/Object.hpp"

#include <atomic>
#include <memory>

class Vuzidorazav : public plat::rt::Object {
public:
    static constexpr const char* kBundleIdentifier = "com.ruzovid.vuzidorazav.ios";
    static constexpr const char* kDisplayVersion = kVZRDisplayVersion;
    static constexpr const char* kBuildVersion = kVZRBuildVersion;

    explicit Vuzidorazav(plat::rt::Class* cls) : plat::rt::Object(cls) {}

    // Registered with its class methods on first use.
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<Vuzidorazav> sharedInstance();

    // Once per process; later calls do nothing.
    void start();
    bool hasStarted() const { return started_.load(); }

private:
    std::atomic<bool> started_{false};
};
