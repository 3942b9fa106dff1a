#include "measurement/engine/DMSMonitor.hpp"

#include "core/DVULogger.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/Random.hpp"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

namespace {

struct DMSMonitorObserverSlot {
    std::mutex mutex;
    DMSMonitor::Observer observer;
};

DMSMonitorObserverSlot& dmsMonitorObserverSlot() {
    static plat::NeverDestroyed<DMSMonitorObserverSlot> slot;
    return *slot;
}

std::string dmsMonitorFormatRange(int64_t low, int64_t high) {
    char text[64];
    std::snprintf(text, sizeof text, "%" PRId64 "...%" PRId64, low, high);
    return text;
}

// The decimal magnitude of a number as "low...high", computed in unsigned arithmetic so that neither 10^18
// and above nor the most negative integer overflows; the ends are capped at the 64-bit limits.
std::string dmsMonitorEncodedNumber(const plat::Value& number) {
    constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    bool negative = false;
    uint64_t magnitude = 0;
    if (number.kind() == plat::Value::Kind::UInt) {
        magnitude = number.asUInt64();
    } else {
        int64_t v = number.integerValue();
        if (v >= -99 && v <= 99) {
            return std::to_string(v);
        }
        negative = v < 0;
        magnitude = negative ? static_cast<uint64_t>(-(v + 1)) + 1 : static_cast<uint64_t>(v);
    }
    uint64_t d = 1;
    while (magnitude / d >= 10) {
        d *= 10;
    }
    // 10d - 1, or none when 10d leaves the unsigned range.
    bool tenDFits = d <= std::numeric_limits<uint64_t>::max() / 10;
    uint64_t tenDMinusOne = tenDFits ? d * 10 - 1 : std::numeric_limits<uint64_t>::max();
    if (!negative) {
        int64_t low = static_cast<int64_t>(std::min(d, kMaxPositive));
        int64_t high = static_cast<int64_t>(std::min(tenDMinusOne, kMaxPositive));
        return dmsMonitorFormatRange(low, high);
    }
    // 1 - 10d = -(10d - 1); its most negative representable value is -(2^63).
    int64_t low = tenDMinusOne > kMaxPositive ? std::numeric_limits<int64_t>::min()
                                              : -static_cast<int64_t>(tenDMinusOne);
    int64_t high = d > kMaxPositive ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(d);
    return dmsMonitorFormatRange(low, high);
}

std::optional<std::string> dmsMonitorInnermostSymbol(const DMSExceptionInfo& exception) {
    const auto& lines = exception.callStackSymbols;
    if (lines.size() <= 2) {
        return std::nullopt;
    }
    for (size_t i = 2; i < lines.size(); ++i) {
        std::istringstream words(lines[i]);
        std::vector<std::string> pieces;
        for (std::string piece; words >> piece;) {
            pieces.push_back(piece);
        }
        if (pieces.size() <= 4) {
            continue;
        }
        std::string candidate = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
        std::string folded = candidate;
        std::transform(folded.begin(), folded.end(), folded.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (folded.find("dms") != std::string::npos) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string dmsMonitorRenderedContext(const DMSLogContext& context) {
    if (const auto* exception = std::get_if<DMSExceptionInfo>(&context)) {
        if (auto symbol = dmsMonitorInnermostSymbol(*exception)) {
            return *symbol + ": " + exception->description();
        }
        return exception->description();
    }
    if (const auto* error = std::get_if<plat::Error>(&context)) {
        return error->description();
    }
    const auto& value = std::get<plat::Value>(context);
    return value.isNull() ? std::string("(nil)") : value.description();
}

} // namespace

std::atomic<bool> DMSMonitor::observerInstalled_{false};

// MARK: - Console lines

void DMSASLLogger::logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                              int64_t logLevel) {
    // The message is used as a format: a "%" of its own must come out as it is.
    std::string escaped;
    escaped.reserve(message.size());
    for (char c : message) {
        escaped += c;
        if (c == '%') {
            escaped += '%';
        }
    }
    char code[32];
    std::snprintf(code, sizeof code, "I-ACS%06ld", static_cast<long>(messageCode));
    DVULoggerWriteMessage(DVULoggerLevelFromLogLevel(logLevel), logTag, logLevel == 7, code, escaped);
}

// MARK: - Sampled data

DMSMonitoringSampledData::DMSMonitoringSampledData(const std::optional<plat::Value>& entry) {
    if (entry && isValidUserDefaultsArrayEntry(*entry)) {
        entry_ = entry->asArray();
    }
}

bool DMSMonitoringSampledData::isValidUserDefaultsArrayEntry(const plat::Value& entry) {
    const plat::Array* array = entry.ifArray();
    return array && array->size() == 4 && (*array)[0].isString() && (*array)[1].isNumber() &&
           (*array)[2].isString() && (*array)[3].isDate();
}

std::string DMSMonitoringSampledData::monitoringURLParamWithKey(const std::string& key, int64_t population,
                                                                const std::string& context) {
    std::string param = std::to_string(population) + ":" + key;
    if (!context.empty()) {
        param += ":" + context;
    }
    return param;
}

plat::Array DMSMonitoringSampledData::sampledDataEntryWithKey(const std::string& key, plat::Date timestamp,
                                                              const std::string& context, int64_t population) {
    return plat::Array{plat::Value(context), plat::Value(population), plat::Value(key), plat::Value(timestamp)};
}

void DMSMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                const std::string& encodedContext) {
    if (!entry_) {
        entry_ = sampledDataEntryWithKey(key, plat::Date::now(), encodedContext, 1);
        return;
    }
    int64_t population = (*entry_)[1].integerValue() + 1;
    (*entry_)[1] = plat::Value(population);
    // Reservoir sampling of one: every counted message is equally likely to be the one kept.
    if (plat::Random::uniform(static_cast<uint32_t>(std::min<int64_t>(population, UINT32_MAX))) == 0) {
        (*entry_)[0] = plat::Value(encodedContext);
        (*entry_)[2] = plat::Value(key);
    }
}

std::optional<std::string> DMSMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
    double now = plat::Clock::now();
    if (entry_) {
        double start = (*entry_)[3].asDate().timeIntervalSince1970();
        if (!(start < now - samplePeriod)) {
            return std::nullopt;
        }
        std::string param = monitoringURLParamWithKey((*entry_)[2].asString(), (*entry_)[1].integerValue(),
                                                      (*entry_)[0].asString());
        entry_.reset();
        return param;
    }
    if (lastSampledTimestamp > 0 && std::fabs(lastSampledTimestamp - now) > samplePeriod) {
        return std::string("0:");
    }
    return std::nullopt;
}

// MARK: - Monitor

DMSMonitor::DMSMonitor(int64_t libraryVersion) : DMSMonitor(6, std::make_shared<DMSASLLogger>(), libraryVersion) {}

DMSMonitor::DMSMonitor(int64_t logLevel, std::shared_ptr<DMSLogging> logger, int64_t libraryVersion)
    : logLevel_(logLevel), logger_(std::move(logger)), libraryVersion_(libraryVersion),
      queue_(plat::DispatchQueue::makeSerial(
          "DMSMonitorQueue", plat::QueueOptions{.target = plat::DispatchQueue::global(plat::QueuePriority::background)})),
      monitorDefaults_(std::make_unique<DMSUserDefaults>(std::string(kMonitorSuiteName))),
      sampledData_(std::make_unique<DMSMonitoringSampledData>(std::nullopt)) {
    queue_->async([this] {
        migrateMonitoringData();
        loadSampledData();
    });
    applyDebugModeFromLaunch();
}

DMSMonitor::~DMSMonitor() {
    // Queued console writes and sample updates still refer to this monitor.
    queue_->sync([] {});
}

void DMSMonitor::migrateMonitoringData() {
    auto& standard = DMSUserDefaults::standardUserDefaults();
    int64_t state = monitorDefaults_->integerForKey(kMigrationStateKey);
    if (state == 2) {
        return;
    }
    if (state == 0) {
        if (!monitorDefaults_->objectForKey(kHealthMonitorKey)) {
            if (auto old = standard.arrayForKey(kHealthMonitorKey)) {
                monitorDefaults_->setObject(plat::Value(*old), kHealthMonitorKey);
            }
        }
        monitorDefaults_->setInteger(1, kMigrationStateKey);
        monitorDefaults_->synchronize();
    }
    standard.removeObjectForKey(kHealthMonitorKey);
    standard.synchronize();
    monitorDefaults_->setInteger(2, kMigrationStateKey);
    monitorDefaults_->synchronize();
}

void DMSMonitor::loadSampledData() {
    sampledData_ = std::make_unique<DMSMonitoringSampledData>(monitorDefaults_->objectForKey(kHealthMonitorKey));
}

void DMSMonitor::saveSampledData() {
    auto entry = sampledData_->sampledData();
    monitorDefaults_->setObject(entry ? std::optional<plat::Value>(plat::Value(*entry)) : std::nullopt,
                                kHealthMonitorKey);
    monitorDefaults_->synchronize();
}

void DMSMonitor::applyDebugModeFromLaunch() {
    auto arguments = plat::ProcessInfo::processInfo().arguments();
    auto given = [&arguments](std::string_view argument) {
        return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
    };
    if (given("-noAPMAnalyticsDebugEnabled") || given("-noDAVAnalyticsDebugEnabled") || given("-DAVDebugDisabled")) {
        setDebugModeEnabled(false);
    } else if (DMSUserDefaults::standardUserDefaults().boolForKey(kDebugModeKey)) {
        setDebugModeEnabled(true);
    } else if (given("-DMSAnalyticsDebugEnabled") || given("-DAVAnalyticsDebugEnabled") || given("-DAVDebugEnabled")) {
        setDebugModeEnabled(true);
    }
}

void DMSMonitor::setDebugModeEnabled(bool enabled) {
    auto& standard = DMSUserDefaults::standardUserDefaults();
    if (enabled) {
        logLevel_.store(7);
        DVULoggerChangeLevel(DVULoggerLevelDebug);
        standard.setBool(true, kDebugModeKey);
        debugModeEnabled_.store(true);
        logWithLevel(7, 24000, "Debug mode is on");
    } else {
        logLevel_.store(6);
        DVULoggerChangeLevel(DVULoggerLevelNotice);
        standard.removeObjectForKey(kDebugModeKey);
        logWithLevel(7, 24001, "Debug mode is off");
        debugModeEnabled_.store(false);
    }
}

std::string DMSMonitor::logTag() const {
    std::lock_guard lock(tagMutex_);
    return logTag_;
}

void DMSMonitor::setLogTag(std::string tag) {
    std::lock_guard lock(tagMutex_);
    logTag_ = std::move(tag);
}

void DMSMonitor::setObserverForTesting(Observer observer) {
    auto& slot = dmsMonitorObserverSlot();
    std::lock_guard lock(slot.mutex);
    observerInstalled_.store(static_cast<bool>(observer));
    slot.observer = std::move(observer);
}

void DMSMonitor::logWithLevel_contexts(int64_t level, int64_t code, std::optional<std::string_view> message,
                                       const DMSLogContexts& contexts) {
    if (observed()) {
        Observer observer;
        {
            auto& slot = dmsMonitorObserverSlot();
            std::lock_guard lock(slot.mutex);
            observer = slot.observer;
        }
        if (observer) {
            observer(level, code, message ? std::optional<std::string>(*message) : std::nullopt, contexts);
        }
    }
    bool loggable = isLoggableLevel(level);
    bool monitorable = isMonitorableLevel(level);
    if (loggable) {
        std::string text = stringWithLogMessage(message, level, contexts, encodeContexts());
        queue_->async([logger = logger_, text = std::move(text), tag = logTag(), code, level] {
            logger->logMessage(text, tag, code, level);
        });
    }
    if (monitorable) {
        std::string encoded = encodedStringWithContextArray(contexts, false);
        std::string fromErrors = DMSMonitorContextFromErrors(contexts);
        if (!fromErrors.empty()) {
            encoded += "," + fromErrors;
        }
        std::string key = monitoringDataKeyWithMessage(message.value_or(""), level, libraryVersion_);
        queue_->async([this, key = std::move(key), encoded = std::move(encoded)] {
            sampledData_->insertOrUpdateSampledDataWithKey(key, encoded);
            saveSampledData();
        });
    }
}

std::optional<std::string> DMSMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                                  double lastSampledTimestamp) {
    return queue_->sync([&]() -> std::optional<std::string> {
        auto result = sampledData_->monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
        if (result && !sampledData_->sampledData()) {
            saveSampledData();
        }
        return result;
    });
}

void DMSMonitor::clearMonitoringData() {
    queue_->sync([this] {
        auto& standard = DMSUserDefaults::standardUserDefaults();
        standard.removeObjectForKey(kDebugModeKey);
        standard.removeObjectForKey(kHealthMonitorKey);
        monitorDefaults_->removeObjectForKey(kHealthMonitorKey);
        loadSampledData();
    });
}

std::optional<plat::Array> DMSMonitor::sampledData() {
    return queue_->sync([this] { return sampledData_->sampledData(); });
}

std::string DMSMonitor::logLevelDescriptionFromLogLevel(int64_t level) {
    if (level >= 0 && level <= 2) {
        return "ERROR";
    }
    if (level >= 3 && level <= 5) {
        return "WARNING";
    }
    if (level == 6) {
        return "NOTICE";
    }
    if (level == 7) {
        return "DEBUG";
    }
    return {};
}

std::string DMSMonitor::encodedStringWithContextObject(const DMSLogContext& context) {
    if (const auto* exception = std::get_if<DMSExceptionInfo>(&context)) {
        return dmsMonitorInnermostSymbol(*exception).value_or("-");
    }
    if (const auto* error = std::get_if<plat::Error>(&context)) {
        return error->domain.empty() ? std::string("-") : error->domain;
    }
    const auto& value = std::get<plat::Value>(context);
    if (value.isNull()) {
        return {};
    }
    if (value.isString()) {
        return "-";
    }
    if (value.isNumber()) {
        return dmsMonitorEncodedNumber(value);
    }
    return "?";
}

std::string DMSMonitor::encodedStringWithContextArray(const DMSLogContexts& contexts, bool insertSpaces) {
    std::string joined;
    for (size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) {
            joined += insertSpaces ? ", " : ",";
        }
        joined += encodedStringWithContextObject(contexts[i]);
    }
    return joined;
}

std::string DMSMonitor::stringWithLogMessage(std::optional<std::string_view> message, int64_t /*level*/,
                                             const DMSLogContexts& contexts, bool encodeContexts) {
    std::string text = !message ? std::string("(Message was nil)")
                       : message->empty() ? std::string("(Message was empty)")
                                          : std::string(*message);
    if (contexts.empty()) {
        return text;
    }
    text += ": ";
    if (encodeContexts) {
        return text + encodedStringWithContextArray(contexts, true);
    }
    for (size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += dmsMonitorRenderedContext(contexts[i]);
    }
    return text;
}

std::string DMSMonitor::lastAPMSymbolFromException(const DMSExceptionInfo& exception) {
    return dmsMonitorInnermostSymbol(exception).value_or(exception.name);
}

std::string DMSMonitor::monitoringDataKeyWithMessage(std::string_view message, int64_t level,
                                                     int64_t libraryVersion) {
    char letter = level >= 0 && level <= 2 ? 'E' : level >= 3 && level <= 5 ? 'W' : '?';
    return std::string("1") + letter + "_" + std::to_string(libraryVersion) + ":" + std::string(message);
}
