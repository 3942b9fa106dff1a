#pragma once
// plat::UUID: 128-bit identifiers, version 4 from plat::Random, written upper-case 8-4-4-4-12.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class UUID {
public:
    UUID() = default; // all zero
    explicit UUID(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

    static UUID random();
    // Either case; exactly the 8-4-4-4-12 shape.
    static std::optional<UUID> parse(std::string_view text);

    std::string uuidString() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }

    bool operator==(const UUID&) const = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

} // namespace plat
