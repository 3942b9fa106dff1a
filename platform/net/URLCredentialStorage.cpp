#include "platform/net/URLCredentialStorage.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

#include <utility>

namespace plat {

const std::shared_ptr<URLCredentialStorage>& URLCredentialStorage::shared() {
    static NeverDestroyed<std::shared_ptr<URLCredentialStorage>> instance(
        std::make_shared<URLCredentialStorage>());
    return instance.get();
}

URLCredentialStorage::Entry* URLCredentialStorage::find(const URLProtectionSpace& space) {
    return const_cast<Entry*>(std::as_const(*this).find(space));
}

const URLCredentialStorage::Entry* URLCredentialStorage::find(const URLProtectionSpace& space) const {
    for (const auto& e : entries_)
        if (e.space == space)
            return &e;
    return nullptr;
}

URLCredentialStorage::Entry& URLCredentialStorage::store(const URLCredential& credential,
                                                         const URLProtectionSpace& space) {
    Entry* e = find(space);
    if (!e) {
        entries_.push_back(Entry{space, {}, std::nullopt});
        e = &entries_.back();
    }
    e->byUser.insert_or_assign(*credential.user(), credential);
    return *e;
}

std::optional<std::map<std::string, URLCredential>>
URLCredentialStorage::credentials(const URLProtectionSpace& space) const {
    std::lock_guard lock(mutex_);
    if (const Entry* e = find(space))
        return e->byUser;
    return std::nullopt;
}

std::vector<std::pair<URLProtectionSpace, std::map<std::string, URLCredential>>>
URLCredentialStorage::allCredentials() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<URLProtectionSpace, std::map<std::string, URLCredential>>> out;
    for (const auto& e : entries_)
        out.emplace_back(e.space, e.byUser);
    return out;
}

std::optional<URLCredential> URLCredentialStorage::defaultCredential(const URLProtectionSpace& space) const {
    std::lock_guard lock(mutex_);
    const Entry* e = find(space);
    if (!e || !e->defaultUser)
        return std::nullopt;
    auto it = e->byUser.find(*e->defaultUser);
    if (it == e->byUser.end())
        return std::nullopt;
    return it->second;
}

void URLCredentialStorage::setCredential(const URLCredential& credential, const URLProtectionSpace& space) {
    if (!credential.user() || credential.persistence() == URLCredentialPersistence::none)
        return;
    std::lock_guard lock(mutex_);
    store(credential, space);
}

void URLCredentialStorage::setDefaultCredential(const URLCredential& credential,
                                                const URLProtectionSpace& space) {
    if (!credential.user() || credential.persistence() == URLCredentialPersistence::none)
        return;
    std::lock_guard lock(mutex_);
    store(credential, space).defaultUser = *credential.user();
}

void URLCredentialStorage::removeCredential(const URLCredential& credential,
                                            const URLProtectionSpace& space) {
    if (!credential.user())
        return;
    std::lock_guard lock(mutex_);
    Entry* e = find(space);
    if (!e)
        return;
    e->byUser.erase(*credential.user());
    if (e->defaultUser == credential.user())
        e->defaultUser.reset();
}

} // namespace plat
