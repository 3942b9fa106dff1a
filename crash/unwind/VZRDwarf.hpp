#pragma once
// DWARF call-frame information and expressions, read out of a possibly corrupt image in a crashed process:
// one FDE and its CIE are parsed, the CIE's and then the FDE's instructions run up to the pc, expressions
// are evaluated on a small stack machine, and the caller's registers written into the thread state. Every
// read goes through VZRReadMemory; programs and expressions are bounded by their declared lengths.
//
// Two profiles. "strict" is the subset that the compact-unwind fallback needs. "ELF" adds what real
// ".eh_frame" sections of this system use: remember/restore state, restore, the extended and signed
// offset forms, val_offset, undefined (an undefined return address ends the stack), GNU_args_size, the
// data-relative encoding of the ".eh_frame_hdr" table and the remaining arithmetic, comparison and branch
// operators of the expression machine.

#include "crash/unwind/VZRMemoryWindow.hpp"
#include "crash/unwind/VZRUnwind.hpp"

#include <cstddef>
#include <cstdint>

enum class VZRDwarfProfile : uint8_t {
    strict,
    elf,
};

// A position in foreign memory that the readers advance; no read reaches `end` (0: unbounded).
struct VZRDwarfCursor {
    uintptr_t position = 0;
    uintptr_t end = 0;
    VZRMemoryWindow* memory = nullptr;
};

bool VZRDwarfReadU8(VZRDwarfCursor* cursor, uint8_t* value);
bool VZRDwarfReadU16(VZRDwarfCursor* cursor, uint16_t* value);
bool VZRDwarfReadU32(VZRDwarfCursor* cursor, uint32_t* value);
bool VZRDwarfReadU64(VZRDwarfCursor* cursor, uint64_t* value);
// At most 8 bytes (56 bits), as the unwind data of real images needs.
bool VZRDwarfReadULEB128(VZRDwarfCursor* cursor, uint64_t* value);
bool VZRDwarfReadSLEB128(VZRDwarfCursor* cursor, int64_t* value);
// 32-bit, or 0xFFFFFFFF followed by a 64-bit length.
bool VZRDwarfReadInitialLength(VZRDwarfCursor* cursor, uint64_t* value);

// Pointer encodings: value format in the low 4 bits, application in bits 4..6 (absolute, pc-relative, and
// under the ELF profile data-relative to `dataBase`), bit 7 indirect. 0xFF (omit) gives 0. False (and the
// invalid value -1 in `*value`) for what cannot be read or is not handled.
bool VZRParseAddressWithEncodingAndAdvance(VZRDwarfCursor* cursor, uint8_t encoding, uint64_t* value,
                                           uintptr_t dataBase = 0);

struct VZRDwarfCIE {
    uintptr_t address = 0;
    uint64_t length = 0;
    uint8_t version = 0;
    char augmentation[8] = {};
    uint64_t codeAlignmentFactor = 0;
    int64_t dataAlignmentFactor = 0;
    uint64_t returnAddressRegister = 0;
    uint8_t fdeEncoding = 0;
    uint8_t lsdaEncoding = 0xFF;
    uint8_t personalityEncoding = 0xFF;
    uint64_t personality = 0;
    bool signalFrame = false;
    uintptr_t instructions = 0;
    uint64_t instructionsLength = 0;
};

struct VZRDwarfFDE {
    uintptr_t address = 0;
    uint64_t length = 0;
    uint32_t ciePointer = 0;
    uint64_t pcBegin = 0;
    uint64_t addressRange = 0;
    uintptr_t instructions = 0;
    uint64_t instructionsLength = 0;
    VZRDwarfCIE cie;
};

enum VZRDwarfRuleKind : uint32_t {
    VZRDwarfRuleUnchanged = 0,
    VZRDwarfRuleOffset = 1,          // saved at CFA + value
    VZRDwarfRuleValueOffset = 2,     // value is CFA + value
    VZRDwarfRuleRegister = 3,        // in register `value`
    VZRDwarfRuleExpression = 4,      // saved at the address the expression at `value` computes
    VZRDwarfRuleValueExpression = 5, // the expression's result
    VZRDwarfRuleUndefined = 6,       // not recoverable
};

inline constexpr uint64_t kVZRDwarfCFAExpression = 32; // CFA register meaning "given by an expression"
inline constexpr uint64_t kVZRDwarfRuleCount = 32;

struct VZRDwarfRule {
    uint32_t kind = VZRDwarfRuleUnchanged;
    int64_t value = 0;
};

struct VZRDwarfRules {
    uint64_t cfaRegister = 0;
    int64_t cfaOffset = 0;
    uintptr_t cfaExpression = 0;
    VZRDwarfRule registers[kVZRDwarfRuleCount];
};

// At `address`; bounded by `limit` when not 0.
bool VZRDwarfParseCIERecord(uintptr_t address, VZRDwarfCIE* cie, VZRMemoryWindow* memory = nullptr);
// The FDE at ehFrame + offset (both non-zero), with its CIE, which must lie in the section before it.
bool VZRDwarfParseFDERecord(uintptr_t ehFrame, uint64_t offset, VZRDwarfFDE* fde,
                            VZRMemoryWindow* memory = nullptr);

// What the instruction runner needs besides the CIE.
struct VZRDwarfInstructionContext {
    VZRArchitecture architecture = VZRArchitecture::x86_64;
    VZRDwarfProfile profile = VZRDwarfProfile::strict;
    uint64_t pcBegin = 0;                      // set_loc addresses are made offsets from it
    const VZRDwarfRules* initialRules = nullptr; // the CIE's, for restore (ELF)
    VZRMemoryWindow* memory = nullptr;
};

// Runs the instructions while the location is below `pcLimit` (the location starts at 0).
bool VZRDwarfInstructionsEnumerate(uintptr_t instructions, uint64_t length, const VZRDwarfCIE* cie,
                                   VZRDwarfRules* rules, uint64_t pcLimit,
                                   const VZRDwarfInstructionContext* context);

// Computes the caller's registers for the pc of `state` and writes them into it.
bool VZRDwarfUnwindComputeRegisters(const VZRDwarfFDE* fde, VZRThreadState* state, VZRDwarfProfile profile,
                                    VZRMemoryWindow* memory = nullptr);

// Evaluates the expression at `expression` (its unsigned LEB128 length first) with `initialValue` pushed.
bool VZRDwarfEvaluateExpression(uintptr_t expression, const VZRThreadState* state, uint64_t initialValue,
                                uint64_t* result, VZRDwarfProfile profile, VZRMemoryWindow* memory = nullptr);

// The FDE address for `pc` from an ".eh_frame_hdr" binary-search table; false when the table has none or
// cannot be read. `knownCount` is the table's entry count as recorded when the image was loaded (0: not
// known); the header read at crash time must still agree with it. `pivots`, taken from the table when the
// image was added, let one read bring in what the look-up and the parse of the FDE and its CIE will read
// (only with a window); they change no answer.
bool VZRDwarfFindFDEInHeader(uintptr_t ehFrameHdr, uintptr_t pc, uintptr_t* fdeAddress, uintptr_t* ehFrame,
                             VZRMemoryWindow* memory = nullptr, uint64_t knownCount = 0,
                             const VZRBinaryImagePivots* pivots = nullptr);

inline constexpr size_t kVZRDwarfExpressionStackSize = 100;
inline constexpr size_t kVZRDwarfRememberDepth = 10;
