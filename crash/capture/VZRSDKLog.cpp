#include "crash/capture/VZRSDKLog.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

// A message is gathered on the stack and written with as few calls as fit (one for any ordinary line), so
// a crash-time walk that logs a line per step pays one system call per line. A short write goes on with the
// rest, so nothing is lost when the kernel takes a piece in parts.
struct LogLine {
    int fd = -1;
    size_t used = 0;
    char bytes[1024];
};

void flushLine(LogLine& line) {
    const char* p = line.bytes;
    size_t length = line.used;
    while (length > 0) {
        const ssize_t n = ::write(line.fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        length -= static_cast<size_t>(n);
    }
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
    flushLine(line);
}
