#include "platform/foundation/SystemLog.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace plat {
namespace {

struct Capture {
    std::mutex mutex;
    bool capturing = false;
    std::vector<sim::SystemLogRecord> records;
};

Capture& capture() {
    static NeverDestroyed<Capture> c;
    return *c;
}

constexpr std::string_view kLevelNames[] = {"Emergency", "Alert",  "Critical", "Error",
                                            "Warning",   "Notice", "Info",     "Debug"};

// One write with O_APPEND per line, so lines of several clients (and processes) never interleave.
void appendToFile(const std::string& line) {
    static std::mutex fileMutex;
    std::lock_guard lock(fileMutex);
    const std::string path = systemLogFilePath();
    (void)FileManager::defaultManager().createDirectory(path.substr(0, path.rfind('/')), true);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return; // the log never fails its callers
    }
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) {
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
}

} // namespace

std::string systemLogFilePath() {
    return AppHome::deviceFolder() + "/SystemLog/system.log";
}

std::shared_ptr<SystemLogClient> SystemLogClient::open(std::optional<std::string> ident, std::string facility,
                                                       std::uint32_t options) {
    return std::make_shared<SystemLogClient>(std::move(ident), std::move(facility), options);
}

SystemLogClient::SystemLogClient(std::optional<std::string> ident, std::string facility, std::uint32_t options)
    : ident_(std::move(ident)), facility_(std::move(facility)),
      standardError_((options & kOptionStandardError) != 0) {}

int SystemLogClient::setFilter(int mask) {
    std::lock_guard lock(mutex_);
    return std::exchange(filter_, mask);
}

int SystemLogClient::filter() const {
    std::lock_guard lock(mutex_);
    return filter_;
}

bool SystemLogClient::addLogFile(int descriptor) {
    if (descriptor != STDERR_FILENO) {
        return false;
    }
    std::lock_guard lock(mutex_);
    standardError_ = true;
    return true;
}

bool SystemLogClient::copiesToStandardError() const {
    std::lock_guard lock(mutex_);
    return standardError_;
}

void SystemLogClient::log(int level, std::string_view text) {
    level = std::clamp(level, 0, 7);
    if ((filter() & (1 << level)) == 0) {
        return;
    }
    const bool toStandardError = copiesToStandardError();
    {
        auto& c = capture();
        std::lock_guard lock(c.mutex);
        if (c.capturing) {
            c.records.push_back({level, facility_, std::string(text), toStandardError});
            return;
        }
    }
    std::string tagged = "<" + std::string(kLevelNames[level]) + "> " + (ident_ ? *ident_ + " " : "") +
                         facility_ + ": " + std::string(text);
    appendToFile(nslogLine(tagged, Clock::now()) + "\n");
    if (toStandardError) {
        printStandardError(text);
    }
}

namespace sim {

void SystemLog::startCapture() {
    auto& c = capture();
    std::lock_guard lock(c.mutex);
    c.capturing = true;
    c.records.clear();
}

void SystemLog::stopCapture() {
    auto& c = capture();
    std::lock_guard lock(c.mutex);
    c.capturing = false;
}

std::vector<SystemLogRecord> SystemLog::records() {
    auto& c = capture();
    std::lock_guard lock(c.mutex);
    return c.records;
}

std::vector<std::string> SystemLog::texts() {
    std::vector<std::string> out;
    for (auto& r : records()) {
        out.push_back(r.text);
    }
    return out;
}

void SystemLog::clearCaptured() {
    auto& c = capture();
    std::lock_guard lock(c.mutex);
    c.records.clear();
}

} // namespace sim
} // namespace plat
