// Compiled with -O2 -fno-omit-frame-pointer -momit-leaf-frame-pointer and without call-frame information:
// the frame-pointer chain is the only way through these, and the parking leaf sets up no frame at all.
#include "crash/unwind/tests/UnwindChains.hpp"

namespace unwindchain {
namespace {

#define UNWINDCHAIN_FP_KEEP(x) asm volatile("" : "+r"(x))

void recordFramePointer(Recording* r, int depth, void* returnAddress) {
    r->returnAddresses[depth] = reinterpret_cast<uintptr_t>(returnAddress);
    if (r->count.load() < depth + 1)
        r->count.store(depth + 1);
}

__attribute__((noinline)) int framePark(Recording* r) {
    r->returnAddresses[0] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    r->parked.store(true);
    while (!r->release.load(std::memory_order_acquire))
        asm volatile("pause");
    return 1;
}

#define UNWINDCHAIN_FP_LINK(name, next, depth)                                                                \
    __attribute__((noinline)) int name(Recording* r) {                                                       \
        recordFramePointer(r, depth, __builtin_return_address(0));                                            \
        int v = next(r);                                                                                      \
        UNWINDCHAIN_FP_KEEP(v);                                                                               \
        return v + 1;                                                                                         \
    }

UNWINDCHAIN_FP_LINK(frameFifth, framePark, 1)
UNWINDCHAIN_FP_LINK(frameFourth, frameFifth, 2)
UNWINDCHAIN_FP_LINK(frameThird, frameFourth, 3)
UNWINDCHAIN_FP_LINK(frameSecond, frameThird, 4)
UNWINDCHAIN_FP_LINK(frameFirst, frameSecond, 5)
UNWINDCHAIN_FP_LINK(frameEntry, frameFirst, 6)

} // namespace

void* framePointerChain(void* recording) {
    frameEntry(static_cast<Recording*>(recording));
    return nullptr;
}

} // namespace unwindchain
