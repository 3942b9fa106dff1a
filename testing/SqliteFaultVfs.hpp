#pragma once
// A SQLite VFS over the default unix one that fails reads, writes, syncs or truncates on demand with a given
// SQLite code, so tests can see how code above SQLite handles I/O errors inside it. Installing it makes it
// the default VFS for connections opened afterwards; it passes every call through until a fault is armed.

#include <string>

namespace portal::testing {

class SqliteFaultVfs {
public:
    enum class Operation { Read, Write, Sync, Truncate };

    // Registers the shim as the default VFS (once per process).
    static void install();
    // The next `times` operations `op` on files whose path contains `pathPart` (empty: any file) fail with
    // `sqliteCode` (for example SQLITE_FULL or SQLITE_IOERR_FSYNC). A negative `times` fails every one.
    static void fail(Operation op, int sqliteCode, int times = 1, std::string pathPart = {});
    // Drops every armed fault.
    static void reset();
    // How many faults fired since the last reset.
    static int firedCount();
};

} // namespace portal::testing
