#pragma once
// The certificates the devserver presents: a per-run test CA and a leaf for the
// names it serves, plus deliberately bad leaves for testing clients' trust checks.

#include <string>
#include <vector>

namespace devserver {

enum class CertificateMode {
    Trusted,    // leaf for the served names, signed by the test CA
    SelfSigned, // leaf for the served names, signed by itself: no client trusting the CA accepts it
    WrongHost,  // leaf signed by the test CA, but for an unrelated name
};

struct Certificates {
    std::string caPem;   // the test CA certificate, the trust anchor handed to clients
    std::string leafPem; // the certificate the server presents
    std::string keyPem;  // the leaf's private key (PKCS#8)
};

// Generates a fresh CA and leaf (EC P-256, valid from an hour ago for 30 days).
// `names` become subjectAltName entries: IP addresses as IP entries, anything else
// as DNS names. In WrongHost mode the leaf names only `wrongHostName`.
// Throws std::runtime_error when OpenSSL fails.
Certificates makeCertificates(CertificateMode mode, const std::vector<std::string>& names,
                              const std::string& wrongHostName);

} // namespace devserver
