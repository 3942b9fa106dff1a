#include "core/DVULogger.hpp"

#include "core/DVUAppEnvironmentUtil.hpp"
#include "deployment/Deployment.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/SystemLog.hpp"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace {

constexpr std::string_view kLoggerService = "[DVULogger]";

struct LoggerClient {
    std::once_flag once;
    // Written once by DVULoggerOpenClient; read only after `ready` was seen.
    std::shared_ptr<plat::SystemLogClient> client;
    plat::DispatchQueuePtr queue;
    std::atomic<const char*> version{""};
    std::atomic<bool> distribution{deployment::kDistributionBuild};
};

LoggerClient& state() {
    static plat::NeverDestroyed<LoggerClient> s;
    return *s;
}

int filterUpTo(long level) {
    return static_cast<int>((1L << (level + 1)) - 1);
}

} // namespace

namespace dvu_detail {

void setUpOnceSlow() {
    DVULoggerSetUpOnce();
}

void writeLine(long level, std::string_view service, std::string_view code, const std::string& message) {
    auto& s = state();
    std::string line = s.version.load(std::memory_order_relaxed);
    line += " - ";
    line += service;
    line += '[';
    line += code;
    line += "] ";
    line += message;
    s.queue->async([client = s.client, level, line = std::move(line)] {
        client->log(static_cast<int>(level), line);
    });
}

} // namespace dvu_detail

void DVULoggerSetUpOnce() {
    std::call_once(state().once, DVULoggerOpenClient);
}

void DVULoggerOpenClient() {
    auto& s = state();
    const long major = std::strtol(DVUAppEnvironmentUtil::systemVersion().c_str(), nullptr, 10);
    // Before system version 10 the device copied the logger's lines to standard error by itself.
    const std::uint32_t options = major < 10 ? plat::SystemLogClient::kOptionStandardError : 0;
    s.client = plat::SystemLogClient::open(std::nullopt, "com.razoza.utilities.logger", options);
    s.client->setFilter(filterUpTo(DVULoggerLevelNotice));
    s.queue = plat::DispatchQueue::makeSerial(
        "DVULoggingClientQueue", {.target = plat::DispatchQueue::global(plat::QueuePriority::background)});
    auto& flags = dvu_detail::loggerFlags();
    flags.level.store(DVULoggerLevelNotice, std::memory_order_relaxed);
    flags.ready.store(true, std::memory_order_release);
}

void DVULoggerCopyToStandardError() {
    DVULoggerSetUpOnce();
    // Queued like every other system-log call, so lines already on their way keep their place.
    state().queue->async([client = state().client] { client->addLogFile(STDERR_FILENO); });
}

void DVULoggerEnableDebugMode() {
    if (DVULoggerIsDistributionBuild()) {
        return;
    }
    DVULoggerSetUpOnce();
    dvu_detail::loggerFlags().debugMode.store(true, std::memory_order_relaxed);
    DVULoggerChangeLevel(DVULoggerLevelDebug);
}

void DVULoggerChangeLevel(long level) {
    if (level < DVULoggerLevelError || level > DVULoggerLevelDebug) {
        DVULoggerWriteError(kLoggerService, false, "I-COR000023", "Invalid logger level, %ld", level);
        return;
    }
    DVULoggerSetUpOnce();
    if (level >= DVULoggerLevelNotice && DVULoggerIsDistributionBuild()) {
        return;
    }
    auto& s = state();
    dvu_detail::loggerFlags().level.store(level, std::memory_order_relaxed);
    s.queue->async([client = s.client, mask = filterUpTo(level)] { client->setFilter(mask); });
}

bool DVULoggerIsLoggable(long level) {
    DVULoggerSetUpOnce();
    auto& flags = dvu_detail::loggerFlags();
    return level <= flags.level.load(std::memory_order_relaxed) ||
           flags.debugMode.load(std::memory_order_relaxed);
}

void DVULoggerSetVersion(const char* version) {
    state().version.store(version ? version : "", std::memory_order_relaxed);
}

bool DVULoggerIsDistributionBuild() {
    return state().distribution.load(std::memory_order_relaxed);
}

namespace dvu::sim {

void setDistributionBuild(bool distribution) {
    state().distribution.store(distribution, std::memory_order_relaxed);
}

} // namespace dvu::sim
