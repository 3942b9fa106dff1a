#pragma once
// How a server's certificate chain is judged for one host (default or revocation-checked evaluation,
// pinned certificates or keys, a caller's closure, or no check), and the per-host table of those policies
// that a URL session carries.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Bundle.hpp"
#include "platform/security/SecCertificate.hpp"
#include "platform/security/SecKey.hpp"
#include "platform/security/SecTrust.hpp"

namespace plat {
class URLSession;
}

namespace Zavorida {

using SecTrustPtr = std::shared_ptr<plat::SecTrust>;
using SecCertificatePtr = std::shared_ptr<plat::SecCertificate>;
using SecKeyPtr = std::shared_ptr<plat::SecKey>;

class ServerTrustPolicy {
public:
    using CustomEvaluation = std::function<bool(const SecTrustPtr& serverTrust, const std::string& host)>;

    enum class Case {
        performDefaultEvaluation,
        performRevokedEvaluation,
        pinCertificates,
        pinPublicKeys,
        customEvaluation,
        disableEvaluation,
    };

    static ServerTrustPolicy performDefaultEvaluation(bool validateHost);
    static ServerTrustPolicy performRevokedEvaluation(bool validateHost, std::uint32_t revocationFlags);
    static ServerTrustPolicy pinCertificates(std::vector<SecCertificatePtr> certificates,
                                             bool validateCertificateChain, bool validateHost);
    static ServerTrustPolicy pinPublicKeys(std::vector<SecKeyPtr> publicKeys, bool validateCertificateChain,
                                           bool validateHost);
    static ServerTrustPolicy customEvaluation(CustomEvaluation closure);
    static ServerTrustPolicy disableEvaluation();

    Case kase() const { return static_cast<Case>(payload_.index()); }

    // True when the server's trust object is acceptable for `host`. Changes the trust object's policies and
    // anchors; it belongs to the challenge being answered. A missing trust object is never acceptable to a
    // policy that has to look at it.
    bool evaluateTrust(const SecTrustPtr& serverTrust, const std::string& host) const;

    // The DER certificates (".cer", ".crt", ".der" in either letter case) at the bundle's root; files that
    // cannot be read or parsed are skipped.
    static std::vector<SecCertificatePtr> certificatesInBundle(const plat::Bundle& bundle);
    static std::vector<SecCertificatePtr> certificatesInBundle();
    // The public key of each of those certificates that yields one, in the same order.
    static std::vector<SecKeyPtr> publicKeysInBundle(const plat::Bundle& bundle);
    static std::vector<SecKeyPtr> publicKeysInBundle();

    // Success with a proceed or unspecified result; every other outcome is invalid.
    static bool trustIsValid(const plat::SecTrust& trust);
    // The key of a certificate judged alone under basic X.509; none when it yields no key.
    static SecKeyPtr publicKeyForCertificate(const SecCertificatePtr& certificate);

private:
    struct DefaultEvaluation {
        bool validateHost;
    };
    struct RevokedEvaluation {
        bool validateHost;
        std::uint32_t revocationFlags;
    };
    struct PinnedCertificates {
        std::vector<SecCertificatePtr> certificates;
        bool validateCertificateChain;
        bool validateHost;
    };
    struct PinnedPublicKeys {
        std::vector<SecKeyPtr> publicKeys;
        bool validateCertificateChain;
        bool validateHost;
    };
    struct Custom {
        CustomEvaluation closure;
    };
    struct Disabled {};
    using Payload = std::variant<DefaultEvaluation, RevokedEvaluation, PinnedCertificates, PinnedPublicKeys,
                                 Custom, Disabled>;

    explicit ServerTrustPolicy(Payload payload) : payload_(std::move(payload)) {}
    Payload payload_;
};

// Maps exact host names to their policies. Open for subclassing: the session and task delegates always
// go through policyForHost, so a subclass may match hosts its own way.
class ServerTrustPolicyManager {
public:
    explicit ServerTrustPolicyManager(std::map<std::string, ServerTrustPolicy> policies);
    virtual ~ServerTrustPolicyManager() = default;

    const std::map<std::string, ServerTrustPolicy>& policies() const { return policies_; }

    // Exact, case-sensitive look-up: no wildcards, no parent domains.
    virtual std::optional<ServerTrustPolicy> policyForHost(const std::string& host) const;

    // The manager a URL session carries for its lifetime (none when none was attached). Stands in for the
    // associated object the platform keeps on the session; attaching none removes it.
    static std::shared_ptr<ServerTrustPolicyManager> forSession(const plat::URLSession& session);
    static void attach(const std::shared_ptr<plat::URLSession>& session,
                       std::shared_ptr<ServerTrustPolicyManager> manager);

private:
    const std::map<std::string, ServerTrustPolicy> policies_;
};

} // namespace Zavorida
