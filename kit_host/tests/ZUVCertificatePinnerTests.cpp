// The pinned root certificates and the pinner's decision on server trusts built the way the URL session
// builds them (the chain with an SSL policy for the host): only a chain ending in a pinned root, for the
// right host, is accepted.

#include "kit_host/ZUVCertificatePinner.hpp"
#include "kit_host/tests/PemCertificate.hpp"

#include "devserver/Certificates.hpp"
#include "platform/security/SecPolicy.hpp"

#include <gtest/gtest.h>

namespace {

// Each pinned root: its subject common name and DER length, in the pinned order.
struct PinnedRoot {
    const char* commonName;
    std::size_t derLength;
};
constexpr PinnedRoot kExpectedPinnedRoots[] = {
    {"AddTrust External CA Root", 1082},
    {"Entrust Root Certification Authority", 1173},
    {"DigiCert High Assurance EV Root CA", 969},
    {"VeriSign Class 3 Public Primary Certification Authority - G5", 1239},
    {"VeriSign Class 1 Public Primary Certification Authority - G3", 1054},
    {"VeriSign Class 2 Public Primary Certification Authority - G3", 1053},
    {"VeriSign Class 3 Public Primary Certification Authority - G3", 1054},
    {"VeriSign Class 4 Public Primary Certification Authority - G3", 1054},
};

TEST(ZUVCertificatePinner, ThePinnedRootsAreTheEightInTheirOrder) {
    const auto& roots = ZUVPinnedCertificates();
    ASSERT_EQ(roots.size(), std::size(kExpectedPinnedRoots));
    for (std::size_t i = 0; i < roots.size(); ++i) {
        EXPECT_EQ(roots[i]->subjectSummary(), kExpectedPinnedRoots[i].commonName) << i;
        EXPECT_EQ(roots[i]->copyData().size(), kExpectedPinnedRoots[i].derLength) << i;
    }
    EXPECT_EQ(&ZUVPinnedCertificates(), &roots) << "made once";
    EXPECT_FALSE(ZUVCertificateFromBytes(nullptr, 0));
    const uint8_t junk[] = {0x30, 0x03, 0x02, 0x01};
    EXPECT_FALSE(ZUVCertificateFromBytes(junk, sizeof junk));
}

struct Decision {
    bool accepted = false;
    std::optional<plat::URLSessionAuthChallengeDisposition> disposition;
    bool credentialHasTrust = false;
};

Decision decide(const ZUVCertificatePinner& pinner, std::shared_ptr<plat::SecTrust> trust) {
    plat::URLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = "api.example.test";
    challenge.protectionSpace.authenticationMethod = plat::NSURLAuthenticationMethodServerTrust;
    challenge.protectionSpace.serverTrust = std::move(trust);
    Decision d;
    d.accepted = pinner.handleChallenge(challenge, [&d](plat::URLSessionAuthChallengeDisposition disposition,
                                                        std::optional<plat::URLCredential> credential) {
        d.disposition = disposition;
        d.credentialHasTrust = credential && credential->serverTrust();
    });
    return d;
}

TEST(ZUVCertificatePinner, OnlyAChainEndingInAPinnedRootForTheHostIsAccepted) {
    const std::vector<std::string> names{"*.example.test"};
    const auto trusted = devserver::makeCertificates(devserver::CertificateMode::Trusted, names, "unrelated.invalid");
    const auto wrongHost = devserver::makeCertificates(devserver::CertificateMode::WrongHost, names, "unrelated.invalid");
    const auto selfSigned = devserver::makeCertificates(devserver::CertificateMode::SelfSigned, names, "unrelated.invalid");
    auto trustFor = [](const devserver::Certificates& c) {
        auto made = plat::SecTrust::create({pemCertificate(c.leafPem)}, {plat::SecPolicy::ssl(true, "api.example.test")});
        EXPECT_EQ(made.status, plat::errSecSuccess);
        return made.trust;
    };
    const ZUVCertificatePinner pinsTestCA({pemCertificate(trusted.caPem)});
    const ZUVCertificatePinner pinsRoots(ZUVPinnedCertificates());
    const ZUVCertificatePinner pinsNothing({});
    using D = plat::URLSessionAuthChallengeDisposition;

    auto ok = decide(pinsTestCA, trustFor(trusted));
    EXPECT_TRUE(ok.accepted);
    EXPECT_EQ(ok.disposition, D::useCredential);
    EXPECT_TRUE(ok.credentialHasTrust);

    struct Refused {
        const char* what;
        const ZUVCertificatePinner& pinner;
        std::shared_ptr<plat::SecTrust> trust;
    };
    const Refused refused[] = {
        {"root outside the pinned ones", pinsRoots, trustFor(trusted)},
        {"certificate for another host", ZUVCertificatePinner({pemCertificate(wrongHost.caPem)}), trustFor(wrongHost)},
        {"self-signed leaf", pinsTestCA, trustFor(selfSigned)},
        {"empty pin list", pinsNothing, trustFor(trusted)},
        {"no server trust", pinsTestCA, nullptr},
    };
    for (const auto& r : refused) {
        auto d = decide(r.pinner, r.trust);
        EXPECT_FALSE(d.accepted) << r.what;
        EXPECT_EQ(d.disposition, D::cancelAuthenticationChallenge) << r.what;
        EXPECT_FALSE(d.credentialHasTrust) << r.what;
    }

    plat::SecTrustResultType result = plat::SecTrustResultType::proceed;
    EXPECT_EQ(pinsNothing.evaluateTrust(*trustFor(trusted), result), plat::errSecSuccess);
    EXPECT_EQ(result, plat::SecTrustResultType::invalid);
}

} // namespace
