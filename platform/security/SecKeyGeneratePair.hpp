#pragma once
// The device's key-pair generation: a new RSA pair whose halves, when asked, are stored as permanent key
// items of the keychain.

#include "platform/foundation/Value.hpp"
#include "platform/security/SecBase.hpp"
#include "platform/security/SecKey.hpp"

#include <memory>

namespace plat {

inline constexpr const char* kSecAttrKeySizeInBits = "bsiz";
inline constexpr const char* kSecPrivateKeyAttrs = "private";
inline constexpr const char* kSecPublicKeyAttrs = "public";

struct SecKeyPairResult {
    OSStatus status = errSecSuccess;
    std::shared_ptr<SecKey> publicKey;
    std::shared_ptr<SecKey> privateKey;
};

// Parameters: kSecAttrKeyType (RSA only; errSecParam otherwise), kSecAttrKeySizeInBits, and per half a
// dictionary under kSecPrivateKeyAttrs / kSecPublicKeyAttrs. A half whose attributes hold kSecAttrIsPermanent
// true is added as a key item with its attributes (application tag, label, ...), key type and key class; the
// private half first. When the second add fails the first item is removed again, so a failure leaves no
// item behind. Keychain faults of the adds apply.
SecKeyPairResult SecKeyGeneratePair(const Dictionary& parameters);

} // namespace plat
