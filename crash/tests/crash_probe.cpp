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
//   crash_probe HOME symbolicate DIR  symbolicate the report folder DIR of an earlier run and exit
//   crash_probe HOME FAULT [--threads N] [--block-signals] [--exiting-threads] [--debugger]
//       with the crash handlers installed: segv, abort, fpe, ill, bus, sys, trap, overflow, overflow-worker,
//       cxx, cxx-string, cxx-cstr, cxx-int, chain (main -> foo() in libcrash_probe_lib.so -> a caller whose
//       last instruction calls a function that never returns -> a leaf faulting on its first instruction), plat-exception, app-handler-before, app-handler-after,
//       terminate-before, terminate-after, double, segv-queue, segv-thread, wait (for a signal from outside), mach-sim, mach-foreign, mach-mask, mach-nothread, handlers (prints
//       which handled signals still have the application's handler installed before start-up).
//       --threads N parks N threads (half on labelled platform queues) inside probe_park_a -> _b -> _c;
//       --depth D adds D frames below each parked chain; --stamp FILE and --minimal-handler serve the
//       benchmark (bench/crash_signal);
//       --capture-timeout-ms T waits up to T ms (not 100) for each thread to answer the capture signal;
//       --stack-limit K lowers the main thread's stack limit to K KiB before the command;
//       --hold-malloc (crash_probe_malloc only) parks a thread inside malloc holding the allocator's lock.
// The report folder is HOME/report. Before a fault the probe writes HOME/symbols: "name start size" for main
// and every probe_* function, so a test can place recorded addresses without this process's layout.

#include "crash/VZRProcessReportOperation.hpp"
#include "crash/VZRReport.hpp"
#include "crash/VZRSymbolResolver.hpp"
#include "crash/capture/VZRAllocator.hpp"
#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRCrashHandlers.hpp"
#include "crash/capture/VZRException.hpp"
#include "crash/capture/VZRMachException.hpp"
#include "crash/capture/VZRProcess.hpp"
#include "crash/capture/VZRSignal.hpp"
#include "crash/capture/VZRUserLogging.hpp"
#include "crash/capture/tests/FixedConfig.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/FileManager.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// The sanitizer runtimes that the instrumented libraries need are linked in; their fault handlers are not.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0";
}
extern "C" const char* __ubsan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0";
}


// What the uncaught C++ exception case throws (global scope: its mangled name is "5MyErr").
struct MyErr : std::exception {
    const char* what() const noexcept override { return "x"; }
};

void foo();
extern "C" void (*crash_probe_lib_target)();

// A fault chain whose layout symbolication depends on: probe_chain_caller's last instruction is a call that
// never returns, so its return address is probe_chain_leaf's first byte; the leaf faults on its first
// instruction. probe_chain_callee is local, so only the file's symbol table names it.
extern "C" void probe_chain_caller();
__asm__(R"(
    .text
    .globl probe_chain_caller
    .type probe_chain_caller, @function
probe_chain_caller:
    .cfi_startproc
    xorl %edi, %edi
    call probe_chain_callee
    .cfi_endproc
    .size probe_chain_caller, .-probe_chain_caller
    .globl probe_chain_leaf
    .type probe_chain_leaf, @function
probe_chain_leaf:
    .cfi_startproc
    movl (%rdi), %eax
    ret
    .cfi_endproc
    .size probe_chain_leaf, .-probe_chain_leaf
    .type probe_chain_callee, @function
probe_chain_callee:
    .cfi_startproc
    call probe_chain_leaf
    ud2
    .cfi_endproc
    .size probe_chain_callee, .-probe_chain_callee
)");

// The probe's own functions carry C names, so dladdr names them plainly in the symbols file and the tests.
extern "C" {

std::atomic<int> probe_parked{0};
pid_t probe_parked_tids[256];
const char* probe_home = nullptr;

// Each fault function keeps a frame of its own (a volatile local), so the frame-pointer chain leads from the
// fault through the caller to main.
int* volatile probe_null = nullptr;

__attribute__((noinline, used)) void probe_fault_chain() {
    volatile int frame = 0;
    crash_probe_lib_target = &probe_chain_caller;
    foo();
    (void)frame;
}

__attribute__((noinline, used)) void probe_fault_segv() {
    volatile int frame = 0;
    *probe_null = frame;
}

__attribute__((noinline, used)) void probe_fault_abort() {
    volatile int frame = 0;
    (void)frame;
    std::abort();
}

__attribute__((noinline, used)) void probe_fault_fpe() {
    volatile int zero = 0;
    volatile int numerator = 7;
    volatile int result = numerator / zero;
    (void)result;
}

__attribute__((noinline, used)) void probe_fault_ill() {
    volatile int frame = 0;
    (void)frame;
    __builtin_trap();
}

// Reading a page of a mapped empty file: the page lies past the end of the file.
__attribute__((noinline, used)) void probe_fault_bus() {
    const std::string path = std::string(probe_home) + "/empty";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    (void)*static_cast<volatile char*>(page);
}

__attribute__((noinline, used)) void probe_fault_sys() {
    volatile int frame = 0;
    (void)frame;
    // What raise() does, made here so the interrupted pc is this function's own.
    long result;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(SYS_tgkill), "D"(::getpid()), "S"(::syscall(SYS_gettid)), "d"(SIGSYS)
                 : "rcx", "r11", "memory");
}

__attribute__((noinline, used)) void probe_fault_trap() {
    volatile int frame = 0;
    (void)frame;
    asm volatile("int3");
}

// Ends only by overflowing the stack (the depth check never holds; it keeps the compiler from calling this
// infinite).
std::atomic<int> probe_depth_limit{-1};

__attribute__((noinline, used)) int probe_recurse(int depth) {
    volatile char frame[64];
    frame[depth % 64] = static_cast<char>(depth);
    if (depth == probe_depth_limit.load())
        return 0;
    return probe_recurse(depth + 1) + frame[(depth + 1) % 64]; // not a tail call
}

__attribute__((noinline, used)) void probe_fault_overflow() {
    probe_recurse(0);
}

// A system call made here directly, so the interrupted pc and frame pointer are this function's.
__attribute__((noinline, used)) void probe_park_c(int index) {
    probe_parked_tids[index] = static_cast<pid_t>(::syscall(SYS_gettid));
    probe_parked.fetch_add(1);
    while (probe_depth_limit.load() != -2) { // never: the thread stays here
        long result;
        asm volatile("syscall" : "=a"(result) : "a"(SYS_pause) : "rcx", "r11", "memory");
    }
}

__attribute__((noinline, used)) void probe_park_b(int index) {
    probe_park_c(index);
    asm volatile("");
}

__attribute__((noinline, used)) void probe_park_a(int index) {
    probe_park_b(index);
    asm volatile("");
}

// `depth` more frames below the parked chain.
__attribute__((noinline, used)) void probe_park_deep(int index, int depth) {
    if (depth <= 0)
        probe_park_a(index);
    else
        probe_park_deep(index, depth - 1);
    asm volatile("");
}

// The benchmark's baseline: one fixed 256-byte record to a descriptor opened beforehand, the time after it,
// then the default action.
int probe_minimal_fd = -1;
volatile int64_t* probe_stamp = nullptr;

void probe_minimal_handler(int signal, siginfo_t*, void*) {
    static const char record[256] = "{\"signal\":{\"number\":11}}\n";
    (void)!::write(probe_minimal_fd, record, sizeof record);
    if (probe_stamp)
        probe_stamp[1] = plat::Clock::monotonicNanos();
    ::signal(signal, SIG_DFL);
}

// Only crash_probe_malloc has these: its allocator stand-in.
__attribute__((weak)) void probe_malloc_hold();
__attribute__((weak)) bool probe_malloc_is_held();

void app_handler(int, siginfo_t*, void*) {
    ::_exit(42);
}

void probe_uncaught(const plat::Exception&) {}

void probe_terminate() {
    const std::string path = std::string(probe_home) + "/terminate-marker";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::close(fd);
    std::abort();
}

__attribute__((noinline, used)) void probe_throw(const char* what) {
    const std::string kind = what;
    if (kind == "cxx")
        throw MyErr();
    if (kind == "cxx-string")
        throw std::string("boom");
    if (kind == "cxx-cstr")
        throw "boom";
    if (kind == "cxx-int")
        throw 7;
    VZRExceptionRaiseTestException();
}

} // extern "C"

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


void writeSymbols(const std::string& home) {
    const std::string path = home + "/symbols";
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out)
        return;
    const void* functions[] = {
        ::dlsym(RTLD_DEFAULT, "main"),
        reinterpret_cast<const void*>(&probe_fault_segv),
        reinterpret_cast<const void*>(&probe_fault_abort),
        reinterpret_cast<const void*>(&probe_fault_fpe),
        reinterpret_cast<const void*>(&probe_fault_ill),
        reinterpret_cast<const void*>(&probe_fault_bus),
        reinterpret_cast<const void*>(&probe_fault_sys),
        reinterpret_cast<const void*>(&probe_fault_trap),
        reinterpret_cast<const void*>(&probe_recurse),
        reinterpret_cast<const void*>(&probe_fault_overflow),
        reinterpret_cast<const void*>(&probe_park_a),
        reinterpret_cast<const void*>(&probe_park_b),
        reinterpret_cast<const void*>(&probe_park_c),
        reinterpret_cast<const void*>(&probe_throw),
    };
    for (const void* function : functions) {
        Dl_info info{};
        ElfW(Sym)* symbol = nullptr;
        if (::dladdr1(function, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) == 0 || !info.dli_sname ||
            !symbol)
            continue;
        std::fprintf(out, "%s %lu %lu\n", info.dli_sname, reinterpret_cast<unsigned long>(info.dli_saddr),
                     static_cast<unsigned long>(symbol->st_size));
    }
    std::fclose(out);
}

bool hasFlag(int argc, char** argv, const char* flag) {
    for (int i = 3; i < argc; ++i)
        if (std::strcmp(argv[i], flag) == 0)
            return true;
    return false;
}

int flagValue(int argc, char** argv, const char* flag, int fallback) {
    for (int i = 3; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], flag) == 0)
            return std::atoi(argv[i + 1]);
    return fallback;
}

void nameThread(const std::string& name) {
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

// Half the threads run on labelled platform queues, the others are plain named threads.
std::vector<plat::DispatchQueuePtr> parkedQueues;

void parkThreads(int count, int depth) {
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            auto queue = plat::DispatchQueue::makeSerial("probe.queue." + std::to_string(i));
            queue->async([i, depth] { probe_park_deep(i, depth); });
            parkedQueues.push_back(queue);
        } else {
            std::thread([i, depth] {
                nameThread("probe-park-" + std::to_string(i));
                probe_park_deep(i, depth);
            }).detach();
        }
    }
    while (probe_parked.load() < count) {
        const timespec millisecond{0, 1000000};
        ::nanosleep(&millisecond, nullptr);
    }
}

// A thread that takes no signal at all, and a thread that keeps making threads that end at once.
void startAwkwardThreads(int argc, char** argv) {
    if (hasFlag(argc, argv, "--block-signals")) {
        std::atomic<bool> blocked{false};
        std::thread([&blocked] {
            nameThread("probe-blocked");
            sigset_t all;
            sigfillset(&all);
            ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
            blocked.store(true);
            for (;;)
                ::pause();
        }).detach();
        while (!blocked.load())
            std::this_thread::yield();
    }
    if (hasFlag(argc, argv, "--hold-malloc") && probe_malloc_hold) {
        std::thread([] {
            nameThread("probe-malloc");
            probe_malloc_hold();
        }).detach();
        // From here on, nothing may allocate: the next allocation would wait forever.
        while (!probe_malloc_is_held()) {
            const timespec millisecond{0, 1000000};
            ::nanosleep(&millisecond, nullptr);
        }
    }
    if (hasFlag(argc, argv, "--exiting-threads")) {
        std::thread([] {
            nameThread("probe-churn");
            for (;;)
                std::thread([] {}).join();
        }).detach();
    }
}

void installAppHandler(int signal) {
    struct sigaction action {};
    action.sa_sigaction = &app_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;
    ::sigaction(signal, &action, nullptr);
}

void* overflowWorker(void*) {
    plat::runThreadStartHook(); // as every platform thread does
    probe_fault_overflow();
    return nullptr;
}

// A request for the exception-port server about a parked thread (or, foreign, about another task).
int runMachCommand(VZRMachTestBackend& backend, bool foreign) {
    parkThreads(2, 0);
    VZRMachExceptionRequest request;
    request.bits = 0x1213;
    request.replyPort = 0x2207;
    request.thread = probe_parked_tids[1];
    request.task = foreign ? ::getpid() + 1 : ::getpid();
    request.exception = 1;
    request.codeCount = 2;
    request.codes[0] = 1;
    request.codes[1] = 0xdead;
    backend.queueRequest(request);
    if (!backend.waitForReplies(1, 10))
        return 7;
    const VZRMachExceptionReply reply = backend.replies().front();
    std::printf("reply %u %u %u %u %d %d\n", reply.bits, reply.size, reply.remotePort, reply.localPort, reply.id,
                reply.returnCode);
    std::printf("crashed %d\n", static_cast<int>(request.thread));
    for (const auto& swap : backend.swaps())
        std::printf("swap 0x%x\n", swap.mask);
    for (const auto& set : backend.sets())
        std::printf("set 0x%x %u\n", set.mask, set.port);
    return 0;
}

// The server thread cannot start, as when the process has no threads left to give.
int probeRefuseThreadStart(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return EAGAIN;
}

// What the port calls show once the set-up task gave up on its server thread.
int runMachWithoutThread(VZRMachTestBackend& backend) {
    for (int i = 0; i < 1000 && backend.sets().size() < 2; ++i)
        ::usleep(10000);
    for (const auto& swap : backend.swaps())
        std::printf("swap 0x%x\n", swap.mask);
    for (const auto& set : backend.sets())
        std::printf("set 0x%x %u\n", set.mask, set.port);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crash_probe HOME COMMAND [ARG]\n");
        return 2;
    }
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::alarm(60); // a crash path that hangs ends by SIGALRM instead of holding up the tests
    const std::string home = argv[1];
    const std::string command = argv[2];
    probe_home = argv[1];
    if (command == "symbolicate" && argc > 3) {
        auto report = VZRInternalReport::initWithPathExecutionIdentifier(std::string(argv[3]), "probe");
        VZRProcessReportOperation::initWithReport(report, std::make_shared<VZRSymbolResolver>())->start();
        return 0;
    }
    // As the app's class load does, before the platform's first thread.
    VZRCrashHandlersLoad();
    plat::Backend::select(plat::BackendKind::threaded);
    plat::AppHome::configure(home);
    if (!plat::AppHome::createFolders())
        finish(3);
    const std::string report = home + "/report";
    if (!plat::FileManager::defaultManager().createDirectory(report, true))
        finish(3);

    VZRContextInitData config = crashtest::fixedConfig();
    config.activeDirectory = report.c_str();
    static VZRMachTestBackend machBackend;
    if (command.rfind("mach-", 0) == 0) {
        machBackend.previousHandlers.count = 1;
        machBackend.previousHandlers.masks[0] = 0x2;
        machBackend.previousHandlers.ports[0] = 0x777;
        machBackend.previousHandlers.behaviors[0] = 1;
        machBackend.previousHandlers.flavors[0] = 13;
        VZRMachExceptionSetBackend(&machBackend);
        if (!plat::sim::Device::setOsVersion("12.0").ok())
            finish(6);
        if (command == "mach-mask")
            config.machExceptionMask = 0x2;
        if (command == "mach-nothread")
            VZRMachExceptionSetThreadStarterForTesting(&probeRefuseThreadStart);
    }
    if (command == "app-handler-before" || command == "handlers")
        for (const int signal : kVZRHandledSignals)
            installAppHandler(signal);
    if (command == "terminate-before")
        std::set_terminate(&probe_terminate);
    if (hasFlag(argc, argv, "--debugger"))
        plat::sim::Device::setDebuggerAttached(true);
    if (!VZRContextInitialize(&config))
        finish(4);
    if (!waitUntilInitialized())
        finish(5);
    // The images' "load" lines are written on their own queue after the set-up; a report that is symbolicated
    // later needs them, and on a busy machine the fault below could otherwise come first.
    if (plat::DispatchQueuePtr images = VZRContextBinaryImagesQueue())
        images->sync([] {});

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

    writeSymbols(home);
    VZRProcessSetCaptureTimeoutForTesting(int64_t{flagValue(argc, argv, "--capture-timeout-ms", 0)} * 1000000);
    parkThreads(flagValue(argc, argv, "--threads", 0), flagValue(argc, argv, "--depth", 0));
    // Benchmarks: the clock before the fault at offset 0 of the shared stamp file, the handler's after its
    // record at offset 8; optionally the minimal handler in place of the crash reporter's.
    for (int i = 3; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--stamp") != 0)
            continue;
        const int fd = ::open(argv[i + 1], O_RDWR);
        void* page = fd >= 0 ? ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
        if (page == MAP_FAILED)
            finish(8);
        probe_stamp = static_cast<volatile int64_t*>(page);
        VZRSignalSetRecordStampForTesting(probe_stamp + 1);
    }
    if (hasFlag(argc, argv, "--minimal-handler")) {
        probe_minimal_fd = ::open((home + "/minimal.record").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        struct sigaction action {};
        action.sa_sigaction = &probe_minimal_handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        ::sigaction(SIGSEGV, &action, nullptr);
    }
    startAwkwardThreads(argc, argv);
    using Fault = void (*)();
    static const std::pair<const char*, Fault> faults[] = {
        {"segv", &probe_fault_segv}, {"abort", &probe_fault_abort}, {"fpe", &probe_fault_fpe},
        {"ill", &probe_fault_ill},   {"bus", &probe_fault_bus},     {"sys", &probe_fault_sys},
        {"trap", &probe_fault_trap}, {"overflow", &probe_fault_overflow},
        {"app-handler-before", &probe_fault_segv}, {"chain", &probe_fault_chain},
    };
    // The main thread's stack grows only up to the current limit, so a lower one makes a shorter overflow.
    if (const int kilobytes = flagValue(argc, argv, "--stack-limit", 0); kilobytes > 0) {
        const rlimit stack{static_cast<rlim_t>(kilobytes) * 1024, static_cast<rlim_t>(kilobytes) * 1024};
        ::setrlimit(RLIMIT_STACK, &stack);
    }
    for (const auto& [name, fault] : faults) {
        if (command == name) {
            if (probe_stamp)
                probe_stamp[0] = plat::Clock::monotonicNanos();
            fault();
            finish(0);
        }
    }
    if (command == "overflow-worker") {
        pthread_attr_t attributes;
        ::pthread_attr_init(&attributes);
        ::pthread_attr_setstacksize(&attributes, 256 * 1024);
        pthread_t worker;
        ::pthread_create(&worker, &attributes, &overflowWorker, nullptr);
        ::pthread_join(worker, nullptr);
        finish(0);
    }
    if (command.rfind("cxx", 0) == 0 || command == "plat-exception" || command == "terminate-before")
        probe_throw(command == "terminate-before" ? "cxx" : command.c_str());
    if (command == "app-handler-after") {
        installAppHandler(SIGSEGV);
        VZRSignalCheckHandlers();
        finish(0);
    }
    if (command == "terminate-after") {
        // The platform's uncaught-exception slot puts in a terminate handler of its own: set it first.
        plat::setUncaughtExceptionHandler(&probe_uncaught);
        std::set_terminate(&probe_terminate);
        VZRExceptionCheckHandlers();
        finish(0);
    }
    if (command == "handlers") {
        for (const int signal : kVZRHandledSignals) {
            struct sigaction current {};
            ::sigaction(signal, nullptr, &current);
            std::printf("%s %s\n", VZRSignalNameForSignal(signal),
                        (current.sa_flags & SA_SIGINFO) && current.sa_sigaction == &app_handler ? "app" : "other");
        }
        finish(0);
    }
    // The same fault on a platform queue's worker (its own alternate stack) and on a thread made outside the
    // platform (none: the handler runs on the thread's stack).
    if (command == "segv-queue") {
        auto queue = plat::DispatchQueue::makeSerial("probe.crash");
        queue->async([] { probe_fault_segv(); });
        for (;;)
            ::pause();
    }
    if (command == "segv-thread") {
        std::thread([] {
            nameThread("probe-crash");
            probe_fault_segv();
        }).join();
        finish(0);
    }
    // Waits for a signal from another process.
    if (command == "wait") {
        const std::string ready = home + "/ready";
        ::close(::open(ready.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        for (;;)
            ::pause();
    }
    if (command == "double") {
        static std::atomic<int> ready{0};
        for (int i = 0; i < 2; ++i) {
            std::thread([] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                probe_fault_segv();
            }).detach();
        }
        for (;;)
            ::pause();
    }
    if (command == "mach-nothread")
        finish(runMachWithoutThread(machBackend));
    if (command == "mach-sim" || command == "mach-mask" || command == "mach-foreign")
        finish(runMachCommand(machBackend, command == "mach-foreign"));
    std::fprintf(stderr, "crash_probe: unknown command %s\n", command.c_str());
    finish(2);
}
