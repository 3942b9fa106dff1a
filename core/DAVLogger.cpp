#include "core/DAVLogger.hpp"

#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/UserDefaults.hpp"

#include <algorithm>
#include <mutex>

namespace {

constexpr const char* kCoreVersion = "5.12.0";
constexpr std::string_view kDebugModeKey = "/razoza/vedudodu/debug_mode";

void setUp() {
    DVULoggerSetVersion(kCoreVersion);
    const auto arguments = plat::ProcessInfo::processInfo().arguments();
    auto given = [&](std::string_view a) { return std::find(arguments.begin(), arguments.end(), a) != arguments.end(); };
    const bool forceStandardError = given("-DAVLoggerForceSTDERR");

    auto& defaults = plat::UserDefaults::standardUserDefaults();
    const bool stored = defaults.boolean(kDebugModeKey);
    bool debugMode = false;
    if (given("-DAVDebugDisabled")) {
        defaults.remove(kDebugModeKey);
    } else if (stored || given("-DAVDebugEnabled")) {
        defaults.setBool(kDebugModeKey, true);
        debugMode = true;
    }

    DVULoggerSetUpOnce();
    if (forceStandardError) {
        DVULoggerCopyToStandardError();
    }
    if (debugMode) {
        DVULoggerEnableDebugMode();
    }
}

} // namespace

void DAVLoggerSetUpOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        setUp();
        dav_detail::coreLoggerFlag().ready.store(true, std::memory_order_release);
    });
}

void DAVLoggerChangeLevel(long level) {
    DAVLoggerSetUpOnce();
    DVULoggerChangeLevel(level);
}
