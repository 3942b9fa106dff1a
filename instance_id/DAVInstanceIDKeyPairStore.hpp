#pragma once
// Names, loads, generates, migrates and deletes the app instance's key pair, and records each pair's
// creation time in a backup-excluded plist so that a reinstall (keychain kept, files gone) is noticed.

#include "instance_id/DAVInstanceIDBackupExcludedPlist.hpp"
#include "instance_id/DAVInstanceIDErrors.hpp"
#include "instance_id/DAVInstanceIDKeyPair.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class DAVInstanceIDKeyPairStore;

class DAVInstanceIDKeyPairStoreDelegate {
public:
    virtual ~DAVInstanceIDKeyPairStoreDelegate() = default;
    virtual void keyPairStoreDidDeleteKeyPair(DAVInstanceIDKeyPairStore& store) = 0;
};

class DAVInstanceIDKeyPairStore {
public:
    // Loads that give up at once after this many missing-entitlement statuses.
    static constexpr int kMaxMissingEntitlementErrorCount = 3;

    DAVInstanceIDKeyPairStore();

    static const std::string& publicTagWithSubtype(const std::string& subtype);
    static const std::string& privateTagWithSubtype(const std::string& subtype);
    static std::string legacyPublicTagWithSubtype(const std::string& subtype);
    static std::string legacyPrivateTagWithSubtype(const std::string& subtype);
    static std::string creationTimeKeyWithSubtype(const std::string& subtype);
    static std::string keyStoreFileName();

    void setDelegate(std::weak_ptr<DAVInstanceIDKeyPairStoreDelegate> delegate);

    void invalidateKeyPairsIfNeeded();
    bool hasCachedKeyPairs();
    std::optional<std::string> appIdentityWithError(DAVInstanceIDErrorSlot* error);
    std::shared_ptr<DAVInstanceIDKeyPair> loadKeyPairWithError(DAVInstanceIDErrorSlot* error);
    std::shared_ptr<DAVInstanceIDKeyPair> generateAndSaveKeyWithSubtype(const std::string& subtype,
                                                                        std::int64_t creationTime,
                                                                        DAVInstanceIDErrorSlot* error);
    std::shared_ptr<DAVInstanceIDKeyPair> validCachedKeyPairWithSubtype(const std::string& subtype,
                                                                        DAVInstanceIDErrorSlot* error);
    std::shared_ptr<DAVInstanceIDKeyPair> cachedKeyPairWithSubtype(const std::string& subtype,
                                                                   DAVInstanceIDErrorSlot* error);
    void migrateKeyPairCacheIfNeeded();
    bool deleteSavedKeyPairWithSubtype(const std::string& subtype, DAVInstanceIDErrorSlot* error);
    bool removeKeyPairCreationTimePlistWithError(DAVInstanceIDErrorSlot* error);

    int keychainEntitlementsErrorCount() const;

private:
    void countMissingEntitlement(const DAVInstanceIDErrorSlot& error);

    // Held across a whole load, so concurrent first uses generate one pair; re-entered by the deletion a
    // load may run.
    mutable std::recursive_mutex lock_;
    int keychainEntitlementsErrorCount_ = 0;
    std::weak_ptr<DAVInstanceIDKeyPairStoreDelegate> delegate_;
    std::unique_ptr<DAVInstanceIDBackupExcludedPlist> plist_;
    std::shared_ptr<DAVInstanceIDKeyPair> keyPair_;
};
