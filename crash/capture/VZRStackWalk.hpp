#pragma once
// The stack walk the process record uses for every thread: program counters from the innermost frame out,
// with how often the current pc repeated the one before it. Reads of the stack go through the safe read, so
// a broken chain ends the walk instead of faulting. Async-signal-safe; the walker lives on the caller's stack.

#include "crash/capture/VZRProcess.hpp"

#include <cstdint>

struct VZRStackWalker {
    VZRThreadRegisters registers;
    uint64_t pc = 0;
    uint64_t sp = 0;
    uint64_t fp = 0;
    uint64_t previousPC = 0;
    uint32_t repeatCount = 0;
    uint32_t frameCount = 0;
};

// No more frames than this are walked.
inline constexpr uint32_t kVZRStackWalkMaxFrames = 100000;

void VZRStackWalkInit(VZRStackWalker* walker, const VZRThreadRegisters& registers);
// True when the walker now holds another frame.
bool VZRStackWalkNext(VZRStackWalker* walker);
uint64_t VZRStackWalkPC(const VZRStackWalker* walker);
uint32_t VZRStackWalkRepeatCount(const VZRStackWalker* walker);
