#pragma once
// The measurement controller. So far only the process-wide monitor it hands out.

#include <cstdint>
#include <memory>

class DMSMonitor;
class DMSRemoteConfig;

class DMSMeasurement {
public:
    static constexpr int64_t kLibraryVersion = 50300;
    // Made once, on first use, and kept for the life of the process.
    static DMSMonitor& monitor();
    // The settings in force: the controller's configuration, else the default instance.
    static DMSRemoteConfig& remoteConfig();
    // Until the controller exists, suites hand the accessor a configuration of their own (none: the default).
    static void setRemoteConfigForTesting(std::shared_ptr<DMSRemoteConfig> remoteConfig);
};
