// Ad exposure timing on the reporter's serial queue: begins are queued, everything else waits for the queue,
// with the time and the screen parameters taken on the caller's thread first.

#include "measurement/engine/DMSAdExposureReporter.hpp"

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSScreenViewReporter.hpp"
#include "measurement/engine/DMSSessionReporter.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"

#include <cmath>

namespace {

DMSMonitor& exposureMonitor() {
    return DMSMeasurement::monitor();
}

// Milliseconds, truncated; a piece that cannot be measured counts as none.
int64_t exposureMilliseconds(double start, double end) {
    const double ms = (end - start) * 1000.0;
    return std::isfinite(ms) && ms > 0 && ms < 9.2e18 ? static_cast<int64_t>(ms) : 0;
}

} // namespace

DMSAdExposureReporter& DMSAdExposureReporter::sharedInstance() {
    static plat::NeverDestroyed<DMSAdExposureReporter> reporter;
    return *reporter;
}

DMSAdExposureReporter::DMSAdExposureReporter()
    : queue_(plat::DispatchQueue::makeSerial(kQueueLabel)), adExposureStartTime_(currentTime()) {
    plat::NotificationCenter::defaultCenter().addObserver(
        this, DMSSessionReporter::kEngagementTimerDidFireNotification, nullptr,
        [this](const plat::Notification&) { handleEngagementTimer(); });
}

double DMSAdExposureReporter::currentTime() {
    const double uptime = plat::Clock::uptime();
    return uptime < 0 ? -1 : std::round(uptime * 1e6) / 1e6;
}

void DMSAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        exposureMonitor().logWithLevel(4, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double time = currentTime();
    queue_->async([this, adUnitID, time] {
        if (adUnitCounts_.size() >= kMaxAdUnits && !adUnitCounts_.count(adUnitID)) {
            exposureMonitor().logWithLevel(4, 1002, "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
            return;
        }
        if (adUnitCounts_.empty()) {
            adExposureStartTime_ = time;
        }
        if (!adUnitCounts_.count(adUnitID)) {
            adUnitStartTimes_[adUnitID] = time;
        }
        adUnitCounts_[adUnitID] += 1;
    });
}

void DMSAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        exposureMonitor().logWithLevel(4, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double time = currentTime();
    const plat::Dictionary parameters = DMSScreenViewReporter::sharedInstance().screenParameters();
    queue_->sync([&] {
        auto count = adUnitCounts_.find(adUnitID);
        if (count == adUnitCounts_.end()) {
            exposureMonitor().logWithLevel(4, 1004, "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
            return;
        }
        if (count->second >= 2) {
            count->second -= 1;
            return;
        }
        logAdUnitExposureEventOnSerialQueueWithID(adUnitID, time, parameters);
        adUnitCounts_.erase(count);
        adUnitStartTimes_.erase(adUnitID);
        if (adUnitCounts_.empty()) {
            logAdExposureEventOnSerialQueueWithEndTime(time, parameters);
            adExposureStartTime_ = time;
        }
    });
}

void DMSAdExposureReporter::handleScreenDidChangeFromScreen(const std::shared_ptr<DMSScreen>& previous,
                                                            const std::shared_ptr<DMSScreen>&) {
    if (previous) {
        logExposureEventsWithScreenParameters(DMSScreenParametersForScreen(*previous));
    }
}

void DMSAdExposureReporter::handleEngagementTimer() {
    logExposureEventsWithScreenParameters(DMSScreenViewReporter::sharedInstance().screenParameters());
}

void DMSAdExposureReporter::handleAppDidBecomeActive() {
    const double time = currentTime();
    queue_->sync([&] { updateStartTimesOnSerialQueue(time); });
}

void DMSAdExposureReporter::handleAppWillResignActiveWithScreen(const std::shared_ptr<DMSScreen>& screen) {
    plat::Dictionary parameters;
    if (screen) {
        parameters = DMSScreenParametersForScreen(*screen);
    }
    if (parameters.empty()) {
        parameters = DMSScreenViewReporter::sharedInstance().screenParameters();
    }
    const double time = currentTime();
    queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(time, parameters); });
}

void DMSAdExposureReporter::logExposureEventsWithScreenParameters(const plat::Dictionary& screenParameters) {
    const double time = currentTime();
    queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(time, screenParameters); });
}

void DMSAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                                      const plat::Dictionary& screenParameters) {
    for (const auto& [adUnitID, count] : adUnitCounts_) {
        (void)count;
        logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
    }
    if (!adUnitCounts_.empty()) {
        logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
    }
    updateStartTimesOnSerialQueue(endTime);
}

void DMSAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
    if (adUnitCounts_.empty()) {
        return;
    }
    for (auto& [adUnitID, start] : adUnitStartTimes_) {
        (void)adUnitID;
        start = time;
    }
    adExposureStartTime_ = time;
}

void DMSAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                                       const plat::Dictionary& screenParameters) {
    auto& log = exposureMonitor();
    if (!isReportingEnabled()) {
        log.logWithLevel(4, 1005, "Ad exposure not logged. Reporting is disabled.");
        return;
    }
    if (!DMSIsAppActive()) {
        log.logWithLevel(7, 1010, "Ad exposure not logged. App is not active.");
        return;
    }
    const int64_t ms = exposureMilliseconds(adExposureStartTime_, endTime);
    if (ms < 1000) {
        log.logWithLevel(7, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    plat::Dictionary parameters = screenParameters;
    parameters.set("_xt", plat::Value(ms));
    DMSAnalytics::logInternalEventWithOrigin("am", "_xa", parameters);
}

void DMSAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                                      const plat::Dictionary& screenParameters) {
    auto& log = exposureMonitor();
    if (!isReportingEnabled()) {
        log.logWithLevel(4, 1007, "Ad unit exposure not logged. Reporting is disabled.");
        return;
    }
    if (adUnitID.empty()) {
        log.logWithLevel(4, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
        return;
    }
    if (!DMSIsAppActive()) {
        log.logWithLevel(7, 1011, "Ad unit exposure not logged. App is not active.");
        return;
    }
    auto start = adUnitStartTimes_.find(adUnitID);
    const int64_t ms = start == adUnitStartTimes_.end() ? 0 : exposureMilliseconds(start->second, endTime);
    if (ms < 1000) {
        log.logWithLevel(7, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    plat::Dictionary parameters = screenParameters;
    parameters.set("_ai", plat::Value(adUnitID));
    parameters.set("_xt", plat::Value(ms));
    DMSAnalytics::logInternalEventWithOrigin("am", "_xu", parameters);
}
