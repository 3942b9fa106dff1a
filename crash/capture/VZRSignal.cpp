#include "crash/capture/VZRSignal.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRProcess.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/Thread.hpp"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kAltStackSize = 256 * 1024;

const char* signalErrorText(int error) {
    const char* text = ::strerrordesc_np(error); // no locale, no allocation
    return text ? text : "Unknown error";
}

// The calling thread's own alternate stack, unmapped when the thread ends.
struct ThreadAltStack {
    void* mapping = nullptr;
    size_t mappingSize = 0;
    void* stack = nullptr;

    ~ThreadAltStack() {
        if (!mapping)
            return;
        stack_t current{};
        if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack && !(current.ss_flags & SS_ONSTACK)) {
            stack_t disable{};
            disable.ss_flags = SS_DISABLE;
            ::sigaltstack(&disable, nullptr);
        } else if (current.ss_sp == stack) {
            return; // still in use: left mapped
        }
        ::munmap(mapping, mappingSize);
    }
};

thread_local ThreadAltStack threadAltStack;

std::atomic<volatile int64_t*> recordStamp{nullptr};

bool isOurHandler(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == &VZRSignalHandler;
}

bool isEmptyAction(const struct sigaction& action) {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

// A signal the kernel does not raise again by itself: one sent by a process (si_code <= 0), SIGTRAP (the pc
// is already past the trap instruction) and SIGSYS from the system-call filter. Returning would consume it.
bool wouldBeLost(int signal, const siginfo_t* info) {
    if (signal == SIGTRAP)
        return true;
    if (!VZRIsValidPointer(info))
        return false;
    return info->si_code <= 0 || (signal == SIGSYS && info->si_code == 1 /* SYS_SECCOMP */);
}

void writeSignalSection(VZRFile* file, int signal, const siginfo_t* info, int savedErrno) {
    VZRFileBeginSection(file, "signal");
    VZRFileBeginObject(file);
    if (VZRIsValidPointer(info)) {
        VZRFileWriteUnsignedField(file, "number", static_cast<uint64_t>(signal));
        VZRFileWriteUnsignedField(file, "code", static_cast<uint64_t>(static_cast<int64_t>(info->si_code)));
        // For a signal sent by a process, si_addr holds the sender's pid, not an address.
        const uint64_t address = info->si_code > 0 ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
        VZRFileWriteUnsignedField(file, "address", address);
        VZRFileWriteStringField(file, "name", VZRSignalNameForSignal(signal));
        VZRFileWriteStringField(file, "code_name", VZRSignalCodeNameForSignal(signal));
    }
    VZRFileWriteUnsignedField(file, "errno", static_cast<uint64_t>(static_cast<int64_t>(savedErrno)));
    VZRFileWriteUnsignedField(file, "time", static_cast<uint64_t>(plat::Clock::now()));
    VZRFileEndObject(file);
    VZRFileEndSection(file);
}

} // namespace

const char* VZRSignalNameForSignal(int signal) {
    switch (signal) {
    case SIGILL:
        return "SIGILL";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGABRT:
        return "SIGABRT";
    case SIGFPE:
        return "SIGFPE";
    case SIGBUS:
        return "SIGBUS";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGSYS:
        return "SIGSYS";
    default:
        return "UNKNOWN";
    }
}

const char* VZRSignalCodeNameForSignal(int signal) {
    return signal == SIGABRT ? "ABORT" : nullptr;
}

bool VZRSignalInstallAltStack(VZRSignalReadOnlyContext* signalContext, void* stack, size_t size) {
    stack_t next{};
    next.ss_sp = stack;
    next.ss_size = size;
    next.ss_flags = 0;
    stack_t previous{};
    if (!VZRIsValidPointer(stack) || ::sigaltstack(&next, &previous) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to setup stack %s\n", VZR_HERE, signalErrorText(errno));
        return false;
    }
    if (signalContext && !(previous.ss_flags & SS_DISABLE) && previous.ss_sp != stack)
        signalContext->originalStack = previous;
    return true;
}

void VZRSignalInitialize(VZRSignalReadOnlyContext* signalContext) {
    if (!VZRIsValidPointer(signalContext))
        return;
    if (!VZRUnlinkIfExists(signalContext->path))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to reset the signal log file %s\n", VZR_HERE,
                  signalErrorText(errno));
    VZRProcessInstallCaptureHandler();
    for (int slot = 0; slot < kVZRSignalCount; ++slot) {
        const int signal = kVZRHandledSignals[slot];
        struct sigaction action {};
        action.sa_sigaction = &VZRSignalHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        struct sigaction previous {};
        if (::sigaction(signal, &action, &previous) != 0) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to install handler for %d (%s)\n", VZR_HERE, signal,
                      signalErrorText(errno));
            continue;
        }
        // Our own handler from an earlier initialisation is not a previous handler: chaining to it would
        // record again.
        if (!isEmptyAction(previous) && !isOurHandler(previous))
            signalContext->originalActions[slot] = previous;
    }
}

bool VZRSignalSafeRemoveHandlers() {
    bool ok = true;
    for (int slot = 0; slot < kVZRSignalCount; ++slot) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        if (::sigaction(kVZRHandledSignals[slot], &action, nullptr) != 0) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to set default handler for %d (%s)\n", VZR_HERE, slot,
                      signalErrorText(errno));
            ok = false;
        }
    }
    return ok;
}

bool VZRSignalSafeInstallPreexistingHandlers(VZRSignalReadOnlyContext* signalContext) {
    bool ok = VZRSignalSafeRemoveHandlers();
    if (!VZRIsValidPointer(signalContext))
        return false;
    // A handler running on the alternate stack cannot replace it (the kernel refuses); the stack it runs on
    // is its own thread's anyway, and the saved one belonged to the initialising thread.
    stack_t current{};
    const bool onAltStack = ::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK);
    if (signalContext->originalStack.ss_sp && !(signalContext->originalStack.ss_flags & SS_DISABLE) && !onAltStack) {
        if (::sigaltstack(&signalContext->originalStack, nullptr) != 0) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to setup stack %s\n", VZR_HERE, signalErrorText(errno));
            ok = false;
        }
    }
    for (int slot = 0; slot < kVZRSignalCount; ++slot) {
        const struct sigaction& saved = signalContext->originalActions[slot];
        if (isEmptyAction(saved))
            continue;
        if (::sigaction(kVZRHandledSignals[slot], &saved, nullptr) != 0) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to install handler for %d (%s)\n", VZR_HERE, slot,
                      signalErrorText(errno));
            ok = false;
        }
    }
    return ok;
}

void VZRSignalHandler(int signal, siginfo_t* info, void* userContext) {
    const int savedErrno = errno;
    errno = 0;
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Signal: %d\n", VZR_HERE, signal);
    VZRContext& context = VZRSharedContext();
    VZRReadOnlyContext* readonly = context.readonly.load();
    VZRWritableContext* writable = context.writable.load();
    const bool haveContext = VZRIsValidPointer(readonly) && VZRIsValidPointer(writable);
    const pid_t self = VZRCurrentTid();

    // The handlers stay ours while the record is written, so a second thread that faults meanwhile waits for
    // the record instead of ending the process half-way through it. A fault inside this handler, on the
    // recording thread itself, goes to the default action.
    if (!haveContext || writable->signalRecorder.load() == self) {
        VZRSignalSafeRemoveHandlers();
        errno = savedErrno;
        return;
    }
    sigset_t none;
    sigemptyset(&none);
    if (::pthread_sigmask(SIG_SETMASK, &none, nullptr) != 0)
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to unmask signals - we risk infinite recursion here\n",
                  VZR_HERE);

    pid_t expected = 0;
    if (!writable->signalRecorder.compare_exchange_strong(expected, self) || VZRContextMarkAndCheckIfCrashed()) {
        VZRSDKLog(VZRLogLevelWarn,
                  "WARN  [%s:%d] Error: aborting signal handler because crash has already occurred", VZR_HERE);
        VZRProcessEndAfterRecording();
    }

    VZRFile file;
    if (!VZRFileInitWithPath(&file, readonly->signal.path, false)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to open signal file\n", VZR_HERE);
    } else {
        writeSignalSection(&file, signal, info, savedErrno);
        VZRHandler(&file, self, static_cast<const ucontext_t*>(VZRIsValidPointer(userContext) ? userContext : nullptr));
        VZRFileClose(&file);
        if (volatile int64_t* stamp = recordStamp.load())
            *stamp = plat::Clock::monotonicNanos();
    }

    VZRSignalSafeInstallPreexistingHandlers(&readonly->signal);
    VZRProcessMarkRecordDone();

    if (wouldBeLost(signal, info)) {
        // Pending until this handler returns, then delivered to the previous action.
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        ::pthread_sigmask(SIG_BLOCK, &only, nullptr);
        if (VZRIsValidPointer(userContext))
            sigdelset(&static_cast<ucontext_t*>(userContext)->uc_sigmask, signal);
        ::syscall(SYS_tgkill, ::getpid(), self, signal);
    }
    errno = savedErrno;
}

void VZRSignalCheckHandlers() {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (VZRIsValidPointer(readonly) && readonly->debuggerAttached)
        return;
    for (const int signal : kVZRHandledSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0) {
            std::fprintf(stderr, "Unable to read signal handler\n");
            continue;
        }
        if (isOurHandler(current))
            continue;
        const void* handler = (current.sa_flags & SA_SIGINFO) ? reinterpret_cast<const void*>(current.sa_sigaction)
                                                               : reinterpret_cast<const void*>(current.sa_handler);
        Dl_info info{};
        const char* symbol = ::dladdr(handler, &info) != 0 ? info.dli_sname : nullptr;
        std::fprintf(stderr,
                     "[Vuzidorazav] The signal %s has a non-Vuzidorazav handler (%s).  This will interfere with "
                     "reporting.\n",
                     VZRSignalNameForSignal(signal), symbol ? symbol : "(null)");
    }
}

bool VZRSignalEnsureAltStack() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return true;
    const long pageSize = std::max(::sysconf(_SC_PAGESIZE), 4096L);
    const long minimum = ::sysconf(_SC_SIGSTKSZ);
    size_t size = std::max(kAltStackSize, minimum > 0 ? static_cast<size_t>(minimum) : size_t{0});
    size = (size + static_cast<size_t>(pageSize) - 1) / static_cast<size_t>(pageSize) * static_cast<size_t>(pageSize);
    const size_t mappingSize = size + static_cast<size_t>(pageSize);
    void* mapping = ::mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED)
        return false;
    // The guard page below: a handler that overruns its stack faults instead of writing into other memory.
    ::mprotect(mapping, static_cast<size_t>(pageSize), PROT_NONE);
    void* stack = static_cast<char*>(mapping) + pageSize;
    stack_t next{};
    next.ss_sp = stack;
    next.ss_size = size;
    if (::sigaltstack(&next, nullptr) != 0) {
        ::munmap(mapping, mappingSize);
        return false;
    }
    threadAltStack.mapping = mapping;
    threadAltStack.mappingSize = mappingSize;
    threadAltStack.stack = stack;
    return true;
}

void VZRSignalSetRecordStampForTesting(volatile int64_t* slot) {
    recordStamp.store(slot);
}

void VZRSignalInstallThreadStartHook() {
    plat::setThreadStartHook([] { VZRSignalEnsureAltStack(); });
}
