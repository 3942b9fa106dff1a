#pragma once
// Deleters that let std::unique_ptr own the OpenSSL objects the server and its certificates hold.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace devserver::ossl {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PKeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

} // namespace devserver::ossl
