#include "crash/capture/VZRAllocator.hpp"

#include "crash/capture/VZRHost.hpp"
#include "crash/capture/VZRSDKLog.hpp"

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kAlignment = 16;

size_t roundUp(size_t size, size_t to) {
    return (size + to - 1) / to * to;
}

void* fallBack(size_t size) {
    void* p = std::malloc(size);
    if (p)
        std::memset(p, 0, size);
    return p;
}

void* allocateFromRegion(VZRAllocatorRegion& region, size_t size) {
    const size_t needed = roundUp(size, kAlignment);
    uintptr_t cursor = region.cursor.load();
    for (;;) {
        if (needed > region.capacity || cursor + needed - region.base > region.capacity) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to allocate sufficient memory, falling back to malloc\n",
                      VZR_HERE);
            return fallBack(size);
        }
        if (region.cursor.compare_exchange_weak(cursor, cursor + needed, std::memory_order_seq_cst))
            return reinterpret_cast<void*>(cursor);
    }
}

} // namespace

VZRAllocatorCapacities VZRAllocatorComputeCapacities(size_t writableSize, size_t readOnlySize, size_t pageSize) {
    VZRAllocatorCapacities c;
    c.writable = writableSize == 0 ? 0 : pageSize * (writableSize / pageSize + 1);
    c.readOnly = pageSize * ((readOnlySize + sizeof(VZRAllocator)) / pageSize + 1);
    return c;
}

VZRAllocator* VZRAllocatorCreate(size_t writableSize, size_t readOnlySize) {
    const size_t page = VZRHostGetPageSize();
    const VZRAllocatorCapacities capacities = VZRAllocatorComputeCapacities(writableSize, readOnlySize, page);
    // The header needs a place in the writable region even when nothing else is asked of it.
    const size_t headerSpace = roundUp(sizeof(VZRAllocator), kAlignment);
    const size_t writable = capacities.writable < headerSpace ? page : capacities.writable;
    const size_t total = writable + capacities.readOnly + 3 * page;

    void* mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Mapping failed %s\n", VZR_HERE, std::strerror(errno));
        return nullptr;
    }
#if defined(__SANITIZE_ADDRESS__)
    // Memory that falls back to malloc is kept through pointers in this mapping, never freed by design.
    __lsan_register_root_region(mapping, total);
#endif
    auto* base = static_cast<char*>(mapping);
    char* writableStart = base + page;
    char* middleGuard = writableStart + writable;
    char* readOnlyStart = middleGuard + page;
    char* lastGuard = readOnlyStart + capacities.readOnly;
    VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Mapping: %p %p %p, total: %zu K\n", VZR_HERE, mapping, writableStart,
              readOnlyStart, total / 1024);

    struct Guard {
        char* at;
        const char* failure;
    };
    const Guard guards[] = {
        {base, "ERROR [%s:%d] First guard protection failed %s\n"},
        {middleGuard, "ERROR [%s:%d] Middle guard protection failed %s\n"},
        {lastGuard, "ERROR [%s:%d] Last guard protection failed %s\n"},
    };
    for (const Guard& guard : guards) {
        if (::mprotect(guard.at, page, PROT_NONE) != 0) {
            VZRSDKLog(VZRLogLevelError, guard.failure, VZR_HERE, std::strerror(errno));
            ::munmap(mapping, total);
            return nullptr;
        }
    }

    // The header sits at the top of the writable region: protecting the read-only region must never cover
    // the cursors, and a handler stack taken first from the bottom grows down towards the first guard page.
    char* headerAt = writableStart + writable - headerSpace;
    VZRAllocator* allocator = std::construct_at(reinterpret_cast<VZRAllocator*>(headerAt));
    allocator->mapping = mapping;
    allocator->mappingSize = total;
    allocator->pageSize = page;
    allocator->writable.base = reinterpret_cast<uintptr_t>(writableStart);
    allocator->writable.capacity = writable - headerSpace;
    allocator->writable.cursor.store(allocator->writable.base);
    allocator->readOnly.base = reinterpret_cast<uintptr_t>(readOnlyStart);
    allocator->readOnly.capacity = capacities.readOnly;
    allocator->readOnly.cursor.store(allocator->readOnly.base);
    allocator->readOnlySize = capacities.readOnly;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    VZRSDKLog(VZRLogLevelDebug, "DEBUG [%s:%d] Allocator successfully created %p", VZR_HERE, allocator);
    return allocator;
}

void* VZRAllocatorSafeAllocate(VZRAllocator* allocator, size_t size, int type) {
    if (type != VZRAllocationTypeReadOnly && type != VZRAllocationTypeWritable)
        return nullptr;
    if (!allocator) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Allocator invalid, falling back to malloc\n", VZR_HERE);
        return fallBack(size);
    }
    if (allocator->isProtected.load()) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Allocator already protected, falling back to malloc\n", VZR_HERE);
        return fallBack(size);
    }
    return allocateFromRegion(type == VZRAllocationTypeWritable ? allocator->writable : allocator->readOnly, size);
}

bool VZRAllocatorProtect(VZRAllocator* allocator) {
    if (!allocator) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Invalid allocator", VZR_HERE);
        return false;
    }
    if (allocator->isProtected.exchange(true)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Write protection already enabled", VZR_HERE);
        return true;
    }
    return ::mprotect(reinterpret_cast<void*>(allocator->readOnly.base), allocator->readOnlySize, PROT_READ) == 0;
}

void* VZRAllocatorGuardPage(const VZRAllocator* allocator, int which) {
    if (!allocator || which < 0 || which > 2)
        return nullptr;
    auto* base = static_cast<char*>(allocator->mapping);
    switch (which) {
    case 0:
        return base;
    case 1:
        return reinterpret_cast<char*>(allocator->readOnly.base) - allocator->pageSize;
    default:
        return reinterpret_cast<char*>(allocator->readOnly.base) + allocator->readOnlySize;
    }
}
