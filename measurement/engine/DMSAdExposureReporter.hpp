#pragma once
// Ad exposure: how long each ad unit, and ads as a whole, were on screen, logged as "_xu" and "_xa" with the
// exposure time in milliseconds and the parameters of the screen it happened on. Exposure is cut into pieces
// at screen changes, engagement ticks and resignation, restarted at activation; pieces under a second are
// dropped. Times are uptime, so a change of the device clock does not stretch or shrink them.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Value.hpp"

#include <atomic>
#include <map>
#include <memory>
#include <string>

class DMSScreen;

class DMSAdExposureReporter {
public:
    static constexpr const char* kQueueLabel = "DMSAdExposureReporter";
    static constexpr size_t kMaxAdUnits = 100;

    static DMSAdExposureReporter& sharedInstance();

    void beginAdUnitExposure(const std::string& adUnitID);
    void endAdUnitExposure(const std::string& adUnitID);
    void handleScreenDidChangeFromScreen(const std::shared_ptr<DMSScreen>& previous,
                                         const std::shared_ptr<DMSScreen>& screen);
    void handleEngagementTimer();
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const std::shared_ptr<DMSScreen>& screen);
    void logExposureEventsWithScreenParameters(const plat::Dictionary& screenParameters);

    bool isReportingEnabled() const { return reportingEnabled_.load(); }
    void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

    // Seconds of uptime with microsecond resolution; -1 when unknown.
    static double currentTime();

    DMSAdExposureReporter();
    DMSAdExposureReporter(const DMSAdExposureReporter&) = delete;
    DMSAdExposureReporter& operator=(const DMSAdExposureReporter&) = delete;

private:
    void logExposureEventsOnSerialQueueWithEndTime(double endTime, const plat::Dictionary& screenParameters);
    void updateStartTimesOnSerialQueue(double time);
    void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const plat::Dictionary& screenParameters);
    void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                   const plat::Dictionary& screenParameters);

    plat::DispatchQueuePtr queue_;
    std::atomic<bool> reportingEnabled_{true};
    // Only on queue_.
    std::map<std::string, int64_t> adUnitCounts_;
    std::map<std::string, double> adUnitStartTimes_;
    double adExposureStartTime_ = 0;
};

// Kept for clients that name the older class.
class VUDERaVuvazozaRidivuva : public DMSAdExposureReporter {};
