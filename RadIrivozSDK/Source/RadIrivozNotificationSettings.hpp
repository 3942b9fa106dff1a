#pragma once
// How the push client reads and asks for the notification permission: one object per generation of the
// OS's notification interface (below 8.0, 8.0 to 9.x, 10.0 and later). Every read and answer goes into the
// facade's one current permission state, whose setters tell its observers.

#include "RadIrivozSDK/Source/RIPermissionState.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace plat {
class DispatchQueue;
}

// Notification-type bits of the permission and of the value sent to the server.
inline constexpr int32_t RI_NOTIFICATION_TYPE_BADGE = 1;
inline constexpr int32_t RI_NOTIFICATION_TYPE_SOUND = 2;
inline constexpr int32_t RI_NOTIFICATION_TYPE_ALERT = 4;
inline constexpr int32_t RI_NOTIFICATION_TYPE_LOCKSCREEN = 8;
inline constexpr int32_t RI_NOTIFICATION_TYPE_PROVISIONAL = 64;

using RIPermissionStateBlock = std::function<void(const std::shared_ptr<RIPermissionState>& state)>;
using RIUserResponseBlock = std::function<void(bool accepted)>;

class RadIrivozNotificationSettings {
public:
    virtual ~RadIrivozNotificationSettings() = default;
    virtual int32_t getNotificationTypes() = 0;
    // The facade's current permission state, freshly read.
    virtual std::shared_ptr<RIPermissionState> getNotificationPermissionState() = 0;
    virtual void getNotificationPermissionState(RIPermissionStateBlock completion) = 0;
    virtual void promptForNotifications(RIUserResponseBlock completion) = 0;
    virtual void registerForProvisionalAuthorization(RIUserResponseBlock completion) = 0;
    // The types the OS reported after a prompt.
    virtual void onNotificationPromptResponse(int32_t notificationTypes) = 0;
    // True when a device token arrived, false when registration failed.
    virtual void onAPNsResponse(bool success) = 0;
};

// Below OS 10 a read answers at once on the caller's thread, and a prompt's block waits for the answer
// that the application delegate's hooks bring; a second prompt drops a block still waiting.
class RadIrivozLegacyNotificationSettings : public RadIrivozNotificationSettings {
public:
    using RadIrivozNotificationSettings::getNotificationPermissionState;
    void getNotificationPermissionState(RIPermissionStateBlock completion) override;
    void registerForProvisionalAuthorization(RIUserResponseBlock) override {}

protected:
    void keepPromptBlock(RIUserResponseBlock completion);
    // Calls the waiting block once, then sets the answer on the current permission state.
    void answerPrompt(bool accepted);

private:
    std::mutex mutex_;
    RIUserResponseBlock notificationPromptReponseCallback_;
};

// Below OS 8: remote-notification types; the token's arrival is the answer.
class RadIrivozNotificationSettingsIOS7 final : public RadIrivozLegacyNotificationSettings {
public:
    int32_t getNotificationTypes() override;
    std::shared_ptr<RIPermissionState> getNotificationPermissionState() override;
    void promptForNotifications(RIUserResponseBlock completion) override;
    void onNotificationPromptResponse(int32_t) override {}
    void onAPNsResponse(bool success) override { answerPrompt(success); }
};

// OS 8 and 9: the application's user-notification settings.
class RadIrivozNotificationSettingsIOS8 final : public RadIrivozLegacyNotificationSettings {
public:
    int32_t getNotificationTypes() override;
    std::shared_ptr<RIPermissionState> getNotificationPermissionState() override;
    void promptForNotifications(RIUserResponseBlock completion) override;
    void onNotificationPromptResponse(int32_t notificationTypes) override { answerPrompt(notificationTypes > 0); }
    void onAPNsResponse(bool) override {}
};

// OS 10 and later: the notification centre. Reads go through a private serial queue; the synchronous read
// waits at most 100 ms for the centre and otherwise hands back the state as it stands.
class RadIrivozNotificationSettingsIOS10 final
    : public RadIrivozNotificationSettings,
      public std::enable_shared_from_this<RadIrivozNotificationSettingsIOS10> {
public:
    static constexpr double kSynchronousReadWait = 0.1;

    RadIrivozNotificationSettingsIOS10();
    static std::shared_ptr<plat::DispatchQueue> getQueue();

    int32_t getNotificationTypes() override;
    std::shared_ptr<RIPermissionState> getNotificationPermissionState() override;
    void getNotificationPermissionState(RIPermissionStateBlock completion) override;
    void promptForNotifications(RIUserResponseBlock completion) override;
    void registerForProvisionalAuthorization(RIUserResponseBlock completion) override;
    void onNotificationPromptResponse(int32_t) override {}
    void onAPNsResponse(bool) override {}

    // While a read's block runs, nested reads answer from the current state at once.
    bool useCachedStatus() const { return useCachedStatus_; }
    void setUseCachedStatus(bool value) { useCachedStatus_ = value; }
    std::shared_ptr<RIPermissionState> defaultPermissionState();

private:
    std::atomic<bool> useCachedStatus_ = false;
};
