#pragma once
// The token side of the instance-ID client: runs token fetches and deletions one at a time on its own queue,
// turns a fetched token into a cached record, deletes a deleted app's server registrations, and drops cached
// records that went stale or were bound to another APNs token.

#include "instance_id/DAVInstanceIDAPNSInfo.hpp"
#include "instance_id/DAVInstanceIDAuthService.hpp"
#include "instance_id/DAVInstanceIDKeyPair.hpp"
#include "instance_id/DAVInstanceIDStore.hpp"
#include "instance_id/DAVInstanceIDTokenOperation.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kDAVInstanceIDTokenOperationsQueueName = "com.razoza.iid-token-operations";

class DAVInstanceIDTokenManager : public DAVInstanceIDStoreDelegate,
                                  public std::enable_shared_from_this<DAVInstanceIDTokenManager> {
    struct Key {};

public:
    using FetchHandler = std::function<void(std::optional<std::string>, std::optional<plat::Error>)>;
    using DeleteHandler = std::function<void(std::optional<plat::Error>)>;

    // The queue comes first: opening the store may already hand over a deleted app's credentials, whose
    // unregister goes onto it. Then the store, then the auth service over it.
    static std::shared_ptr<DAVInstanceIDTokenManager> make();
    explicit DAVInstanceIDTokenManager(Key);
    ~DAVInstanceIDTokenManager() override;
    DAVInstanceIDTokenManager(const DAVInstanceIDTokenManager&) = delete;
    DAVInstanceIDTokenManager& operator=(const DAVInstanceIDTokenManager&) = delete;

    void configureTokenOperations();

    // The handler gets (token, error) on the main queue, where the record is also built and saved.
    void fetchNewTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                           std::shared_ptr<const DAVInstanceIDKeyPair> keyPair,
                                           const plat::Dictionary& options, FetchHandler handler);
    std::shared_ptr<DAVInstanceIDTokenInfo> cachedTokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                                const std::string& scope) const;
    // The cached record goes at once and stays gone when the server call then fails.
    void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                         std::shared_ptr<const DAVInstanceIDKeyPair> keyPair,
                                         DeleteHandler handler);
    // Without check-in credentials there is nothing registered to delete: success, nothing sent.
    void deleteAllTokensWithKeyPair(std::shared_ptr<const DAVInstanceIDKeyPair> keyPair, DeleteHandler handler);
    bool deleteAllTokensLocallyWithError(DAVInstanceIDErrorSlot* error);
    void stopAllTokenOperations();

    void storeDidDeleteVCMScopedTokensForCheckin(DAVInstanceIDStore& store,
                                                 const DAVInstanceIDCheckinPreferences& checkin) override;

    std::shared_ptr<DAVInstanceIDTokenOperation>
    createFetchOperationWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                             const plat::Dictionary& options,
                                             std::shared_ptr<const DAVInstanceIDKeyPair> keyPair);
    std::shared_ptr<DAVInstanceIDTokenOperation> createDeleteOperationWithAuthorizedEntity(
        std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
        std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
        std::shared_ptr<const DAVInstanceIDKeyPair> keyPair, DAVInstanceIDTokenAction action);

    // Drops stale records, except a stale default-scope record, which stays for the caller to refresh: YES
    // when one was seen.
    bool checkForTokenRefreshPolicy();
    // The records bound to another APNs token (or to none), removed from the cache; empty when the token and
    // environment are the current ones.
    std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> updateTokensToAPNSDeviceToken(const plat::Data& deviceToken,
                                                                                      bool isSandbox);

    const std::shared_ptr<DAVInstanceIDAuthService>& authService() const { return authService_; }
    const std::shared_ptr<DAVInstanceIDStore>& instanceIDStore() const { return instanceIDStore_; }
    const std::shared_ptr<plat::OperationQueue>& tokenOperations() const { return tokenOperations_; }
    std::shared_ptr<DAVInstanceIDAPNSInfo> currentAPNSInfo() const;

private:
    void init();

    std::shared_ptr<DAVInstanceIDAuthService> authService_;
    std::shared_ptr<DAVInstanceIDStore> instanceIDStore_;
    std::shared_ptr<plat::OperationQueue> tokenOperations_;
    mutable std::mutex mutex_; // guards currentAPNSInfo_
    std::shared_ptr<DAVInstanceIDAPNSInfo> currentAPNSInfo_;
};
