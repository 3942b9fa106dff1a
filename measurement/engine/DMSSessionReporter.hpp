#pragma once
// Decides when a new app session starts and how much foreground engagement time the user accrued: logs "_s"
// and "_e", keeps the "_sid" and "_sno" properties, and drives the "Session timer" and the "Engagement timer"
// on the main queue. The controller owns one and calls the setters and the expiry questions from its worker
// queue; the screen-view reporter forwards activation, resignation and screen changes on the main thread.

#include "measurement/storage/DMSValue.hpp"

#include <memory>
#include <mutex>
#include <optional>

class DMSAlarm;
class DMSPersistedConfig;
class DMSScreen;

class DMSSessionReporter : public std::enable_shared_from_this<DMSSessionReporter> {
public:
    static constexpr const char* kEngagementTimerDidFireNotification = "kAPMSessionReporterEngagementTimerDidFire";

    static std::shared_ptr<DMSSessionReporter> initWithPersistedConfig(DMSPersistedConfig* persistedConfig);
    ~DMSSessionReporter();
    DMSSessionReporter(const DMSSessionReporter&) = delete;
    DMSSessionReporter& operator=(const DMSSessionReporter&) = delete;

    void setReportingEnabled(bool enabled);
    bool isReportingEnabled() const;
    void setMinimumSessionInterval(double seconds);
    double minimumSessionInterval() const;
    void setTimeoutSessionInterval(double seconds);
    double timeoutSessionInterval() const;

    bool shouldStartNewSession();
    bool isSessionExpired();
    bool extendSession();
    std::optional<DMSUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
    std::optional<DMSUserAttribute> sessionNumberProperty();

    void logSessionStartEvent();
    void logUserEngagementEvent();
    void logUserEngagementEventWithScreen(const DMSScreen* screen);
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const DMSScreen* screen);
    void handleScreenDidChangeFromScreen(const DMSScreen* previous, const DMSScreen* screen);

    void rescheduleSessionStartTimer();
    void rescheduleUserEngagementTimer();
    static double currentUptime();
    static double currentClockTime();
    double incurredEngagementTime();
    void updatePropertiesForNewSessionStart();
    void setSessionID(const std::optional<plat::Value>& sessionID, const std::optional<plat::Value>& sessionNumber);

    const std::shared_ptr<DMSAlarm>& sessionStartTimer() const { return sessionStartTimer_; }
    const std::shared_ptr<DMSAlarm>& userEngagementTimer() const { return userEngagementTimer_; }

    explicit DMSSessionReporter(DMSPersistedConfig* persistedConfig);

private:
    double engagementStartUptime() const;
    void setEngagementStartUptime(double uptime);

    DMSPersistedConfig* persistedConfig_;
    std::shared_ptr<DMSAlarm> sessionStartTimer_;
    std::shared_ptr<DMSAlarm> userEngagementTimer_;
    // The fields below are read on the main thread and written from the controller's worker queue too.
    mutable std::mutex mutex_;
    double engagementStartUptime_ = 0;
    bool reportingEnabled_ = false;
    double minimumSessionInterval_ = 0;
    double timeoutSessionInterval_ = 0;
};

// YES while the app is active, as the screen-view reporter follows it from the application notifications.
bool DMSIsAppActive();
