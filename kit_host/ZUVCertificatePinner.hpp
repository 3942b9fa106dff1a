#pragma once
// Anchor pinning for the kit host's connections: the server trust of a TLS challenge is judged with the
// pinned root certificates as its only anchors. The trust the URL session hands over carries an SSL policy
// for the host, so a certificate for another host never passes. The kit host builds the pinned roots once
// and hands them to every network client of the system.

#include "platform/net/URLCredential.hpp"
#include "platform/net/URLSessionDelegate.hpp"
#include "platform/security/SecCertificate.hpp"
#include "platform/security/SecTrust.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

using ZUVCertificateList = std::vector<std::shared_ptr<plat::SecCertificate>>;

// The eight pinned root certificates, made once, in their fixed order.
const ZUVCertificateList& ZUVPinnedCertificates();
// One certificate from DER bytes; none for anything else.
std::shared_ptr<plat::SecCertificate> ZUVCertificateFromBytes(const uint8_t* bytes, std::size_t length);

class ZUVCertificatePinner {
public:
    using ChallengeCompletion = plat::URLSessionDelegate::ChallengeCompletion;

    explicit ZUVCertificatePinner(ZUVCertificateList certificates) : certificates_(std::move(certificates)) {}

    const ZUVCertificateList& certificates() const { return certificates_; }

    // Sets the certificates as the trust's only anchors and evaluates it. Without certificates the result
    // is invalid (0) with status 0; a failure to set the anchors gives a fatal failure (6) and its status.
    plat::OSStatus evaluateTrust(plat::SecTrust& trust, plat::SecTrustResultType& result) const;

    // Proceed (1) or unspecified (4) completes with a credential for the trust and answers true; anything
    // else (no server trust, another result, a failed evaluation) cancels the challenge and answers false.
    bool handleChallenge(const plat::URLAuthenticationChallenge& challenge, const ChallengeCompletion& completion) const;

    static std::shared_ptr<plat::SecCertificate> createCertificationWithData(const uint8_t* bytes, std::size_t length) {
        return ZUVCertificateFromBytes(bytes, length);
    }

private:
    const ZUVCertificateList certificates_;
};
