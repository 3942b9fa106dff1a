#pragma once
// Small services of crash-time code: reads of memory that may not be mapped, strings copied into the guarded
// context, hex text, symbol names, unlinking, profiling marks and delayed work.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// Copies `length` bytes from `address` into `buffer` without ever faulting: false for an address below 4096
// or when any byte of the range is not readable. Async-signal-safe.
bool VZRReadMemory(uintptr_t address, void* buffer, size_t length);
// `count` pieces of `each` bytes from scattered addresses, packed one after another into `buffer`, with one
// system call: false when any piece is unreadable, and also where the kernel refuses such reads (the caller
// then reads piece by piece). At most 256 pieces. Async-signal-safe.
bool VZRReadMemoryGather(const uintptr_t* addresses, size_t count, size_t each, void* buffer);
// The same, each piece into a buffer of its own (at most 16).
bool VZRReadMemoryScatter(const uintptr_t* addresses, void* const* buffers, size_t count, size_t each);
// True when the string at `address` is readable up to and including its terminating zero within `maximum`
// bytes; `*result` is then the address itself. A string without its zero in that range is not accepted: its
// readers would run past what was checked.
bool VZRReadString(uintptr_t address, const char** result, size_t maximum);

// Opens the pipe that safe reads fall back on where the kernel refuses reading the own process's memory
// directly. Done by the context's start-up; safe to call again.
void VZRSafeReadPrepare();
// Tests: always take the pipe path (true) or the direct one (false).
void VZRSafeReadForcePipeForTesting(bool forcePipe);

// Copies a C string with its zero into the read-only region of the context's allocator; null gives null.
char* VZRDuplicateString(const char* text);

// Hex text.
inline constexpr char kVZRHexDigits[17] = "0123456789abcdef";
// Inline: crash records turn every byte of free text into hex.
inline void VZRHexFromByte(uint8_t byte, char out[2]) {
    out[0] = kVZRHexDigits[byte >> 4];
    out[1] = kVZRHexDigits[byte & 0x0f];
}
// Writes 2 x length digits and a zero into `out`, which must hold 2 x length + 1 bytes (zeroed first).
void VZRHexFromBuffer(const uint8_t* bytes, size_t length, char* out);
// 0-15 for 0-9, a-f, A-F; 255 for anything else.
uint8_t VZRHexNibbleValue(char c);

// Writes the digits of `value` in base 16 (lower case) or 10 (any other base) into the end of a 20-byte stack
// buffer, from the last digit backwards; returns the first digit, the count in `*length`.
inline char* VZRFormatUnsigned(uint64_t value, unsigned base, char (&buffer)[20], size_t* length) {
    char* p = buffer + sizeof buffer;
    if (base == 16) {
        do {
            *--p = kVZRHexDigits[value & 0x0f];
            value >>= 4;
        } while (value != 0);
    } else {
        do { // a constant divisor, which the compiler turns into a multiplication
            *--p = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
    }
    *length = static_cast<size_t>(buffer + sizeof buffer - p);
    return p;
}

// Calls `block` with the symbol name and image path of `address` ("unknown" for either that is missing), or
// with two nulls when the address is in no image.
void VZRDladdrNames(uintptr_t address, const std::function<void(const char* symbol, const char* path)>& block);

// True when the file is gone afterwards: unlinked, or there was none.
bool VZRUnlinkIfExists(const char* path);

// Runs `block` on `queue` after `seconds`.
void VZRDispatchAfter(const plat::DispatchQueuePtr& queue, std::function<void()> block, double seconds);
// After `seconds`, adds `block` to `operationQueue` (from the default global queue).
void VZRAddOperationAfterDelay(const std::shared_ptr<plat::OperationQueue>& operationQueue,
                               std::function<void()> block, double seconds);

// Profiling marks: a reading of the monotonic clock, and the milliseconds since one.
uint64_t VZRProfilingStart();
double VZRProfileEnd(uint64_t mark);
