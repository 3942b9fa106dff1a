#pragma once
// Crash record files (".vzrrecord"): text files of one JSON object per line, each holding one named
// section. The writer is safe in a crashed process (no locks, no object calls; unbuffered it allocates
// nothing); the reader runs in a later, healthy launch and skips lines a crash cut short.

#include "platform/foundation/Value.hpp"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Buffered writers serve the logging queue of a healthy process only (the crash handlers write unbuffered) and
// every one is opened, written and closed within one queued task, so the buffer's size changes how many write
// calls a record costs, not what reaches the file. 64 KiB holds a whole log record in one or two calls.
inline constexpr size_t kVZRFileBufferSize = 64 * 1024;
inline constexpr int kVZRFileMaxWriteCalls = 50;

struct VZRFile {
    int fd = -1;
    int depth = 0;
    bool needsComma = false;
    bool buffered = false;
    char* buffer = nullptr; // kVZRFileBufferSize bytes from the heap, taken at open by buffered writers only
    size_t bufferCount = 0;
    uint64_t totalBytes = 0; // for a file opened to append, starts at the file's size
    bool writeFailed = false; // some bytes never reached the file
};

// Append and create when `append`, else truncate; mode 0644. False (with the reason in the SDK log) when the
// file cannot be opened.
bool VZRFileInitWithPathMode(VZRFile* file, const char* path, bool append, bool buffered);
bool VZRFileInitWithPath(VZRFile* file, const char* path, bool buffered);
// Flushes, frees the buffer, closes and resets the writer; `*total` is the number of bytes the file holds.
bool VZRFileCloseWithOffset(VZRFile* file, uint64_t* total);
bool VZRFileClose(VZRFile* file);
bool VZRFileIsOpen(const VZRFile* file);
// Writes out what the buffer holds; false when any write of this writer so far failed. For writers whose file
// must be whole before it replaces another.
bool VZRFileFlush(VZRFile* file);

// Structure. A section is `{"name":` value `}` and a newline.
void VZRFileBeginSection(VZRFile* file, const char* name);
void VZRFileEndSection(VZRFile* file);
void VZRFileBeginObject(VZRFile* file);
void VZRFileEndObject(VZRFile* file);
void VZRFileBeginArray(VZRFile* file);
void VZRFileEndArray(VZRFile* file);
void VZRFileWriteKey(VZRFile* file, const char* name);

// Keyed values. Plain strings are for text the program controls; they are escaped all the same (quotes,
// backslashes, control bytes, and bytes that are not UTF-8 as \u00XX), so no value can break its line.
// A null string or hex pointer is written as null.
void VZRFileWriteUnsignedField(VZRFile* file, const char* key, uint64_t value);
void VZRFileWriteSignedField(VZRFile* file, const char* key, int64_t value);
void VZRFileWriteStringField(VZRFile* file, const char* key, const char* value);
// Written only when the text is not empty.
void VZRFileWriteNSStringField(VZRFile* file, const char* key, std::string_view value);
void VZRFileWriteHexField(VZRFile* file, const char* key, const void* bytes, size_t length);
void VZRFileWriteBoolField(VZRFile* file, const char* key, bool value);

// Array elements.
void VZRFileAppendUnsigned(VZRFile* file, uint64_t value);
void VZRFileAppendString(VZRFile* file, const char* value);
void VZRFileAppendHex(VZRFile* file, const void* bytes, size_t length);

// Raw bytes through the writer's buffer and its retrying write (at most 50 write calls for one piece).
void VZRFileWriteBytes(VZRFile* file, const char* bytes, size_t length);

// Tests: the write call the writer uses; null restores write(2).
using VZRFileWriteFunction = ssize_t (*)(int fd, const void* bytes, size_t length);
void VZRFileSetWriteFunctionForTesting(VZRFileWriteFunction function);

// The file's sections in order, each line parsed on its own: lines that do not parse (cut short by a crash,
// not UTF-8, not JSON) are skipped. None when the file cannot be read; then, with `deleteOnFailure`, it is
// deleted. With `map`, each parsed line is replaced by the map's answer and none drops it.
using VZRFileSectionMap = std::function<std::optional<plat::Value>(const plat::Value&)>;
std::optional<plat::Array> VZRFileReadSections(const char* path, bool deleteOnFailure,
                                               const VZRFileSectionMap& map = {});

// The inverse of the hex form: pairs of hex digits up to the first pair that is not one (an odd last digit is
// ignored). None when the bytes are not UTF-8.
std::optional<std::string> VZRFileDecodeHexString(std::string_view text);
