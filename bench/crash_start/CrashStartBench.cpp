// The crash reporter's start as the kit host asks for it: `+[Vuzidorazav initializeIfNeeded]` until it
// returns, on a fresh app home (the controller, its folders, the crash-time context with its metadata and
// binary images, the handlers), against `VZRContextInitialize` alone on an identical fresh home with the
// values the controller passes. Both start only once per process, so every sample is a process of its own
// (this program again, in child mode), booted on the simulated device before its clock starts; the two
// kinds run in turns. The event kit is not loaded, so the start ends with the crash reporter's own work.
//
//   bench_crash_start [RUNS]     (default 30 of each)
//   bench_crash_start --child start|context DIR     (one sample: prints microseconds)

#include "crash/Vuzidorazav.hpp"
#include "crash/capture/VZRContext.hpp"

#include "kit_host/Zuvadu.hpp"

#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using StartClock = std::chrono::steady_clock;

constexpr const char* kStartBundleIdentifier = "com.example.crashstart";

double microsSinceStart(StartClock::time_point start) {
    return std::chrono::duration<double, std::micro>(StartClock::now() - start).count();
}

// The app a run starts: its bundle with the kit host's API key, and an empty home beside it.
bool writeStartApp(const std::string& dir) {
    std::error_code error;
    fs::create_directories(dir + "/App.app", error);
    const plat::Dictionary info{
        {"CFBundleIdentifier", plat::Value(kStartBundleIdentifier)},
        {"CFBundleShortVersionString", plat::Value("1.0")},
        {"CFBundleVersion", plat::Value("1")},
        {"Zuvadu", plat::Value(plat::Dictionary{{"APIKey", plat::Value("0123456789abcdef0123456789abcdef01234567")}})}};
    auto bytes = plat::PropertyListSerialization::data(plat::Value(info), plat::PropertyListSerialization::Format::XML);
    return !error && bytes && plat::writeData(dir + "/App.app/Info.plist", *bytes);
}

// One sample, in the child: boots the device on DIR's app, then times the one call.
int runStartChild(const std::string& kind, const std::string& dir) {
    // Class load, before the platform's first thread.
    plat::rt::Class* kit = Vuzidorazav::runtimeClass();
    plat::Backend::select(plat::BackendKind::threaded);
    plat::DeviceConfig config;
    config.appHome = dir + "/home";
    config.bundlePath = dir + "/App.app";
    if (!plat::boot(config).ok())
        return 3;
    // The platform's worker pool starts on its first use; in an app the device and the kit host used it long
    // before a kit starts, so both kinds of sample find it running.
    plat::DispatchGroup warm;
    warm.async(plat::DispatchQueue::global(plat::QueuePriority::defaultPriority), [] {});
    if (!warm.wait(5.0))
        return 7;
    double micros = 0;
    if (kind == "start") {
        // The kit host's own state comes first, as its start makes it before it calls a kit.
        if (!Zuvadu::sharedSDK().APIKey())
            return 6;
        const auto start = StartClock::now();
        plat::rt::msgSend(*kit, plat::rt::sel("initializeIfNeeded"));
        micros = microsSinceStart(start);
        if (!Vuzidorazav::sharedInstance()->isVuzidorazavStarted())
            return 4;
    } else {
        // The folder and the values the controller hands over, made before the clock starts.
        const std::string report = dir + "/home/Library/Caches/report";
        if (!plat::FileManager::defaultManager().createDirectory(report, true))
            return 5;
        VZRContextInitData data;
        data.apiKey = "0123456789abcdef0123456789abcdef01234567";
        data.activeDirectory = report.c_str();
        data.sessionId = "0123456789ABCDEF0123456789ABCDEF";
        data.installId = "01234567-89AB-CDEF-0123-456789ABCDEF";
        data.machExceptionMask = 0x2 | 0x4 | 0x8 | 0x400;
        data.errorReportingEnabled = true;
        data.customExceptionsEnabled = true;
        data.maxCustomExceptions = 16;
        data.logBufferSize = 65536;
        data.maxCustomKeys = 16;
        const auto start = StartClock::now();
        const bool ok = VZRContextInitialize(&data);
        micros = microsSinceStart(start);
        if (!ok)
            return 4;
    }
    std::printf("%.1f\n", micros);
    std::fflush(stdout);
    ::_exit(0); // the sample is taken; the platform's threads need no orderly end
}

double medianOf(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs one child on a fresh app and reads its sample; negative when it failed.
double sampleOnce(const std::string& self, const std::string& kind, const std::string& root, int run) {
    const std::string dir = root + "/run" + std::to_string(run);
    std::error_code error;
    fs::remove_all(dir, error);
    if (!writeStartApp(dir))
        return -1;
    int out[2];
    if (::pipe(out) != 0)
        return -1;
    std::vector<std::string> words{self, "--child", kind, dir};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while (spawned && (n = ::read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    const bool exited = spawned && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    fs::remove_all(dir, error);
    return exited && !text.empty() ? std::atof(text.c_str()) : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--child")
        return runStartChild(argv[2], argv[3]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const char* tmp = std::getenv("TMPDIR");
    const std::string root =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_crash_start." + std::to_string(::getpid());
    std::vector<double> starts;
    std::vector<double> contexts;
    int failed = 0;
    int run = 0;
    for (int i = 0; i < runs; ++i) {
        const double start = sampleOnce(self, "start", root, run++);
        const double context = sampleOnce(self, "context", root, run++);
        if (start < 0 || context < 0) {
            ++failed;
            continue;
        }
        starts.push_back(start);
        contexts.push_back(context);
    }
    std::error_code error;
    fs::remove_all(root, error);
    if (starts.empty()) {
        std::fprintf(stderr, "no run succeeded\n");
        return 1;
    }
    const double s = medianOf(starts);
    const double c = medianOf(contexts);
    const auto [sMin, sMax] = std::minmax_element(starts.begin(), starts.end());
    const auto [cMin, cMax] = std::minmax_element(contexts.begin(), contexts.end());
    std::printf("runs: %zu of %d (in turns, each a fresh process and app home)%s\n", starts.size(), runs,
                failed ? ", some failed" : "");
    std::printf("+[Vuzidorazav initializeIfNeeded]: median %.2f ms (%.2f-%.2f)\n", s / 1000, *sMin / 1000,
                *sMax / 1000);
    std::printf("VZRContextInitialize alone:        median %.2f ms (%.2f-%.2f)\n", c / 1000, *cMin / 1000,
                *cMax / 1000);
    std::printf("ratio: %.2fx; goal: the whole start under 20 ms: %s\n", c > 0 ? s / c : 0,
                s < 20000 ? "met" : "not met");
    return 0;
}
