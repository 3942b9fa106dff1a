#pragma once
// A server's certificate chain with the policies and anchors to judge it by. Evaluation builds an
// OpenSSL store from the system CA bundle, the extra CA file of PORTAL_APP_CA_FILE and the anchors
// (or the anchors alone), at the time plat::Clock gives.

#include "platform/security/SecBase.hpp"
#include "platform/security/SecCertificate.hpp"
#include "platform/security/SecKey.hpp"
#include "platform/security/SecPolicy.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

enum class SecTrustResultType : std::uint32_t {
    invalid = 0,
    proceed = 1,
    deny = 3,
    unspecified = 4,
    recoverableTrustFailure = 5,
    fatalTrustFailure = 6,
    otherError = 7,
};

struct SecTrustEvaluation {
    OSStatus status = errSecSuccess;
    SecTrustResultType result = SecTrustResultType::invalid;
    // OpenSSL's reason for a failure, for logs; empty on success.
    std::string failureReason;
};

class SecTrust {
public:
    // `chain` is leaf first. Null entries are refused (errSecParam); an empty chain is accepted and
    // evaluates as a fatal failure. No policies means basic X.509.
    struct Created {
        OSStatus status;
        std::shared_ptr<SecTrust> trust;
    };
    static Created create(std::vector<std::shared_ptr<SecCertificate>> chain,
                          std::vector<std::shared_ptr<SecPolicy>> policies);

    OSStatus setPolicies(std::vector<std::shared_ptr<SecPolicy>> policies);
    std::vector<std::shared_ptr<SecPolicy>> policies() const;
    // As on the device, setting anchors also restricts evaluation to them until
    // setAnchorCertificatesOnly(false) is called.
    OSStatus setAnchorCertificates(std::vector<std::shared_ptr<SecCertificate>> anchors);
    OSStatus setAnchorCertificatesOnly(bool anchorsOnly);

    std::size_t certificateCount() const;
    // None past the end.
    std::shared_ptr<SecCertificate> certificateAt(std::size_t index) const;
    // The leaf's public key (RSA or EC); none for an empty chain or another key type.
    std::shared_ptr<SecKey> copyPublicKey() const;

    SecTrustEvaluation evaluate() const;

private:
    SecTrust() = default;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SecCertificate>> chain_;
    std::vector<std::shared_ptr<SecPolicy>> policies_;
    std::vector<std::shared_ptr<SecCertificate>> anchors_;
    bool anchorsOnly_ = false;
};

} // namespace plat
