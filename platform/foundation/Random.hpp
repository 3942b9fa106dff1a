#pragma once
// plat::Random: every random draw of the system. Production draws from the kernel
// (getrandom); a test calls Random::seed(s) for a fixed, repeatable sequence.

#include <cstddef>
#include <cstdint>

#include "platform/foundation/Error.hpp"

namespace plat {

class Random {
public:
    static uint32_t u32();
    static uint64_t u64();
    // Uniform in [0, n) without modulo bias; 0 for n == 0.
    static uint32_t uniform(uint32_t n);
    // Uniform in [0, 1) with 53 random bits.
    static double unit();
    // `n` random bytes; fails (NSOSStatusErrorDomain) when the "random.bytes" fault is armed
    // or the kernel source fails.
    static Result<Data> bytes(size_t n);
    // Fills `out`; false on failure, as above.
    static bool fill(void* out, size_t n);

    // From now on every draw comes from a deterministic generator seeded with `s`.
    static void seed(uint64_t s);
    // Back to the kernel source.
    static void unseed();
};

} // namespace plat
