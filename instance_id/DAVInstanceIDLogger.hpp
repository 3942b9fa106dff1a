#pragma once
// The instance-ID client's message-code logger over the core logger: every line of the client carries the
// service "[Vedudodu/InstanceID]" and a code "I-IID" with six digits.

#include "core/DAVLogger.hpp"
#include "core/DVULogger.hpp"

#include <string>
#include <string_view>

class DAVInstanceIDLogger {
public:
    static constexpr std::string_view kService = "[Vedudodu/InstanceID]";

    static std::string formatMessageCode(long code);

    // The calling function's name is taken so call sites read as on the device; it is never written.
    template <class... Args>
    void logFuncDebug(const char* func, long code, std::string_view format, const Args&... args) const {
        write(DVULoggerLevelDebug, func, code, format, args...);
    }
    template <class... Args>
    void logFuncInfo(const char* func, long code, std::string_view format, const Args&... args) const {
        write(DVULoggerLevelInfo, func, code, format, args...);
    }
    template <class... Args>
    void logFuncNotice(const char* func, long code, std::string_view format, const Args&... args) const {
        write(DVULoggerLevelNotice, func, code, format, args...);
    }
    template <class... Args>
    void logFuncWarning(const char* func, long code, std::string_view format, const Args&... args) const {
        write(DVULoggerLevelWarning, func, code, format, args...);
    }
    template <class... Args>
    void logFuncError(const char* func, long code, std::string_view format, const Args&... args) const {
        write(DVULoggerLevelError, func, code, format, args...);
    }

private:
    template <class... Args>
    void write(long level, const char*, long code, std::string_view format, const Args&... args) const {
        DAVLoggerWriteMessage(level, kService, formatMessageCode(code), format, args...);
    }
};

// The one process-wide logger, made on first use.
DAVInstanceIDLogger& DAVInstanceIDSharedLogger();

#define DAVInstanceIDLoggerDebug(code, ...) DAVInstanceIDSharedLogger().logFuncDebug(__func__, code, __VA_ARGS__)
#define DAVInstanceIDLoggerInfo(code, ...) DAVInstanceIDSharedLogger().logFuncInfo(__func__, code, __VA_ARGS__)
#define DAVInstanceIDLoggerNotice(code, ...) DAVInstanceIDSharedLogger().logFuncNotice(__func__, code, __VA_ARGS__)
#define DAVInstanceIDLoggerWarning(code, ...) \
    DAVInstanceIDSharedLogger().logFuncWarning(__func__, code, __VA_ARGS__)
#define DAVInstanceIDLoggerError(code, ...) DAVInstanceIDSharedLogger().logFuncError(__func__, code, __VA_ARGS__)
