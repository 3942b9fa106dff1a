#include "RadIrivozSDK/Source/RadIrivozTracker.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <algorithm>
#include <mutex>
#include <optional>

namespace {

constexpr const char* kUnsentActiveTime = "RV_UNSENT_ACTIVE_TIME";
constexpr const char* kLastClosedTime = "RV_LAST_CLOSED_TIME";
// Added to every measured period: the moments around the transitions themselves.
constexpr double kFocusPadding = 0.5;
// A period outside 0..1 day comes from a clock change, not from use.
constexpr double kMaxFocusPeriod = 86400.0;
constexpr double kMinReportedTime = 30.0;

struct TrackerState {
    std::mutex mutex;
    bool lastFocusToBackground = true;
    double lastOpenedTime = 0;
    plat::UIBackgroundTaskIdentifier focusTask = plat::UIBackgroundTaskInvalid;
    // -1 while the stored value is not loaded yet.
    std::optional<double> unsentActiveTime;
};

TrackerState& trackerState() {
    static plat::NeverDestroyed<TrackerState> state;
    return *state;
}

template <class F> auto withTracker(F&& fn) {
    std::lock_guard lock(trackerState().mutex);
    return fn(trackerState());
}

plat::UserDefaults& trackerDefaults() {
    return plat::UserDefaults::standardUserDefaults();
}

// One keyed batch: the push player, and the e-mail player when there is one (with its auth hash).
template <class Make>
std::map<std::string, RadIrivozRequestPtr> focusBatch(const std::string& playerId, Make make) {
    std::map<std::string, RadIrivozRequestPtr> requests;
    requests["push"] = make(playerId, std::nullopt);
    auto email = RadIrivoz::currentEmailSubscriptionState();
    if (auto emailUserId = email->emailUserId()) {
        requests["email"] = make(*emailUserId, email->emailAuthCode());
    }
    return requests;
}

// The reported seconds leave the stored total only once the push service has them: a failed report keeps
// them for the next one, and time added meanwhile stays.
void forgetReportedTime(double reported) {
    RadIrivozTracker::saveUnsentActiveTime(std::max(0.0, RadIrivozTracker::getUnsentActiveTime() - reported));
}

void sendActiveTime(const std::string& playerId, double total) {
    RadIrivozTracker::beginBackgroundFocusTask();
    const auto appId = RadIrivoz::app_id();
    const plat::Value netType = RadIrivozHelper::getNetType();
    auto requests = focusBatch(playerId, [&](const std::string& id, const std::optional<std::string>& token) {
        return RIRequestOnFocus::withUserId(id, appId, plat::Value("ping"), plat::Value(1), plat::Value(total), netType,
                                            token);
    });
    RadIrivozClient::sharedClient().executeSimultaneousRequests(
        requests, [total](const plat::Dictionary&) { forgetReportedTime(total); },
        [total](const std::map<std::string, plat::Error>& errors) {
            if (!errors.contains("push")) {
                forgetReportedTime(total);
            }
        });
    // The client sends the batch on its own queue; the app need only stay awake until it is handed over.
    RadIrivozTracker::endBackgroundFocusTask();
}

} // namespace

void RadIrivozTracker::onFocus(bool toBackground) {
    if (RadIrivoz::requiresUserPrivacyConsent()) {
        return;
    }
    const bool repeated = withTracker([&](TrackerState& s) {
        if (s.lastFocusToBackground == toBackground) {
            return true;
        }
        s.lastFocusToBackground = toBackground;
        return false;
    });
    if (repeated) {
        return;
    }
    const double now = plat::Clock::now();
    const auto playerId = RadIrivoz::mUserId();
    if (toBackground) {
        trackerDefaults().setDouble(kLastClosedTime, now);
        trackerDefaults().synchronize();
        const double elapsed = now - withTracker([](TrackerState& s) { return s.lastOpenedTime; }) + kFocusPadding;
        if (elapsed < 0 || elapsed > kMaxFocusPeriod) {
            return;
        }
        const double total = getUnsentActiveTime() + elapsed;
        // Kept until a report reaches the service, also while there is no player to report it for.
        saveUnsentActiveTime(total);
        if (total >= kMinReportedTime && playerId) {
            sendActiveTime(*playerId, total);
        }
        return;
    }

    setLastOpenedTime(now);
    if (!RadIrivoz::sendNotificationTypesUpdate() && playerId) {
        RadIrivoz::registerUser();
    }
    const bool badgeCleared = RadIrivoz::clearBadgeCount(false);
    if (!playerId || !badgeCleared) {
        return;
    }
    const auto appId = RadIrivoz::app_id();
    RadIrivozClient::sharedClient().executeSimultaneousRequests(
        focusBatch(*playerId,
                   [&](const std::string& id, const std::optional<std::string>& token) {
                       return RIRequestOnFocus::withUserId(id, appId, plat::Value(0), token);
                   }),
        nullptr, nullptr);
}

double RadIrivozTracker::getUnsentActiveTime() {
    if (auto cached = withTracker([](TrackerState& s) { return s.unsentActiveTime; }); cached && *cached >= 0) {
        return *cached;
    }
    auto stored = trackerDefaults().object(kUnsentActiveTime);
    if (!stored || !stored->isNumber()) {
        return 0;
    }
    const double seconds = stored->doubleValue();
    withTracker([&](TrackerState& s) { s.unsentActiveTime = seconds; });
    return seconds;
}

void RadIrivozTracker::saveUnsentActiveTime(double seconds) {
    withTracker([&](TrackerState& s) { s.unsentActiveTime = seconds; });
    trackerDefaults().set(kUnsentActiveTime, plat::Value(seconds));
    trackerDefaults().synchronize();
}

void RadIrivozTracker::beginBackgroundFocusTask() {
    auto application = plat::UIApplication::sharedApplication();
    if (!application) {
        return;
    }
    const plat::UIBackgroundTaskIdentifier task =
        application->beginBackgroundTaskWithExpirationHandler([] { endBackgroundFocusTask(); });
    withTracker([&](TrackerState& s) { s.focusTask = task; });
}

void RadIrivozTracker::endBackgroundFocusTask() {
    const auto task = withTracker([](TrackerState& s) { return std::exchange(s.focusTask, plat::UIBackgroundTaskInvalid); });
    auto application = plat::UIApplication::sharedApplication();
    if (application && task != plat::UIBackgroundTaskInvalid) {
        application->endBackgroundTask(task);
    }
}

void RadIrivozTracker::setLastOpenedTime(double secondsSince1970) {
    withTracker([&](TrackerState& s) { s.lastOpenedTime = secondsSince1970; });
}

void RadIrivozTracker::resetLocals() {
    withTracker([](TrackerState& s) {
        s.unsentActiveTime.reset();
        s.focusTask = plat::UIBackgroundTaskInvalid;
        s.lastOpenedTime = 0;
        s.lastFocusToBackground = true;
    });
}
