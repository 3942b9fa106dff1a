// Events the controller generates itself: the first open of an install ("_f" with an "_e"), app and OS
// updates, and campaign events from deep links; with them the first-install and first-open properties.

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/engine/DMSScreenViewReporter.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/uikit/NSUserActivity.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

constexpr const char* kAutoDeepLinkKey = "/razoza/measurement/deep_link";
constexpr const char* kAutoDeepLinkTimeKey = "/razoza/measurement/deep_link_timestamp_seconds";

// URL query key, event parameter.
const std::pair<const char*, const char*> kAutoCampaignMap[] = {
    {"aclid", "aclid"}, {"anid", "anid"},     {"utm_campaign", "campaign"}, {"utm_content", "content"},
    {"cp1", "cp1"},     {"gclid", "gclid"},   {"utm_medium", "medium"},     {"utm_source", "source"},
    {"utm_term", "term"},
};

int64_t autoKeychainCount(const std::optional<std::string>& text) {
    if (!text || text->empty()) {
        return 0;
    }
    char* end = nullptr;
    const long long value = std::strtoll(text->c_str(), &end, 10);
    return end == text->c_str() || value < 0 ? 0 : value;
}

std::string autoMainBundleIdentifier() {
    auto bundle = plat::Bundle::main();
    return bundle ? bundle->bundleIdentifier().value_or("") : std::string();
}

std::string autoQueryValue(const plat::Dictionary& query, const char* key) {
    const plat::Value* value = query.find(key);
    return value && value->isString() ? value->asString() : std::string();
}

} // namespace

int64_t DMSMeasurement::timestampMillisRoundedUpToNextHour(int64_t millis) {
    return millis / 3600000 * 3600000 + 3600000;
}

int DMSMeasurement::systemMajorVersion() { return std::atoi(DMSAEU::systemVersion().c_str()); }

bool DMSMeasurement::isAppUpdateWithAnalytics() {
    // An install whose persisted app version predates the first open was running before measurement came.
    return persistedConfig_ && persistedConfig_->firstOpenTimestampMilliseconds() == 0 &&
           persistedConfig_->appVersion().has_value() && !persistedConfig_->appVersion()->empty() &&
           identity_.load() && identity_.load()->appVersion() != persistedConfig_->appVersion();
}

void DMSMeasurement::reportFirstOpenOnWorkerQueue() {
    auto& log = monitor();
    if (!database_ || !persistedConfig_) {
        return;
    }
    plat::Error error;
    auto hadFirstOpen = database_->containsUserAttributeWithName("_fot", &error);
    if (!hadFirstOpen) {
        log.logWithLevel(1, 23019, "Failed to query first open property. Error", error);
        return;
    }
    const bool update = isAppUpdateWithAnalytics();
    const int64_t storedMillis = persistedConfig_->firstOpenTimestampMilliseconds();
    const double initTime = initTimestamp();
    const double setTime = storedMillis != 0 ? static_cast<double>(storedMillis) / 1000.0 : initTime;
    if (auto fi = DMSUserAttribute::initWithOrigin("auto", "_fi", DMSValue::initWithInt64(update ? 0 : 1), setTime)) {
        setUserAttributeOnWorkerQueue(*fi);
    }
    auto hasFi = database_->containsUserAttributeWithName("_fi", &error);
    if (!hasFi) {
        log.logWithLevel(1, 23161, "Failed to query first open after install property  after setting it. Error", error);
        return;
    }
    if (!*hasFi) {
        log.logWithLevel(1, 23162, "Failed to set first open after install property");
        return;
    }
    const std::string bundleID = autoMainBundleIdentifier();
    const int64_t keychainCount = autoKeychainCount(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID));
    if (*hadFirstOpen) {
        if (keychainCount < 1) {
            DMSKeychainWrapper::upsertKeychainValue("1", "_pfo", bundleID);
        }
        persistedConfig_->setDeferredAnalyticsCollection(std::nullopt);
        persistedConfig_->setLoadTimestampValue(std::nullopt);
        if (remoteConfig().sessionImmediateStartEnabled()) {
            reportSessionStartOnWorkerQueueWithTimestamp(plat::Clock::now());
        }
        return;
    }
    const int64_t millis = DMSMillisecondsFromSeconds(initTime);
    if (auto fot = DMSUserAttribute::initWithOrigin(
            "auto", "_fot", DMSValue::initWithInt64(timestampMillisRoundedUpToNextHour(millis)), initTime)) {
        setUserAttributeOnWorkerQueue(*fot);
    }
    auto hasFot = database_->containsUserAttributeWithName("_fot", &error);
    if (!hasFot) {
        log.logWithLevel(1, 23020, "Failed to query first open property after setting it. Error", error);
        return;
    }
    // The first session starts with the install, ahead of the first-open events.
    if (remoteConfig().sessionImmediateStartEnabled()) {
        reportSessionStartOnWorkerQueueWithTimestamp(initTime);
    }
    if (!*hasFot) {
        log.logWithLevel(1, 23021, "Failed to set first open property");
        return;
    }
    plat::Dictionary parameters;
    if (previousRMPAppID_ && !previousRMPAppID_->empty()) {
        parameters.set("_prmp", plat::Value(*previousRMPAppID_));
    }
    parameters.set("_pfo", plat::Value(std::max<int64_t>(keychainCount, 0)));
    parameters.set("_uwa", plat::Value(int64_t{update ? 1 : 0}));
    auto deferred = persistedConfig_->deferredAnalyticsCollection();
    if (deferred && deferred->isNumber() && deferred->integerValue() != 0) {
        parameters.set("_dac", plat::Value(int64_t{1}));
    }
    const plat::Dictionary screen = DMSScreenViewReporter::sharedInstance().screenParameters();
    if (auto first = DMSEvent::initWithOrigin("auto", false, "_f", initTime, 0, parameters)) {
        first->addScreenParameters(screen);
        handleEventOnWorkerQueue(*first);
        persistedConfig_->setDeferredAnalyticsCollection(std::nullopt);
        persistedConfig_->setLoadTimestampValue(std::nullopt);
        DMSAnalytics::notifyEventListeners(*first);
    }
    if (auto engagement =
            DMSEvent::initWithOrigin("auto", false, "_e", initTime, 0, plat::Dictionary{{"_et", plat::Value(int64_t{1})}})) {
        engagement->addScreenParameters(screen);
        handleEventOnWorkerQueue(*engagement);
        DMSAnalytics::notifyEventListeners(*engagement);
    }
    persistedConfig_->setFirstOpenTimestampMilliseconds(millis);
    reportStoredCampaignEventOnWorkerQueue(millis - 1);
}

void DMSMeasurement::reportAppUpdateOnWorkerQueue() {
    DMSIdentity* identity = identity_.load();
    if (!identity || !persistedConfig_) {
        return;
    }
    const std::string current = identity->appVersion().value_or("");
    const std::string previous = persistedConfig_->appVersion().value_or("");
    if (current == previous) {
        return;
    }
    persistedConfig_->setAppVersion(current);
    if (!previous.empty()) {
        DMSAnalytics::logInternalEventWithOrigin("auto", "_au", plat::Dictionary{{"_pv", plat::Value(previous)}});
    }
}

void DMSMeasurement::reportOSUpdateOnWorkerQueue() {
    if (!persistedConfig_) {
        return;
    }
    const std::string current = DMSEnvironmentInfo::sharedInstance().deviceOSVersion();
    const std::string previous = persistedConfig_->osVersion().value_or("");
    if (current == previous) {
        return;
    }
    persistedConfig_->setOSVersion(current);
    if (!previous.empty()) {
        DMSAnalytics::logInternalEventWithOrigin("auto", "_ou", plat::Dictionary{{"_po", plat::Value(previous)}});
    }
}

void DMSMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampMillis) {
    auto& defaults = DMSUserDefaults::standardUserDefaults();
    auto link = defaults.stringForKey(plat::Value(kAutoDeepLinkKey));
    const double seconds = defaults.doubleForKey(plat::Value(kAutoDeepLinkTimeKey));
    if (!link || link->empty()) {
        return;
    }
    defaults.removeObjectForKey(plat::Value(kAutoDeepLinkKey));
    defaults.removeObjectForKey(plat::Value(kAutoDeepLinkTimeKey));
    handleOpenURLOnWorkerQueue(*link, clickTimestampMillis, seconds);
}

void DMSMeasurement::handleOpenURL(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                                   double eventTimestampSeconds) {
    if (url.empty()) {
        return;
    }
    scheduleBlock(__LINE__, [this, url, clickTimestampMillis, eventTimestampSeconds] {
        handleOpenURLOnWorkerQueue(url, clickTimestampMillis, eventTimestampSeconds);
    });
}

void DMSMeasurement::handleNonFirstOpenEventURL(const std::string& url, double eventTimestampSeconds) {
    if (plat::DispatchQueue::currentLabel() == kWorkerQueueLabel) {
        monitor().logWithLevel(1, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
        return;
    }
    handleOpenURL(url, std::nullopt, eventTimestampSeconds);
}

void DMSMeasurement::handleOpenURLOnWorkerQueue(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                                                double eventTimestampSeconds) {
    auto& log = monitor();
    // The query is cut out of the text itself: a link with one bad escape is no URL to the parser, yet only
    // that piece of its query is lost.
    std::string_view rest(url);
    rest = rest.substr(0, rest.find('#'));
    const auto mark = rest.find('?');
    const plat::Dictionary query =
        dms_dictionaryWithHttpArgumentsString(mark == std::string_view::npos ? std::string_view() : rest.substr(mark + 1));
    if (query.empty()) {
        log.logWithLevel(7, 23000, "Deep Link Web URL query is empty");
        return;
    }
    bool campaign = false;
    for (const char* key : {"utm_campaign", "gclid", "utm_medium", "utm_source"}) {
        campaign = campaign || !autoQueryValue(query, key).empty();
    }
    if (!campaign) {
        log.logWithLevel(7, 23001, "Deep Link does not contain valid required params. URL params", plat::Value(query));
        return;
    }
    plat::Dictionary parameters;
    for (const auto& [key, parameter] : kAutoCampaignMap) {
        const std::string value = autoQueryValue(query, key);
        if (!value.empty()) {
            parameters.set(parameter, plat::Value(value));
        }
    }
    if (clickTimestampMillis) {
        parameters.set("click_timestamp", plat::Value(*clickTimestampMillis));
    }
    const double firstOpen =
        persistedConfig_ ? static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000.0 : 0;
    if (auto event = DMSEvent::initWithOrigin("auto", false, "_cmp", std::max(eventTimestampSeconds, firstOpen), 0,
                                              parameters)) {
        handleEventOnWorkerQueue(*event);
        DMSAnalytics::notifyEventListeners(*event);
    }
}

std::optional<std::string> DMSMeasurement::deepLinkFromUserActivity(const plat::rt::ObjectPtr& activity) {
    auto& log = monitor();
    if (!activity) {
        log.logWithLevel(7, 23003, "User Activity is empty. User Activity", plat::Value());
        return std::nullopt;
    }
    if (systemMajorVersion() <= 8) {
        log.logWithLevel(7, 23004, "Deep Link is only supported on iOS 9 and above");
        return std::nullopt;
    }
    auto userActivity = std::dynamic_pointer_cast<plat::NSUserActivity>(activity);
    if (!userActivity) {
        log.logWithLevel(7, 23005, "NSUserActivity is not supported");
        return std::nullopt;
    }
    if (userActivity->activityType() == plat::NSUserActivityTypeBrowsingWeb && !userActivity->webpageURL().empty()) {
        return userActivity->webpageURL();
    }
    log.logWithLevel(7, 23006, "User Activity does not have Deep Link. User Activity",
                     plat::Value(userActivity->activityType()));
    return std::nullopt;
}
