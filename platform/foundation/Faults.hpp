#pragma once
// Test control that makes the stand-ins fail the way the device can fail: file operations, user-defaults
// synchronisation, keychain calls, random bytes and stream writes. Production code never arms a fault, so
// every check is one uncontended lock on a usually empty table.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plat::sim {

class Faults {
public:
    // Unlimited repetitions for `times`.
    static constexpr int kAlways = -1;

    // Arms a fault: the next `times` operations `op` whose subject (usually a path) matches `matcher` fail
    // with `error` (an errno for file.* and stream.write, an OSStatus for keychain.*, any non-zero value
    // elsewhere). An empty matcher or "*" matches every subject; a matcher with `*`, `?` or `[` is a shell
    // glob over the whole subject; any other matcher matches subjects that contain it.
    static void fail(std::string op, std::string matcher, int error, int times = 1);

    // Arms a stream fault: writes to a stream whose subject matches accept `afterBytes` more bytes in total
    // (a write that crosses the limit is cut short there), then fail with `error`.
    static void failStreamWriteAfter(std::string matcher, std::size_t afterBytes, int error, int times = 1);

    // Drops every armed fault. Each test runs in its own process, so this is only for tests that re-arm.
    static void reset();

    // Called by the stand-ins: the error to report for this operation, consuming one repetition, or none.
    static std::optional<int> check(std::string_view op, std::string_view subject);

    // For stream writes: how many of `len` bytes may be written when `alreadyWritten` bytes went through this
    // stream so far, and the error to report once nothing more may be written.
    struct WriteAllowance {
        std::size_t allowed;
        std::optional<int> error;
    };
    static WriteAllowance checkWrite(std::string_view subject, std::size_t alreadyWritten, std::size_t len);

    // How many times a fault of `op` fired, for tests that want to see the failure path was taken.
    static int firedCount(std::string_view op);
};

} // namespace plat::sim
