#pragma once
// The utility logger: every line goes to the system log on the private queue "DVULoggingClientQueue",
// filtered by one process-wide level. The analytics client writes through it directly, so its levels,
// arguments and line format ("<version> - <service>[<code>] <message>") are fixed.
//
// The filter runs on the caller's thread before any formatting, so a filtered call costs two loads and a
// compare. Messages are formatted with plat::format: the text of an argument is never taken as a format.

#include "platform/foundation/Format.hpp"

#include <atomic>
#include <string>
#include <string_view>

// The system-log levels the loggers use.
enum DVULoggerLevel : long {
    DVULoggerLevelError = 3,
    DVULoggerLevelWarning = 4,
    DVULoggerLevelNotice = 5,
    DVULoggerLevelInfo = 6,
    DVULoggerLevelDebug = 7,
};

namespace dvu_detail {

struct LoggerFlags {
    std::atomic<bool> ready{false};
    std::atomic<long> level{DVULoggerLevelNotice};
    std::atomic<bool> debugMode{false};
};

// Constant-initialised, so reading it takes no guard.
inline LoggerFlags& loggerFlags() {
    static LoggerFlags flags;
    return flags;
}

void setUpOnceSlow();

// Whether a line of this level is written now; runs the one-time setup first.
inline bool shouldWrite(long level, bool force) {
    auto& flags = loggerFlags();
    if (!flags.ready.load(std::memory_order_acquire)) [[unlikely]] {
        setUpOnceSlow();
    }
    return force || level <= flags.level.load(std::memory_order_relaxed) ||
           flags.debugMode.load(std::memory_order_relaxed);
}

// Builds the line of a message that passed the filter and queues its write.
void writeLine(long level, std::string_view service, std::string_view code, const std::string& message);

} // namespace dvu_detail

void DVULoggerSetUpOnce();
// Opens the system-log client (facility "com.razoza.utilities.logger"), the level, the filter and the queue.
// DVULoggerSetUpOnce calls it once; it is not meant to be called again.
void DVULoggerOpenClient();
// From now on every written line is also copied to standard error.
void DVULoggerCopyToStandardError();
// Makes every level loggable for the rest of the process (refused in a distribution build).
void DVULoggerEnableDebugMode();
// Levels outside 3..7 are reported (I-COR000023) and ignored; a distribution build keeps Warning or lower.
void DVULoggerChangeLevel(long level);
bool DVULoggerIsLoggable(long level);
// The version printed at the head of each line. The text must outlive the process (a constant).
void DVULoggerSetVersion(const char* version);
// Whether this build is a distribution build, where levels above Warning and debug mode are refused.
// Starts as the build setting.
bool DVULoggerIsDistributionBuild();

template <class... Args>
void DVULoggerWriteMessage(long level, std::string_view service, bool force, std::string_view code,
                           std::string_view format, const Args&... args) {
    if (!dvu_detail::shouldWrite(level, force)) {
        return;
    }
    dvu_detail::writeLine(level, service, code, plat::format(format, args...));
}

template <class... Args>
void DVULoggerWriteError(std::string_view service, bool force, std::string_view code, std::string_view format,
                         const Args&... args) {
    DVULoggerWriteMessage(DVULoggerLevelError, service, force, code, format, args...);
}
template <class... Args>
void DVULoggerWriteWarning(std::string_view service, bool force, std::string_view code, std::string_view format,
                           const Args&... args) {
    DVULoggerWriteMessage(DVULoggerLevelWarning, service, force, code, format, args...);
}
template <class... Args>
void DVULoggerWriteNotice(std::string_view service, bool force, std::string_view code, std::string_view format,
                          const Args&... args) {
    DVULoggerWriteMessage(DVULoggerLevelNotice, service, force, code, format, args...);
}
template <class... Args>
void DVULoggerWriteInfo(std::string_view service, bool force, std::string_view code, std::string_view format,
                        const Args&... args) {
    DVULoggerWriteMessage(DVULoggerLevelInfo, service, force, code, format, args...);
}
template <class... Args>
void DVULoggerWriteDebug(std::string_view service, bool force, std::string_view code, std::string_view format,
                         const Args&... args) {
    DVULoggerWriteMessage(DVULoggerLevelDebug, service, force, code, format, args...);
}

// For callers that hold a level in a variable and log without force.
struct DVULoggerWrapper {
    template <class... Args>
    static void logWithLevel(long level, std::string_view service, std::string_view code, std::string_view format,
                             const Args&... args) {
        DVULoggerWriteMessage(level, service, false, code, format, args...);
    }
};

namespace dvu::sim {
// Test control: act as a distribution build or not, whatever the build setting says.
void setDistributionBuild(bool distribution);
} // namespace dvu::sim
