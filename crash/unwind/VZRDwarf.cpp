#include "crash/unwind/VZRDwarf.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include <cstring>

namespace {

// An expression may branch backwards; a loop that never ends is cut off here.
constexpr unsigned kDwarfExpressionMaximumSteps = 10000;
// No real record comes near this; a larger length is corrupt and would only make the reader wander.
constexpr uint64_t kDwarfMaximumRecordLength = 1u << 24;

uint64_t registerCountOf(VZRArchitecture architecture) {
    return architecture == VZRArchitecture::arm64 ? kVZRArm64RegisterCount : kVZRX86_64RegisterCount;
}

bool cursorRead(VZRDwarfCursor* cursor, void* out, size_t length) {
    if (!cursor)
        return false;
    if (cursor->end != 0 && (cursor->position > cursor->end || cursor->end - cursor->position < length))
        return false;
    if (!VZRMemoryWindowRead(cursor->memory, cursor->position, out, length))
        return false;
    cursor->position += length;
    return true;
}

bool readLEB128(VZRDwarfCursor* cursor, uint64_t* value, bool isSigned) {
    uint64_t result = 0;
    unsigned shift = 0;
    for (int i = 0; i < 8; ++i) {
        uint8_t byte = 0;
        if (!VZRDwarfReadU8(cursor, &byte))
            return false;
        result |= static_cast<uint64_t>(byte & 0x7f) << shift;
        shift += 7;
        if ((byte & 0x80) == 0) {
            if (isSigned && (byte & 0x40) && shift < 64)
                result |= ~uint64_t{0} << shift;
            *value = result;
            return true;
        }
    }
    return false; // longer than 8 bytes
}

} // namespace

bool VZRMemoryWindowRead(VZRMemoryWindow* window, uintptr_t address, void* out, size_t length) {
    if (length == 0)
        return true;
    if (!window)
        return VZRReadMemory(address, out, length);
    if (address < 4096 || address + length < address)
        return false;
    auto* dst = static_cast<uint8_t*>(out);
    while (length > 0) {
        const uintptr_t page = address & ~static_cast<uintptr_t>(kVZRMemoryWindowPageSize - 1);
        size_t slot = kVZRMemoryWindowPages;
        for (size_t i = 0; i < kVZRMemoryWindowPages; ++i) {
            if (window->page[i] == page) {
                slot = i;
                break;
            }
        }
        if (slot == kVZRMemoryWindowPages) {
            slot = window->next;
            window->next = static_cast<unsigned>((window->next + 1) % kVZRMemoryWindowPages);
            window->page[slot] = 0;
            ++window->reads;
            if (!VZRReadMemory(page, window->bytes[slot], kVZRMemoryWindowPageSize))
                return false;
            window->page[slot] = page;
        }
        const size_t offset = address - page;
        size_t take = kVZRMemoryWindowPageSize - offset;
        if (take > length)
            take = length;
        std::memcpy(dst, window->bytes[slot] + offset, take);
        dst += take;
        address += take;
        length -= take;
    }
    return true;
}

void VZRMemoryWindowPrefetch(VZRMemoryWindow* window, uintptr_t first, uintptr_t second) {
    if (first < 4096 || second < 4096)
        return;
    const uintptr_t addresses[2] = {first, second};
    VZRMemoryWindowPrefetchPages(window, addresses, 2);
}

void VZRMemoryWindowPrefetchPages(VZRMemoryWindow* window, const uintptr_t* addresses, size_t count) {
    constexpr uintptr_t kPageMask = ~static_cast<uintptr_t>(kVZRMemoryWindowPageSize - 1);
    if (!window || !addresses)
        return;
    uintptr_t missing[kVZRMemoryWindowPages];
    size_t missingCount = 0;
    bool wanted[kVZRMemoryWindowPages] = {}; // slots holding a wanted page already: kept
    for (size_t i = 0; i < count; ++i) {
        if (addresses[i] < 4096)
            continue;
        const uintptr_t page = addresses[i] & kPageMask;
        bool known = false;
        for (size_t slot = 0; slot < kVZRMemoryWindowPages; ++slot) {
            if (window->page[slot] == page) {
                wanted[slot] = true;
                known = true;
            }
        }
        for (size_t m = 0; m < missingCount && !known; ++m)
            known = missing[m] == page;
        if (!known && missingCount < kVZRMemoryWindowPages)
            missing[missingCount++] = page;
    }
    unsigned slots[kVZRMemoryWindowPages];
    void* buffers[kVZRMemoryWindowPages];
    size_t taken = 0;
    unsigned slot = window->next;
    for (size_t tried = 0; tried < kVZRMemoryWindowPages && taken < missingCount; ++tried) {
        if (!wanted[slot]) {
            slots[taken] = slot;
            buffers[taken++] = window->bytes[slot];
        }
        slot = static_cast<unsigned>((slot + 1) % kVZRMemoryWindowPages);
    }
    if (taken < 2)
        return; // one read or none is left either way
    for (size_t t = 0; t < taken; ++t)
        window->page[slots[t]] = 0;
    window->next = slot;
    ++window->reads;
    if (!VZRReadMemoryScatter(missing, buffers, taken, kVZRMemoryWindowPageSize))
        return;
    for (size_t t = 0; t < taken; ++t)
        window->page[slots[t]] = missing[t];
}

bool VZRDwarfReadU8(VZRDwarfCursor* cursor, uint8_t* value) { return cursorRead(cursor, value, 1); }
bool VZRDwarfReadU16(VZRDwarfCursor* cursor, uint16_t* value) { return cursorRead(cursor, value, 2); }
bool VZRDwarfReadU32(VZRDwarfCursor* cursor, uint32_t* value) { return cursorRead(cursor, value, 4); }
bool VZRDwarfReadU64(VZRDwarfCursor* cursor, uint64_t* value) { return cursorRead(cursor, value, 8); }

bool VZRDwarfReadULEB128(VZRDwarfCursor* cursor, uint64_t* value) {
    return readLEB128(cursor, value, false);
}

bool VZRDwarfReadSLEB128(VZRDwarfCursor* cursor, int64_t* value) {
    uint64_t raw = 0;
    if (!readLEB128(cursor, &raw, true))
        return false;
    *value = static_cast<int64_t>(raw);
    return true;
}

bool VZRDwarfReadInitialLength(VZRDwarfCursor* cursor, uint64_t* value) {
    uint32_t length32 = 0;
    if (!VZRDwarfReadU32(cursor, &length32))
        return false;
    if (length32 != 0xFFFFFFFFu) {
        *value = length32;
        return true;
    }
    return VZRDwarfReadU64(cursor, value);
}

bool VZRParseAddressWithEncodingAndAdvance(VZRDwarfCursor* cursor, uint8_t encoding, uint64_t* value,
                                           uintptr_t dataBase) {
    *value = 0;
    if (encoding == 0xFF)
        return true;
    const uintptr_t valueAddress = cursor->position;
    uint64_t raw = 0;
    bool ok = false;
    switch (encoding & 0x0F) {
    case 0x00:
    case 0x04:
    case 0x0C: {
        uint64_t v = 0;
        ok = VZRDwarfReadU64(cursor, &v);
        raw = v;
        break;
    }
    case 0x01:
        ok = VZRDwarfReadULEB128(cursor, &raw);
        break;
    case 0x02: {
        uint16_t v = 0;
        ok = VZRDwarfReadU16(cursor, &v);
        raw = v;
        break;
    }
    case 0x03: {
        uint32_t v = 0;
        ok = VZRDwarfReadU32(cursor, &v);
        raw = v;
        break;
    }
    case 0x09: {
        int64_t v = 0;
        ok = VZRDwarfReadSLEB128(cursor, &v);
        raw = static_cast<uint64_t>(v);
        break;
    }
    case 0x0A: {
        uint16_t v = 0;
        ok = VZRDwarfReadU16(cursor, &v);
        raw = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(v)));
        break;
    }
    case 0x0B: {
        uint32_t v = 0;
        ok = VZRDwarfReadU32(cursor, &v);
        raw = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v)));
        break;
    }
    default:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unhandled: encoding 0x%02x\n", VZR_HERE, encoding);
        *value = static_cast<uint64_t>(-1);
        return false;
    }
    if (!ok) {
        *value = static_cast<uint64_t>(-1);
        return false;
    }
    switch (encoding & 0x70) {
    case 0x00:
        break;
    case 0x10:
        raw += valueAddress;
        break;
    case 0x30:
        if (dataBase != 0) {
            raw += dataBase;
            break;
        }
        [[fallthrough]];
    default:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unhandled: relative encoding 0x%02x\n", VZR_HERE, encoding);
        *value = static_cast<uint64_t>(-1);
        return false;
    }
    if (encoding & 0x80) {
        uint64_t target = 0;
        if (raw == 0 || !VZRMemoryWindowRead(cursor->memory, raw, &target, sizeof target)) {
            *value = static_cast<uint64_t>(-1);
            return false;
        }
        raw = target;
    }
    *value = raw;
    return true;
}

namespace {

bool parseAugmentation(VZRDwarfCursor* cursor, VZRDwarfCIE* cie) {
    uint64_t dataLength = 0;
    if (!VZRDwarfReadULEB128(cursor, &dataLength))
        return false;
    VZRDwarfCursor data = *cursor;
    if (dataLength > kDwarfMaximumRecordLength)
        return false;
    data.end = cursor->position + dataLength;
    if (cursor->end != 0 && data.end > cursor->end)
        return false;
    for (const char* letter = cie->augmentation + 1; *letter; ++letter) {
        switch (*letter) {
        case 'L':
            if (!VZRDwarfReadU8(&data, &cie->lsdaEncoding))
                return false;
            break;
        case 'P':
            if (!VZRDwarfReadU8(&data, &cie->personalityEncoding))
                return false;
            if (!VZRParseAddressWithEncodingAndAdvance(&data, cie->personalityEncoding, &cie->personality)) {
                VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Found an invalid start address\n", VZR_HERE);
                return false;
            }
            break;
        case 'R':
            if (!VZRDwarfReadU8(&data, &cie->fdeEncoding))
                return false;
            break;
        case 'S':
            cie->signalFrame = true;
            break;
        default:
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unhandled augmentation string entry %c\n", VZR_HERE,
                      *letter);
            return false;
        }
    }
    cursor->position = data.end;
    return true;
}

} // namespace

bool VZRDwarfParseCIERecord(uintptr_t address, VZRDwarfCIE* cie, VZRMemoryWindow* memory) {
    if (!cie || !VZRIsValidPointer(reinterpret_cast<const void*>(address)))
        return false;
    *cie = VZRDwarfCIE{};
    cie->address = address;
    VZRDwarfCursor cursor{address, 0, memory};
    if (!VZRDwarfReadInitialLength(&cursor, &cie->length) || cie->length == 0 ||
        cie->length > kDwarfMaximumRecordLength) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: CIE length invalid\n", VZR_HERE);
        return false;
    }
    const uintptr_t recordEnd = cursor.position + cie->length;
    cursor.end = recordEnd;
    uint32_t id = 0;
    if (!VZRDwarfReadU32(&cursor, &id))
        return false;
    if (id != 0)
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: CIE flag not found\n", VZR_HERE);
    if (!VZRDwarfReadU8(&cursor, &cie->version))
        return false;
    if (cie->version != 1 && cie->version != 3) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: CIE version %u unsupported\n", VZR_HERE,
                  static_cast<unsigned>(cie->version));
        return false;
    }
    // The augmentation string; longer ones than any this reader knows are not supported.
    size_t used = 0;
    for (;;) {
        uint8_t c = 0;
        if (!VZRDwarfReadU8(&cursor, &c))
            return false;
        if (c == 0)
            break;
        if (used + 1 >= sizeof cie->augmentation) {
            cie->augmentation[used] = 0;
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unimplemented: augmentation string %s\n", VZR_HERE,
                      cie->augmentation);
            return false;
        }
        cie->augmentation[used++] = static_cast<char>(c);
    }
    cie->augmentation[used] = 0;
    if (!VZRDwarfReadULEB128(&cursor, &cie->codeAlignmentFactor) ||
        !VZRDwarfReadSLEB128(&cursor, &cie->dataAlignmentFactor))
        return false;
    if (cie->version == 1) {
        uint8_t r = 0;
        if (!VZRDwarfReadU8(&cursor, &r))
            return false;
        cie->returnAddressRegister = r;
    } else if (!VZRDwarfReadULEB128(&cursor, &cie->returnAddressRegister)) {
        return false;
    }
    if (cie->augmentation[0] == 'z') {
        if (!parseAugmentation(&cursor, cie))
            return false;
    } else if (cie->augmentation[0] != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unimplemented: augmentation string %s\n", VZR_HERE,
                  cie->augmentation);
        return false;
    }
    cie->instructions = cursor.position;
    cie->instructionsLength = recordEnd - cursor.position;
    return true;
}

bool VZRDwarfParseFDERecord(uintptr_t ehFrame, uint64_t offset, VZRDwarfFDE* fde, VZRMemoryWindow* memory) {
    if (!fde || ehFrame == 0 || offset == 0)
        return false;
    *fde = VZRDwarfFDE{};
    const uintptr_t address = ehFrame + offset;
    fde->address = address;
    // Linkers merge identical CIEs, so most FDEs of an image name the one at the start of the section: that
    // page comes with the FDE's own in one read.
    VZRMemoryWindowPrefetch(memory, address, ehFrame);
    VZRDwarfCursor cursor{address, 0, memory};
    if (!VZRDwarfReadInitialLength(&cursor, &fde->length) || fde->length == 0 ||
        fde->length > kDwarfMaximumRecordLength) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: FDE has zero length\n", VZR_HERE);
        return false;
    }
    const uintptr_t recordEnd = cursor.position + fde->length;
    cursor.end = recordEnd;
    const uintptr_t ciePointerAddress = cursor.position;
    if (!VZRDwarfReadU32(&cursor, &fde->ciePointer) || fde->ciePointer == 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: CIE offset invalid\n", VZR_HERE);
        return false;
    }
    // The CIE lies before its FDE in the same section; a pointer elsewhere is corrupt.
    const uintptr_t cieAddress = ciePointerAddress - fde->ciePointer;
    if (fde->ciePointer > ciePointerAddress || cieAddress < ehFrame) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: CIE offset invalid\n", VZR_HERE);
        return false;
    }
    if (!VZRDwarfParseCIERecord(cieAddress, &fde->cie, memory)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to parse CIE record\n", VZR_HERE);
        return false;
    }
    if (fde->cie.length == 0 || (fde->cie.version != 1 && fde->cie.version != 3)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: CIE invalid\n", VZR_HERE);
        return false;
    }
    if (!VZRParseAddressWithEncodingAndAdvance(&cursor, fde->cie.fdeEncoding, &fde->pcBegin)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Found an invalid start address\n", VZR_HERE);
        return false;
    }
    if (!VZRParseAddressWithEncodingAndAdvance(&cursor, fde->cie.fdeEncoding & 0x0F, &fde->addressRange)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Found an invalid address range\n", VZR_HERE);
        return false;
    }
    if (fde->cie.augmentation[0] == 'z') {
        uint64_t skip = 0;
        if (!VZRDwarfReadULEB128(&cursor, &skip) || skip > recordEnd - cursor.position)
            return false;
        cursor.position += skip;
    }
    fde->instructions = cursor.position;
    fde->instructionsLength = recordEnd - cursor.position;
    return true;
}

namespace {

// Shared by the instructions that name a register: the rule slot when the number is one of the
// architecture's, else the instruction's own failure line.
VZRDwarfRule* ruleFor(VZRDwarfRules* rules, uint64_t reg, const VZRDwarfInstructionContext* context,
                      const char* failure) {
    if (reg >= registerCountOf(context->architecture) || reg >= kVZRDwarfRuleCount) {
        VZRSDKLog(VZRLogLevelWarn, failure, VZR_HERE);
        return nullptr;
    }
    return &rules->registers[reg];
}

bool skipBlock(VZRDwarfCursor* cursor, uintptr_t* start) {
    *start = cursor->position;
    uint64_t length = 0;
    if (!VZRDwarfReadULEB128(cursor, &length))
        return false;
    if (cursor->end != 0 && length > cursor->end - cursor->position)
        return false;
    cursor->position += length;
    return true;
}

bool unimplemented(uint8_t opcode) {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unimplemented DWARF instruction 0x%x\n", VZR_HERE,
              static_cast<unsigned>(opcode));
    return false;
}

struct RememberStack {
    VZRDwarfRules saved[kVZRDwarfRememberDepth];
    size_t count = 0;
};

// One instruction; the location and the remember stack are the runner's.
bool executeInstruction(uint8_t opcode, VZRDwarfCursor* cursor, const VZRDwarfCIE* cie, VZRDwarfRules* rules,
                        uint64_t* location, const VZRDwarfInstructionContext* context, RememberStack* remembered) {
    const bool elf = context->profile == VZRDwarfProfile::elf;
    const uint64_t caf = cie->codeAlignmentFactor;
    const int64_t daf = cie->dataAlignmentFactor;
    const uint8_t high = opcode & 0xC0;
    const uint8_t low = opcode & 0x3F;
    if (high == 0x40) {
        *location += low * caf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_advance_loc %u\n", VZR_HERE, static_cast<unsigned>(low));
        return true;
    }
    if (high == 0x80) {
        uint64_t offset = 0;
        if (!VZRDwarfReadULEB128(cursor, &offset))
            return false;
        VZRDwarfRule* rule =
            ruleFor(rules, low, context, "WARN  [%s:%d] Error: Found an invalid DW_CFA_offset register number\n");
        if (!rule)
            return false;
        rule->kind = VZRDwarfRuleOffset;
        rule->value = static_cast<int64_t>(offset) * daf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_offset %llu, %lld\n", VZR_HERE);
        return true;
    }
    if (high == 0xC0) {
        if (!elf || !context->initialRules) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unimplemented DWARF instruction with operand 0x%x\n",
                      VZR_HERE, static_cast<unsigned>(opcode));
            return false;
        }
        VZRDwarfRule* rule =
            ruleFor(rules, low, context, "WARN  [%s:%d] Error: Found an invalid DW_CFA_restore register number\n");
        if (!rule)
            return false;
        *rule = context->initialRules->registers[low];
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_restore %u\n", VZR_HERE, static_cast<unsigned>(low));
        return true;
    }

    uint64_t reg = 0;
    uint64_t u = 0;
    int64_t s = 0;
    switch (opcode) {
    case 0x00:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_nop\n", VZR_HERE);
        return true;
    case 0x01: {
        uint64_t address = 0;
        if (!VZRParseAddressWithEncodingAndAdvance(cursor, cie->fdeEncoding, &address))
            return false;
        // Every other step counts from pc begin, and so does the limit.
        *location = address - context->pcBegin;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_set_loc %p\n", VZR_HERE, reinterpret_cast<void*>(address));
        return true;
    }
    case 0x02: {
        uint8_t delta = 0;
        if (!VZRDwarfReadU8(cursor, &delta))
            return false;
        *location += delta * caf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_advance_loc1 %u\n", VZR_HERE, static_cast<unsigned>(delta));
        return true;
    }
    case 0x03: {
        uint16_t delta = 0;
        if (!VZRDwarfReadU16(cursor, &delta))
            return false;
        *location += delta * caf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_advance_loc2 %u\n", VZR_HERE, static_cast<unsigned>(delta));
        return true;
    }
    case 0x04: {
        uint32_t delta = 0;
        if (!VZRDwarfReadU32(cursor, &delta))
            return false;
        *location += delta * caf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_advance_loc4 %u\n", VZR_HERE, static_cast<unsigned>(delta));
        return true;
    }
    case 0x05:   // offset_extended
    case 0x11: { // offset_extended_sf
        if (!elf)
            return unimplemented(opcode);
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        if (opcode == 0x05) {
            if (!VZRDwarfReadULEB128(cursor, &u))
                return false;
            s = static_cast<int64_t>(u);
        } else if (!VZRDwarfReadSLEB128(cursor, &s)) {
            return false;
        }
        VZRDwarfRule* rule = ruleFor(rules, reg, context,
                                     "WARN  [%s:%d] Error: Found an invalid DW_CFA_offset_extended register number\n");
        if (!rule)
            return false;
        rule->kind = VZRDwarfRuleOffset;
        rule->value = s * daf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_offset_extended %u\n", VZR_HERE, static_cast<unsigned>(reg));
        return true;
    }
    case 0x06: // restore_extended
        if (!elf || !context->initialRules)
            return unimplemented(opcode);
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        {
            VZRDwarfRule* rule = ruleFor(
                rules, reg, context, "WARN  [%s:%d] Error: Found an invalid DW_CFA_restore_extended register number\n");
            if (!rule)
                return false;
            *rule = context->initialRules->registers[reg];
        }
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_restore_extended %u\n", VZR_HERE, static_cast<unsigned>(reg));
        return true;
    case 0x07: // undefined
        if (!elf)
            return unimplemented(opcode);
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        {
            VZRDwarfRule* rule =
                ruleFor(rules, reg, context, "WARN  [%s:%d] Error: Found an invalid DW_CFA_undefined register number\n");
            if (!rule)
                return false;
            rule->kind = VZRDwarfRuleUndefined;
            rule->value = 0;
        }
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_undefined %u\n", VZR_HERE, static_cast<unsigned>(reg));
        return true;
    case 0x08: {
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        VZRDwarfRule* rule =
            ruleFor(rules, reg, context, "WARN  [%s:%d] Error: Found an invalid DW_CFA_same_value register number\n");
        if (!rule)
            return false;
        *rule = VZRDwarfRule{};
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_same_value %llu\n", VZR_HERE);
        return true;
    }
    case 0x09: {
        uint64_t second = 0;
        if (!VZRDwarfReadULEB128(cursor, &reg) || !VZRDwarfReadULEB128(cursor, &second))
            return false;
        VZRDwarfRule* rule =
            ruleFor(rules, reg, context, "WARN  [%s:%d] Error: Found an invalid DW_CFA_register number\n");
        if (!rule)
            return false;
        if (second >= registerCountOf(context->architecture) || second >= kVZRDwarfRuleCount) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Found an invalid DW_CFA_register value\n", VZR_HERE);
            return false;
        }
        rule->kind = VZRDwarfRuleRegister;
        rule->value = static_cast<int64_t>(second);
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_register %llu, %llu\n", VZR_HERE);
        return true;
    }
    case 0x0A: // remember_state
        if (!elf)
            return unimplemented(opcode);
        if (remembered->count >= kVZRDwarfRememberDepth) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DW_CFA_remember_state too deep\n", VZR_HERE);
            return false;
        }
        remembered->saved[remembered->count++] = *rules;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_remember_state\n", VZR_HERE);
        return true;
    case 0x0B: // restore_state
        if (!elf)
            return unimplemented(opcode);
        if (remembered->count == 0) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DW_CFA_restore_state without a remembered state\n",
                      VZR_HERE);
            return false;
        }
        *rules = remembered->saved[--remembered->count];
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_restore_state\n", VZR_HERE);
        return true;
    case 0x0C:   // def_cfa
    case 0x12: { // def_cfa_sf
        if (opcode == 0x12 && !elf)
            return unimplemented(opcode);
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        if (opcode == 0x0C) {
            if (!VZRDwarfReadULEB128(cursor, &u))
                return false;
            s = static_cast<int64_t>(u);
        } else {
            if (!VZRDwarfReadSLEB128(cursor, &s))
                return false;
            s *= daf;
        }
        if (reg >= registerCountOf(context->architecture)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Found an invalid DW_CFA_def_cfa register number\n",
                      VZR_HERE);
            return false;
        }
        rules->cfaRegister = reg;
        rules->cfaOffset = s;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_def_cfa %llu, %lld\n", VZR_HERE);
        return true;
    }
    case 0x0D:
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        if (reg >= registerCountOf(context->architecture)) {
            VZRSDKLog(VZRLogLevelWarn,
                      "WARN  [%s:%d] Error: Found an invalid DW_CFA_def_cfa_register register number\n", VZR_HERE);
            return false;
        }
        rules->cfaRegister = reg;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_def_cfa_register %llu\n", VZR_HERE);
        return true;
    case 0x0E:
        if (!VZRDwarfReadULEB128(cursor, &u))
            return false;
        rules->cfaOffset = static_cast<int64_t>(u);
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_def_cfa_offset %llu\n", VZR_HERE);
        return true;
    case 0x13: // def_cfa_offset_sf
        if (!elf)
            return unimplemented(opcode);
        if (!VZRDwarfReadSLEB128(cursor, &s))
            return false;
        rules->cfaOffset = s * daf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_def_cfa_offset_sf %d\n", VZR_HERE, static_cast<int>(s));
        return true;
    case 0x0F: {
        uintptr_t start = 0;
        if (!skipBlock(cursor, &start))
            return false;
        rules->cfaRegister = kVZRDwarfCFAExpression;
        rules->cfaExpression = start;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_def_cfa_expression %p\n", VZR_HERE,
                  reinterpret_cast<void*>(start));
        return true;
    }
    case 0x10:
    case 0x16: {
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        uintptr_t start = 0;
        if (!skipBlock(cursor, &start))
            return false;
        VZRDwarfRule* rule = ruleFor(rules, reg, context,
                                     opcode == 0x10
                                         ? "WARN  [%s:%d] Error: Found an invalid DW_CFA_expression register number\n"
                                         : "WARN  [%s:%d] Error: Found an invalid DW_CFA_val_expression register number\n");
        if (!rule)
            return false;
        rule->kind = opcode == 0x10 ? VZRDwarfRuleExpression : VZRDwarfRuleValueExpression;
        rule->value = static_cast<int64_t>(start);
        VZRSDKLog(VZRLogLevelWarn,
                  opcode == 0x10 ? "WARN  [%s:%d] DW_CFA_expression %llu\n" : "WARN  [%s:%d] DW_CFA_val_expression %llu\n",
                  VZR_HERE);
        return true;
    }
    case 0x14:   // val_offset
    case 0x15: { // val_offset_sf
        if (!elf)
            return unimplemented(opcode);
        if (!VZRDwarfReadULEB128(cursor, &reg))
            return false;
        if (opcode == 0x14) {
            if (!VZRDwarfReadULEB128(cursor, &u))
                return false;
            s = static_cast<int64_t>(u);
        } else if (!VZRDwarfReadSLEB128(cursor, &s)) {
            return false;
        }
        VZRDwarfRule* rule =
            ruleFor(rules, reg, context, "WARN  [%s:%d] Error: Found an invalid DW_CFA_val_offset register number\n");
        if (!rule)
            return false;
        rule->kind = VZRDwarfRuleValueOffset;
        rule->value = s * daf;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_val_offset %u\n", VZR_HERE, static_cast<unsigned>(reg));
        return true;
    }
    case 0x2E: // GNU_args_size: only what a personality routine needs
        if (!elf)
            return unimplemented(opcode);
        if (!VZRDwarfReadULEB128(cursor, &u))
            return false;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_CFA_GNU_args_size %u\n", VZR_HERE, static_cast<unsigned>(u));
        return true;
    case 0x2D:
    case 0x2F:
        return unimplemented(opcode);
    default:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unrecognized DWARF instruction 0x%x\n", VZR_HERE,
                  static_cast<unsigned>(opcode));
        return false;
    }
}

} // namespace

bool VZRDwarfInstructionsEnumerate(uintptr_t instructions, uint64_t length, const VZRDwarfCIE* cie,
                                   VZRDwarfRules* rules, uint64_t pcLimit,
                                   const VZRDwarfInstructionContext* context) {
    if (!cie || !rules || !context) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: inputs invalid\n", VZR_HERE);
        return false;
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Running instructions from %p to %p\n", VZR_HERE,
              reinterpret_cast<void*>(instructions), reinterpret_cast<void*>(instructions + length));
    if (instructions == 0 || length == 0 || pcLimit < 1)
        return true;
    VZRDwarfCursor cursor{instructions, instructions + length, context->memory};
    RememberStack remembered;
    uint64_t location = 0;
    while (cursor.position < cursor.end && location < pcLimit) {
        uint8_t opcode = 0;
        if (!VZRDwarfReadU8(&cursor, &opcode))
            return false;
        if (!executeInstruction(opcode, &cursor, cie, rules, &location, context, &remembered)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Failed to execute dwarf instruction 0x%x\n", VZR_HERE,
                      static_cast<unsigned>(opcode));
            return false;
        }
    }
    return true;
}

namespace {

struct ExpressionMachine {
    uint64_t stack[kVZRDwarfExpressionStackSize];
    size_t count = 0;
    VZRDwarfCursor cursor;
    uintptr_t start = 0;
    const VZRThreadState* registers = nullptr;
    VZRDwarfProfile profile = VZRDwarfProfile::strict;
};

bool push(ExpressionMachine* m, uint64_t value) {
    if (m->count >= kVZRDwarfExpressionStackSize)
        return false;
    m->stack[m->count++] = value;
    return true;
}

bool pop(ExpressionMachine* m, uint64_t* value) {
    if (m->count == 0)
        return false;
    *value = m->stack[--m->count];
    return true;
}

bool popTwo(ExpressionMachine* m, uint64_t* top, uint64_t* second) {
    return pop(m, top) && pop(m, second);
}

bool readConstant(ExpressionMachine* m, size_t size, bool isSigned, uint64_t* value) {
    uint8_t bytes[8] = {};
    if (!cursorRead(&m->cursor, bytes, size))
        return false;
    uint64_t v = 0;
    std::memcpy(&v, bytes, size);
    if (isSigned && size < 8 && (bytes[size - 1] & 0x80))
        v |= ~uint64_t{0} << (size * 8);
    *value = v;
    return true;
}

bool unrecognizedOpcode(uint8_t opcode) {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unrecognized DWARF expression opcode 0x%x\n", VZR_HERE,
              static_cast<unsigned>(opcode));
    return false;
}

bool executeNextOpcode(ExpressionMachine* m) {
    uint8_t opcode = 0;
    if (!VZRDwarfReadU8(&m->cursor, &opcode))
        return false;
    const bool elf = m->profile == VZRDwarfProfile::elf;
    uint64_t a = 0;
    uint64_t b = 0;
    if (opcode >= 0x30 && opcode <= 0x4F) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_lit %u\n", VZR_HERE, static_cast<unsigned>(opcode - 0x30));
        return push(m, opcode - 0x30u);
    }
    if (opcode >= 0x70 && opcode <= 0x8F) {
        int64_t offset = 0;
        if (!VZRDwarfReadSLEB128(&m->cursor, &offset))
            return false;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_breg %u\n", VZR_HERE, static_cast<unsigned>(opcode - 0x70));
        return push(m, VZRThreadStateGetRegister(m->registers, opcode - 0x70u) + static_cast<uint64_t>(offset));
    }
    switch (opcode) {
    case 0x06:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_deref\n", VZR_HERE);
        if (!pop(m, &a))
            return false;
        if (!VZRMemoryWindowRead(m->cursor.memory, a, &b, sizeof b)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DW_OP_deref failed to read memory\n", VZR_HERE);
            return false;
        }
        return push(m, b);
    case 0x94: {
        uint8_t size = 0;
        if (!VZRDwarfReadU8(&m->cursor, &size))
            return false;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_deref_size %u\n", VZR_HERE, static_cast<unsigned>(size));
        if (size != 1 && size != 2 && size != 4 && size != 8) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: unrecognized DW_OP_deref_size argument %x\n", VZR_HERE,
                      static_cast<unsigned>(size));
            return false;
        }
        if (!pop(m, &a))
            return false;
        uint64_t value = 0;
        if (!VZRMemoryWindowRead(m->cursor.memory, a, &value, size)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DW_OP_deref failed to read memory\n", VZR_HERE);
            return false;
        }
        return push(m, value);
    }
    case 0x12:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_dup\n", VZR_HERE);
        return m->count > 0 && push(m, m->stack[m->count - 1]);
    case 0x16:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_swap\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, a) && push(m, b);
    case 0x1A:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_and\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, b & a);
    case 0x22:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_plus\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, b + a);
    case 0x23: {
        uint64_t addend = 0;
        if (!VZRDwarfReadULEB128(&m->cursor, &addend))
            return false;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_plus_uconst\n", VZR_HERE);
        return pop(m, &a) && push(m, a + addend);
    }
    case 0x2E:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_ne\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, a != b ? 1 : 0);
    default:
        break;
    }
    if (!elf)
        return unrecognizedOpcode(opcode);

    switch (opcode) {
    case 0x08: case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x0E: case 0x0F: {
        static constexpr size_t kSizes[4] = {1, 2, 4, 8};
        const size_t size = kSizes[(opcode - 0x08) / 2];
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_const 0x%x\n", VZR_HERE, static_cast<unsigned>(opcode));
        return readConstant(m, size, (opcode & 1) != 0, &a) && push(m, a);
    }
    case 0x10:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_constu\n", VZR_HERE);
        return VZRDwarfReadULEB128(&m->cursor, &a) && push(m, a);
    case 0x11: {
        int64_t v = 0;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_consts\n", VZR_HERE);
        return VZRDwarfReadSLEB128(&m->cursor, &v) && push(m, static_cast<uint64_t>(v));
    }
    case 0x13:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_drop\n", VZR_HERE);
        return pop(m, &a);
    case 0x14:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_over\n", VZR_HERE);
        return m->count >= 2 && push(m, m->stack[m->count - 2]);
    case 0x15: {
        uint8_t index = 0;
        if (!VZRDwarfReadU8(&m->cursor, &index))
            return false;
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_pick %u\n", VZR_HERE, static_cast<unsigned>(index));
        return index < m->count && push(m, m->stack[m->count - 1 - index]);
    }
    case 0x1C:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_minus\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, b - a);
    case 0x1E:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_mul\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, b * a);
    case 0x1F:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_neg\n", VZR_HERE);
        return pop(m, &a) && push(m, 0 - a);
    case 0x20:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_not\n", VZR_HERE);
        return pop(m, &a) && push(m, ~a);
    case 0x21:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_or\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, b | a);
    case 0x24:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_shl\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, a >= 64 ? 0 : b << a);
    case 0x25:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_shr\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, a >= 64 ? 0 : b >> a);
    case 0x26:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_shra\n", VZR_HERE);
        if (!popTwo(m, &a, &b))
            return false;
        return push(m, static_cast<uint64_t>(static_cast<int64_t>(b) >> (a >= 63 ? 63 : a)));
    case 0x27:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_xor\n", VZR_HERE);
        return popTwo(m, &a, &b) && push(m, b ^ a);
    case 0x29: case 0x2A: case 0x2B: case 0x2C: case 0x2D: {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] DW_OP_compare 0x%x\n", VZR_HERE, static_cast<unsigned>(opcode));
        if (!popTwo(m, &a, &b))
            return false;
        const int64_t top = static_cast<int64_t>(a);
        const int64_t second = static_cast<int64_t>(b);
        bool r = false;
        switch (opcode) {
        case 0x29: r = second == top; break;
        case 0x2A: r = second >= top; break;
        case 0x2B: r = second > top; break;
        case 0x2C: r = second <= top; break;
        default: r = second < top; break;
        }
        return push(m, r ? 1 : 0);
    }
    case 0x2F:
    case 0x28: {
        uint64_t raw = 0;
        if (!readConstant(m, 2, true, &raw))
            return false;
        VZRSDKLog(VZRLogLevelWarn, opcode == 0x2F ? "WARN  [%s:%d] DW_OP_skip\n" : "WARN  [%s:%d] DW_OP_bra\n",
                  VZR_HERE);
        if (opcode == 0x28) {
            if (!pop(m, &a))
                return false;
            if (a == 0)
                return true;
        }
        // A jump stays inside the expression's own block.
        const int64_t target = static_cast<int64_t>(m->cursor.position) + static_cast<int64_t>(raw);
        if (target < static_cast<int64_t>(m->start) || target > static_cast<int64_t>(m->cursor.end))
            return false;
        m->cursor.position = static_cast<uintptr_t>(target);
        return true;
    }
    default:
        return unrecognizedOpcode(opcode);
    }
}

} // namespace

bool VZRDwarfEvaluateExpression(uintptr_t expression, const VZRThreadState* state, uint64_t initialValue,
                                uint64_t* result, VZRDwarfProfile profile, VZRMemoryWindow* memory) {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] starting at %p with initial value %lx\n", VZR_HERE,
              reinterpret_cast<void*>(expression));
    if (!state || !result || expression == 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: unable to init DWARF expression machine\n", VZR_HERE);
        return false;
    }
    ExpressionMachine machine;
    machine.registers = state;
    machine.profile = profile;
    machine.cursor = VZRDwarfCursor{expression, 0, memory};
    push(&machine, initialValue);
    uint64_t length = 0;
    if (!VZRDwarfReadULEB128(&machine.cursor, &length) || length == 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DWARF expression length is zero\n", VZR_HERE);
        return false;
    }
    if (length > kDwarfMaximumRecordLength) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DWARF machine pointers invalid\n", VZR_HERE);
        return false;
    }
    machine.start = machine.cursor.position;
    machine.cursor.end = machine.cursor.position + length;
    unsigned steps = 0;
    while (machine.cursor.position < machine.cursor.end) {
        if (++steps > kDwarfExpressionMaximumSteps || !executeNextOpcode(&machine)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: failed to execute DWARF machine opcode\n", VZR_HERE);
            return false;
        }
    }
    if (machine.cursor.position != machine.cursor.end) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DWARF expression hasn't completed execution\n", VZR_HERE);
        return false;
    }
    if (machine.count == 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: DWARF machine stack invalid\n", VZR_HERE);
        return false;
    }
    *result = machine.stack[machine.count - 1];
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] successfully computed expression result\n", VZR_HERE);
    return true;
}

namespace {

uint64_t returnAddressRegisterOf(VZRArchitecture architecture) {
    return architecture == VZRArchitecture::arm64 ? kVZRArm64LR : kVZRX86_64RIP;
}

uint64_t stackPointerRegisterOf(VZRArchitecture architecture) {
    return architecture == VZRArchitecture::arm64 ? kVZRArm64SP : kVZRX86_64RSP;
}

bool getSavedRegister(const VZRThreadState* state, uint64_t cfa, const VZRDwarfRule& rule, uint64_t* value,
                      VZRDwarfProfile profile, VZRMemoryWindow* memory) {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Getting register %x\n", VZR_HERE, static_cast<unsigned>(rule.kind));
    *value = 0;
    switch (rule.kind) {
    case VZRDwarfRuleOffset:
        if (!VZRMemoryWindowRead(memory, cfa + static_cast<uint64_t>(rule.value), value, sizeof *value)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to read CFA value\n", VZR_HERE);
            return false;
        }
        return true;
    case VZRDwarfRuleValueOffset:
        if (profile != VZRDwarfProfile::elf) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: OffsetFromCFA unhandled\n", VZR_HERE);
            return false;
        }
        *value = cfa + static_cast<uint64_t>(rule.value);
        return true;
    case VZRDwarfRuleRegister:
        *value = VZRThreadStateGetRegister(state, static_cast<uint64_t>(rule.value));
        return true;
    case VZRDwarfRuleExpression:
    case VZRDwarfRuleValueExpression: {
        uint64_t result = 0;
        if (!VZRDwarfEvaluateExpression(static_cast<uintptr_t>(rule.value), state, cfa, &result, profile, memory)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: unable to evaluate expression\n", VZR_HERE);
            return false;
        }
        if (rule.kind == VZRDwarfRuleValueExpression) {
            *value = result;
            return true;
        }
        if (!VZRMemoryWindowRead(memory, result, value, sizeof *value)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to read memory computed from expression\n",
                      VZR_HERE);
            return false;
        }
        return true;
    }
    default:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unrecognized register save location 0x%x\n", VZR_HERE,
                  static_cast<unsigned>(rule.kind));
        return false;
    }
}

} // namespace

bool VZRDwarfUnwindComputeRegisters(const VZRDwarfFDE* fde, VZRThreadState* state, VZRDwarfProfile profile,
                                    VZRMemoryWindow* memory) {
    if (!fde || !state) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: inputs invalid\n", VZR_HERE);
        return false;
    }
    const VZRArchitecture architecture = state->architecture;
    VZRDwarfRules rules;
    VZRDwarfInstructionContext context;
    context.architecture = architecture;
    context.profile = profile;
    context.pcBegin = fde->pcBegin;
    context.memory = memory;
    if (!VZRDwarfInstructionsEnumerate(fde->cie.instructions, fde->cie.instructionsLength, &fde->cie, &rules,
                                       UINT64_MAX, &context)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to run CIE instructions\n", VZR_HERE);
        return false;
    }
    const VZRDwarfRules initial = rules;
    context.initialRules = &initial;

    const uint64_t pc = VZRThreadStateGetPC(state);
    if (pc < fde->pcBegin) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: The FDE pcOffset value cannot be negative\n", VZR_HERE);
        return false;
    }
    const uint64_t pcOffset = pc - fde->pcBegin;
    // A pc past the function's end (in a gap before the next one) must not take this function's rules.
    if (pcOffset >= fde->addressRange) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: The pc lies past the FDE's range\n", VZR_HERE);
        return false;
    }
    // The row that starts exactly at the pc applies to it, so the limit is one past the offset.
    if (!VZRDwarfInstructionsEnumerate(fde->instructions, fde->instructionsLength, &fde->cie, &rules,
                                       pcOffset + 1, &context)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to run FDE instructions\n", VZR_HERE);
        return false;
    }

    uint64_t cfa = 0;
    if (rules.cfaRegister == kVZRDwarfCFAExpression) {
        if (!VZRDwarfEvaluateExpression(rules.cfaExpression, state, 0, &cfa, profile, memory)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: failed to compute CFA expression\n", VZR_HERE);
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: failed to get CFA\n", VZR_HERE);
            return false;
        }
    } else {
        cfa = VZRThreadStateGetRegister(state, rules.cfaRegister) + static_cast<uint64_t>(rules.cfaOffset);
    }

    VZRThreadState next = *state;
    const uint64_t raRegister = returnAddressRegisterOf(architecture);
    const uint64_t spRegister = stackPointerRegisterOf(architecture);
    const uint64_t count = registerCountOf(architecture);
    bool ok = true;
    for (uint64_t reg = 0; reg < count && ok; ++reg) {
        const VZRDwarfRule& rule = rules.registers[reg];
        if (rule.kind == VZRDwarfRuleUnchanged)
            continue;
        uint64_t value = 0;
        if (rule.kind == VZRDwarfRuleUndefined) {
            // The outermost frame says so: no caller to return to.
            if (reg == raRegister)
                ok = VZRThreadStateSetRegister(&next, reg, 0);
            continue;
        }
        if (!getSavedRegister(state, cfa, rule, &value, profile, memory) ||
            !VZRThreadStateSetRegister(&next, reg, value)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to restore register value\n", VZR_HERE);
            ok = false;
        }
    }
    if (ok && !VZRThreadStateSetRegister(&next, spRegister, cfa)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to restore SP value\n", VZR_HERE);
        ok = false;
    }
    if (ok && VZRThreadStateGetSP(&next) == VZRThreadStateGetSP(state)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Stack pointer hasn't changed\n", VZR_HERE);
        ok = false;
    }
    if (ok && VZRThreadStateGetRegister(&next, raRegister) == VZRThreadStateGetRegister(state, raRegister)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: PC hasn't changed\n", VZR_HERE);
        ok = false;
    }
    if (!ok) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: Unable to assign DWARF registers\n", VZR_HERE);
        return false;
    }
    *state = next;
    return true;
}

namespace {

// A ".eh_frame_hdr" table of more than 2 * kHeaderSliceEntries entries is narrowed through pivots first.
constexpr uint64_t kHeaderSliceEntries = 256;

uint64_t headerPivotsFor(uint64_t count) {
    return count / kHeaderSliceEntries + 1;
}

bool headerTableIsGathered(uint64_t count) {
    return count > 2 * kHeaderSliceEntries && headerPivotsFor(count) <= VZRMemoryWindow::kMostPivots;
}

// The window's pivots when they were gathered from this table.
const int32_t* cachedPivots(const VZRMemoryWindow* memory, uintptr_t table, uint64_t count) {
    if (memory && memory->pivotTable == table && memory->pivotCount == count &&
        memory->pivots == headerPivotsFor(count))
        return memory->pivotStarts;
    return nullptr;
}

void keepPivots(VZRMemoryWindow* memory, uintptr_t table, uint64_t count, uintptr_t ehFrame,
                const int32_t* starts) {
    if (!memory)
        return;
    const uint64_t pivots = headerPivotsFor(count);
    std::memcpy(memory->pivotStarts, starts, pivots * sizeof starts[0]);
    memory->pivotTable = table;
    memory->pivotCount = count;
    memory->pivots = pivots;
    memory->pivotEhFrame = ehFrame;
}

// The standard header as the linker writes it: version 1, a pc-relative 4-byte ".eh_frame" pointer, a
// 4-byte count and the sorted table of 4-byte data-relative pairs, which starts 12 bytes in.
constexpr uint8_t kStandardHeader[4] = {1, 0x1B, 0x03, 0x3B};
constexpr uintptr_t kStandardTableOffset = 12;

// The pivots and the ".eh_frame" address of a standard header whose count was recorded when the image was
// loaded: the header's three words and the pivots in one gathered read (or none, when the window has the
// pivots already). The header must still say what was recorded; otherwise (and when the gathered read is
// refused) false, and the caller reads the header itself.
const int32_t* gatherWithKnownCount(uintptr_t ehFrameHdr, uint64_t count, VZRMemoryWindow* memory,
                                    int32_t* buffer, uintptr_t* ehFrame) {
    const uintptr_t table = ehFrameHdr + kStandardTableOffset;
    if (const int32_t* starts = cachedPivots(memory, table, count)) {
        *ehFrame = memory->pivotEhFrame;
        return starts;
    }
    const uint64_t pivots = headerPivotsFor(count);
    uintptr_t addresses[3 + VZRMemoryWindow::kMostPivots];
    for (uintptr_t i = 0; i < 3; ++i)
        addresses[i] = ehFrameHdr + 4 * i;
    for (uint64_t j = 0; j < pivots; ++j)
        addresses[3 + j] = table + (j * count / pivots) * 8;
    if (memory)
        ++memory->reads;
    if (!VZRReadMemoryGather(addresses, 3 + pivots, sizeof buffer[0], buffer))
        return nullptr;
    if (std::memcmp(buffer, kStandardHeader, sizeof kStandardHeader) != 0 ||
        static_cast<uint32_t>(buffer[2]) != count)
        return nullptr;
    *ehFrame = ehFrameHdr + 4 + static_cast<intptr_t>(buffer[1]);
    keepPivots(memory, table, count, *ehFrame, buffer + 3);
    return buffer + 3;
}

// The entry range [*low, *high) that the pivots leave for `pc`; false when pc lies before the first.
bool narrowByPivots(const int32_t* starts, uint64_t count, uintptr_t ehFrameHdr, uintptr_t pc, uint64_t* low,
                    uint64_t* high) {
    const uint64_t pivots = headerPivotsFor(count);
    uint64_t below = pivots; // the last pivot at or before pc
    for (uint64_t j = 0; j < pivots && ehFrameHdr + static_cast<intptr_t>(starts[j]) <= pc; ++j)
        below = j;
    if (below == pivots)
        return false;
    *low = below * count / pivots;
    *high = below + 1 < pivots ? (below + 1) * count / pivots : count;
    return true;
}

// A table that fits the window is cheapest read whole, header and all, with one system call: a gathered read
// costs about as much per piece as a plain one costs per page, and the search then reads nothing more. Also
// true when the window holds those pages already.
bool windowLoadsWholeTable(uintptr_t ehFrameHdr, uint64_t count, VZRMemoryWindow* memory) {
    constexpr uintptr_t kPageMask = ~static_cast<uintptr_t>(kVZRMemoryWindowPageSize - 1);
    if (count > kDwarfMaximumRecordLength)
        return false;
    const uintptr_t end = ehFrameHdr + kStandardTableOffset + count * 8;
    const uintptr_t first = ehFrameHdr & kPageMask;
    const uint64_t pages = (end - first + kVZRMemoryWindowPageSize - 1) / kVZRMemoryWindowPageSize;
    if (end < ehFrameHdr || pages > kVZRMemoryWindowPages)
        return false;
    uint64_t present = 0;
    for (uint64_t i = 0; i < pages; ++i) {
        for (const uintptr_t cached : memory->page)
            present += cached == first + i * kVZRMemoryWindowPageSize ? 1 : 0;
    }
    if (present == pages)
        return true;
    for (uintptr_t& page : memory->page)
        page = 0;
    memory->next = static_cast<unsigned>(pages % kVZRMemoryWindowPages);
    ++memory->reads;
    if (!VZRReadMemory(first, memory->bytes[0], pages * kVZRMemoryWindowPageSize))
        return false;
    for (uint64_t i = 0; i < pages; ++i)
        memory->page[i] = first + i * kVZRMemoryWindowPageSize;
    return true;
}

// The table pages brought in for one slice; a larger slice's other pages are read as the search needs them.
constexpr uintptr_t kPivotTablePages = 3;

// The slice [*low, *high) of the table that the image's pivots give for `pc`, with the pages the look-up is
// about to read brought into the window in one system call: the header's, the slice's (with the entry after
// it, which checks the slice), the pages of the slice's FDEs, its CIEs and the personality pointers those
// CIEs are parsed with. False when the pivots are not of a table of `knownCount` entries or the pc lies
// before the first pivot.
bool prefetchSliceByPivots(uintptr_t ehFrameHdr, uintptr_t pc, uint64_t knownCount,
                           const VZRBinaryImagePivots* pivots, VZRMemoryWindow* memory, uint64_t* low,
                           uint64_t* high) {
    constexpr uintptr_t kPageMask = ~static_cast<uintptr_t>(kVZRMemoryWindowPageSize - 1);
    if (!memory || !pivots || knownCount == 0 || pivots->count == 0 ||
        pivots->count > kVZRBinaryImagePivotCount || pivots->tableCount != knownCount)
        return false;
    const uint64_t n = pivots->count;
    const auto at = [ehFrameHdr](int32_t offset) { return ehFrameHdr + static_cast<intptr_t>(offset); };
    uint64_t j = n; // the last pivot at or before pc
    for (uint64_t k = 0; k < n && at(pivots->pivots[k].start) <= pc; ++k)
        j = k;
    if (j == n)
        return false;
    const VZRBinaryImagePivot& pivot = pivots->pivots[j];
    *low = pivot.entry;
    *high = j + 1 < n ? pivots->pivots[j + 1].entry : knownCount;
    if (*low >= *high || *high > knownCount)
        return false;

    uintptr_t addresses[1 + kPivotTablePages + kVZRBinaryImagePivotFDEPages + 2 * kVZRBinaryImagePivotCIECount];
    size_t count = 0;
    addresses[count++] = ehFrameHdr;
    const uintptr_t table = ehFrameHdr + kStandardTableOffset;
    const uintptr_t sliceEnd = table + (*high < knownCount ? *high + 1 : knownCount) * 8;
    for (uintptr_t page = (table + *low * 8) & kPageMask; page < sliceEnd && count < 1 + kPivotTablePages;
         page += kVZRMemoryWindowPageSize)
        addresses[count++] = page;
    for (size_t i = 0; i < pivot.fdePages && i < kVZRBinaryImagePivotFDEPages; ++i)
        addresses[count++] = (at(pivot.fde) & kPageMask) + i * kVZRMemoryWindowPageSize;
    for (size_t i = 0; i < kVZRBinaryImagePivotCIECount; ++i) {
        if (pivot.cies & (1u << i))
            addresses[count++] = at(pivots->cie[i]);
    }
    for (size_t i = 0; i < kVZRBinaryImagePivotCIECount; ++i) {
        if ((pivot.cies & (1u << i)) && pivots->personality[i] != 0)
            addresses[count++] = at(pivots->personality[i]);
    }
    VZRMemoryWindowPrefetchPages(memory, addresses, count);
    return true;
}

// True when the table's own entries bracket `pc` by the slice [low, high): its first entry starts at or
// before the pc, and the entry after it (if any) past the pc. Then the search of the slice answers as a
// search of the whole sorted table would.
bool sliceHoldsPc(uintptr_t ehFrameHdr, uintptr_t table, uintptr_t pc, uint64_t low, uint64_t high,
                  uint64_t count, VZRMemoryWindow* memory) {
    int32_t entry[2] = {};
    if (low >= high || high > count || !VZRMemoryWindowRead(memory, table + low * 8, entry, sizeof entry) ||
        ehFrameHdr + static_cast<intptr_t>(entry[0]) > pc)
        return false;
    return high == count || (VZRMemoryWindowRead(memory, table + high * 8, entry, sizeof entry) &&
                             ehFrameHdr + static_cast<intptr_t>(entry[0]) > pc);
}

} // namespace

bool VZRDwarfFindFDEInHeader(uintptr_t ehFrameHdr, uintptr_t pc, uintptr_t* fdeAddress, uintptr_t* ehFrame,
                             VZRMemoryWindow* memory, uint64_t knownCount,
                             const VZRBinaryImagePivots* imagePivots) {
    if (!VZRIsValidPointer(reinterpret_cast<const void*>(ehFrameHdr)) || !fdeAddress || !ehFrame)
        return false;
    // Each read of foreign memory is a system call, and a page-by-page binary search over a large table reads
    // a page per halving. One gathered read of evenly spaced pivots (kept in the window for the walk's later
    // frames) narrows the range to a slice of at most kHeaderSliceEntries, whose one or two pages the search
    // below then reads through the window. With the count known from the image's load, a table that fits the
    // window is read whole in one read, and a larger one's header comes with the pivots. A small table, or a
    // gathered read the kernel refuses, is searched whole.
    //
    // Best of all, the slices cut when the image was added name the pc's slice without any read, and with
    // it the pages of the header, the slice, its FDEs, their CIEs and personality pointers: one read brings
    // them all, and the search and the record parsing that follow read only the window. The slice is
    // checked against the table before the search keeps to it.
    uint64_t sliceLow = 0;
    uint64_t sliceHigh = 0;
    const bool sliced =
        prefetchSliceByPivots(ehFrameHdr, pc, knownCount, imagePivots, memory, &sliceLow, &sliceHigh);
    uint64_t count = 0;
    uint64_t frame = 0;
    uintptr_t table = 0;
    const int32_t* starts = nullptr;
    int32_t gathered[3 + VZRMemoryWindow::kMostPivots];
    const bool tableInWindow =
        !sliced && knownCount != 0 && memory && windowLoadsWholeTable(ehFrameHdr, knownCount, memory);
    if (tableInWindow || sliced) {
        // The search below reads the header and the table from the window.
    } else if (knownCount != 0 && headerTableIsGathered(knownCount)) {
        uintptr_t knownFrame = 0;
        starts = gatherWithKnownCount(ehFrameHdr, knownCount, memory, gathered, &knownFrame);
        if (starts) {
            count = knownCount;
            frame = knownFrame;
            table = ehFrameHdr + kStandardTableOffset;
        }
    }
    if (!starts) {
        VZRDwarfCursor cursor{ehFrameHdr, 0, memory};
        uint8_t header[4] = {};
        if (!cursorRead(&cursor, header, sizeof header) || header[0] != 1)
            return false;
        if (!VZRParseAddressWithEncodingAndAdvance(&cursor, header[1], &frame, ehFrameHdr) ||
            !VZRParseAddressWithEncodingAndAdvance(&cursor, header[2], &count, ehFrameHdr))
            return false;
        // Only the sorted table of 4-byte data-relative pairs can be searched without reading it whole.
        if (header[3] != 0x3B || count == 0 || count > kDwarfMaximumRecordLength)
            return false;
        table = cursor.position;
        if (!tableInWindow && !sliced && headerTableIsGathered(count)) {
            starts = cachedPivots(memory, table, count);
            if (!starts) {
                const uint64_t pivots = headerPivotsFor(count);
                uintptr_t addresses[VZRMemoryWindow::kMostPivots];
                for (uint64_t j = 0; j < pivots; ++j)
                    addresses[j] = table + (j * count / pivots) * 8;
                if (memory)
                    ++memory->reads;
                if (VZRReadMemoryGather(addresses, pivots, sizeof gathered[0], gathered)) {
                    starts = gathered;
                    keepPivots(memory, table, count, static_cast<uintptr_t>(frame), gathered);
                }
            }
        }
    }
    uint64_t low = 0;
    uint64_t high = count;
    if (sliced && count == knownCount && sliceHoldsPc(ehFrameHdr, table, pc, sliceLow, sliceHigh, count, memory)) {
        low = sliceLow;
        high = sliceHigh;
    } else if (starts && !narrowByPivots(starts, count, ehFrameHdr, pc, &low, &high))
        return false; // before the table's first function
    int32_t entry[2] = {};
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        if (!VZRMemoryWindowRead(memory, table + middle * 8, entry, sizeof entry))
            return false;
        const uintptr_t start = ehFrameHdr + static_cast<intptr_t>(entry[0]);
        if (start <= pc)
            low = middle;
        else
            high = middle;
    }
    if (!VZRMemoryWindowRead(memory, table + low * 8, entry, sizeof entry))
        return false;
    if (ehFrameHdr + static_cast<intptr_t>(entry[0]) > pc)
        return false;
    *fdeAddress = ehFrameHdr + static_cast<intptr_t>(entry[1]);
    *ehFrame = static_cast<uintptr_t>(frame);
    return *fdeAddress > *ehFrame;
}
