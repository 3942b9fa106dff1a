#pragma once
// An asymmetric key: RSA key pairs the system generates and stores, and the RSA or EC public keys
// taken from server certificates for pinning.

#include "platform/security/OpenSSLHandles.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace plat {

enum class SecKeyType { rsa, ec };
enum class SecKeyClass { publicKey, privateKey };

class SecKey {
public:
    // A new RSA private key (the pair's public half comes from copyPublicKey); none outside 1024...8192 bits.
    static std::shared_ptr<SecKey> generateRSA(int bits);
    // RSA: PKCS#1 RSAPublicKey or RSAPrivateKey DER. EC public keys: the uncompressed point (04 || X || Y)
    // on P-256, P-384 or P-521. Anything else, or trailing bytes, give none.
    static std::shared_ptr<SecKey> createWithData(const std::vector<std::uint8_t>& data, SecKeyType type,
                                                  SecKeyClass keyClass);
    // Wraps an OpenSSL public key (a certificate's); none for key types other than RSA and EC.
    static std::shared_ptr<SecKey> fromPublicKey(EVP_PKEY* key);

    // The form createWithData takes; none for EC private keys, which the system never makes.
    std::optional<std::vector<std::uint8_t>> copyExternalRepresentation() const;
    std::shared_ptr<SecKey> copyPublicKey() const;

    SecKeyType keyType() const { return type_; }
    SecKeyClass keyClass() const { return class_; }
    int sizeInBits() const;
    // Bytes of the RSA modulus (the size of a signature or of one encrypted block).
    std::size_t blockSize() const;

    EVP_PKEY* evp() const { return key_.get(); }

    // Same type, class and key material.
    friend bool operator==(const SecKey& a, const SecKey& b);

private:
    SecKey(ossl::PKeyPtr key, SecKeyType type, SecKeyClass keyClass)
        : key_(std::move(key)), type_(type), class_(keyClass) {}
    ossl::PKeyPtr key_;
    SecKeyType type_;
    SecKeyClass class_;
};

} // namespace plat
