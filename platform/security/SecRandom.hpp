#pragma once
// Secure random bytes as the device hands them out, drawn through plat::Random (seeded in tests).

#include "platform/security/SecBase.hpp"

#include <cstddef>

namespace plat {

// Fills `count` bytes at `bytes`; errSecSuccess, or -1 when the source fails (nothing is promised
// about the buffer then). A null buffer with a non-zero count is errSecParam.
OSStatus SecRandomCopyBytes(std::size_t count, void* bytes);

} // namespace plat
