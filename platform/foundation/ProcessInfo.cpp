#include "platform/foundation/ProcessInfo.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/UUID.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <atomic>
#include <mutex>
#include <thread>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

namespace plat {
namespace {

struct State {
    std::mutex mutex;
    std::optional<std::vector<std::string>> arguments;
    std::map<std::string, std::optional<std::string>, std::less<>> overlay;
    std::atomic<std::uint64_t> overlayGeneration{0};
    std::optional<std::string> processName;
    OperatingSystemVersion osVersion{12, 4, 0};
    bool lowPower = false;
    std::uint64_t nextActivity = 1;
    std::vector<sim::Process::Activity> activities;
    std::uint64_t uniqueCounter = 0;
};

State& state() {
    static NeverDestroyed<State> s;
    return *s;
}

std::vector<std::string> readCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        out.emplace_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

} // namespace

std::string OperatingSystemVersion::text() const {
    std::string s = std::to_string(majorVersion) + "." + std::to_string(minorVersion);
    if (patchVersion != 0)
        s += "." + std::to_string(patchVersion);
    return s;
}

std::optional<OperatingSystemVersion> OperatingSystemVersion::parse(std::string_view text) {
    std::int64_t parts[3] = {0, 0, 0};
    int count = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    while (true) {
        if (count == 3 || p == end || *p < '0' || *p > '9')
            return std::nullopt;
        auto [next, ec] = std::from_chars(p, end, parts[count]);
        if (ec != std::errc())
            return std::nullopt;
        ++count;
        p = next;
        if (p == end)
            break;
        if (*p != '.')
            return std::nullopt;
        ++p;
    }
    return OperatingSystemVersion{parts[0], parts[1], parts[2]};
}

ProcessInfo& ProcessInfo::processInfo() {
    static NeverDestroyed<ProcessInfo> info;
    return *info;
}

std::vector<std::string> ProcessInfo::arguments() const {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.arguments)
        s.arguments = readCommandLine();
    return *s.arguments;
}

std::map<std::string, std::string> ProcessInfo::environment() const {
    std::map<std::string, std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string_view::npos)
            env.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
    }
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (const auto& [name, value] : s.overlay) {
        if (value)
            env[name] = *value;
        else
            env.erase(name);
    }
    return env;
}

std::optional<std::string> ProcessInfo::environmentValue(std::string_view name) const {
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        auto it = s.overlay.find(name);
        if (it != s.overlay.end())
            return it->second;
    }
    const char* v = ::getenv(std::string(name).c_str());
    return v ? std::optional<std::string>(v) : std::nullopt;
}

std::uint64_t ProcessInfo::environmentOverlayGeneration() const {
    return state().overlayGeneration.load(std::memory_order_acquire);
}

std::string ProcessInfo::processName() const {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.processName ? *s.processName : std::string(program_invocation_short_name);
}

void ProcessInfo::setProcessName(std::string name) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.processName = std::move(name);
}

int ProcessInfo::processIdentifier() const {
    return static_cast<int>(::getpid());
}

std::string ProcessInfo::globallyUniqueString() const {
    auto& s = state();
    std::uint64_t n;
    {
        std::lock_guard lock(s.mutex);
        n = ++s.uniqueCounter;
    }
    char tail[64];
    std::snprintf(tail, sizeof tail, "-%d-%016llX", processIdentifier(), static_cast<unsigned long long>(n));
    return UUID::random().uuidString() + tail;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.osVersion;
}

std::string ProcessInfo::operatingSystemVersionString() const {
    return "Version " + operatingSystemVersion().text();
}

bool ProcessInfo::isOperatingSystemAtLeast(const OperatingSystemVersion& version) const {
    return operatingSystemVersion() >= version;
}

unsigned ProcessInfo::processorCount() const {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

std::uint64_t ProcessInfo::physicalMemory() const {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
}

double ProcessInfo::systemUptime() const {
    return Clock::uptime();
}

bool ProcessInfo::isLowPowerModeEnabled() const {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.lowPower;
}

std::uint64_t ProcessInfo::beginActivity(std::uint64_t options, std::string reason) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::uint64_t token = s.nextActivity++;
    s.activities.push_back({token, options, std::move(reason), false});
    return token;
}

void ProcessInfo::endActivity(std::uint64_t token) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& a : s.activities)
        if (a.token == token)
            a.ended = true;
}

namespace sim {

void Process::setArguments(std::vector<std::string> arguments) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.arguments = std::move(arguments);
}

void Process::setEnvironment(std::string name, std::optional<std::string> value) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.overlay[std::move(name)] = std::move(value);
    s.overlayGeneration.fetch_add(1, std::memory_order_release);
}

void Process::clearEnvironmentOverlay() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.overlay.clear();
    s.overlayGeneration.fetch_add(1, std::memory_order_release);
}

void Process::setOperatingSystemVersion(OperatingSystemVersion version) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.osVersion = version;
}

void Process::setLowPowerMode(bool enabled) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.lowPower = enabled;
}

std::vector<Process::Activity> Process::activities() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.activities;
}

void Process::end(int status) {
    Preferences::flushAll();
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    std::_Exit(status);
}

} // namespace sim
} // namespace plat
