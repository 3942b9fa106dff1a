// DWARF call-frame information and expressions over hand-built bytes: record parsing, every instruction of
// both profiles, every expression operator, the ".eh_frame_hdr" search, and corrupt or unreadable data.

#include "crash/unwind/VZRDwarf.hpp"
#include "crash/unwind/tests/DwarfFixture.hpp"

#include "crash/capture/VZRUtilities.hpp"
#include "crash/capture/tests/CrashContextFixture.hpp"

#include <gtest/gtest.h>

#include <link.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using dwarffixture::Pages;
using dwarffixture::Writer;

class DwarfTest : public crashtest::CrashContextTest {
protected:
    void SetUp() override {
        CrashContextTest::SetUp();
        ASSERT_TRUE(initialize());
    }

    // What "sdk.log" gained since the last call.
    std::string newLog() {
        const std::string all = sdkLog();
        std::string fresh = all.substr(logSeen_ < all.size() ? logSeen_ : all.size());
        logSeen_ = all.size();
        return fresh;
    }

private:
    size_t logSeen_ = 0;
};

// Where a fixture's function "is": near its pages, so that 4-byte pc-relative fields reach it. Never read.
uintptr_t dwarfCodeNear(const Pages& pages) {
    return pages.address() + 0x100000;
}
constexpr uint32_t codeRange = 0x40;

TEST_F(DwarfTest, AugmentedCIEAndPcRelativeFDEAreParsed) {
    Pages pages;
    const uintptr_t code = dwarfCodeNear(pages);
    uintptr_t end = 0;
    const uintptr_t cie = dwarffixture::writeCIE(pages.address(0x10), {}, &end);
    const uintptr_t fde = dwarffixture::writeFDE(end, cie, code, codeRange, {0x41, 0x0e, 0x10}, &end);

    VZRDwarfFDE parsed;
    ASSERT_TRUE(VZRDwarfParseFDERecord(pages.address(), fde - pages.address(), &parsed));
    EXPECT_EQ(parsed.pcBegin, code);
    EXPECT_EQ(parsed.addressRange, codeRange);
    EXPECT_EQ(parsed.instructionsLength, 3u);
    EXPECT_STREQ(parsed.cie.augmentation, "zR");
    EXPECT_EQ(parsed.cie.fdeEncoding, 0x1B);
    EXPECT_EQ(parsed.cie.codeAlignmentFactor, 1u);
    EXPECT_EQ(parsed.cie.dataAlignmentFactor, -8);
    EXPECT_EQ(parsed.cie.returnAddressRegister, 16u);
    EXPECT_EQ(parsed.cie.instructionsLength, 5u);
    // Neither an offset of 0 nor a missing section is an FDE.
    EXPECT_FALSE(VZRDwarfParseFDERecord(pages.address(), 0, &parsed));
    EXPECT_FALSE(VZRDwarfParseFDERecord(0, fde, &parsed));
}

TEST_F(DwarfTest, AdvanceStepsAccumulateAndTheRowAtThePcApplies) {
    Pages pages;
    const uintptr_t code = dwarfCodeNear(pages);
    uintptr_t end = 0;
    const uintptr_t cie = dwarffixture::writeCIE(pages.address(0x10), {}, &end);
    // advance 4; cfa offset 16; advance 4; cfa offset 24
    const uintptr_t fde =
        dwarffixture::writeFDE(end, cie, code, codeRange, {0x44, 0x0e, 0x10, 0x44, 0x0e, 0x18}, &end);
    VZRDwarfFDE parsed;
    ASSERT_TRUE(VZRDwarfParseFDERecord(pages.address(), fde - pages.address(), &parsed));

    struct Case {
        uint64_t limit;
        int64_t cfaOffset;
    };
    for (const Case& c : {Case{8, 16}, Case{9, 24}, Case{5, 16}, Case{4, 0}}) {
        VZRDwarfRules rules;
        VZRDwarfInstructionContext context;
        context.profile = VZRDwarfProfile::elf;
        ASSERT_TRUE(VZRDwarfInstructionsEnumerate(parsed.instructions, parsed.instructionsLength, &parsed.cie, &rules,
                                                  c.limit, &context));
        EXPECT_EQ(rules.cfaOffset, c.cfaOffset) << "limit " << c.limit;
    }

    // Through the whole computation: at pc offset 8 the second row holds (cfa = rsp + 24).
    Pages stack;
    const uint64_t returnAddress = 0x123456;
    Writer(stack.address(0x100 + 16)).u64(returnAddress);
    VZRThreadState state;
    state.registers[kVZRX86_64RIP] = code + 8;
    state.registers[kVZRX86_64RSP] = stack.address(0x100);
    ASSERT_TRUE(VZRDwarfUnwindComputeRegisters(&parsed, &state, VZRDwarfProfile::elf));
    EXPECT_EQ(VZRThreadStateGetPC(&state), returnAddress);
    EXPECT_EQ(VZRThreadStateGetSP(&state), stack.address(0x100 + 24));
}

// One instruction run on fresh rules (after a CIE that saved rbx at cfa-24) in one profile.
struct DwarfInstructionCase {
    const char* name;
    VZRDwarfProfile profile;
    std::vector<uint8_t> bytes;
    const char* failure; // the instruction's own failure line; null when it succeeds
    std::function<void(const VZRDwarfRules&)> check;
};

TEST_F(DwarfTest, EveryCallFrameInstructionOfBothProfiles) {
    const auto strict = VZRDwarfProfile::strict;
    const auto elf = VZRDwarfProfile::elf;
    Pages pages;
    const char* unimplemented = "Unimplemented DWARF instruction 0x";
    auto rule = [](uint64_t reg, uint32_t kind, int64_t value) {
        return [=](const VZRDwarfRules& r) {
            EXPECT_EQ(r.registers[reg].kind, kind);
            EXPECT_EQ(r.registers[reg].value, value);
        };
    };
    auto cfa = [](uint64_t reg, int64_t offset) {
        return [=](const VZRDwarfRules& r) {
            EXPECT_EQ(r.cfaRegister, reg);
            EXPECT_EQ(r.cfaOffset, offset);
        };
    };
    auto unchanged = [](const VZRDwarfRules& r) {
        EXPECT_EQ(r.cfaRegister, 7u);
        EXPECT_EQ(r.cfaOffset, 8);
        EXPECT_EQ(r.registers[3].kind, 1u);
        EXPECT_EQ(r.registers[6].kind, 0u);
    };
    const std::vector<DwarfInstructionCase> cases = {
        {"nop", strict, {0x00}, nullptr, unchanged},
        {"offset", strict, {0x86, 0x02}, nullptr, rule(6, 1, -16)},
        {"offset of register 17", strict, {0x91, 0x01}, "Found an invalid DW_CFA_offset register number", {}},
        {"same_value", strict, {0x08, 0x03}, nullptr, rule(3, 0, 0)},
        {"same_value of register 40", strict, {0x08, 40}, "Found an invalid DW_CFA_same_value register number", {}},
        {"register", strict, {0x09, 0x03, 0x04}, nullptr, rule(3, 3, 4)},
        {"register into 40", strict, {0x09, 0x03, 40}, "Found an invalid DW_CFA_register value", {}},
        {"register 40", strict, {0x09, 40, 0x03}, "Found an invalid DW_CFA_register number", {}},
        {"def_cfa", strict, {0x0c, 0x06, 0x10}, nullptr, cfa(6, 16)},
        {"def_cfa of register 20", strict, {0x0c, 20, 0x10}, "Found an invalid DW_CFA_def_cfa register number", {}},
        {"def_cfa_register", strict, {0x0d, 0x06}, nullptr, cfa(6, 8)},
        {"def_cfa_register 20", strict, {0x0d, 20}, "Found an invalid DW_CFA_def_cfa_register register number", {}},
        {"def_cfa_offset", strict, {0x0e, 0x20}, nullptr, cfa(7, 32)},
        {"def_cfa_expression", strict, {0x0f, 0x02, 0x77, 0x08}, nullptr,
         [&](const VZRDwarfRules& r) { EXPECT_EQ(r.cfaRegister, kVZRDwarfCFAExpression); }},
        {"expression", strict, {0x10, 0x06, 0x02, 0x77, 0x08}, nullptr,
         [](const VZRDwarfRules& r) { EXPECT_EQ(r.registers[6].kind, 4u); }},
        {"expression of register 40", strict, {0x10, 40, 0x01, 0x30}, "Found an invalid DW_CFA_expression register number", {}},
        {"val_expression", strict, {0x16, 0x06, 0x01, 0x30}, nullptr,
         [](const VZRDwarfRules& r) { EXPECT_EQ(r.registers[6].kind, 5u); }},
        {"val_expression of register 40", strict, {0x16, 40, 0x01, 0x30},
         "Found an invalid DW_CFA_val_expression register number", {}},
        {"expression block past the program", strict, {0x10, 0x06, 0x09, 0x30}, "Failed to execute dwarf instruction 0x10", {}},
        {"offset_extended, strict", strict, {0x05, 0x03, 0x02}, unimplemented, {}},
        {"restore_extended, strict", strict, {0x06, 0x03}, unimplemented, {}},
        {"undefined, strict", strict, {0x07, 0x10}, unimplemented, {}},
        {"remember_state, strict", strict, {0x0a}, "Unimplemented DWARF instruction 0xa", {}},
        {"restore_state, strict", strict, {0x0b}, unimplemented, {}},
        {"offset_extended_sf, strict", strict, {0x11, 0x03, 0x7e}, unimplemented, {}},
        {"def_cfa_sf, strict", strict, {0x12, 0x07, 0x7e}, unimplemented, {}},
        {"def_cfa_offset_sf, strict", strict, {0x13, 0x7e}, unimplemented, {}},
        {"val_offset, strict", strict, {0x14, 0x03, 0x02}, unimplemented, {}},
        {"val_offset_sf, strict", strict, {0x15, 0x03, 0x7f}, unimplemented, {}},
        {"GNU_window_save", elf, {0x2d}, "Unimplemented DWARF instruction 0x2d", {}},
        {"GNU_args_size, strict", strict, {0x2e, 0x10}, "Unimplemented DWARF instruction 0x2e", {}},
        {"GNU_negative_offset_extended", elf, {0x2f, 0x03, 0x02}, "Unimplemented DWARF instruction 0x2f", {}},
        {"restore, strict", strict, {0xc3}, "Unimplemented DWARF instruction with operand 0xc3", {}},
        {"unknown opcode", elf, {0x17}, "Unrecognized DWARF instruction 0x17", {}},
        {"offset_extended", elf, {0x05, 0x06, 0x02}, nullptr, rule(6, 1, -16)},
        {"offset_extended_sf", elf, {0x11, 0x06, 0x7e}, nullptr, rule(6, 1, 16)},
        {"def_cfa_sf", elf, {0x12, 0x06, 0x7e}, nullptr, cfa(6, 16)},
        {"def_cfa_offset_sf", elf, {0x13, 0x7c}, nullptr, cfa(7, 32)},
        {"val_offset", elf, {0x14, 0x06, 0x02}, nullptr, rule(6, 2, -16)},
        {"val_offset_sf", elf, {0x15, 0x06, 0x7f}, nullptr, rule(6, 2, 8)},
        {"undefined", elf, {0x07, 0x10}, nullptr, rule(16, 6, 0)},
        {"undefined register 40", elf, {0x07, 40}, "Found an invalid DW_CFA_undefined register number", {}},
        {"GNU_args_size", elf, {0x2e, 0x10}, nullptr, unchanged},
        {"restore", elf, {0x83, 0x02, 0xc3}, nullptr, rule(3, 1, -24)},
        {"restore_extended", elf, {0x83, 0x02, 0x06, 0x03}, nullptr, rule(3, 1, -24)},
        {"remember and restore state", elf, {0x0a, 0x86, 0x02, 0x0e, 0x30, 0x0b}, nullptr,
         [](const VZRDwarfRules& r) {
             EXPECT_EQ(r.registers[6].kind, 0u);
             EXPECT_EQ(r.cfaOffset, 8);
         }},
        {"restore_state with nothing remembered", elf, {0x0b}, "without a remembered state", {}},
        {"remember_state past its depth", elf, std::vector<uint8_t>(kVZRDwarfRememberDepth + 1, 0x0a),
         "DW_CFA_remember_state too deep", {}},
    };

    VZRDwarfCIE cie;
    cie.codeAlignmentFactor = 1;
    cie.dataAlignmentFactor = -8;
    cie.returnAddressRegister = 16;
    VZRDwarfRules initial;
    {
        // The CIE's rules: cfa = rsp + 8, rbx saved at cfa - 24.
        const std::vector<uint8_t> program = {0x0c, 0x07, 0x08, 0x83, 0x03};
        std::memcpy(pages.bytes(), program.data(), program.size());
        VZRDwarfInstructionContext context;
        ASSERT_TRUE(VZRDwarfInstructionsEnumerate(pages.address(), program.size(), &cie, &initial, UINT64_MAX, &context));
    }
    newLog();
    for (const DwarfInstructionCase& c : cases) {
        SCOPED_TRACE(c.name);
        // The instruction sits at the end of the page, so reading past it would reach the unmapped page.
        const uintptr_t at = pages.end() - c.bytes.size();
        std::memcpy(reinterpret_cast<void*>(at), c.bytes.data(), c.bytes.size());
        VZRDwarfRules rules = initial;
        VZRDwarfInstructionContext context;
        context.profile = c.profile;
        context.initialRules = &initial;
        const bool ok = VZRDwarfInstructionsEnumerate(at, c.bytes.size(), &cie, &rules, UINT64_MAX, &context);
        const std::string log = newLog();
        if (c.failure) {
            EXPECT_FALSE(ok);
            EXPECT_NE(log.find(c.failure), std::string::npos) << log;
            EXPECT_NE(log.find("Error: Failed to execute dwarf instruction 0x"), std::string::npos) << log;
        } else {
            ASSERT_TRUE(ok) << log;
            EXPECT_EQ(log.find("Error"), std::string::npos) << log;
            EXPECT_NE(log.find("WARN  [executeInstruction"), std::string::npos) << log;
            if (c.check)
                c.check(rules);
        }
    }
}

// An expression (its bytes without the length) evaluated in the ELF profile unless the case says strict.
struct DwarfExpressionCase {
    const char* name;
    std::vector<uint8_t> bytes;
    uint64_t expected;
    const char* failure = nullptr; // the failure line; null when it succeeds
    VZRDwarfProfile profile = VZRDwarfProfile::elf;
};

TEST_F(DwarfTest, EveryExpressionOperator) {
    Pages pages;
    Pages readable;
    Writer(readable.address(0x10)).u64(0x1122334455667788);
    const uintptr_t data = readable.address(0x10);
    std::vector<uint8_t> dataAddress = {0x0e};
    for (int i = 0; i < 8; ++i)
        dataAddress.push_back(static_cast<uint8_t>(data >> (8 * i)));
    auto withAddress = [&](std::vector<uint8_t> tail) {
        std::vector<uint8_t> out = dataAddress;
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    };
    std::vector<uint8_t> unmapped = {0x0e};
    for (int i = 0; i < 8; ++i)
        unmapped.push_back(static_cast<uint8_t>(pages.end() >> (8 * i)));
    unmapped.push_back(0x06);
    std::vector<uint8_t> tooMany(kVZRDwarfExpressionStackSize, 0x31);

    const uint64_t minus1 = ~uint64_t{0};
    const std::vector<DwarfExpressionCase> cases = {
        {"lit", {0x35}, 5},
        {"lit31", {0x4f}, 31},
        {"breg7 (rsp) + 8", {0x77, 0x08}, 0x5008},
        {"breg6 (rbp) - 1", {0x76, 0x7f}, 0x5fff},
        {"dup", {0x33, 0x12, 0x22}, 6},
        {"swap", {0x33, 0x34, 0x16, 0x1c}, 1},
        {"and", {0x3c, 0x3a, 0x1a}, 8},
        {"plus", {0x33, 0x34, 0x22}, 7},
        {"plus_uconst", {0x33, 0x23, 0xac, 0x02}, 303},
        {"ne of equal", {0x33, 0x33, 0x2e}, 0},
        {"ne of different", {0x33, 0x34, 0x2e}, 1},
        {"deref", withAddress({0x06}), 0x1122334455667788},
        {"deref_size 1", withAddress({0x94, 0x01}), 0x88},
        {"deref_size 2", withAddress({0x94, 0x02}), 0x7788},
        {"deref_size 4", withAddress({0x94, 0x04}), 0x55667788},
        {"deref_size 8", withAddress({0x94, 0x08}), 0x1122334455667788},
        {"deref_size 3", withAddress({0x94, 0x03}), 0, "unrecognized DW_OP_deref_size argument 3"},
        {"deref of an unmapped address", unmapped, 0, "DW_OP_deref failed to read memory"},
        {"const1u", {0x08, 0xff}, 0xff},
        {"const1s", {0x09, 0xff}, minus1},
        {"const2u", {0x0a, 0x00, 0x80}, 0x8000},
        {"const2s", {0x0b, 0x00, 0x80}, static_cast<uint64_t>(-32768)},
        {"const4u", {0x0c, 0x00, 0x00, 0x00, 0x80}, 0x80000000},
        {"const4s", {0x0d, 0xfe, 0xff, 0xff, 0xff}, static_cast<uint64_t>(-2)},
        {"const8u", {0x0e, 1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201},
        {"const8s", {0x0f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, minus1},
        {"constu", {0x10, 0xac, 0x02}, 300},
        {"consts", {0x11, 0x7d}, static_cast<uint64_t>(-3)},
        {"drop", {0x33, 0x34, 0x13}, 3},
        {"over", {0x33, 0x34, 0x14}, 3},
        {"pick 2", {0x33, 0x34, 0x35, 0x15, 0x02}, 3},
        {"pick past the stack", {0x33, 0x15, 0x05}, 0, "failed to execute DWARF machine opcode"},
        {"minus", {0x3a, 0x33, 0x1c}, 7},
        {"mul", {0x36, 0x37, 0x1e}, 42},
        {"neg", {0x35, 0x1f}, static_cast<uint64_t>(-5)},
        {"not", {0x30, 0x20}, minus1},
        {"or", {0x3a, 0x35, 0x21}, 15},
        {"xor", {0x3f, 0x35, 0x27}, 10},
        {"shl", {0x33, 0x34, 0x24}, 48},
        {"shr", {0x40, 0x32, 0x25}, 4},
        {"shra", {0x38, 0x1f, 0x31, 0x26}, static_cast<uint64_t>(-4)},
        {"eq", {0x33, 0x33, 0x29}, 1},
        {"ge (signed)", {0x31, 0x1f, 0x30, 0x2a}, 0},
        {"gt", {0x34, 0x33, 0x2b}, 1},
        {"le", {0x33, 0x33, 0x2c}, 1},
        {"lt (signed)", {0x31, 0x1f, 0x30, 0x2d}, 1},
        {"skip over a push", {0x31, 0x2f, 0x01, 0x00, 0x32}, 1},
        {"bra taken", {0x31, 0x28, 0x01, 0x00, 0x32}, 7},
        {"bra not taken", {0x30, 0x28, 0x01, 0x00, 0x32}, 2},
        {"skip out of the block", {0x2f, 0x10, 0x00}, 0, "failed to execute DWARF machine opcode"},
        {"skip onto itself forever", {0x2f, 0xfd, 0xff}, 0, "failed to execute DWARF machine opcode"},
        {"pop from an empty stack", {0x13, 0x13}, 0, "failed to execute DWARF machine opcode"},
        {"push past 100 entries", tooMany, 0, "failed to execute DWARF machine opcode"},
        {"operand past the block", {0x0e, 0x01}, 0, "failed to execute DWARF machine opcode"},
        {"unknown operator", {0xf0}, 0, "Unrecognized DWARF expression opcode 0xf0"},
        {"const1u, strict", {0x08, 0x01}, 0, "Unrecognized DWARF expression opcode 0x8", VZRDwarfProfile::strict},
        {"mul, strict", {0x36, 0x37, 0x1e}, 0, "Unrecognized DWARF expression opcode 0x1e", VZRDwarfProfile::strict},
        {"subset, strict", {0x77, 0x08, 0x12, 0x22, 0x23, 0x04}, 0xa014, nullptr, VZRDwarfProfile::strict},
    };
    VZRThreadState state;
    state.registers[kVZRX86_64RSP] = 0x5000;
    state.registers[kVZRX86_64RBP] = 0x6000;
    newLog();
    for (const DwarfExpressionCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Length first, the expression last in the page: nothing after it can be read.
        const std::vector<uint8_t> length = dwarffixture::ulebBytes(c.bytes.size());
        const uintptr_t at = pages.end() - c.bytes.size() - length.size();
        Writer(at).bytes(length).bytes(c.bytes);
        uint64_t result = 0;
        const bool ok = VZRDwarfEvaluateExpression(at, &state, 7, &result, c.profile);
        const std::string log = newLog();
        if (c.failure) {
            EXPECT_FALSE(ok);
            EXPECT_NE(log.find(c.failure), std::string::npos) << log;
        } else {
            ASSERT_TRUE(ok) << log;
            EXPECT_EQ(result, c.expected);
            EXPECT_NE(log.find("successfully computed expression result"), std::string::npos);
        }
    }
    // A block that claims more bytes than are mapped.
    Writer(pages.end() - 2).bytes({0x10, 0x30});
    uint64_t result = 0;
    EXPECT_FALSE(VZRDwarfEvaluateExpression(pages.end() - 2, &state, 0, &result, VZRDwarfProfile::elf));
    Writer(pages.end() - 1).bytes({0x00});
    EXPECT_FALSE(VZRDwarfEvaluateExpression(pages.end() - 1, &state, 0, &result, VZRDwarfProfile::elf));
    EXPECT_NE(newLog().find("DWARF expression length is zero"), std::string::npos);
}

// One function at `code` whose FDE is built from `instructions`; the caller's registers for `pc`.
struct DwarfFrameFixture {
    Pages pages;
    const uintptr_t code = dwarfCodeNear(pages);
    VZRDwarfFDE fde;
    bool parsed = false;

    explicit DwarfFrameFixture(const std::vector<uint8_t>& instructions, dwarffixture::CIEOptions cie = {}) {
        uintptr_t end = 0;
        const uintptr_t cieAt = dwarffixture::writeCIE(pages.address(0x10), cie, &end);
        const uintptr_t fdeAt = dwarffixture::writeFDE(end, cieAt, code, codeRange, instructions, &end);
        parsed = VZRDwarfParseFDERecord(pages.address(), fdeAt - pages.address(), &fde);
    }
};

TEST_F(DwarfTest, APcPastTheFunctionsRangeIsNotUnwoundWithItsRules) {
    DwarfFrameFixture frame({});
    ASSERT_TRUE(frame.parsed);
    Pages stack;
    Writer(stack.address(0x100)).u64(0x4444); // cfa = rsp + 8, return address at cfa - 8
    struct Case {
        uint64_t pcOffset;
        bool ok;
    };
    for (const Case& c : {Case{0, true}, Case{codeRange - 1, true}, Case{codeRange, false},
                          Case{codeRange + 0x100, false}}) {
        VZRThreadState state;
        state.registers[kVZRX86_64RIP] = frame.code + c.pcOffset;
        state.registers[kVZRX86_64RSP] = stack.address(0x100);
        EXPECT_EQ(VZRDwarfUnwindComputeRegisters(&frame.fde, &state, VZRDwarfProfile::elf), c.ok) << c.pcOffset;
        if (c.ok) {
            EXPECT_EQ(VZRThreadStateGetPC(&state), 0x4444u);
        }
    }
    VZRThreadState before;
    before.registers[kVZRX86_64RIP] = frame.code - 1;
    before.registers[kVZRX86_64RSP] = stack.address(0x100);
    EXPECT_FALSE(VZRDwarfUnwindComputeRegisters(&frame.fde, &before, VZRDwarfProfile::elf));
    const std::string log = newLog();
    EXPECT_NE(log.find("The pc lies past the FDE's range"), std::string::npos);
    EXPECT_NE(log.find("The FDE pcOffset value cannot be negative"), std::string::npos);
}

TEST_F(DwarfTest, SetLocationTakesAnAddressAsAnOffsetFromTheFunctionsStart) {
    // set_loc (pc-relative, 4 bytes) to pc begin + 6, then cfa = rsp + 32.
    Pages pages;
    const uintptr_t code = dwarfCodeNear(pages);
    uintptr_t end = 0;
    const uintptr_t cie = dwarffixture::writeCIE(pages.address(0x10), {}, &end);
    const uintptr_t fdeAt = end;
    Writer fdeBody(fdeAt + 4);
    fdeBody.u32(static_cast<uint32_t>(fdeBody.position() - cie)).pcrel32(code).u32(codeRange).uleb(0);
    fdeBody.u8(0x01).pcrel32(code + 6).bytes({0x0e, 0x20});
    Writer(fdeAt).u32(static_cast<uint32_t>(fdeBody.position() - (fdeAt + 4)));
    VZRDwarfFDE fde;
    ASSERT_TRUE(VZRDwarfParseFDERecord(pages.address(), fdeAt - pages.address(), &fde));

    Pages stack;
    Writer(stack.address(0x100)).u64(0x5555);  // at rsp + 0 (cfa = rsp + 8)
    Writer(stack.address(0x118)).u64(0x6666);  // at rsp + 24 (cfa = rsp + 32)
    struct Case {
        uint64_t pcOffset;
        uint64_t returnAddress;
    };
    for (const Case& c : {Case{5, 0x5555}, Case{6, 0x6666}, Case{20, 0x6666}}) {
        VZRThreadState state;
        state.registers[kVZRX86_64RIP] = code + c.pcOffset;
        state.registers[kVZRX86_64RSP] = stack.address(0x100);
        ASSERT_TRUE(VZRDwarfUnwindComputeRegisters(&fde, &state, VZRDwarfProfile::elf)) << c.pcOffset;
        EXPECT_EQ(VZRThreadStateGetPC(&state), c.returnAddress) << c.pcOffset;
    }
}

TEST_F(DwarfTest, CallerRegistersFromEachRuleKind) {
    Pages stack;
    const uintptr_t sp = stack.address(0x200);
    Writer(sp + 8).u64(0x7777);    // return address at cfa - 8 (cfa = rsp + 16)
    Writer(sp).u64(0xabc0);        // rbp saved at cfa - 16
    Writer(sp + 16 - 0xf0).u64(0x8888); // where the expression rule's address (cfa - 240) points

    struct Case {
        const char* name;
        std::vector<uint8_t> instructions;
        std::function<void(const VZRThreadState&)> check;
    };
    const std::vector<Case> cases = {
        {"offset", {0x0e, 0x10, 0x86, 0x02},
         [&](const VZRThreadState& s) {
             EXPECT_EQ(VZRThreadStateGetPC(&s), 0x7777u);
             EXPECT_EQ(VZRThreadStateGetFP(&s), 0xabc0u);
             EXPECT_EQ(VZRThreadStateGetSP(&s), sp + 16);
         }},
        {"register", {0x0e, 0x10, 0x09, 0x06, 0x03},
         [&](const VZRThreadState& s) { EXPECT_EQ(VZRThreadStateGetFP(&s), 0x3333u); }},
        {"val_offset", {0x0e, 0x10, 0x14, 0x06, 0x02},
         [&](const VZRThreadState& s) { EXPECT_EQ(VZRThreadStateGetFP(&s), sp); }},
        {"expression", {0x0e, 0x10, 0x10, 0x06, 0x03, 0x08, 0xf0, 0x1c}, // saved at cfa - 240
         [&](const VZRThreadState& s) { EXPECT_EQ(VZRThreadStateGetFP(&s), 0x8888u); }},
        {"val_expression", {0x0e, 0x10, 0x16, 0x06, 0x02, 0x33, 0x22},
         [&](const VZRThreadState& s) { EXPECT_EQ(VZRThreadStateGetFP(&s), sp + 16 + 3); }},
        {"cfa expression", {0x0f, 0x02, 0x77, 0x10},
         [&](const VZRThreadState& s) { EXPECT_EQ(VZRThreadStateGetSP(&s), sp + 16); }},
        {"undefined return address ends the stack", {0x0e, 0x10, 0x07, 0x10},
         [&](const VZRThreadState& s) { EXPECT_EQ(VZRThreadStateGetPC(&s), 0u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DwarfFrameFixture frame(c.instructions);
        ASSERT_TRUE(frame.parsed);
        VZRThreadState state;
        state.registers[kVZRX86_64RIP] = frame.code + 1;
        state.registers[kVZRX86_64RSP] = sp;
        state.registers[kVZRX86_64RBP] = 0x9999;
        state.registers[3] = 0x3333;
        ASSERT_TRUE(VZRDwarfUnwindComputeRegisters(&frame.fde, &state, VZRDwarfProfile::elf)) << newLog();
        c.check(state);
    }
}

TEST_F(DwarfTest, CorruptRecordsFailWithoutFaulting) {
    Pages pages;
    const uintptr_t code = dwarfCodeNear(pages);
    uintptr_t end = 0;
    const uintptr_t cie = dwarffixture::writeCIE(pages.address(0x10), {}, &end);
    const uintptr_t fdeAt = dwarffixture::writeFDE(end, cie, code, codeRange, {0x0e, 0x10}, &end);
    VZRDwarfFDE fde;
    struct Case {
        const char* name;
        std::function<void()> corrupt;
        const char* line;
    };
    const Case cases[] = {
        {"CIE pointer before the section", [&] { Writer(fdeAt + 4).u32(0x10000); }, "CIE offset invalid"},
        {"CIE pointer of 0", [&] { Writer(fdeAt + 4).u32(0); }, "CIE offset invalid"},
        {"CIE of length 0", [&] { Writer(cie).u32(0); }, "CIE length invalid"},
        {"CIE version 2", [&] { Writer(cie + 8).u8(2); }, "CIE version 2 unsupported"},
        {"unknown augmentation letter", [&] { Writer(cie + 10).u8('Q'); }, "Unhandled augmentation string entry"},
        {"augmentation without z", [&] { Writer(cie + 9).u8('y'); }, "Unimplemented: augmentation string yR"},
        {"FDE of length 0", [&] { Writer(fdeAt).u32(0); }, "FDE has zero length"},
        {"FDE running past the mapped page", [&] { Writer(fdeAt).u32(0x100000); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dwarffixture::writeCIE(pages.address(0x10), {}, &end);
        dwarffixture::writeFDE(end, cie, code, codeRange, {0x0e, 0x10}, &end);
        c.corrupt();
        newLog();
        bool ok = VZRDwarfParseFDERecord(pages.address(), fdeAt - pages.address(), &fde);
        if (ok) {
            Pages stack;
            VZRThreadState state;
            state.registers[kVZRX86_64RIP] = code + 4;
            state.registers[kVZRX86_64RSP] = stack.address(0x100);
            ok = VZRDwarfUnwindComputeRegisters(&fde, &state, VZRDwarfProfile::elf);
        }
        EXPECT_FALSE(ok);
        EXPECT_NE(newLog().find(c.line), std::string::npos);
    }
    // Nothing to read at all.
    EXPECT_FALSE(VZRDwarfParseFDERecord(pages.end(), 8, &fde));
    VZRDwarfCIE parsedCIE;
    EXPECT_FALSE(VZRDwarfParseCIERecord(pages.end(), &parsedCIE));
}

TEST_F(DwarfTest, HeaderTableFindsTheLastFunctionStartingAtOrBeforeThePc) {
    Pages pages;
    const uintptr_t hdr = pages.address(0x100);
    const uintptr_t ehFrame = pages.address(0x400);
    const uintptr_t base = dwarfCodeNear(pages);
    const uintptr_t starts[3] = {base, base + 0x100, base + 0x200};
    const uintptr_t fdes[3] = {ehFrame + 0x20, ehFrame + 0x40, ehFrame + 0x60};
    Writer w(hdr);
    w.bytes({1, 0x1B, 0x03, 0x3B}).pcrel32(ehFrame).u32(3);
    for (int i = 0; i < 3; ++i)
        w.u32(static_cast<uint32_t>(starts[i] - hdr)).u32(static_cast<uint32_t>(fdes[i] - hdr));

    struct Case {
        uintptr_t pc;
        int entry; // -1: none
    };
    for (const Case& c : {Case{base - 1, -1}, Case{base, 0}, Case{base + 0xff, 0}, Case{base + 0x100, 1},
                          Case{base + 0x150, 1}, Case{base + 0x200, 2}, Case{base + 0x400000, 2}}) {
        uintptr_t fde = 0;
        uintptr_t frame = 0;
        EXPECT_EQ(VZRDwarfFindFDEInHeader(hdr, c.pc, &fde, &frame), c.entry >= 0) << std::hex << c.pc;
        if (c.entry >= 0) {
            EXPECT_EQ(fde, fdes[c.entry]);
            EXPECT_EQ(frame, ehFrame);
        }
    }
    // A table that is not the searchable kind, a bad version, and a header in unmapped memory.
    uintptr_t fde = 0;
    uintptr_t frame = 0;
    Writer(hdr + 3).u8(0x1B);
    EXPECT_FALSE(VZRDwarfFindFDEInHeader(hdr, base + 0x100, &fde, &frame));
    Writer(hdr).bytes({2, 0x1B, 0x03, 0x3B});
    EXPECT_FALSE(VZRDwarfFindFDEInHeader(hdr, base + 0x100, &fde, &frame));
    EXPECT_FALSE(VZRDwarfFindFDEInHeader(pages.end(), 0x500100, &fde, &frame));
    // A count larger than the table: the search's first probe (entry 500) lies in the unmapped page after
    // this one, so it fails.
    Writer(hdr).bytes({1, 0x1B, 0x03, 0x3B}).pcrel32(ehFrame).u32(1000);
    EXPECT_FALSE(VZRDwarfFindFDEInHeader(hdr, base + 0x400000, &fde, &frame));
}

TEST_F(DwarfTest, ALargeHeaderTableAnswersAlikeThroughGatheredAndPlainReads) {
    // Functions 16 bytes apart: 3000 make a table that the window holds whole, 5000 one that it does not. Each
    // is searched through pivots and one slice where gathered reads are allowed, page by page through the
    // pipe, where they are not, and with the count recorded at the image's load (read whole with its header,
    // or the header gathered with the pivots), also when that count is stale.
    enum class Reads { direct, pipe, window, knownCount, staleCount };
    for (const uint32_t functions : {3000u, 5000u}) {
        Pages pages(13);
        const uintptr_t hdr = pages.address(0x10);
        const uintptr_t ehFrame = pages.address(0xB000);
        const uintptr_t base = dwarfCodeNear(pages);
        Writer w(hdr);
        w.bytes({1, 0x1B, 0x03, 0x3B}).pcrel32(ehFrame).u32(functions);
        const auto fdeOf = [&](uint32_t i) { return ehFrame + 0x20 + 8 * i; };
        for (uint32_t i = 0; i < functions; ++i)
            w.u32(static_cast<uint32_t>(base + 16 * i - hdr)).u32(static_cast<uint32_t>(fdeOf(i) - hdr));

        struct Case {
            uintptr_t pc;
            int entry; // -1: none
        };
        // Before the first start, each side of the boundaries between slices (a slice holds about 250
        // entries), inside a function, the last one and far past it.
        const Case cases[] = {{base - 1, -1},
                              {base, 0},
                              {base + 16 * 249 + 15, 249},
                              {base + 16 * 250, 250},
                              {base + 16 * 1500 + 7, 1500},
                              {base + 16 * 2750 - 1, 2749},
                              {base + 16 * 2750, 2750},
                              {base + 16 * (functions - 1), static_cast<int>(functions - 1)},
                              {base + 0x400000, static_cast<int>(functions - 1)}};
        for (const Reads reads : {Reads::direct, Reads::pipe, Reads::window, Reads::knownCount, Reads::staleCount}) {
            VZRSafeReadForcePipeForTesting(reads == Reads::pipe);
            // A window kept across the look-ups, as a walk keeps it (pivots gathered once, pages kept).
            VZRMemoryWindow window;
            VZRMemoryWindow* memory = reads == Reads::direct || reads == Reads::pipe ? nullptr : &window;
            const uint64_t known = reads == Reads::knownCount ? functions : reads == Reads::staleCount ? functions - 500 : 0;
            for (const Case& c : cases) {
                uintptr_t fde = 0;
                uintptr_t frame = 0;
                EXPECT_EQ(VZRDwarfFindFDEInHeader(hdr, c.pc, &fde, &frame, memory, known), c.entry >= 0)
                    << std::hex << c.pc << std::dec << " functions " << functions << " reads "
                    << static_cast<int>(reads);
                if (c.entry >= 0) {
                    EXPECT_EQ(fde, fdeOf(static_cast<uint32_t>(c.entry))) << c.entry;
                    EXPECT_EQ(frame, ehFrame);
                }
            }
        }
        VZRSafeReadForcePipeForTesting(false);
        // A count that runs the table into the unmapped page: a pivot there fails the gathered read, and the
        // search that follows fails in that page too, without faulting; so does a recorded count that says
        // the same.
        Writer(hdr).bytes({1, 0x1B, 0x03, 0x3B}).pcrel32(ehFrame).u32(7000);
        for (const uint64_t known : {uint64_t{0}, uint64_t{7000}}) {
            VZRMemoryWindow window;
            uintptr_t fde = 0;
            uintptr_t frame = 0;
            EXPECT_FALSE(VZRDwarfFindFDEInHeader(hdr, base + 0x400000, &fde, &frame, &window, known));
            EXPECT_FALSE(VZRDwarfFindFDEInHeader(hdr, base + 0x400000, &fde, &frame, nullptr, known));
        }
    }
}

TEST_F(DwarfTest, APrefetchOfTwoPagesChangesNoAnswer) {
    Pages pages(3);
    for (size_t i = 0; i < pages.size(); ++i)
        pages.bytes()[i] = static_cast<uint8_t>(i * 13);
    struct Case {
        uintptr_t first;
        uintptr_t second;
    };
    // Two readable pages, one page twice, a readable page beside the unmapped one, and both addresses
    // wholly invalid.
    const Case cases[] = {{pages.address(0x2010), pages.address(0x10)},
                          {pages.address(0x10), pages.address(0x20)},
                          {pages.address(0x1010), pages.end() + 8},
                          {16, 32}};
    for (const bool pipe : {false, true}) {
        VZRSafeReadForcePipeForTesting(pipe);
        for (const Case& c : cases) {
            VZRMemoryWindow window;
            VZRMemoryWindowPrefetch(&window, c.first, c.second);
            for (const uintptr_t address : {c.first, c.second}) {
                uint64_t windowed = 0;
                uint64_t direct = 0;
                const bool viaWindow = VZRMemoryWindowRead(&window, address, &windowed, sizeof windowed);
                EXPECT_EQ(viaWindow, VZRReadMemory(address, &direct, sizeof direct)) << std::hex << address;
                EXPECT_EQ(windowed, direct) << std::hex << address;
            }
        }
    }
    VZRSafeReadForcePipeForTesting(false);
    // Prefetched pages take two slots and are then served from the window: a change to the memory after the
    // prefetch does not show, which is what makes the second read free.
    VZRMemoryWindow window;
    VZRMemoryWindowPrefetch(&window, pages.address(0x10), pages.address(0x2010));
    Writer(pages.address(0x2010)).u64(0x1122334455667788);
    uint64_t value = 0;
    ASSERT_TRUE(VZRMemoryWindowRead(&window, pages.address(0x2010), &value, sizeof value));
    EXPECT_NE(value, 0x1122334455667788u);
}

TEST_F(DwarfTest, TheWindowOfPagesAnswersAsDirectReadsDo) {
    Pages pages(2);
    for (size_t i = 0; i < pages.size(); ++i)
        pages.bytes()[i] = static_cast<uint8_t>(i * 7);
    VZRMemoryWindow window;
    struct Case {
        uintptr_t address;
        size_t length;
    };
    // Inside one page, across the two readable pages, into the unmapped page, and wholly in it; then more
    // pages than the window holds, so slots are replaced.
    const Case cases[] = {{pages.address(10), 8},           {pages.address(4090), 12},
                          {pages.end() - 4, 8},             {pages.end() + 16, 4},
                          {pages.address(0), pages.size()}, {16, 4}};
    for (const Case& c : cases) {
        std::vector<uint8_t> windowed(c.length, 0xAA);
        std::vector<uint8_t> direct(c.length, 0xAA);
        const bool viaWindow = VZRMemoryWindowRead(&window, c.address, windowed.data(), c.length);
        const bool viaDirect = VZRReadMemory(c.address, direct.data(), c.length);
        EXPECT_EQ(viaWindow, viaDirect) << std::hex << c.address;
        if (viaDirect) {
            EXPECT_EQ(windowed, direct);
        }
    }
    std::vector<Pages> many(kVZRMemoryWindowPages + 2);
    for (size_t round = 0; round < 2; ++round) {
        for (size_t i = 0; i < many.size(); ++i) {
            Writer(many[i].address(8)).u64(i + 100 * round);
            uint64_t value = 0;
            // A page read in the first round was replaced before the second, so the new value shows.
            ASSERT_TRUE(VZRMemoryWindowRead(&window, many[i].address(8), &value, sizeof value));
            EXPECT_EQ(value, i + 100 * round);
        }
    }
}

TEST_F(DwarfTest, ReadersStayInsideTheirBounds) {
    Pages pages;
    Writer(pages.end() - 3).bytes({0x80, 0x80, 0x80});
    VZRDwarfCursor unterminated{pages.end() - 3, 0, nullptr};
    uint64_t u = 0;
    EXPECT_FALSE(VZRDwarfReadULEB128(&unterminated, &u));
    Writer(pages.address()).bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01});
    VZRDwarfCursor tooLong{pages.address(), 0, nullptr};
    EXPECT_FALSE(VZRDwarfReadULEB128(&tooLong, &u));
    VZRDwarfCursor bounded{pages.address(), pages.address() + 2, nullptr};
    uint32_t word = 0;
    EXPECT_FALSE(VZRDwarfReadU32(&bounded, &word));
    Writer(pages.address()).bytes({0x7f});
    VZRDwarfCursor negative{pages.address(), 0, nullptr};
    int64_t s = 0;
    ASSERT_TRUE(VZRDwarfReadSLEB128(&negative, &s));
    EXPECT_EQ(s, -1);

    // Encodings: an unknown format and an unknown application are refused with their lines.
    VZRDwarfCursor cursor{pages.address(), 0, nullptr};
    uint64_t value = 0;
    EXPECT_FALSE(VZRParseAddressWithEncodingAndAdvance(&cursor, 0x05, &value));
    EXPECT_EQ(value, static_cast<uint64_t>(-1));
    EXPECT_FALSE(VZRParseAddressWithEncodingAndAdvance(&cursor, 0x23, &value));
    EXPECT_TRUE(VZRParseAddressWithEncodingAndAdvance(&cursor, 0xFF, &value));
    EXPECT_EQ(value, 0u);
    const std::string log = newLog();
    EXPECT_NE(log.find("Unhandled: encoding 0x"), std::string::npos);
    EXPECT_NE(log.find("Unhandled: relative encoding 0x"), std::string::npos);
    // Indirect: the value is the address of the pointer.
    Writer(pages.address(0x40)).u64(0x12345678);
    Writer(pages.address(0x80)).u64(pages.address(0x40));
    VZRDwarfCursor indirect{pages.address(0x80), 0, nullptr};
    ASSERT_TRUE(VZRParseAddressWithEncodingAndAdvance(&indirect, 0x80, &value));
    EXPECT_EQ(value, 0x12345678u);
}

// ---- Slices of the ".eh_frame_hdr" table taken when an image is added ---------------------------------------

// A table of kFunctions entries 16 bytes apart at the start of the pages, and one FDE record per function
// after it: blocks of 100 functions whose FDEs are laid out in the reverse order of the blocks, blocks 20 to 29
// naming a second CIE that lies just before their FDEs, as objects linked in another order than their text,
// and a group of them with a CIE of their own, leave real sections.
struct PivotFixtureTable {
    static constexpr uint32_t kFunctions = 5000;
    static constexpr uint32_t kBlock = 100;
    Pages pages{36};
    uintptr_t hdr = 0;
    uintptr_t ehFrame = 0;
    uintptr_t base = 0;
    std::vector<uintptr_t> fdes = std::vector<uintptr_t>(kFunctions);

    PivotFixtureTable() {
        hdr = pages.address(0x10);
        ehFrame = pages.address(0xA000);
        base = dwarfCodeNear(pages);
        uintptr_t end = 0;
        const uintptr_t first = dwarffixture::writeCIE(ehFrame, {}, &end);
        uintptr_t second = 0;
        for (uint32_t block = kFunctions / kBlock; block-- > 0;) {
            if (block == 29)
                second = dwarffixture::writeCIE(end, {}, &end);
            const uintptr_t cie = block >= 20 && block < 30 ? second : first;
            for (uint32_t i = block * kBlock; i < (block + 1) * kBlock; ++i)
                fdes[i] = dwarffixture::writeFDE(end, cie, startOf(i), 16, {}, &end);
        }
        Writer(end).u32(0);
        Writer w(hdr);
        w.bytes({1, 0x1B, 0x03, 0x3B}).pcrel32(ehFrame).u32(kFunctions);
        for (uint32_t i = 0; i < kFunctions; ++i)
            w.u32(static_cast<uint32_t>(startOf(i) - hdr)).u32(static_cast<uint32_t>(fdes[i] - hdr));
    }
    uintptr_t startOf(uint32_t i) const { return base + 16 * uintptr_t{i}; }
};

// The images of this process as the image list describes them, with the slices of their tables.
struct PivotImage {
    VZRBinaryImageDetails details;
    VZRBinaryImagePivots pivots;
};

std::vector<PivotImage> pivotLoadedImages() {
    std::vector<PivotImage> out;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            PivotImage image;
            if (VZRBinaryImageDetailsFromELF(info, &image.details)) {
                VZRBinaryImagePivotsFromELF(info, image.details, &image.pivots);
                static_cast<std::vector<PivotImage>*>(data)->push_back(image);
            }
            return 0;
        },
        &out);
    return out;
}

// The slices follow the table in order and start where their first entry does; every entry's FDE starts on
// its slice's pages when the slice names them, and nearly every one has its whole record there and its CIE
// among the slice's (the slices are cut by FDE pages, not merely evenly).
void expectSlicesDescribeTheirEntries(const VZRBinaryImagePivots& pivots, uintptr_t hdr) {
    constexpr uintptr_t kPage = 4096;
    const auto* table = reinterpret_cast<const int32_t*>(hdr + 12);
    size_t wholeOnPages = 0;
    size_t cieNamed = 0;
    for (uint32_t j = 0; j < pivots.count; ++j) {
        const VZRBinaryImagePivot& pivot = pivots.pivots[j];
        const uint32_t next = j + 1 < pivots.count ? pivots.pivots[j + 1].entry : pivots.tableCount;
        ASSERT_LT(pivot.entry, next) << j;
        EXPECT_EQ(pivot.start, table[2 * pivot.entry]) << j;
        EXPECT_LE(pivot.fdePages, kVZRBinaryImagePivotFDEPages);
        for (uint32_t i = pivot.entry; i < next; ++i) {
            const uintptr_t fde = hdr + static_cast<intptr_t>(table[2 * i + 1]);
            uint32_t words[2];
            std::memcpy(words, reinterpret_cast<const void*>(fde), sizeof words);
            const uintptr_t cie = fde + 4 - words[1];
            if (pivot.fdePages != 0) {
                const uintptr_t first = (hdr + static_cast<intptr_t>(pivot.fde)) & ~(kPage - 1);
                const uintptr_t end = first + pivot.fdePages * kPage;
                EXPECT_GE(fde, first) << j << " " << i;
                EXPECT_LT(fde, end) << j << " " << i;
                wholeOnPages += fde + 4 + words[0] <= end ? 1 : 0;
            }
            for (size_t c = 0; c < kVZRBinaryImagePivotCIECount; ++c)
                cieNamed += (pivot.cies & (1u << c)) && hdr + static_cast<intptr_t>(pivots.cie[c]) == cie ? 1 : 0;
        }
    }
    EXPECT_GT(wholeOnPages, pivots.tableCount * 9 / 10);
    EXPECT_GT(cieNamed, pivots.tableCount * 9 / 10);
}

TEST_F(DwarfTest, SlicesOfRealImagesChangeNoFDELookUpAndNearlyAllTakeOneRead) {
    // The C library and this test program; look-ups at pcs spread over the text and on both sides of each
    // slice's first function, with what the image list recorded at the load and a fresh window (as the first
    // frame in an image has), against the plain search with no window at all.
    const std::vector<PivotImage> images = pivotLoadedImages();
    const auto holding = [&](uintptr_t address) -> const PivotImage* {
        for (const PivotImage& image : images) {
            if (address >= image.details.loadAddress && address - image.details.loadAddress < image.details.textSize)
                return &image;
        }
        return nullptr;
    };
    for (const auto address : {reinterpret_cast<uintptr_t>(&::qsort), reinterpret_cast<uintptr_t>(&dwarfCodeNear)}) {
        const PivotImage* loaded = holding(address);
        ASSERT_NE(loaded, nullptr);
        const VZRBinaryImageDetails* image = &loaded->details;
        SCOPED_TRACE(image->path);
        const VZRBinaryImagePivots& pivots = loaded->pivots;
        ASSERT_GT(pivots.count, 1u);
        ASSERT_EQ(pivots.tableCount, image->ehFrameHdrCount);
        expectSlicesDescribeTheirEntries(pivots, image->ehFrameHdr);

        std::vector<uintptr_t> pcs;
        for (uintptr_t i = 0; i < 1500; ++i)
            pcs.push_back(image->loadAddress + image->textSize * i / 1500);
        for (uint32_t j = 0; j < pivots.count; ++j) {
            const uintptr_t start = image->ehFrameHdr + static_cast<intptr_t>(pivots.pivots[j].start);
            pcs.insert(pcs.end(), {start - 1, start, start + 1});
        }
        std::map<uint32_t, size_t> looksUpByReads;
        size_t found = 0;
        for (const uintptr_t pc : pcs) {
            uintptr_t plainFde = 0;
            uintptr_t plainFrame = 0;
            const bool plain = VZRDwarfFindFDEInHeader(image->ehFrameHdr, pc, &plainFde, &plainFrame);
            VZRMemoryWindow window;
            uintptr_t fde = 0;
            uintptr_t frame = 0;
            const bool sliced = VZRDwarfFindFDEInHeader(image->ehFrameHdr, pc, &fde, &frame, &window,
                                                        image->ehFrameHdrCount, &pivots);
            ASSERT_EQ(sliced, plain) << std::hex << pc;
            if (plain) {
                ASSERT_EQ(fde, plainFde) << std::hex << pc;
                ASSERT_EQ(frame, plainFrame);
                VZRDwarfFDE plainRecord;
                VZRDwarfFDE record;
                ASSERT_EQ(VZRDwarfParseFDERecord(frame, fde - frame, &record, &window),
                          VZRDwarfParseFDERecord(plainFrame, plainFde - plainFrame, &plainRecord));
                EXPECT_EQ(record.pcBegin, plainRecord.pcBegin);
                EXPECT_EQ(record.cie.address, plainRecord.cie.address);
                ++found;
            }
            ++looksUpByReads[window.reads];
        }
        EXPECT_GT(found, pcs.size() / 2);
        std::string histogram;
        for (const auto& [reads, n] : looksUpByReads)
            histogram += std::to_string(reads) + " reads: " + std::to_string(n) + "; ";
        SCOPED_TRACE(histogram);
        // The look-up with its FDE and CIE: one read, but for a CIE whose personality routine is read
        // through a pointer, or a slice that spans too many pages.
        EXPECT_GE(looksUpByReads[1], pcs.size() * 9 / 10);
        EXPECT_LE(looksUpByReads.rbegin()->first, 3u);
    }
}

TEST_F(DwarfTest, SlicesTakenFromATableAreAHintThatChangesNoAnswer) {
    PivotFixtureTable t;
    VZRBinaryImagePivots taken;
    ASSERT_TRUE(VZRBinaryImagePivotsFromHeader(t.hdr, t.ehFrame, t.ehFrame, t.pages.end(), &taken));
    ASSERT_EQ(taken.tableCount, PivotFixtureTable::kFunctions);
    expectSlicesDescribeTheirEntries(taken, t.hdr);
    // A table that does not fit its segment has none.
    VZRBinaryImagePivots none;
    EXPECT_FALSE(VZRBinaryImagePivotsFromHeader(t.hdr, t.hdr + 12 + 8 * 4999, t.ehFrame, t.pages.end(), &none));
    EXPECT_EQ(none.count, 0u);

    struct Variant {
        const char* name;
        std::function<void(VZRBinaryImagePivots*)> change;
        bool oneRead; // each look-up with its FDE and CIE takes one read
    };
    const Variant variants[] = {
        {"as taken", [](VZRBinaryImagePivots*) {}, true},
        {"starts a block later than the table's",
         [](VZRBinaryImagePivots* p) {
             for (uint32_t j = 0; j < p->count; ++j)
                 p->pivots[j].start += 16 * 100;
         },
         false},
        {"entries shifted", [](VZRBinaryImagePivots* p) {
             for (uint32_t j = 1; j < p->count; ++j)
                 p->pivots[j].entry += 7;
         },
         false},
        {"pages and CIEs elsewhere", [&](VZRBinaryImagePivots* p) {
             for (uint32_t j = 0; j < p->count; ++j)
                 p->pivots[j].fde = static_cast<int32_t>(t.pages.end() - t.hdr);
             p->cie[0] = p->cie[1] = static_cast<int32_t>(t.pages.end() + 0x10000 - t.hdr);
         },
         false},
        {"an entry past the table", [](VZRBinaryImagePivots* p) { p->pivots[p->count - 1].entry = 6000; }, false},
        {"another table's", [](VZRBinaryImagePivots* p) { p->tableCount += 1; }, false},
        {"none", [](VZRBinaryImagePivots* p) { *p = VZRBinaryImagePivots{}; }, false},
    };
    // Before the first function, the first, each side of each slice's first, and past the last.
    std::vector<std::pair<uintptr_t, int>> cases = {{t.base - 1, -1},
                                                    {t.base, 0},
                                                    {t.startOf(PivotFixtureTable::kFunctions - 1) + 0x10000,
                                                     static_cast<int>(PivotFixtureTable::kFunctions - 1)}};
    for (uint32_t j = 1; j < taken.count; ++j) {
        const int first = static_cast<int>(taken.pivots[j].entry);
        cases.push_back({t.startOf(static_cast<uint32_t>(first)) - 1, first - 1});
        cases.push_back({t.startOf(static_cast<uint32_t>(first)) + 15, first});
    }
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        VZRBinaryImagePivots pivots = taken;
        v.change(&pivots);
        for (const auto& [pc, entry] : cases) {
            VZRMemoryWindow window;
            uintptr_t fde = 0;
            uintptr_t frame = 0;
            ASSERT_EQ(VZRDwarfFindFDEInHeader(t.hdr, pc, &fde, &frame, &window, PivotFixtureTable::kFunctions, &pivots),
                      entry >= 0)
                << std::hex << pc;
            if (entry < 0)
                continue;
            EXPECT_EQ(fde, t.fdes[static_cast<size_t>(entry)]) << entry;
            EXPECT_EQ(frame, t.ehFrame);
            VZRDwarfFDE record;
            ASSERT_TRUE(VZRDwarfParseFDERecord(frame, fde - frame, &record, &window));
            EXPECT_EQ(record.pcBegin, t.startOf(static_cast<uint32_t>(entry)));
            if (v.oneRead) {
                EXPECT_EQ(window.reads, 1u) << entry;
            }
        }
    }
}

TEST_F(DwarfTest, APrefetchOfManyPagesKeepsTheWantedPagesAndChangesNoAnswer) {
    Pages pages(kVZRMemoryWindowPages + 4);
    for (size_t i = 0; i < pages.size(); i += 8)
        Writer(pages.address(i)).u64(i);
    const auto page = [&](size_t n) { return pages.address(n * 4096 + 8); };
    struct Case {
        const char* name;
        std::vector<uintptr_t> cached;  // read into the window first, one by one
        std::vector<uintptr_t> wanted;  // then prefetched together
        uint32_t prefetchReads;         // system calls the prefetch makes
        std::vector<uintptr_t> present; // in the window afterwards
    };
    const Case cases[] = {
        {"three pages, one twice", {}, {page(0), page(1), page(0) + 64, page(2)}, 1, {page(0), page(1), page(2)}},
        {"one missing page is left to its read", {page(0)}, {page(0), page(1)}, 0, {page(0)}},
        // Two pages are cached; the window's next slots hold them, and they are kept.
        {"cached pages are not replaced",
         {page(3), page(4), page(5), page(6), page(7), page(8), page(9), page(10)},
         {page(3), page(4), page(0), page(1)},
         1,
         {page(3), page(4), page(0), page(1)}},
        {"more pages than the window: the first ones come",
         {},
         {page(0), page(1), page(2), page(3), page(4), page(5), page(6), page(7), page(8), page(9)},
         1,
         {page(0), page(1), page(2), page(3), page(4), page(5), page(6), page(7)}},
        {"an unreadable page: nothing comes", {}, {page(0), page(1), pages.end() + 8}, 1, {}},
        {"invalid addresses are skipped", {}, {16, page(1), page(2)}, 1, {page(1), page(2)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VZRMemoryWindow window;
        for (const uintptr_t address : c.cached) {
            uint64_t value = 0;
            ASSERT_TRUE(VZRMemoryWindowRead(&window, address, &value, sizeof value));
        }
        const uint32_t before = window.reads;
        VZRMemoryWindowPrefetchPages(&window, c.wanted.data(), c.wanted.size());
        EXPECT_EQ(window.reads - before, c.prefetchReads);
        const uint32_t afterPrefetch = window.reads;
        for (const uintptr_t address : c.present) {
            uint64_t value = 0;
            ASSERT_TRUE(VZRMemoryWindowRead(&window, address, &value, sizeof value));
            EXPECT_EQ(value, address - pages.address());
        }
        EXPECT_EQ(window.reads, afterPrefetch) << "a page said to be present was read again";
        // Whatever the prefetch did, every wanted address reads as directly.
        for (const uintptr_t address : c.wanted) {
            uint64_t windowed = 0;
            uint64_t direct = 0;
            EXPECT_EQ(VZRMemoryWindowRead(&window, address, &windowed, sizeof windowed),
                      VZRReadMemory(address, &direct, sizeof direct));
            EXPECT_EQ(windowed, direct);
        }
    }
}

} // namespace
