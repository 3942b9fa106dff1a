#pragma once
// The instance-ID client's one persistence front: check-ins and tokens, the client's Application Support
// folder, and the start-up check that finds credentials left in the keychain by a deleted app.

#include "instance_id/DAVInstanceIDCheckinStore.hpp"
#include "instance_id/DAVInstanceIDTokenStore.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kDAVInstanceIDLibraryVersionKey = "VUREzodevevUD-version";

class DAVInstanceIDStore;

class DAVInstanceIDStoreDelegate {
public:
    virtual ~DAVInstanceIDStoreDelegate() = default;
    // The credentials of the earlier installation, already removed from the keychain: the server's
    // registrations made with them are to be deleted.
    virtual void storeDidDeleteVCMScopedTokensForCheckin(DAVInstanceIDStore& store,
                                                         const DAVInstanceIDCheckinPreferences& checkin) = 0;
};

class DAVInstanceIDStore {
public:
    explicit DAVInstanceIDStore(std::weak_ptr<DAVInstanceIDStoreDelegate> delegate);
    DAVInstanceIDStore(std::unique_ptr<DAVInstanceIDCheckinStore> checkinStore,
                       std::unique_ptr<DAVInstanceIDTokenStore> tokenStore,
                       std::weak_ptr<DAVInstanceIDStoreDelegate> delegate);

    static std::string pathForApplicationSupportSubDirectory(const std::string& subDirectoryName);
    static bool hasApplicationSupportSubDirectory(const std::string& subDirectoryName);
    static bool createApplicationSupportSubDirectory(const std::string& subDirectoryName);
    static bool removeApplicationSupportSubDirectory(const std::string& subDirectoryName,
                                                     DAVInstanceIDErrorSlot* error);

    void resetCredentialsIfNeeded();
    void saveLibraryVersion();
    std::optional<plat::Value> currentSavedLibraryVersion() const;
    bool hasSavedLibraryVersion() const;

    std::shared_ptr<DAVInstanceIDTokenInfo> tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                          const std::string& scope) const;
    std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> cachedTokenInfos() const;
    bool saveTokenInfo(DAVInstanceIDTokenInfo& tokenInfo) const;
    void removeCachedTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                               const std::string& scope) const;
    bool removeAllCachedTokensWithError(DAVInstanceIDErrorSlot* error) const;

    bool saveCheckinPreferences(const DAVInstanceIDCheckinPreferences& preferences,
                                DAVInstanceIDErrorSlot* error);
    std::shared_ptr<DAVInstanceIDCheckinPreferences> cachedCheckinPreferences();
    bool removeCheckinPreferences(DAVInstanceIDErrorSlot* error);

    DAVInstanceIDCheckinStore& checkinStore() { return *checkinStore_; }
    DAVInstanceIDTokenStore& tokenStore() { return *tokenStore_; }

private:
    std::weak_ptr<DAVInstanceIDStoreDelegate> delegate_;
    std::unique_ptr<DAVInstanceIDCheckinStore> checkinStore_;
    std::unique_ptr<DAVInstanceIDTokenStore> tokenStore_;
};
