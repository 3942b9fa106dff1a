#include "RadIrivozSDK/Source/RadIrivozNotificationSettings.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

namespace {

constexpr const char* kPromptAnswered = "RI_NOTIFICATION_PROMPT_ANSWERED";
constexpr const char* kRegisteredWithAppleKey = "RV_REGISTERED_WITH_APPLE";
constexpr int32_t kAskedTypes =
    RI_NOTIFICATION_TYPE_BADGE | RI_NOTIFICATION_TYPE_SOUND | RI_NOTIFICATION_TYPE_ALERT;
constexpr uint64_t kProvidesAppNotificationSettingsOption = 32;
constexpr uint64_t kProvisionalAuthorizationOption = 64;

bool promptAnswered() {
    auto value = plat::UserDefaults::standardUserDefaults().object(kPromptAnswered);
    return value && value->boolValue();
}

// Below OS 10 the answer is the types; the fields go in the order types, accepted, answered, provisional.
std::shared_ptr<RIPermissionState> fillLegacyState(int32_t types) {
    auto state = RadIrivoz::currentPermissionState();
    state->setNotificationTypes(types);
    state->setAccepted(types > 0);
    state->setAnsweredPrompt(promptAnswered());
    state->setProvisional(false);
    return state;
}

struct IOS10Queue {
    std::mutex mutex;
    std::shared_ptr<plat::DispatchQueue> queue;
};

IOS10Queue& ios10Queue() {
    static plat::NeverDestroyed<IOS10Queue> q;
    return *q;
}

bool enabled(plat::UNNotificationSetting setting) {
    return setting == plat::UNNotificationSetting::enabled;
}

} // namespace

// ---- below OS 10 ----

void RadIrivozLegacyNotificationSettings::getNotificationPermissionState(RIPermissionStateBlock completion) {
    auto state = getNotificationPermissionState();
    if (completion) {
        completion(state);
    }
}

void RadIrivozLegacyNotificationSettings::keepPromptBlock(RIUserResponseBlock completion) {
    std::lock_guard lock(mutex_);
    notificationPromptReponseCallback_ = std::move(completion);
}

void RadIrivozLegacyNotificationSettings::answerPrompt(bool accepted) {
    RIUserResponseBlock block;
    {
        std::lock_guard lock(mutex_);
        block = std::exchange(notificationPromptReponseCallback_, nullptr);
    }
    if (block) {
        block(accepted);
    }
    // Every answer counts, also one that no prompt waits for.
    auto state = RadIrivoz::currentPermissionState();
    state->setAccepted(accepted);
    state->setAnsweredPrompt(true);
}

int32_t RadIrivozNotificationSettingsIOS7::getNotificationTypes() {
    return RadIrivoz::currentSubscriptionState()->pushToken() ? kAskedTypes : 0;
}

std::shared_ptr<RIPermissionState> RadIrivozNotificationSettingsIOS7::getNotificationPermissionState() {
    const bool tokenStored =
        plat::UserDefaults::standardUserDefaults().object("RV_DEVICE_TOKEN").value_or(plat::Value()).isString();
    return fillLegacyState(tokenStored ? kAskedTypes : 0);
}

void RadIrivozNotificationSettingsIOS7::promptForNotifications(RIUserResponseBlock completion) {
    keepPromptBlock(std::move(completion));
    if (auto application = plat::UIApplication::sharedApplication()) {
        application->registerForRemoteNotificationTypes(static_cast<uint64_t>(kAskedTypes));
    }
    RadIrivoz::setWaitingForApnsResponse(true);
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    defaults.set(kRegisteredWithAppleKey, plat::Value(true));
    defaults.synchronize();
}

int32_t RadIrivozNotificationSettingsIOS8::getNotificationTypes() {
    auto application = plat::UIApplication::sharedApplication();
    return application ? static_cast<int32_t>(application->currentUserNotificationSettings().types) : 0;
}

std::shared_ptr<RIPermissionState> RadIrivozNotificationSettingsIOS8::getNotificationPermissionState() {
    return fillLegacyState(getNotificationTypes());
}

void RadIrivozNotificationSettingsIOS8::promptForNotifications(RIUserResponseBlock completion) {
    if (auto application = plat::UIApplication::sharedApplication()) {
        // Categories registered earlier stay registered.
        application->registerUserNotificationSettings(plat::UIUserNotificationSettings::settingsForTypes(
            static_cast<uint64_t>(kAskedTypes), application->currentUserNotificationSettings().categories));
    }
    keepPromptBlock(std::move(completion));
    RadIrivoz::registerForAPNsToken();
}

// ---- OS 10 and later ----

RadIrivozNotificationSettingsIOS10::RadIrivozNotificationSettingsIOS10() {
    auto queue = plat::DispatchQueue::makeSerial("com.radirivoz.notification.settings.ios10");
    std::lock_guard lock(ios10Queue().mutex);
    ios10Queue().queue = std::move(queue);
}

std::shared_ptr<plat::DispatchQueue> RadIrivozNotificationSettingsIOS10::getQueue() {
    std::lock_guard lock(ios10Queue().mutex);
    return ios10Queue().queue;
}

int32_t RadIrivozNotificationSettingsIOS10::getNotificationTypes() {
    return getNotificationPermissionState()->notificationTypes();
}

std::shared_ptr<RIPermissionState> RadIrivozNotificationSettingsIOS10::defaultPermissionState() {
    return RadIrivoz::currentPermissionState();
}

void RadIrivozNotificationSettingsIOS10::getNotificationPermissionState(RIPermissionStateBlock completion) {
    if (useCachedStatus_) {
        if (completion) {
            completion(RadIrivoz::currentPermissionState());
        }
        return;
    }
    // The object may be replaced (clearStatics) while a read is on its way.
    getQueue()->async([self = shared_from_this(), completion = std::move(completion)] {
        plat::UNUserNotificationCenter::currentNotificationCenter()->getNotificationSettingsWithCompletionHandler(
            [self, completion](const plat::UNNotificationSettings& settings) {
                const auto status = settings.authorizationStatus;
                const bool provisional = status == plat::UNAuthorizationStatus::provisional;
                auto state = RadIrivoz::currentPermissionState();
                state->setAnsweredPrompt(status != plat::UNAuthorizationStatus::notDetermined && !provisional);
                state->setProvisional(provisional);
                state->setAccepted(status == plat::UNAuthorizationStatus::authorized && !provisional);
                int32_t types = 0;
                types |= enabled(settings.badgeSetting) ? RI_NOTIFICATION_TYPE_BADGE : 0;
                types |= enabled(settings.soundSetting) ? RI_NOTIFICATION_TYPE_SOUND : 0;
                types |= enabled(settings.alertSetting) ? RI_NOTIFICATION_TYPE_ALERT : 0;
                types |= enabled(settings.lockScreenSetting) ? RI_NOTIFICATION_TYPE_LOCKSCREEN : 0;
                if (types == 0 && provisional && plat::DeviceProfile::floatVersion() >= 12.0f) {
                    types = RI_NOTIFICATION_TYPE_PROVISIONAL;
                }
                state->setNotificationTypes(types);
                self->setUseCachedStatus(true);
                if (completion) {
                    completion(state);
                }
                self->setUseCachedStatus(false);
            });
    });
}

std::shared_ptr<RIPermissionState> RadIrivozNotificationSettingsIOS10::getNotificationPermissionState() {
    if (useCachedStatus_) {
        return RadIrivoz::currentPermissionState();
    }
    // The slot outlives this call: a centre slower than the wait still answers into it, later.
    struct Slot {
        std::mutex mutex;
        std::shared_ptr<RIPermissionState> result;
    };
    auto slot = std::make_shared<Slot>();
    slot->result = RadIrivoz::currentPermissionState();
    plat::DispatchSemaphore semaphore(0);
    getQueue()->sync([&] {
        getNotificationPermissionState([slot, semaphore](const std::shared_ptr<RIPermissionState>& state) {
            {
                std::lock_guard lock(slot->mutex);
                slot->result = state;
            }
            semaphore.signal();
        });
    });
    semaphore.wait(kSynchronousReadWait);
    std::lock_guard lock(slot->mutex);
    return slot->result ? slot->result : defaultPermissionState();
}

void RadIrivozNotificationSettingsIOS10::promptForNotifications(RIUserResponseBlock completion) {
    uint64_t options = static_cast<uint64_t>(kAskedTypes);
    if (plat::DeviceProfile::floatVersion() >= 12.0f && RadIrivoz::providesAppNotificationSettings()) {
        options |= kProvidesAppNotificationSettingsOption;
    }
    plat::UNUserNotificationCenter::currentNotificationCenter()->requestAuthorizationWithOptions(
        options, [completion = std::move(completion)](bool granted, std::optional<plat::Error>) {
            plat::DispatchQueue::main()->async([completion, granted] {
                auto state = RadIrivoz::currentPermissionState();
                state->setProvisional(false);
                state->setAccepted(granted);
                state->setAnsweredPrompt(true);
                RadIrivoz::updateNotificationTypes(granted ? 15 : 0);
                if (completion) {
                    completion(granted);
                }
            });
        });
    RadIrivoz::registerForAPNsToken();
}

void RadIrivozNotificationSettingsIOS10::registerForProvisionalAuthorization(RIUserResponseBlock completion) {
    if (plat::DeviceProfile::floatVersion() < 12.0f) {
        return;
    }
    auto state = getNotificationPermissionState();
    if (state->status() != 0 || state->answeredPrompt()) {
        if (completion) {
            completion(true);
        }
        return;
    }
    plat::UNUserNotificationCenter::currentNotificationCenter()->requestAuthorizationWithOptions(
        kProvisionalAuthorizationOption,
        [completion = std::move(completion)](bool granted, std::optional<plat::Error>) {
            plat::DispatchQueue::main()->async([completion, granted] {
                RadIrivoz::currentPermissionState()->setProvisional(granted);
                RadIrivoz::updateNotificationTypes(granted ? RI_NOTIFICATION_TYPE_PROVISIONAL : 0);
                if (completion) {
                    completion(granted);
                }
            });
        });
}
