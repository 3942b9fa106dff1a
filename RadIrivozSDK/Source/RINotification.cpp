#include "RadIrivozSDK/Source/RINotification.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/uikit/UIApplication.hpp"

RINotification::RINotification(std::shared_ptr<const RINotificationPayload> payload,
                               RIInFocusDisplayType displayType)
    : payload_(std::move(payload)), displayType_(displayType) {
    if (payload_) {
        const plat::Value raw(payload_->rawPayload());
        silentNotification_ = RadIrivozHelper::isRemoteSilentNotification(payload_->rawPayload());
        // Unlike the payload's own flag, a present 0 means no mutable content here.
        const plat::Value* mutableContent = raw["aps"].find("mutable-content");
        mutableContent_ = mutableContent && mutableContent->isNumber() && mutableContent->integerValue() == 1;
    }
    auto application = plat::UIApplication::sharedApplication();
    isAppInFocus_ = application && application->applicationState() == plat::UIApplicationState::active;
    if (silentNotification_) {
        shown_ = false;
    } else if (isAppInFocus_ &&
               RadIrivoz::inFocusDisplayType() == RIInFocusDisplayType::RIInFocusDisplayNone) {
        shown_ = false;
    }
}

namespace {

// Every value comes from a JSON payload or is a number or boolean, so writing cannot fail; should a caller
// have built a payload of other values, an empty object is still JSON.
std::string compactJSON(const plat::Value& value) {
    auto text = plat::JSONSerialization::string(value);
    return text.ok() ? *text : std::string("{}");
}

void putText(plat::Dictionary& into, const char* key, const std::optional<std::string>& text) {
    if (text) {
        into.set(key, plat::Value(*text));
    }
}

plat::Dictionary notificationObject(const RINotification& notification) {
    plat::Dictionary fields;
    if (const auto& p = notification.payload()) {
        putText(fields, "notificationID", p->notificationID());
        putText(fields, "sound", p->sound());
        putText(fields, "title", p->title());
        putText(fields, "body", p->body());
        putText(fields, "subtitle", p->subtitle());
        if (p->additionalData()) {
            fields.set("additionalData", plat::Value(*p->additionalData()));
        }
        if (p->actionButtons()) {
            fields.set("actionButtons", plat::Value(*p->actionButtons()));
        }
        fields.set("rawPayload", plat::Value(p->rawPayload()));
        putText(fields, "launchURL", p->launchURL());
        if (p->contentAvailable()) {
            fields.set("contentAvailable", plat::Value(true));
        }
        if (p->badge() != 0) {
            fields.set("badge", plat::Value(p->badge()));
        }
    }
    plat::Dictionary object{{"payload", plat::Value(std::move(fields))}};
    if (notification.displayType() != RIInFocusDisplayType::RIInFocusDisplayNone) {
        object.set("displayType", plat::Value(static_cast<uint64_t>(notification.displayType())));
    }
    object.set("shown", plat::Value(notification.wasShown()));
    object.set("isAppInFocus", plat::Value(notification.wasAppInFocus()));
    if (notification.isSilentNotification()) {
        object.set("silentNotification", plat::Value(true));
    }
    return object;
}

} // namespace

std::string RINotification::stringify() const {
    return compactJSON(plat::Value(notificationObject(*this)));
}

std::string RINotificationOpenedResult::stringify() const {
    plat::Dictionary action;
    if (action_) {
        if (action_->actionID()) {
            action.set("actionID", plat::Value(*action_->actionID()));
        }
        if (action_->type() != RIOpenedActionType::RIOpenedActionBody) {
            action.set("type", plat::Value(static_cast<uint64_t>(action_->type())));
        }
    }
    plat::Dictionary result{{"action", plat::Value(std::move(action))}};
    // The notification goes in as an object, not as text.
    result.set("notification", notification_ ? plat::Value(notificationObject(*notification_)) : plat::Value());
    return compactJSON(plat::Value(std::move(result)));
}
