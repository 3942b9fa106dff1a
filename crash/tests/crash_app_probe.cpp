// An app in a few lines, as the relaunch tests start it: boots the device on HOME/home with the bundle
// HOME/App.app, gives the crash reporter a delegate that prints each report of an earlier launch, starts the
// kit host with the Vuzidorazav class (the event kit comes along), then either provokes the named fault or,
// with "upload", stays until the test has seen what it waits for (it creates HOME/stop) or 30 s passed.
//   crash_app_probe HOME segv|abort|bus|fpe|ill|cxx|overflow|upload
// Lines on stdout: "execution <id>", "report <id> crashed <seconds since 1970 or none>", "stopped".
// The back ends come from PORTAL_APP_RESOLVE and PORTAL_APP_CA_FILE.

#include "ZazududIda/Zuvidir.hpp"
#include "crash/Vuzidorazav.hpp"

#include "kit_host/Zuvadu.hpp"

#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Runtime.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

// The faults are the crash reporter's to catch, not the sanitizer's.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0";
}
extern "C" const char* __ubsan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0";
}

namespace {

std::string app_probe_home;

[[noreturn]] void appProbeFinish(int status) {
    std::fflush(nullptr);
    ::_exit(status);
}

__attribute__((noinline, used)) void app_probe_segv() {
    volatile uintptr_t nowhere = 8;
    *reinterpret_cast<volatile int*>(nowhere) = 1;
}

__attribute__((noinline, used)) void app_probe_bus() {
    const std::string path = app_probe_home + "/empty";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    (void)*static_cast<volatile char*>(page);
}

__attribute__((noinline, used)) void app_probe_fpe() {
    volatile int zero = 0;
    volatile int numerator = 7;
    volatile int result = numerator / zero;
    (void)result;
}

__attribute__((noinline, used)) void app_probe_ill() {
    __builtin_trap();
}

__attribute__((noinline, used)) void app_probe_cxx() {
    throw std::runtime_error("the probe's uncaught exception");
}

std::atomic<int> app_probe_depth_limit{-1};

__attribute__((noinline, used)) int app_probe_recurse(int depth) {
    volatile char frame[64];
    frame[depth % 64] = static_cast<char>(depth);
    if (depth == app_probe_depth_limit.load())
        return 0;
    return app_probe_recurse(depth + 1) + frame[(depth + 1) % 64];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crash_app_probe HOME COMMAND\n");
        return 2;
    }
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::alarm(60);
    app_probe_home = argv[1];
    const std::string command = argv[2];
    // Class load, before the platform's first thread.
    Vuzidorazav::runtimeClass();
    Zuvidir::runtimeClass();
    plat::Backend::select(plat::BackendKind::threaded);
    plat::sim::Process::setArguments({"crash_app_probe", "-DAVDebugEnabled"});
    plat::DeviceConfig config;
    config.appHome = app_probe_home + "/home";
    config.bundlePath = app_probe_home + "/App.app";
    if (!plat::boot(config).ok())
        appProbeFinish(3);

    namespace rt = plat::rt;
    rt::Class* delegateClass = rt::registerClass("AppProbeCrashDelegate");
    rt::addMethod(delegateClass, "vuzidorazavDidDetectReportForLastExecution:completionHandler:",
                  [](rt::Object&, std::shared_ptr<VZRReport> report, std::function<void(bool)> done) {
                      const auto crashed = report->crashedOnDate();
                      std::printf("report %s crashed %s\n", report->identifier().c_str(),
                                  crashed ? std::to_string(static_cast<long long>(crashed->timeIntervalSince1970())).c_str()
                                          : "none");
                      std::fflush(stdout);
                      done(true);
                  });
    Vuzidorazav::sharedInstance()->setDelegate(rt::createInstance(delegateClass));
    Zuvadu::with({Vuzidorazav::runtimeClass()});
    std::printf("execution %s\n", Zuvadu::sharedSDK().executionIdentifier().c_str());
    std::fflush(stdout);
    // The main queue's first pass: the launch counts as one that got going.
    plat::Virtual::runUntil([] { return false; }, 0.3);

    using Fault = void (*)();
    static const std::pair<const char*, Fault> faults[] = {
        {"segv", &app_probe_segv}, {"bus", &app_probe_bus}, {"fpe", &app_probe_fpe},
        {"ill", &app_probe_ill},   {"abort", [] { std::abort(); }}, {"cxx", &app_probe_cxx},
        {"overflow", [] { (void)app_probe_recurse(0); }},
    };
    if (command == "overflow") {
        const rlimit stack{1024 * 1024, 1024 * 1024};
        ::setrlimit(RLIMIT_STACK, &stack);
    }
    for (const auto& [name, fault] : faults) {
        if (command == name) {
            fault();
            appProbeFinish(0);
        }
    }
    if (command == "upload") {
        const std::string stop = app_probe_home + "/stop";
        plat::Virtual::runUntil([&] { return ::access(stop.c_str(), F_OK) == 0; }, 30);
        std::printf("stopped\n");
        appProbeFinish(0);
    }
    std::fprintf(stderr, "crash_app_probe: unknown command %s\n", command.c_str());
    appProbeFinish(2);
}
