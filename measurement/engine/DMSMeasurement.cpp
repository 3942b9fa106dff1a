#include "measurement/engine/DMSMeasurement.hpp"

#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

DMSMonitor& DMSMeasurement::monitor() {
    static plat::NeverDestroyed<DMSMonitor> shared(kLibraryVersion);
    return *shared;
}

namespace {
// Read and written from the worker queue only, like the settings themselves.
std::shared_ptr<DMSRemoteConfig>& measurementRemoteConfigOverride() {
    static plat::NeverDestroyed<std::shared_ptr<DMSRemoteConfig>> remoteConfig;
    return *remoteConfig;
}
} // namespace

DMSRemoteConfig& DMSMeasurement::remoteConfig() {
    if (auto& remoteConfig = measurementRemoteConfigOverride()) {
        return *remoteConfig;
    }
    return DMSRemoteConfig::defaultInstance();
}

void DMSMeasurement::setRemoteConfigForTesting(std::shared_ptr<DMSRemoteConfig> remoteConfig) {
    measurementRemoteConfigOverride() = std::move(remoteConfig);
}
