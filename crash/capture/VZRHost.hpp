#pragma once
// Facts about the host that crash-time code keeps or records: the page size, the Documents folder whose
// storage figures a crash records, whether a debugger is attached, and the "host" metadata section.

#include <cstddef>

struct VZRFile;

// The system page size clamped to 4096..16384; 16384 (with a warning) when it cannot be read.
size_t VZRHostGetPageSize();
// Tests: where the page size is read from (the value sysconf would give, -1 for a failure); null restores it.
void VZRHostSetPageSizeQueryForTesting(long (*query)());

// The host set-up task of the context: the page size and the first Documents folder of the user domain,
// copied into the read-only context.
void VZRHostSetup();

// Writes the "host" section: "model", "machine", "os_build_version", "os_display_version", "platform",
// "locale". False when the writer is not open.
bool VZRHostWriteHost(VZRFile* file);

bool VZRProcessDebuggerAttached();
