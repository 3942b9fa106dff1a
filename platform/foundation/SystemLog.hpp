#pragma once
// The device's system log: a client opens it under a facility, sets a filter of the levels it lets through
// (0 emergency .. 7 debug), and logs lines. Lines reach the log file in the device folder and, when the
// client asked for it, standard error. Tests capture the lines instead (sim::SystemLogCapture).

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class SystemLogClient {
public:
    // Open option: copy every line that passes the filter to standard error.
    static constexpr std::uint32_t kOptionStandardError = 1;
    // Filter of a new client: levels 0 to 5 pass.
    static constexpr int kDefaultFilter = 0x3f;

    static std::shared_ptr<SystemLogClient> open(std::optional<std::string> ident, std::string facility,
                                                 std::uint32_t options);
    SystemLogClient(std::optional<std::string> ident, std::string facility, std::uint32_t options);

    // Bit n of the mask lets level n through. Returns the previous filter.
    int setFilter(int mask);
    int filter() const;
    // Also writes passing lines to this descriptor; only standard error (2) is supported, others are
    // refused with false, as the device refuses descriptors it cannot write to.
    bool addLogFile(int descriptor);

    // Levels outside 0..7 are clamped to the nearest; a line filtered out goes nowhere.
    void log(int level, std::string_view text);

    const std::string& facility() const { return facility_; }

private:
    bool copiesToStandardError() const;

    std::optional<std::string> ident_;
    std::string facility_;
    mutable std::mutex mutex_;
    int filter_ = kDefaultFilter;
    bool standardError_;
};

// Where the log file lives: `<device folder>/SystemLog/system.log`.
std::string systemLogFilePath();

namespace sim {

struct SystemLogRecord {
    int level;
    std::string facility;
    std::string text;
    bool copiedToStandardError;
};

// While capturing, lines that pass their client's filter are kept here and reach neither the file nor
// standard error.
struct SystemLog {
    static void startCapture();
    static void stopCapture();
    static std::vector<SystemLogRecord> records();
    // The texts of the kept lines, in order.
    static std::vector<std::string> texts();
    static void clearCaptured();
};

class SystemLogCapture {
public:
    SystemLogCapture() { SystemLog::startCapture(); }
    ~SystemLogCapture() { SystemLog::stopCapture(); }
    SystemLogCapture(const SystemLogCapture&) = delete;
    SystemLogCapture& operator=(const SystemLogCapture&) = delete;
    std::vector<SystemLogRecord> records() const { return SystemLog::records(); }
    std::vector<std::string> texts() const { return SystemLog::texts(); }
};

} // namespace sim
} // namespace plat
