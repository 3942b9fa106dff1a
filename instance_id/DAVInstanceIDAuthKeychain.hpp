#pragma once
// Generic-password items of the instance-ID client, found, written and deleted by service and account; one
// generic attribute per wrapper keeps the client's item families apart.

#include "instance_id/DAVInstanceIDErrors.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>
#include <vector>

// Keychain failures carry the keychain status as code in this domain.
inline constexpr const char* kDAVInstanceIDKeychainErrorDomain = "com.razoza.iid";
// A service, account or generic value that matches any value of its attribute.
inline constexpr const char* kDAVInstanceIDKeychainWildcardIdentifier = "*";

struct DAVInstanceIDAuthKeychainItem {
    std::string account;
    std::string service;
    plat::Data data;
    std::optional<plat::Date> modificationDate;

    static DAVInstanceIDAuthKeychainItem keychainItemFromDictionary(const plat::Dictionary& attributes);
};

class DAVInstanceIDAuthKeychain {
public:
    explicit DAVInstanceIDAuthKeychain(std::string identifier) : generic_(std::move(identifier)) {}

    const std::string& generic() const { return generic_; }

    static plat::Dictionary keychainQueryForService(const std::string& service, const std::string& account,
                                                    const std::string& generic);
    plat::Dictionary keychainQueryForService(const std::string& service, const std::string& account) const;

    std::vector<DAVInstanceIDAuthKeychainItem> itemsMatchingService(const std::string& service,
                                                                    const std::string& account,
                                                                    DAVInstanceIDErrorSlot* error) const;
    std::optional<DAVInstanceIDAuthKeychainItem> itemForService(const std::string& service,
                                                                const std::string& account,
                                                                DAVInstanceIDErrorSlot* error) const;
    // A delete followed by an add: when the add fails the old item is already gone. Accessibility none:
    // kSecAttrAccessibleAlwaysThisDeviceOnly.
    bool setData(const plat::Data& data, const std::string& service,
                 const std::optional<std::string>& accessibility, const std::string& account,
                 DAVInstanceIDErrorSlot* error) const;
    // A missing item counts as removed.
    bool removeItemsMatchingService(const std::string& service, const std::string& account,
                                    DAVInstanceIDErrorSlot* error) const;
    bool removeAllItemsWithError(DAVInstanceIDErrorSlot* error) const;

private:
    std::string generic_;
};
