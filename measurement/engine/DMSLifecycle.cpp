// The controller's reactions to the application's life: an upload kept alive in the background on resign,
// the one background task it holds, the weekly configuration check on activation, the launch deep link;
// beside them the first-open time query and the network layer's log lines.

#include "core/DVUNetwork.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <cmath>
#include <limits>

namespace {

constexpr const char* kLifecycleDeepLinkKey = "/razoza/measurement/deep_link";
constexpr const char* kLifecycleDeepLinkTimeKey = "/razoza/measurement/deep_link_timestamp_seconds";

void lifecycleStoreDeepLink(const std::string& link) {
    auto& defaults = DMSUserDefaults::standardUserDefaults();
    defaults.setObject(plat::Value(link), plat::Value(kLifecycleDeepLinkKey));
    defaults.setDouble(plat::Clock::now(), plat::Value(kLifecycleDeepLinkTimeKey));
}

const plat::Value* lifecycleFind(const plat::Dictionary& dictionary, const char* key) {
    return dictionary.find(key);
}

} // namespace

void DMSMeasurement::load() {
    static const int owner = 0;
    auto& center = plat::NotificationCenter::defaultCenter();
    center.removeObserver(&owner);
    center.addObserver(&owner, std::string(plat::UIApplicationDidFinishLaunchingNotification), nullptr,
                       [](const plat::Notification& notification) {
                           handleAppDidFinishLaunching(notification.userInfo);
                       });
}

void DMSMeasurement::registerLifecycleObservers() {
    auto& center = plat::NotificationCenter::defaultCenter();
    center.addObserver(this, std::string(plat::UIApplicationDidBecomeActiveNotification), nullptr,
                       [this](const plat::Notification&) { handleAppDidBecomeActiveEvent(); });
    center.addObserver(this, std::string(plat::UIApplicationWillResignActiveNotification), nullptr,
                       [this](const plat::Notification&) { handleAppWillResignActiveEvent(); });
    center.addObserver(this, std::string(plat::UIApplicationWillEnterForegroundNotification), nullptr,
                       [this](const plat::Notification&) { handleAppWillEnterForegroundNotification(); });
}

void DMSMeasurement::handleAppDidFinishLaunching(const plat::Dictionary& launchOptions) {
    if (launchOptions.empty()) {
        return;
    }
    bool written = false;
    if (systemMajorVersion() >= 9) {
        const plat::Value* activities =
            lifecycleFind(launchOptions, plat::UIApplicationLaunchOptionsUserActivityDictionaryKey);
        if (activities && activities->isDictionary() && !activities->asDictionary().empty()) {
            const plat::Value* activity = activities->asDictionary().find("UIApplicationLaunchOptionsUserActivityKey");
            if (activity && activity->isObject()) {
                if (auto link = deepLinkFromUserActivity(activity->asObject()); link && !link->empty()) {
                    lifecycleStoreDeepLink(*link);
                    written = true;
                }
            }
        }
    }
    const plat::Value* url = lifecycleFind(launchOptions, plat::UIApplicationLaunchOptionsURLKey);
    if (!written && url && url->isString() && !url->asString().empty()) {
        lifecycleStoreDeepLink(url->asString());
    }
}

void DMSMeasurement::handleAppWillResignActiveEvent() {
    if (persistedConfig_) {
        persistedConfig_->synchronizeToDisk();
    }
    if (!remoteConfig().uploadWhenAppInBackgroundEnabled()) {
        return;
    }
    auto& log = monitor();
    log.logWithLevel(7, 23144, "App will resign active state. Scheduling data upload");
    auto application = DMSAEU::sharedApplication();
    if (!application) {
        return;
    }
    std::weak_ptr<DMSMeasurementNetworkBridge> bridge = networkBridge();
    const uint64_t task = application->beginBackgroundTaskWithName(
        "DMSAnalyticsMeasurementBackgroundTask", [this, bridge] {
            if (bridge.lock()) {
                terminateBackgroundTask();
            }
        });
    swapBackgroundTaskWithNewTaskID(task);
    log.logWithLevel(7, 23145, "Background task started. Task ID", plat::Value(static_cast<int64_t>(task)));
    scheduler_->scheduleOnWorkerQueueBlockID("DMSMeasurement:4128", [this, bridge] {
        if (bridge.lock()) {
            uploadData();
        }
    });
}

void DMSMeasurement::swapBackgroundTaskWithNewTaskID(uint64_t taskID) {
    const uint64_t old = backgroundUpdateTask_.exchange(taskID);
    if (old == plat::UIBackgroundTaskInvalid) {
        return;
    }
    monitor().logWithLevel(7, 23142, "Cancelling background upload task. Task ID ", plat::Value(static_cast<int64_t>(old)));
    if (auto application = DMSAEU::sharedApplication()) {
        application->endBackgroundTask(old);
    }
}

void DMSMeasurement::terminateBackgroundTask() {
    if (persistedConfig_) {
        persistedConfig_->synchronizeToDisk();
    }
    swapBackgroundTaskWithNewTaskID(plat::UIBackgroundTaskInvalid);
}

void DMSMeasurement::handleAppWillEnterForegroundNotification() { terminateBackgroundTask(); }

void DMSMeasurement::handleAppDidBecomeActiveEvent() {
    if (!remoteConfig().blacklistInternal()) {
        return;
    }
    std::weak_ptr<DMSMeasurementNetworkBridge> bridge = networkBridge();
    scheduler_->scheduleOnWorkerQueueBlockID("DMSMeasurement:4088", [this, bridge] {
        if (!bridge.lock()) {
            return;
        }
        DMSRemoteConfig* own = ownRemoteConfig();
        const double last = own ? own->lastRemoteConfigUpdateTimestamp() : 0;
        if (std::fabs(plat::Clock::now() - last) < 604800) {
            return;
        }
        if (isNetworkReadyForRequest()) {
            fetchRemoteConfig();
        } else {
            monitor().logWithLevel(7, 23143, "Network operation is pending. Ignoring request to fetch configuration");
        }
    });
}

double DMSMeasurement::firstOpenTimestamp() {
    auto& log = monitor();
    if (!database_) {
        return 0;
    }
    plat::Error error;
    auto attributes = database_->userAttributesIncludingInternal(true, &error);
    if (!attributes) {
        log.logWithLevel(1, 23123, "Unable to query current user properties. Error", error);
        return 0;
    }
    if (attributes->empty()) {
        log.logWithLevel(1, 23124, "Unable to extract first open timestamp. Empty user properties");
        return 0;
    }
    double smallest = std::numeric_limits<double>::max();
    for (const DMSUserAttribute& attribute : *attributes) {
        if (attribute.name() == "_fot") {
            return attribute.lastSetTimestamp();
        }
        smallest = std::min(smallest, attribute.lastSetTimestamp());
    }
    return smallest;
}

void DMSMeasurement::logNetworkLine(long level, long messageCode, const std::optional<std::string>& message,
                                    const std::vector<plat::Value>& contexts) {
    int64_t mapped = 3;
    switch (level) {
    case 3:
        mapped = 1;
        break;
    case 4:
        mapped = 4;
        break;
    case 5:
        mapped = 3;
        break;
    case 6:
        mapped = 6;
        break;
    case 7:
        mapped = 7;
        break;
    default:
        mapped = 3;
        break;
    }
    DMSLogContexts logContexts;
    for (const plat::Value& context : contexts) {
        logContexts.push_back(DMSLogContext(context));
    }
    monitor().logWithLevel_contexts(mapped, messageCode, message, logContexts);
}
