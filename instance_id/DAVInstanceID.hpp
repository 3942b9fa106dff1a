#pragma once
// The public face of the instance-ID client: one process-wide instance, configured from the default app's
// options when the core announces it, that keeps the app instance's identity and the default token (the
// sender ID's token of scope "*"), and answers token and identity requests. The measurement engine finds it
// by the runtime class name "DAVInstanceID": class method "instanceID" -> rt::ObjectPtr, instance method
// "appInstanceID:" (std::optional<plat::Error>* out, may be null) -> std::optional<std::string>.

#include "core/DAVApp.hpp"
#include "core/DAVOptions.hpp"
#include "instance_id/DAVInstanceIDKeyPairStore.hpp"
#include "instance_id/DAVInstanceIDTokenManager.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/LoadHooks.hpp"
#include "platform/runtime/Object.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kDAVInstanceIDDefaultTokenNotification = "com.vedudodu.iid.notif.vcm-token";
inline constexpr const char* kDAVInstanceIDRefreshTokenNotification = "com.vedudodu.iid.notif.refresh-token";
inline constexpr const char* kDAVInstanceIDDefaultTokenFailNotification = "com.vedudodu.iid.notif.vcm-token-fail";
inline constexpr const char* kDAVInstanceIDAPNSTokenNotification = "com.vedudodu.iid.notif.apns-token";
inline constexpr const char* kDAVInstanceIDAPNSTokenTypeKey = "APNSTokenType";
// The platform's notifications name their sender by identity only; the value a notification of this client
// carries (a token, an error, APNs token data) travels in its user info under this key.
inline constexpr const char* kDAVInstanceIDNotificationObjectKey = "object";
inline constexpr const char* kDAVInstanceIDConfigureErrorDomain = "com.vedudodu.instanceid";
inline constexpr const char* kDAVInstanceIDProvisioningProfileName = "embedded.mobileprovision";

struct DAVInstanceIDResult {
    std::string instanceID;
    std::optional<std::string> token;
};

class DAVInstanceID : public plat::rt::Object, public DAVInstanceIDKeyPairStoreDelegate {
    struct Key {};

public:
    using TokenHandler = std::function<void(std::optional<std::string>, std::optional<plat::Error>)>;
    using DeleteHandler = std::function<void(std::optional<plat::Error>)>;
    using ResultHandler = std::function<void(std::optional<DAVInstanceIDResult>, std::optional<plat::Error>)>;
    using KeyPairHandler =
        std::function<void(std::shared_ptr<DAVInstanceIDKeyPair>, std::optional<plat::Error>)>;

    static constexpr std::int64_t maxRetryCountForDefaultToken() { return 5; }
    static constexpr std::int64_t minIntervalForDefaultTokenRetry() { return 10; }
    static constexpr std::int64_t maxRetryIntervalForDefaultTokenInSeconds() { return 1200; }

    // The runtime class "DAVInstanceID" with "instanceID" and "appInstanceID:".
    static plat::rt::Class* runtimeClass();
    // The class load hook: observes the core's ready-to-configure notification.
    static void load();
    static plat::rt::LoadHook loadHook() { return {"DAVInstanceID", [] { load(); }}; }
    static void didReceiveConfigureSDKNotification(const plat::Notification& notification);
    // Made and started on first use, then kept for the life of the process.
    static std::shared_ptr<DAVInstanceID> instanceID();
    static plat::Error configureErrorWithReason(const std::string& reason);
    // Reports the failure through the app's diagnostics (when there is an app) and raises.
    [[noreturn]] static void exitWithReason(const std::string& reason, const std::shared_ptr<DAVApp>& app);

    // An instance of its own, not started (the shared one is made the same way).
    static std::shared_ptr<DAVInstanceID> initPrivately();
    DAVInstanceID(plat::rt::Class* cls, Key);
    ~DAVInstanceID() override;

    void start();
    void setupTokenManager();
    void setupKeyPairManager();
    void setupNotificationListeners();

    void configureInstanceIDWithOptions(const std::shared_ptr<DAVOptions>& options,
                                        const std::shared_ptr<DAVApp>& app);
    void didCompleteConfigure();
    bool isVCMAutoInitEnabled() const;

    // The cached default token; without one a fetch starts and the answer is none.
    std::optional<std::string> token();
    std::optional<std::string> cachedTokenIfAvailable();
    void fetchDefaultToken();
    // A request that finds a fetch in flight or waiting for its retry gets that fetch's final outcome.
    void defaultTokenWithHandler(TokenHandler handler);
    std::int64_t retryIntervalToFetchDefaultToken() const;
    void setDefaultVCMToken(std::optional<std::string> token);
    void stopAllRequests();

    void keyPairStoreDidDeleteKeyPair(DAVInstanceIDKeyPairStore& store) override;

    std::optional<std::string> appInstanceID(DAVInstanceIDErrorSlot* error);
    std::shared_ptr<DAVInstanceIDCheckinPreferences> cachedCheckinPreferences() const;
    void fetchCheckinInfoWithHandler(DAVInstanceIDAuthService::Handler handler);

    // Requests; every handler runs on the main queue.
    void tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                   const std::optional<plat::Dictionary>& options, TokenHandler handler);
    void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                         DeleteHandler handler);
    void getIDWithHandler(TokenHandler handler);
    void deleteIDWithHandler(DeleteHandler handler);
    void instanceIDWithHandler(ResultHandler handler);
    void asyncLoadKeyPairWithHandler(KeyPairHandler handler);
    bool deleteIdentity(DAVInstanceIDErrorSlot* error);
    void notifyIdentityReset();
    void notifyAPNSTokenIsSet(const plat::Notification& notification);

    // Read from the provisioning profile once per process.
    static bool isSandboxApp();
    static bool isProductionApp();
    static void logAPNSConfigurationError(const std::string& message);

    bool isFetchingDefaultToken() const { return isFetchingDefaultToken_.load(); }
    bool isDefaultTokenFetchScheduled() const { return isDefaultTokenFetchScheduled_.load(); }
    std::optional<std::string> vcmSenderID() const;
    std::optional<std::string> vedudoduAppID() const;
    std::optional<plat::Data> apnsTokenData() const;
    std::int64_t apnsTokenType() const;
    std::optional<std::string> APNSTupleString() const;
    std::optional<std::string> defaultVCMToken() const;
    std::int64_t retryCountForDefaultToken() const;
    const std::shared_ptr<DAVInstanceIDTokenManager>& tokenManager() const { return tokenManager_; }
    const std::shared_ptr<DAVInstanceIDKeyPairStore>& keyPairStore() const { return keyPairStore_; }

private:
    std::weak_ptr<DAVInstanceID> weakSelf();
    void defaultTokenCompletedWithToken(std::optional<std::string> token, std::optional<plat::Error> error,
                                        const plat::Dictionary& options, bool hadMessagingClass,
                                        TokenHandler handler);
    void answerDefaultTokenWaiters(const std::optional<std::string>& token, const std::optional<plat::Error>& error);
    // Sets the default token and announces a change to a non-empty value, as every default-token answer does.
    void takeDefaultToken(const std::string& token);
    void refetchInvalidatedTokens(std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> records, bool sandbox);

    std::atomic<bool> isFetchingDefaultToken_{false};
    std::atomic<bool> isDefaultTokenFetchScheduled_{false};
    // The refresh policy found the cached default token stale: the next default-token request fetches.
    std::atomic<bool> defaultTokenNeedsRefresh_{false};

    mutable std::mutex mutex_; // guards the fields below
    std::optional<std::string> vcmSenderID_;
    std::optional<std::string> vedudoduAppID_;
    std::optional<plat::Data> apnsTokenData_;
    std::int64_t apnsTokenType_ = 0;
    std::optional<std::string> APNSTupleString_;
    std::optional<std::string> defaultVCMToken_;
    std::int64_t retryCountForDefaultToken_ = 0;
    std::vector<TokenHandler> defaultTokenWaiters_;

    std::shared_ptr<DAVInstanceIDTokenManager> tokenManager_;
    std::shared_ptr<DAVInstanceIDKeyPairStore> keyPairStore_;
};
