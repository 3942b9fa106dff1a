#pragma once
// The facade's process-wide state, shared by the source files of the facade (start-up, prompts and
// states, registration). Start-up runs on main, but the transport's replies, the registration queue, the
// settings queue and the app's threads reach it too, so every entry is read and written under the one
// mutex, and nothing is called while holding it (app blocks, logs, other objects' locks).

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "RadIrivozSDK/Source/RadIrivozNotificationSettings.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Timer.hpp"
#include "platform/foundation/Date.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

class RadIrivozTrackIAP;

struct RadIrivozClassState {
    std::mutex mutex;
    std::optional<std::string> appId;
    RIInFocusDisplayType inFocusDisplayType = RIInFocusDisplayType::RIInFocusDisplayInAppAlert;
    std::shared_ptr<RIPermissionState> currentPermissionState;
    std::shared_ptr<RISubscriptionState> currentSubscriptionState;
    std::shared_ptr<RIEmailSubscriptionState> currentEmailSubscriptionState;
    int32_t lastNotificationTypes = -1;
    int32_t subscriptionErrorStatus = -1;
    // Receive and open handling: the last message id per branch, and an address waiting for a player id.
    std::optional<std::string> lastAppActiveMessageId;
    std::optional<std::string> lastNonActiveMessageId;
    bool badgeClearingDisabled = false;
    std::optional<std::string> pendingHashedEmail;
    bool waitingForApnsResponse = false;
    bool iosParamsRequested = false;
    bool iosParamsDownloaded = false;
    // The request failed and has not been asked again yet.
    bool iosParamsFailed = false;
    std::optional<plat::Dictionary> iosParams;
    bool coldStartFromTap = false;
    std::optional<plat::Date> initializationTime;
    bool requiresConsent = false;
    bool delayedForConsent = false;
    std::optional<DelayedInitializationParameters> delayedParameters;
    bool registeredWithApns = false;
    bool autoPrompt = false;
    bool provisionalRequested = false;
    bool promptToShowURL = false;
    bool providesAppNotificationSettings = false;
    bool locationShared = true;
    std::shared_ptr<RadIrivozTrackIAP> purchaseTracker;
    double apnsWait = 25.0;
    double registrationDelay = 30.0;
    ONE_S_LOG_LEVEL logLevel = ONE_S_LOG_LEVEL::ONE_S_LL_WARN;
    ONE_S_LOG_LEVEL visualLogLevel = ONE_S_LOG_LEVEL::ONE_S_LL_NONE;

    // Permission and states.
    std::shared_ptr<RadIrivozNotificationSettings> osNotificationSettings;
    std::shared_ptr<RIPermissionState> lastPermissionState;
    std::shared_ptr<RISubscriptionState> lastSubscriptionState;
    std::shared_ptr<RIEmailSubscriptionState> lastEmailSubscriptionState;
    std::shared_ptr<RIPermissionObservable> permissionStateChangesObserver;
    std::shared_ptr<RISubscriptionObservable> subscriptionStateChangesObserver;
    std::shared_ptr<RIEmailSubscriptionObservable> emailSubscriptionStateChangesObserver;
    bool shouldDelaySubscriptionSettingsUpdate = false;
    RIIdsAvailableBlock idsAvailableBlock;
    bool remoteNotificationBackgroundMode = false;

    // Registration.
    bool registrationInProgress = false;
    bool nextRegistrationHighPriority = false;
    std::shared_ptr<plat::DispatchQueue> registerQueue;
    plat::Timer delayedRegistration;
    RIResultSuccessBlock tokenUpdateSuccessBlock;
    RIFailureBlock tokenUpdateFailureBlock;
    std::string sdkType = "native";

    // Tags: merged writes waiting for the delayed send (or the next registration), the blocks that came
    // with them, and a tag read made before there was a player id.
    std::optional<plat::Dictionary> pendingTags;
    std::vector<RIPendingCallbacks> pendingTagCallbacks;
    std::optional<RIPendingCallbacks> pendingGetTags;
    plat::Timer tagSend;

    // The last setEmail call that waits for the push player id or the remote parameters.
    struct PendingEmail {
        std::string email;
        std::optional<std::string> authHash;
        std::function<void()> success;
        RIFailureBlock failure;
    };
    std::optional<PendingEmail> pendingEmail;
};

RadIrivozClassState& radIrivozClassState();

template <class F> auto withRadIrivozClassState(F&& fn) {
    RadIrivozClassState& s = radIrivozClassState();
    std::lock_guard lock(s.mutex);
    return fn(s);
}
