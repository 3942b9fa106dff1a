#pragma once
// An X.509 certificate as the device hands it around: made from DER, read back as DER.

#include "platform/security/OpenSSLHandles.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

class SecCertificate {
public:
    // DER only, with nothing after the certificate; PEM text and anything else give none.
    static std::shared_ptr<SecCertificate> createWithData(const std::vector<std::uint8_t>& der);
    // Takes a reference of its own to an OpenSSL certificate (the TLS layer's chain).
    static std::shared_ptr<SecCertificate> fromX509(X509* cert);

    std::vector<std::uint8_t> copyData() const;
    // The subject's common name, else its organisation, else the whole subject as one line.
    std::string subjectSummary() const;

    X509* x509() const { return cert_.get(); }

    friend bool operator==(const SecCertificate& a, const SecCertificate& b);

private:
    explicit SecCertificate(ossl::X509Ptr cert) : cert_(std::move(cert)) {}
    ossl::X509Ptr cert_;
};

} // namespace plat
