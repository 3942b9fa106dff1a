#pragma once
// The notification models of OS 8-9 that the app registers and schedules through UIApplication: settings
// (allowed types and action categories), categories, actions and local notifications.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.hpp"
#include "platform/foundation/Value.hpp"

namespace plat {

inline constexpr uint64_t UIUserNotificationTypeNone = 0;
inline constexpr uint64_t UIUserNotificationTypeBadge = 1;
inline constexpr uint64_t UIUserNotificationTypeSound = 2;
inline constexpr uint64_t UIUserNotificationTypeAlert = 4;
// Remote types only.
inline constexpr uint64_t UIRemoteNotificationTypeNewsstandContentAvailability = 8;

enum class UIUserNotificationActivationMode : int64_t { foreground = 0, background = 1 };
enum class UIUserNotificationActionContext : int64_t { defaultContext = 0, minimal = 1 };

inline constexpr const char* UILocalNotificationDefaultSoundName = "UILocalNotificationDefaultSoundName";
// The response-info key under which a text action hands over what the user typed.
inline constexpr const char* UIUserNotificationActionResponseTypedTextKey =
    "UIUserNotificationActionResponseTypedTextKey";

struct UIMutableUserNotificationAction {
    std::string identifier;
    std::string title;
    UIUserNotificationActivationMode activationMode = UIUserNotificationActivationMode::background;
    bool destructive = false;
    bool authenticationRequired = false;
};

struct UIMutableUserNotificationCategory {
    std::string identifier;
    std::map<UIUserNotificationActionContext, std::vector<UIMutableUserNotificationAction>> actions;

    void setActions(std::vector<UIMutableUserNotificationAction> list,
                    UIUserNotificationActionContext context) {
        actions[context] = std::move(list);
    }
    std::vector<UIMutableUserNotificationAction>
    actionsForContext(UIUserNotificationActionContext context) const {
        auto it = actions.find(context);
        return it == actions.end() ? std::vector<UIMutableUserNotificationAction>{} : it->second;
    }
};

struct UIUserNotificationSettings {
    uint64_t types = UIUserNotificationTypeNone;
    std::vector<UIMutableUserNotificationCategory> categories;

    static UIUserNotificationSettings
    settingsForTypes(uint64_t types, std::vector<UIMutableUserNotificationCategory> categories) {
        return UIUserNotificationSettings{types, std::move(categories)};
    }
};

struct UILocalNotification {
    std::string alertTitle;
    std::string alertBody;
    Value userInfo;
    std::string soundName = UILocalNotificationDefaultSoundName;
    int64_t applicationIconBadgeNumber = 0;
    std::string category;
    std::optional<Date> fireDate; // none: at once
};

} // namespace plat
