#include "instance_id/DAVInstanceIDAuthKeychain.hpp"

#include "platform/security/Keychain.hpp"

namespace {

constexpr plat::OSStatus kKeychainParamError = -1301;

plat::Error keychainError(plat::OSStatus status) {
    return plat::Error(kDAVInstanceIDKeychainErrorDomain, status);
}

bool isConcreteValue(const std::string& value) {
    return !value.empty() && value != kDAVInstanceIDKeychainWildcardIdentifier;
}

} // namespace

DAVInstanceIDAuthKeychainItem DAVInstanceIDAuthKeychainItem::keychainItemFromDictionary(
    const plat::Dictionary& attributes) {
    DAVInstanceIDAuthKeychainItem item;
    if (const auto* account = attributes.find(plat::kSecAttrAccount); account && account->isString()) {
        item.account = account->asString();
    }
    if (const auto* service = attributes.find(plat::kSecAttrService); service && service->isString()) {
        item.service = service->asString();
    }
    if (const auto* data = attributes.find(plat::kSecValueData); data && data->isData()) {
        item.data = data->asData();
    }
    if (const auto* date = attributes.find(plat::kSecAttrModificationDate); date && date->isDate()) {
        item.modificationDate = date->asDate();
    }
    return item;
}

plat::Dictionary DAVInstanceIDAuthKeychain::keychainQueryForService(const std::string& service,
                                                                    const std::string& account,
                                                                    const std::string& generic) {
    plat::Dictionary query{{plat::kSecClass, plat::Value(plat::kSecClassGenericPassword)}};
    if (isConcreteValue(generic)) {
        query.set(plat::kSecAttrGeneric, plat::Value(generic));
    }
    if (isConcreteValue(account)) {
        query.set(plat::kSecAttrAccount, plat::Value(account));
    }
    if (isConcreteValue(service)) {
        query.set(plat::kSecAttrService, plat::Value(service));
    }
    return query;
}

plat::Dictionary DAVInstanceIDAuthKeychain::keychainQueryForService(const std::string& service,
                                                                    const std::string& account) const {
    return keychainQueryForService(service, account, generic_);
}

std::vector<DAVInstanceIDAuthKeychainItem> DAVInstanceIDAuthKeychain::itemsMatchingService(
    const std::string& service, const std::string& account, DAVInstanceIDErrorSlot* error) const {
    if (service.empty() || account.empty()) {
        DAVInstanceIDSetError(error, keychainError(kKeychainParamError));
        return {};
    }
    plat::Dictionary query = keychainQueryForService(service, account);
    query.set(plat::kSecReturnData, plat::Value(true));
    query.set(plat::kSecReturnAttributes, plat::Value(true));
    query.set(plat::kSecMatchLimit, plat::Value(plat::kSecMatchLimitAll));
    const auto found = plat::SecItemCopyMatching(query);
    // Without a result there is nothing to report, whatever the status says: not found is the usual case.
    if (!found.result) {
        return {};
    }
    if (found.status != plat::errSecSuccess) {
        DAVInstanceIDSetError(error, keychainError(found.status));
        return {};
    }
    std::vector<DAVInstanceIDAuthKeychainItem> items;
    if (found.result->isArray()) {
        for (const auto& entry : found.result->asArray()) {
            if (entry.isDictionary()) {
                items.push_back(DAVInstanceIDAuthKeychainItem::keychainItemFromDictionary(entry.asDictionary()));
            }
        }
    } else if (found.result->isDictionary()) {
        items.push_back(DAVInstanceIDAuthKeychainItem::keychainItemFromDictionary(found.result->asDictionary()));
    }
    return items;
}

std::optional<DAVInstanceIDAuthKeychainItem> DAVInstanceIDAuthKeychain::itemForService(
    const std::string& service, const std::string& account, DAVInstanceIDErrorSlot* error) const {
    auto items = itemsMatchingService(service, account, error);
    if (items.empty()) {
        return std::nullopt;
    }
    return std::move(items.front());
}

bool DAVInstanceIDAuthKeychain::setData(const plat::Data& data, const std::string& service,
                                        const std::optional<std::string>& accessibility,
                                        const std::string& account, DAVInstanceIDErrorSlot* error) const {
    if (service.empty() || account.empty()) {
        DAVInstanceIDSetError(error, keychainError(kKeychainParamError));
        return false;
    }
    (void)removeItemsMatchingService(service, account, nullptr);
    if (data.empty()) {
        DAVInstanceIDSetError(error, keychainError(kKeychainParamError));
        return false;
    }
    plat::Dictionary attributes = keychainQueryForService(service, account);
    attributes.set(plat::kSecValueData, plat::Value(data));
    attributes.set(plat::kSecAttrAccessible,
                   plat::Value(accessibility.value_or(plat::kSecAttrAccessibleAlwaysThisDeviceOnly)));
    const plat::OSStatus status = plat::SecItemAdd(attributes);
    if (status != plat::errSecSuccess) {
        DAVInstanceIDSetError(error, keychainError(status));
        return false;
    }
    return true;
}

bool DAVInstanceIDAuthKeychain::removeItemsMatchingService(const std::string& service, const std::string& account,
                                                           DAVInstanceIDErrorSlot* error) const {
    plat::OSStatus status = kKeychainParamError;
    if (!service.empty() && !account.empty()) {
        status = plat::SecItemDelete(keychainQueryForService(service, account));
    }
    if (status == plat::errSecSuccess || status == plat::errSecItemNotFound) {
        return true;
    }
    DAVInstanceIDSetError(error, keychainError(status));
    return false;
}

bool DAVInstanceIDAuthKeychain::removeAllItemsWithError(DAVInstanceIDErrorSlot* error) const {
    return removeItemsMatchingService(kDAVInstanceIDKeychainWildcardIdentifier,
                                      kDAVInstanceIDKeychainWildcardIdentifier, error);
}
