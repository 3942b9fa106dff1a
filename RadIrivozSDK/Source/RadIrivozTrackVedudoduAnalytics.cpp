#include "RadIrivozSDK/Source/RadIrivozTrackVedudoduAnalytics.hpp"

#include "RadIrivozSDK/Source/RadIrivozNotificationServiceExtensionHandler.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <mutex>

namespace {

constexpr const char* kAnalyticsClass = "DAVAnalytics";
constexpr const char* kLogEvent = "logEventWithName:parameters:";
constexpr const char* kEnabledKey = "RI_ENABLE_VEDUDODU_ANALYTICS";
constexpr const char* kLastReceivedIdKey = "RI_LAST_RECIEVED_NOTIFICATION_ID";
constexpr const char* kLastReceivedCampaignKey = "RI_LAST_RECIEVED_GAF_CAMPAIGN";
constexpr const char* kLastReceivedTimeKey = "RI_LAST_RECIEVED_TIME";
// A session this soon after a notification came counts as influenced by it...
constexpr double kInfluenceWindow = 120.0;
// ...unless the app was opened from a notification this recently.
constexpr double kOpenQuietTime = 30.0;
constexpr size_t kCampaignUnits = 10;

struct AnalyticsTracking {
    std::mutex mutex;
    bool enabled = false;
    // Whether this process has read the switch yet (the extension process has no start-up of its own).
    bool loaded = false;
    double lastOpenTime = 0;
};

AnalyticsTracking& analyticsTracking() {
    static plat::NeverDestroyed<AnalyticsTracking> tracking;
    return *tracking;
}

template <class F> auto withTracking(F&& fn) {
    std::lock_guard lock(analyticsTracking().mutex);
    return fn(analyticsTracking());
}

bool trackingEnabled() {
    return withTracking([](AnalyticsTracking& t) { return t.enabled; });
}

plat::Dictionary eventParameters(const std::optional<std::string>& notificationId, const std::string& campaign) {
    plat::Dictionary parameters{{"source", plat::Value("RadIrivoz")}, {"medium", plat::Value("notification")}};
    // An id the payload lacks is left out rather than sent as null, which the analytics client refuses.
    if (notificationId) {
        parameters.set("notification_id", plat::Value(*notificationId));
    }
    parameters.set("campaign", plat::Value(campaign));
    return parameters;
}

// The length of one UTF-8 sequence starting with this byte (1 for a stray continuation byte).
size_t utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0) {
        return 4;
    }
    if (lead >= 0xE0) {
        return 3;
    }
    if (lead >= 0xC0) {
        return 2;
    }
    return 1;
}

// At most `units` UTF-16 code units of the text, ending on a character boundary.
std::string prefixOfUtf16Units(const std::string& text, size_t units) {
    size_t used = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t length = std::min(utf8SequenceLength(static_cast<unsigned char>(text[at])), text.size() - at);
        const size_t cost = length == 4 ? 2 : 1;
        if (used + cost > units) {
            break;
        }
        used += cost;
        at += length;
    }
    return text.substr(0, at);
}

} // namespace

bool RadIrivozTrackVedudoduAnalytics::needsRemoteParams() {
    return plat::rt::getClass(kAnalyticsClass) != nullptr;
}

void RadIrivozTrackVedudoduAnalytics::init() {
    const bool enabled = plat::UserDefaults(appGroupKey()).boolean(kEnabledKey);
    withTracking([&](AnalyticsTracking& t) {
        t.enabled = enabled;
        t.loaded = true;
    });
}

void RadIrivozTrackVedudoduAnalytics::updateFromDownloadParams(const plat::Dictionary& params) {
    const bool enabled = params.contains("fba");
    withTracking([&](AnalyticsTracking& t) {
        t.enabled = enabled;
        t.loaded = true;
    });
    plat::UserDefaults shared(appGroupKey());
    if (enabled) {
        shared.setBool(kEnabledKey, true);
    } else {
        shared.remove(kEnabledKey);
    }
    shared.synchronize();
}

std::string RadIrivozTrackVedudoduAnalytics::appGroupKey() {
    return RadIrivozExtensionBadgeHandler::appGroupName();
}

void RadIrivozTrackVedudoduAnalytics::logEventWithName(const std::string& name, const plat::Dictionary& parameters) {
    plat::rt::Class* analytics = plat::rt::getClass(kAnalyticsClass);
    if (!analytics || !plat::rt::classMethod(analytics, kLogEvent)) {
        return;
    }
    plat::rt::msgSend<void>(*analytics, kLogEvent, std::string(name), plat::Dictionary(parameters));
}

std::string RadIrivozTrackVedudoduAnalytics::getCampaignNameFromPayload(const RINotificationPayload& payload) {
    if (payload.templateName() && payload.templateID()) {
        return *payload.templateName() + " - " + *payload.templateID();
    }
    if (!payload.title()) {
        return {};
    }
    return prefixOfUtf16Units(*payload.title(), kCampaignUnits);
}

void RadIrivozTrackVedudoduAnalytics::trackOpenEvent(const RINotificationOpenedResult& result) {
    if (!trackingEnabled()) {
        return;
    }
    withTracking([](AnalyticsTracking& t) { t.lastOpenTime = plat::Clock::now(); });
    const auto& notification = result.notification();
    const auto payload = notification ? notification->payload() : nullptr;
    if (!payload) {
        return;
    }
    logEventWithName("os_notification_opened",
                     eventParameters(payload->notificationID(), getCampaignNameFromPayload(*payload)));
}

void RadIrivozTrackVedudoduAnalytics::trackReceivedEvent(const RINotificationPayload& payload) {
    if (!withTracking([](AnalyticsTracking& t) { return t.loaded; })) {
        init();
    }
    if (!trackingEnabled()) {
        return;
    }
    const std::string campaign = getCampaignNameFromPayload(payload);
    plat::UserDefaults shared(appGroupKey());
    shared.set(kLastReceivedIdKey, payload.notificationID() ? plat::Value(*payload.notificationID()) : plat::Value());
    shared.set(kLastReceivedCampaignKey, plat::Value(campaign));
    shared.setDouble(kLastReceivedTimeKey, plat::Clock::now());
    shared.synchronize();
    logEventWithName("os_notification_received", eventParameters(payload.notificationID(), campaign));
}

void RadIrivozTrackVedudoduAnalytics::trackInfluenceOpenEvent() {
    if (!trackingEnabled()) {
        return;
    }
    plat::UserDefaults shared(appGroupKey());
    const double received = shared.doubleValue(kLastReceivedTimeKey);
    if (received == 0) {
        return;
    }
    const double now = plat::Clock::now();
    const double lastOpen = withTracking([](AnalyticsTracking& t) { return t.lastOpenTime; });
    if (now - received > kInfluenceWindow || now - lastOpen < kOpenQuietTime) {
        return;
    }
    logEventWithName("os_notification_influence_open",
                     eventParameters(shared.string(kLastReceivedIdKey), shared.string(kLastReceivedCampaignKey).value_or("")));
}
