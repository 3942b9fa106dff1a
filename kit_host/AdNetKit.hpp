#pragma once
// The kit that stands for the ad SDK in the kit list (runtime class "AdNetKit", class methods only): the
// kit host appends it when the ad SDK's class is present, so its version reaches the back end.

#include "platform/runtime/Class.hpp"

class AdNetKit {
public:
    static constexpr const char* kBundleIdentifier = "com.razoza.adnet.ios";
    static constexpr const char* kDisplayVersion = "0.0.0";
    // Registered with its class methods on first use.
    static plat::rt::Class* runtimeClass();
};
