#pragma once
// A small certificate authority made at test time: a root, an optional intermediate and leaves for host
// names, valid around plat::Clock's current time.

#include "platform/dispatch/Clock.hpp"
#include "platform/security/OpenSSLHandles.hpp"
#include "platform/security/SecCertificate.hpp"

#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

namespace plat::testcerts {

struct Issued {
    ossl::PKeyPtr key;
    ossl::X509Ptr cert;

    std::shared_ptr<SecCertificate> sec() const { return SecCertificate::fromX509(cert.get()); }
};

inline ossl::PKeyPtr makeKey(bool ec = false) {
    // 1024-bit RSA keeps test start-up short; nothing here depends on the key size.
    ossl::PKeyPtr key(ec ? EVP_EC_gen("prime256v1") : EVP_RSA_gen(1024));
    if (!key) {
        throw std::runtime_error("key generation failed");
    }
    return key;
}

inline void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) {
        throw std::runtime_error("bad extension");
    }
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// `validFrom`/`validFor` are seconds relative to Clock::now().
inline Issued issue(const std::string& commonName, const Issued* issuer, bool isCA,
                    const std::string& dnsName = {}, bool ec = false, double validFrom = -86400,
                    double validFor = 2 * 86400) {
    static long serial = 1;
    Issued out{makeKey(ec), ossl::X509Ptr(X509_new())};
    X509* cert = out.cert.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    const time_t now = static_cast<time_t>(std::floor(Clock::now()));
    ASN1_TIME_set(X509_getm_notBefore(cert), now + static_cast<time_t>(validFrom));
    ASN1_TIME_set(X509_getm_notAfter(cert), now + static_cast<time_t>(validFrom + validFor));
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Portal Test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->cert.get()) : name);
    X509_set_pubkey(cert, out.key.get());
    X509* issuerCert = issuer ? issuer->cert.get() : cert;
    if (isCA) {
        addExtension(cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert, issuerCert, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, issuerCert, NID_ext_key_usage, "serverAuth");
        if (!dnsName.empty()) {
            addExtension(cert, issuerCert, NID_subject_alt_name, ("DNS:" + dnsName).c_str());
        }
    }
    addExtension(cert, issuerCert, NID_subject_key_identifier, "hash");
    if (!X509_sign(cert, issuer ? issuer->key.get() : out.key.get(), EVP_sha256())) {
        throw std::runtime_error("signing failed");
    }
    return out;
}

} // namespace plat::testcerts
