#include "platform/security/SecTrust.hpp"

#include "platform/security/tests/TestCertificates.hpp"

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <cstdio>
#include <string>

namespace plat {
namespace {

using testcerts::issue;

class SecTrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The host's own CA bundle and extra CA file must not decide these cases.
        unsetenv("PORTAL_APP_CA_FILE");
    }

    // EC keys for the authorities keep key generation cheap; the leaf is RSA as most servers' are.
    testcerts::Issued root = issue("Test Root", nullptr, true, {}, true);
    testcerts::Issued intermediate = issue("Test Intermediate", &root, true, {}, true);
    testcerts::Issued leaf = issue("portal.example.test", &intermediate, false, "portal.example.test");

    std::shared_ptr<SecTrust> trustFor(const std::string& host,
                                       std::vector<std::shared_ptr<SecCertificate>> chain) {
        auto created = SecTrust::create(std::move(chain), {SecPolicy::ssl(true, host)});
        EXPECT_EQ(created.status, errSecSuccess);
        return created.trust;
    }
    std::vector<std::shared_ptr<SecCertificate>> chain() const { return {leaf.sec(), intermediate.sec()}; }
};

TEST_F(SecTrustTest, ChainToAnAnchorForTheRightHostIsTrusted) {
    auto trust = trustFor("portal.example.test", chain());
    ASSERT_EQ(trust->setAnchorCertificates({root.sec()}), errSecSuccess);
    const auto result = trust->evaluate();
    EXPECT_EQ(result.status, errSecSuccess);
    EXPECT_EQ(result.result, SecTrustResultType::unspecified) << result.failureReason;
}

TEST_F(SecTrustTest, FailuresAreRecoverableAndEmptyChainsFatal) {
    struct Case {
        const char* name;
        std::string host;
        std::vector<std::shared_ptr<SecCertificate>> anchors;
        bool anchorsOnly;
        std::vector<std::shared_ptr<SecCertificate>> chain;
        SecTrustResultType expected;
    };
    const auto otherRoot = issue("Other Root", nullptr, true, {}, true);
    const Case cases[] = {
        {"wrong host",
         "evil.example.test",
         {root.sec()},
         true,
         chain(),
         SecTrustResultType::recoverableTrustFailure},
        {"sub-domain",
         "a.portal.example.test",
         {root.sec()},
         true,
         chain(),
         SecTrustResultType::recoverableTrustFailure},
        {"anchors only without the root",
         "portal.example.test",
         {otherRoot.sec()},
         true,
         chain(),
         SecTrustResultType::recoverableTrustFailure},
        {"no anchors, not in the system bundle",
         "portal.example.test",
         {},
         false,
         chain(),
         SecTrustResultType::recoverableTrustFailure},
        {"missing intermediate",
         "portal.example.test",
         {root.sec()},
         true,
         {leaf.sec()},
         SecTrustResultType::recoverableTrustFailure},
        {"pinned intermediate is enough",
         "portal.example.test",
         {intermediate.sec()},
         true,
         chain(),
         SecTrustResultType::unspecified},
        {"empty chain", "portal.example.test", {root.sec()}, true, {}, SecTrustResultType::fatalTrustFailure},
    };
    for (const auto& c : cases) {
        auto trust = trustFor(c.host, c.chain);
        ASSERT_TRUE(trust) << c.name;
        if (!c.anchors.empty()) {
            trust->setAnchorCertificates(c.anchors);
        }
        trust->setAnchorCertificatesOnly(c.anchorsOnly);
        const auto result = trust->evaluate();
        EXPECT_EQ(result.status, errSecSuccess) << c.name;
        EXPECT_EQ(result.result, c.expected) << c.name << ": " << result.failureReason;
    }
}

TEST_F(SecTrustTest, HostIsCheckedOnlyWhenThePolicyNamesOne) {
    auto created = SecTrust::create(chain(), {SecPolicy::ssl(true, std::nullopt)});
    created.trust->setAnchorCertificates({root.sec()});
    EXPECT_EQ(created.trust->evaluate().result, SecTrustResultType::unspecified);
    created.trust->setPolicies({SecPolicy::ssl(true, std::string("elsewhere.test"))});
    EXPECT_EQ(created.trust->evaluate().result, SecTrustResultType::recoverableTrustFailure);
}

TEST_F(SecTrustTest, ExpiredOrNotYetValidChainsFail) {
    const auto expired =
        issue("portal.example.test", &intermediate, false, "portal.example.test", true, -3 * 86400, 86400);
    const auto future =
        issue("portal.example.test", &intermediate, false, "portal.example.test", true, 86400, 86400);
    for (const auto* cert : {&expired, &future}) {
        auto trust = trustFor("portal.example.test", {cert->sec(), intermediate.sec()});
        trust->setAnchorCertificates({root.sec()});
        EXPECT_EQ(trust->evaluate().result, SecTrustResultType::recoverableTrustFailure);
    }
}

TEST_F(SecTrustTest, ExtraCAFileFromTheEnvironmentIsTrusted) {
    char path[] = "/tmp/sectrust-ca-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* file = fdopen(fd, "w");
    PEM_write_X509(file, root.cert.get());
    fclose(file);
    setenv("PORTAL_APP_CA_FILE", path, 1);
    auto trust = trustFor("portal.example.test", chain());
    EXPECT_EQ(trust->evaluate().result, SecTrustResultType::unspecified);
    // Anchors-only leaves the extra CA out.
    trust->setAnchorCertificatesOnly(true);
    EXPECT_EQ(trust->evaluate().result, SecTrustResultType::recoverableTrustFailure);
    unlink(path);
}

TEST_F(SecTrustTest, SystemAnchorsComeFromTheHashedCertificateFolder) {
    // The system's anchors are looked up by subject hash in the certificate folder, on demand.
    char folder[] = "/tmp/sectrust-certs-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    char name[16];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(root.cert.get()));
    const std::string path = std::string(folder) + "/" + name;
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(file);
    PEM_write_X509(file, root.cert.get());
    std::fclose(file);
    setenv(X509_get_default_cert_dir_env(), folder, 1);

    EXPECT_EQ(trustFor("portal.example.test", chain())->evaluate().result, SecTrustResultType::unspecified);
    // The wrong host still fails against the same anchors.
    EXPECT_EQ(trustFor("other.example.test", chain())->evaluate().result,
              SecTrustResultType::recoverableTrustFailure);
    unlink(path.c_str());
    rmdir(folder);
}

TEST_F(SecTrustTest, AChangedExtraCAFileIsReadAgain) {
    // The parsed system anchors are kept per extra CA file: switching the file must not keep the old anchors.
    testcerts::Issued otherRoot = issue("Other Root", nullptr, true, {}, true);
    auto writeCA = [](const testcerts::Issued& ca, char* path) {
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        FILE* file = fdopen(fd, "w");
        PEM_write_X509(file, ca.cert.get());
        fclose(file);
    };
    char rootFile[] = "/tmp/sectrust-ca-XXXXXX";
    char otherFile[] = "/tmp/sectrust-ca-XXXXXX";
    writeCA(root, rootFile);
    writeCA(otherRoot, otherFile);

    setenv("PORTAL_APP_CA_FILE", rootFile, 1);
    EXPECT_EQ(trustFor("portal.example.test", chain())->evaluate().result, SecTrustResultType::unspecified);
    setenv("PORTAL_APP_CA_FILE", otherFile, 1);
    EXPECT_EQ(trustFor("portal.example.test", chain())->evaluate().result,
              SecTrustResultType::recoverableTrustFailure);
    setenv("PORTAL_APP_CA_FILE", rootFile, 1);
    EXPECT_EQ(trustFor("portal.example.test", chain())->evaluate().result, SecTrustResultType::unspecified);
    unlink(rootFile);
    unlink(otherFile);
}

TEST_F(SecTrustTest, RevocationWithoutACRLFailsOnlyWhenAPositiveAnswerIsRequired) {
    auto trust = trustFor("portal.example.test", chain());
    trust->setAnchorCertificates({root.sec()});
    trust->setPolicies({SecPolicy::ssl(true, std::string("portal.example.test")),
                        SecPolicy::revocation(kSecRevocationUseAnyAvailableMethod)});
    EXPECT_EQ(trust->evaluate().result, SecTrustResultType::unspecified);
    trust->setPolicies(
        {SecPolicy::ssl(true, std::string("portal.example.test")),
         SecPolicy::revocation(kSecRevocationUseAnyAvailableMethod | kSecRevocationRequirePositiveResponse)});
    EXPECT_EQ(trust->evaluate().result, SecTrustResultType::recoverableTrustFailure);
}

TEST_F(SecTrustTest, ALocalCRLRevokesTheLeaf) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(intermediate.cert.get()));
    const time_t now = static_cast<time_t>(Clock::now());
    ASN1_TIME* t = ASN1_TIME_set(nullptr, now - 3600);
    X509_CRL_set1_lastUpdate(crl, t);
    ASN1_TIME_set(t, now + 3600);
    X509_CRL_set1_nextUpdate(crl, t);
    X509_REVOKED* revoked = X509_REVOKED_new();
    X509_REVOKED_set_serialNumber(revoked, X509_get_serialNumber(leaf.cert.get()));
    ASN1_TIME_set(t, now - 60);
    X509_REVOKED_set_revocationDate(revoked, t);
    X509_CRL_add0_revoked(crl, revoked);
    ASN1_TIME_free(t);
    X509_CRL_sign(crl, intermediate.key.get(), EVP_sha256());

    char path[] = "/tmp/sectrust-crl-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* file = fdopen(fd, "w");
    PEM_write_X509(file, root.cert.get());
    PEM_write_X509_CRL(file, crl);
    fclose(file);
    X509_CRL_free(crl);
    setenv("PORTAL_APP_CA_FILE", path, 1);

    auto trust = trustFor("portal.example.test", chain());
    EXPECT_EQ(trust->evaluate().result, SecTrustResultType::unspecified);
    trust->setPolicies({SecPolicy::ssl(true, std::string("portal.example.test")),
                        SecPolicy::revocation(kSecRevocationCRLMethod)});
    const auto result = trust->evaluate();
    EXPECT_EQ(result.result, SecTrustResultType::recoverableTrustFailure);
    EXPECT_EQ(result.failureReason, "certificate revoked");
    unlink(path);
}

TEST_F(SecTrustTest, ExposesChainAndLeafKey) {
    auto trust = trustFor("portal.example.test", chain());
    ASSERT_EQ(trust->certificateCount(), 2u);
    EXPECT_EQ(trust->certificateAt(0)->copyData(), leaf.sec()->copyData());
    EXPECT_EQ(trust->certificateAt(1)->subjectSummary(), "Test Intermediate");
    EXPECT_FALSE(trust->certificateAt(2));
    const auto key = trust->copyPublicKey();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->keyType(), SecKeyType::rsa);
    EXPECT_EQ(*key, *SecKey::fromPublicKey(leaf.key.get()));
    EXPECT_NE(*key, *SecKey::fromPublicKey(root.key.get()));

    const auto ecLeaf = issue("ec.example.test", &root, false, "ec.example.test", true);
    auto ecTrust = SecTrust::create({ecLeaf.sec()}, {SecPolicy::basicX509()}).trust;
    const auto ecKey = ecTrust->copyPublicKey();
    ASSERT_TRUE(ecKey);
    EXPECT_EQ(ecKey->keyType(), SecKeyType::ec);
    EXPECT_FALSE(SecTrust::create({}, {}).trust->copyPublicKey());
    EXPECT_EQ(SecTrust::create({nullptr}, {}).status, errSecParam);
}

} // namespace
} // namespace plat
