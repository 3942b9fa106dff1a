#pragma once
// What a notification shows and carries: texts, user info, badge, sound, category, attachments and thread.
// UNNotificationContent is the immutable form a request keeps; the app fills a UNMutableNotificationContent.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/usernotifications/UNNotificationAttachment.hpp"

namespace plat {

// The sound to play: the default one or a named sound file of the bundle.
struct UNNotificationSound {
    std::string name; // empty for the default sound

    static UNNotificationSound defaultSound() { return {}; }
    static UNNotificationSound soundNamed(std::string name) { return UNNotificationSound{std::move(name)}; }
    bool isDefault() const { return name.empty(); }
    friend bool operator==(const UNNotificationSound&, const UNNotificationSound&) = default;
};

class UNMutableNotificationContent;

// The fields of a content, shared by both forms.
struct UNNotificationContentFields {
    std::string title;
    std::string subtitle;
    std::string body;
    Value userInfo = Value::emptyDictionary();
    std::optional<int64_t> badge;
    std::optional<UNNotificationSound> sound; // none: silent
    std::string categoryIdentifier;
    std::vector<std::shared_ptr<const UNNotificationAttachment>> attachments;
    std::string threadIdentifier;
};

class UNNotificationContent : public rt::Object {
public:
    UNNotificationContent(rt::Class* cls, UNNotificationContentFields fields = {});
    // An immutable copy of the fields.
    static std::shared_ptr<UNNotificationContent> make(UNNotificationContentFields fields);

    const std::string& title() const { return fields_.title; }
    const std::string& subtitle() const { return fields_.subtitle; }
    const std::string& body() const { return fields_.body; }
    const Value& userInfo() const { return fields_.userInfo; }
    std::optional<int64_t> badge() const { return fields_.badge; }
    const std::optional<UNNotificationSound>& sound() const { return fields_.sound; }
    const std::string& categoryIdentifier() const { return fields_.categoryIdentifier; }
    const std::vector<std::shared_ptr<const UNNotificationAttachment>>& attachments() const {
        return fields_.attachments;
    }
    const std::string& threadIdentifier() const { return fields_.threadIdentifier; }
    const UNNotificationContentFields& fields() const { return fields_; }
    // A mutable copy with the same fields (what a service extension changes).
    std::shared_ptr<UNMutableNotificationContent> mutableCopy() const;

    // title, subtitle, body, userInfo, badge (null when none), categoryIdentifier, threadIdentifier.
    Value valueForKey(std::string_view key) override;

protected:
    UNNotificationContentFields fields_;
};

// Not thread-safe: the app fills it on one thread, then hands it to a request, which copies it.
class UNMutableNotificationContent final : public UNNotificationContent {
public:
    using UNNotificationContent::UNNotificationContent;
    static std::shared_ptr<UNMutableNotificationContent> make();

    void setTitle(std::string v) { fields_.title = std::move(v); }
    void setSubtitle(std::string v) { fields_.subtitle = std::move(v); }
    void setBody(std::string v) { fields_.body = std::move(v); }
    void setUserInfo(Value v) { fields_.userInfo = std::move(v); }
    void setBadge(std::optional<int64_t> v) { fields_.badge = v; }
    void setSound(std::optional<UNNotificationSound> v) { fields_.sound = std::move(v); }
    void setCategoryIdentifier(std::string v) { fields_.categoryIdentifier = std::move(v); }
    void setAttachments(std::vector<std::shared_ptr<const UNNotificationAttachment>> v) {
        fields_.attachments = std::move(v);
    }
    void setThreadIdentifier(std::string v) { fields_.threadIdentifier = std::move(v); }
};

} // namespace plat
