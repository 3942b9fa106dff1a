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

// The place of a message: the two arguments every format starts with.
#define VZR_HERE __func__, __LINE__
