// The facade's server sync: when the device registers as a player (create or new session), the player
// record, the ids that come back, the push token and notification types between sessions, purchases, and
// what the device-token and registration-failure callbacks of the platform turn into.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozLocation.hpp"
#include "RadIrivozSDK/Source/RadIrivozTrackVedudoduAnalytics.hpp"
#include "RadIrivozSDK/Source/RadIrivozMobileProvision.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "RadIrivozSDK/Source/RadIrivozState.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIDevice.hpp"

namespace {

constexpr const char* kLastClosedTime = "RV_LAST_CLOSED_TIME";
constexpr const char* kEmailPlayerIdKey = "RV_EMAIL_PLAYER_ID";
constexpr const char* kSubscriptionKey = "RADIRIVOZ_SUBSCRIPTION";
constexpr const char* kPromptAnsweredKey = "RI_NOTIFICATION_PROMPT_ANSWERED";
// A registration inside this many seconds of the last session's end is the same session.
constexpr double kSessionWindow = 30.0;

void syncLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

plat::UserDefaults& syncDefaults() {
    return plat::UserDefaults::standardUserDefaults();
}

template <class F> auto withSync(F&& fn) {
    return withRadIrivozClassState(std::forward<F>(fn));
}

std::optional<std::string> replyId(const plat::Dictionary& results, std::string_view key) {
    const plat::Value* reply = results.find(key);
    const plat::Value* id = reply ? reply->find("id") : nullptr;
    if (id && id->isString() && !id->asString().empty()) {
        return id->asString();
    }
    return std::nullopt;
}

// The advertising identifier, when the framework is linked: "OptedOut" while tracking is off.
std::optional<std::string> advertisingId() {
    plat::rt::Class* manager = plat::rt::getClass("ASIdentifierManager");
    if (!manager) {
        return std::nullopt;
    }
    auto shared = plat::rt::msgSend<plat::rt::ObjectPtr>(*manager, "sharedManager");
    if (!shared) {
        return std::nullopt;
    }
    if (!plat::rt::msgSend<bool>(shared, "isAdvertisingTrackingEnabled")) {
        return std::string("OptedOut");
    }
    return plat::rt::msgSend<plat::UUID>(shared, "advertisingIdentifier").uuidString();
}

// The player record, key by key in the order the service documents.
plat::Dictionary playerRecord(const std::optional<std::string>& userId) {
    plat::Dictionary record;
    record.set("app_id", stringOrNull(RadIrivoz::app_id()));
    record.set("device_os", plat::Value(plat::DeviceProfile::systemVersion()));
    record.set("timezone", plat::Value(static_cast<int64_t>(plat::TimeZone::local().secondsFromGMT())));
    record.set("device_type", plat::Value(0));
    if (auto vendor = plat::UIDevice::currentDevice().identifierForVendor()) {
        record.set("ad_id", plat::Value(vendor->uuidString()));
    }
    record.set("sdk", plat::Value(RadIrivoz::sdk_version_raw()));
    if (const std::string machine = plat::DeviceProfile::machine(); !machine.empty()) {
        record.set("device_model", plat::Value(machine));
    }
    if (auto version = plat::Bundle::main()->version()) {
        record.set("game_version", plat::Value(*version));
    }
    if (plat::Value netType = RadIrivozHelper::getNetType(); !netType.isNull()) {
        record.set("net_type", netType);
    }
    if (!userId) {
        record.set("sdk_type", plat::Value(withSync([](RadIrivozClassState& s) { return s.sdkType; })));
        record.set("ios_bundle", stringOrNull(plat::Bundle::main()->bundleIdentifier()));
    }
    if (auto languages = plat::Locale::preferredLanguages(); !languages.empty()) {
        record.set("language", plat::Value(languages.front()));
    }
    const int32_t types = RadIrivoz::getNotificationTypes();
    withSync([&](RadIrivozClassState& s) { s.lastNotificationTypes = types; });
    record.set("notification_types", plat::Value(static_cast<int64_t>(types)));
    if (auto asId = advertisingId()) {
        record.set("as_id", plat::Value(*asId));
    }
    if (const int64_t mode = RadIrivozMobileProvision::releaseMode(); mode >= 1 && mode <= 3) {
        record.set("test_type", plat::Value(mode));
    }
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "Calling RadIrivoz create/on_session");
    if (withSync([](RadIrivozClassState& s) { return s.locationShared; })) {
        if (auto location = RadIrivozLocation::lastLocation()) {
            record.set("lat", plat::Value(location->cords.latitude));
            record.set("long", plat::Value(location->cords.longitude));
            record.set("loc_acc_vert", plat::Value(location->verticalAccuracy));
            record.set("loc_acc", plat::Value(location->horizontalAccuracy));
            RadIrivozLocation::clearLastLocation();
        }
    }
    return record;
}

// One registration run's requests, answered one by one: the push player's result stands on its own, so an
// e-mail request that fails does not cost the device the push player the service just created.
struct RegistrationRun {
    std::mutex mutex;
    size_t pending = 0;
    // The blocks of the tag writes this run carries; answered with the push player's result.
    std::vector<RIPendingCallbacks> tagCallbacks;
    plat::Dictionary results;
    std::map<std::string, plat::Error> errors;
};

void registrationSucceeded(const plat::Dictionary& results);
void registrationFinished(const std::shared_ptr<RegistrationRun>& run);

} // namespace

// ---- when to register ----

void RadIrivoz::registerUser() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        return;
    }
    const bool postpone = withSync([](RadIrivozClassState& s) {
        return s.waitingForApnsResponse && s.initializationTime &&
               plat::Date::now().timeIntervalSince1970() - s.initializationTime->timeIntervalSince1970() < s.apnsWait;
    });
    if (postpone) {
        registerUserAfterDelay();
        return;
    }
    auto queue = withSync([](RadIrivozClassState& s) {
        if (!s.registerQueue) {
            s.registerQueue = plat::DispatchQueue::makeSerial("com.radirivoz.regiseruser");
        }
        return s.registerQueue;
    });
    queue->async([] { registerUserInternal(); });
}

void RadIrivoz::registerUserAfterDelay() {
    withSync([](RadIrivozClassState& s) {
        s.delayedRegistration.cancel();
        s.delayedRegistration = plat::DispatchQueue::main()->asyncAfter(s.registrationDelay, [] { registerUser(); });
    });
}

std::shared_ptr<plat::DispatchQueue> RadIrivoz::getRegisterQueue() {
    return withSync([](RadIrivozClassState& s) { return s.registerQueue; });
}

bool RadIrivoz::shouldRegisterNow() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) ||
        withSync([](RadIrivozClassState& s) { return s.registrationInProgress; })) {
        return false;
    }
    const double lastClosed = syncDefaults().doubleValue(kLastClosedTime);
    if (lastClosed == 0) {
        updateLastSessionDateTime();
        return true;
    }
    return isHighPriorityCall() || plat::Clock::now() - lastClosed > kSessionWindow;
}

bool RadIrivoz::isHighPriorityCall() {
    if (!currentSubscriptionState()->userId()) {
        return true;
    }
    return withSync([](RadIrivozClassState& s) { return s.nextRegistrationHighPriority; });
}

void RadIrivoz::setNextRegistrationHighPriority(bool value) {
    withSync([&](RadIrivozClassState& s) { s.nextRegistrationHighPriority = value; });
}

void RadIrivoz::updateLastSessionDateTime() {
    syncDefaults().setDouble(kLastClosedTime, plat::Clock::now());
    syncDefaults().synchronize();
}

// ---- one registration run ----

void RadIrivoz::registerUserInternal() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) || !shouldRegisterNow()) {
        return;
    }
    RadIrivozTrackVedudoduAnalytics::trackInfluenceOpenEvent();
    withSync([](RadIrivozClassState& s) {
        s.registrationInProgress = true;
        s.delayedRegistration.cancel();
    });
    auto subscription = currentSubscriptionState();
    const std::optional<std::string> userId = subscription->userId();
    const plat::Dictionary record = playerRecord(userId);

    std::map<std::string, RadIrivozRequestPtr> requests;
    plat::Dictionary pushRecord = record;
    if (auto token = subscription->pushToken()) {
        pushRecord.set("identifier", plat::Value(*token));
    }
    std::vector<RIPendingCallbacks> tagCallbacks;
    if (auto tags = RadIrivoz::takePendingTags(tagCallbacks)) {
        pushRecord.set("tags", plat::Value(std::move(*tags)));
    }
    requests["push"] = RIRequestRegisterUser::withData(std::move(pushRecord), userId);

    auto email = currentEmailSubscriptionState();
    if (auto emailUserId = email->emailUserId();
        emailUserId && (!email->requiresEmailAuth() || email->emailAuthCode())) {
        plat::Dictionary emailRecord = record;
        emailRecord.set("device_type", plat::Value(11));
        if (auto code = email->emailAuthCode()) {
            emailRecord.set("email_auth_hash", plat::Value(*code));
        }
        requests["email"] = RIRequestRegisterUser::withData(std::move(emailRecord), emailUserId);
    }

    auto run = std::make_shared<RegistrationRun>();
    run->pending = requests.size();
    run->tagCallbacks = std::move(tagCallbacks);
    for (auto& [key, request] : requests) {
        RadIrivozClient::sharedClient().executeRequest(
            request,
            [run, key](const std::optional<plat::Value>& reply) {
                {
                    std::lock_guard lock(run->mutex);
                    run->results.set(key, reply.value_or(plat::Value()));
                }
                registrationFinished(run);
            },
            [run, key](const plat::Error& error) {
                {
                    std::lock_guard lock(run->mutex);
                    run->errors.emplace(key, error);
                }
                registrationFinished(run);
            });
    }
}

namespace {

void registrationFinished(const std::shared_ptr<RegistrationRun>& run) {
    plat::Dictionary results;
    std::map<std::string, plat::Error> errors;
    {
        std::lock_guard lock(run->mutex);
        if (--run->pending > 0) {
            return;
        }
        results = run->results;
        errors = run->errors;
    }
    withSync([](RadIrivozClassState& s) { s.registrationInProgress = false; });
    for (const auto& entry : run->tagCallbacks) {
        if (const plat::Value* reply = results.find("push"); reply && entry.successBlock) {
            entry.successBlock(*reply);
        } else if (auto it = errors.find("push"); it != errors.end() && entry.failureBlock) {
            entry.failureBlock(it->second);
        }
    }
    for (const char* key : {"push", "email"}) {
        if (auto it = errors.find(key); it != errors.end()) {
            syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, std::string("Encountered error during ") + key +
                                                         " registration with RadIrivoz: " +
                                                         it->second.description());
        }
    }
    if (results.contains("push")) {
        registrationSucceeded(results);
    }
    if (!errors.empty()) {
        // Whatever failed is tried again at the next registration, even inside the session window.
        RadIrivoz::setNextRegistrationHighPriority(true);
    }
}

void registrationSucceeded(const plat::Dictionary& results) {
    withSync([](RadIrivozClassState& s) { s.nextRegistrationHighPriority = false; });
    RadIrivoz::updateLastSessionDateTime();
    auto subscription = RadIrivoz::currentSubscriptionState();
    auto& defaults = syncDefaults();

    // The push player first: what the e-mail id sets off goes to players/<id>.
    if (auto playerId = replyId(results, "push")) {
        subscription->setUserId(*playerId);
        defaults.set(RadIrivozKeys::playerId, plat::Value(*playerId));
        defaults.synchronize();
        RadIrivoz::onRegistrationSucceeded();
        if (auto token = subscription->pushToken()) {
            auto [success, failure] = withSync([](RadIrivozClassState& s) {
                return std::pair(s.tokenUpdateSuccessBlock, s.tokenUpdateFailureBlock);
            });
            RadIrivoz::updateDeviceToken(*token, success, failure);
        }
        if (auto hashedEmail = withSync([](RadIrivozClassState& s) { return std::exchange(s.pendingHashedEmail, std::nullopt); })) {
            RadIrivoz::syncHashedEmail(*hashedEmail);
        }
        RadIrivoz::fireIdsAvailableCallback();
        RadIrivoz::sendNotificationTypesUpdate();
        RadIrivoz::replayPendingTagWork();
        RadIrivoz::replayPendingEmail();
        RadIrivozLocation::sendLocation();
    }
    if (auto emailPlayerId = replyId(results, "email")) {
        auto email = RadIrivoz::currentEmailSubscriptionState();
        if (auto known = email->emailUserId(); known && *known != *emailPlayerId && email->emailAuthCode()) {
            RadIrivoz::emailChangedWithNewEmailPlayerId(*emailPlayerId);
        }
        email->setEmailUserId(*emailPlayerId);
        defaults.set(kEmailPlayerIdKey, plat::Value(*emailPlayerId));
    }
    defaults.synchronize();
}

} // namespace

// ---- token, types, purchases ----

void RadIrivoz::updateDeviceToken(const std::string& deviceToken, RIResultSuccessBlock successBlock,
                                  RIFailureBlock failureBlock) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("updateDeviceToken:onSuccess:onFailure:")) {
        return;
    }
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "updateDeviceToken:onSuccess:onFailure:");
    osNotificationSettings()->onAPNsResponse(true);
    auto subscription = currentSubscriptionState();
    const bool tokenChanged = subscription->pushToken() != deviceToken;
    if (tokenChanged) {
        setNextRegistrationHighPriority(true);
    } else {
        const int32_t types = getNotificationTypes();
        setNextRegistrationHighPriority(withSync([](RadIrivozClassState& s) { return s.lastNotificationTypes; }) !=
                                        types);
    }

    const std::optional<std::string> userId = subscription->userId();
    if (!userId) {
        subscription->setPushToken(deviceToken);
        withSync([&](RadIrivozClassState& s) {
            s.tokenUpdateSuccessBlock = std::move(successBlock);
            s.tokenUpdateFailureBlock = std::move(failureBlock);
        });
        osNotificationSettings()->getNotificationPermissionState([](const std::shared_ptr<RIPermissionState>& p) {
            if (p->answeredPrompt() || p->provisional()) {
                registerUser();
            } else {
                registerUserAfterDelay();
            }
        });
        return;
    }
    if (!tokenChanged) {
        if (successBlock) {
            successBlock(std::nullopt);
        }
        return;
    }
    subscription->setPushToken(deviceToken);
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "Calling RadIrivoz PUT updated pushToken!");
    auto request = RIRequestUpdateDeviceToken::withUserId(userId, app_id(), deviceToken,
                                                          plat::Value(static_cast<int64_t>(getNotificationTypes())),
                                                          std::nullopt, std::nullopt, std::nullopt);
    RadIrivozClient::sharedClient().executeRequest(request, std::move(successBlock), std::move(failureBlock));
    fireIdsAvailableCallback();
}

bool RadIrivoz::sendNotificationTypesUpdate() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        return false;
    }
    const int32_t types = getNotificationTypes();
    auto subscription = currentSubscriptionState();
    const std::optional<std::string> userId = subscription->userId();
    const int32_t last = withSync([](RadIrivozClassState& s) { return s.lastNotificationTypes; });
    if (types == -1 || !userId || types == last) {
        return false;
    }
    if (!subscription->pushToken() && registerForAPNsToken()) {
        return true;
    }
    withSync([&](RadIrivozClassState& s) {
        s.lastNotificationTypes = types;
        s.shouldDelaySubscriptionSettingsUpdate = true;
    });
    // Permission changes held back meanwhile are applied once the server has the types, whatever its answer:
    // a failed update must not keep the subscription observers from hearing of them for the process's life.
    auto release = [](auto&&...) {
        setShouldDelaySubscriptionSettingsUpdate(false);
        auto current = currentSubscriptionState();
        if (current->delayedObserverUpdate()) {
            current->setAccepted(getNotificationTypes() > 0);
        }
    };
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestUpdateNotificationTypes::withUserId(userId, app_id(), plat::Value(static_cast<int64_t>(types))),
        [release](const std::optional<plat::Value>&) { release(); },
        [release](const plat::Error&) { release(); });
    if (getUsableDeviceToken()) {
        fireIdsAvailableCallback();
    }
    return true;
}

void RadIrivoz::sendPurchases(const plat::Array& purchases) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        return;
    }
    const std::optional<std::string> userId = currentSubscriptionState()->userId();
    if (!userId) {
        return;
    }
    std::map<std::string, RadIrivozRequestPtr> requests;
    requests["push"] = RIRequestSendPurchases::withUserId(userId, app_id(), purchases);
    auto email = currentEmailSubscriptionState();
    if (auto emailUserId = email->emailUserId()) {
        requests["email"] = RIRequestSendPurchases::withUserId(emailUserId, email->emailAuthCode(), app_id(), purchases);
    }
    RadIrivozClient::sharedClient().executeSimultaneousRequests(requests, nullptr, nullptr);
}

void RadIrivoz::handleDidFailRegisterForRemoteNotification(const plat::Error& error) {
    setWaitingForApnsResponse(false);
    const std::string text = error.localizedDescription();
    if (error.code == 3000 && text.find("no valid 'aps-environment'") != std::string::npos) {
        setSubscriptionErrorStatus(-13);
        syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "ERROR! 'Push Notification' capability not turned on! Enable it "
                                                 "in Xcode under 'Project Target' -> Capability.");
    } else if (error.code == 3000) {
        setSubscriptionErrorStatus(-17);
        syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR,
                "ERROR! Unknown 3000 error returned from APNs when getting a push token: " + error.description());
    } else if (error.code == 3010) {
        setSubscriptionErrorStatus(-15);
        syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR,
                "Error! iOS Simulator does not support push! Please test on a real iOS device. Error: " +
                    error.description());
    } else {
        setSubscriptionErrorStatus(-16);
        syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR,
                "Error registering for Apple push notifications! Error: " + error.description());
    }
    osNotificationSettings()->onAPNsResponse(false);
}

std::optional<std::string> RadIrivoz::getUsableDeviceToken() {
    if (subscriptionErrorStatus() <= -2 || !currentPermissionState()->accepted()) {
        return std::nullopt;
    }
    return currentSubscriptionState()->pushToken();
}

void RadIrivoz::setSubscription(bool enable) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("setSubscription:")) {
        return;
    }
    auto& defaults = syncDefaults();
    if (enable) {
        defaults.remove(kSubscriptionKey);
    } else {
        defaults.set(kSubscriptionKey, plat::Value("no"));
    }
    defaults.synchronize();
    setShouldDelaySubscriptionSettingsUpdate(true);
    currentSubscriptionState()->setUserSubscriptionSetting(enable);
    if (app_id()) {
        sendNotificationTypesUpdate();
    }
}

void RadIrivoz::setLocationShared(bool enable) {
    withSync([&](RadIrivozClassState& s) { s.locationShared = enable; });
    if (!enable) {
        RadIrivozLocation::cancelSendTimer();
    }
}

void RadIrivoz::promptLocation() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("promptLocation")) {
        return;
    }
    RadIrivozLocation::getLocation(true);
}

// ---- notification types and the device token ----

int32_t RadIrivoz::getNotificationTypes() {
    const int32_t status = subscriptionErrorStatus();
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "getNotificationTypes:mSubscriptionStatus: " + std::to_string(status));
    if (status < -9) {
        return status;
    }
    auto subscription = currentSubscriptionState();
    if (waitingForApnsResponse() && !subscription->pushToken()) {
        return -14;
    }
    auto permission = osNotificationSettings()->getNotificationPermissionState();
    if (!permission->provisional() && !permission->hasPrompted()) {
        return -18;
    }
    if (permission->provisional() || permission->answeredPrompt()) {
        return subscription->userSubscriptionSetting() ? permission->notificationTypes() : -2;
    }
    return -19;
}

void RadIrivoz::setSubscriptionErrorStatus(int32_t status) {
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "setSubscriptionErrorStatus: " + std::to_string(status));
    withSync([&](RadIrivozClassState& s) { s.subscriptionErrorStatus = status; });
    if (currentSubscriptionState()->userId()) {
        sendNotificationTypesUpdate();
    } else {
        registerUser();
    }
}

int32_t RadIrivoz::subscriptionErrorStatus() {
    return withSync([](RadIrivozClassState& s) { return s.subscriptionErrorStatus; });
}

void RadIrivoz::updateNotificationTypes(int32_t notificationTypes) {
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "updateNotificationTypes called: " + std::to_string(notificationTypes));
    if (plat::DeviceProfile::floatVersion() < 10.0f) {
        syncDefaults().set(kPromptAnsweredKey, plat::Value(true));
        syncDefaults().synchronize();
    }
    const bool started = registerForAPNsToken();
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "startedRegister: " + std::to_string(started ? 1 : 0));
    osNotificationSettings()->onNotificationPromptResponse(notificationTypes);
    if (subscriptionErrorStatus() == -2) {
        return;
    }
    auto subscription = currentSubscriptionState();
    if (!subscription->userId() && !started) {
        registerUser();
    } else if (subscription->pushToken()) {
        sendNotificationTypesUpdate();
    }
    if (getUsableDeviceToken()) {
        fireIdsAvailableCallback();
    }
}

void RadIrivoz::didRegisterForRemoteNotifications(const std::shared_ptr<plat::UIApplication>&,
                                                  const plat::Data& deviceToken) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        return;
    }
    const std::string token = RadIrivozHelper::lowercaseHex(deviceToken);
    syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_INFO, "Device Registered with Apple: " + token);
    setWaitingForApnsResponse(false);
    if (!app_id()) {
        return;
    }
    updateDeviceToken(
        token,
        [](const std::optional<plat::Value>&) {
            syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_INFO, "Device Registered with RadIrivoz: " +
                                                        currentSubscriptionState()->userId().value_or("(null)"));
        },
        [](const plat::Error& error) {
            syncLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "Error in RadIrivoz Registration: " + error.description());
        });
}
