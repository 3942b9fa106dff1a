#pragma once
// The DER bytes of the pinned root certificates (kit_host/pinned/), compiled into the library at build
// time, in the order the pinner uses them.

#include <cstdint>
#include <span>
#include <vector>

namespace zuv_pinned {

std::vector<std::span<const std::uint8_t>> blobs();

} // namespace zuv_pinned
