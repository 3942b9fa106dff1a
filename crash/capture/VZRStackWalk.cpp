#include "crash/capture/VZRStackWalk.hpp"

#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

// The frame-pointer chain: each frame's saved frame pointer and return address sit at [fp] and [fp + 8], and
// every saved frame pointer lies above the one before it.
void VZRStackWalkInit(VZRStackWalker* walker, const VZRThreadRegisters& registers) {
    *walker = VZRStackWalker{};
    walker->registers = registers;
}

bool VZRStackWalkNext(VZRStackWalker* walker) {
    if (!walker) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: invalid inputs\n", VZR_HERE);
        return false;
    }
    if (walker->frameCount >= kVZRStackWalkMaxFrames) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Exceeded maximum number of frames\n", VZR_HERE);
        return false;
    }
    uint64_t pc = 0;
    if (walker->frameCount == 0) {
        if (walker->registers.rip < 4096 || walker->registers.rsp < 4096) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Cancelling unwind for thread with invalid PC/SP\n", VZR_HERE);
            return false;
        }
        pc = walker->registers.rip;
        walker->sp = walker->registers.rsp;
        walker->fp = walker->registers.rbp;
    } else {
        if (walker->fp == 0) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] FP is zero, aborting unwind\n", VZR_HERE);
            return false;
        }
        uint64_t frame[2];
        if (!VZRReadMemory(walker->fp, frame, sizeof frame)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: failed to read memory at address %p\n", VZR_HERE,
                      reinterpret_cast<void*>(walker->fp));
            return false;
        }
        pc = frame[1];
        if (pc < 4096)
            return false;
        walker->sp = walker->fp + 16;
        // A saved frame pointer that does not lie above this one is not a frame pointer: the walk ends after
        // this frame.
        walker->fp = frame[0] > walker->fp ? frame[0] : 0;
    }
    walker->repeatCount = walker->frameCount > 0 && pc == walker->previousPC ? walker->repeatCount + 1 : 0;
    walker->previousPC = pc;
    walker->pc = pc;
    ++walker->frameCount;
    return true;
}

uint64_t VZRStackWalkPC(const VZRStackWalker* walker) {
    return walker->pc;
}

uint32_t VZRStackWalkRepeatCount(const VZRStackWalker* walker) {
    return walker->repeatCount;
}
