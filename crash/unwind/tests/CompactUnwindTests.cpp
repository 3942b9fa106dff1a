// Compact unwind over a hand-built "__unwind_info" section with the arm64 register model: first-level
// search, compressed and regular second-level pages, and the frame, frameless and DWARF modes, each through
// the cursor so the fall-backs show.

#include "crash/unwind/VZRDwarf.hpp"
#include "crash/unwind/VZRUnwind.hpp"
#include "crash/unwind/tests/DwarfFixture.hpp"

#include "crash/capture/tests/CrashContextFixture.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dwarffixture::Pages;
using dwarffixture::Writer;

constexpr uint32_t kCompactFrame = 0x04000000;
constexpr uint32_t kCompactFrameless = 0x02000000;
constexpr uint32_t kCompactDwarf = 0x03000000;

// An image at `load` whose "__unwind_info" covers
//   [0x1000, 0x1100) frame, [0x1100, 0x1200) frameless, [0x1200, 0x2000) DWARF (compressed page), and
//   [0x2000, 0x3000) on a regular page; the DWARF function's FDE says cfa = sp + 16, lr at cfa - 8, fp at
//   cfa - 16 (or, with `remember`, first remembers the state).
struct CompactImage {
    Pages pages{2};
    uintptr_t load = 0;
    uintptr_t unwindInfo = 0;
    uintptr_t ehFrame = 0;

    explicit CompactImage(bool remember = false) {
        load = pages.address() - 0x100000; // never read: the "code", below its sections as in an image
        unwindInfo = pages.address(0x100);
        ehFrame = pages.address(0x1000);

        uintptr_t end = 0;
        dwarffixture::CIEOptions arm;
        arm.returnAddressRegister = kVZRArm64LR;
        arm.instructions = {0x0c, 31, 0x00}; // cfa = sp
        const uintptr_t cie = dwarffixture::writeCIE(ehFrame + 0x10, arm, &end);
        std::vector<uint8_t> body = {0x0e, 0x10, 0x9e, 0x01, 0x9d, 0x02};
        if (remember)
            body.insert(body.begin(), 0x0a);
        const uintptr_t fde = dwarffixture::writeFDE(end, cie, load + 0x1200, 0xe00, body, &end);

        Writer header(unwindInfo);
        header.u32(1).u32(28).u32(2).u32(0).u32(0).u32(36).u32(3);
        Writer(unwindInfo + 28).u32(kCompactFrame).u32(kCompactFrameless);
        const uint32_t compressed = 0x100;
        const uint32_t regular = 0x200;
        Writer(unwindInfo + 36)
            .u32(0x1000).u32(compressed).u32(0)
            .u32(0x2000).u32(regular).u32(0)
            .u32(0x3000).u32(0).u32(0);
        // Compressed page: three functions, the last one's encoding from the page's own list.
        Writer(unwindInfo + compressed).u32(3).u16(12).u16(3).u16(24).u16(1)
            .u32(0x000 | (0u << 24)).u32(0x100 | (1u << 24)).u32(0x200 | (2u << 24))
            .u32(kCompactDwarf | static_cast<uint32_t>(fde - ehFrame));
        Writer(unwindInfo + regular).u32(2);
    }

    VZRBinaryImageNode node() const {
        VZRBinaryImageNode n;
        n.loadAddress = load;
        n.textSize = 0x3000;
        n.unwindInfoOffset = static_cast<uint32_t>(unwindInfo - load);
        n.ehFrameOffset = static_cast<uint32_t>(ehFrame - load);
        return n;
    }
};

CompactImage* compactCurrentImage = nullptr;

bool compactFindImage(uintptr_t address, VZRBinaryImageNode* node) {
    if (!compactCurrentImage)
        return false;
    const VZRBinaryImageNode n = compactCurrentImage->node();
    if (address < n.loadAddress || address - n.loadAddress >= n.textSize)
        return false;
    *node = n;
    return true;
}

// The pcs of a walk over the current image (at most 10).
std::vector<uintptr_t> compactWalk(const VZRThreadState& state) {
    VZRUnwindCursor cursor;
    VZRUnwindInit(&cursor, &state);
    cursor.findImage = compactFindImage;
    std::vector<uintptr_t> pcs;
    while (pcs.size() < 10 && VZRUnwindNextFrame(&cursor))
        pcs.push_back(VZRUnwindGetPC(&cursor));
    return pcs;
}

class CompactUnwindTest : public crashtest::CrashContextTest {
protected:
    void SetUp() override {
        CrashContextTest::SetUp();
        ASSERT_TRUE(initialize());
    }
    void TearDown() override { compactCurrentImage = nullptr; }

    VZRThreadState armState(uintptr_t pc, uintptr_t sp, uintptr_t fp, uintptr_t lr) {
        VZRThreadState state;
        state.architecture = VZRArchitecture::arm64;
        state.registers[32] = pc;
        state.registers[kVZRArm64SP] = sp;
        state.registers[kVZRArm64FP] = fp;
        state.registers[kVZRArm64LR] = lr;
        return state;
    }
};

TEST_F(CompactUnwindTest, ModesOfACompressedPageAndTheLastFunctionsRange) {
    CompactImage image;
    Pages stack;
    const uintptr_t sp = stack.address(0x100);
    const uintptr_t fp = stack.address(0x200);
    Writer(fp).u64(stack.address(0x300)).u64(image.load + 0x1abc);      // frame record: fp, lr
    Writer(sp).u64(stack.address(0x400)).u64(image.load + 0x1def);      // DWARF: fp at cfa-16, lr at cfa-8
    const uintptr_t lr = image.load + 0x1555;

    struct Case {
        const char* name;
        uint32_t pcOffset;
        bool ok;
        uintptr_t pc, newSP, newFP;
    };
    const Case cases[] = {
        {"frame", 0x1010, true, image.load + 0x1abc, fp + 16, stack.address(0x300)},
        {"frameless", 0x1150, true, lr, sp, fp},
        {"DWARF", 0x1210, true, image.load + 0x1def, sp + 16, stack.address(0x400)},
        {"last function of the page, up to the next first-level entry", 0x1fff, true, image.load + 0x1def,
         sp + 16, stack.address(0x400)},
        {"next first-level entry: a regular page", 0x2000, false, 0, 0, 0},
        {"past the last first-level entry", 0x3000, false, 0, 0, 0},
        {"below the first function", 0x0fff, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VZRUnwindCursor cursor;
        const VZRThreadState state = armState(image.load + c.pcOffset, sp, fp, lr);
        VZRUnwindInit(&cursor, &state);
        VZRCompactUnwindReader reader;
        ASSERT_TRUE(VZRCompactUnwindInit(&reader, image.unwindInfo, image.ehFrame, image.load));
        EXPECT_EQ(VZRCompactUnwindLookupAndCompute(&reader, &cursor), c.ok);
        if (c.ok) {
            EXPECT_EQ(VZRThreadStateGetPC(&cursor.state), c.pc);
            EXPECT_EQ(VZRThreadStateGetSP(&cursor.state), c.newSP);
            EXPECT_EQ(VZRThreadStateGetFP(&cursor.state), c.newFP);
        }
    }
    const std::string log = sdkLog();
    EXPECT_NE(log.find("Found a second level compressed header"), std::string::npos);
    EXPECT_NE(log.find("Encountered a regular second-level page"), std::string::npos);
    EXPECT_NE(log.find("Unable to find pc in first level"), std::string::npos);
    EXPECT_NE(log.find("Trying to read dwarf data with offset"), std::string::npos);
}

TEST_F(CompactUnwindTest, ARegularPageFallsBackToTheLinkRegisterAndThenTheFramePointer) {
    CompactImage image;
    compactCurrentImage = &image;
    Pages stack;
    const uintptr_t sp = stack.address(0x100);
    const uintptr_t fp = stack.address(0x200);
    Writer(fp).u64(0).u64(image.load + 0x2300);
    const VZRThreadState state = armState(image.load + 0x2010, sp, fp, image.load + 0x2100);
    const std::vector<uintptr_t> pcs = compactWalk(state);
    EXPECT_EQ(pcs, (std::vector<uintptr_t>{image.load + 0x2010, image.load + 0x2100, image.load + 0x2300}));
    const std::string log = sdkLog();
    EXPECT_NE(log.find("Encountered a regular second-level page"), std::string::npos);
    EXPECT_NE(log.find("FP is zero, aborting unwind"), std::string::npos);
}

TEST_F(CompactUnwindTest, RememberStateUnderTheStrictSubsetFallsBackToTheFramePointer) {
    CompactImage image(true);
    compactCurrentImage = &image;
    Pages stack;
    const uintptr_t sp = stack.address(0x100);
    const uintptr_t fp = stack.address(0x200);
    Writer(fp).u64(0).u64(image.load + 0x1abc);
    // Third frame onwards: the second comes from lr, so start the walk where a return address is looked up.
    const VZRThreadState state = armState(image.load + 0x1010, sp, stack.address(0x180), image.load + 0x1211);
    Writer(stack.address(0x180)).u64(fp).u64(image.load + 0x1211);
    const std::vector<uintptr_t> pcs = compactWalk(state);
    // 0x1010 (frame mode) -> 0x1211 (DWARF function, whose FDE fails) -> frame record at fp -> 0x1abc.
    ASSERT_GE(pcs.size(), 3u);
    EXPECT_EQ(pcs[1], image.load + 0x1211);
    EXPECT_EQ(pcs[2], image.load + 0x1abc);
    const std::string log = sdkLog();
    EXPECT_NE(log.find("Unimplemented DWARF instruction 0xa"), std::string::npos);
    EXPECT_NE(log.find("Failed to compute DWARF registers"), std::string::npos);
}

TEST_F(CompactUnwindTest, ReaderSetUpRefusesWhatItCannotRead) {
    CompactImage image;
    VZRCompactUnwindReader reader;
    EXPECT_FALSE(VZRCompactUnwindInit(nullptr, image.unwindInfo, image.ehFrame, image.load));
    EXPECT_FALSE(VZRCompactUnwindInit(&reader, 0, image.ehFrame, image.load));
    EXPECT_FALSE(VZRCompactUnwindInit(&reader, image.unwindInfo, image.ehFrame, 16));
    EXPECT_FALSE(VZRCompactUnwindInit(&reader, image.pages.end() - 8, image.ehFrame, image.load));
    Writer(image.unwindInfo).u32(2);
    EXPECT_FALSE(VZRCompactUnwindInit(&reader, image.unwindInfo, image.ehFrame, image.load));
    const std::string log = sdkLog();
    for (const char* line : {"invalid context passed to compact unwind init",
                             "invalid unwind info passed to compact unwind init",
                             "invalid load address passed to compact unwind init",
                             "could not read memory contents of unwindInfo",
                             "bad unwind_info structure version (2 != 1)"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

} // namespace
