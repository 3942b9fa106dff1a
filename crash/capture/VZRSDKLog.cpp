#include "crash/capture/VZRSDKLog.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

// Writes all of it; a short write goes on with the rest, so nothing is lost when the kernel takes a piece
// in parts.
void writeAllToLog(int fd, const char* p, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        length -= static_cast<size_t>(n);
    }
}

// The open batches, one per thread at most. A slot is claimed and released only by its owner thread, so a
// lookup needs no lock: only the calling thread's own slot can match.
struct SDKLogBatchSlot {
    std::atomic<uintptr_t> owner{0};
    std::atomic<VZRSDKLogBatch*> batch{nullptr};
};
constexpr size_t kSDKLogBatchSlots = 8;
SDKLogBatchSlot sdkLogBatchSlots[kSDKLogBatchSlots];

// The calling thread's identity without a system call (the thread pointer), usable in a signal handler.
uintptr_t sdkLogThreadKey() {
    return static_cast<uintptr_t>(::pthread_self());
}

VZRSDKLogBatch* openBatchOfThisThread() {
    const uintptr_t self = sdkLogThreadKey();
    for (SDKLogBatchSlot& slot : sdkLogBatchSlots)
        if (slot.owner.load(std::memory_order_acquire) == self)
            return slot.batch.load(std::memory_order_acquire);
    return nullptr;
}

void flushBatch(VZRSDKLogBatch* batch) {
    if (batch->used > 0 && batch->fd >= 0)
        writeAllToLog(batch->fd, batch->bytes, batch->used);
    batch->used = 0;
}

// A message is gathered on the stack and written with as few calls as fit (one for any ordinary line, or
// none while a batch is open).
struct LogLine {
    int fd = -1;
    VZRSDKLogBatch* batch = nullptr;
    size_t used = 0;
    char bytes[1024];
};

// Writes what the line holds; what a batch gathered before it goes first, so the order stays.
void flushLine(LogLine& line) {
    if (line.batch)
        flushBatch(line.batch);
    writeAllToLog(line.fd, line.bytes, line.used);
    line.used = 0;
}

// The end of a message: into the batch when one is open, else straight to the file.
void finishLine(LogLine& line) {
    VZRSDKLogBatch* batch = line.batch;
    if (!batch) {
        flushLine(line);
        return;
    }
    if (batch->fd != line.fd || batch->used + line.used > sizeof batch->bytes)
        flushBatch(batch);
    std::memcpy(batch->bytes + batch->used, line.bytes, line.used);
    batch->used += line.used;
    batch->fd = line.fd;
    line.used = 0;
}

void writePiece(LogLine& line, const char* bytes, size_t length) {
    while (length > 0) {
        if (line.used == sizeof line.bytes)
            flushLine(line);
        size_t take = sizeof line.bytes - line.used;
        if (take > length)
            take = length;
        std::memcpy(line.bytes + line.used, bytes, take);
        line.used += take;
        bytes += take;
        length -= take;
    }
}

void writeNumber(LogLine& line, uint64_t value, unsigned base, bool negative, const char* prefix) {
    char digits[20];
    size_t length = 0;
    const char* first = VZRFormatUnsigned(value, base, digits, &length);
    char piece[24];
    size_t used = 0;
    if (negative)
        piece[used++] = '-';
    for (; prefix && *prefix; ++prefix)
        piece[used++] = *prefix;
    std::memcpy(piece + used, first, length);
    writePiece(line, piece, used + length);
}

// The descriptor of "sdk.log", opened on first use; -1 when it cannot be opened now (tried again next time).
int logDescriptor(VZRWritableContext& writable, const char* path) {
    int fd = writable.logFd.load();
    if (fd >= 0)
        return fd;
    fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    int expected = -1;
    if (!writable.logFd.compare_exchange_strong(expected, fd)) {
        // Another thread opened it first; keep one descriptor.
        ::close(fd);
        return expected;
    }
    return fd;
}

} // namespace

void VZRSDKLog(int level, const char* format, ...) {
    VZRContext& context = VZRSharedContext();
    VZRReadOnlyContext* readonly = context.readonly.load();
    VZRWritableContext* writable = context.writable.load();
    if (!VZRIsValidPointer(readonly) || !VZRIsValidPointer(writable) || !VZRIsValidPointer(format))
        return;
    const char* path = readonly->logPath.load();
    if (!VZRIsValidPointer(path) || level < writable->logThreshold.load())
        return;
    const int fd = logDescriptor(*writable, path);
    if (fd < 0)
        return;

    LogLine line;
    line.fd = fd;
    line.batch = openBatchOfThisThread();
    va_list args;
    va_start(args, format);
    const char* text = format; // start of the pending run of literal text
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            ++p;
            continue;
        }
        const char conversion = p[1];
        if (conversion != 'd' && conversion != 'u' && conversion != 'x' && conversion != 'p' &&
            conversion != 's') {
            // Written as text with what follows; no argument is taken.
            p += conversion ? 2 : 1;
            continue;
        }
        if (p > text)
            writePiece(line, text, static_cast<size_t>(p - text));
        switch (conversion) {
        case 'd': {
            const int value = va_arg(args, int);
            const int64_t wide = value;
            writeNumber(line, static_cast<uint64_t>(wide < 0 ? -wide : wide), 10, wide < 0, nullptr);
            break;
        }
        case 'u':
            writeNumber(line, va_arg(args, unsigned), 10, false, nullptr);
            break;
        case 'x':
            writeNumber(line, va_arg(args, unsigned), 16, false, nullptr);
            break;
        case 'p':
            writeNumber(line, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16, false, "0x");
            break;
        case 's': {
            const char* s = va_arg(args, const char*);
            if (!VZRIsValidPointer(s)) // a pointer below 4096 would fault just the same as null
                s = "(null)";
            writePiece(line, s, std::strlen(s));
            break;
        }
        }
        p += 2;
        text = p;
    }
    if (p > text)
        writePiece(line, text, static_cast<size_t>(p - text));
    va_end(args);
    finishLine(line);
}

void VZRSDKLogBeginBatch(VZRSDKLogBatch* batch) {
    if (!batch)
        return;
    batch->slot = 0;
    batch->used = 0;
    batch->fd = -1;
    const uintptr_t self = sdkLogThreadKey();
    for (SDKLogBatchSlot& slot : sdkLogBatchSlots)
        if (slot.owner.load(std::memory_order_acquire) == self)
            return; // inside another batch of this thread: its lines join that one
    for (size_t i = 0; i < kSDKLogBatchSlots; ++i) {
        uintptr_t expected = 0;
        if (sdkLogBatchSlots[i].owner.compare_exchange_strong(expected, self)) {
            sdkLogBatchSlots[i].batch.store(batch, std::memory_order_release);
            batch->slot = i + 1;
            return;
        }
    }
    // Every slot is taken: this thread's lines are written one by one, as without a batch.
}

void VZRSDKLogEndBatch(VZRSDKLogBatch* batch) {
    if (!batch || batch->slot == 0)
        return;
    SDKLogBatchSlot& slot = sdkLogBatchSlots[batch->slot - 1];
    slot.batch.store(nullptr, std::memory_order_release);
    flushBatch(batch);
    slot.owner.store(0, std::memory_order_release);
    batch->slot = 0;
}
