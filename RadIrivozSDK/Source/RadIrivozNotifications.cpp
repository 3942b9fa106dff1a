// The facade's receive and open handling: what every interception layer hands over becomes a duplicate
// check, the in-focus presentation, the app's received block and, for an open, the opened report, the launch
// URL, badge clearing and the app's opened block.

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozAlertView.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozNotificationSettings.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "RadIrivozSDK/Source/RadIrivozSeams.hpp"
#include "RadIrivozSDK/Source/RadIrivozState.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/net/URL.hpp"
#include "platform/uikit/UIApplication.hpp"

namespace {

constexpr const char* kLastMessageOpenedKey = "RV_LAST_MESSAGE_OPENED_";

void receiveLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

template <class F> auto withReceiveState(F&& fn) {
    return withRadIrivozClassState(std::forward<F>(fn));
}

bool applicationActive(const std::shared_ptr<plat::UIApplication>& application) {
    return application && application->applicationState() == plat::UIApplicationState::active;
}

std::optional<std::string> textAt(const plat::Value& value) {
    if (const std::string* text = value.ifString()) {
        return *text;
    }
    return std::nullopt;
}

// The chosen button, as the normalisation and the in-app alert record it.
std::optional<plat::Value> actionSelected(const plat::Dictionary& userInfo) {
    const plat::Value info(userInfo);
    if (const plat::Value* inCustom = info["custom"]["a"].find("actionSelected")) {
        return *inCustom;
    }
    if (const plat::Value* topLevel = userInfo.find("actionSelected")) {
        return *topLevel;
    }
    return std::nullopt;
}

// The duplicate check of the branch (active or not): a repeat of the branch's last id directly after itself;
// any other id becomes the branch's last one.
bool isRepeat(const plat::Value& data, bool isActive) {
    auto member = isActive ? &RadIrivozClassState::lastAppActiveMessageId : &RadIrivozClassState::lastNonActiveMessageId;
    const auto last = withReceiveState([&](RadIrivozClassState& s) { return s.*member; });
    const auto id = RadIrivoz::checkForProcessedDups(data, last);
    if (id == "dup") {
        return true;
    }
    if (id) {
        withReceiveState([&](RadIrivozClassState& s) { s.*member = id; });
    }
    return false;
}

} // namespace

void RadIrivoz::notificationReceived(const plat::Dictionary& userInfo, bool isActive, bool wasOpened) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) || !app_id() ||
        !RadIrivozHelper::isRadIrivozPayload(userInfo)) {
        return;
    }
    receiveLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "notificationOpened:isActive called!");
    const plat::Value info(userInfo);
    const plat::Value& data = userInfo.contains("os_data") ? info["os_data"] : info["custom"];
    RadIrivozHelper::lastMessageReceived(userInfo);

    if (isRepeat(data, isActive)) {
        return;
    }
    if (isActive) {
        const RIInFocusDisplayType displayType = inFocusDisplayType();
        if (displayType == RIInFocusDisplayType::RIInFocusDisplayInAppAlert &&
            !RadIrivozHelper::isRemoteSilentNotification(userInfo)) {
            // The open, if any, comes from the alert's buttons.
            RadIrivozAlertView::showInAppAlert(userInfo);
            return;
        }
        // The received block hears only of notifications that arrive while the app is active.
        RadIrivozHelper::handleNotificationReceived(displayType);
    }

    if (wasOpened) {
        const RIOpenedActionType type = actionSelected(userInfo) ? RIOpenedActionType::RIOpenedActionButton
                                                                 : RIOpenedActionType::RIOpenedActionBody;
        handleNotificationOpened(userInfo, isActive, type, inFocusDisplayType());
    }
}

std::optional<std::string> RadIrivoz::checkForProcessedDups(const plat::Value& data,
                                                            const std::optional<std::string>& lastMessageId) {
    const plat::Value* id = data.find("i");
    if (!id) {
        return std::nullopt;
    }
    // An id of another type is no id the service sends: it is described, as the log of it would be.
    const std::string text = id->isString() ? id->asString() : id->stringValue();
    if (lastMessageId && text == *lastMessageId) {
        return std::string("dup");
    }
    return text;
}

void RadIrivoz::handleNotificationOpened(const plat::Dictionary& userInfo, bool isActive,
                                         RIOpenedActionType actionType, RIInFocusDisplayType displayType) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(
            std::string("handleNotificationOpened:isActive:actionType:displayType:"))) {
        return;
    }
    const plat::Value info(userInfo);
    const plat::Value& data = userInfo.contains("custom") ? info["custom"] : info["os_data"];
    submitNotificationOpened(textAt(data["i"]));
    launchWebURL(textAt(data["u"]));
    clearBadgeCount(true);

    std::optional<std::string> actionID;
    if (actionType == RIOpenedActionType::RIOpenedActionButton) {
        if (const std::optional<plat::Value> selected = actionSelected(userInfo)) {
            actionID = selected->isString() ? selected->asString() : selected->stringValue();
        }
    }
    RadIrivozHelper::lastMessageReceived(userInfo);
    if (!(isActive && displayType == RIInFocusDisplayType::RIInFocusDisplayNone)) {
        RadIrivozHelper::handleNotificationAction(actionType, std::move(actionID), displayType);
    }
}

void RadIrivoz::launchWebURL(const std::optional<std::string>& text) {
    const std::optional<std::string> trimmed = RadIrivozHelper::trimURLSpacing(text);
    if (!trimmed || !RadIrivozHelper::verifyURL(trimmed)) {
        return;
    }
    auto url = plat::URL::parse(*trimmed);
    if (!url) {
        return;
    }
    plat::DispatchQueue::main()->asyncAfter(0.5, [url = *url] { RadIrivozHelper::displayWebView(url); });
}

void RadIrivoz::submitNotificationOpened(const std::optional<std::string>& messageId) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) || !messageId) {
        return;
    }
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    if (defaults.string(kLastMessageOpenedKey) == messageId) {
        return;
    }
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestSubmitNotificationOpened::withUserId(currentSubscriptionState()->userId(), app_id(), true, messageId),
        nullptr, nullptr);
    // Stored whether or not the report gets through: each message is reported at most once.
    defaults.set(kLastMessageOpenedKey, plat::Value(*messageId));
    defaults.synchronize();
}

bool RadIrivoz::clearBadgeCount(bool) {
    auto disable = plat::Bundle::main()->objectForInfoDictionaryKey("RadIrivoz_disable_badge_clearing");
    const bool disabled = disable && disable->boolValue();
    withReceiveState([&](RadIrivozClassState& s) { s.badgeClearingDisabled = disabled; });
    if (disabled) {
        return false;
    }
    if (plat::DeviceProfile::floatVersion() < 8.0f ||
        (osNotificationSettings()->getNotificationPermissionState()->notificationTypes() & 1) == 0) {
        return false;
    }
    auto application = plat::UIApplication::sharedApplication();
    const bool wasSet = application && application->applicationIconBadgeNumber() > 0;
    if (wasSet) {
        application->setApplicationIconBadgeNumber(1);
        application->setApplicationIconBadgeNumber(0);
    }
    return wasSet;
}

bool RadIrivoz::remoteSilentNotification(const std::shared_ptr<plat::UIApplication>& application,
                                         const plat::Dictionary& userInfo,
                                         std::function<void(plat::UIBackgroundFetchResult)> completionHandler) {
    const plat::Value info(userInfo);
    const bool hasContent =
        info["os_data"]["buttons"].isDictionary() || userInfo.contains("at") || userInfo.contains("o");
    if (hasContent) {
        auto payload = RINotificationPayload::parseWithApns(userInfo);
        if (plat::DeviceProfile::floatVersion() >= 10.0f) {
            RadIrivozSeams::addNotificationRequest(payload, std::move(completionHandler));
            return true;
        }
        if (auto local = RadIrivozSeams::prepareUILocalNotification(payload); local && application) {
            application->scheduleLocalNotification(*local);
        }
        return false;
    }
    const bool silent = RadIrivozHelper::isRemoteSilentNotification(userInfo);
    if (application && application->applicationState() == plat::UIApplicationState::background) {
        RadIrivozHelper::lastMessageReceived(userInfo);
        RadIrivozHelper::handleNotificationReceived(silent ? RIInFocusDisplayType::RIInFocusDisplayNone
                                                           : RIInFocusDisplayType::RIInFocusDisplayNotification);
        return false;
    }
    RadIrivozHelper::lastMessageReceived(userInfo);
    if (applicationActive(application)) {
        RadIrivozHelper::handleNotificationReceived(RIInFocusDisplayType::RIInFocusDisplayNotification);
    }
    if (!silent) {
        notificationReceived(userInfo, false, true);
    }
    return false;
}

void RadIrivoz::processLocalActionBasedNotification(const plat::UILocalNotification& notification,
                                                    const std::string& identifier) {
    const plat::Dictionary* userInfo = notification.userInfo.ifDictionary();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) || !userInfo) {
        return;
    }
    auto normalised = RadIrivozHelper::formatApsPayloadIntoStandard(*userInfo, identifier);
    if (!normalised) {
        return;
    }
    const bool isActive = applicationActive(plat::UIApplication::sharedApplication());
    if (isActive) {
        notificationReceived(*normalised, true, true);
        return;
    }
    // Not active: the receive path only checks for a repeat here, and the open runs once, below; opening it in
    // both would open the launch URL twice.
    notificationReceived(*normalised, false, false);
    handleNotificationOpened(*normalised, false, RIOpenedActionType::RIOpenedActionButton,
                             RIInFocusDisplayType::RIInFocusDisplayNotification);
}

void RadIrivoz::syncHashedEmail(const std::optional<std::string>& email) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::string("syncHashedEmail:"))) {
        return;
    }
    if (!email) {
        receiveLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "RadIrivoz syncHashedEmail: The provided email is nil");
        return;
    }
    const size_t first = email->find_first_not_of(" \t\n\r\f\v");
    const size_t last = email->find_last_not_of(" \t\n\r\f\v");
    const std::string trimmed = first == std::string::npos ? std::string() : email->substr(first, last - first + 1);
    if (!RadIrivozHelper::isValidEmail(trimmed)) {
        receiveLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "RadIrivoz syncHashedEmail: The provided email is invalid");
        return;
    }
    auto userId = currentSubscriptionState()->userId();
    if (!userId) {
        withReceiveState([&](RadIrivozClassState& s) { s.pendingHashedEmail = email; });
        return;
    }
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestSyncHashedEmail::withUserId(userId, app_id(), trimmed, RadIrivozHelper::getNetType()), nullptr,
        nullptr);
}

std::shared_ptr<plat::UNMutableNotificationContent> RadIrivoz::didReceiveNotificationExtensionRequest(
    const std::shared_ptr<plat::UNNotificationRequest>& request,
    const std::shared_ptr<plat::UNMutableNotificationContent>& content) {
    return RadIrivozSeams::didReceiveNotificationExtensionRequest(request, content);
}

std::shared_ptr<plat::UNMutableNotificationContent> RadIrivoz::serviceExtensionTimeWillExpireRequest(
    const std::shared_ptr<plat::UNNotificationRequest>& request,
    const std::shared_ptr<plat::UNMutableNotificationContent>& content) {
    return RadIrivozSeams::serviceExtensionTimeWillExpireRequest(request, content);
}

void RadIrivoz::callFailureBlockOnMainThread(const RIFailureBlock& block, const plat::Error& error) {
    if (block) {
        plat::DispatchQueue::main()->async([block, error] { block(error); });
    }
}

void RadIrivoz::callSuccessBlockOnMainThread(const std::function<void()>& block) {
    if (block) {
        plat::DispatchQueue::main()->async(block);
    }
}

void RadIrivoz::setLastAppActiveMessageId(std::optional<std::string> messageId) {
    withReceiveState([&](RadIrivozClassState& s) { s.lastAppActiveMessageId = std::move(messageId); });
}

void RadIrivoz::setLastnonActiveMessageId(std::optional<std::string> messageId) {
    withReceiveState([&](RadIrivozClassState& s) { s.lastNonActiveMessageId = std::move(messageId); });
}
