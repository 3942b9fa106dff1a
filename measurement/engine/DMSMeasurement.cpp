#include "measurement/engine/DMSMeasurement.hpp"

#include "measurement/engine/DMSMonitor.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

DMSMonitor& DMSMeasurement::monitor() {
    static plat::NeverDestroyed<DMSMonitor> shared(kLibraryVersion);
    return *shared;
}
