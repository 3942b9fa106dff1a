// A process for tests that must crash or must run the crash-time context on real threads: it takes an app
// home and a command, initialises the context with a fixed configuration on the threaded backend, and does
// what the command says. It is built without sanitizer instrumentation: the faults it provokes must reach
// the kernel's default action, not a sanitizer's report.
//
//   crash_probe HOME init            initialise, wait until protected, exit 0
//   crash_probe HOME allocator       create a second allocator and print its layout
//   crash_probe HOME guard N         write into guard page N (0, 1, 2) of a second allocator
//   crash_probe HOME below-stack     write just below the signal stack
//   crash_probe HOME write-readonly  write into the read-only context after protection
//   crash_probe HOME compact-die N   fill the user key store through one compaction, then die inside the
//                                    next one at its step N (1: new file written, 2: renamed over the old)
// The report folder is HOME/report.

#include "crash/capture/VZRAllocator.hpp"
#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRUserLogging.hpp"
#include "crash/capture/tests/FixedConfig.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The sanitizer runtimes that the instrumented libraries need are linked in; their fault handlers are not.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0";
}
extern "C" const char* __ubsan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0";
}

namespace {

[[noreturn]] void finish(int status) {
    std::fflush(stdout);
    std::_Exit(status);
}

// The protection comes from a group notification on a global queue after initialisation returned.
bool waitUntilInitialized() {
    for (int i = 0; i < 5000 && !VZRContextIsInitialized(); ++i) {
        const timespec millisecond{0, 1000000};
        ::nanosleep(&millisecond, nullptr);
    }
    return VZRContextIsInitialized();
}

void poke(void* at) {
    *static_cast<volatile char*>(at) = 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crash_probe HOME COMMAND [ARG]\n");
        return 2;
    }
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    plat::Backend::select(plat::BackendKind::threaded);
    const std::string home = argv[1];
    const std::string command = argv[2];
    plat::AppHome::configure(home);
    if (!plat::AppHome::createFolders())
        finish(3);
    const std::string report = home + "/report";
    if (!plat::FileManager::defaultManager().createDirectory(report, true))
        finish(3);

    VZRContextInitData config = crashtest::fixedConfig();
    config.activeDirectory = report.c_str();
    if (!VZRContextInitialize(&config))
        finish(4);
    if (!waitUntilInitialized())
        finish(5);

    if (command == "init")
        finish(0);
    if (command == "compact-die") {
        const int step = argc > 3 ? std::atoi(argv[3]) : 1;
        auto drain = [] { VZRContextLoggingQueue()->sync([] {}); };
        VZRUserLoggingRecordUserKeyValue("old", plat::Value("kept"));
        for (int i = 0; i < 63; ++i)
            VZRUserLoggingRecordUserKeyValue("a" + std::to_string(i % 3), plat::Value(int64_t{i}));
        drain();
        VZRUserLoggingSetCompactionStepHookForTesting([step](int at) {
            if (at == step)
                finish(9); // as abrupt as a crash: no unwinding, nothing flushed
        });
        for (int i = 0; i < 64; ++i)
            VZRUserLoggingRecordUserKeyValue("b" + std::to_string(i % 3), plat::Value(int64_t{i}));
        drain();
        finish(0);
    }
    if (command == "allocator" || command == "guard") {
        VZRAllocator* allocator = VZRAllocatorCreate(544872, 17056);
        if (!allocator)
            finish(6);
        if (command == "guard") {
            poke(VZRAllocatorGuardPage(allocator, argc > 3 ? std::atoi(argv[3]) : 0));
            finish(0);
        }
        std::printf("writable %zu\nreadonly %zu\npage %zu\n", allocator->readOnly.base - allocator->writable.base -
                                                                   allocator->pageSize,
                    allocator->readOnlySize, allocator->pageSize);
        std::printf("mapping %p %p %p %zu\n", allocator->mapping, reinterpret_cast<void*>(allocator->writable.base),
                    reinterpret_cast<void*>(allocator->readOnly.base), allocator->mappingSize / 1024);
        finish(0);
    }
    if (command == "below-stack") {
        poke(static_cast<char*>(VZRSharedContext().readonly.load()->signalStack) - 1);
        finish(0);
    }
    if (command == "write-readonly") {
        poke(VZRSharedContext().readonly.load());
        finish(0);
    }
    std::fprintf(stderr, "crash_probe: unknown command %s\n", command.c_str());
    finish(2);
}
