#pragma once
// The user's answers to the permission prompts the app may raise, and the record of each prompt shown.
// The notification and location stand-ins read the answers and record their prompts here.

#include "platform/foundation/Error.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace plat {

struct NotificationPromptAnswer {
    bool granted = true;
    std::optional<Error> error;
    // Seconds the user takes to answer.
    double delay = 0;
};

struct PromptAnswers {
    // OS 10 and later.
    NotificationPromptAnswer notifications;
    // OS 8-9: the notification types the user allows (badge 1, sound 2, alert 4); 0 = refused.
    uint64_t legacyTypes = 7;
    // The location authorization status the user picks; none = what the app asked for.
    std::optional<int64_t> location;
};

enum class PromptKind { notifications, legacyNotifications, locationAlways, locationWhenInUse };

struct PromptRecord {
    PromptKind kind;
    uint64_t options; // authorization options or notification types asked for
    double uptime;    // when the prompt was shown
};

} // namespace plat
