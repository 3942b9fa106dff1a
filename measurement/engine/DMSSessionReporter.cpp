// Sessions and engagement: the pending session start waits for enough foreground time, engagement periods
// restart at activation and after each "_e", and everything a restart must not lose sits in the persisted
// configuration.

#include "measurement/engine/DMSSessionReporter.hpp"

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/engine/DMSScreenViewReporter.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NotificationCenter.hpp"

#include <cmath>

std::shared_ptr<DMSSessionReporter> DMSSessionReporter::initWithPersistedConfig(DMSPersistedConfig* persistedConfig) {
    return std::make_shared<DMSSessionReporter>(persistedConfig);
}

DMSSessionReporter::DMSSessionReporter(DMSPersistedConfig* persistedConfig) : persistedConfig_(persistedConfig) {
    DMSRemoteConfig& config = DMSMeasurement::remoteConfig();
    minimumSessionInterval_ = config.sessionDefaultMinimumInterval();
    timeoutSessionInterval_ = config.sessionDefaultTimeoutInterval();
    engagementStartUptime_ = currentUptime();
    if (persistedConfig_) {
        persistedConfig_->setStartNewSession(shouldStartNewSession());
        persistedConfig_->setEngagementTimeBeforeSessionStart(0);
    }
    sessionStartTimer_ = DMSAlarm::initWithDispatchQueue(plat::DispatchQueue::main(), "Session timer");
    userEngagementTimer_ = DMSAlarm::initWithDispatchQueue(plat::DispatchQueue::main(), "Engagement timer");
}

DMSSessionReporter::~DMSSessionReporter() {
    sessionStartTimer_->cancel();
    userEngagementTimer_->cancel();
}

// ---- settings ----------------------------------------------------------------------------------------------

void DMSSessionReporter::setReportingEnabled(bool enabled) {
    {
        std::lock_guard lock(mutex_);
        reportingEnabled_ = enabled;
    }
    if (!enabled) {
        return;
    }
    if (persistedConfig_ && persistedConfig_->startNewSession() && !sessionStartTimer_->scheduledTimestamp()) {
        rescheduleSessionStartTimer();
    }
    if (DMSIsAppActive() && !userEngagementTimer_->scheduledTimestamp()) {
        rescheduleUserEngagementTimer();
    }
}

bool DMSSessionReporter::isReportingEnabled() const {
    std::lock_guard lock(mutex_);
    return reportingEnabled_;
}

void DMSSessionReporter::setMinimumSessionInterval(double seconds) {
    if (seconds < 0 || std::isnan(seconds)) {
        DMSMeasurement::monitor().logWithLevel(4, 33000,
                                               "Received negative minimum session duration. Setting to 0.0 instead.");
        seconds = 0;
    }
    {
        std::lock_guard lock(mutex_);
        minimumSessionInterval_ = seconds;
    }
    if (persistedConfig_ && persistedConfig_->startNewSession() && sessionStartTimer_->scheduledTimestamp()) {
        rescheduleSessionStartTimer();
    }
}

double DMSSessionReporter::minimumSessionInterval() const {
    std::lock_guard lock(mutex_);
    return minimumSessionInterval_;
}

void DMSSessionReporter::setTimeoutSessionInterval(double seconds) {
    if (seconds < 0 || std::isnan(seconds)) {
        DMSMeasurement::monitor().logWithLevel(4, 33001,
                                               "Received negative timeout session duration. Setting to 0.0 instead.");
        seconds = 0;
    }
    std::lock_guard lock(mutex_);
    timeoutSessionInterval_ = seconds;
}

double DMSSessionReporter::timeoutSessionInterval() const {
    std::lock_guard lock(mutex_);
    return timeoutSessionInterval_;
}

double DMSSessionReporter::engagementStartUptime() const {
    std::lock_guard lock(mutex_);
    return engagementStartUptime_;
}

void DMSSessionReporter::setEngagementStartUptime(double uptime) {
    std::lock_guard lock(mutex_);
    engagementStartUptime_ = uptime;
}

// ---- session state -----------------------------------------------------------------------------------------

bool DMSSessionReporter::isSessionExpired() {
    const double last = persistedConfig_ ? persistedConfig_->lastSessionActivityClockTime() : 0;
    return timeoutSessionInterval() < std::fabs(currentClockTime() - last);
}

bool DMSSessionReporter::shouldStartNewSession() {
    return DMSIsAppActive() && isSessionExpired();
}

bool DMSSessionReporter::extendSession() {
    if (DMSMeasurement::remoteConfig().sessionBackgroundEnabled() && !isSessionExpired() && persistedConfig_) {
        persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
        return true;
    }
    return false;
}

double DMSSessionReporter::currentUptime() {
    return plat::Clock::uptime();
}

double DMSSessionReporter::currentClockTime() {
    return plat::Clock::now();
}

double DMSSessionReporter::incurredEngagementTime() {
    const double incurred = currentUptime() - engagementStartUptime();
    if (incurred < 0) {
        DMSMeasurement::monitor().logWithLevel(4, 33004,
                                               "Incurred engagement time is negative. Setting to 0.0 instead");
        return 0;
    }
    return incurred;
}

void DMSSessionReporter::updatePropertiesForNewSessionStart() {
    if (!persistedConfig_) {
        return;
    }
    if (DMSMeasurement::remoteConfig().sessionNumberEnabled()) {
        persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
    }
    persistedConfig_->setStartNewSession(false);
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

void DMSSessionReporter::setSessionID(const std::optional<plat::Value>& sessionID,
                                      const std::optional<plat::Value>& sessionNumber) {
    DMSAnalytics& analytics = DMSAnalytics::sharedInstance();
    analytics.setInternalUserProperty(sessionID, "_sid", "auto");
    analytics.setInternalUserProperty(sessionNumber, "_sno", "auto");
}

std::optional<DMSUserAttribute> DMSSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
    return DMSUserAttribute::initWithOrigin("auto", "_sid", DMSValue::initWithInt64(static_cast<int64_t>(timestamp)),
                                            timestamp);
}

std::optional<DMSUserAttribute> DMSSessionReporter::sessionNumberProperty() {
    const int64_t number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
    return DMSUserAttribute::initWithOrigin("auto", "_sno", DMSValue::initWithInt64(number), currentClockTime());
}

// ---- timers ------------------------------------------------------------------------------------------------

void DMSSessionReporter::rescheduleSessionStartTimer() {
    DMSMeasurement::monitor().logWithLevel(7, 33002, "Scheduling session start timer");
    const double before = persistedConfig_ ? persistedConfig_->engagementTimeBeforeSessionStart() : 0;
    std::weak_ptr<DMSSessionReporter> weak = weak_from_this();
    sessionStartTimer_->runAfterDelay(minimumSessionInterval() - before, [weak] {
        if (auto self = weak.lock()) {
            self->logSessionStartEvent();
        }
    });
}

void DMSSessionReporter::rescheduleUserEngagementTimer() {
    DMSMeasurement::monitor().logWithLevel(7, 33003, "Scheduling user engagement timer");
    const double interval = DMSMeasurement::remoteConfig().sessionEventUserEngagementInterval();
    if (!(interval > 0)) {
        // A server setting of 0 would fire the timer again at once, forever: no periodic "_e" then.
        userEngagementTimer_->cancel();
        return;
    }
    std::weak_ptr<DMSSessionReporter> weak = weak_from_this();
    userEngagementTimer_->runAfterDelay(interval, [weak] {
        plat::NotificationCenter::defaultCenter().post(kEngagementTimerDidFireNotification);
        if (auto self = weak.lock()) {
            self->logUserEngagementEvent();
        }
    });
}

// ---- events ------------------------------------------------------------------------------------------------

void DMSSessionReporter::logSessionStartEvent() {
    auto& log = DMSMeasurement::monitor();
    if (!DMSIsAppActive()) {
        log.logWithLevel(7, 33005, "Session start event not logged. Application is not active");
        return;
    }
    updatePropertiesForNewSessionStart();
    if (!isReportingEnabled()) {
        return;
    }
    DMSRemoteConfig& config = DMSMeasurement::remoteConfig();
    plat::Dictionary parameters;
    std::optional<plat::Value> sessionID;
    std::optional<plat::Value> sessionNumber;
    if (config.sessionIDEnabled()) {
        sessionID = plat::Value(static_cast<int64_t>(currentClockTime()));
        parameters.set("_sid", *sessionID);
    }
    if (config.sessionNumberEnabled() && persistedConfig_) {
        sessionNumber = plat::Value(persistedConfig_->sessionNumber());
        parameters.set("_sno", *sessionNumber);
    }
    setSessionID(sessionID, sessionNumber);
    DMSAnalytics::logInternalEventWithOrigin("auto", "_s", parameters);
}

void DMSSessionReporter::logUserEngagementEvent() {
    logUserEngagementEventWithScreen(nullptr);
}

void DMSSessionReporter::logUserEngagementEventWithScreen(const DMSScreen* screen) {
    if (!DMSIsAppActive()) {
        DMSMeasurement::monitor().logWithLevel(7, 33006, "User engagement event not logged. Application is not active");
        return;
    }
    if (isReportingEnabled()) {
        plat::Dictionary parameters;
        parameters.set("_et", plat::Value(static_cast<int64_t>(incurredEngagementTime() * 1000)));
        if (screen) {
            for (const auto& [key, value] : DMSScreenParametersForScreen(*screen)) {
                parameters.set(key, value);
            }
        }
        DMSAnalytics::logInternalEventWithOrigin("auto", "_e", parameters);
    }
    setEngagementStartUptime(currentUptime());
    if (persistedConfig_) {
        persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
    }
    rescheduleUserEngagementTimer();
}

// ---- the app and its screens -------------------------------------------------------------------------------

void DMSSessionReporter::handleAppDidBecomeActive() {
    setEngagementStartUptime(currentUptime());
    rescheduleUserEngagementTimer();
    if (!persistedConfig_) {
        return;
    }
    if (shouldStartNewSession()) {
        persistedConfig_->setStartNewSession(true);
        persistedConfig_->setEngagementTimeBeforeSessionStart(0);
    }
    if (persistedConfig_->startNewSession()) {
        setSessionID(std::nullopt, std::nullopt);
        if (DMSMeasurement::remoteConfig().sessionImmediateStartEnabled()) {
            logSessionStartEvent();
        } else {
            rescheduleSessionStartTimer();
        }
    }
}

void DMSSessionReporter::handleAppWillResignActiveWithScreen(const DMSScreen* screen) {
    // Taken before the engagement event restarts the period: the time of a pending session must not be lost.
    const double incurred = incurredEngagementTime();
    logUserEngagementEventWithScreen(screen);
    userEngagementTimer_->cancel();
    if (persistedConfig_ && persistedConfig_->startNewSession()) {
        sessionStartTimer_->cancel();
        persistedConfig_->setEngagementTimeBeforeSessionStart(persistedConfig_->engagementTimeBeforeSessionStart() +
                                                              incurred);
    }
}

void DMSSessionReporter::handleScreenDidChangeFromScreen(const DMSScreen* previous, const DMSScreen*) {
    if (previous && incurredEngagementTime() >= 1.0) {
        logUserEngagementEventWithScreen(previous);
    }
}
