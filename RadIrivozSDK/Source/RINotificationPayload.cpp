#include "RadIrivozSDK/Source/RINotificationPayload.hpp"

#include <algorithm>
#include <limits>

namespace {

// Fields are typed here, so a value of another kind at a field's place reads as absent rather than being
// carried along as something the field cannot hold.
std::optional<std::string> text(const plat::Value& v) {
    if (const auto* s = v.ifString()) {
        return *s;
    }
    return std::nullopt;
}

// A badge is a count: a negative one means none, and one beyond the 32-bit range is held at its top, rather
// than wrapping into a huge or negative number.
uint64_t badgeCount(const plat::Value& v) {
    const int64_t n = v.integerValue();
    if (n < 0) {
        return 0;
    }
    return static_cast<uint64_t>(std::min<int64_t>(n, std::numeric_limits<int32_t>::max()));
}

std::optional<plat::Dictionary> dictionary(const plat::Value& v) {
    if (const auto* d = v.ifDictionary()) {
        return *d;
    }
    return std::nullopt;
}

} // namespace

std::shared_ptr<const RINotificationPayload>
RINotificationPayload::parseWithApns(const std::optional<plat::Dictionary>& userInfo) {
    if (!userInfo) {
        return nullptr;
    }
    return std::make_shared<const RINotificationPayload>(*userInfo);
}

RINotificationPayload::RINotificationPayload(const plat::Dictionary& userInfo) : rawPayload_(userInfo) {
    const plat::Value* osData = rawPayload_.find("os_data");
    if (osData && osData->isDictionary()) {
        parseOSDataPayload();
    } else {
        parseOriginalPayload();
    }
    parseOtherApnsFields();
}

void RINotificationPayload::parseOriginalPayload() {
    const plat::Value raw(rawPayload_);
    const bool hasAlert = raw["aps"].contains("alert");
    if (raw.contains("m") && !hasAlert) {
        parseRemoteSlient(raw);
    } else {
        parseApnsFields();
        attachments_ = dictionary(raw["att"]);
        parseActionButtons(raw["buttons"]);
    }
    parseCommonRadIrivozFields(raw["custom"]);
    additionalData_ = dictionary(raw["custom"]["a"]);
    if (const plat::Value* selected = rawPayload_.find("actionSelected")) {
        plat::Dictionary merged = additionalData_.value_or(plat::Dictionary{});
        merged.set("actionSelected", *selected);
        additionalData_ = std::move(merged);
    }
}

void RINotificationPayload::parseOSDataPayload() {
    const plat::Value raw(rawPayload_);
    const plat::Value& data = raw["os_data"];
    if (data.contains("buttons") && !raw["aps"].contains("alert")) {
        parseRemoteSlient(data["buttons"]);
    } else {
        parseApnsFields();
        attachments_ = dictionary(data["att"]);
        const plat::Value& buttons = data["buttons"];
        if (buttons.isArray()) {
            parseActionButtons(buttons);
        } else if (buttons.isDictionary() && buttons["o"].isArray()) {
            parseActionButtons(buttons["o"]);
        } else if (raw["actionbuttons"].isArray()) {
            parseActionButtons(raw["actionbuttons"]);
        }
    }
    parseCommonRadIrivozFields(data);
    plat::Dictionary additional;
    for (const auto& [key, value] : rawPayload_) {
        if (key != "aps" && key != "os_data") {
            additional.set(key, value);
        }
    }
    additionalData_ = std::move(additional);
}

void RINotificationPayload::parseCommonRadIrivozFields(const plat::Value& data) {
    notificationID_ = text(data["i"]);
    launchURL_ = text(data["u"]);
    templateID_ = text(data["ti"]);
    templateName_ = text(data["tn"]);
    badgeIncrement_ = data["badge_inc"].integerValue();
}

void RINotificationPayload::parseApnsFields() {
    const plat::Value raw(rawPayload_);
    const plat::Value& aps = raw["aps"];
    parseAlertField(aps["alert"]);
    badge_ = badgeCount(aps["badge"]);
    sound_ = text(aps["sound"]);
}

void RINotificationPayload::parseAlertField(const plat::Value& alert) {
    if (alert.isDictionary()) {
        body_ = text(alert["body"]);
        title_ = text(alert["title"]);
        subtitle_ = text(alert["subtitle"]);
    } else {
        body_ = text(alert);
    }
}

void RINotificationPayload::parseRemoteSlient(const plat::Value& content) {
    parseAlertField(content["m"]);
    badge_ = badgeCount(content["b"]);
    sound_ = text(content["s"]);
    attachments_ = dictionary(content["at"]);
    parseActionButtons(content["o"]);
}

void RINotificationPayload::parseActionButtons(const plat::Value& list) {
    plat::Array buttons;
    if (const auto* entries = list.ifArray()) {
        for (const plat::Value& entry : *entries) {
            const plat::Value* name = entry.find("n");
            if (!name) {
                continue;
            }
            const plat::Value* id = entry.find("i");
            buttons.push_back(plat::Value(plat::Dictionary{{"text", *name}, {"id", id ? *id : *name}}));
        }
    }
    actionButtons_ = std::move(buttons);
}

void RINotificationPayload::parseOtherApnsFields() {
    const plat::Value raw(rawPayload_);
    const plat::Value& aps = raw["aps"];
    if (aps.contains("content-available")) {
        contentAvailable_ = true;
    }
    if (aps.contains("mutable-content")) {
        mutableContent_ = true;
    }
    if (aps.contains("thread-id")) {
        threadId_ = text(aps["thread-id"]);
    }
    category_ = text(aps["category"]);
}
