// Event sampling: about one in N occurrences of a sampled event is uploaded, marked with the rate it stands
// for; the first occurrence of a day is exempt, the parts of a complex event share their main event's fate,
// and the memory of each name lives in its aggregates so that it carries from bundle to bundle.

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/foundation/Random.hpp"

#include <cmath>
#include <cstdlib>
#include <map>

namespace {

const DMSEventParamFields* samplingParameter(const DMSEventFields& event, const std::string& name) {
    for (const auto& param : event.params) {
        if (param.name == name) {
            return &param;
        }
    }
    return nullptr;
}

// An existing parameter of that name wins: the event is left as it is.
void samplingAddIntParameter(DMSEventFields& event, const std::string& name, int64_t value) {
    if (samplingParameter(event, name)) {
        DMSMeasurement::monitor().logWithLevel(4, 23156, "Event parameter already exists. Parameter name",
                                               plat::Value(name));
        return;
    }
    DMSEventParamFields param;
    param.name = name;
    param.intValue = value;
    event.params.push_back(std::move(param));
}

int32_t samplingDayIndex(int64_t timestampMillis, int32_t offsetMinutes) {
    const int64_t seconds = timestampMillis / 1000;
    return static_cast<int32_t>((seconds + int64_t{offsetMinutes} * 60) / 86400);
}

} // namespace

bool DMSMeasurement::canEventBeSampled(const DMSEventFields& event) {
    auto& config = remoteConfig();
    const std::string name = event.name.value_or("");
    if (!config.isEventSamplingEnabled() || !config.eventHasSamplingRate(name)) {
        return false;
    }
    if (config.samplingRateForEvent(name) > 1) {
        return true;
    }
    monitor().logWithLevel(4, 23154, "Invalid sampling rate provided");
    return false;
}

bool DMSMeasurement::isEventBundledAfterRoll(int64_t rate) {
    if (rate <= 1) {
        return true;
    }
    return plat::Random::uniform(static_cast<uint32_t>(rate)) == 0;
}

std::optional<std::vector<DMSEventFields>> DMSMeasurement::sampleEvents(const std::vector<DMSEventFields>& events,
                                                                        plat::Error* error) {
    auto& log = monitor();
    auto& config = remoteConfig();
    plat::Error queryError;
    auto all = database_->allEventAggregates(&queryError);
    if (!all) {
        log.logWithLevel(1, 23157, "Unable to query all event aggregates for cache. error", queryError);
        if (error) {
            *error = queryError;
        }
        return std::nullopt;
    }
    std::map<std::string, DMSEventAggregates> working;
    for (DMSEventAggregates& aggregates : *all) {
        working.emplace(aggregates.name(), std::move(aggregates));
    }
    auto aggregatesOf = [&](const std::string& name) -> DMSEventAggregates* {
        auto found = working.find(name);
        return found == working.end() ? nullptr : &found->second;
    };
    const bool calendarDays = config.isTimeZoneOffsetEnabled();
    const int32_t offsetMinutes = config.analyticsAccountTimeZoneOffsetMinutes();

    std::vector<DMSEventFields> kept;
    for (DMSEventFields event : events) {
        if (!event.name || event.name->empty()) {
            log.logWithLevel(1, 23155, "Dropping event at sampling. Event has no name");
            continue;
        }
        const DMSEventParamFields* eidParam = samplingParameter(event, "_eid");
        const DMSEventParamFields* enParam = samplingParameter(event, "_en");
        const std::optional<int64_t> eid = eidParam ? eidParam->intValue : std::nullopt;
        const std::optional<std::string> mainName = enParam ? enParam->stringValue : std::nullopt;

        if (*event.name == "_ep") {
            if (!eid || !mainName) {
                plat::Dictionary parameters;
                for (const auto& param : event.params) {
                    parameters.set(param.name.value_or(""), param.stringValue ? plat::Value(*param.stringValue)
                                                            : param.intValue  ? plat::Value(*param.intValue)
                                                                              : plat::Value(param.doubleValue.value_or(0)));
                }
                log.logWithLevel(1, 23160, "Missing parameter(s) from an extra param event. Event name, parameters",
                                 plat::Value(*event.name), plat::Value(parameters));
                continue;
            }
            DMSEventAggregates* main = aggregatesOf(*mainName);
            if (main && main->lastSampledComplexEventID() == eid) {
                continue;
            }
            if (main && main->lastSamplingRate() > 1) {
                samplingAddIntParameter(event, "_sr", main->lastSamplingRate());
            }
            if (main && main->lastExemptFromSampling()) {
                samplingAddIntParameter(event, "_efs", 1);
            }
            kept.push_back(std::move(event));
            continue;
        }

        DMSEventAggregates* aggregates = aggregatesOf(*event.name);
        if (aggregates && (!eid || eid != aggregates->lastSampledComplexEventID())) {
            aggregates->setLastSampledComplexEventID(std::nullopt);
            aggregates->setLastSamplingRate(1);
            aggregates->setLastExemptFromSampling(false);
        }
        const int64_t millis = event.timestampMillis.value_or(0);
        const double seconds = static_cast<double>(millis) / 1000.0;
        const int32_t day = samplingDayIndex(millis, offsetMinutes);
        auto markBundled = [&] {
            if (aggregates) {
                aggregates->setLastBundledTimestamp(seconds);
                aggregates->setLastBundledDay(day);
            }
        };
        if (!canEventBeSampled(event)) {
            markBundled();
            kept.push_back(std::move(event));
            continue;
        }
        const int64_t rate = config.samplingRateForEvent(*event.name);
        const int32_t storedRate = static_cast<int32_t>(rate);
        if (isEventBundledAfterRoll(rate)) {
            if (aggregates) {
                aggregates->setLastSamplingRate(storedRate);
                aggregates->setLastSampledComplexEventID(std::nullopt);
            }
            markBundled();
            samplingAddIntParameter(event, "_sr", rate);
            kept.push_back(std::move(event));
            continue;
        }
        bool firstOfDay = false;
        if (calendarDays) {
            int32_t lastDay = aggregates ? aggregates->lastBundledDay() : 0;
            if (lastDay == 0 && event.previousTimestampMillis) {
                lastDay = samplingDayIndex(*event.previousTimestampMillis, offsetMinutes);
            }
            firstOfDay = lastDay != day;
        } else {
            const double last = aggregates ? aggregates->lastBundledTimestamp() : 0;
            firstOfDay = std::fabs(last - seconds) >= 86400;
        }
        if (firstOfDay) {
            markBundled();
            samplingAddIntParameter(event, "_sr", rate);
            samplingAddIntParameter(event, "_efs", 1);
            if (aggregates) {
                aggregates->setLastExemptFromSampling(true);
                aggregates->setLastSamplingRate(storedRate);
            }
            kept.push_back(std::move(event));
            continue;
        }
        if (aggregates) {
            if (eid) {
                aggregates->setLastSampledComplexEventID(eid);
            }
            aggregates->setLastSamplingRate(storedRate);
        }
    }

    for (const auto& [name, memory] : working) {
        plat::Error readError;
        auto stored = database_->eventAggregatesWithName(name, &readError);
        if (!stored) {
            if (readError.domain.empty()) {
                continue;
            }
            log.logWithLevel(1, 23151, "Unable to query event aggregates to update database. Name, error",
                             plat::Value(name), readError);
            if (error) {
                *error = readError;
            }
            return std::nullopt;
        }
        if (memory.lastBundledTimestamp() != 0) {
            stored->setLastBundledTimestamp(memory.lastBundledTimestamp());
        }
        stored->setLastSamplingRate(memory.lastSamplingRate());
        stored->setLastSampledComplexEventID(memory.lastSampledComplexEventID());
        stored->setLastExemptFromSampling(memory.lastExemptFromSampling());
        stored->setLastBundledDay(memory.lastBundledDay());
        if (!database_->updateEventAggregates(&*stored, &readError)) {
            log.logWithLevel(1, 23152,
                             "Failed to update event aggregates after removing removing events due to sampling. Error",
                             readError);
            if (error) {
                *error = readError;
            }
            return std::nullopt;
        }
    }
    return kept;
}
