#include "crash/capture/VZRFile.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

std::atomic<VZRFileWriteFunction> writeFunction{&::write};

// Both digits of every byte, so the buffered hex path stores two characters per byte in one move.
struct HexPairTable {
    char pairs[256][2];
    constexpr HexPairTable() : pairs{} {
        for (int b = 0; b < 256; ++b) {
            pairs[b][0] = kVZRHexDigits[b >> 4];
            pairs[b][1] = kVZRHexDigits[b & 0x0f];
        }
    }
};
constexpr HexPairTable kHexPairs;

// The length of the well-formed UTF-8 sequence that starts at `p` (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0 when the byte there does not start one.
size_t utf8SequenceLength(const unsigned char* p, size_t remaining) {
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (remaining < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    }
    return length;
}

bool isValidUtf8(const unsigned char* p, size_t length) {
    for (size_t i = 0; i < length;) {
        const size_t n = utf8SequenceLength(p + i, length - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool needsEscaping(const unsigned char* p, size_t length) {
    for (size_t i = 0; i < length;) {
        if (p[i] < 0x20 || p[i] == '"' || p[i] == '\\')
            return true;
        const size_t n = utf8SequenceLength(p + i, length - i);
        if (n == 0)
            return true;
        i += n;
    }
    return false;
}

// At most 50 write calls; a short write goes on with the rest. Only a complete write counts.
bool writeFully(VZRFile* file, const char* bytes, size_t length) {
    const VZRFileWriteFunction write = writeFunction.load();
    size_t remaining = length;
    for (int call = 0; call < kVZRFileMaxWriteCalls && remaining > 0; ++call) {
        const ssize_t n = write(file->fd, bytes, remaining);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || static_cast<size_t>(n) > remaining) {
            file->writeFailed = true;
            return false;
        }
        bytes += n;
        remaining -= static_cast<size_t>(n);
    }
    if (remaining > 0) {
        file->writeFailed = true;
        return false;
    }
    file->totalBytes += length;
    return true;
}

void flush(VZRFile* file) {
    if (file->bufferCount > 0) {
        writeFully(file, file->buffer, file->bufferCount);
        file->bufferCount = 0;
    }
}

void openContainer(VZRFile* file, char bracket) {
    if (file->needsComma)
        VZRFileWriteBytes(file, ",", 1);
    VZRFileWriteBytes(file, &bracket, 1);
    ++file->depth;
    file->needsComma = false;
}

void closeContainer(VZRFile* file, const char* bytes, size_t length) {
    VZRFileWriteBytes(file, bytes, length);
    if (file->depth > 0)
        --file->depth;
    file->needsComma = file->depth > 0;
}

void beginValue(VZRFile* file) {
    if (file->needsComma)
        VZRFileWriteBytes(file, ",", 1);
}

void endValue(VZRFile* file) {
    file->needsComma = true;
}

// The escaped form of bytes that need it, assembled on the stack and written a buffer at a time.
void writeEscaped(VZRFile* file, const unsigned char* p, size_t length) {
    char out[64];
    size_t used = 0;
    auto put = [&](const char* bytes, size_t n) {
        if (used + n > sizeof out) {
            VZRFileWriteBytes(file, out, used);
            used = 0;
        }
        std::memcpy(out + used, bytes, n);
        used += n;
    };
    for (size_t i = 0; i < length;) {
        const unsigned char b = p[i];
        if (b == '"' || b == '\\') {
            const char pair[2] = {'\\', static_cast<char>(b)};
            put(pair, 2);
            ++i;
            continue;
        }
        const size_t n = b < 0x20 ? 0 : utf8SequenceLength(p + i, length - i);
        if (n == 0) {
            // A control byte, or a byte that does not form UTF-8: its value as a code point.
            char escape[6] = {'\\', 'u', '0', '0', 0, 0};
            VZRHexFromByte(b, escape + 4);
            put(escape, 6);
            ++i;
            continue;
        }
        put(reinterpret_cast<const char*>(p + i), n);
        i += n;
    }
    VZRFileWriteBytes(file, out, used);
}

// A quoted string, with ":" after it for a key. Short clean ones are assembled in one 16-byte stack buffer.
void writeQuoted(VZRFile* file, const char* text, bool isKey) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const size_t length = std::strlen(text);
    const char* closing = isKey ? "\":" : "\"";
    const size_t closingLength = isKey ? 2 : 1;
    if (needsEscaping(p, length)) {
        VZRFileWriteBytes(file, "\"", 1);
        writeEscaped(file, p, length);
        VZRFileWriteBytes(file, closing, closingLength);
        return;
    }
    if (length < (isKey ? 12u : 13u)) {
        char assembled[16];
        assembled[0] = '"';
        std::memcpy(assembled + 1, text, length);
        std::memcpy(assembled + 1 + length, closing, closingLength);
        VZRFileWriteBytes(file, assembled, 1 + length + closingLength);
        return;
    }
    VZRFileWriteBytes(file, "\"", 1);
    VZRFileWriteBytes(file, text, length);
    VZRFileWriteBytes(file, closing, closingLength);
}

void writeNull(VZRFile* file) {
    VZRFileWriteBytes(file, "null", 4);
}

void writeUnsigned(VZRFile* file, uint64_t value, bool negative) {
    char digits[20];
    size_t length = 0;
    const char* first = VZRFormatUnsigned(value, 10, digits, &length);
    if (negative)
        VZRFileWriteBytes(file, "-", 1);
    VZRFileWriteBytes(file, first, length);
}

void writeSigned(VZRFile* file, int64_t value) {
    // The magnitude of INT64_MIN does not fit a signed type.
    const uint64_t magnitude = value < 0 ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
    writeUnsigned(file, magnitude, value < 0);
}

// Hex text goes straight into a buffered writer's buffer; unbuffered (crash-time) writers convert it on the
// stack and write it in chunks of 32 characters.
void writeHex(VZRFile* file, const void* bytes, size_t length) {
    if (!bytes) {
        writeNull(file);
        return;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    VZRFileWriteBytes(file, "\"", 1);
    if (file->buffered) {
        while (length > 0) {
            // As for raw bytes, the buffer never holds more than one byte less than its size; a pair of digits
            // that would pass that is written after a flush.
            size_t room = (kVZRFileBufferSize - 1 - file->bufferCount) / 2;
            if (room == 0) {
                flush(file);
                room = (kVZRFileBufferSize - 1) / 2;
            }
            const size_t take = length < room ? length : room;
            char* out = file->buffer + file->bufferCount;
            for (size_t i = 0; i < take; ++i)
                std::memcpy(out + 2 * i, kHexPairs.pairs[p[i]], 2);
            file->bufferCount += 2 * take;
            p += take;
            length -= take;
        }
    } else {
        char chunk[32];
        size_t used = 0;
        for (size_t i = 0; i < length; ++i) {
            VZRHexFromByte(p[i], chunk + used);
            used += 2;
            if (used == sizeof chunk) {
                VZRFileWriteBytes(file, chunk, used);
                used = 0;
            }
        }
        if (used > 0)
            VZRFileWriteBytes(file, chunk, used);
    }
    VZRFileWriteBytes(file, "\"", 1);
}

void writeString(VZRFile* file, const char* value) {
    if (VZRIsValidPointer(value))
        writeQuoted(file, value, false);
    else
        writeNull(file);
}

} // namespace

void VZRFileSetWriteFunctionForTesting(VZRFileWriteFunction function) {
    writeFunction.store(function ? function : &::write);
}

bool VZRFileInitWithPathMode(VZRFile* file, const char* path, bool append, bool buffered) {
    if (!VZRIsValidPointer(file)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: file is null\n", VZR_HERE);
        return false;
    }
    *file = VZRFile{};
    if (VZRIsValidPointer(path)) {
        // Crash records carry no data protection here: files are opened plainly.
        file->fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
        if (file->fd < 0)
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to open file %s\n", VZR_HERE, std::strerror(errno));
    }
    if (file->fd < 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: file descriptor invalid\n", VZR_HERE);
        return false;
    }
    if (append) {
        struct stat st {};
        if (::fstat(file->fd, &st) == 0)
            file->totalBytes = static_cast<uint64_t>(st.st_size);
    }
    if (buffered) {
        file->buffer = static_cast<char*>(std::malloc(kVZRFileBufferSize));
        file->buffered = file->buffer != nullptr;
    }
    return true;
}

bool VZRFileInitWithPath(VZRFile* file, const char* path, bool buffered) {
    return VZRFileInitWithPathMode(file, path, true, buffered);
}

bool VZRFileCloseWithOffset(VZRFile* file, uint64_t* total) {
    if (!VZRIsValidPointer(file))
        return false;
    if (file->fd >= 0 && file->buffered)
        flush(file);
    std::free(file->buffer);
    if (total)
        *total = file->totalBytes;
    bool ok = true;
    if (file->fd >= 0 && ::close(file->fd) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to close file %s\n", VZR_HERE, std::strerror(errno));
        ok = false;
    }
    *file = VZRFile{};
    return ok;
}

bool VZRFileFlush(VZRFile* file) {
    if (!VZRFileIsOpen(file))
        return false;
    if (file->buffered)
        flush(file);
    return !file->writeFailed;
}

bool VZRFileClose(VZRFile* file) {
    return VZRFileCloseWithOffset(file, nullptr);
}

bool VZRFileIsOpen(const VZRFile* file) {
    return VZRIsValidPointer(file) && file->fd >= 0;
}

void VZRFileWriteBytes(VZRFile* file, const char* bytes, size_t length) {
    if (!VZRFileIsOpen(file) || length == 0)
        return;
    if (!file->buffered) {
        writeFully(file, bytes, length);
        return;
    }
    if (file->bufferCount + length < kVZRFileBufferSize) {
        // Most pieces are a few bytes: a loop beats a call to memcpy for them.
        char* out = file->buffer + file->bufferCount;
        if (length <= 16) {
            for (size_t i = 0; i < length; ++i)
                out[i] = bytes[i];
        } else {
            std::memcpy(out, bytes, length);
        }
        file->bufferCount += length;
        return;
    }
    while (file->bufferCount + length >= kVZRFileBufferSize) {
        const size_t take = kVZRFileBufferSize - 1 - file->bufferCount;
        std::memcpy(file->buffer + file->bufferCount, bytes, take);
        file->bufferCount += take;
        flush(file);
        bytes += take;
        length -= take;
    }
    std::memcpy(file->buffer + file->bufferCount, bytes, length);
    file->bufferCount += length;
}

void VZRFileBeginSection(VZRFile* file, const char* name) {
    if (!VZRFileIsOpen(file))
        return;
    openContainer(file, '{');
    VZRFileWriteKey(file, name);
}

void VZRFileEndSection(VZRFile* file) {
    if (!VZRFileIsOpen(file))
        return;
    closeContainer(file, "}\n", 2);
}

void VZRFileBeginObject(VZRFile* file) {
    if (!VZRFileIsOpen(file))
        return;
    openContainer(file, '{');
}

void VZRFileEndObject(VZRFile* file) {
    if (!VZRFileIsOpen(file))
        return;
    closeContainer(file, "}", 1);
}

void VZRFileBeginArray(VZRFile* file) {
    if (!VZRFileIsOpen(file))
        return;
    openContainer(file, '[');
}

void VZRFileEndArray(VZRFile* file) {
    if (!VZRFileIsOpen(file))
        return;
    closeContainer(file, "]", 1);
}

void VZRFileWriteKey(VZRFile* file, const char* name) {
    if (!VZRFileIsOpen(file))
        return;
    if (file->needsComma)
        VZRFileWriteBytes(file, ",", 1);
    file->needsComma = false;
    writeQuoted(file, VZRIsValidPointer(name) ? name : "", true);
}

void VZRFileWriteUnsignedField(VZRFile* file, const char* key, uint64_t value) {
    if (!VZRFileIsOpen(file))
        return;
    VZRFileWriteKey(file, key);
    VZRFileAppendUnsigned(file, value);
}

void VZRFileWriteSignedField(VZRFile* file, const char* key, int64_t value) {
    if (!VZRFileIsOpen(file))
        return;
    VZRFileWriteKey(file, key);
    beginValue(file);
    writeSigned(file, value);
    endValue(file);
}

void VZRFileWriteStringField(VZRFile* file, const char* key, const char* value) {
    if (!VZRFileIsOpen(file))
        return;
    VZRFileWriteKey(file, key);
    VZRFileAppendString(file, value);
}

void VZRFileWriteNSStringField(VZRFile* file, const char* key, std::string_view value) {
    if (value.empty())
        return;
    const std::string copy(value);
    VZRFileWriteStringField(file, key, copy.c_str());
}

void VZRFileWriteHexField(VZRFile* file, const char* key, const void* bytes, size_t length) {
    if (!VZRFileIsOpen(file))
        return;
    VZRFileWriteKey(file, key);
    VZRFileAppendHex(file, bytes, length);
}

void VZRFileWriteBoolField(VZRFile* file, const char* key, bool value) {
    if (!VZRFileIsOpen(file))
        return;
    VZRFileWriteKey(file, key);
    beginValue(file);
    VZRFileWriteBytes(file, value ? "true" : "false", value ? 4 : 5);
    endValue(file);
}

void VZRFileAppendUnsigned(VZRFile* file, uint64_t value) {
    if (!VZRFileIsOpen(file))
        return;
    beginValue(file);
    writeUnsigned(file, value, false);
    endValue(file);
}

void VZRFileAppendString(VZRFile* file, const char* value) {
    if (!VZRFileIsOpen(file))
        return;
    beginValue(file);
    writeString(file, value);
    endValue(file);
}

void VZRFileAppendHex(VZRFile* file, const void* bytes, size_t length) {
    if (!VZRFileIsOpen(file))
        return;
    beginValue(file);
    writeHex(file, bytes, length);
    endValue(file);
}

std::optional<plat::Array> VZRFileReadSections(const char* path, bool deleteOnFailure, const VZRFileSectionMap& map) {
    if (!VZRIsValidPointer(path)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: input path is invalid\n", VZR_HERE);
        return std::nullopt;
    }
    auto bytes = plat::readData(path);
    if (!bytes) {
        if (deleteOnFailure)
            ::unlink(path);
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to read file %s\n", VZR_HERE, path);
        return std::nullopt;
    }
    // Each line is parsed on its own, so a line that a crash cut short or that holds bytes which are not
    // UTF-8 costs that line only.
    plat::Array sections;
    std::span<const uint8_t> rest(*bytes);
    while (!rest.empty()) {
        const auto* newline = static_cast<const uint8_t*>(std::memchr(rest.data(), '\n', rest.size()));
        const size_t length = newline ? static_cast<size_t>(newline - rest.data()) : rest.size();
        const std::span<const uint8_t> line = rest.first(length);
        rest = rest.subspan(newline ? length + 1 : length);
        if (line.empty())
            continue;
        auto parsed = plat::JSONSerialization::jsonObject(line);
        if (!parsed)
            continue;
        if (!map) {
            sections.push_back(std::move(*parsed));
        } else if (auto kept = map(*parsed)) {
            sections.push_back(std::move(*kept));
        }
    }
    return sections;
}

std::optional<std::string> VZRFileDecodeHexString(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const uint8_t high = VZRHexNibbleValue(text[i]);
        const uint8_t low = VZRHexNibbleValue(text[i + 1]);
        if (high == 255 || low == 255)
            break;
        bytes.push_back(static_cast<char>(high << 4 | low));
    }
    if (!isValidUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()))
        return std::nullopt;
    return bytes;
}
