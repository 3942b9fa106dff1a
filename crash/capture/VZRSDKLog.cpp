#include "crash/capture/VZRSDKLog.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

// One piece of a message: a run of text or one converted value. A short write goes on with the rest, so
// nothing of the piece is lost when the kernel takes it in parts.
void writePiece(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
}

void writeNumber(int fd, uint64_t value, unsigned base, bool negative, const char* prefix) {
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
    writePiece(fd, piece, used + length);
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
            writePiece(fd, text, static_cast<size_t>(p - text));
        switch (conversion) {
        case 'd': {
            const int value = va_arg(args, int);
            const int64_t wide = value;
            writeNumber(fd, static_cast<uint64_t>(wide < 0 ? -wide : wide), 10, wide < 0, nullptr);
            break;
        }
        case 'u':
            writeNumber(fd, va_arg(args, unsigned), 10, false, nullptr);
            break;
        case 'x':
            writeNumber(fd, va_arg(args, unsigned), 16, false, nullptr);
            break;
        case 'p':
            writeNumber(fd, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16, false, "0x");
            break;
        case 's': {
            const char* s = va_arg(args, const char*);
            if (!VZRIsValidPointer(s)) // a pointer below 4096 would fault just the same as null
                s = "(null)";
            writePiece(fd, s, std::strlen(s));
            break;
        }
        }
        p += 2;
        text = p;
    }
    if (p > text)
        writePiece(fd, text, static_cast<size_t>(p - text));
    va_end(args);
}
