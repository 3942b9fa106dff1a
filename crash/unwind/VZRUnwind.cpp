#include "crash/unwind/VZRUnwind.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"
#include "crash/unwind/VZRDwarf.hpp"

#include <cstring>

namespace {

constexpr size_t kArm64PC = 32;
constexpr size_t kArm64CPSR = 33;
constexpr size_t kX86_64Flags = 17;

constexpr uint32_t kCompactModeMask = 0x0F000000;
constexpr uint32_t kCompactModeFrameless = 0x02000000;
constexpr uint32_t kCompactModeDwarf = 0x03000000;
constexpr uint32_t kCompactModeFrame = 0x04000000;
constexpr uint32_t kCompactDwarfOffsetMask = 0x00FFFFFF;

bool isArm64(const VZRThreadState* state) {
    return state->architecture == VZRArchitecture::arm64;
}

bool setPC(VZRThreadState* state, uint64_t pc) {
    if (isArm64(state))
        state->registers[kArm64PC] = pc;
    else
        state->registers[kVZRX86_64RIP] = pc;
    return true;
}

void setSP(VZRThreadState* state, uint64_t sp) {
    state->registers[isArm64(state) ? kVZRArm64SP : kVZRX86_64RSP] = sp;
}

void setFP(VZRThreadState* state, uint64_t fp) {
    state->registers[isArm64(state) ? kVZRArm64FP : kVZRX86_64RBP] = fp;
}

} // namespace

void VZRThreadStateFromUContext(const ucontext_t* context, VZRThreadState* state) {
    if (!context || !state)
        return;
    *state = VZRThreadState{};
#if defined(__x86_64__)
    const greg_t* g = context->uc_mcontext.gregs;
    state->architecture = VZRArchitecture::x86_64;
    static constexpr int kOrder[17] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI, REG_RBP, REG_RSP, REG_R8,
                                       REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    for (size_t i = 0; i < 17; ++i)
        state->registers[i] = static_cast<uint64_t>(g[kOrder[i]]);
    state->registers[kX86_64Flags] = static_cast<uint64_t>(g[REG_EFL]);
#elif defined(__aarch64__)
    state->architecture = VZRArchitecture::arm64;
    for (size_t i = 0; i < 31; ++i)
        state->registers[i] = context->uc_mcontext.regs[i];
    state->registers[kVZRArm64SP] = context->uc_mcontext.sp;
    state->registers[kArm64PC] = context->uc_mcontext.pc;
    state->registers[kArm64CPSR] = context->uc_mcontext.pstate;
#endif
}

uint64_t VZRThreadStateGetPC(const VZRThreadState* state) {
    return isArm64(state) ? state->registers[kArm64PC] : state->registers[kVZRX86_64RIP];
}

uint64_t VZRThreadStateGetSP(const VZRThreadState* state) {
    return state->registers[isArm64(state) ? kVZRArm64SP : kVZRX86_64RSP];
}

uint64_t VZRThreadStateGetFP(const VZRThreadState* state) {
    return state->registers[isArm64(state) ? kVZRArm64FP : kVZRX86_64RBP];
}

uint64_t VZRThreadStateGetRegister(const VZRThreadState* state, uint64_t number) {
    const uint64_t count = isArm64(state) ? kVZRArm64RegisterCount : kVZRX86_64RegisterCount;
    if (number >= count) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unrecognized get register number %llu\n", VZR_HERE);
        return 0;
    }
    return state->registers[number];
}

bool VZRThreadStateSetRegister(VZRThreadState* state, uint64_t number, uint64_t value) {
    const uint64_t count = isArm64(state) ? kVZRArm64RegisterCount : kVZRX86_64RegisterCount;
    if (number >= count) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unrecognized set register number %llu\n", VZR_HERE);
        return false;
    }
    state->registers[number] = value;
    if (isArm64(state) && number == kVZRArm64LR)
        state->registers[kArm64PC] = value;
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Compact unwind

bool VZRCompactUnwindInit(VZRCompactUnwindReader* reader, uintptr_t unwindInfo, uintptr_t ehFrame,
                          uintptr_t loadAddress) {
    if (!reader) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: invalid context passed to compact unwind init", VZR_HERE);
        return false;
    }
    if (!VZRIsValidPointer(reinterpret_cast<const void*>(unwindInfo))) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: invalid unwind info passed to compact unwind init", VZR_HERE);
        return false;
    }
    if (!VZRIsValidPointer(reinterpret_cast<const void*>(loadAddress))) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: invalid load address passed to compact unwind init",
                  VZR_HERE);
        return false;
    }
    *reader = VZRCompactUnwindReader{};
    reader->unwindInfo = unwindInfo;
    reader->ehFrame = ehFrame;
    reader->loadAddress = loadAddress;
    static_assert(sizeof(VZRCompactUnwindHeader) == 28);
    if (!VZRReadMemory(unwindInfo, &reader->header, sizeof reader->header)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: could not read memory contents of unwindInfo\n", VZR_HERE);
        return false;
    }
    if (reader->header.version != 1) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: bad unwind_info structure version (%d != %d)\n", VZR_HERE,
                  static_cast<int>(reader->header.version), 1);
        return false;
    }
    return true;
}

namespace {

bool compactLookupFirstLevel(VZRCompactUnwindReader* reader, uintptr_t pc) {
    const VZRCompactUnwindHeader& header = reader->header;
    if (header.indexCount < 2 || pc < reader->loadAddress)
        return false;
    const uint64_t offset = pc - reader->loadAddress;
    static_assert(sizeof(VZRCompactUnwindFirstLevelEntry) == 12);
    const uintptr_t index = reader->unwindInfo + header.indexSectionOffset;
    VZRCompactUnwindFirstLevelEntry entries[2];
    for (uint32_t i = 0; i + 1 < header.indexCount; ++i) {
        if (!VZRReadMemory(index + i * sizeof(VZRCompactUnwindFirstLevelEntry), entries, sizeof entries))
            return false;
        if (entries[0].functionOffset <= offset && offset < entries[1].functionOffset) {
            reader->firstLevelEntry = entries[0];
            reader->firstLevelNextFunctionOffset = entries[1].functionOffset;
            VZRSDKLog(VZRLogLevelDebug, "DEBUG [%s:%d] Found first level (second => %u)\n", VZR_HERE,
                      entries[0].secondLevelPagesSectionOffset);
            return true;
        }
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to find pc in first level\n", VZR_HERE);
    return false;
}

struct CompressedPageHeader {
    uint32_t kind;
    uint16_t entryPageOffset;
    uint16_t entryCount;
    uint16_t encodingsPageOffset;
    uint16_t encodingsCount;
};

bool compactLookupCompressed(VZRCompactUnwindReader* reader, uintptr_t pc, uintptr_t page, uint32_t* encoding) {
    CompressedPageHeader header{};
    if (!VZRReadMemory(page, &header, sizeof header))
        return false;
    const uintptr_t base = reader->loadAddress + reader->firstLevelEntry.functionOffset;
    if (pc < base) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: PC is invalid\n", VZR_HERE);
        return false;
    }
    const uint64_t target = pc - base;
    const uintptr_t entries = page + header.entryPageOffset;
    uint32_t low = 0;
    uint32_t high = header.entryCount;
    bool found = false;
    uint32_t foundIndex = 0;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        uint32_t entry = 0;
        if (!VZRReadMemory(entries + middle * 4u, &entry, sizeof entry))
            return false;
        if ((entry & 0x00FFFFFF) <= target) {
            found = true;
            foundIndex = middle;
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (!found) {
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Unable to find PC in second level\n", VZR_HERE);
        return false;
    }
    uint32_t entry = 0;
    if (!VZRReadMemory(entries + foundIndex * 4u, &entry, sizeof entry))
        return false;
    const uint64_t start = entry & 0x00FFFFFF;
    uint64_t end = 0;
    if (foundIndex + 1u < header.entryCount) {
        uint32_t next = 0;
        if (!VZRReadMemory(entries + (foundIndex + 1u) * 4u, &next, sizeof next))
            return false;
        end = next & 0x00FFFFFF;
    } else {
        // The page's last function ends where the next first-level entry begins.
        end = reader->firstLevelNextFunctionOffset - reader->firstLevelEntry.functionOffset;
    }
    if (target < start || target >= end) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] PC does not match computed function range\n", VZR_HERE);
        return false;
    }
    const uint32_t encodingIndex = entry >> 24;
    const uint32_t commonCount = reader->header.commonEncodingsArrayCount;
    uintptr_t encodingAddress = 0;
    if (encodingIndex < commonCount) {
        encodingAddress = reader->unwindInfo + reader->header.commonEncodingsArraySectionOffset + encodingIndex * 4u;
    } else {
        if (encodingIndex - commonCount >= header.encodingsCount)
            return false;
        encodingAddress = page + header.encodingsPageOffset + (encodingIndex - commonCount) * 4u;
    }
    if (!VZRReadMemory(encodingAddress, encoding, sizeof *encoding))
        return false;
    if (*encoding == 0) {
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Entry has has no unwind info\n", VZR_HERE);
        return false;
    }
    return true;
}

bool compactLookupSecondLevel(VZRCompactUnwindReader* reader, uintptr_t pc, uint32_t* encoding) {
    const uintptr_t page = reader->unwindInfo + reader->firstLevelEntry.secondLevelPagesSectionOffset;
    uint32_t kind = 0;
    bool ok = false;
    if (VZRReadMemory(page, &kind, sizeof kind)) {
        if (kind == 3) {
            VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Found a second level compressed header\n", VZR_HERE);
            ok = compactLookupCompressed(reader, pc, page, encoding);
        } else if (kind == 2) {
            VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Found a second level regular header\n", VZR_HERE);
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Encountered a regular second-level page\n", VZR_HERE);
        } else {
            VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Unrecognized header kind - unable to continue\n", VZR_HERE);
        }
    }
    if (!ok)
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Second-level PC lookup failed\n", VZR_HERE);
    return ok;
}

// The caller's frame from the frame record at fp: [fp] the saved fp, [fp + 8] the return address.
bool unwindWithFramePointerRecord(VZRThreadState* state, VZRMemoryWindow* memory) {
    const uint64_t fp = VZRThreadStateGetFP(state);
    uint64_t record[2] = {};
    if (!VZRMemoryWindowRead(memory, fp, record, sizeof record)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: failed to read memory at address %p\n", VZR_HERE,
                  reinterpret_cast<void*>(fp));
        return false;
    }
    if (isArm64(state))
        state->registers[kVZRArm64LR] = record[1];
    setPC(state, record[1]);
    setFP(state, record[0]);
    setSP(state, fp + 16);
    return true;
}

// The second frame of a function that set up no frame: on arm64 the return address is still in lr; on
// x86_64 it is the word at sp, taken only when it points into a loaded image.
bool unwindWithLinkRegister(VZRUnwindCursor* cursor) {
    VZRThreadState* state = &cursor->state;
    if (isArm64(state)) {
        const uint64_t lr = state->registers[kVZRArm64LR];
        if (lr < 4096) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: LR value is invalid\n", VZR_HERE);
            return false;
        }
        setPC(state, lr);
        return true;
    }
    const uint64_t sp = VZRThreadStateGetSP(state);
    uint64_t word = 0;
    VZRBinaryImageNode node;
    if (!VZRMemoryWindowRead(&cursor->memory, sp, &word, sizeof word) || word < 4096 || !cursor->findImage ||
        !cursor->findImage(word, &node)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: LR value is invalid\n", VZR_HERE);
        return false;
    }
    setPC(state, word);
    setSP(state, sp + 8);
    return true;
}

bool unwindWithFramePointer(VZRUnwindCursor* cursor, bool tryLR) {
    if (tryLR) {
        if (unwindWithLinkRegister(cursor))
            return true;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to use LR, skipping\n", VZR_HERE);
    }
    return unwindWithFramePointerRecord(&cursor->state, &cursor->memory);
}

bool compactComputeRegisters(VZRCompactUnwindReader* reader, VZRUnwindCursor* cursor, uint32_t encoding) {
    switch (encoding & kCompactModeMask) {
    case kCompactModeFrame:
        return unwindWithFramePointer(cursor, false);
    case kCompactModeDwarf: {
        const uint32_t offset = encoding & kCompactDwarfOffsetMask;
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Trying to read dwarf data with offset %lx\n", VZR_HERE, offset);
        VZRDwarfFDE fde;
        VZRMemoryWindow* memory = &cursor->memory;
        if (!VZRDwarfParseFDERecord(reader->ehFrame, offset, &fde, memory)) {
            VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Unable to init FDE\n", VZR_HERE);
            return false;
        }
        if (!VZRDwarfUnwindComputeRegisters(&fde, &cursor->state, VZRDwarfProfile::strict, memory)) {
            VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Failed to compute DWARF registers\n", VZR_HERE);
            return false;
        }
        return true;
    }
    case kCompactModeFrameless:
        if (isArm64(&cursor->state))
            setPC(&cursor->state, cursor->state.registers[kVZRArm64LR]);
        return isArm64(&cursor->state);
    default:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Invalid encoding 0x%x\n", VZR_HERE, encoding);
        return false;
    }
}

} // namespace

bool VZRCompactUnwindLookupAndCompute(VZRCompactUnwindReader* reader, VZRUnwindCursor* cursor) {
    if (!reader || !cursor)
        return false;
    const uintptr_t pc = VZRThreadStateGetPC(&cursor->state);
    uint32_t encoding = 0;
    if (!compactLookupFirstLevel(reader, pc) || !compactLookupSecondLevel(reader, pc, &encoding)) {
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Unable to lookup compact unwind for pc %p\n", VZR_HERE,
                  reinterpret_cast<void*>(pc));
        return false;
    }
    if (!compactComputeRegisters(reader, cursor, encoding)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Failed to compute registers\n", VZR_HERE);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// The walk

bool VZRUnwindInit(VZRUnwindCursor* cursor, const VZRThreadState* state) {
    if (!cursor || !state)
        return false;
    cursor->state = *state;
    cursor->compact = VZRCompactUnwindReader{};
    cursor->previousPC = 0;
    cursor->repeatCount = 0;
    cursor->frameCount = 0;
    cursor->pcIsExact = false;
    cursor->findImage = VZRBinaryImageSafeFindImageForAddress;
    // The pages themselves need no zeroing: an empty slot is never read.
    for (uintptr_t& page : cursor->memory.page)
        page = 0;
    cursor->memory.next = 0;
    cursor->memory.pivotTable = 0; // the pivots of an earlier walk may describe an image unloaded since
    return true;
}

namespace {

// Compact unwind, then the DWARF call-frame information; false when neither gave the frame.
bool unwindWithImageInfo(VZRUnwindCursor* cursor, const VZRBinaryImageNode& node) {
    const uintptr_t pc = VZRThreadStateGetPC(&cursor->state);
    const uintptr_t unwindInfo = VZRBinaryImageNodeUnwindInfo(node);
    if (unwindInfo == 0) {
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Binary image at %p has no unwind info\n", VZR_HERE,
                  reinterpret_cast<void*>(node.loadAddress));
    } else if (!VZRCompactUnwindInit(&cursor->compact, unwindInfo, VZRBinaryImageNodeEhFrame(node),
                                     node.loadAddress)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Unable to read unwind info\n", VZR_HERE);
    } else if (VZRCompactUnwindLookupAndCompute(&cursor->compact, cursor)) {
        return true;
    }

    const uintptr_t header = VZRBinaryImageNodeEhFrameHdr(node);
    if (header == 0)
        return false;
    uintptr_t fdeAddress = 0;
    uintptr_t ehFrame = 0;
    VZRMemoryWindow* memory = &cursor->memory;
    if (!VZRDwarfFindFDEInHeader(header, pc, &fdeAddress, &ehFrame, memory, node.ehFrameHdrCount,
                                 VZRBinaryImageNodePivots(node))) {
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] No FDE for pc %p\n", VZR_HERE, reinterpret_cast<void*>(pc));
        return false;
    }
    VZRDwarfFDE fde;
    if (!VZRDwarfParseFDERecord(ehFrame, fdeAddress - ehFrame, &fde, memory)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Unable to init FDE\n", VZR_HERE);
        return false;
    }
    VZRThreadState next = cursor->state;
    if (!VZRDwarfUnwindComputeRegisters(&fde, &next, VZRDwarfProfile::elf, memory)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Failed to compute DWARF registers\n", VZR_HERE);
        return false;
    }
    cursor->state = next;
    cursor->pcIsExact = fde.cie.signalFrame;
    return true;
}

bool unwindUsingAllStrategies(VZRUnwindCursor* cursor) {
    if (cursor->frameCount >= kVZRUnwindMaximumFrames) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Exceeded maximum number of frames\n", VZR_HERE);
        return false;
    }
    VZRThreadState* state = &cursor->state;
    // A return address points after its call; the call itself, and so the caller's rules, lie one byte
    // before. The thread's own pc (the first frame), and the pc a signal frame restores, are where a thread
    // stopped and stay as they are.
    const bool exact = cursor->pcIsExact;
    cursor->pcIsExact = false;
    if (cursor->frameCount >= 2 && !exact && !setPC(state, VZRThreadStateGetPC(state) - 1)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Unable to set PC\n", VZR_HERE);
        return false;
    }
    const uintptr_t pc = VZRThreadStateGetPC(state);
    if (pc < 4096) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] PC is invalid\n", VZR_HERE);
        return false;
    }

    VZRBinaryImageNode node;
    if (!cursor->findImage || !cursor->findImage(pc, &node)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to find binary for %p\n", VZR_HERE,
                  reinterpret_cast<void*>(pc));
    } else {
        VZRSDKLog(VZRLogLevelDebug, "DEBUG [%s:%d] Binary image for %p at %p\n", VZR_HERE, reinterpret_cast<void*>(pc),
                  reinterpret_cast<void*>(node.loadAddress));
        if (unwindWithImageInfo(cursor, node))
            return true;
    }

    if (VZRThreadStateGetFP(state) == 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] FP is zero, aborting unwind\n", VZR_HERE);
        setPC(state, 0);
        return true;
    }
    if (!unwindWithFramePointer(cursor, cursor->frameCount == 1)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Unable to use frame pointer\n", VZR_HERE);
        return false;
    }
    return true;
}

} // namespace

bool VZRUnwindNextFrame(VZRUnwindCursor* cursor) {
    // A step logs a line per call-frame instruction; they reach "sdk.log" together when the step ends, so a
    // frame costs one write instead of dozens. A step cannot fault, so at most the lines of a step that
    // never ends (the process killed meanwhile) are lost.
    VZRSDKLogBatchScope logBatch;
    if (!cursor) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: invalid inputs\n", VZR_HERE);
        return false;
    }
    VZRThreadState* state = &cursor->state;
    if (VZRThreadStateGetPC(state) < 4096 || VZRThreadStateGetSP(state) < 4096) {
        if (cursor->frameCount == 0)
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Cancelling unwind for thread with invalid PC/SP\n", VZR_HERE);
        else
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: thread PC/SP invalid before unwind\n", VZR_HERE);
        return false;
    }
    const uint64_t previousSP = VZRThreadStateGetSP(state);
    if (cursor->frameCount > 0 && !unwindUsingAllStrategies(cursor)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Failed to advance to the next frame\n", VZR_HERE);
        return false;
    }

    const uintptr_t pc = VZRThreadStateGetPC(state);
    if (pc < 4096)
        return false;
    const uint64_t sp = VZRThreadStateGetSP(state);
    if (sp < 4096) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: SP (%p) isn't a valid pointer\n", VZR_HERE,
                  reinterpret_cast<void*>(sp));
        return false;
    }
    // Callers' frames lie above their callees'. A step that does not move up is a loop in a corrupt chain
    // and would repeat to the frame cap; only an arm64 frameless leaf keeps its sp, and then only once.
    if (cursor->frameCount > 0) {
        const bool equalAllowed = isArm64(state) && cursor->frameCount == 1;
        if (sp < previousSP || (sp == previousSP && !equalAllowed)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: SP (%p) is not above the previous frame's\n",
                      VZR_HERE, reinterpret_cast<void*>(sp));
            return false;
        }
    }
    cursor->repeatCount = (cursor->frameCount > 0 && pc == cursor->previousPC) ? cursor->repeatCount + 1 : 0;
    cursor->previousPC = pc;
    cursor->frameCount += 1;
    return true;
}

uintptr_t VZRUnwindGetPC(const VZRUnwindCursor* cursor) {
    return cursor ? VZRThreadStateGetPC(&cursor->state) : 0;
}

uint32_t VZRUnwindGetRepeatCount(const VZRUnwindCursor* cursor) {
    return cursor ? cursor->repeatCount : 0;
}
