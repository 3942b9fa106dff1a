#pragma once

#include <cstddef>
#include <cstdint>

// Whole pages of foreign memory copied onto the walker's stack, so that parsing byte by byte and the table
// search cost one safe read per page instead of one per field. A page is readable as a whole or not at all,
// so reading it whole changes no answer. Only for memory that does not change during one walk (a suspended
// thread's stack, loaded images).
inline constexpr size_t kVZRMemoryWindowPages = 8;
inline constexpr size_t kVZRMemoryWindowPageSize = 4096;
struct VZRMemoryWindow {
    uintptr_t page[kVZRMemoryWindowPages] = {}; // the start of each cached page; 0: empty slot
    unsigned next = 0;                           // the slot the next page replaces
    uint8_t bytes[kVZRMemoryWindowPages][kVZRMemoryWindowPageSize];
    // The pivots last gathered from a ".eh_frame_hdr" table (its first entry's address and its count, and the
    // ".eh_frame" it names), so that a walk's later frames in the same image search their slice without
    // gathering them again.
    static constexpr size_t kMostPivots = 64;
    uintptr_t pivotTable = 0;
    uint64_t pivotCount = 0;
    uint64_t pivots = 0;
    uintptr_t pivotEhFrame = 0;
    int32_t pivotStarts[kMostPivots] = {};
    // The safe reads (system calls) made through the window, so that the cost of a look-up can be seen.
    uint32_t reads = 0;
};
// Copies `length` bytes at `address` through the window (directly when it is null).
bool VZRMemoryWindowRead(VZRMemoryWindow* window, uintptr_t address, void* out, size_t length);
// Brings the pages holding `first` and `second` into the window with one system call when neither is there
// yet, so that two reads known to follow each other cost one. Changes no answer: a page it cannot read is
// left to the reads themselves.
void VZRMemoryWindowPrefetch(VZRMemoryWindow* window, uintptr_t first, uintptr_t second);
// The same for the pages holding `count` addresses, most needed first: those not in the window come in one
// system call (at most kVZRMemoryWindowPages of them, the later ones dropped), into slots that hold none of
// the wanted pages. Nothing is read when at most one page is missing: one read or none is left either way.
void VZRMemoryWindowPrefetchPages(VZRMemoryWindow* window, const uintptr_t* addresses, size_t count);
