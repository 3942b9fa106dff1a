#pragma once
// The in-memory credential store sessions consult for HTTP authentication: credentials per protection space,
// keyed by user name, with one default per space. Thread-safe.

#include "platform/net/URLCredential.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plat {

class URLCredentialStorage {
public:
    // The process-wide store of default sessions; never destroyed.
    static const std::shared_ptr<URLCredentialStorage>& shared();
    URLCredentialStorage() = default;

    // None when the space has never held a credential; an empty map once its last one was removed.
    std::optional<std::map<std::string, URLCredential>> credentials(const URLProtectionSpace& space) const;
    std::vector<std::pair<URLProtectionSpace, std::map<std::string, URLCredential>>> allCredentials() const;
    std::optional<URLCredential> defaultCredential(const URLProtectionSpace& space) const;
    // Credentials without a user name or with persistence none are not kept, as on the device.
    void setCredential(const URLCredential& credential, const URLProtectionSpace& space);
    void setDefaultCredential(const URLCredential& credential, const URLProtectionSpace& space);
    void removeCredential(const URLCredential& credential, const URLProtectionSpace& space);

private:
    struct Entry {
        URLProtectionSpace space;
        std::map<std::string, URLCredential> byUser;
        std::optional<std::string> defaultUser;
    };
    Entry* find(const URLProtectionSpace& space);
    const Entry* find(const URLProtectionSpace& space) const;
    // Files the credential under its user in the space's entry, adding the entry; mutex_ is held.
    Entry& store(const URLCredential& credential, const URLProtectionSpace& space);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace plat
