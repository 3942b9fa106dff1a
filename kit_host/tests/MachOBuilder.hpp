#pragma once
// Builds small executable images for the reader's tests: thin 32/64-bit images (optionally byte-swapped)
// with chosen load commands, and fat files that hold several of them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace machotest {

using Bytes = std::vector<uint8_t>;

struct Command {
    uint32_t type;
    Bytes body; // everything after type and size
};

inline void put32(Bytes& out, uint32_t v, bool swapped = false) {
    if (swapped)
        v = __builtin_bswap32(v);
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + 4);
}

inline void putBig32(Bytes& out, uint32_t v) {
    for (int shift : {24, 16, 8, 0})
        out.push_back(static_cast<uint8_t>(v >> shift));
}

class Image {
public:
    Image(int32_t cputype, int32_t cpusubtype, bool is64 = true, bool swapped = false)
        : cputype_(cputype), cpusubtype_(cpusubtype), is64_(is64), swapped_(swapped) {}

    Image& uuid(const std::array<uint8_t, 16>& bytes) {
        return add(27, Bytes(bytes.begin(), bytes.end()));
    }
    Image& versionMin(uint32_t type, uint32_t version, uint32_t sdk) {
        Bytes body;
        put32(body, version, swapped_);
        put32(body, sdk, swapped_);
        return add(type, body);
    }
    Image& dylib(const std::string& path) {
        Bytes body;
        put32(body, 24, swapped_); // path offset from the command's start
        put32(body, 0, swapped_);  // timestamp
        put32(body, 0, swapped_);  // current version
        put32(body, 0, swapped_);  // compatibility version
        body.insert(body.end(), path.begin(), path.end());
        body.push_back(0);
        while ((body.size() + 8) % 8 != 0)
            body.push_back(0);
        return add(12, body);
    }
    Image& encryption(uint32_t cryptid) {
        Bytes body;
        put32(body, 0, swapped_);
        put32(body, 0, swapped_);
        put32(body, cryptid, swapped_);
        return add(33, body);
    }
    Image& add(uint32_t type, Bytes body) {
        commands_.push_back({type, std::move(body)});
        return *this;
    }
    // Overrides the command count written in the header (hostile counts).
    Image& commandCount(uint32_t count) {
        count_ = count;
        return *this;
    }

    Bytes bytes() const {
        Bytes out;
        const uint32_t magic = is64_ ? 0xFEEDFACF : 0xFEEDFACE;
        put32(out, magic, swapped_);
        put32(out, static_cast<uint32_t>(cputype_), swapped_);
        put32(out, static_cast<uint32_t>(cpusubtype_), swapped_);
        put32(out, 2, swapped_); // file type: executable
        uint32_t total = 0;
        for (const auto& c : commands_)
            total += static_cast<uint32_t>(c.body.size() + 8);
        put32(out, count_ ? *count_ : static_cast<uint32_t>(commands_.size()), swapped_);
        put32(out, total, swapped_);
        put32(out, 0, swapped_); // flags
        if (is64_)
            put32(out, 0, swapped_);
        for (const auto& c : commands_) {
            put32(out, c.type, swapped_);
            put32(out, static_cast<uint32_t>(c.body.size() + 8), swapped_);
            out.insert(out.end(), c.body.begin(), c.body.end());
        }
        return out;
    }

private:
    int32_t cputype_;
    int32_t cpusubtype_;
    bool is64_;
    bool swapped_;
    std::optional<uint32_t> count_;
    std::vector<Command> commands_;
};

struct FatEntry {
    int32_t cputype;
    int32_t cpusubtype;
    Bytes image;
};

// Slices start on 16-byte boundaries after the entry table; `padding` extra bytes go after each slice.
inline Bytes fat(const std::vector<FatEntry>& entries, size_t padding = 0) {
    Bytes out;
    putBig32(out, 0xCAFEBABE);
    putBig32(out, static_cast<uint32_t>(entries.size()));
    size_t offset = 8 + 20 * entries.size();
    std::vector<size_t> offsets;
    for (const auto& e : entries) {
        offset = (offset + 15) & ~size_t{15};
        offsets.push_back(offset);
        offset += e.image.size() + padding;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        putBig32(out, static_cast<uint32_t>(entries[i].cputype));
        putBig32(out, static_cast<uint32_t>(entries[i].cpusubtype));
        putBig32(out, static_cast<uint32_t>(offsets[i]));
        putBig32(out, static_cast<uint32_t>(entries[i].image.size()));
        putBig32(out, 4);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        out.resize(offsets[i], 0);
        out.insert(out.end(), entries[i].image.begin(), entries[i].image.end());
        out.resize(out.size() + padding, 0);
    }
    return out;
}

inline constexpr int32_t kARM = 12;
inline constexpr int32_t kARM64 = 0x0100000C;
inline constexpr int32_t kX86_64 = 0x01000007;

inline const std::array<uint8_t, 16> kUUIDUp = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                               0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
inline const std::array<uint8_t, 16> kUUIDDown = {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88,
                                                 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};

// The universal executable of the identity tests: arm64 (UUID 0011…eeff, iOS 10.3.1, SDK 11.0.0) and armv7
// (UUID ffee…1100).
inline Bytes universalApp() {
    return fat({{kARM64, 0,
                 Image(kARM64, 0)
                     .uuid(kUUIDUp)
                     .versionMin(37, 0x000A0301, 0x000B0000)
                     .dylib("/usr/lib/libSystem.B.dylib")
                     .bytes()},
                {kARM, 9, Image(kARM, 9, false).uuid(kUUIDDown).dylib("/usr/lib/libobjc.A.dylib").bytes()}});
}

} // namespace machotest
