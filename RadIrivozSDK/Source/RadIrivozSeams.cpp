#include "RadIrivozSDK/Source/RadIrivozSeams.hpp"

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozNotificationServiceExtensionHandler.hpp"
#include "RadIrivozSDK/Source/RadIrivozTrackVedudoduAnalytics.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <mutex>

namespace {

struct SeamTable {
    std::mutex mutex;
    RadIrivozSeams::AddNotificationRequest addRequest;
    RadIrivozSeams::PrepareLocalNotification prepareLocal;
    RadIrivozSeams::ExtensionEntry didReceive;
    RadIrivozSeams::ExtensionEntry willExpire;
    RadIrivozSeams::OpenEventTracker openTracker;
};

SeamTable& seamTable() {
    static plat::NeverDestroyed<SeamTable> table;
    return *table;
}

// A copy taken under the lock: the function runs without it, so it may install another.
template <class F> F seam(F SeamTable::*member) {
    std::lock_guard lock(seamTable().mutex);
    return seamTable().*member;
}

} // namespace

void RadIrivozSeams::addNotificationRequest(std::shared_ptr<const RINotificationPayload> payload,
                                            FetchHandler handler) {
    if (auto fn = seam(&SeamTable::addRequest)) {
        fn(std::move(payload), std::move(handler));
        return;
    }
    if (payload) {
        RadIrivozHelper::addNotificationRequest(std::move(payload), std::move(handler));
    } else if (handler) {
        // The system holds the app to calling the handler, scheduled or not.
        handler(plat::UIBackgroundFetchResult::noData);
    }
}

std::optional<plat::UILocalNotification>
RadIrivozSeams::prepareUILocalNotification(std::shared_ptr<const RINotificationPayload> payload) {
    if (auto fn = seam(&SeamTable::prepareLocal)) {
        return fn(std::move(payload));
    }
    if (!payload) {
        return std::nullopt;
    }
    return RadIrivozHelper::prepareUILocalNotification(*payload);
}

std::shared_ptr<plat::UNMutableNotificationContent> RadIrivozSeams::didReceiveNotificationExtensionRequest(
    const std::shared_ptr<plat::UNNotificationRequest>& request,
    const std::shared_ptr<plat::UNMutableNotificationContent>& content) {
    if (auto fn = seam(&SeamTable::didReceive)) {
        return fn(request, content);
    }
    return RadIrivozNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(request, content);
}

std::shared_ptr<plat::UNMutableNotificationContent> RadIrivozSeams::serviceExtensionTimeWillExpireRequest(
    const std::shared_ptr<plat::UNNotificationRequest>& request,
    const std::shared_ptr<plat::UNMutableNotificationContent>& content) {
    if (auto fn = seam(&SeamTable::willExpire)) {
        return fn(request, content);
    }
    return RadIrivozNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(request, content);
}

void RadIrivozSeams::trackOpenEvent(const RINotificationOpenedResult& result) {
    if (auto fn = seam(&SeamTable::openTracker)) {
        fn(result);
        return;
    }
    RadIrivozTrackVedudoduAnalytics::trackOpenEvent(result);
}

void RadIrivozSeams::setAddNotificationRequest(AddNotificationRequest fn) {
    std::lock_guard lock(seamTable().mutex);
    seamTable().addRequest = std::move(fn);
}

void RadIrivozSeams::setPrepareUILocalNotification(PrepareLocalNotification fn) {
    std::lock_guard lock(seamTable().mutex);
    seamTable().prepareLocal = std::move(fn);
}

void RadIrivozSeams::setExtensionEntries(ExtensionEntry didReceive, ExtensionEntry willExpire) {
    std::lock_guard lock(seamTable().mutex);
    seamTable().didReceive = std::move(didReceive);
    seamTable().willExpire = std::move(willExpire);
}

void RadIrivozSeams::setOpenEventTracker(OpenEventTracker fn) {
    std::lock_guard lock(seamTable().mutex);
    seamTable().openTracker = std::move(fn);
}
