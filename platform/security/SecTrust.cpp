#include "platform/security/SecTrust.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <map>
#include <mutex>

namespace plat {
namespace {

bool anyNull(const auto& list) {
    for (const auto& item : list) {
        if (!item) {
            return true;
        }
    }
    return false;
}

bool isIPAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Revocation is checked only against CRLs the store holds; a missing CRL counts against the chain
// only when the policy asks for a positive answer.
struct RevocationRules {
    bool requirePositive = false;
};

int verifyCallback(int ok, X509_STORE_CTX* ctx) {
    if (ok) {
        return ok;
    }
    const auto* rules = static_cast<const RevocationRules*>(X509_STORE_CTX_get_app_data(ctx));
    if (rules && !rules->requirePositive && X509_STORE_CTX_get_error(ctx) == X509_V_ERR_UNABLE_TO_GET_CRL) {
        X509_STORE_CTX_set_error(ctx, X509_V_OK);
        return 1;
    }
    return ok;
}

SecTrustEvaluation failure(SecTrustResultType result, std::string reason) {
    return {errSecSuccess, result, std::move(reason)};
}

} // namespace

SecTrust::Created SecTrust::create(std::vector<std::shared_ptr<SecCertificate>> chain,
                                   std::vector<std::shared_ptr<SecPolicy>> policies) {
    if (anyNull(chain) || anyNull(policies)) {
        return {errSecParam, nullptr};
    }
    std::shared_ptr<SecTrust> trust(new SecTrust());
    trust->chain_ = std::move(chain);
    trust->policies_ = std::move(policies);
    return {errSecSuccess, std::move(trust)};
}

OSStatus SecTrust::setPolicies(std::vector<std::shared_ptr<SecPolicy>> policies) {
    if (anyNull(policies)) {
        return errSecParam;
    }
    std::lock_guard lock(mutex_);
    policies_ = std::move(policies);
    return errSecSuccess;
}

std::vector<std::shared_ptr<SecPolicy>> SecTrust::policies() const {
    std::lock_guard lock(mutex_);
    return policies_;
}

OSStatus SecTrust::setAnchorCertificates(std::vector<std::shared_ptr<SecCertificate>> anchors) {
    if (anyNull(anchors)) {
        return errSecParam;
    }
    std::lock_guard lock(mutex_);
    anchors_ = std::move(anchors);
    anchorsOnly_ = true;
    return errSecSuccess;
}

OSStatus SecTrust::setAnchorCertificatesOnly(bool anchorsOnly) {
    std::lock_guard lock(mutex_);
    anchorsOnly_ = anchorsOnly;
    return errSecSuccess;
}

std::size_t SecTrust::certificateCount() const {
    std::lock_guard lock(mutex_);
    return chain_.size();
}

std::shared_ptr<SecCertificate> SecTrust::certificateAt(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < chain_.size() ? chain_[index] : nullptr;
}

std::shared_ptr<SecKey> SecTrust::copyPublicKey() const {
    std::lock_guard lock(mutex_);
    if (chain_.empty()) {
        return nullptr;
    }
    return SecKey::fromPublicKey(X509_get0_pubkey(chain_.front()->x509()));
}

namespace {

std::optional<std::string> extraCAFile() {
    auto caFile = ProcessInfo::processInfo().environmentValue("PORTAL_APP_CA_FILE");
    if (caFile && caFile->empty()) {
        caFile.reset();
    }
    return caFile;
}

// The system's hashed certificate folder, when it has one: certificates there are read on demand, by the
// subject a chain asks for, instead of parsing the whole bundle (a few hundred certificates) up front.
std::optional<std::string> hashedCertificateFolder() {
    const char* fromEnv = std::getenv(X509_get_default_cert_dir_env());
    std::string folder = fromEnv && *fromEnv ? fromEnv : X509_get_default_cert_dir();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), &closedir);
    if (!dir) {
        return std::nullopt;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() == 10 && name.substr(8) == ".0") {
            return folder;
        }
    }
    return std::nullopt;
}

void addSystemAnchors(X509_STORE* store, const std::optional<std::string>& caFile) {
    static const std::optional<std::string> folder = hashedCertificateFolder();
    if (folder) {
        X509_STORE_load_path(store, folder->c_str());
    } else {
        X509_STORE_set_default_paths(store);
    }
    if (caFile) {
        // A missing or unreadable extra CA file only means fewer anchors.
        X509_STORE_load_file(store, caFile->c_str());
    }
    ERR_clear_error();
}

// The system bundle and the extra CA file, parsed once per process (per CA file setting) instead of at every
// handshake: parsing the system bundle costs tens of milliseconds. Each caller gets its own reference, and
// nobody adds to a shared store.
X509_STORE* systemStore() {
    static std::mutex mutex;
    static auto& cache = *new std::map<std::string, X509_STORE*>();
    const auto caFile = extraCAFile();
    const std::string key = caFile.value_or(std::string());
    std::lock_guard lock(mutex);
    auto& store = cache[key];
    if (!store) {
        store = X509_STORE_new();
        if (!store) {
            cache.erase(key);
            return nullptr;
        }
        addSystemAnchors(store, caFile);
    }
    X509_STORE_up_ref(store);
    return store;
}

} // namespace

SecTrustEvaluation SecTrust::evaluate() const {
    std::unique_lock lock(mutex_);
    const auto chain = chain_;
    const auto policies = policies_;
    const auto anchors = anchors_;
    const bool anchorsOnly = anchorsOnly_;
    lock.unlock();

    if (chain.empty()) {
        return failure(SecTrustResultType::fatalTrustFailure, "no certificates");
    }

    // The default anchors are shared and never changed; a trust with anchors of its own gets a store of its own.
    ossl::StorePtr store(!anchorsOnly && anchors.empty() ? systemStore() : X509_STORE_new());
    if (!store) {
        return {errSecAllocate, SecTrustResultType::otherError, "out of memory"};
    }
    if (!anchorsOnly && !anchors.empty()) {
        addSystemAnchors(store.get(), extraCAFile());
    }
    for (const auto& anchor : anchors) {
        X509_STORE_add_cert(store.get(), anchor->x509());
    }
    ERR_clear_error();

    ossl::StackPtr untrusted(sk_X509_new_null());
    for (std::size_t i = 1; i < chain.size(); ++i) {
        sk_X509_push(untrusted.get(), chain[i]->x509());
    }
    ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || !untrusted ||
        X509_STORE_CTX_init(ctx.get(), store.get(), chain.front()->x509(), untrusted.get()) != 1) {
        return {errSecAllocate, SecTrustResultType::otherError, "out of memory"};
    }

    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    // An anchor need not be self-signed: a pinned intermediate or leaf ends the chain as on the device.
    unsigned long flags = X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_USE_CHECK_TIME;
    X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(std::floor(Clock::now())));
    RevocationRules rules;
    bool purposeSet = false;
    for (const auto& policy : policies) {
        switch (policy->kind()) {
        case SecPolicy::Kind::ssl:
            if (!purposeSet) {
                X509_STORE_CTX_set_purpose(ctx.get(), policy->isServer() ? X509_PURPOSE_SSL_SERVER
                                                                         : X509_PURPOSE_SSL_CLIENT);
                purposeSet = true;
            }
            if (policy->host() && !policy->host()->empty()) {
                const std::string& host = *policy->host();
                const int set = isIPAddress(host)
                                    ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                    : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
                if (set != 1) {
                    return failure(SecTrustResultType::recoverableTrustFailure, "host name not usable");
                }
                X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            }
            break;
        case SecPolicy::Kind::revocation:
            if (policy->revocationFlags() & (kSecRevocationCRLMethod | kSecRevocationOCSPMethod)) {
                flags |= X509_V_FLAG_CRL_CHECK;
            }
            if (policy->revocationFlags() & kSecRevocationRequirePositiveResponse) {
                flags |= X509_V_FLAG_CRL_CHECK;
                rules.requirePositive = true;
            }
            break;
        case SecPolicy::Kind::basicX509:
            break;
        }
    }
    X509_VERIFY_PARAM_set_flags(param, flags);
    X509_STORE_CTX_set_app_data(ctx.get(), &rules);
    X509_STORE_CTX_set_verify_cb(ctx.get(), verifyCallback);

    const int verified = X509_verify_cert(ctx.get());
    ERR_clear_error();
    if (verified == 1) {
        return {errSecSuccess, SecTrustResultType::unspecified, {}};
    }
    return failure(SecTrustResultType::recoverableTrustFailure,
                   X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
}

} // namespace plat
