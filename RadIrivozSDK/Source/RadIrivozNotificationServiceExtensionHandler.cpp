#include "RadIrivozSDK/Source/RadIrivozNotificationServiceExtensionHandler.hpp"

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozTrackVedudoduAnalytics.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/String.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/usernotifications/UNNotificationContent.hpp"

#include <algorithm>
#include <limits>
#include <optional>

namespace {

constexpr const char* kBadgeCountKey = "radirivozBadgeCount";
constexpr int64_t kMaxBadge = std::numeric_limits<int32_t>::max();

// What both entry points start from: the content to change (a copy of the request's when none was given)
// and the parsed payload. None when there is no request or content.
struct ExtensionWork {
    std::shared_ptr<plat::UNMutableNotificationContent> content;
    std::shared_ptr<const RINotificationPayload> payload;
};

std::optional<ExtensionWork> extensionWork(const std::shared_ptr<plat::UNNotificationRequest>& request,
                                           std::shared_ptr<plat::UNMutableNotificationContent> content) {
    if (!request) {
        return std::nullopt;
    }
    if (!content && request->content()) {
        content = request->content()->mutableCopy();
    }
    if (!content) {
        return std::nullopt;
    }
    const plat::Dictionary* info = request->content() ? request->content()->userInfo().ifDictionary() : nullptr;
    return ExtensionWork{std::move(content), RINotificationPayload::parseWithApns(info ? *info : plat::Dictionary{})};
}

// Changes the stored count: fn gets the stored count and answers the new one. The app and its extension change
// it at nearly the same time, from two processes; the group's preferences make each change whole.
template <class Change> int64_t changeStoredBadge(Change fn) {
    int64_t value = 0;
    plat::UserDefaults(RadIrivozExtensionBadgeHandler::appGroupName())
        .update(kBadgeCountKey, [&](std::optional<plat::Value> stored) {
            value = fn(stored ? stored->integerValue() : 0);
            return plat::Value(value);
        });
    return value;
}

} // namespace

std::shared_ptr<plat::UNMutableNotificationContent>
RadIrivozNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(
    const std::shared_ptr<plat::UNNotificationRequest>& request,
    std::shared_ptr<plat::UNMutableNotificationContent> content) {
    auto work = extensionWork(request, content);
    if (!work) {
        return content;
    }
    RadIrivozExtensionBadgeHandler::handleBadgeCountWithNotificationRequest(*request, *work->payload, *work->content);
    RadIrivozTrackVedudoduAnalytics::trackReceivedEvent(*work->payload);
    addActionButtonsToExtentionRequest(*request, *work->payload, *work->content);
    RadIrivozHelper::addAttachments(*work->payload, *work->content);
    return work->content;
}

std::shared_ptr<plat::UNMutableNotificationContent>
RadIrivozNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(
    const std::shared_ptr<plat::UNNotificationRequest>& request,
    std::shared_ptr<plat::UNMutableNotificationContent> content) {
    auto work = extensionWork(request, content);
    if (!work) {
        return content;
    }
    addActionButtonsToExtentionRequest(*request, *work->payload, *work->content);
    return work->content;
}

void RadIrivozNotificationServiceExtensionHandler::addActionButtonsToExtentionRequest(
    const plat::UNNotificationRequest& request, const RINotificationPayload& payload,
    plat::UNMutableNotificationContent& content) {
    if (request.content() && !request.content()->categoryIdentifier().empty()) {
        return;
    }
    RadIrivozHelper::addActionButtons(payload, content);
}

void RadIrivozExtensionBadgeHandler::handleBadgeCountWithNotificationRequest(const plat::UNNotificationRequest&,
                                                                             const RINotificationPayload& payload,
                                                                             plat::UNMutableNotificationContent& content) {
    if (const int64_t increment = payload.badgeIncrement(); increment != 0) {
        // Summed wide and clamped: a count never goes below 0 or past what the icon can hold.
        const int64_t badge = changeStoredBadge([increment](int64_t stored) {
            const int64_t from = std::clamp<int64_t>(stored, 0, kMaxBadge);
            const int64_t by = std::clamp<int64_t>(increment, -kMaxBadge, kMaxBadge);
            return std::clamp<int64_t>(from + by, 0, kMaxBadge);
        });
        content.setBadge(badge);
        return;
    }
    if (payload.badge() != 0) {
        updateCachedBadgeValue(static_cast<int64_t>(std::min<uint64_t>(payload.badge(), kMaxBadge)));
    }
}

int64_t RadIrivozExtensionBadgeHandler::currentCachedBadgeValue() {
    return plat::UserDefaults(appGroupName()).integer(kBadgeCountKey);
}

void RadIrivozExtensionBadgeHandler::updateCachedBadgeValue(int64_t value) {
    changeStoredBadge([value](int64_t) { return value; });
}

std::string RadIrivozExtensionBadgeHandler::appGroupName() {
    auto bundle = plat::Bundle::main();
    if (bundle) {
        if (auto configured = bundle->objectForInfoDictionaryKey("RadIrivoz_app_groups_key")) {
            if (const std::string* name = configured->ifString()) {
                return plat::String::trimming(*name, plat::CharacterSet::whitespaceAndNewlines());
            }
        }
    }
    return plat::String::trimming("group." + primaryBundleIdentifier() + ".radirivoz",
                          plat::CharacterSet::whitespaceAndNewlines());
}

std::string RadIrivozExtensionBadgeHandler::primaryBundleIdentifier() {
    auto bundle = plat::Bundle::main();
    if (!bundle) {
        return {};
    }
    std::string path = bundle->bundlePath();
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (plat::String::hasSuffix(path, ".appex")) {
        // <App>.app/PlugIns/<Extension>.appex: the app is two levels up.
        std::string app = path;
        for (int level = 0; level < 2; ++level) {
            const size_t slash = app.rfind('/');
            app = slash == std::string::npos ? std::string() : app.substr(0, slash);
        }
        return plat::Bundle(app).bundleIdentifier().value_or("");
    }
    return bundle->bundleIdentifier().value_or("");
}
