// The guarded allocator in this process: capacities from the clamped page size, the layout of its mapping,
// the bump allocation and its malloc fall-backs. Faults on the guard pages are checked in the crash probe.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "crash/capture/VZRAllocator.hpp"
#include "crash/capture/VZRHost.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

using crashtest::CrashContextTest;

long reportedPageSize = 4096;
long injectedPageSize() {
    return reportedPageSize;
}

class PageSizeTest : public ::testing::Test {
protected:
    void SetUp() override { VZRHostSetPageSizeQueryForTesting(&injectedPageSize); }
    void TearDown() override { VZRHostSetPageSizeQueryForTesting(nullptr); }
};

TEST_F(PageSizeTest, ClampedPageSizeGivesTheCapacitiesAndTheMapping) {
    const struct {
        long reported;
        size_t page;
        size_t writable;
        size_t readOnly;
    } cases[] = {
        {2048, 4096, 548864, 20480},   {4096, 4096, 548864, 20480},  {8192, 8192, 548864, 24576},
        {16384, 16384, 557056, 32768}, {65536, 16384, 557056, 32768}, {-1, 16384, 557056, 32768},
    };
    for (const auto& c : cases) {
        reportedPageSize = c.reported;
        ASSERT_EQ(VZRHostGetPageSize(), c.page) << c.reported;
        const VZRAllocatorCapacities capacities = VZRAllocatorComputeCapacities(544872, 17056, c.page);
        EXPECT_EQ(capacities.writable, c.writable) << c.reported;
        EXPECT_EQ(capacities.readOnly, c.readOnly) << c.reported;

        VZRAllocator* allocator = VZRAllocatorCreate(544872, 17056);
        ASSERT_NE(allocator, nullptr) << c.reported;
        const auto base = reinterpret_cast<uintptr_t>(allocator->mapping);
        EXPECT_EQ(allocator->mappingSize, c.writable + c.readOnly + 3 * c.page);
        // guard, writable, guard, read-only, guard
        EXPECT_EQ(allocator->writable.base, base + c.page);
        EXPECT_EQ(allocator->readOnly.base, base + c.page + c.writable + c.page);
        EXPECT_EQ(allocator->readOnly.capacity, c.readOnly);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(VZRAllocatorGuardPage(allocator, 2)),
                  base + allocator->mappingSize - c.page);
        // The header and its cursors sit at the top of the writable region.
        const auto header = reinterpret_cast<uintptr_t>(allocator);
        EXPECT_GE(header, allocator->writable.base + allocator->writable.capacity);
        EXPECT_LT(header, allocator->writable.base + c.writable);
        EXPECT_GE(allocator->writable.capacity, 544872u);
        ::munmap(allocator->mapping, allocator->mappingSize);
    }
}

TEST_F(CrashContextTest, APageSizeThatCannotBeReadIsLoggedAndGives16K) {
    ASSERT_TRUE(initialize());
    VZRHostSetPageSizeQueryForTesting([]() -> long { return -1; });
    EXPECT_EQ(VZRHostGetPageSize(), 16384u);
    VZRHostSetPageSizeQueryForTesting(nullptr);
    EXPECT_NE(sdkLog().find("WARN  [VZRHostGetPageSize:"), std::string::npos);
    EXPECT_NE(sdkLog().find("] sysctlbyname failed while trying to get hw.pagesize\n"), std::string::npos);
}

TEST_F(CrashContextTest, AllocationsBumpThroughTheRegionsAndFallBackToMalloc) {
    ASSERT_TRUE(initialize());
    VZRAllocator* allocator = VZRAllocatorCreate(100000, 8000);
    ASSERT_NE(allocator, nullptr);
    void* first = VZRAllocatorSafeAllocate(allocator, 10, VZRAllocationTypeWritable);
    void* second = VZRAllocatorSafeAllocate(allocator, 10, VZRAllocationTypeWritable);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first), allocator->writable.base) << "the bottom of the writable region";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second), allocator->writable.base + 16) << "16-byte aligned";
    void* readOnly = VZRAllocatorSafeAllocate(allocator, 100, VZRAllocationTypeReadOnly);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(readOnly), allocator->readOnly.base);
    EXPECT_EQ(VZRAllocatorSafeAllocate(allocator, 10, 2), nullptr);
    EXPECT_EQ(VZRAllocatorSafeAllocate(allocator, 10, -1), nullptr);
    EXPECT_EQ(sdkLog().find("falling back"), std::string::npos) << sdkLog();

    // More than the region holds: malloc, the region untouched.
    const uintptr_t cursor = allocator->readOnly.cursor.load();
    void* big = VZRAllocatorSafeAllocate(allocator, 1 << 20, VZRAllocationTypeReadOnly);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(allocator->readOnly.cursor.load(), cursor);
    EXPECT_NE(sdkLog().find("WARN  [allocateFromRegion:"), std::string::npos);
    EXPECT_NE(sdkLog().find("] Unable to allocate sufficient memory, falling back to malloc\n"), std::string::npos);
    std::free(big);

    EXPECT_TRUE(VZRAllocatorProtect(allocator));
    EXPECT_TRUE(VZRAllocatorProtect(allocator));
    EXPECT_NE(sdkLog().find("] Write protection already enabled"), std::string::npos);
    void* late = VZRAllocatorSafeAllocate(allocator, 8, VZRAllocationTypeWritable);
    ASSERT_NE(late, nullptr);
    EXPECT_FALSE(reinterpret_cast<uintptr_t>(late) >= allocator->writable.base &&
                 reinterpret_cast<uintptr_t>(late) < allocator->writable.base + allocator->writable.capacity);
    EXPECT_NE(sdkLog().find("] Allocator already protected, falling back to malloc\n"), std::string::npos);
    std::free(late);

    void* orphan = VZRAllocatorSafeAllocate(nullptr, 8, VZRAllocationTypeReadOnly);
    ASSERT_NE(orphan, nullptr);
    std::free(orphan);
    EXPECT_NE(sdkLog().find("] Allocator invalid, falling back to malloc\n"), std::string::npos);
    EXPECT_FALSE(VZRAllocatorProtect(nullptr));
    EXPECT_NE(sdkLog().find("ERROR [VZRAllocatorProtect:"), std::string::npos);
}

TEST(Allocator, ConcurrentAllocationsNeverOverlap) {
    VZRAllocator* allocator = VZRAllocatorCreate(64 * 1024, 1024);
    ASSERT_NE(allocator, nullptr);
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    std::vector<std::vector<uintptr_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                got[t].push_back(reinterpret_cast<uintptr_t>(
                    VZRAllocatorSafeAllocate(allocator, 24, VZRAllocationTypeWritable)));
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::vector<uintptr_t> all;
    for (const auto& v : got)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    for (size_t i = 1; i < all.size(); ++i)
        ASSERT_GE(all[i] - all[i - 1], 32u);
    EXPECT_EQ(all.front(), allocator->writable.base);
    EXPECT_EQ(allocator->writable.cursor.load(), allocator->writable.base + 32 * all.size());
    ::munmap(allocator->mapping, allocator->mappingSize);
}

} // namespace
