#include "Zavorida/Source/ServerTrustPolicy.hpp"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <unistd.h>

#include "platform/foundation/FileManager.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/security/SecPolicy.hpp"
#include "platform/security/tests/TestCertificates.hpp"
#include "testing/FixtureBundle.hpp"

namespace Zavorida {
namespace {

using plat::testcerts::issue;
using plat::testcerts::Issued;

const std::string kHost = "portal.example.test";

std::string derOf(const Issued& issued) {
    const auto bytes = issued.sec()->copyData();
    return std::string(bytes.begin(), bytes.end());
}

class ServerTrustPolicyTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Only the anchors a test sets may decide; never the machine's CA bundle or the extra CA file.
        unsetenv("PORTAL_APP_CA_FILE");
    }

    // The server's chain as a challenge hands it over: leaf and intermediate, with the root as the anchor the
    // platform would trust.
    SecTrustPtr serverTrust(const Issued& serverLeaf, bool anchorRoot = true) const {
        auto created =
            plat::SecTrust::create({serverLeaf.sec(), intermediate.sec()}, {plat::SecPolicy::basicX509()});
        EXPECT_EQ(created.status, plat::errSecSuccess);
        if (anchorRoot) {
            created.trust->setAnchorCertificates({root.sec()});
        }
        return created.trust;
    }

    // EC authorities keep key generation cheap.
    Issued root = issue("Test Root", nullptr, true, {}, true);
    Issued intermediate = issue("Test Intermediate", &root, true, {}, true);
    Issued leaf = issue(kHost, &intermediate, false, kHost, true);
    Issued otherRoot = issue("Other Root", nullptr, true, {}, true);
};

TEST_F(ServerTrustPolicyTest, DefaultEvaluationChecksTheHostOnlyWhenAsked) {
    struct Case {
        bool validateHost;
        std::string host;
        bool accepted;
    };
    for (const auto& c : {Case{true, kHost, true}, Case{true, "evil.example.test", false},
                          Case{true, "PORTAL.example.test", true}, Case{false, "evil.example.test", true}}) {
        const auto trust = serverTrust(leaf);
        EXPECT_EQ(ServerTrustPolicy::performDefaultEvaluation(c.validateHost).evaluateTrust(trust, c.host),
                  c.accepted)
            << c.host << " validateHost=" << c.validateHost;
        ASSERT_EQ(trust->policies().size(), 1u);
        EXPECT_EQ(trust->policies()[0]->kind(), plat::SecPolicy::Kind::ssl);
        EXPECT_TRUE(trust->policies()[0]->isServer());
        EXPECT_EQ(trust->policies()[0]->host().has_value(), c.validateHost);
    }
}

TEST_F(ServerTrustPolicyTest, DefaultEvaluationRejectsUntrustedAndExpiredChains) {
    EXPECT_FALSE(
        ServerTrustPolicy::performDefaultEvaluation(true).evaluateTrust(serverTrust(leaf, false), kHost));
    const auto expired = issue(kHost, &intermediate, false, kHost, true, -3 * 86400, 86400);
    EXPECT_FALSE(
        ServerTrustPolicy::performDefaultEvaluation(false).evaluateTrust(serverTrust(expired), kHost));
    EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(false).evaluateTrust(nullptr, kHost));
}

TEST_F(ServerTrustPolicyTest, RevokedEvaluationAddsTheRevocationPolicyAfterTheSSLOne) {
    auto trust = serverTrust(leaf);
    // No CRL is available: only a policy that demands a positive answer fails.
    EXPECT_TRUE(ServerTrustPolicy::performRevokedEvaluation(true, plat::kSecRevocationUseAnyAvailableMethod)
                    .evaluateTrust(trust, kHost));
    const auto policies = trust->policies();
    ASSERT_EQ(policies.size(), 2u);
    EXPECT_EQ(policies[0]->kind(), plat::SecPolicy::Kind::ssl);
    EXPECT_EQ(policies[1]->kind(), plat::SecPolicy::Kind::revocation);
    EXPECT_EQ(policies[1]->revocationFlags(), plat::kSecRevocationUseAnyAvailableMethod);

    EXPECT_FALSE(ServerTrustPolicy::performRevokedEvaluation(
                     true, plat::kSecRevocationRequirePositiveResponse | plat::kSecRevocationCRLMethod)
                     .evaluateTrust(serverTrust(leaf), kHost));
    EXPECT_FALSE(ServerTrustPolicy::performRevokedEvaluation(true, plat::kSecRevocationUseAnyAvailableMethod)
                     .evaluateTrust(serverTrust(leaf), "evil.example.test"));
}

TEST_F(ServerTrustPolicyTest, PinnedCertificatesWithChainValidationTrustOnlyThePinnedAnchors) {
    struct Case {
        const char* name;
        std::vector<SecCertificatePtr> pinned;
        bool validateHost;
        std::string host;
        bool accepted;
    };
    const Case cases[] = {
        {"pinned root", {otherRoot.sec(), root.sec()}, true, kHost, true},
        {"pinned intermediate", {intermediate.sec()}, true, kHost, true},
        {"another root only", {otherRoot.sec()}, true, kHost, false},
        {"wrong host checked", {root.sec()}, true, "evil.example.test", false},
        {"wrong host not checked", {root.sec()}, false, "evil.example.test", true},
        {"nothing pinned", {}, false, kHost, false},
    };
    for (const auto& c : cases) {
        // The platform would trust the chain on its own; pinning must restrict it to the pinned anchors.
        const auto trust = serverTrust(leaf, true);
        trust->setAnchorCertificatesOnly(false);
        EXPECT_EQ(
            ServerTrustPolicy::pinCertificates(c.pinned, true, c.validateHost).evaluateTrust(trust, c.host),
            c.accepted)
            << c.name;
    }
}

TEST_F(ServerTrustPolicyTest, PinnedCertificatesWithoutChainValidationCompareBytesAnywhereInTheChain) {
    const auto expired = issue(kHost, &intermediate, false, kHost, true, -3 * 86400, 86400);
    // Nothing is anchored and the host is wrong: only the bytes decide.
    EXPECT_TRUE(ServerTrustPolicy::pinCertificates({intermediate.sec()}, false, true)
                    .evaluateTrust(serverTrust(expired, false), "evil.example.test"));
    EXPECT_TRUE(ServerTrustPolicy::pinCertificates({otherRoot.sec(), leaf.sec()}, false, true)
                    .evaluateTrust(serverTrust(leaf, false), kHost));
    // Same subject, same issuer, different certificate.
    const auto twin = issue(kHost, &intermediate, false, kHost, true);
    EXPECT_FALSE(ServerTrustPolicy::pinCertificates({twin.sec(), root.sec()}, false, false)
                     .evaluateTrust(serverTrust(leaf, false), kHost));
    auto empty = plat::SecTrust::create({}, {});
    EXPECT_FALSE(
        ServerTrustPolicy::pinCertificates({leaf.sec()}, false, false).evaluateTrust(empty.trust, kHost));
}

TEST_F(ServerTrustPolicyTest, PinnedPublicKeysMatchAnyKeyOfTheChain) {
    const auto intermediateKey = ServerTrustPolicy::publicKeyForCertificate(intermediate.sec());
    const auto leafKey = ServerTrustPolicy::publicKeyForCertificate(leaf.sec());
    const auto otherKey = ServerTrustPolicy::publicKeyForCertificate(otherRoot.sec());
    ASSERT_TRUE(intermediateKey && leafKey && otherKey);

    EXPECT_TRUE(ServerTrustPolicy::pinPublicKeys({otherKey, intermediateKey}, false, true)
                    .evaluateTrust(serverTrust(leaf, false), "evil.example.test"));
    EXPECT_FALSE(
        ServerTrustPolicy::pinPublicKeys({otherKey}, false, false).evaluateTrust(serverTrust(leaf), kHost));

    EXPECT_TRUE(
        ServerTrustPolicy::pinPublicKeys({leafKey}, true, true).evaluateTrust(serverTrust(leaf), kHost));
    EXPECT_FALSE(ServerTrustPolicy::pinPublicKeys({leafKey}, true, true)
                     .evaluateTrust(serverTrust(leaf), "evil.example.test"));
    EXPECT_TRUE(ServerTrustPolicy::pinPublicKeys({leafKey}, true, false)
                    .evaluateTrust(serverTrust(leaf), "evil.example.test"));
    // A matching key does not rescue a chain that fails validation.
    const auto expired = issue(kHost, &intermediate, false, kHost, true, -3 * 86400, 86400);
    const auto expiredKey = ServerTrustPolicy::publicKeyForCertificate(expired.sec());
    EXPECT_FALSE(ServerTrustPolicy::pinPublicKeys({expiredKey, intermediateKey}, true, false)
                     .evaluateTrust(serverTrust(expired), kHost));
}

TEST_F(ServerTrustPolicyTest, CustomAndDisabledEvaluation) {
    EXPECT_TRUE(ServerTrustPolicy::disableEvaluation().evaluateTrust(serverTrust(leaf, false), "any"));
    EXPECT_TRUE(ServerTrustPolicy::disableEvaluation().evaluateTrust(nullptr, "any"));

    const auto trust = serverTrust(leaf);
    SecTrustPtr seenTrust;
    std::string seenHost;
    const auto custom =
        ServerTrustPolicy::customEvaluation([&](const SecTrustPtr& t, const std::string& host) {
            seenTrust = t;
            seenHost = host;
            return host == "yes.example.test";
        });
    EXPECT_TRUE(custom.evaluateTrust(trust, "yes.example.test"));
    EXPECT_EQ(seenTrust, trust);
    EXPECT_FALSE(custom.evaluateTrust(trust, "no.example.test"));
    EXPECT_EQ(seenHost, "no.example.test");
    EXPECT_FALSE(ServerTrustPolicy::customEvaluation(nullptr).evaluateTrust(trust, kHost));
    EXPECT_EQ(custom.kase(), ServerTrustPolicy::Case::customEvaluation);
}

TEST_F(ServerTrustPolicyTest, ManagerLooksUpExactHostNamesAndCanBeSubclassed) {
    ServerTrustPolicyManager manager(
        {{kHost, ServerTrustPolicy::disableEvaluation()},
         {"api.example.test", ServerTrustPolicy::performDefaultEvaluation(true)}});
    ASSERT_TRUE(manager.policyForHost(kHost));
    EXPECT_EQ(manager.policyForHost(kHost)->kase(), ServerTrustPolicy::Case::disableEvaluation);
    EXPECT_EQ(manager.policyForHost("api.example.test")->kase(),
              ServerTrustPolicy::Case::performDefaultEvaluation);
    for (const char* miss : {"PORTAL.example.test", "www.portal.example.test", "example.test", ""}) {
        EXPECT_FALSE(manager.policyForHost(miss)) << miss;
    }

    struct SuffixManager : ServerTrustPolicyManager {
        SuffixManager() : ServerTrustPolicyManager({}) {}
        std::optional<ServerTrustPolicy> policyForHost(const std::string& host) const override {
            if (host.ends_with(".example.test")) {
                return ServerTrustPolicy::disableEvaluation();
            }
            return std::nullopt;
        }
    };
    const std::unique_ptr<ServerTrustPolicyManager> subclass = std::make_unique<SuffixManager>();
    EXPECT_TRUE(subclass->policyForHost("a.example.test"));
    EXPECT_FALSE(subclass->policyForHost("example.org"));
}

TEST_F(ServerTrustPolicyTest, CertificatesInBundleReadsEveryDERFileOnce) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("zavorida-trust-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    plat::test::FixtureBundle bundle(folder.string(), {});
    bundle.add("root.cer", derOf(root))
        .add("root-copy.DER", derOf(root))
        .add("leaf.crt", derOf(leaf))
        .add("other.CRT", derOf(otherRoot))
        .add("junk.der", "not a certificate")
        .add("intermediate.pem", derOf(intermediate))
        .add("nested/inner.cer", derOf(intermediate));
    {
        // PEM text under a DER extension is not DER.
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
        PEM_write_bio_X509(bio.get(), intermediate.cert.get());
        char* text = nullptr;
        const long size = BIO_get_mem_data(bio.get(), &text);
        bundle.add("intermediate.cer", std::string(text, static_cast<std::size_t>(size)));
    }
    const plat::Bundle fixture(bundle.path());

    const auto certificates = ServerTrustPolicy::certificatesInBundle(fixture);
    std::multiset<std::vector<std::uint8_t>> found;
    for (const auto& certificate : certificates) {
        found.insert(certificate->copyData());
    }
    const std::multiset<std::vector<std::uint8_t>> expected{
        root.sec()->copyData(), root.sec()->copyData(), leaf.sec()->copyData(), otherRoot.sec()->copyData()};
    EXPECT_EQ(found, expected);

    const auto keys = ServerTrustPolicy::publicKeysInBundle(fixture);
    ASSERT_EQ(keys.size(), certificates.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(*keys[i], *ServerTrustPolicy::publicKeyForCertificate(certificates[i]));
    }
    // Keys read from the bundle pin the chain they belong to.
    EXPECT_TRUE(ServerTrustPolicy::pinPublicKeys(keys, true, true).evaluateTrust(serverTrust(leaf), kHost));

    EXPECT_TRUE(ServerTrustPolicy::certificatesInBundle(plat::Bundle(folder.string() + "/missing")).empty());
    std::filesystem::remove_all(folder);
}

TEST_F(ServerTrustPolicyTest, SessionCarriesTheAttachedManagerUntilItIsGone) {
    auto session = plat::URLSession::make(plat::URLSessionConfiguration::ephemeral());
    EXPECT_FALSE(ServerTrustPolicyManager::forSession(*session));
    auto manager = std::make_shared<ServerTrustPolicyManager>(
        std::map<std::string, ServerTrustPolicy>{{kHost, ServerTrustPolicy::disableEvaluation()}});
    ServerTrustPolicyManager::attach(session, manager);
    EXPECT_EQ(ServerTrustPolicyManager::forSession(*session), manager);

    auto other = plat::URLSession::make(plat::URLSessionConfiguration::ephemeral());
    EXPECT_FALSE(ServerTrustPolicyManager::forSession(*other));

    ServerTrustPolicyManager::attach(session, nullptr);
    EXPECT_FALSE(ServerTrustPolicyManager::forSession(*session));
    session->invalidateAndCancel();
    other->invalidateAndCancel();
}

} // namespace
} // namespace Zavorida
