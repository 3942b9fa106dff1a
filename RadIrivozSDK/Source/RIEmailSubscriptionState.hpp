#pragma once
// The e-mail player: its id, the address the app set, the auth hash, and whether the push service asks
// for that hash.

#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class RIEmailSubscriptionState {
public:
    bool requiresEmailAuth() const;
    void setRequiresEmailAuth(bool value);
    std::optional<std::string> emailUserId() const;
    void setEmailUserId(std::optional<std::string> value);
    std::optional<std::string> emailAddress() const;
    void setEmailAddress(std::optional<std::string> value);
    std::optional<std::string> emailAuthCode() const;
    void setEmailAuthCode(std::optional<std::string> value);
    bool subscribed() const;

    // {"emailUserId", "emailAddress"}; a missing string is null.
    plat::Dictionary toDictionary() const;
    std::string description() const;

private:
    mutable std::mutex mutex_;
    bool requiresEmailAuth_ = false;
    std::optional<std::string> emailUserId_;
    std::optional<std::string> emailAddress_;
    std::optional<std::string> emailAuthCode_;
};
