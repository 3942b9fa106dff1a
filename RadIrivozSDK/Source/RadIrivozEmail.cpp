// The device's e-mail player: set (create and link, or update), log out, and follow a new e-mail player id.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "RadIrivozSDK/Source/RadIrivozState.hpp"

namespace {

constexpr const char* kEmailPlayerIdDefaultsKey = "RV_EMAIL_PLAYER_ID";
constexpr const char* kDelayingEmailText = "iOS Parameters for this application has not yet been downloaded. "
                                           "Delaying call to setEmail: until the parameters have been downloaded.";

plat::Error emailError(const char* domain, const std::string& message) {
    return plat::Error(domain, 0, plat::Dictionary{{"error", plat::Value(message)}});
}

void emailLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

void answerEmailSuccess(const std::function<void()>& success) {
    RadIrivoz::callSuccessBlockOnMainThread(success);
}

// The link of the push player to its e-mail player.
std::shared_ptr<RIRequestUpdateDeviceToken> emailLinkRequest(const std::optional<std::string>& playerId,
                                                             const std::string& emailPlayerId,
                                                             const std::optional<std::string>& hash,
                                                             const std::optional<std::string>& email) {
    return RIRequestUpdateDeviceToken::withUserId(playerId, RadIrivoz::app_id(), std::nullopt,
                                                  plat::Value(RadIrivoz::getNotificationTypes()), emailPlayerId,
                                                  hash && !hash->empty() ? hash : std::nullopt, email);
}

} // namespace

void RadIrivoz::setEmail(const std::string& email, const std::optional<std::string>& authHash,
                         std::function<void()> success, RIFailureBlock failure) {
    const char* gate = authHash ? (success || failure ? "setEmail:withEmailAuthHashToken:withSuccess:withFailure:"
                                                      : "setEmail:withEmailAuthHashToken:")
                                : (success || failure ? "setEmail:withSuccess:withFailure:" : "setEmail:");
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::string(gate))) {
        return;
    }
    if (!RadIrivozHelper::isValidEmail(email)) {
        emailLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "Invalid email (" + email + ") passed to setEmail");
        if (failure) {
            failure(emailError("com.radirivoz", "Email is invalid"));
        }
        return;
    }
    auto state = currentEmailSubscriptionState();
    if (state->requiresEmailAuth() && (!authHash || authHash->empty())) {
        if (failure) {
            failure(emailError("com.radirivoz.email",
                               "Email authentication (auth token) is set to REQUIRED for this application. Please "
                               "provide an auth token from your backend server or change the setting in the "
                               "RadIrivoz dashboard."));
        }
        return;
    }
    if (state->emailAddress() == email && state->emailAuthCode() == authHash) {
        emailLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "Email already exists, there is no need to call setEmail again");
        if (success) {
            success();
        }
        return;
    }
    const auto playerId = currentSubscriptionState()->userId();
    if (!playerId || (!iosParamsDownloaded() && authHash)) {
        emailLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, kDelayingEmailText);
        withRadIrivozClassState([&](RadIrivozClassState& s) {
            s.pendingEmail = RadIrivozClassState::PendingEmail{email, authHash, std::move(success), std::move(failure)};
        });
        return;
    }
    if (auto emailPlayerId = state->emailUserId()) {
        RadIrivozClient::sharedClient().executeRequest(
            RIRequestUpdateDeviceToken::withUserId(emailPlayerId, app_id(), email, plat::Value(), std::nullopt,
                                                   authHash && !authHash->empty() ? authHash : std::nullopt,
                                                   std::nullopt),
            [state, email, authHash, success](const std::optional<plat::Value>&) {
                // Stored only once the server has it, so setting the same address again is not answered unsent.
                state->setEmailAddress(email);
                state->setEmailAuthCode(authHash);
                state->persist();
                answerEmailSuccess(success);
            },
            [failure](const plat::Error& error) { callFailureBlockOnMainThread(failure, error); });
        return;
    }
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestCreateDevice::withAppId(app_id(), plat::Value(11), email, playerId, authHash),
        [state, email, authHash, success, failure](const std::optional<plat::Value>& reply) {
            const plat::Dictionary* object = reply ? reply->ifDictionary() : nullptr;
            const plat::Value* id = object ? object->find("id") : nullptr;
            const std::string* emailPlayerId = id ? id->ifString() : nullptr;
            if (!emailPlayerId || emailPlayerId->empty()) {
                emailLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "Missing RadIrivoz Email Player ID");
                // The app waits for one of its blocks: this is a failure, not silence.
                callFailureBlockOnMainThread(failure, emailError("com.radirivoz", "Missing RadIrivoz Email Player ID"));
                return;
            }
            state->setEmailAddress(email);
            state->setEmailAuthCode(authHash);
            state->setEmailUserId(*emailPlayerId);
            state->persist();
            RadIrivozClient::sharedClient().executeRequest(
                emailLinkRequest(currentSubscriptionState()->userId(), *emailPlayerId, authHash, email),
                [success](const std::optional<plat::Value>&) { answerEmailSuccess(success); },
                [failure](const plat::Error& error) { callFailureBlockOnMainThread(failure, error); });
        },
        [failure](const plat::Error& error) { callFailureBlockOnMainThread(failure, error); });
}

void RadIrivoz::replayPendingEmail() {
    // Taken out before the replay: the replay may park itself again, and must not be dropped by a clear after.
    auto pending = withRadIrivozClassState([](RadIrivozClassState& s) { return std::exchange(s.pendingEmail, std::nullopt); });
    if (pending) {
        setEmail(pending->email, pending->authHash, std::move(pending->success), std::move(pending->failure));
    }
}

void RadIrivoz::logoutEmail(std::function<void()> success, RIFailureBlock failure) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(
            std::string(success || failure ? "logoutEmailWithSuccess:withFailure:" : "logoutEmail"))) {
        return;
    }
    auto state = currentEmailSubscriptionState();
    const auto emailPlayerId = state->emailUserId();
    if (!emailPlayerId) {
        emailLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "Email Player ID does not exist, cannot logout");
        if (failure) {
            failure(emailError("com.radirivoz",
                               "Attempted to log out of the user's email with RadIrivoz. The user does not currently "
                               "have an email player ID and is not logged in, so it is not possible to log out of "
                               "the email for this device"));
        }
        return;
    }
    const auto playerId = currentSubscriptionState()->userId();
    if (!playerId) {
        // Without the push player the request would go to a path without an id.
        if (failure) {
            failure(emailError("com.radirivoz", "The device has no push player ID yet, cannot logout"));
        }
        return;
    }
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestLogoutEmail::withAppId(app_id(), emailPlayerId, playerId, state->emailAuthCode()),
        [state, success](const std::optional<plat::Value>&) {
            auto& defaults = plat::UserDefaults::standardUserDefaults();
            defaults.remove(kEmailPlayerIdDefaultsKey);
            defaults.synchronize();
            state->setEmailAddress(std::nullopt);
            state->setEmailAuthCode(std::nullopt);
            state->setEmailUserId(std::nullopt);
            state->persist();
            answerEmailSuccess(success);
        },
        [failure](const plat::Error& error) { callFailureBlockOnMainThread(failure, error); });
}

void RadIrivoz::emailChangedWithNewEmailPlayerId(const std::string& emailPlayerId) {
    auto state = currentEmailSubscriptionState();
    if (state->emailUserId() == emailPlayerId) {
        return;
    }
    const auto playerId = currentSubscriptionState()->userId();
    state->setEmailUserId(emailPlayerId);
    state->persist();
    if (!playerId) {
        return;
    }
    RadIrivozClient::sharedClient().executeRequest(
        emailLinkRequest(playerId, emailPlayerId, state->emailAuthCode(), state->emailAddress()), nullptr,
        [](const plat::Error& error) {
            emailLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR,
                     "Encountered an error updating this user's email player record: " + error.description());
        });
}
