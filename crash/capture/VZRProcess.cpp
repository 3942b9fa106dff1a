#include "crash/capture/VZRProcess.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"
#include "crash/unwind/VZRUnwind.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/runtime/Messaging.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr int64_t kCaptureTimeoutNanos = 100'000'000;
constexpr int64_t kRecordDoneWaitNanos = 2'000'000'000;
std::atomic<int64_t> captureTimeout{kCaptureTimeoutNanos};

// One thread's answer to the capture signal. Made before any crash (static storage), never allocated.
struct CaptureSlot {
    std::atomic<pid_t> tid{0};
    std::atomic<uint32_t> generation{0};
    std::atomic<uint32_t> answered{0}; // futex word: 0 asked, 1 registers copied
    bool asked = false;
    bool available = false;
    VZRThreadState registers;
};

CaptureSlot captureSlots[kVZRMaxThreads];
std::atomic<uint32_t> captureGeneration{0};
// The generation of the capture under way, 0 when none; also the futex word stopped threads wait on.
std::atomic<uint32_t> activeCapture{0};
std::atomic<bool> captureHandlerInstalled{false};

long futexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWakeAll(std::atomic<uint32_t>* word) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// Waits until `word` is no longer 0 or the monotonic clock passes `deadline`; true when it changed.
bool waitWhileZeroUntil(std::atomic<uint32_t>* word, int64_t deadline) {
    while (word->load() == 0) {
        const int64_t left = deadline - plat::Clock::monotonicNanos();
        if (left <= 0)
            return false;
        const timespec wait{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
        futexWait(word, 0, &wait);
    }
    return true;
}

// Runs on the thread being captured, inside the capture signal.
void captureSignalHandler(int, siginfo_t*, void* context) {
    const int savedErrno = errno;
    const uint32_t generation = activeCapture.load();
    if (generation != 0) {
        const pid_t self = VZRCurrentTid();
        for (CaptureSlot& slot : captureSlots) {
            if (slot.tid.load() == self && slot.generation.load() == generation && slot.answered.load() == 0) {
                VZRThreadStateFromUContext(static_cast<const ucontext_t*>(context), &slot.registers);
                slot.answered.store(1);
                futexWakeAll(&slot.answered);
                while (activeCapture.load() == generation)
                    futexWait(&activeCapture, generation, nullptr);
                break;
            }
        }
    }
    errno = savedErrno;
}

// The process's threads, from /proc/self/task, read with getdents64 into a stack buffer.
int listThreads(pid_t* out, int maximum) {
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int count = 0;
    alignas(8) char buffer[4096];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (long offset = 0; offset < n;) {
            const uint16_t recordLength = *reinterpret_cast<const uint16_t*>(buffer + offset + 16);
            const char* name = buffer + offset + 19;
            offset += recordLength;
            pid_t tid = 0;
            if (*name < '0' || *name > '9')
                continue;
            for (; *name >= '0' && *name <= '9'; ++name)
                tid = tid * 10 + (*name - '0');
            if (count < maximum)
                out[count++] = tid;
        }
    }
    ::close(fd);
    return count;
}

// Reads a small file whole into `buffer` (zero-terminated); the byte count, or -1.
ssize_t readSmallFile(const char* path, char* buffer, size_t size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t used = 0;
    while (used + 1 < size) {
        const ssize_t n = ::read(fd, buffer + used, size - 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    buffer[used] = '\0';
    return static_cast<ssize_t>(used);
}

// "/proc/self/task/<tid>/comm" into `path`.
void commPath(pid_t tid, char (&path)[64]) {
    static constexpr char prefix[] = "/proc/self/task/";
    std::memcpy(path, prefix, sizeof prefix - 1);
    char digits[20];
    size_t length = 0;
    const char* first = VZRFormatUnsigned(static_cast<uint64_t>(tid), 10, digits, &length);
    std::memcpy(path + sizeof prefix - 1, first, length);
    std::memcpy(path + sizeof prefix - 1 + length, "/comm", 6);
}

void trimNewline(char* text) {
    for (; *text; ++text) {
        if (*text == '\n') {
            *text = '\0';
            return;
        }
    }
}

uint64_t parseUnsigned(const char*& p) {
    while (*p == ' ' || *p == '\t')
        ++p;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    return value;
}

// The kB figure of `key` in /proc/meminfo's text, in bytes; false when the key is missing.
bool meminfoBytes(const char* text, const char* key, uint64_t* out) {
    const size_t keyLength = std::strlen(key);
    for (const char* line = text; *line;) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            const char* p = line + keyLength + 1;
            *out = parseUnsigned(p) * 1024;
            return true;
        }
        const char* next = std::strchr(line, '\n');
        if (!next)
            break;
        line = next + 1;
    }
    return false;
}

// The process being recorded: who records, who crashed, the listed threads and their captured state.
struct ProcessSnapshot {
    pid_t recordingThread = 0;
    pid_t crashedThread = 0;
    const ucontext_t* userContext = nullptr;
    int threadCount = 0;
    pid_t threads[kVZRMaxThreads];
    uint32_t generation = 0;
};

void processInit(ProcessSnapshot* snapshot, pid_t crashedThread, const ucontext_t* userContext) {
    snapshot->recordingThread = VZRCurrentTid();
    snapshot->crashedThread = crashedThread;
    snapshot->userContext = VZRIsValidPointer(userContext) ? userContext : nullptr;
    const int count = listThreads(snapshot->threads, kVZRMaxThreads);
    if (count < 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: unable to get task threads\n", VZR_HERE);
        snapshot->threadCount = 0;
        return;
    }
    snapshot->threadCount = count;
}

// Stops every listed thread except the recording one: all are signalled first, then each answer is awaited
// (100 ms at most per thread from the moment it was asked).
void suspendThreads(ProcessSnapshot* snapshot) {
    if (!captureHandlerInstalled.load())
        return;
    const uint32_t generation = captureGeneration.fetch_add(1) + 1;
    snapshot->generation = generation;
    const pid_t pid = ::getpid();
    for (int i = 0; i < snapshot->threadCount; ++i) {
        CaptureSlot& slot = captureSlots[i];
        slot.available = false;
        slot.asked = false;
        slot.answered.store(0);
        slot.generation.store(generation);
        slot.tid.store(snapshot->threads[i]);
    }
    activeCapture.store(generation);
    const int64_t start = plat::Clock::monotonicNanos();
    for (int i = 0; i < snapshot->threadCount; ++i) {
        if (snapshot->threads[i] == snapshot->recordingThread)
            continue;
        captureSlots[i].asked =
            ::syscall(SYS_tgkill, pid, snapshot->threads[i], kVZRThreadCaptureSignal) == 0; // ESRCH: gone
    }
    const int64_t deadline = start + captureTimeout.load();
    for (int i = 0; i < snapshot->threadCount; ++i) {
        CaptureSlot& slot = captureSlots[i];
        if (!slot.asked)
            continue;
        slot.available = waitWhileZeroUntil(&slot.answered, deadline);
    }
}

void resumeThreads(ProcessSnapshot* snapshot) {
    if (snapshot->generation == 0)
        return;
    activeCapture.store(0);
    futexWakeAll(&activeCapture);
    for (int i = 0; i < snapshot->threadCount; ++i)
        captureSlots[i].tid.store(0);
}

// The recording thread's own registers: those of this function's frame.
__attribute__((noinline)) void currentRegisters(VZRThreadState* out) {
    *out = VZRThreadState{};
    uint64_t rip = 0, rsp = 0, rbp = 0;
    asm volatile("leaq 0(%%rip), %0\n\tmovq %%rsp, %1\n\tmovq %%rbp, %2" : "=r"(rip), "=r"(rsp), "=r"(rbp));
    out->registers[kVZRX86_64RIP] = rip;
    out->registers[kVZRX86_64RSP] = rsp;
    out->registers[kVZRX86_64RBP] = rbp;
}

bool getThreadState(const ProcessSnapshot* snapshot, int index, VZRThreadState* state) {
    if (!VZRIsValidPointer(state)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] invalid context supplied", VZR_HERE);
        return false;
    }
    const pid_t thread = snapshot->threads[index];
    if (thread == snapshot->crashedThread && snapshot->userContext) {
        VZRThreadStateFromUContext(snapshot->userContext, state);
        return true;
    }
    if (thread != snapshot->recordingThread) {
        const CaptureSlot& slot = captureSlots[index];
        if (snapshot->generation == 0 || !slot.available || slot.tid.load() != thread) {
            VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] failed to get thread state\n", VZR_HERE);
            return false;
        }
        *state = slot.registers;
        return true;
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Faking current thread\n", VZR_HERE);
    currentRegisters(state);
    return true;
}

// x86_64: the first 18 slots of the thread state, by DWARF number, then the flags.
void writeRegisters(VZRFile* file, const VZRThreadState& state) {
    static constexpr const char* kNames[] = {"rax", "rdx", "rcx", "rbx", "rsi", "rdi", "rbp", "rsp", "r8",
                                             "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rip", "rflags"};
    VZRFileWriteKey(file, "registers");
    VZRFileBeginObject(file);
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i)
        VZRFileWriteUnsignedField(file, kNames[i], state.registers[i]);
    VZRFileEndObject(file);
}

// "stacktrace" with the recursion guard: once one pc has repeated 10 times in a row, further copies of it are
// left out (and the log is quietened to warnings) until another pc comes.
void writeStacktrace(VZRFile* file, const VZRThreadState& state, VZRWritableContext* writable) {
    constexpr uint32_t kRepeatLimit = 10;
    VZRFileWriteKey(file, "stacktrace");
    VZRFileBeginArray(file);
    // The cursor carries a window of whole pages (tens of KiB): kept off the handler's stack, which may be a
    // small alternate stack or the 256 KiB stack of a thread made outside the platform. One record is written
    // at a time; a second writer, which the crash-once guard rules out, would get an empty trace.
    static VZRUnwindCursor sharedCursor;
    static std::atomic_flag cursorInUse = ATOMIC_FLAG_INIT;
    if (cursorInUse.test_and_set()) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] unable to init unwind context\n", VZR_HERE);
        VZRFileEndArray(file);
        return;
    }
    struct CursorRelease {
        ~CursorRelease() { cursorInUse.clear(); }
    } release;
    VZRUnwindCursor& cursor = sharedCursor;
    if (!VZRUnwindInit(&cursor, &state)) {
        // The thread is written with an empty trace; the others and the later sections stay whole.
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] unable to init unwind context\n", VZR_HERE);
        VZRFileEndArray(file);
        return;
    }
    const int savedThreshold = writable ? writable->logThreshold.load() : VZRLogLevelDebug;
    uint64_t suppressedPC = 0;
    uint32_t suppressedCount = 0;
    bool suppressing = false;
    bool tracked = false;
    while (VZRUnwindNextFrame(&cursor)) {
        const uint64_t pc = VZRUnwindGetPC(&cursor);
        const uint32_t repeats = VZRUnwindGetRepeatCount(&cursor);
        if (suppressing && pc != suppressedPC) {
            suppressing = false;
            if (writable)
                writable->logThreshold.store(savedThreshold);
        }
        if (!tracked && repeats == kRepeatLimit) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Possible infinite recursion - suppressing logging\n", VZR_HERE);
            tracked = true;
            suppressing = true;
            suppressedPC = pc;
            // Above warnings: the unwinder logs every call-frame instruction as one, so a stack overflow's
            // hundred thousand frames would otherwise write a log of tens of MiB beside the report.
            if (writable)
                writable->logThreshold.store(VZRLogLevelError);
        }
        if (suppressing && pc == suppressedPC && repeats >= kRepeatLimit) {
            suppressedCount = repeats;
            continue;
        }
        VZRFileAppendUnsigned(file, pc);
    }
    if (writable)
        writable->logThreshold.store(savedThreshold);
    VZRFileEndArray(file);
    if (tracked) {
        VZRFileWriteUnsignedField(file, "repeated_pc", suppressedPC);
        VZRFileWriteUnsignedField(file, "repeat_count", suppressedCount);
    }
}

void recordAllThreads(VZRFile* file, const ProcessSnapshot* snapshot) {
    VZRWritableContext* writable = VZRSharedContext().writable.load();
    if (!VZRIsValidPointer(writable))
        writable = nullptr;
    VZRFileBeginSection(file, "threads");
    VZRFileBeginArray(file);
    for (int i = 0; i < snapshot->threadCount; ++i) {
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] recording thread %d data\n", VZR_HERE, i);
        VZRThreadState registers;
        VZRFileBeginObject(file);
        if (!getThreadState(snapshot, i, &registers)) {
            // A thread that blocks signals or is exiting cannot be read; it is written without its state so the
            // other threads and the later sections stay whole.
            VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] unable to get thread state", VZR_HERE);
            VZRFileWriteKey(file, "registers");
            VZRFileBeginObject(file);
            VZRFileEndObject(file);
            VZRFileWriteKey(file, "stacktrace");
            VZRFileBeginArray(file);
            VZRFileEndArray(file);
        } else {
            writeRegisters(file, registers);
            writeStacktrace(file, registers, writable);
        }
        if (snapshot->threads[i] == snapshot->crashedThread)
            VZRFileWriteBoolField(file, "crashed", true);
        VZRFileEndObject(file);
    }
    VZRFileEndArray(file);
    VZRFileEndSection(file);
    VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] completed recording all thread data\n", VZR_HERE);
}

// No selector dispatcher and no crash-info sections exist here: both are always empty.
void recordRuntimeInfo(VZRFile* file) {
    VZRFileBeginSection(file, "runtime");
    VZRFileBeginObject(file);
    VZRFileWriteStringField(file, "objc_selector", "");
    VZRFileWriteKey(file, "crash_info_entries");
    VZRFileBeginArray(file);
    VZRFileEndArray(file);
    VZRFileEndObject(file);
    VZRFileEndSection(file);
}

void recordQueueNames(VZRFile* file, const ProcessSnapshot* snapshot) {
    VZRFileBeginSection(file, "dispatch_queue_names");
    VZRFileBeginArray(file);
    for (int i = 0; i < snapshot->threadCount; ++i) {
        const char* label = plat::ThreadLabels::labelFor(snapshot->threads[i]);
        const char* checked = nullptr;
        VZRFileAppendString(file, label && VZRReadString(reinterpret_cast<uintptr_t>(label), &checked, 128) ? label : "");
    }
    VZRFileEndArray(file);
    VZRFileEndSection(file);
}

// The kernel names an unnamed thread after the process; such a thread is written with the empty string.
void recordThreadNames(VZRFile* file, const ProcessSnapshot* snapshot) {
    char processName[64];
    if (readSmallFile("/proc/self/comm", processName, sizeof processName) < 0)
        processName[0] = '\0';
    trimNewline(processName);
    VZRFileBeginSection(file, "thread_names");
    VZRFileBeginArray(file);
    for (int i = 0; i < snapshot->threadCount; ++i) {
        char path[64];
        commPath(snapshot->threads[i], path);
        char name[64];
        if (readSmallFile(path, name, sizeof name) < 0)
            name[0] = '\0';
        trimNewline(name);
        VZRFileAppendString(file, std::strcmp(name, processName) == 0 ? "" : name);
    }
    VZRFileEndArray(file);
    VZRFileEndSection(file);
}

void recordStats(VZRFile* file) {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (!VZRIsValidPointer(file) || !VZRIsValidPointer(readonly)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Invalid pointers\n", VZR_HERE);
        return;
    }
    char meminfo[4096];
    uint64_t active = 0, inactive = 0, wired = 0, freeMemory = 0;
    if (readSmallFile("/proc/meminfo", meminfo, sizeof meminfo) <= 0 || !meminfoBytes(meminfo, "Active", &active) ||
        !meminfoBytes(meminfo, "Inactive", &inactive) || !meminfoBytes(meminfo, "Unevictable", &wired) ||
        !meminfoBytes(meminfo, "MemFree", &freeMemory)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Failed to get vm statistics\n", VZR_HERE);
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to get process memory usage\n", VZR_HERE);
        return;
    }
    char statm[256];
    rusage usage{};
    if (readSmallFile("/proc/self/statm", statm, sizeof statm) <= 0 || ::getrusage(RUSAGE_SELF, &usage) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Failed to get task info\n", VZR_HERE);
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to get process stats\n", VZR_HERE);
        return;
    }
    const char* p = statm;
    const uint64_t pageSize = readonly->host.pageSize ? readonly->host.pageSize : 4096;
    const uint64_t virtualBytes = parseUnsigned(p) * pageSize;
    const uint64_t residentBytes = parseUnsigned(p) * pageSize;
    auto micros = [](const timeval& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000 + static_cast<uint64_t>(t.tv_usec);
    };
    VZRFileBeginSection(file, "process_stats");
    VZRFileBeginObject(file);
    VZRFileWriteUnsignedField(file, "active", active);
    VZRFileWriteUnsignedField(file, "inactive", inactive);
    VZRFileWriteUnsignedField(file, "wired", wired);
    VZRFileWriteUnsignedField(file, "freeMem", freeMemory);
    VZRFileWriteUnsignedField(file, "free_mem", freeMemory);
    VZRFileWriteUnsignedField(file, "virtual", virtualBytes);
    VZRFileWriteUnsignedField(file, "resident", residentBytes);
    VZRFileWriteUnsignedField(file, "user_time", micros(usage.ru_utime));
    VZRFileWriteUnsignedField(file, "sys_time", micros(usage.ru_stime));
    VZRFileEndObject(file);
    VZRFileEndSection(file);
}

} // namespace

pid_t VZRCurrentTid() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

bool VZRProcessInstallCaptureHandler() {
    if (captureHandlerInstalled.load())
        return true;
    struct sigaction action {};
    action.sa_sigaction = &captureSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    if (::sigaction(kVZRThreadCaptureSignal, &action, nullptr) != 0)
        return false;
    captureHandlerInstalled.store(true);
    return true;
}

void VZRHandler(VZRFile* file, pid_t crashedThread, const ucontext_t* userContext) {
    ProcessSnapshot snapshot;
    processInit(&snapshot, crashedThread, userContext);
    suspendThreads(&snapshot);
    recordAllThreads(file, &snapshot);
    recordRuntimeInfo(file);
    recordQueueNames(file, &snapshot);
    recordThreadNames(file, &snapshot);
    recordStats(file);
    VZRHostWriteStorage(file);
    resumeThreads(&snapshot);
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (VZRIsValidPointer(readonly) && VZRIsValidPointer(readonly->crashCallback)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Performing syncrhonous crash callback - hold onto your butts\n",
                  VZR_HERE);
        plat::rt::msgSend<void>(*readonly->crashCallback, "deliverCrashDelegateCallback");
    }
}

void VZRHostWriteStorage(VZRFile* file) {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    struct statvfs figures {};
    const bool known = VZRIsValidPointer(readonly) && VZRIsValidPointer(readonly->host.documentsPath) &&
                       ::statvfs(readonly->host.documentsPath, &figures) == 0;
    VZRFileBeginSection(file, "storage");
    VZRFileBeginObject(file);
    if (known) {
        VZRFileWriteUnsignedField(file, "free", static_cast<uint64_t>(figures.f_bavail) * figures.f_frsize);
        VZRFileWriteUnsignedField(file, "total", static_cast<uint64_t>(figures.f_blocks) * figures.f_frsize);
    }
    VZRFileEndObject(file);
    VZRFileEndSection(file);
}

void VZRProcessMarkRecordDone() {
    VZRWritableContext* writable = VZRSharedContext().writable.load();
    if (!VZRIsValidPointer(writable))
        return;
    writable->recordDone.store(1);
    futexWakeAll(&writable->recordDone);
}

void VZRProcessEndAfterRecording() {
    VZRWritableContext* writable = VZRSharedContext().writable.load();
    if (VZRIsValidPointer(writable))
        waitWhileZeroUntil(&writable->recordDone, plat::Clock::monotonicNanos() + kRecordDoneWaitNanos);
    ::_exit(1);
}

void VZRProcessSetCaptureTimeoutForTesting(int64_t nanos) {
    captureTimeout.store(nanos > 0 ? nanos : kCaptureTimeoutNanos);
}
