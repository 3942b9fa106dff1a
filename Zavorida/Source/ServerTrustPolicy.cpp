#include "Zavorida/Source/ServerTrustPolicy.hpp"

#include <mutex>
#include <set>
#include <string_view>

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/security/SecPolicy.hpp"

namespace Zavorida {

namespace {

std::shared_ptr<plat::SecPolicy> sslPolicy(bool validateHost, const std::string& host) {
    return plat::SecPolicy::ssl(true, validateHost ? std::optional<std::string>(host) : std::nullopt);
}

bool pinnedCertificateInChain(const plat::SecTrust& trust, const std::vector<SecCertificatePtr>& pinned) {
    std::vector<std::vector<std::uint8_t>> pinnedData;
    for (const auto& certificate : pinned) {
        if (certificate) {
            pinnedData.push_back(certificate->copyData());
        }
    }
    for (std::size_t index = 0; index < trust.certificateCount(); ++index) {
        const auto certificate = trust.certificateAt(index);
        if (!certificate) {
            continue;
        }
        const auto serverData = certificate->copyData();
        for (const auto& candidate : pinnedData) {
            if (candidate == serverData) {
                return true;
            }
        }
    }
    return false;
}

bool pinnedKeyInChain(const plat::SecTrust& trust, const std::vector<SecKeyPtr>& pinned) {
    for (std::size_t index = 0; index < trust.certificateCount(); ++index) {
        const auto serverKey = ServerTrustPolicy::publicKeyForCertificate(trust.certificateAt(index));
        if (!serverKey) {
            continue;
        }
        for (const auto& key : pinned) {
            if (key && *key == *serverKey) {
                return true;
            }
        }
    }
    return false;
}

// The platform keeps the manager as an associated object of the session; sessions here have no such slot,
// so the association lives in this table, keyed by session and dropped once the session is gone.
struct SessionManagers {
    struct Entry {
        std::weak_ptr<const plat::URLSession> session;
        std::shared_ptr<ServerTrustPolicyManager> manager;
    };
    std::mutex mutex;
    std::map<const plat::URLSession*, Entry> entries;

    void pruneLocked() {
        std::erase_if(entries, [](const auto& item) { return item.second.session.expired(); });
    }
};

SessionManagers& sessionManagers() {
    static plat::NeverDestroyed<SessionManagers> table;
    return table.get();
}

} // namespace

ServerTrustPolicy ServerTrustPolicy::performDefaultEvaluation(bool validateHost) {
    return ServerTrustPolicy(DefaultEvaluation{validateHost});
}

ServerTrustPolicy ServerTrustPolicy::performRevokedEvaluation(bool validateHost,
                                                              std::uint32_t revocationFlags) {
    return ServerTrustPolicy(RevokedEvaluation{validateHost, revocationFlags});
}

ServerTrustPolicy ServerTrustPolicy::pinCertificates(std::vector<SecCertificatePtr> certificates,
                                                     bool validateCertificateChain, bool validateHost) {
    return ServerTrustPolicy(
        PinnedCertificates{std::move(certificates), validateCertificateChain, validateHost});
}

ServerTrustPolicy ServerTrustPolicy::pinPublicKeys(std::vector<SecKeyPtr> publicKeys,
                                                   bool validateCertificateChain, bool validateHost) {
    return ServerTrustPolicy(PinnedPublicKeys{std::move(publicKeys), validateCertificateChain, validateHost});
}

ServerTrustPolicy ServerTrustPolicy::customEvaluation(CustomEvaluation closure) {
    return ServerTrustPolicy(Custom{std::move(closure)});
}

ServerTrustPolicy ServerTrustPolicy::disableEvaluation() {
    return ServerTrustPolicy(Disabled{});
}

bool ServerTrustPolicy::trustIsValid(const plat::SecTrust& trust) {
    const auto evaluation = trust.evaluate();
    return evaluation.status == plat::errSecSuccess &&
           (evaluation.result == plat::SecTrustResultType::proceed ||
            evaluation.result == plat::SecTrustResultType::unspecified);
}

SecKeyPtr ServerTrustPolicy::publicKeyForCertificate(const SecCertificatePtr& certificate) {
    if (!certificate) {
        return nullptr;
    }
    auto created = plat::SecTrust::create({certificate}, {plat::SecPolicy::basicX509()});
    if (created.status != plat::errSecSuccess || !created.trust) {
        return nullptr;
    }
    return created.trust->copyPublicKey();
}

bool ServerTrustPolicy::evaluateTrust(const SecTrustPtr& serverTrust, const std::string& host) const {
    if (const auto* custom = std::get_if<Custom>(&payload_)) {
        return custom->closure ? custom->closure(serverTrust, host) : false;
    }
    if (std::holds_alternative<Disabled>(payload_)) {
        return true;
    }
    if (!serverTrust) {
        return false;
    }
    plat::SecTrust& trust = *serverTrust;
    if (const auto* plain = std::get_if<DefaultEvaluation>(&payload_)) {
        trust.setPolicies({sslPolicy(plain->validateHost, host)});
        return trustIsValid(trust);
    }
    if (const auto* revoked = std::get_if<RevokedEvaluation>(&payload_)) {
        trust.setPolicies(
            {sslPolicy(revoked->validateHost, host), plat::SecPolicy::revocation(revoked->revocationFlags)});
        return trustIsValid(trust);
    }
    if (const auto* pinned = std::get_if<PinnedCertificates>(&payload_)) {
        if (pinned->validateCertificateChain) {
            trust.setPolicies({sslPolicy(pinned->validateHost, host)});
            trust.setAnchorCertificates(pinned->certificates);
            trust.setAnchorCertificatesOnly(true);
            return trustIsValid(trust);
        }
        return pinnedCertificateInChain(trust, pinned->certificates);
    }
    const auto& keys = std::get<PinnedPublicKeys>(payload_);
    if (keys.validateCertificateChain) {
        trust.setPolicies({sslPolicy(keys.validateHost, host)});
        if (!trustIsValid(trust)) {
            return false;
        }
    }
    return pinnedKeyInChain(trust, keys.publicKeys);
}

std::vector<SecCertificatePtr> ServerTrustPolicy::certificatesInBundle(const plat::Bundle& bundle) {
    std::set<std::string> paths;
    for (std::string_view type : {".cer", ".CER", ".crt", ".CRT", ".der", ".DER"}) {
        // The device's bundle takes the type with or without its leading dot; ours wants it without.
        type.remove_prefix(1);
        for (auto& path : bundle.pathsForResourcesOfType(type)) {
            paths.insert(std::move(path));
        }
    }
    std::vector<SecCertificatePtr> certificates;
    for (const auto& path : paths) {
        auto bytes = plat::readData(path);
        if (!bytes.ok()) {
            continue;
        }
        if (auto certificate = plat::SecCertificate::createWithData(bytes.value())) {
            certificates.push_back(std::move(certificate));
        }
    }
    return certificates;
}

std::vector<SecCertificatePtr> ServerTrustPolicy::certificatesInBundle() {
    return certificatesInBundle(*plat::Bundle::main());
}

std::vector<SecKeyPtr> ServerTrustPolicy::publicKeysInBundle(const plat::Bundle& bundle) {
    std::vector<SecKeyPtr> keys;
    for (const auto& certificate : certificatesInBundle(bundle)) {
        if (auto key = publicKeyForCertificate(certificate)) {
            keys.push_back(std::move(key));
        }
    }
    return keys;
}

std::vector<SecKeyPtr> ServerTrustPolicy::publicKeysInBundle() {
    return publicKeysInBundle(*plat::Bundle::main());
}

ServerTrustPolicyManager::ServerTrustPolicyManager(std::map<std::string, ServerTrustPolicy> policies)
    : policies_(std::move(policies)) {}

std::optional<ServerTrustPolicy> ServerTrustPolicyManager::policyForHost(const std::string& host) const {
    const auto found = policies_.find(host);
    if (found == policies_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::shared_ptr<ServerTrustPolicyManager>
ServerTrustPolicyManager::forSession(const plat::URLSession& session) {
    auto& table = sessionManagers();
    std::lock_guard lock(table.mutex);
    const auto found = table.entries.find(&session);
    if (found == table.entries.end() || found->second.session.expired()) {
        return nullptr;
    }
    return found->second.manager;
}

void ServerTrustPolicyManager::attach(const std::shared_ptr<plat::URLSession>& session,
                                      std::shared_ptr<ServerTrustPolicyManager> manager) {
    if (!session) {
        return;
    }
    std::shared_ptr<ServerTrustPolicyManager> replaced;
    auto& table = sessionManagers();
    {
        std::lock_guard lock(table.mutex);
        table.pruneLocked();
        auto& entry = table.entries[session.get()];
        replaced = std::move(entry.manager);
        if (manager) {
            entry = {session, std::move(manager)};
        } else {
            table.entries.erase(session.get());
        }
    }
    // `replaced` is released here, outside the lock, in case its destructor reaches back into the table.
}

} // namespace Zavorida
