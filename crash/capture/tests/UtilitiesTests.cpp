// Crash-time utilities: safe reads that never fault (directly and through the pipe), strings copied into the
// guarded context, hex, symbol names, unlinking, profiling marks and delayed work under virtual time.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using crashtest::CrashContextTest;

// Three pages: readable, PROT_NONE, unmapped.
class Pages {
public:
    Pages() {
        page_ = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        base_ = static_cast<char*>(::mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        for (size_t i = 0; i < page_; ++i)
            base_[i] = static_cast<char>('a' + i % 26);
        ::mprotect(base_ + page_, page_, PROT_NONE);
        ::munmap(base_ + 2 * page_, page_);
    }
    ~Pages() { ::munmap(base_, 2 * page_); }
    uintptr_t readable() const { return reinterpret_cast<uintptr_t>(base_); }
    uintptr_t none() const { return readable() + page_; }
    uintptr_t unmapped() const { return readable() + 2 * page_; }
    size_t page() const { return page_; }

private:
    size_t page_;
    char* base_;
};

class SafeReadTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        VZRSafeReadPrepare();
        VZRSafeReadForcePipeForTesting(GetParam());
    }
    void TearDown() override { VZRSafeReadForcePipeForTesting(false); }
};

TEST_P(SafeReadTest, BadAddressesAreRefusedWithoutAFault) {
    Pages pages;
    const struct {
        const char* name;
        uintptr_t address;
        size_t length;
        bool readable;
    } cases[] = {
        {"address 8", 8, 4, false},
        {"last address below 4096", 4095, 1, false},
        {"PROT_NONE page", pages.none(), 16, false},
        {"unmapped page", pages.unmapped(), 16, false},
        {"range crossing into PROT_NONE", pages.none() - 8, 16, false},
        {"range crossing from PROT_NONE into unmapped", pages.unmapped() - 8, 16, false},
        {"readable page", pages.readable() + 3, 100, true},
        {"whole readable page", pages.readable(), pages.page(), true},
        {"nothing", pages.readable(), 0, true},
    };
    for (const auto& c : cases) {
        std::vector<char> buffer(c.length + 1, '#');
        EXPECT_EQ(VZRReadMemory(c.address, buffer.data(), c.length), c.readable) << c.name;
        if (c.readable) {
            EXPECT_EQ(std::memcmp(buffer.data(), reinterpret_cast<const char*>(c.address), c.length), 0) << c.name;
        }
    }
    // A failed read leaves nothing behind that the next one would return.
    char byte = 0;
    ASSERT_TRUE(VZRReadMemory(pages.readable() + 1, &byte, 1));
    EXPECT_EQ(byte, 'b');
}

TEST_P(SafeReadTest, StringsMustEndWithinTheirMaximum) {
    Pages pages;
    const char* text = "selector:";
    const char* result = nullptr;
    EXPECT_TRUE(VZRReadString(reinterpret_cast<uintptr_t>(text), &result, 128));
    EXPECT_EQ(result, text);
    EXPECT_TRUE(VZRReadString(reinterpret_cast<uintptr_t>(text), &result, 10)) << "the zero is the tenth byte";
    EXPECT_FALSE(VZRReadString(reinterpret_cast<uintptr_t>(text), &result, 9));
    EXPECT_FALSE(VZRReadString(pages.unmapped(), &result, 128));
    EXPECT_FALSE(VZRReadString(8, &result, 128));
    // Readable bytes that run into a PROT_NONE page before any zero.
    EXPECT_FALSE(VZRReadString(pages.none() - 4, &result, 128));
}

INSTANTIATE_TEST_SUITE_P(DirectAndPipe, SafeReadTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pipe" : "Direct"; });

TEST_F(CrashContextTest, DuplicatedStringsGoIntoTheReadOnlyRegionUntilItIsProtected) {
    ASSERT_TRUE(initialize(crashtest::fixedConfig(), false));
    VZRAllocator* allocator = VZRSharedContext().allocator.load();
    ASSERT_NE(allocator, nullptr);
    char* copy = VZRDuplicateString("/a/path");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "/a/path");
    const auto at = reinterpret_cast<uintptr_t>(copy);
    EXPECT_GE(at, allocator->readOnly.base);
    EXPECT_LT(at, allocator->readOnly.base + allocator->readOnly.capacity);
    EXPECT_EQ(VZRDuplicateString(nullptr), nullptr);

    plat::Virtual::runUntilIdle(); // the protection
    ASSERT_TRUE(allocator->isProtected.load());
    char* late = VZRDuplicateString("late");
    ASSERT_NE(late, nullptr);
    EXPECT_STREQ(late, "late");
    EXPECT_NE(sdkLog().find("] Allocator already protected, falling back to malloc\n"), std::string::npos);
    std::free(late);
}

TEST(Hex, BytesDigitsAndNibbles) {
    char pair[2];
    VZRHexFromByte(0xa5, pair);
    EXPECT_EQ(std::string(pair, 2), "a5");
    const uint8_t bytes[] = {0x00, 0x0f, 0xf0, 0xff};
    char text[9];
    std::memset(text, 'x', sizeof text);
    VZRHexFromBuffer(bytes, sizeof bytes, text);
    EXPECT_STREQ(text, "000ff0ff");
    const struct {
        char c;
        uint8_t value;
    } nibbles[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15}, {'g', 255}, {'G', 255}, {' ', 255}, {'\0', 255}};
    for (const auto& n : nibbles)
        EXPECT_EQ(VZRHexNibbleValue(n.c), n.value) << n.c;

    const auto format = [](uint64_t value, unsigned base) {
        char digits[20];
        size_t length = 0;
        const char* first = VZRFormatUnsigned(value, base, digits, &length);
        return std::string(first, length);
    };
    EXPECT_EQ(format(UINT64_MAX, 10), "18446744073709551615");
    EXPECT_EQ(format(0, 10), "0");
    EXPECT_EQ(format(UINT64_MAX, 16), "ffffffffffffffff");
}


TEST(Dladdr, NamesTheSymbolAndImageOrGivesNulls) {
    std::string symbol, image;
    VZRDladdrNames(reinterpret_cast<uintptr_t>(&::getpid), [&](const char* s, const char* i) {
        symbol = s ? s : "(none)";
        image = i ? i : "(none)";
    });
    EXPECT_NE(symbol.find("getpid"), std::string::npos);
    EXPECT_NE(image.find("libc"), std::string::npos);
    bool called = false;
    VZRDladdrNames(16, [&](const char* s, const char* i) {
        called = true;
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(i, nullptr);
    });
    EXPECT_TRUE(called);
}

TEST(Unlink, SucceedsForMissingFilesFailsForFolders) {
    plat::test::TempAppHome home;
    const std::string file = home.root() + "/f";
    ASSERT_TRUE(plat::writeData(file, plat::Data{'x'}));
    EXPECT_TRUE(VZRUnlinkIfExists(file.c_str()));
    EXPECT_FALSE(crashtest::exists(file));
    EXPECT_TRUE(VZRUnlinkIfExists(file.c_str()));
    EXPECT_FALSE(VZRUnlinkIfExists(home.root().c_str()));
}

TEST(Profiling, MillisecondsFollowTheMonotonicClock) {
    const uint64_t mark = VZRProfilingStart();
    plat::Virtual::advanceBy(1.5);
    EXPECT_DOUBLE_EQ(VZRProfileEnd(mark), 1500.0);
}

TEST(DelayedWork, DispatchAfterAndOperationsAfterADelay) {
    std::vector<std::string> ran;
    auto queue = plat::DispatchQueue::makeSerial("test.delayed");
    auto operations = plat::OperationQueue::create("test.operations");
    VZRDispatchAfter(queue, [&] { ran.push_back("block"); }, 2.5);
    VZRAddOperationAfterDelay(operations, [&] {
        ran.push_back(plat::OperationQueue::current() == operations ? "operation on its queue" : "operation elsewhere");
    }, 600);
    plat::Virtual::advanceBy(2.4);
    EXPECT_TRUE(ran.empty());
    plat::Virtual::advanceBy(0.2);
    EXPECT_EQ(ran, std::vector<std::string>{"block"});
    plat::Virtual::advanceBy(597);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(ran.size(), 1u);
    plat::Virtual::advanceBy(1);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(ran, (std::vector<std::string>{"block", "operation on its queue"}));
}

} // namespace
