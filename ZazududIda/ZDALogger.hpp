#pragma once
// The event kit's debug console: lines prefixed "[Zuvidir] " (or "[Zuvidir:<label>] "), written to the
// console only while debug mode is on. Debug mode follows the kit host's debug flag.

#include "platform/foundation/Format.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <atomic>
#include <string>
#include <string_view>

class ZDALogger {
public:
    static ZDALogger& sharedLogger();

    bool debugMode() const { return debugMode_.load(std::memory_order_relaxed); }
    void setDebugMode(bool on) { debugMode_.store(on, std::memory_order_relaxed); }

    template <class... Args> void log(std::string_view format, const Args&... args) {
        if (debugMode()) {
            logText(plat::format(format, args...));
        }
    }
    template <class... Args> void logWithLabel(std::string_view label, std::string_view format, const Args&... args) {
        if (debugMode()) {
            logText(label, plat::format(format, args...));
        }
    }

private:
    ZDALogger() = default;
    template <class> friend class plat::NeverDestroyed;
    void logText(std::string_view text);
    void logText(std::string_view label, std::string_view text);

    std::atomic<bool> debugMode_{false};
};
