#include "kit_host/ZUVCertificatePinner.hpp"

#include "kit_host/ZUVPinnedCertificateData.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

const ZUVCertificateList& ZUVPinnedCertificates() {
    // Never destroyed: network clients read it until the process ends.
    static plat::NeverDestroyed<ZUVCertificateList> list([] {
        ZUVCertificateList made;
        for (const auto& blob : zuv_pinned::blobs()) {
            if (auto cert = ZUVCertificateFromBytes(blob.data(), blob.size()))
                made.push_back(std::move(cert));
        }
        return made;
    }());
    return *list;
}

std::shared_ptr<plat::SecCertificate> ZUVCertificateFromBytes(const uint8_t* bytes, std::size_t length) {
    if (!bytes || length == 0)
        return nullptr;
    return plat::SecCertificate::createWithData(std::vector<uint8_t>(bytes, bytes + length));
}

plat::OSStatus ZUVCertificatePinner::evaluateTrust(plat::SecTrust& trust, plat::SecTrustResultType& result) const {
    if (certificates_.empty()) {
        result = plat::SecTrustResultType::invalid;
        return plat::errSecSuccess;
    }
    plat::OSStatus status = trust.setAnchorCertificates(certificates_);
    if (status != plat::errSecSuccess) {
        result = plat::SecTrustResultType::fatalTrustFailure;
        return status;
    }
    status = trust.setAnchorCertificatesOnly(true);
    if (status != plat::errSecSuccess) {
        result = plat::SecTrustResultType::fatalTrustFailure;
        return status;
    }
    const plat::SecTrustEvaluation evaluation = trust.evaluate();
    if (evaluation.status != plat::errSecSuccess) {
        result = plat::SecTrustResultType::invalid;
        return evaluation.status;
    }
    result = evaluation.result;
    return plat::errSecSuccess;
}

bool ZUVCertificatePinner::handleChallenge(const plat::URLAuthenticationChallenge& challenge,
                                           const ChallengeCompletion& completion) const {
    const auto& trust = challenge.protectionSpace.serverTrust;
    plat::SecTrustResultType result = plat::SecTrustResultType::fatalTrustFailure;
    if (trust && evaluateTrust(*trust, result) != plat::errSecSuccess)
        result = plat::SecTrustResultType::fatalTrustFailure;
    if (trust && (result == plat::SecTrustResultType::proceed || result == plat::SecTrustResultType::unspecified)) {
        completion(plat::URLSessionAuthChallengeDisposition::useCredential, plat::URLCredential(trust));
        return true;
    }
    completion(plat::URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge, std::nullopt);
    return false;
}
