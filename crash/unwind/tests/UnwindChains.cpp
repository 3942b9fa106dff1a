// Compiled with -O2 -fomit-frame-pointer: only the call-frame information can unwind these.
#include "crash/unwind/tests/UnwindChains.hpp"

#include <dlfcn.h>

#include <cstdlib>

namespace unwindchain {
namespace {

// Keeps a value alive across a call so the compiler can neither inline nor turn the call into a jump.
#define UNWINDCHAIN_KEEP(x) asm volatile("" : "+r"(x))

void record(Recording* r, int depth, void* returnAddress) {
    r->returnAddresses[depth] = reinterpret_cast<uintptr_t>(returnAddress);
    int expected = r->count.load();
    while (expected < depth + 1 && !r->count.compare_exchange_weak(expected, depth + 1)) {
    }
}

__attribute__((noinline)) int omitPark(Recording* r) {
    r->returnAddresses[0] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    r->parked.store(true);
    while (!r->release.load(std::memory_order_acquire))
        asm volatile("pause");
    return 1;
}

#define UNWINDCHAIN_LINK(name, next, depth)                                                                   \
    __attribute__((noinline)) int name(Recording* r) {                                                       \
        record(r, depth, __builtin_return_address(0));                                                        \
        int v = next(r);                                                                                      \
        UNWINDCHAIN_KEEP(v);                                                                                  \
        return v + 1;                                                                                         \
    }

UNWINDCHAIN_LINK(omitFifth, omitPark, 1)
UNWINDCHAIN_LINK(omitFourth, omitFifth, 2)
UNWINDCHAIN_LINK(omitThird, omitFourth, 3)
UNWINDCHAIN_LINK(omitSecond, omitThird, 4)
UNWINDCHAIN_LINK(omitFirst, omitSecond, 5)
UNWINDCHAIN_LINK(omitEntry, omitFirst, 6)

Recording* qsortRecording = nullptr;

__attribute__((noinline)) int qsortCompare(const void* a, const void* b) {
    Recording* r = qsortRecording;
    if (!r->parked.load()) {
        record(r, 1, __builtin_return_address(0));
        int v = omitPark(r);
        UNWINDCHAIN_KEEP(v);
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

__attribute__((noinline)) int qsortSorter(Recording* r) {
    record(r, 2, __builtin_return_address(0));
    int values[4] = {3, 1, 2, 0};
    qsortRecording = r;
    // The C library's own sort, not a sanitizer's wrapper around it.
    using Sort = void (*)(void*, size_t, size_t, int (*)(const void*, const void*));
    void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    auto sort = libc ? reinterpret_cast<Sort>(dlsym(libc, "qsort")) : nullptr;
    if (!sort)
        sort = std::qsort;
    sort(values, 4, sizeof values[0], qsortCompare);
    if (libc)
        dlclose(libc);
    int v = values[0];
    UNWINDCHAIN_KEEP(v);
    return v + 1;
}

UNWINDCHAIN_LINK(qsortEntry, qsortSorter, 3)

__attribute__((noinline)) int recurse(Recording* r, int level) {
    record(r, level + 1, __builtin_return_address(0));
    int v = level == 0 ? omitPark(r) : recurse(r, level - 1);
    UNWINDCHAIN_KEEP(v);
    return v + 1;
}

__attribute__((noinline)) int recursionEntry(Recording* r) {
    record(r, 31, __builtin_return_address(0));
    int v = recurse(r, 29);
    UNWINDCHAIN_KEEP(v);
    return v + 1;
}

} // namespace

void* omitFramePointerChain(void* recording) {
    omitEntry(static_cast<Recording*>(recording));
    return nullptr;
}

void* qsortChain(void* recording) {
    qsortEntry(static_cast<Recording*>(recording));
    return nullptr;
}

void* recursionChain(void* recording) {
    recursionEntry(static_cast<Recording*>(recording));
    return nullptr;
}

uintptr_t qsortSorterAddress() {
    return reinterpret_cast<uintptr_t>(&qsortSorter);
}

} // namespace unwindchain
