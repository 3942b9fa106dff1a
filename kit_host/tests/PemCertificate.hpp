#pragma once
// A certificate from PEM text (devserver hands out its CA and leaf as PEM).

#include "platform/security/SecCertificate.hpp"

#include <openssl/pem.h>

#include <memory>
#include <string>

inline std::shared_ptr<plat::SecCertificate> pemCertificate(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> x(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
    return x ? plat::SecCertificate::fromX509(x.get()) : nullptr;
}
