// The crash probe's allocator stand-in (linked into crash_probe_malloc only): malloc and its relatives pass
// through to the next allocator in the link order, except that the thread that calls probe_malloc_hold()
// stops inside malloc while holding the allocator's lock, for good. Every later allocation, by any thread,
// waits forever, so a crash record that completes shows that nothing on the crash path allocates.

#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using MallocFunction = void* (*)(size_t);
using FreeFunction = void (*)(void*);
using CallocFunction = void* (*)(size_t, size_t);
using ReallocFunction = void* (*)(void*, size_t);

// dlsym itself may allocate before the real functions are known: those few bytes come from here.
alignas(16) char bootstrap[8192];
std::atomic<size_t> bootstrapUsed{0};

std::atomic<MallocFunction> realMalloc{nullptr};
std::atomic<FreeFunction> realFree{nullptr};
std::atomic<CallocFunction> realCalloc{nullptr};
std::atomic<ReallocFunction> realRealloc{nullptr};
std::atomic<bool> resolving{false};

// A futex word, not a pthread mutex: the sanitizer runtime allocates while starting, before its own
// interceptors (pthread_mutex_lock among them) are ready.
std::atomic<uint32_t> allocatorLock{0};
thread_local bool holdHere = false;
std::atomic<bool> held{false};

void* fromBootstrap(size_t size) {
    const size_t rounded = (size + 15) & ~size_t{15};
    const size_t at = bootstrapUsed.fetch_add(rounded);
    return at + rounded <= sizeof bootstrap ? bootstrap + at : nullptr;
}

bool isBootstrap(const void* p) {
    return p >= bootstrap && p < bootstrap + sizeof bootstrap;
}

void resolve() {
    if (realMalloc.load() || resolving.exchange(true))
        return;
    realFree.store(reinterpret_cast<FreeFunction>(::dlsym(RTLD_NEXT, "free")));
    realCalloc.store(reinterpret_cast<CallocFunction>(::dlsym(RTLD_NEXT, "calloc")));
    realRealloc.store(reinterpret_cast<ReallocFunction>(::dlsym(RTLD_NEXT, "realloc")));
    realMalloc.store(reinterpret_cast<MallocFunction>(::dlsym(RTLD_NEXT, "malloc")));
}

// The lock every allocation passes; the holding thread never lets it go.
void passLock() {
    uint32_t expected = 0;
    while (!allocatorLock.compare_exchange_weak(expected, 1)) {
        ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&allocatorLock), FUTEX_WAIT_PRIVATE, 1, nullptr, nullptr, 0);
        expected = 0;
    }
    if (holdHere) {
        held.store(true);
        for (;;)
            ::pause();
    }
    allocatorLock.store(0);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&allocatorLock), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace

extern "C" {

__attribute__((noinline)) void probe_malloc_hold() {
    holdHere = true;
    void* never = ::malloc(16); // stops inside
    ::free(never);
}

bool probe_malloc_is_held() {
    return held.load();
}

void* malloc(size_t size) {
    resolve();
    const MallocFunction function = realMalloc.load();
    if (!function)
        return fromBootstrap(size);
    passLock();
    return function(size);
}

void free(void* p) {
    if (!p || isBootstrap(p))
        return;
    resolve();
    if (const FreeFunction function = realFree.load())
        function(p);
}

void* calloc(size_t count, size_t size) {
    resolve();
    const CallocFunction function = realCalloc.load();
    if (!function || !realMalloc.load()) {
        void* p = fromBootstrap(count * size);
        if (p)
            std::memset(p, 0, count * size);
        return p;
    }
    passLock();
    return function(count, size);
}

void* realloc(void* p, size_t size) {
    resolve();
    if (isBootstrap(p)) {
        void* moved = ::malloc(size);
        const size_t available = static_cast<size_t>(bootstrap + sizeof bootstrap - static_cast<char*>(p));
        if (moved)
            std::memcpy(moved, p, size < available ? size : available);
        return moved;
    }
    passLock();
    return realRealloc.load()(p, size);
}

} // extern "C"
