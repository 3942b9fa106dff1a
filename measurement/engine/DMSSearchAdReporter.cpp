// Search-ad attribution: the retry schedule (86400 s after the last lookup, at most ten lookups), the three
// forms of the service's answer, its sample data retried, and the answer reported once.

#include "measurement/engine/DMSSearchAdReporter.hpp"

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "platform/device/SearchAdsClient.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <cmath>

namespace {

DMSMonitor& searchAdMonitor() {
    return DMSMeasurement::monitor();
}

std::optional<std::string> searchAdText(const plat::Dictionary& campaign, std::string_view key) {
    const plat::Value* value = campaign.find(key);
    if (!value) {
        return std::nullopt;
    }
    if (const std::string* text = value->ifString()) {
        return *text;
    }
    return value->isNumber() ? std::optional<std::string>(value->description()) : std::nullopt;
}

} // namespace

std::shared_ptr<DMSSearchAdReporter> DMSSearchAdReporter::initWithWorkerQueue(plat::DispatchQueuePtr workerQueue,
                                                                              DMSPersistedConfig* persistedConfig) {
    auto& log = searchAdMonitor();
    if (!workerQueue) {
        log.logWithLevel(1, 32000, "Cannot init Search Ad reporter. Queue must be provided");
        return nullptr;
    }
    if (!persistedConfig) {
        log.logWithLevel(1, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
        return nullptr;
    }
    if (persistedConfig->searchAdRetryCount() > kMaxRetries - 1) {
        return nullptr;
    }
    if (persistedConfig->searchAdCampaignValue()) {
        log.logWithLevel(7, 32002,
                         "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
        return nullptr;
    }
    return std::make_shared<DMSSearchAdReporter>(std::move(workerQueue), persistedConfig);
}

DMSSearchAdReporter::DMSSearchAdReporter(plat::DispatchQueuePtr workerQueue, DMSPersistedConfig* persistedConfig)
    : persistedConfig_(persistedConfig), alarm_(DMSAlarm::initWithDispatchQueue(std::move(workerQueue), kAlarmName)) {}

DMSSearchAdReporter::~DMSSearchAdReporter() {
    cancelScheduling();
}

bool DMSSearchAdReporter::isSearchAdReporterEnabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void DMSSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

std::shared_ptr<DMSAlarm> DMSSearchAdReporter::searchAdReporterAlarm() const {
    std::lock_guard lock(mutex_);
    return alarm_;
}

plat::rt::ObjectPtr DMSSearchAdReporter::adClientInstance() {
    static const plat::rt::ObjectPtr client = []() -> plat::rt::ObjectPtr {
        plat::rt::Class* cls = plat::rt::getClass("ADClient");
        if (!cls || !plat::rt::respondsTo(*cls, "sharedClient")) {
            return nullptr;
        }
        return plat::rt::msgSend<plat::rt::ObjectPtr>(*cls, "sharedClient");
    }();
    return client;
}

void DMSSearchAdReporter::start() {
    if (adClientInstance()) {
        scheduleSearchAdReport();
    } else {
        searchAdMonitor().logWithLevel(7, 32003,
                                       "iAd framework is not linked. Search Ad Attribution Reporter is disabled.");
    }
}

void DMSSearchAdReporter::scheduleSearchAdReport() {
    auto& log = searchAdMonitor();
    auto alarm = searchAdReporterAlarm();
    if (!alarm) {
        log.logWithLevel(4, 32013, "Search Ad Campaign attribution alarm is already canceled");
        return;
    }
    if (!isSearchAdReporterEnabled()) {
        alarm->cancel();
        return;
    }
    if (persistedConfig_->searchAdCampaignValue()) {
        log.logWithLevel(7, 32004,
                         "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
        cancelScheduling();
        return;
    }
    if (alarm->scheduledTimestamp()) {
        log.logWithLevel(4, 32005, "Search Ad Campaign attribution alarm is already scheduled");
        return;
    }
    if (persistedConfig_->searchAdRetryCount() >= kMaxRetries) {
        log.logWithLevel(5, 32007,
                         "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
        cancelScheduling();
        return;
    }
    log.logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
    const double sinceLast = std::fabs(plat::Clock::now() - persistedConfig_->lastSearchAdLookUpTimestamp());
    std::weak_ptr<DMSSearchAdReporter> weak = weak_from_this();
    alarm->runAfterDelay(86400 - sinceLast, [weak] {
        if (auto self = weak.lock()) {
            self->maybeLogIAdCampaignEvent();
        }
    });
}

void DMSSearchAdReporter::maybeLogIAdCampaignEvent() {
    if (!adClientInstance()) {
        return;
    }
    persistedConfig_->setLastSearchAdLookUpTimestamp(plat::Clock::now());
    lookUpAdConversionDetails();
    scheduleSearchAdReport();
}

void DMSSearchAdReporter::lookUpAdConversionDetails() {
    persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
    plat::rt::ObjectPtr client = adClientInstance();
    if (!client) {
        return;
    }
    std::weak_ptr<DMSSearchAdReporter> weak = weak_from_this();
    if (plat::rt::respondsTo(client, "requestAttributionDetailsWithBlock:")) {
        plat::ADAttributionDetailsHandler handler = [weak](const plat::Value& details, const plat::Error& error) {
            if (auto self = weak.lock()) {
                self->handleAttributionDetails(details, error);
            }
        };
        plat::rt::msgSend(client, "requestAttributionDetailsWithBlock:", handler);
    } else if (plat::rt::respondsTo(client, "lookupAdConversionDetails:")) {
        plat::ADConversionDetailsHandler handler = [weak](const plat::Value&, const plat::Value& impressionDate) {
            if (auto self = weak.lock()) {
                self->logCampaignEventWithSearchAdCampaign(!impressionDate.isNull(), std::nullopt, std::nullopt);
                self->cancelScheduling();
            }
        };
        plat::rt::msgSend(client, "lookupAdConversionDetails:", handler);
    } else if (plat::rt::respondsTo(client, "determineAppInstallationAttributionWithCompletionHandler:")) {
        plat::ADInstallationAttributionHandler handler = [weak](bool attributed) {
            if (auto self = weak.lock()) {
                self->logCampaignEventWithSearchAdCampaign(attributed, std::nullopt, std::nullopt);
                self->cancelScheduling();
            }
        };
        plat::rt::msgSend(client, "determineAppInstallationAttributionWithCompletionHandler:", handler);
    }
}

void DMSSearchAdReporter::handleAttributionDetails(const plat::Value& details, const plat::Error& error) {
    auto& log = searchAdMonitor();
    if (!error.domain.empty()) {
        log.logWithLevel(1, 32010, "Cannot send request for Search Ad campaign attribution. Error", error);
        scheduleSearchAdReport();
        return;
    }
    if (!details.isDictionary() || details.asDictionary().empty()) {
        log.logWithLevel(1, 32011, "Cannot get Search Ad campaign attribution. Search Ad details are empty");
        scheduleSearchAdReport();
        return;
    }
    const plat::Value& first = details.asDictionary().begin()->second;
    if (!first.isDictionary() || first.asDictionary().empty()) {
        scheduleSearchAdReport();
        return;
    }
    const plat::Dictionary& campaign = first.asDictionary();
    const plat::Value* attribution = campaign.find("iad-attribution");
    const bool attributed = attribution && attribution->boolValue();
    const auto name = searchAdText(campaign, "iad-campaign-name");
    const auto keyword = searchAdText(campaign, "iad-keyword");
    const auto campaignID = searchAdText(campaign, "iad-campaign-id");
    if (campaignID == "1234567890" && name == "CampaignName") {
        log.logWithLevel(2, 32012, "Search Ad Reporter returns dummy data. Will retry next time.");
        scheduleSearchAdReport();
        return;
    }
    logCampaignEventWithSearchAdCampaign(attributed, name, keyword);
    cancelScheduling();
}

void DMSSearchAdReporter::cancelScheduling() {
    std::shared_ptr<DMSAlarm> alarm;
    {
        std::lock_guard lock(mutex_);
        alarm = std::move(alarm_);
    }
    if (alarm) {
        alarm->cancel();
    }
}

void DMSSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attributed,
                                                               const std::optional<std::string>& campaign,
                                                               const std::optional<std::string>& term) {
    auto& log = searchAdMonitor();
    {
        std::lock_guard lock(campaignMutex_);
        if (persistedConfig_->searchAdCampaignValue()) {
            log.logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
            return;
        }
        persistedConfig_->setSearchAdCampaignValue(plat::Value(attributed));
    }
    if (!attributed) {
        return;
    }
    plat::Dictionary parameters;
    parameters.set("source", plat::Value("Apple"));
    parameters.set("medium", plat::Value("search"));
    if (campaign && !campaign->empty()) {
        parameters.set("campaign", plat::Value(*campaign));
    }
    if (term && !term->empty()) {
        parameters.set("term", plat::Value(*term));
    }
    const int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
    if (firstOpen >= 2) {
        parameters.set("click_timestamp", plat::Value(firstOpen - 1));
    } else {
        log.logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
    }
    DMSAnalytics::logInternalEventWithOrigin("auto", "_cmp", parameters);
}
