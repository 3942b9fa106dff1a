#pragma once
// The app instance's RSA key pair as two keychain keys, with the keychain operations on them and the short
// app identity derived from the public key.

#include "instance_id/DAVInstanceIDErrors.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/security/SecBase.hpp"
#include "platform/security/SecKey.hpp"

#include <memory>
#include <optional>
#include <string>

class DAVInstanceIDKeyPair {
public:
    DAVInstanceIDKeyPair(std::shared_ptr<plat::SecKey> privateKey, std::shared_ptr<plat::SecKey> publicKey,
                         plat::Data publicKeyData, plat::Data privateKeyData);

    // None with the keychain status as the error code when generation fails.
    static std::shared_ptr<DAVInstanceIDKeyPair> generateRSA2048KeyPairWithPrivateTag(
        const std::string& privateTag, const std::string& publicTag, DAVInstanceIDErrorSlot* error);
    // 2002 for an empty tag; 2001 when either key is missing or unreadable, the keychain's own status (other
    // than not-found) then kept as the underlying error.
    static std::shared_ptr<DAVInstanceIDKeyPair> keyPairForPrivateKeyTag(const std::string& privateTag,
                                                                         const std::string& publicTag,
                                                                         DAVInstanceIDErrorSlot* error);
    static plat::Dictionary queryDictWithTag(const std::string& tag, bool addReturnAttr, bool withTypeData);
    static std::optional<plat::Data> keyDataWithTag(const std::string& tag);
    // The keychain status of the look-up goes to `status` when given.
    static std::shared_ptr<plat::SecKey> cachedKeyRefWithTag(const std::string& tag,
                                                             plat::OSStatus* status = nullptr);
    static bool updateKeyRef(const std::shared_ptr<plat::SecKey>& key, const std::string& tag);
    // Fails only when both deletions fail with another status than item-not-found.
    static bool deleteKeyPairWithPrivateTag(const std::string& privateTag, const std::string& publicTag,
                                            DAVInstanceIDErrorSlot* error);
    static bool hasMigratedKeyPairWithLegacyPublicKeyTag(const std::string& legacyPublicTag,
                                                         const std::string& newPublicTag);
    // 11 web-safe characters starting with c, d, e or f; none without a public key.
    static std::optional<std::string> appIdentityWithKeyPair(const DAVInstanceIDKeyPair& keyPair);

    bool isValid() const { return privateKey_ && publicKey_; }
    const std::shared_ptr<plat::SecKey>& publicKey() const { return publicKey_; }
    const std::shared_ptr<plat::SecKey>& privateKey() const { return privateKey_; }
    const plat::Data& publicKeyData() const { return publicKeyData_; }
    const plat::Data& privateKeyData() const { return privateKeyData_; }
    void setPublicKeyData(plat::Data data) { publicKeyData_ = std::move(data); }
    void setPrivateKeyData(plat::Data data) { privateKeyData_ = std::move(data); }

private:
    std::shared_ptr<plat::SecKey> privateKey_;
    std::shared_ptr<plat::SecKey> publicKey_;
    plat::Data publicKeyData_;
    plat::Data privateKeyData_;
};
