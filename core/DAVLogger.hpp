#pragma once
// The core logger: the utility logger with the core's launch switches ("-DAVDebugEnabled",
// "-DAVDebugDisabled", "-DAVLoggerForceSTDERR") and the core's version at the head of each line. Debug
// mode switched on by a launch argument persists in the user defaults until a launch turns it off.

#include "core/DVULogger.hpp"

namespace dav_detail {
struct CoreLoggerFlag {
    std::atomic<bool> ready{false};
};
inline CoreLoggerFlag& coreLoggerFlag() {
    static CoreLoggerFlag flag;
    return flag;
}
} // namespace dav_detail

// Reads the launch arguments and the stored debug switch, then sets the utility logger up. Runs once, from
// the first call of any function below.
// The service the core's own lines are written under.
inline constexpr std::string_view kDAVLoggerCore = "[Vedudodu/Core]";

void DAVLoggerSetUpOnce();
void DAVLoggerChangeLevel(long level);

template <class... Args>
void DAVLoggerWriteMessage(long level, std::string_view service, std::string_view code, std::string_view format,
                           const Args&... args) {
    if (!dav_detail::coreLoggerFlag().ready.load(std::memory_order_acquire)) [[unlikely]] {
        DAVLoggerSetUpOnce();
    }
    DVULoggerWriteMessage(level, service, false, code, format, args...);
}

template <class... Args>
void DAVLoggerWriteError(std::string_view service, std::string_view code, std::string_view format,
                         const Args&... args) {
    DAVLoggerWriteMessage(DVULoggerLevelError, service, code, format, args...);
}
template <class... Args>
void DAVLoggerWriteWarning(std::string_view service, std::string_view code, std::string_view format,
                           const Args&... args) {
    DAVLoggerWriteMessage(DVULoggerLevelWarning, service, code, format, args...);
}
template <class... Args>
void DAVLoggerWriteDebug(std::string_view service, std::string_view code, std::string_view format,
                         const Args&... args) {
    DAVLoggerWriteMessage(DVULoggerLevelDebug, service, code, format, args...);
}

struct DAVLoggerWrapper {
    template <class... Args>
    static void logWithLevel(long level, std::string_view service, std::string_view code, std::string_view format,
                             const Args&... args) {
        DAVLoggerWriteMessage(level, service, code, format, args...);
    }
};
