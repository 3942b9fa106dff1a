#pragma once
// Known call chains for the unwinder's tests, compiled optimised in their own files (one without frame
// pointers but with call-frame information, one with frame pointers and no call-frame information). Each
// function records its own return address as it enters, innermost first, and the innermost one parks in a
// leaf loop until released, so another thread can take its registers and walk its live stack.

#include <atomic>
#include <cstdint>

namespace unwindchain {

inline constexpr int kMaximumRecorded = 64;

struct Recording {
    std::atomic<bool> parked{false};
    std::atomic<bool> release{false};
    uintptr_t returnAddresses[kMaximumRecorded] = {}; // by depth: [0] the parking function's
    std::atomic<int> count{0};
};

// The chain's thread body: the argument is the Recording.
void* omitFramePointerChain(void* recording);  // entry -> five functions -> park (no frame pointers)
void* qsortChain(void* recording);             // entry -> sorter -> qsort -> comparator -> park
void* recursionChain(void* recording);         // entry -> 30 levels of one function -> park
void* framePointerChain(void* recording);      // entry -> five functions -> leaf park (frame pointers, no CFI)

// Start addresses of functions the qsort test looks for between the C library's frames.
uintptr_t qsortSorterAddress();

} // namespace unwindchain
