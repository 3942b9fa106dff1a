#include "platform/foundation/UUID.hpp"

#include "platform/foundation/Random.hpp"
#include "platform/foundation/String.hpp"

namespace plat {

UUID UUID::random() {
    std::array<uint8_t, 16> b{};
    uint64_t hi = Random::u64(), lo = Random::u64();
    for (int i = 0; i < 8; ++i) {
        b[static_cast<size_t>(i)] = static_cast<uint8_t>(hi >> (8 * i));
        b[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(lo >> (8 * i));
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    return UUID(b);
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    std::array<uint8_t, 16> b{};
    size_t byte = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            ++i;
            continue;
        }
        int v[2];
        for (int k = 0; k < 2; ++k) {
            v[k] = String::hexDigitValue(text[i + static_cast<size_t>(k)]);
            if (v[k] < 0) {
                return std::nullopt;
            }
        }
        b[byte++] = static_cast<uint8_t>(v[0] * 16 + v[1]);
        i += 2;
    }
    return UUID(b);
}

std::string UUID::uuidString() const {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        out += hex[bytes_[i] >> 4];
        out += hex[bytes_[i] & 15];
    }
    return out;
}

} // namespace plat
