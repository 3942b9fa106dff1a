#include "platform/foundation/Random.hpp"

#include <cerrno>
#include <exception>
#include <mutex>
#include <optional>
#include <sys/random.h>

#include "platform/foundation/Faults.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

namespace plat {

namespace {

// A seeded generator for tests (xoshiro256**, seeded through splitmix64).
class Seeded {
public:
    explicit Seeded(uint64_t s) {
        for (auto& w : state_) {
            s += 0x9e3779b97f4a7c15ULL;
            uint64_t z = s;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            w = z ^ (z >> 31);
        }
    }
    uint64_t next() {
        auto rotl = [](uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
        uint64_t result = rotl(state_[1] * 5, 7) * 9;
        uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

private:
    uint64_t state_[4];
};

struct Source {
    std::mutex mutex;
    std::optional<Seeded> seeded;
};

Source& source() {
    static NeverDestroyed<Source> s;
    return *s;
}

bool kernelFill(uint8_t* out, size_t n) {
    while (n > 0) {
        ssize_t got = ::getrandom(out, n, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        out += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Draws raw bytes from the seeded generator or the kernel; no fault check.
bool draw(uint8_t* out, size_t n) {
    Source& s = source();
    {
        std::lock_guard lock(s.mutex);
        if (s.seeded) {
            for (size_t i = 0; i < n; i += 8) {
                uint64_t w = s.seeded->next();
                for (size_t k = 0; k < 8 && i + k < n; ++k) {
                    out[i + k] = static_cast<uint8_t>(w >> (8 * k));
                }
            }
            return true;
        }
    }
    return kernelFill(out, n);
}

uint64_t drawU64() {
    uint64_t v = 0;
    uint8_t b[8];
    if (!draw(b, sizeof b)) {
        // getrandom does not fail once the pool is initialised; there is no caller
        // that could handle an error from a plain number draw.
        std::terminate();
    }
    for (int k = 0; k < 8; ++k) {
        v |= static_cast<uint64_t>(b[k]) << (8 * k);
    }
    return v;
}

} // namespace

uint32_t Random::u32() {
    return static_cast<uint32_t>(drawU64() >> 32);
}
uint64_t Random::u64() {
    return drawU64();
}

uint32_t Random::uniform(uint32_t n) {
    if (n < 2) {
        return 0;
    }
    // Reject the low values that would make the modulo uneven.
    uint32_t min = static_cast<uint32_t>(-n) % n;
    while (true) {
        uint32_t r = u32();
        if (r >= min) {
            return r % n;
        }
    }
}

double Random::unit() {
    return static_cast<double>(drawU64() >> 11) * 0x1.0p-53;
}

bool Random::fill(void* out, size_t n) {
    if (sim::Faults::check("random.bytes", "")) {
        return false;
    }
    return draw(static_cast<uint8_t*>(out), n);
}

Result<Data> Random::bytes(size_t n) {
    if (auto e = sim::Faults::check("random.bytes", "")) {
        return Error(NSOSStatusErrorDomain, *e);
    }
    Data d(n);
    if (!draw(d.data(), n)) {
        return Error(NSOSStatusErrorDomain, -1);
    }
    return d;
}

void Random::seed(uint64_t s) {
    std::lock_guard lock(source().mutex);
    source().seeded.emplace(s);
}

void Random::unseed() {
    std::lock_guard lock(source().mutex);
    source().seeded.reset();
}

} // namespace plat
