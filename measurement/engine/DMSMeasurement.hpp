#pragma once
// The measurement controller. So far only the process-wide monitor it hands out.

#include <cstdint>

class DMSMonitor;

class DMSMeasurement {
public:
    static constexpr int64_t kLibraryVersion = 50300;
    // Made once, on first use, and kept for the life of the process.
    static DMSMonitor& monitor();
};
