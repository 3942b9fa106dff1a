#include "devserver/Certificates.hpp"

#include "devserver/OpenSSLHandles.hpp"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace devserver {
namespace {

using ossl::BioFree;
using ossl::PKeyFree;
using ossl::X509Free;

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct ExtFree {
    void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;

[[noreturn]] void fail(const char* what) {
    unsigned long code = ERR_get_error();
    char text[256] = "no OpenSSL error";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    throw std::runtime_error(std::string("certificate generation: ") + what + ": " + text);
}

void check(int ok, const char* what) {
    if (ok <= 0) {
        fail(what);
    }
}

PKeyPtr newKey() {
    PKeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        fail("EC key");
    }
    return key;
}

bool isIpAddress(const std::string& name) {
    unsigned char buf[16];
    return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

void addExtension(X509* cert, X509V3_CTX& ctx, int nid, const std::string& value) {
    std::unique_ptr<X509_EXTENSION, ExtFree> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    if (!ext) {
        fail("extension");
    }
    check(X509_add_ext(cert, ext.get(), -1), "add extension");
}

struct Subject {
    std::string commonName;
    bool isCa = false;
    std::vector<std::string> altNames;
};

// Signs `key`'s certificate with `issuerKey`; a null issuer makes it self-signed.
X509Ptr makeCertificate(const Subject& subject, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
    X509Ptr cert(X509_new());
    if (!cert) {
        fail("X509_new");
    }
    check(X509_set_version(cert.get(), X509_VERSION_3), "version");

    // Random positive serials keep two runs' certificates from looking like one to a client cache.
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial), "serial");
    serial[0] &= 0x7f;
    std::unique_ptr<BIGNUM, BnFree> bn(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()))) {
        fail("serial");
    }

    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600)) {
        fail("validity");
    }
    check(X509_set_pubkey(cert.get(), key), "public key");

    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>("Portal Dev Server"), -1, -1, 0),
          "subject");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(subject.commonName.c_str()), -1,
                                     -1, 0),
          "subject");
    X509* signer = issuer ? issuer : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)), "issuer");

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
    if (subject.isCa) {
        addExtension(cert.get(), ctx, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), ctx, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), ctx, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), ctx, NID_ext_key_usage, "serverAuth");
    }
    addExtension(cert.get(), ctx, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), ctx, NID_authority_key_identifier, "keyid:always");
    if (!subject.altNames.empty()) {
        std::string sans;
        for (const auto& n : subject.altNames) {
            if (!sans.empty()) {
                sans += ',';
            }
            sans += (isIpAddress(n) ? "IP:" : "DNS:") + n;
        }
        addExtension(cert.get(), ctx, NID_subject_alt_name, sans);
    }

    check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()), "sign");
    return cert;
}

std::string toPem(X509* cert) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_X509(bio.get(), cert)) {
        fail("PEM certificate");
    }
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(len));
}

std::string toPem(EVP_PKEY* key) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) {
        fail("PEM key");
    }
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(len));
}

} // namespace

Certificates makeCertificates(CertificateMode mode, const std::vector<std::string>& names,
                              const std::string& wrongHostName) {
    PKeyPtr caKey = newKey();
    X509Ptr ca = makeCertificate({"Portal Dev Server Test CA", true, {}}, caKey.get(), nullptr, nullptr);

    PKeyPtr leafKey = newKey();
    X509Ptr leaf;
    switch (mode) {
    case CertificateMode::Trusted:
        leaf = makeCertificate({names.empty() ? "localhost" : names.front(), false, names}, leafKey.get(),
                               ca.get(), caKey.get());
        break;
    case CertificateMode::SelfSigned:
        leaf = makeCertificate({names.empty() ? "localhost" : names.front(), false, names}, leafKey.get(),
                               nullptr, nullptr);
        break;
    case CertificateMode::WrongHost:
        leaf = makeCertificate({wrongHostName, false, {wrongHostName}}, leafKey.get(), ca.get(), caKey.get());
        break;
    }
    return {toPem(ca.get()), toPem(leaf.get()), toPem(leafKey.get())};
}

} // namespace devserver
