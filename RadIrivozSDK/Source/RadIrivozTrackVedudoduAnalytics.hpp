#pragma once
// Notification events for the app's analytics client, when the app has one ("DAVAnalytics", found by class
// name): received (logged by the service extension), opened, and a session that began soon after a
// notification came without being opened. Whether to track comes from the push service's remote parameters
// and is kept in the app group's defaults, which the app and its extension share.

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "platform/foundation/Value.hpp"

#include <string>

class RadIrivozTrackVedudoduAnalytics {
public:
    RadIrivozTrackVedudoduAnalytics() = delete;

    static bool needsRemoteParams();
    // Loads the tracking switch from the app group.
    static void init();
    // Tracking is on when the parameters name "fba", whatever its value.
    static void updateFromDownloadParams(const plat::Dictionary& params);
    static std::string appGroupKey();
    static void logEventWithName(const std::string& name, const plat::Dictionary& parameters);
    // "<template name> - <template id>", else at most the first 10 UTF-16 units of the title, never half a
    // character.
    static std::string getCampaignNameFromPayload(const RINotificationPayload& payload);
    static void trackOpenEvent(const RINotificationOpenedResult& result);
    static void trackReceivedEvent(const RINotificationPayload& payload);
    static void trackInfluenceOpenEvent();
};
