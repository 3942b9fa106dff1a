#include "platform/security/SecKey.hpp"

#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/rsa.h>

namespace plat {
namespace {

std::optional<std::vector<std::uint8_t>> encode(EVP_PKEY* key, bool isPrivate) {
    unsigned char* buffer = nullptr;
    const int len = isPrivate ? i2d_PrivateKey(key, &buffer) : i2d_PublicKey(key, &buffer);
    if (len <= 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(buffer, buffer + len);
    OPENSSL_free(buffer);
    return out;
}

const char* curveForPointSize(std::size_t size) {
    switch (size) {
    case 65:
        return "prime256v1";
    case 97:
        return "secp384r1";
    case 133:
        return "secp521r1";
    default:
        return nullptr;
    }
}

ossl::PKeyPtr ecPublicFromPoint(const std::vector<std::uint8_t>& point) {
    const char* curve = curveForPointSize(point.size());
    if (!curve || point[0] != 0x04) {
        return nullptr;
    }
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) {
        return nullptr;
    }
    std::vector<std::uint8_t> pub = point;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(curve), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        return nullptr;
    }
    ossl::PKeyPtr owned(key);
    // fromdata does not check that the point lies on the curve.
    ossl::PKeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) {
        return nullptr;
    }
    return owned;
}

std::optional<std::vector<std::uint8_t>> ecPoint(EVP_PKEY* key) {
    std::size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &len) != 1 || len == 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(len);
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &len) != 1) {
        return std::nullopt;
    }
    out.resize(len);
    return out;
}

} // namespace

std::shared_ptr<SecKey> SecKey::generateRSA(int bits) {
    if (bits < 1024 || bits > 8192) {
        return nullptr;
    }
    ossl::PKeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!key) {
        return nullptr;
    }
    return std::shared_ptr<SecKey>(new SecKey(std::move(key), SecKeyType::rsa, SecKeyClass::privateKey));
}

std::shared_ptr<SecKey> SecKey::createWithData(const std::vector<std::uint8_t>& data, SecKeyType type,
                                               SecKeyClass keyClass) {
    if (data.empty()) {
        return nullptr;
    }
    ossl::PKeyPtr key;
    if (type == SecKeyType::ec) {
        if (keyClass != SecKeyClass::publicKey) {
            return nullptr;
        }
        key = ecPublicFromPoint(data);
    } else {
        const unsigned char* p = data.data();
        const long len = static_cast<long>(data.size());
        key.reset(keyClass == SecKeyClass::privateKey ? d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, len)
                                                      : d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, len));
        if (key && p != data.data() + data.size()) {
            key.reset();
        }
    }
    if (!key) {
        return nullptr;
    }
    return std::shared_ptr<SecKey>(new SecKey(std::move(key), type, keyClass));
}

std::shared_ptr<SecKey> SecKey::fromPublicKey(EVP_PKEY* key) {
    if (!key) {
        return nullptr;
    }
    SecKeyType type;
    if (EVP_PKEY_is_a(key, "RSA")) {
        type = SecKeyType::rsa;
    } else if (EVP_PKEY_is_a(key, "EC")) {
        type = SecKeyType::ec;
    } else {
        return nullptr;
    }
    // A copy holding the public half only, so equality never depends on where the key came from.
    const auto data = type == SecKeyType::rsa ? encode(key, false) : ecPoint(key);
    if (!data) {
        return nullptr;
    }
    return createWithData(*data, type, SecKeyClass::publicKey);
}

std::optional<std::vector<std::uint8_t>> SecKey::copyExternalRepresentation() const {
    if (type_ == SecKeyType::ec) {
        return class_ == SecKeyClass::publicKey ? ecPoint(key_.get()) : std::nullopt;
    }
    return encode(key_.get(), class_ == SecKeyClass::privateKey);
}

std::shared_ptr<SecKey> SecKey::copyPublicKey() const {
    const auto data = type_ == SecKeyType::rsa ? encode(key_.get(), false) : ecPoint(key_.get());
    if (!data) {
        return nullptr;
    }
    return createWithData(*data, type_, SecKeyClass::publicKey);
}

int SecKey::sizeInBits() const {
    return EVP_PKEY_get_bits(key_.get());
}

std::size_t SecKey::blockSize() const {
    const int size = EVP_PKEY_get_size(key_.get());
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

bool operator==(const SecKey& a, const SecKey& b) {
    if (a.type_ != b.type_ || a.class_ != b.class_) {
        return false;
    }
    if (a.class_ == SecKeyClass::publicKey) {
        return EVP_PKEY_eq(a.key_.get(), b.key_.get()) == 1;
    }
    return a.copyExternalRepresentation() == b.copyExternalRepresentation();
}

} // namespace plat
