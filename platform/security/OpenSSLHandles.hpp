#pragma once
// Owning handles for the OpenSSL objects the security stand-ins hold.

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace plat::ossl {

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct StoreFree {
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};
struct PKeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};

using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;
using StackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;
using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree>;

} // namespace plat::ossl
