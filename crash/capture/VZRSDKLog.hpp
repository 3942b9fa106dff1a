#pragma once
// The crash reporter's own log, "sdk.log" in the active report directory, shipped with the report. Safe in
// a signal handler: no allocation, no lock, no locale, no stdio. Every message starts with its level word
// padded to five characters and "[function:line] ", which the callers pass first, e.g.
//   VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to read file %s\n", __func__, __LINE__, path);
// Conversions: %d (int), %u and %x (unsigned), %p (pointer, "0x..."), %s (string, "(null)"); any other
// character after "%" is written as it stands and takes no argument.

enum VZRLogLevel : int {
    VZRLogLevelDebug = 1,
    VZRLogLevelInfo = 2,
    VZRLogLevelWarn = 3,
    VZRLogLevelError = 4,
};

void VZRSDKLog(int level, const char* format, ...);

// Lines the calling thread logs while a batch is open are gathered in the batch (on the caller's stack) and
// written with one call when it fills and when it closes, instead of one call per line: the crash-time stack
// walk logs a line per interpreted instruction, and one system call per line was most of its time. Lines
// of other threads are written as they come; a batch opened inside another on the same thread joins the
// outer one. Nothing is dropped: a line that does not fit first writes out what is gathered.
struct VZRSDKLogBatch {
    size_t slot = 0; // the registration this batch holds, plus one; 0 when it holds none
    size_t used = 0;
    int fd = -1;
    char bytes[4096];
};
void VZRSDKLogBeginBatch(VZRSDKLogBatch* batch);
void VZRSDKLogEndBatch(VZRSDKLogBatch* batch);

// A batch for the lifetime of a scope.
class VZRSDKLogBatchScope {
public:
    VZRSDKLogBatchScope() { VZRSDKLogBeginBatch(&batch_); }
    ~VZRSDKLogBatchScope() { VZRSDKLogEndBatch(&batch_); }
    VZRSDKLogBatchScope(const VZRSDKLogBatchScope&) = delete;
    VZRSDKLogBatchScope& operator=(const VZRSDKLogBatchScope&) = delete;

private:
    VZRSDKLogBatch batch_;
};

// The place of a message: the two arguments every format starts with.
#define VZR_HERE __func__, __LINE__
