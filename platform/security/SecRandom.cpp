#include "platform/security/SecRandom.hpp"

#include "platform/foundation/Random.hpp"

namespace plat {

OSStatus SecRandomCopyBytes(std::size_t count, void* bytes) {
    if (count == 0) {
        return errSecSuccess;
    }
    if (!bytes) {
        return errSecParam;
    }
    return Random::fill(bytes, count) ? errSecSuccess : -1;
}

} // namespace plat
