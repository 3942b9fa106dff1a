#pragma once
// Hand-built call-frame information for the unwinder's tests: bytes written straight into pages that are
// followed by an unmapped page, so pc-relative fields hold real addresses and a record that claims more
// than it has runs into memory that cannot be read.

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace dwarffixture {

class Pages {
public:
    explicit Pages(size_t pages = 1) : size_(pages * 4096) {
        void* p = mmap(nullptr, size_ + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<uint8_t*>(p);
        mprotect(base_ + size_, 4096, PROT_NONE);
    }
    ~Pages() { munmap(base_, size_ + 4096); }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;

    uintptr_t address(size_t offset = 0) const { return reinterpret_cast<uintptr_t>(base_) + offset; }
    uintptr_t end() const { return address(size_); } // the first unmapped byte
    uint8_t* bytes() const { return base_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    uint8_t* base_;
};

// Appends encoded values at a position in memory.
class Writer {
public:
    explicit Writer(uintptr_t at) : position_(at) {}
    uintptr_t position() const { return position_; }

    Writer& u8(uint8_t v) { return raw(&v, 1); }
    Writer& u16(uint16_t v) { return raw(&v, 2); }
    Writer& u32(uint32_t v) { return raw(&v, 4); }
    Writer& u64(uint64_t v) { return raw(&v, 8); }
    Writer& bytes(std::initializer_list<uint8_t> list) {
        for (uint8_t b : list)
            u8(b);
        return *this;
    }
    Writer& bytes(const std::vector<uint8_t>& list) {
        for (uint8_t b : list)
            u8(b);
        return *this;
    }
    Writer& uleb(uint64_t v) {
        do {
            uint8_t b = v & 0x7f;
            v >>= 7;
            u8(static_cast<uint8_t>(b | (v ? 0x80 : 0)));
        } while (v);
        return *this;
    }
    Writer& sleb(int64_t v) {
        for (;;) {
            uint8_t b = v & 0x7f;
            v >>= 7;
            const bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
            u8(static_cast<uint8_t>(b | (done ? 0 : 0x80)));
            if (done)
                return *this;
        }
    }
    Writer& pcrel32(uintptr_t target) {
        return u32(static_cast<uint32_t>(static_cast<int32_t>(static_cast<intptr_t>(target - position_))));
    }

private:
    Writer& raw(const void* p, size_t n) {
        std::memcpy(reinterpret_cast<void*>(position_), p, n);
        position_ += n;
        return *this;
    }
    uintptr_t position_;
};

inline std::vector<uint8_t> ulebBytes(uint64_t v) {
    std::vector<uint8_t> out;
    do {
        uint8_t b = v & 0x7f;
        v >>= 7;
        out.push_back(static_cast<uint8_t>(b | (v ? 0x80 : 0)));
    } while (v);
    return out;
}

struct CIEOptions {
    uint64_t returnAddressRegister = 16;
    int64_t dataAlignment = -8;
    std::vector<uint8_t> instructions = {0x0c, 0x07, 0x08, 0x90, 0x01}; // def_cfa rsp+8; rip at cfa-8
};

// A "zR" CIE (FDE encoding 0x1B, pc-relative signed 4-byte) at `at`; its end in `*end`.
inline uintptr_t writeCIE(uintptr_t at, const CIEOptions& options, uintptr_t* end) {
    Writer body(at + 4);
    body.u32(0).u8(1).bytes({'z', 'R', 0}).uleb(1).sleb(options.dataAlignment)
        .u8(static_cast<uint8_t>(options.returnAddressRegister)).uleb(1).u8(0x1B).bytes(options.instructions);
    const uint32_t length = static_cast<uint32_t>(body.position() - (at + 4));
    Writer(at).u32(length);
    *end = body.position();
    return at;
}

// An FDE for [pcBegin, pcBegin + range) with its CIE at `cie`.
inline uintptr_t writeFDE(uintptr_t at, uintptr_t cie, uintptr_t pcBegin, uint32_t range,
                          const std::vector<uint8_t>& instructions, uintptr_t* end) {
    Writer body(at + 4);
    body.u32(static_cast<uint32_t>(body.position() - cie));
    body.pcrel32(pcBegin);
    body.u32(range);
    body.uleb(0);
    body.bytes(instructions);
    const uint32_t length = static_cast<uint32_t>(body.position() - (at + 4));
    Writer(at).u32(length);
    *end = body.position();
    return at;
}

} // namespace dwarffixture
