#include "platform/foundation/Digest.hpp"

#include <openssl/evp.h>
#include <stdexcept>

namespace plat {

namespace {
const EVP_MD* mdFor(Digest::Algorithm a) {
    switch (a) {
    case Digest::Algorithm::MD5:
        return EVP_md5();
    case Digest::Algorithm::SHA1:
        return EVP_sha1();
    case Digest::Algorithm::SHA256:
        return EVP_sha256();
    }
    return EVP_sha256();
}

std::span<const uint8_t> bytesOf(std::string_view s) {
    return std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
} // namespace

struct Digest::Impl {
    const EVP_MD* md;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};

    explicit Impl(const EVP_MD* m) : md(m) {
        if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
            throw std::runtime_error("digest unavailable");
        }
    }
};

Digest::Digest(Algorithm a) : impl_(std::make_unique<Impl>(mdFor(a))) {}
Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::update(std::span<const uint8_t> bytes) {
    if (!bytes.empty()) {
        EVP_DigestUpdate(impl_->ctx.get(), bytes.data(), bytes.size());
    }
}

void Digest::update(std::string_view bytes) {
    update(bytesOf(bytes));
}

Data Digest::finish() {
    Data out(static_cast<size_t>(EVP_MD_get_size(impl_->md)));
    unsigned len = 0;
    EVP_DigestFinal_ex(impl_->ctx.get(), out.data(), &len);
    out.resize(len);
    EVP_DigestInit_ex(impl_->ctx.get(), impl_->md, nullptr);
    return out;
}

namespace {
Data oneShot(Digest::Algorithm a, std::span<const uint8_t> bytes) {
    Digest d(a);
    d.update(bytes);
    return d.finish();
}
} // namespace

Data Digest::md5(std::span<const uint8_t> b) {
    return oneShot(Algorithm::MD5, b);
}
Data Digest::sha1(std::span<const uint8_t> b) {
    return oneShot(Algorithm::SHA1, b);
}
Data Digest::sha256(std::span<const uint8_t> b) {
    return oneShot(Algorithm::SHA256, b);
}
Data Digest::md5(std::string_view b) {
    return oneShot(Algorithm::MD5, bytesOf(b));
}
Data Digest::sha1(std::string_view b) {
    return oneShot(Algorithm::SHA1, bytesOf(b));
}
Data Digest::sha256(std::string_view b) {
    return oneShot(Algorithm::SHA256, bytesOf(b));
}

} // namespace plat
