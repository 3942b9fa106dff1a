#pragma once
// Facts about the running process and the simulated device's OS version, as the system asks for them.
// Arguments, environment and OS version can be injected by the device boot and by tests (`sim::Process`).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

template <class> class NeverDestroyed;

struct OperatingSystemVersion {
    std::int64_t majorVersion = 0;
    std::int64_t minorVersion = 0;
    std::int64_t patchVersion = 0;

    // "12.4" or "12.4.1" (a patch of 0 is left out, as the device's version text does).
    std::string text() const;
    // Parses "X", "X.Y" or "X.Y.Z" (digits only); none for anything else.
    static std::optional<OperatingSystemVersion> parse(std::string_view text);
    friend auto operator<=>(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

class ProcessInfo {
public:
    static ProcessInfo& processInfo();

    std::vector<std::string> arguments() const;
    // The real environment with the test overlay applied.
    std::map<std::string, std::string> environment() const;
    // One variable, through the overlay.
    std::optional<std::string> environmentValue(std::string_view name) const;
    // Changes whenever sim::Process changes the environment's overlay. A reader that parses a variable
    // on a hot path keeps what it parsed until then: the process's own environment is the one it was
    // launched with.
    std::uint64_t environmentOverlayGeneration() const;

    std::string processName() const;
    void setProcessName(std::string name);
    int processIdentifier() const;
    // Unique per call and per process: "<UUID>-<pid>-<counter as 16 hex digits>".
    std::string globallyUniqueString() const;

    OperatingSystemVersion operatingSystemVersion() const;
    std::string operatingSystemVersionString() const; // "Version 12.4"
    bool isOperatingSystemAtLeast(const OperatingSystemVersion& version) const;

    unsigned processorCount() const;
    std::uint64_t physicalMemory() const;
    double systemUptime() const;
    bool isLowPowerModeEnabled() const;

    // Activities are only recorded: nothing on Linux throttles the process.
    std::uint64_t beginActivity(std::uint64_t options, std::string reason);
    void endActivity(std::uint64_t token);

private:
    template <class> friend class NeverDestroyed;
    ProcessInfo() = default;
};

namespace sim {

// Test and boot controls of ProcessInfo.
struct Process {
    static void setArguments(std::vector<std::string> arguments);
    // Overlays one variable: a value replaces the real one, none hides it.
    static void setEnvironment(std::string name, std::optional<std::string> value);
    static void clearEnvironmentOverlay();
    static void setOperatingSystemVersion(OperatingSystemVersion version);
    static void setLowPowerMode(bool enabled);

    struct Activity {
        std::uint64_t token;
        std::uint64_t options;
        std::string reason;
        bool ended;
    };
    static std::vector<Activity> activities();

    // Ends the process as the device ends an app or an extension: preferences still waiting for their delayed
    // write are written and the standard streams flushed, then the process ends without unwinding. Queues and
    // URL sessions may still have threads running, and static destructors would free what those threads use.
    // Under AddressSanitizer the leak check that the exit handler would have made runs first.
    [[noreturn]] static void end(int status);
};

} // namespace sim
} // namespace plat
