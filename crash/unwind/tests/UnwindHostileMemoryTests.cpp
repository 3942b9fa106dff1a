// The unwinder over hostile memory, in a child process so that a fault fails the test instead of ending
// the run: random ".eh_frame_hdr" tables, call-frame records and stacks, each in pages fenced by unmapped
// pages. Every walk must end, within the frame cap, without a fault.

#include "crash/unwind/VZRUnwind.hpp"
#include "crash/unwind/tests/DwarfFixture.hpp"

#include "platform/foundation/Random.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr size_t kHostilePage = 4096;

// Pages 1, 3-4 and 6-7 of nine are readable: the header, the records and the stack; the rest unmapped.
struct HostileLayout {
    uint8_t* base = nullptr;
    uintptr_t header() const { return reinterpret_cast<uintptr_t>(base) + 1 * kHostilePage; }
    uintptr_t frames() const { return reinterpret_cast<uintptr_t>(base) + 3 * kHostilePage; }
    uintptr_t stack() const { return reinterpret_cast<uintptr_t>(base) + 6 * kHostilePage; }
    uintptr_t code() const { return reinterpret_cast<uintptr_t>(base) - 0x100000; } // never read
};

HostileLayout* hostileLayout = nullptr;

bool hostileFindImage(uintptr_t address, VZRBinaryImageNode* node) {
    const HostileLayout& layout = *hostileLayout;
    if (address < layout.code() || address >= layout.code() + 0x100000)
        return false;
    *node = VZRBinaryImageNode{};
    node->loadAddress = layout.code();
    node->textSize = 0x100000;
    node->ehFrameHdrOffset = static_cast<uint32_t>(layout.header() - layout.code());
    node->ehFrameOffset = static_cast<uint32_t>(layout.frames() - layout.code());
    return true;
}

uint32_t hostileDraw(uint32_t n) {
    return plat::Random::uniform(n);
}

// One round: fresh random bytes, sometimes shaped like a real table and real records so that the walk gets
// past the first checks, then a walk from random registers. The number of frames it took.
uint64_t hostileRound(const HostileLayout& layout) {
    plat::Random::fill(reinterpret_cast<void*>(layout.header()), 512);
    plat::Random::fill(reinterpret_cast<void*>(layout.frames()), 2048);
    plat::Random::fill(reinterpret_cast<void*>(layout.stack() + kHostilePage), kHostilePage);
    const uintptr_t pc = layout.code() + 0x1000 + hostileDraw(0x1000);
    if (hostileDraw(2) == 0) {
        // A CIE and an FDE around the pc with random instructions, and a table that finds it.
        uintptr_t end = 0;
        dwarffixture::CIEOptions cie;
        cie.instructions.clear();
        for (uint32_t i = hostileDraw(12); i > 0; --i)
            cie.instructions.push_back(static_cast<uint8_t>(hostileDraw(256)));
        const uintptr_t cieAt = dwarffixture::writeCIE(layout.frames() + 0x10, cie, &end);
        std::vector<uint8_t> instructions;
        for (uint32_t i = hostileDraw(48); i > 0; --i)
            instructions.push_back(static_cast<uint8_t>(hostileDraw(256)));
        const uintptr_t fdeAt =
            dwarffixture::writeFDE(end, cieAt, pc - hostileDraw(0x800), 1 + hostileDraw(0x1000), instructions, &end);
        dwarffixture::Writer table(layout.header());
        const uint32_t count = 1 + hostileDraw(hostileDraw(8) == 0 ? 100000 : 4);
        table.bytes({1, 0x1B, 0x03, 0x3B}).pcrel32(layout.frames()).u32(count);
        table.u32(static_cast<uint32_t>(layout.code() - layout.header()))
            .u32(static_cast<uint32_t>(fdeAt - layout.header()));
    }
    // The registers: mostly into the stack page's second half, sometimes anywhere.
    VZRThreadState state;
    for (uint64_t& r : state.registers)
        r = plat::Random::u64();
    state.registers[kVZRX86_64RIP] = hostileDraw(8) == 0 ? plat::Random::u64() : pc;
    state.registers[kVZRX86_64RSP] = layout.stack() + kHostilePage + hostileDraw(kHostilePage);
    state.registers[kVZRX86_64RBP] = hostileDraw(4) == 0 ? plat::Random::u64()
                                                         : layout.stack() + kHostilePage + hostileDraw(kHostilePage);
    VZRUnwindCursor cursor;
    VZRUnwindInit(&cursor, &state);
    cursor.findImage = hostileFindImage;
    uint64_t frames = 0;
    while (VZRUnwindNextFrame(&cursor) && frames <= kVZRUnwindMaximumFrames)
        ++frames;
    return frames;
}

TEST(UnwindHostileMemory, RandomTablesRecordsAndStacksNeverFaultAndEveryWalkEnds) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        void* p = mmap(nullptr, 9 * kHostilePage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        HostileLayout layout;
        layout.base = static_cast<uint8_t*>(p);
        for (uintptr_t readable : {layout.header(), layout.frames(), layout.stack()})
            mprotect(reinterpret_cast<void*>(readable), readable == layout.header() ? kHostilePage : 2 * kHostilePage,
                     PROT_READ | PROT_WRITE);
        hostileLayout = &layout;
        plat::Random::seed(37);
        uint64_t longest = 0;
        for (int round = 0; round < 100000; ++round) {
            const uint64_t frames = hostileRound(layout);
            longest = frames > longest ? frames : longest;
        }
        _exit(longest < kVZRUnwindMaximumFrames ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
