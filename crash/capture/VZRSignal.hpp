#pragma once
// Fatal signals: SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS and SIGTRAP are caught on an alternate
// stack, "signal.vzrrecord" and the process record are written, and the signal goes back to whatever handled
// it before (or the default action). Every thread gets its own alternate stack, so a stack overflow on any of
// them can still be recorded: the thread that initialises the context uses the context's signal stack, every
// thread the platform creates maps its own through the platform's thread start hook.

#include <signal.h>

#include <cstddef>

struct VZRSignalReadOnlyContext;
struct VZRContextInitData;

// The handled signals in slot order.
inline constexpr int kVZRHandledSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP};

// The set-up task: resets "signal.vzrrecord", installs the thread capture's handler and the seven
// handlers, keeping the previous actions in the context.
void VZRSignalInitialize(VZRSignalReadOnlyContext* signalContext);
// Installs `stack` (`size` bytes) as the calling thread's alternate stack, keeping the one before in the
// context; false (logged) when the kernel refuses it.
bool VZRSignalInstallAltStack(VZRSignalReadOnlyContext* signalContext, void* stack, size_t size);

void VZRSignalHandler(int signal, siginfo_t* info, void* userContext);
// Every handled signal back to the default action; false when one could not be set.
bool VZRSignalSafeRemoveHandlers();
// The default actions, the saved alternate stack, then every saved action; false when one failed.
bool VZRSignalSafeInstallPreexistingHandlers(VZRSignalReadOnlyContext* signalContext);
// Tells on standard error of each handled signal whose handler is no longer ours.
void VZRSignalCheckHandlers();

// "name" and "code_name" of a signal.
const char* VZRSignalNameForSignal(int signal);
const char* VZRSignalCodeNameForSignal(int signal);

// Benchmarks: the handler writes the monotonic clock (nanoseconds) into `slot` once the record is closed;
// null stops it.
void VZRSignalSetRecordStampForTesting(volatile int64_t* slot);

// Maps an alternate stack for the calling thread when it has none: max(256 KiB, the system's minimum) with a
// guard page below, released when the thread ends. False when it could not.
bool VZRSignalEnsureAltStack();
// Makes every thread the platform starts from now on call VZRSignalEnsureAltStack first. Called at class
// load, before the platform's first thread.
void VZRSignalInstallThreadStartHook();
