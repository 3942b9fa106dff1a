#pragma once
// The log event whose encoding the tests know by heart: 25 bytes, kCoreLogGoldenEventHex.

#include "core/CoreLogMessages.hpp"

inline constexpr const char* kCoreLogGoldenEventHex =
    "08 fb d0 95 ff bc 31 32 03 01 02 03 88 01 88 27 a0 01 01 a0 01 02 a0 01 03";

inline std::shared_ptr<DLCPBLogEvent> coreLogGoldenEvent() {
    auto e = DLCPBLogEvent::init();
    NANOSetInt64(e, DLCPBLogEvent::kEventTimeMs, 1700000000123);
    NANOSetInt64(e, DLCPBLogEvent::kEventUptimeMs, 5000);
    NANOSetBytes(e, DLCPBLogEvent::kSourceExtension, plat::Value(plat::Data{1, 2, 3}));
    NANOSetArray(e, DLCPBLogEvent::kTestCode, plat::Array{plat::Value(1), plat::Value(2), plat::Value(3)});
    return e;
}
