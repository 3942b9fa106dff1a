#pragma once
// Search-ad attribution: once per installation, asks the platform's search-ads service (the class "ADClient",
// when it exists) whether the install came from a search ad, at most ten times about a day apart, and logs
// "_cmp" once for an attributed install. The answer is kept in the persisted configuration.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/runtime/Object.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class DMSAlarm;
class DMSPersistedConfig;

class DMSSearchAdReporter : public std::enable_shared_from_this<DMSSearchAdReporter> {
public:
    static constexpr const char* kAlarmName = "Search Ad campaign report alarm";
    static constexpr int64_t kMaxRetries = 10;

    // None without a queue (32000) or a persisted config (32001), after ten lookups, or once the attribution
    // was answered (32002).
    static std::shared_ptr<DMSSearchAdReporter> initWithWorkerQueue(plat::DispatchQueuePtr workerQueue,
                                                                    DMSPersistedConfig* persistedConfig);
    ~DMSSearchAdReporter();
    DMSSearchAdReporter(const DMSSearchAdReporter&) = delete;
    DMSSearchAdReporter& operator=(const DMSSearchAdReporter&) = delete;

    void start();
    void scheduleSearchAdReport();
    void maybeLogIAdCampaignEvent();
    void lookUpAdConversionDetails();
    void cancelScheduling();
    void logCampaignEventWithSearchAdCampaign(bool attributed, const std::optional<std::string>& campaign,
                                              const std::optional<std::string>& term);
    // The service's shared client, looked up once; none when the class is absent.
    static plat::rt::ObjectPtr adClientInstance();

    bool isSearchAdReporterEnabled() const;
    void setSearchAdReporterEnabled(bool enabled);
    std::shared_ptr<DMSAlarm> searchAdReporterAlarm() const;

    DMSSearchAdReporter(plat::DispatchQueuePtr workerQueue, DMSPersistedConfig* persistedConfig);

private:
    void handleAttributionDetails(const plat::Value& details, const plat::Error& error);

    DMSPersistedConfig* persistedConfig_;
    mutable std::mutex mutex_;
    std::shared_ptr<DMSAlarm> alarm_;
    bool enabled_ = false;
    // Tests and sets the persisted answer, so that two answers log at most one event.
    std::mutex campaignMutex_;
};
