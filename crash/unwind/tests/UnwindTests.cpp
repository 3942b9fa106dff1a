// The unwinder on real stacks: threads parked in known call chains, their registers taken by a signal
// handler as the crash handler takes them, and every walked frame compared with the return addresses the
// chain's functions recorded for themselves. Also walks over hand-made stacks: frame-pointer chains that
// end, loop or run into unmapped memory.

#include "crash/unwind/VZRUnwind.hpp"
#include "crash/unwind/tests/UnwindChains.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/tests/CrashContextFixture.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> unwindCaptured{false};
ucontext_t unwindCapturedContext;

void unwindCaptureHandler(int, siginfo_t*, void* context) {
    std::memcpy(&unwindCapturedContext, context, sizeof unwindCapturedContext);
    unwindCaptured.store(true);
}

struct UnwindFrame {
    uintptr_t pc = 0;
    uint32_t repeat = 0;
};

std::vector<UnwindFrame> walkState(const VZRThreadState& state, size_t limit = 200) {
    std::vector<UnwindFrame> frames;
    VZRUnwindCursor cursor;
    if (!VZRUnwindInit(&cursor, &state))
        return frames;
    while (frames.size() < limit && VZRUnwindNextFrame(&cursor))
        frames.push_back({VZRUnwindGetPC(&cursor), VZRUnwindGetRepeatCount(&cursor)});
    return frames;
}

std::string imageOf(uintptr_t pc) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(pc), &info) == 0 || !info.dli_fname)
        return "";
    return info.dli_fname;
}

bool inLibc(uintptr_t pc) {
    return imageOf(pc).find("libc.so") != std::string::npos;
}

// A thread running `chain` until it parks; its registers as a signal handler saw them.
class ParkedChain {
public:
    explicit ParkedChain(void* (*chain)(void*)) {
        struct sigaction action {};
        action.sa_sigaction = unwindCaptureHandler;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous_);
        pthread_create(&thread_, nullptr, chain, &recording);
        while (!recording.parked.load())
            std::this_thread::yield();
        unwindCaptured.store(false);
        pthread_kill(thread_, SIGUSR1);
        while (!unwindCaptured.load())
            std::this_thread::yield();
        VZRThreadStateFromUContext(&unwindCapturedContext, &state);
    }
    ~ParkedChain() {
        recording.release.store(true);
        pthread_join(thread_, nullptr);
        sigaction(SIGUSR1, &previous_, nullptr);
    }

    unwindchain::Recording recording;
    VZRThreadState state;

private:
    pthread_t thread_{};
    struct sigaction previous_ {};
};

class UnwindTest : public crashtest::CrashContextTest {
protected:
    void SetUp() override {
        CrashContextTest::SetUp();
        ASSERT_TRUE(initialize());
        ASSERT_TRUE(VZRContextIsInitialized());
    }

    // The walked frames from the first one on equal the recorded return addresses (innermost first), the
    // first frame being the parked pc itself; then at most `tailLimit` frames of the C library's thread start.
    void expectChain(const ParkedChain& chain, const std::vector<UnwindFrame>& frames, size_t tailLimit = 4) {
        const int count = chain.recording.count.load();
        ASSERT_GE(frames.size(), static_cast<size_t>(count) + 1);
        EXPECT_EQ(frames[0].pc, VZRThreadStateGetPC(&chain.state));
        for (int depth = 0; depth < count; ++depth)
            EXPECT_EQ(frames[depth + 1].pc, chain.recording.returnAddresses[depth]) << "frame " << depth + 1;
        EXPECT_LE(frames.size(), static_cast<size_t>(count) + 1 + tailLimit);
        for (size_t i = static_cast<size_t>(count) + 1; i < frames.size(); ++i)
            EXPECT_TRUE(inLibc(frames[i].pc)) << "frame " << i << " in " << imageOf(frames[i].pc);
    }
};

TEST_F(UnwindTest, CallFrameInformationWalksAnOptimisedChainWithoutFramePointersToTheThreadStart) {
    ParkedChain chain(unwindchain::omitFramePointerChain);
    const auto frames = walkState(chain.state);
    expectChain(chain, frames);
    EXPECT_EQ(chain.recording.count.load(), 7);
}

TEST_F(UnwindTest, FramePointersWalkAChainWithoutCallFrameInformationFromALeafThatSetUpNoFrame) {
    ParkedChain chain(unwindchain::framePointerChain);
    const auto frames = walkState(chain.state);
    expectChain(chain, frames);
    EXPECT_EQ(chain.recording.count.load(), 7);
    // The table's nearest FDE belongs to another function and must not be used for these.
    EXPECT_NE(sdkLog().find("The pc lies past the FDE's range"), std::string::npos);
}

TEST_F(UnwindTest, AChainThroughTheCLibraryComesBackIntoTheCaller) {
    ParkedChain chain(unwindchain::qsortChain);
    const auto frames = walkState(chain.state);
    const auto& recorded = chain.recording.returnAddresses;
    ASSERT_GE(frames.size(), 6u);
    EXPECT_EQ(frames[1].pc, recorded[0]); // into the comparator
    EXPECT_EQ(frames[2].pc, recorded[1]); // into the C library's sort
    EXPECT_TRUE(inLibc(frames[2].pc));
    size_t i = 3;
    while (i < frames.size() && inLibc(frames[i].pc))
        ++i;
    ASSERT_LT(i + 2, frames.size());
    // The sort's return into the sorter, then the sorter's and the entry's own return addresses.
    const uintptr_t sorter = unwindchain::qsortSorterAddress();
    EXPECT_GT(frames[i].pc, sorter);
    EXPECT_LT(frames[i].pc, sorter + 512);
    EXPECT_EQ(frames[i + 1].pc, recorded[2]);
    EXPECT_EQ(frames[i + 2].pc, recorded[3]);
}

TEST_F(UnwindTest, RecursionRepeatsItsReturnAddressWithARisingRepeatCount) {
    ParkedChain chain(unwindchain::recursionChain);
    const auto frames = walkState(chain.state);
    expectChain(chain, frames);
    const uintptr_t recursing = chain.recording.returnAddresses[1];
    ASSERT_GE(frames.size(), 32u);
    for (uint32_t i = 0; i < 29; ++i) {
        EXPECT_EQ(frames[2 + i].pc, recursing) << i;
        EXPECT_EQ(frames[2 + i].repeat, i) << i;
    }
    EXPECT_NE(frames[31].pc, recursing);
    EXPECT_EQ(frames[31].repeat, 0u);
}

// ---- hand-made stacks ------------------------------------------------------------------------------------

bool noImages(uintptr_t, VZRBinaryImageNode*) {
    return false;
}

// Pages with an unmapped page after them, for stacks that run into memory that cannot be read.
struct GuardedPages {
    explicit GuardedPages(size_t pages) : size(pages * 4096) {
        void* p = mmap(nullptr, size + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base = static_cast<uint8_t*>(p);
        mprotect(base + size, 4096, PROT_NONE);
    }
    ~GuardedPages() { munmap(base, size + 4096); }
    uintptr_t address(size_t offset) const { return reinterpret_cast<uintptr_t>(base) + offset; }
    void put(size_t offset, uint64_t value) { std::memcpy(base + offset, &value, sizeof value); }
    uint8_t* base = nullptr;
    size_t size = 0;
};

VZRThreadState framePointerState(uintptr_t pc, uintptr_t sp, uintptr_t fp) {
    VZRThreadState state;
    state.registers[kVZRX86_64RIP] = pc;
    state.registers[kVZRX86_64RSP] = sp;
    state.registers[kVZRX86_64RBP] = fp;
    return state;
}

std::vector<UnwindFrame> walkWithoutImages(const VZRThreadState& state) {
    std::vector<UnwindFrame> frames;
    VZRUnwindCursor cursor;
    VZRUnwindInit(&cursor, &state);
    cursor.findImage = noImages;
    while (frames.size() < 1000 && VZRUnwindNextFrame(&cursor))
        frames.push_back({VZRUnwindGetPC(&cursor), VZRUnwindGetRepeatCount(&cursor)});
    return frames;
}

TEST_F(UnwindTest, HandMadeFramePointerChains) {
    GuardedPages stack(2);
    // Three frame records at 0x100, 0x200, 0x300 (saved fp, return address).
    stack.put(0x100, stack.address(0x200));
    stack.put(0x108, 0x11111);
    stack.put(0x200, stack.address(0x300));
    stack.put(0x208, 0x22222);

    struct Case {
        const char* name;
        uint64_t lastSavedFP;      // what the third record links to
        size_t expectedFrames;
        const char* expectedLine;
    };
    const uintptr_t intoGuard = stack.address(stack.size - 8); // the record straddles the unmapped page
    const Case cases[] = {
        {"chain ends in 0", 0, 4, "FP is zero, aborting unwind"},
        {"chain loops back to its first record", stack.address(0x100), 4, "is not above the previous frame's"},
        {"chain links to itself", stack.address(0x300), 4, "is not above the previous frame's"},
        {"chain runs into unmapped memory", intoGuard, 4, "failed to read memory at address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stack.put(0x300, c.lastSavedFP);
        stack.put(0x308, 0x33333);
        const auto frames = walkWithoutImages(framePointerState(0x10000, stack.address(0x80), stack.address(0x100)));
        ASSERT_EQ(frames.size(), c.expectedFrames);
        EXPECT_EQ(frames[1].pc, 0x11111u);
        EXPECT_EQ(frames[2].pc, 0x22222u);
        EXPECT_EQ(frames[3].pc, 0x33333u);
        EXPECT_NE(sdkLog().find(c.expectedLine), std::string::npos) << sdkLog();
    }
}

TEST_F(UnwindTest, InvalidStartingRegistersEndTheWalkAtOnce) {
    GuardedPages stack(1);
    struct Case {
        uintptr_t pc;
        uintptr_t sp;
    };
    for (const Case& c : {Case{0x10, stack.address(0x80)}, Case{0x10000, 0x20}, Case{0, 0}}) {
        EXPECT_TRUE(walkWithoutImages(framePointerState(c.pc, c.sp, stack.address(0x100))).empty());
    }
    EXPECT_NE(sdkLog().find("Cancelling unwind for thread with invalid PC/SP"), std::string::npos);
    VZRUnwindCursor cursor;
    EXPECT_FALSE(VZRUnwindInit(nullptr, nullptr));
    EXPECT_FALSE(VZRUnwindInit(&cursor, nullptr));
    EXPECT_FALSE(VZRUnwindNextFrame(nullptr));
}

TEST_F(UnwindTest, RegistersByNumberFollowEachArchitecturesTable) {
    VZRThreadState x86;
    for (uint64_t n = 0; n < 17; ++n)
        EXPECT_TRUE(VZRThreadStateSetRegister(&x86, n, 100 + n));
    EXPECT_EQ(VZRThreadStateGetPC(&x86), 116u);
    EXPECT_EQ(VZRThreadStateGetSP(&x86), 107u);
    EXPECT_EQ(VZRThreadStateGetFP(&x86), 106u);
    EXPECT_FALSE(VZRThreadStateSetRegister(&x86, 17, 1));
    EXPECT_EQ(VZRThreadStateGetRegister(&x86, 17), 0u);

    VZRThreadState arm;
    arm.architecture = VZRArchitecture::arm64;
    EXPECT_TRUE(VZRThreadStateSetRegister(&arm, kVZRArm64LR, 0x4000));
    EXPECT_EQ(VZRThreadStateGetPC(&arm), 0x4000u); // the return address becomes the pc
    EXPECT_TRUE(VZRThreadStateSetRegister(&arm, kVZRArm64SP, 0x5000));
    EXPECT_EQ(VZRThreadStateGetSP(&arm), 0x5000u);
    EXPECT_FALSE(VZRThreadStateSetRegister(&arm, 32, 1));
    EXPECT_NE(sdkLog().find("Unrecognized set register number"), std::string::npos);
    EXPECT_NE(sdkLog().find("Error: Unrecognized get register number"), std::string::npos);
}

} // namespace
