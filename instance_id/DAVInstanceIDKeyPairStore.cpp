#include "instance_id/DAVInstanceIDKeyPairStore.hpp"

#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/security/SecBase.hpp"

namespace {

constexpr const char* kKeyPairPublicTagPrefix = "com.razoza.iid.keypair.public-";
constexpr const char* kKeyPairPrivateTagPrefix = "com.razoza.iid.keypair.private-";
constexpr const char* kLegacyKeyPairTagPrefix = "com.razoza.iid-";

std::string describeOptionalError(const DAVInstanceIDErrorSlot& error) {
    return error ? error->description() : std::string();
}

bool isMissingEntitlement(const plat::Error& error) {
    return error.code == plat::errSecMissingEntitlement ||
           (error.underlyingError && error.underlyingError->code == plat::errSecMissingEntitlement);
}

} // namespace

DAVInstanceIDKeyPairStore::DAVInstanceIDKeyPairStore()
    : plist_(std::make_unique<DAVInstanceIDBackupExcludedPlist>(keyStoreFileName(), kDAVInstanceIDSubDirectoryName)) {}

// The subtype is not part of the current tags; the app identifier is fixed for the process.
const std::string& DAVInstanceIDKeyPairStore::publicTagWithSubtype(const std::string&) {
    static const std::string tag = kKeyPairPublicTagPrefix + DAVInstanceIDAppIdentifier();
    return tag;
}

const std::string& DAVInstanceIDKeyPairStore::privateTagWithSubtype(const std::string&) {
    static const std::string tag = kKeyPairPrivateTagPrefix + DAVInstanceIDAppIdentifier();
    return tag;
}

std::string DAVInstanceIDKeyPairStore::legacyPublicTagWithSubtype(const std::string& subtype) {
    return kLegacyKeyPairTagPrefix + subtype + "|P|";
}

std::string DAVInstanceIDKeyPairStore::legacyPrivateTagWithSubtype(const std::string& subtype) {
    return kLegacyKeyPairTagPrefix + subtype + "|K|";
}

std::string DAVInstanceIDKeyPairStore::creationTimeKeyWithSubtype(const std::string& subtype) {
    return subtype + "|S|" + "cre";
}

std::string DAVInstanceIDKeyPairStore::keyStoreFileName() {
    return "com.razoza.iid-keypair";
}

void DAVInstanceIDKeyPairStore::setDelegate(std::weak_ptr<DAVInstanceIDKeyPairStoreDelegate> delegate) {
    std::lock_guard guard(lock_);
    delegate_ = std::move(delegate);
}

int DAVInstanceIDKeyPairStore::keychainEntitlementsErrorCount() const {
    std::lock_guard guard(lock_);
    return keychainEntitlementsErrorCount_;
}

void DAVInstanceIDKeyPairStore::countMissingEntitlement(const DAVInstanceIDErrorSlot& error) {
    if (error && isMissingEntitlement(*error)) {
        ++keychainEntitlementsErrorCount_;
    }
}

void DAVInstanceIDKeyPairStore::invalidateKeyPairsIfNeeded() {
    if (!plist_->doesFileExist()) {
        (void)deleteSavedKeyPairWithSubtype("", nullptr);
    }
}

bool DAVInstanceIDKeyPairStore::hasCachedKeyPairs() {
    DAVInstanceIDErrorSlot error;
    if (cachedKeyPairWithSubtype("", &error)) {
        return true;
    }
    if (error) {
        DAVInstanceIDLoggerDebug(10000, "Failed to get cached keyPair %@", error->description());
    }
    DAVInstanceIDErrorSlot removeError;
    if (!removeKeyPairCreationTimePlistWithError(&removeError)) {
        DAVInstanceIDLoggerDebug(10001, "Failed to remove keyPair creationTime plist %@",
                                 describeOptionalError(removeError));
    }
    return false;
}

std::optional<std::string> DAVInstanceIDKeyPairStore::appIdentityWithError(DAVInstanceIDErrorSlot* error) {
    DAVInstanceIDErrorSlot loadError;
    const auto keyPair = loadKeyPairWithError(&loadError);
    if (!keyPair) {
        DAVInstanceIDLoggerError(10009, "Keypair could not be loaded from Keychain. Error: %@",
                                 describeOptionalError(loadError));
        DAVInstanceIDSetError(error, loadError ? *loadError
                                               : errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown));
        return std::nullopt;
    }
    DAVInstanceIDClearError(error);
    auto identity = DAVInstanceIDKeyPair::appIdentityWithKeyPair(*keyPair);
    if (!identity || identity->empty()) {
        DAVInstanceIDSetError(error, errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown));
    }
    return identity;
}

std::shared_ptr<DAVInstanceIDKeyPair> DAVInstanceIDKeyPairStore::loadKeyPairWithError(DAVInstanceIDErrorSlot* error) {
    std::lock_guard guard(lock_);
    if (keyPair_ && keyPair_->isValid()) {
        return keyPair_;
    }
    if (keychainEntitlementsErrorCount_ >= kMaxMissingEntitlementErrorCount) {
        DAVInstanceIDLoggerDebug(10002, "Keychain not accessible, Entitlements missing error (-34018). Will not "
                                        "check token in cache.");
        return nullptr;
    }
    DAVInstanceIDErrorSlot localError;
    DAVInstanceIDErrorSlot* slot = error ? error : &localError;
    if (!keyPair_) {
        migrateKeyPairCacheIfNeeded();
        keyPair_ = validCachedKeyPairWithSubtype("", slot);
        countMissingEntitlement(*slot);
    }
    if (!keyPair_) {
        keyPair_ = generateAndSaveKeyWithSubtype("", DAVInstanceIDNowSeconds(), slot);
        countMissingEntitlement(*slot);
    }
    return keyPair_;
}

std::shared_ptr<DAVInstanceIDKeyPair> DAVInstanceIDKeyPairStore::generateAndSaveKeyWithSubtype(
    const std::string& subtype, std::int64_t creationTime, DAVInstanceIDErrorSlot* error) {
    const std::string& privateTag = privateTagWithSubtype(subtype);
    const std::string& publicTag = publicTagWithSubtype(subtype);
    auto keyPair = DAVInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag(privateTag, publicTag, error);
    if (!keyPair || !keyPair->isValid()) {
        DAVInstanceIDLoggerError(10003, "Unable to generate keypair.");
        return nullptr;
    }
    DAVInstanceIDClearError(error);
    plat::Dictionary times = plist_->contentAsDictionary().value_or(plat::Dictionary{});
    times.set(creationTimeKeyWithSubtype(subtype), creationTime);
    if (plist_->writeDictionary(times, error)) {
        return keyPair;
    }
    // A pair without its creation time would count as stale at the next load: keep none rather than that.
    (void)DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTag, publicTag, nullptr);
    DAVInstanceIDLoggerError(10004, "Failed to save keypair data to plist %@",
                             error && *error ? (*error)->description() : std::string());
    return nullptr;
}

std::shared_ptr<DAVInstanceIDKeyPair> DAVInstanceIDKeyPairStore::validCachedKeyPairWithSubtype(
    const std::string& subtype, DAVInstanceIDErrorSlot* error) {
    const auto times = plist_->contentAsDictionary();
    if (times && times->contains(creationTimeKeyWithSubtype(subtype))) {
        return cachedKeyPairWithSubtype(subtype, error);
    }
    DAVInstanceIDErrorSlot deleteError;
    if (!deleteSavedKeyPairWithSubtype(subtype, &deleteError)) {
        DAVInstanceIDLoggerDebug(10005, "Failed to delete keyPair for subtype %@, error %@", subtype,
                                 describeOptionalError(deleteError));
    }
    DAVInstanceIDSetError(error, errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeInvalidKeyPairCreationTime));
    return nullptr;
}

std::shared_ptr<DAVInstanceIDKeyPair> DAVInstanceIDKeyPairStore::cachedKeyPairWithSubtype(
    const std::string& subtype, DAVInstanceIDErrorSlot* error) {
    return DAVInstanceIDKeyPair::keyPairForPrivateKeyTag(privateTagWithSubtype(subtype),
                                                         publicTagWithSubtype(subtype), error);
}

void DAVInstanceIDKeyPairStore::migrateKeyPairCacheIfNeeded() {
    const std::string legacyPublicTag = legacyPublicTagWithSubtype("");
    DAVInstanceIDErrorSlot legacyError;
    const auto legacy =
        DAVInstanceIDKeyPair::keyPairForPrivateKeyTag(legacyPrivateTagWithSubtype(""), legacyPublicTag, &legacyError);
    {
        std::lock_guard guard(lock_);
        countMissingEntitlement(legacyError);
    }
    if (!legacy || !legacy->isValid() ||
        DAVInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag(legacyPublicTag, publicTagWithSubtype(""))) {
        return;
    }
    const bool publicStored = DAVInstanceIDKeyPair::updateKeyRef(legacy->publicKey(), publicTagWithSubtype(""));
    const bool privateStored = DAVInstanceIDKeyPair::updateKeyRef(legacy->privateKey(), privateTagWithSubtype(""));
    if (publicStored && privateStored) {
        DAVInstanceIDLoggerDebug(9005, "Successfully migrated the keypair from legacy ones.");
    } else {
        DAVInstanceIDLoggerError(9004, "Unable to migrate key pair from legacy ones.");
    }
}

bool DAVInstanceIDKeyPairStore::deleteSavedKeyPairWithSubtype(const std::string& subtype,
                                                              DAVInstanceIDErrorSlot* error) {
    std::shared_ptr<DAVInstanceIDKeyPairStoreDelegate> delegate;
    {
        std::lock_guard guard(lock_);
        const std::string creationTimeKey = creationTimeKeyWithSubtype(subtype);
        if (auto times = plist_->contentAsDictionary(); times && times->contains(creationTimeKey)) {
            times->erase(creationTimeKey);
            if (!plist_->writeDictionary(*times, error)) {
                DAVInstanceIDLoggerError(10006, "Unable to remove keypair creation time from plist %@",
                                         error && *error ? (*error)->description() : std::string());
            }
        }
        DAVInstanceIDClearError(error);
        if (!DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTagWithSubtype(subtype),
                                                               publicTagWithSubtype(subtype), error)) {
            DAVInstanceIDLoggerError(10007, "Unable to remove RSA keypair");
            return false;
        }
        (void)DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(legacyPrivateTagWithSubtype(subtype),
                                                               legacyPublicTagWithSubtype(subtype), nullptr);
        keyPair_.reset();
        delegate = delegate_.lock();
    }
    if (delegate) {
        delegate->keyPairStoreDidDeleteKeyPair(*this);
    }
    return true;
}

bool DAVInstanceIDKeyPairStore::removeKeyPairCreationTimePlistWithError(DAVInstanceIDErrorSlot* error) {
    if (!plist_->deleteFile(error)) {
        DAVInstanceIDLoggerError(10008, "Unable to delete keypair creation times plist");
        return false;
    }
    return true;
}
