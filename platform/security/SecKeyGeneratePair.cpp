#include "platform/security/SecKeyGeneratePair.hpp"

#include "platform/security/Keychain.hpp"

namespace plat {
namespace {

Dictionary halfAttributes(const Dictionary& parameters, const char* key) {
    const Value* attributes = parameters.find(key);
    return attributes && attributes->isDictionary() ? attributes->asDictionary() : Dictionary{};
}

bool isPermanent(const Dictionary& attributes) {
    const Value* permanent = attributes.find(kSecAttrIsPermanent);
    return permanent && permanent->boolValue();
}

Dictionary keyItem(const Dictionary& attributes, const char* keyClass) {
    Dictionary item = attributes;
    item.erase(kSecAttrIsPermanent);
    item.set(kSecClass, kSecClassKey);
    item.set(kSecAttrKeyType, kSecAttrKeyTypeRSA);
    item.set(kSecAttrKeyClass, keyClass);
    item.set(kSecAttrIsPermanent, true);
    return item;
}

Dictionary itemQuery(const Dictionary& item) {
    Dictionary query{{kSecClass, kSecClassKey}};
    for (const char* key : {kSecAttrApplicationTag, kSecAttrKeyType, kSecAttrKeyClass}) {
        if (const Value* v = item.find(key)) {
            query.set(key, *v);
        }
    }
    return query;
}

} // namespace

SecKeyPairResult SecKeyGeneratePair(const Dictionary& parameters) {
    const Value* type = parameters.find(kSecAttrKeyType);
    if (!type || type->stringValue() != kSecAttrKeyTypeRSA) {
        return {errSecParam, nullptr, nullptr};
    }
    const Value* bits = parameters.find(kSecAttrKeySizeInBits);
    auto privateKey = SecKey::generateRSA(bits ? static_cast<int>(bits->integerValue()) : 2048);
    if (!privateKey) {
        return {errSecParam, nullptr, nullptr};
    }
    auto publicKey = privateKey->copyPublicKey();
    if (!publicKey) {
        return {errSecAllocate, nullptr, nullptr};
    }
    const Dictionary privateAttributes = halfAttributes(parameters, kSecPrivateKeyAttrs);
    const Dictionary publicAttributes = halfAttributes(parameters, kSecPublicKeyAttrs);
    std::optional<Dictionary> addedPrivate;
    if (isPermanent(privateAttributes)) {
        Dictionary item = keyItem(privateAttributes, kSecAttrKeyClassPrivate);
        if (const OSStatus status = SecItemAdd(item, privateKey); status != errSecSuccess) {
            return {status, nullptr, nullptr};
        }
        addedPrivate = std::move(item);
    }
    if (isPermanent(publicAttributes)) {
        if (const OSStatus status = SecItemAdd(keyItem(publicAttributes, kSecAttrKeyClassPublic), publicKey);
            status != errSecSuccess) {
            if (addedPrivate) {
                (void)SecItemDelete(itemQuery(*addedPrivate));
            }
            return {status, nullptr, nullptr};
        }
    }
    return {errSecSuccess, std::move(publicKey), std::move(privateKey)};
}

} // namespace plat
