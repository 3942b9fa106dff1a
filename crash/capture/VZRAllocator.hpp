#pragma once
// The guarded bump allocator behind the crash-time context: one anonymous mapping with a writable region
// and a region that is made read-only once start-up ends, each fenced by inaccessible guard pages, so a
// stray write into the saved paths and handlers faults at once instead of corrupting them silently.

#include <atomic>
#include <cstddef>
#include <cstdint>

enum VZRAllocationType : int {
    VZRAllocationTypeReadOnly = 0,
    VZRAllocationTypeWritable = 1,
};

struct VZRAllocatorRegion {
    size_t capacity = 0; // bytes that allocations may take
    uintptr_t base = 0;
    std::atomic<uintptr_t> cursor{0};
};

// Lives at the top of the writable region, so protecting the read-only region never covers the cursors.
struct VZRAllocator {
    void* mapping = nullptr;
    std::atomic<bool> isProtected{false};
    VZRAllocatorRegion writable;
    VZRAllocatorRegion readOnly;
    size_t mappingSize = 0;
    size_t pageSize = 0;
    size_t readOnlySize = 0; // the whole read-only region, which protection covers
};

// The region sizes that a request turns into, in bytes: always one page more than the whole pages below the
// request; the read-only one also counts the allocator's header.
struct VZRAllocatorCapacities {
    size_t writable = 0;
    size_t readOnly = 0;
};
VZRAllocatorCapacities VZRAllocatorComputeCapacities(size_t writableSize, size_t readOnlySize, size_t pageSize);

// Null when the mapping or a guard page could not be set up (the failure is in the SDK log).
VZRAllocator* VZRAllocatorCreate(size_t writableSize, size_t readOnlySize);
// Zeroed memory from the region of `type`; malloc (with its warning) when there is no allocator, it is
// protected or the region is full; null for an unknown type. Sizes are rounded up to 16 bytes so that every
// allocation is aligned for any type.
void* VZRAllocatorSafeAllocate(VZRAllocator* allocator, size_t size, int type);
bool VZRAllocatorProtect(VZRAllocator* allocator);

// The guard pages, for checks that they fault: 0 below the writable region, 1 between the regions, 2 above
// the read-only region.
void* VZRAllocatorGuardPage(const VZRAllocator* allocator, int which);
