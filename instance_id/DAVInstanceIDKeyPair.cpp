#include "instance_id/DAVInstanceIDKeyPair.hpp"

#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/security/Keychain.hpp"
#include "platform/security/SecKeyGeneratePair.hpp"

namespace {

constexpr const char* kKeyPairPrivateKeyLabel = "Vedudodu InstanceID Key Pair Private Key";
constexpr const char* kKeyPairPublicKeyLabel = "Vedudodu InstanceID Key Pair Public Key";
constexpr const char* kKeyPairLabel = "Vedudodu InstanceID Key Pair";

plat::Value tagBytes(const std::string& tag) {
    return plat::Value(plat::Data(tag.begin(), tag.end()));
}

plat::Dictionary keyTagQuery(const std::string& tag) {
    return plat::Dictionary{{plat::kSecClass, plat::kSecClassKey},
                            {plat::kSecAttrApplicationTag, tagBytes(tag)},
                            {plat::kSecAttrKeyType, plat::kSecAttrKeyTypeRSA}};
}

// The key's bytes as the keychain holds them; the key's own export (the same DER) when the keychain does not
// answer, so an identity is never derived from empty bytes.
plat::Data keyDataOrExport(const std::string& tag, const plat::SecKey& key) {
    if (auto data = DAVInstanceIDKeyPair::keyDataWithTag(tag)) {
        return std::move(*data);
    }
    return key.copyExternalRepresentation().value_or(plat::Data{});
}

plat::OSStatus deleteKeyWithTag(const std::string& tag) {
    plat::Dictionary query = keyTagQuery(tag);
    query.set(plat::kSecReturnRef, true);
    return plat::SecItemDelete(query);
}

} // namespace

DAVInstanceIDKeyPair::DAVInstanceIDKeyPair(std::shared_ptr<plat::SecKey> privateKey,
                                           std::shared_ptr<plat::SecKey> publicKey, plat::Data publicKeyData,
                                           plat::Data privateKeyData)
    : privateKey_(std::move(privateKey)), publicKey_(std::move(publicKey)),
      publicKeyData_(std::move(publicKeyData)), privateKeyData_(std::move(privateKeyData)) {}

std::shared_ptr<DAVInstanceIDKeyPair> DAVInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag(
    const std::string& privateTag, const std::string& publicTag, DAVInstanceIDErrorSlot* error) {
    const plat::Dictionary privateAttributes{{plat::kSecAttrIsPermanent, true},
                                             {plat::kSecAttrApplicationTag, tagBytes(privateTag)},
                                             {plat::kSecAttrLabel, kKeyPairPrivateKeyLabel}};
    const plat::Dictionary publicAttributes{{plat::kSecAttrIsPermanent, true},
                                            {plat::kSecAttrApplicationTag, tagBytes(publicTag)},
                                            {plat::kSecAttrLabel, kKeyPairPublicKeyLabel}};
    const plat::Dictionary parameters{{plat::kSecAttrKeyType, plat::kSecAttrKeyTypeRSA},
                                      {plat::kSecAttrLabel, kKeyPairLabel},
                                      {plat::kSecAttrKeySizeInBits, 2048},
                                      {plat::kSecPrivateKeyAttrs, privateAttributes},
                                      {plat::kSecPublicKeyAttrs, publicAttributes}};
    auto generated = plat::SecKeyGeneratePair(parameters);
    if (generated.status != plat::errSecSuccess || !generated.privateKey || !generated.publicKey) {
        DAVInstanceIDSetError(error, errorWithDAVInstanceIDErrorCode(generated.status));
        return nullptr;
    }
    const plat::Dictionary accessible{{plat::kSecAttrAccessible, plat::kSecAttrAccessibleAlwaysThisDeviceOnly}};
    const plat::OSStatus publicStatus = plat::SecItemUpdate(keyTagQuery(publicTag), accessible);
    const plat::OSStatus privateStatus = plat::SecItemUpdate(keyTagQuery(privateTag), accessible);
    if (publicStatus != plat::errSecSuccess || privateStatus != plat::errSecSuccess) {
        DAVInstanceIDLoggerWarning(9003,
                                   "Could not update attributes of the key pair to be accessible after first unlock. "
                                   "Public Key update status: %d, Private Keyupdate status: %d",
                                   publicStatus, privateStatus);
    }
    // The keychain stores exactly the keys' own export, so reading the new items back would only cost two
    // more passes over the keychain file on the first launch's critical path.
    plat::Data publicData = generated.publicKey->copyExternalRepresentation().value_or(plat::Data{});
    plat::Data privateData = generated.privateKey->copyExternalRepresentation().value_or(plat::Data{});
    return std::make_shared<DAVInstanceIDKeyPair>(std::move(generated.privateKey), std::move(generated.publicKey),
                                                  std::move(publicData), std::move(privateData));
}

std::shared_ptr<DAVInstanceIDKeyPair> DAVInstanceIDKeyPair::keyPairForPrivateKeyTag(const std::string& privateTag,
                                                                                    const std::string& publicTag,
                                                                                    DAVInstanceIDErrorSlot* error) {
    if (privateTag.empty() || publicTag.empty()) {
        DAVInstanceIDSetError(error, errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeInvalidKeyPairTags));
        return nullptr;
    }
    plat::OSStatus privateStatus = plat::errSecSuccess;
    plat::OSStatus publicStatus = plat::errSecSuccess;
    auto privateKey = cachedKeyRefWithTag(privateTag, &privateStatus);
    auto publicKey = cachedKeyRefWithTag(publicTag, &publicStatus);
    if (privateKey && publicKey) {
        plat::Data publicData = keyDataOrExport(publicTag, *publicKey);
        plat::Data privateData = keyDataOrExport(privateTag, *privateKey);
        return std::make_shared<DAVInstanceIDKeyPair>(std::move(privateKey), std::move(publicKey),
                                                      std::move(publicData), std::move(privateData));
    }
    plat::Error missing = errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingKeyPair);
    // The keychain's own reason (a missing entitlement, say) stays visible to the store.
    for (plat::OSStatus status : {privateStatus, publicStatus}) {
        if (status != plat::errSecSuccess && status != plat::errSecItemNotFound) {
            missing.underlyingError = std::make_shared<const plat::Error>(errorWithDAVInstanceIDErrorCode(status));
            break;
        }
    }
    DAVInstanceIDSetError(error, std::move(missing));
    DAVInstanceIDLoggerDebug(9000, "Cannot retrieve keypair with tag %@", privateTag);
    return nullptr;
}

plat::Dictionary DAVInstanceIDKeyPair::queryDictWithTag(const std::string& tag, bool addReturnAttr,
                                                        bool withTypeData) {
    plat::Dictionary query = keyTagQuery(tag);
    if (addReturnAttr) {
        query.set(withTypeData ? plat::kSecReturnData : plat::kSecReturnRef, true);
    }
    return query;
}

std::optional<plat::Data> DAVInstanceIDKeyPair::keyDataWithTag(const std::string& tag) {
    if (tag.empty()) {
        return std::nullopt;
    }
    const auto found = plat::SecItemCopyMatching(queryDictWithTag(tag, true, true));
    if (found.status != plat::errSecSuccess || !found.result || !found.result->isData()) {
        return std::nullopt;
    }
    return found.result->asData();
}

std::shared_ptr<plat::SecKey> DAVInstanceIDKeyPair::cachedKeyRefWithTag(const std::string& tag,
                                                                        plat::OSStatus* status) {
    if (tag.empty()) {
        return nullptr;
    }
    const auto found = plat::SecItemCopyMatching(queryDictWithTag(tag, true, false));
    if (status) {
        *status = found.status;
    }
    if (found.status != plat::errSecSuccess || found.refs.empty()) {
        return nullptr;
    }
    return found.refs.front();
}

bool DAVInstanceIDKeyPair::updateKeyRef(const std::shared_ptr<plat::SecKey>& key, const std::string& tag) {
    if (!key) {
        return false;
    }
    (void)deleteKeyWithTag(tag);
    const plat::Dictionary attributes{{plat::kSecClass, plat::kSecClassKey},
                                      {plat::kSecAttrApplicationTag, tagBytes(tag)}};
    return plat::SecItemAdd(attributes, key) == plat::errSecSuccess;
}

bool DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(const std::string& privateTag, const std::string& publicTag,
                                                      DAVInstanceIDErrorSlot* error) {
    const plat::OSStatus privateStatus = deleteKeyWithTag(privateTag);
    const plat::OSStatus publicStatus = deleteKeyWithTag(publicTag);
    const auto failed = [](plat::OSStatus status) {
        return status != plat::errSecSuccess && status != plat::errSecItemNotFound;
    };
    if (failed(privateStatus) && failed(publicStatus)) {
        DAVInstanceIDSetError(error, errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingKeyPair));
        DAVInstanceIDLoggerError(9001, "Error removing keypair status: %d", privateStatus);
        return false;
    }
    return true;
}

bool DAVInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag(const std::string& legacyPublicTag,
                                                                    const std::string& newPublicTag) {
    const auto legacyData = keyDataWithTag(legacyPublicTag);
    const auto newData = keyDataWithTag(newPublicTag);
    return legacyData && newData && *legacyData == *newData;
}

std::optional<std::string> DAVInstanceIDKeyPair::appIdentityWithKeyPair(const DAVInstanceIDKeyPair& keyPair) {
    if (!keyPair.publicKey()) {
        DAVInstanceIDLoggerError(9002, "Unable to create a valid asymmetric crypto key");
        return std::nullopt;
    }
    plat::Data digest = DAVInstanceIDSHA1(keyPair.publicKeyData());
    digest[0] = static_cast<std::uint8_t>(0x70 | (digest[0] & 0x0F));
    digest.resize(8);
    return DAVInstanceIDWebSafeBase64(digest);
}
