#pragma once
// The measurement client's one diagnostics channel: each message has a level (0-7), a code and a text, with
// context values behind it. A message may go to the console through the utility logger and, at some levels,
// into one privacy-reduced sample kept in the monitor's preference suite and uploaded with the bundles. The
// monitor also owns the debug mode switched by the launch arguments.

#include "core/DVULogger.hpp"
#include "measurement/messages/DMSLogContext.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Value.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class DMSUserDefaults;

// Where console lines go.
class DMSLogging {
public:
    virtual ~DMSLogging() = default;
    virtual void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                            int64_t logLevel) = 0;
};

// Console lines through the utility logger: "I-ACS%06ld" codes, the level mapped, forced only at level 7.
class DMSASLLogger : public DMSLogging {
public:
    void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                    int64_t logLevel) override;
    static constexpr long DVULoggerLevelFromLogLevel(int64_t logLevel) {
        if (logLevel >= 0 && logLevel <= 2) {
            return DVULoggerLevelError;
        }
        if (logLevel >= 3 && logLevel <= 5) {
            return DVULoggerLevelWarning;
        }
        if (logLevel == 6) {
            return DVULoggerLevelNotice;
        }
        if (logLevel == 7) {
            return DVULoggerLevelDebug;
        }
        return DVULoggerLevelWarning;
    }
};

// At most one sampled message: [encoded context, population, key, start date].
class DMSMonitoringSampledData {
public:
    // A stored entry of the wrong shape is dropped.
    explicit DMSMonitoringSampledData(const std::optional<plat::Value>& entry);
    void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                         double lastSampledTimestamp);
    std::optional<plat::Array> sampledData() const { return entry_; }

    static bool isValidUserDefaultsArrayEntry(const plat::Value& entry);
    static std::string monitoringURLParamWithKey(const std::string& key, int64_t population,
                                                 const std::string& context);
    static plat::Array sampledDataEntryWithKey(const std::string& key, plat::Date timestamp,
                                               const std::string& context, int64_t population);

private:
    std::optional<plat::Array> entry_;
};

class DMSMonitor {
public:
    static constexpr const char* kMonitorSuiteName = "com.razoza.rmp.measurement.monitor";
    static constexpr const char* kHealthMonitorKey = "/razoza/measurement/health_monitor";
    static constexpr const char* kMigrationStateKey = "/razoza/measurement/monitor_migration_state";
    static constexpr const char* kDebugModeKey = "/razoza/measurement/debug_mode";
    static constexpr const char* kDefaultLogTag = "<VivEduzavedovo>";

    // = initWithLogLevel:logger:libraryVersion: with 6 and a new DMSASLLogger.
    explicit DMSMonitor(int64_t libraryVersion);
    DMSMonitor(int64_t logLevel, std::shared_ptr<DMSLogging> logger, int64_t libraryVersion);
    ~DMSMonitor();
    DMSMonitor(const DMSMonitor&) = delete;
    DMSMonitor& operator=(const DMSMonitor&) = delete;

    // The fixed-arity forms; a context is a value (nullptr for the null object), an error or an exception.
    // The level is tested inline, before any context is built: a filtered debug line costs the caller a few
    // loads and compares and no call.
    template <class... Contexts>
    void logWithLevel(int64_t level, int64_t code, std::optional<std::string_view> message,
                      const Contexts&... contexts) {
        if (!observed() && !isMonitorableLevel(level) && !isLoggableLevel(level)) [[likely]] {
            return;
        }
        logPassedFilter(level, code, message, contexts...);
    }
    void logWithLevel_contexts(int64_t level, int64_t code, std::optional<std::string_view> message,
                               const DMSLogContexts& contexts);

    void setDebugModeEnabled(bool enabled);
    bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
    int64_t logLevel() const { return logLevel_.load(); }
    void setLogLevel(int64_t level) { logLevel_.store(level); }
    bool encodeContexts() const { return encodeContexts_.load(); }
    void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
    std::string logTag() const;
    void setLogTag(std::string tag);
    int64_t libraryVersion() const { return libraryVersion_; }

    // Waits for the monitor queue; never call from it.
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                         double lastSampledTimestamp);
    void clearMonitoringData();
    // The current sample entry (waits for the monitor queue).
    std::optional<plat::Array> sampledData();

    // Inline with the utility logger's own filter: a debug line in a normal run costs a few compares.
    bool isLoggableLevel(int64_t level) const {
        return level >= 0 && !isSilentLevel(level) &&
               dvu_detail::shouldWrite(DMSASLLogger::DVULoggerLevelFromLogLevel(level), false);
    }

    static std::string logLevelDescriptionFromLogLevel(int64_t level);
    static constexpr bool isSilentLevel(int64_t level) {
        return level > 7 || (level >= 0 && ((0x24 >> level) & 1));
    }
    static constexpr bool isMonitorableLevel(int64_t level) {
        return level > 7 || (level >= 0 && ((0x36 >> level) & 1));
    }
    static std::string encodedStringWithContextArray(const DMSLogContexts& contexts, bool insertSpaces);
    static std::string stringWithLogMessage(std::optional<std::string_view> message, int64_t level,
                                            const DMSLogContexts& contexts, bool encodeContexts);
    static std::string encodedStringWithContextObject(const DMSLogContext& context);
    static std::string lastAPMSymbolFromException(const DMSExceptionInfo& exception);
    static std::string monitoringDataKeyWithMessage(std::string_view message, int64_t level,
                                                    int64_t libraryVersion);

    // Test control: sees every call (level, code, message, contexts) before any filtering.
    using Observer =
        std::function<void(int64_t level, int64_t code, const std::optional<std::string>& message,
                           const DMSLogContexts& contexts)>;
    static void setObserverForTesting(Observer observer);

private:
    // Out of line, so that the filter above stays small enough to inline everywhere.
    template <class... Contexts>
    [[gnu::noinline]] void logPassedFilter(int64_t level, int64_t code,
                                           std::optional<std::string_view> message,
                                           const Contexts&... contexts) {
        logWithLevel_contexts(level, code, message, DMSLogContexts{toContext(contexts)...});
    }
    static DMSLogContext toContext(const DMSLogContext& c) { return c; }
    static DMSLogContext toContext(const plat::Error& e) { return e; }
    static DMSLogContext toContext(const DMSExceptionInfo& e) { return e; }
    static DMSLogContext toContext(std::nullptr_t) { return plat::Value(); }
    template <class T> static DMSLogContext toContext(const T& v) { return plat::Value(v); }
    static bool observed() { return observerInstalled_.load(std::memory_order_relaxed); }

    void migrateMonitoringData();
    void loadSampledData();
    void saveSampledData();
    void applyDebugModeFromLaunch();

    static std::atomic<bool> observerInstalled_;

    std::atomic<int64_t> logLevel_;
    std::shared_ptr<DMSLogging> logger_;
    int64_t libraryVersion_;
    plat::DispatchQueuePtr queue_;
    std::unique_ptr<DMSUserDefaults> monitorDefaults_;
    std::atomic<bool> debugModeEnabled_{false};
    std::atomic<bool> encodeContexts_{false};
    mutable std::mutex tagMutex_;
    std::string logTag_ = kDefaultLogTag;
    // Touched only on queue_.
    std::unique_ptr<DMSMonitoringSampledData> sampledData_;
};
