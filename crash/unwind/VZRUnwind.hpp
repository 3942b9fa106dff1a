#pragma once
// Walks the stack of a suspended or crashing thread frame by frame inside a crashed process: no allocation,
// no locks, and every read of the target stack and of unwind data through VZRReadMemory, so corrupt memory
// ends a walk instead of faulting. For each frame it tries, in order, the image's compact unwind
// information, its DWARF call-frame information (found through the ".eh_frame_hdr" table), and the
// frame-pointer chain.
//
//     VZRThreadState state;
//     VZRThreadStateFromUContext(context, &state);
//     VZRUnwindCursor cursor;
//     if (VZRUnwindInit(&cursor, &state))
//         while (VZRUnwindNextFrame(&cursor))
//             record(VZRUnwindGetPC(&cursor), VZRUnwindGetRepeatCount(&cursor));
//
// The first frame is the thread's own pc; every further one the return address found for it.

#include "crash/capture/VZRBinaryImage.hpp"

#include <ucontext.h>

#include <cstddef>
#include <cstdint>

enum class VZRArchitecture : uint32_t {
    x86_64 = 1,
    arm64 = 2,
};

// Register numbers (DWARF numbering of each architecture).
// x86_64: 0 rax, 1 rdx, 2 rcx, 3 rbx, 4 rsi, 5 rdi, 6 rbp, 7 rsp, 8-15 r8-r15, 16 return address (rip).
inline constexpr uint64_t kVZRX86_64RegisterCount = 17;
inline constexpr uint64_t kVZRX86_64RBP = 6;
inline constexpr uint64_t kVZRX86_64RSP = 7;
inline constexpr uint64_t kVZRX86_64RIP = 16;
// arm64: 0-28 x0-x28, 29 fp, 30 lr, 31 sp.
inline constexpr uint64_t kVZRArm64RegisterCount = 32;
inline constexpr uint64_t kVZRArm64FP = 29;
inline constexpr uint64_t kVZRArm64LR = 30;
inline constexpr uint64_t kVZRArm64SP = 31;

// A thread's general registers.
//   x86_64: registers[0..16] by DWARF number (16 = rip), registers[17] = rflags.
//   arm64:  registers[0..31] by DWARF number (29 fp, 30 lr, 31 sp), registers[32] = pc, registers[33] = cpsr.
struct VZRThreadState {
    VZRArchitecture architecture = VZRArchitecture::x86_64;
    uint64_t registers[34] = {};
};

// The registers of a signal handler's context (the machine this program runs on).
void VZRThreadStateFromUContext(const ucontext_t* context, VZRThreadState* state);
uint64_t VZRThreadStateGetPC(const VZRThreadState* state);
uint64_t VZRThreadStateGetSP(const VZRThreadState* state);
uint64_t VZRThreadStateGetFP(const VZRThreadState* state);
// By DWARF number; an unknown number logs and gives 0 (get) or false (set). Setting the return-address
// register (x86_64 16, arm64 30) also sets the pc: the return address becomes the next frame's pc.
uint64_t VZRThreadStateGetRegister(const VZRThreadState* state, uint64_t number);
bool VZRThreadStateSetRegister(VZRThreadState* state, uint64_t number, uint64_t value);

// The compact-unwind reader's state for one lookup.
struct VZRCompactUnwindHeader {
    uint32_t version = 0;
    uint32_t commonEncodingsArraySectionOffset = 0;
    uint32_t commonEncodingsArrayCount = 0;
    uint32_t personalityArraySectionOffset = 0;
    uint32_t personalityArrayCount = 0;
    uint32_t indexSectionOffset = 0;
    uint32_t indexCount = 0;
};
struct VZRCompactUnwindFirstLevelEntry {
    uint32_t functionOffset = 0;
    uint32_t secondLevelPagesSectionOffset = 0;
    uint32_t lsdaIndexArraySectionOffset = 0;
};
struct VZRCompactUnwindReader {
    uintptr_t unwindInfo = 0;
    uintptr_t ehFrame = 0;
    uintptr_t loadAddress = 0;
    VZRCompactUnwindHeader header;
    VZRCompactUnwindFirstLevelEntry firstLevelEntry;
    uint32_t firstLevelNextFunctionOffset = 0;
};

// Finds the image holding an address; the binary image list unless a test sets its own.
using VZRUnwindImageFinder = bool (*)(uintptr_t address, VZRBinaryImageNode* node);

struct VZRUnwindCursor {
    VZRThreadState state;
    VZRCompactUnwindReader compact;
    uintptr_t previousPC = 0;
    uint32_t repeatCount = 0;
    uint64_t frameCount = 0;
    VZRUnwindImageFinder findImage = nullptr;
};

inline constexpr uint64_t kVZRUnwindMaximumFrames = 100000;

// Zeroes the cursor and copies the state; false for null arguments.
bool VZRUnwindInit(VZRUnwindCursor* cursor, const VZRThreadState* state);
// True when the cursor now holds another frame.
bool VZRUnwindNextFrame(VZRUnwindCursor* cursor);
uintptr_t VZRUnwindGetPC(const VZRUnwindCursor* cursor);
// How many frames in a row before this one had the same pc.
uint32_t VZRUnwindGetRepeatCount(const VZRUnwindCursor* cursor);

// Compact unwind (the "__unwind_info" format, version 1, arm64 encodings).
bool VZRCompactUnwindInit(VZRCompactUnwindReader* reader, uintptr_t unwindInfo, uintptr_t ehFrame,
                          uintptr_t loadAddress);
bool VZRCompactUnwindLookupAndCompute(VZRCompactUnwindReader* reader, VZRUnwindCursor* cursor);
