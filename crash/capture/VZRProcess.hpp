#pragma once
// The common second half of every crash path: after a handler wrote its own section, `VZRHandler` appends the
// state of the whole process to the same record file: every thread with its registers and stack, the runtime
// hints, the queue and thread names, memory and time figures and the storage of the Documents folder.
//
// Everything here runs in a crashed process: no allocation, no lock, no stdio, no exception. Threads are
// stopped with a reserved real-time signal (`kVZRThreadCaptureSignal`): each one copies the registers of the
// point where the signal found it into a slot made at start-up, acknowledges, and waits on a futex word until
// the recorder releases it. A thread that does not answer within 100 ms (it blocks signals, or is exiting) is
// written without registers.

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

struct VZRFile;

// The signal the thread capture takes for itself; installed at start-up, reserved for the crash reporter.
#define kVZRThreadCaptureSignal (SIGRTMAX - 1)

// At most this many threads are listed and recorded.
inline constexpr int kVZRMaxThreads = 512;

// The calling thread's id (the kernel's thread id).
pid_t VZRCurrentTid();

// Installs the capture signal's handler (idempotent). Part of the signal set-up; also needed by any path
// that records the process (the exception and exception-port paths).
bool VZRProcessInstallCaptureHandler();

// Records the process into `file`: "threads", "runtime", "dispatch_queue_names", "thread_names",
// "process_stats", "storage"; then the crash callback. `crashedThread` is a tid; `userContext` the crashed
// thread's signal context when it has one (the crashed thread's registers come from there).
void VZRHandler(VZRFile* file, pid_t crashedThread, const ucontext_t* userContext);

// The crash record is complete: wakes the threads that lost the crash-once guard.
void VZRProcessMarkRecordDone();
// For a thread that lost the crash-once guard: waits until the record is complete (2 s at most), then ends the
// process with status 1, without the atexit handlers and stdio flushing a crashed process must not run.
[[noreturn]] void VZRProcessEndAfterRecording();

// The "storage" section: free and total bytes of the file system holding the Documents folder.
void VZRHostWriteStorage(VZRFile* file);

// Tests: the capture time-out per thread (100 ms); 0 restores it.
void VZRProcessSetCaptureTimeoutForTesting(int64_t nanos);
