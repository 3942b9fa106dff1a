#include "measurement/audiences/DMSAudience.hpp"

#include "measurement/audiences/DMSAudienceConditions.hpp"
#include "measurement/audiences/DMSAudienceResultData.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSValue.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>

namespace {

DMSMonitor& audienceMonitor() {
    return DMSMeasurement::monitor();
}

// What differs between evaluating event filters and property filters: texts, codes and message fields.
struct AudienceEvaluationKind {
    int64_t loadFailureCode;
    const char* loadFailure;
    int64_t staticDecodeCode;
    const char* staticDecode;
    int64_t dynamicDecodeCode;
    const char* dynamicDecode;
    int64_t saveFailureCode;
    const char* saveFailure;
    int32_t dynamicField;
    int32_t sequenceField;
    // An event filter that was once true stays true; a property filter follows the property's latest value.
    bool onceTrueStaysTrue;
};

const AudienceEvaluationKind kAudienceEventKind{
    6001, "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
    6002, "Event filter contains no data. Event will not be evaluated. Event name, filter ID, audience ID",
    6035,
    "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, audience ID, "
    "dynamic",
    6003, "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error",
    DMSPBEventFilter::kDynamicFilter, DMSPBEventFilter::kSequenceFilter, true};

const AudienceEvaluationKind kAudiencePropertyKind{
    6005, "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
    6006,
    "User property filter contains no data. User property will not be evaluated. User property name, filter ID, "
    "audience ID",
    6036,
    "User property filter contains no data or corrupt data. User property will not be evaluated. User property "
    "name, filter ID, audience ID, dynamic",
    6007, "Unable to save updated Audience filter results. User property will not be evaluated. User property name, "
          "error",
    DMSPBPropertyFilter::kDynamicFilter, DMSPBPropertyFilter::kSequenceFilter, false};

using AudienceEvaluate = std::function<std::optional<bool>(const DMSAudienceCachedFilter&)>;
using AudienceAtomically = std::function<bool(const std::function<bool()>&)>;
using AudienceLoadResults = std::function<std::shared_ptr<const DMSAudienceStoredResults>(plat::Error*)>;

// One audience's record during one evaluation: decoded once when the audience is first met, changed in place
// filter by filter, encoded once at the end.
struct AudienceWorkingResult {
    std::optional<DMSFilterResult> stored;
    // The stored record's bit lists, when it has both; a record without them counts as having no results.
    std::optional<DMSAudienceResultData> data;
    std::map<int32_t, double> dynamicTimestamps;
    bool updated = false;
    // The stored record as decoded (none when it does not decode).
    std::shared_ptr<const DMSAudienceDecodedResult> cached;
};

// Whether the record of the working state would encode to the stored bytes, told without encoding it: the
// same padded bit lists and the same dynamic times in whole seconds, no sequence times, and stored bytes that
// are themselves what the encoder writes for their content.
bool audienceWorkingResultUnchanged(const AudienceWorkingResult& working, bool dynamicFilters) {
    if (!working.cached || !working.cached->reencodes || !working.data) {
        return false;
    }
    const DMSAudienceResultData& stored = working.cached->data;
    std::vector<uint64_t> status = working.data->status, results = working.data->results;
    const size_t words = std::max({status.size(), results.size(), size_t{1}});
    status.resize(words, 0);
    results.resize(words, 0);
    if (status != stored.status || results != stored.results) {
        return false;
    }
    if (!dynamicFilters) {
        return stored.dynamicTimestamps.empty();
    }
    if (working.dynamicTimestamps.size() != stored.dynamicTimestamps.size()) {
        return false;
    }
    for (const auto& [filterID, time] : working.dynamicTimestamps) {
        auto other = stored.dynamicTimestamps.find(filterID);
        if (other == stored.dynamicTimestamps.end() || std::trunc(time) != other->second) {
            return false;
        }
    }
    return true;
}

// Whether the filter is known true, as `isFilterResult:trueForFilterID:` would answer for the record as it
// stands now (a malformed stored record is announced each time it is asked about, until it is rewritten).
bool audienceWorkingFilterResult(const AudienceWorkingResult& working, int32_t filterID) {
    if (working.updated || working.data) {
        return working.data && DMSAudienceResultData::bit(working.data->status, filterID) &&
               DMSAudienceResultData::bit(working.data->results, filterID);
    }
    return DMSAudience::isFilterResult(working.stored, filterID);
}

// The evaluation proper, shared by events and properties. Saves nothing unless every step succeeded.
bool audienceEvaluateFilters(DMSDatabase& database, const DMSAudienceCachedFilters& filters,
                             const AudienceEvaluationKind& kind, const std::string& readableName, double timestamp,
                             DMSSequenceTimestampsCacheMap* caches, const AudienceLoadResults& loadResults,
                             const AudienceEvaluate& evaluate, const AudienceAtomically& atomically,
                             DMSAudienceDecodedResults& decodedResults) {
    auto& monitor = audienceMonitor();
    const bool dynamicFilters = DMSMeasurement::remoteConfig().isAudienceDynamicFiltersEnabled();
    std::map<int32_t, AudienceWorkingResult> working;
    // Every stored record in one query; a record missing from it (none stored, or one that does not convert)
    // is asked for alone, which tells the two apart.
    std::shared_ptr<const DMSAudienceStoredResults> storedResults;
    for (const DMSAudienceCachedFilter& filter : filters) {
        auto found = working.find(filter.audienceID);
        if (found == working.end()) {
            plat::Error error;
            if (!storedResults) {
                storedResults = loadResults(&error);
                if (!storedResults) {
                    monitor.logWithLevel(1, kind.loadFailureCode, kind.loadFailure, readableName, error);
                    return false;
                }
            }
            std::optional<DMSFilterResult> current;
            if (auto stored = storedResults->find(filter.audienceID); stored != storedResults->end()) {
                current = stored->second;
            } else {
                current = database.filterResultForAudienceID(filter.audienceID, &error);
                if (!current && !error.domain.empty()) {
                    monitor.logWithLevel(1, kind.loadFailureCode, kind.loadFailure, readableName, error);
                    return false;
                }
            }
            AudienceWorkingResult entry;
            auto cached = current ? decodedResults.decoded(filter.audienceID, current->currentResults()) : nullptr;
            auto decoded = cached ? std::optional<DMSAudienceResultData>(cached->data) : std::nullopt;
            entry.cached = cached;
            if (decoded && dynamicFilters) {
                entry.dynamicTimestamps = decoded->dynamicTimestamps;
            }
            if (decoded && !decoded->status.empty() && !decoded->results.empty()) {
                entry.data = std::move(decoded);
            }
            entry.stored = std::move(current);
            found = working.emplace(filter.audienceID, std::move(entry)).first;
        }
        AudienceWorkingResult& result = found->second;
        const bool wasTrue = audienceWorkingFilterResult(result, filter.filterID);
        std::optional<bool> outcome;
        if (dynamicFilters) {
            const bool isDynamic = filter.isDynamic;
            const bool isSequence = filter.isSequence;
            if (wasTrue && !isDynamic && !isSequence) {
                continue;
            }
            if (!filter.message) {
                monitor.logWithLevel(1, kind.dynamicDecodeCode, kind.dynamicDecode, readableName,
                                     int64_t{filter.filterID}, int64_t{filter.audienceID}, isDynamic);
                continue;
            }
            outcome = evaluate(filter);
            if (!outcome) {
                continue;
            }
            if (*outcome && isSequence) {
                auto cache = caches->find(filter.audienceID);
                if (cache == caches->end()) {
                    cache = caches->emplace(filter.audienceID, *DMSSequenceTimestampsCache::initWithAudienceID(
                                                                   filter.audienceID))
                                .first;
                }
                cache->second.addTimestamp(timestamp, filter.filterID);
            } else if (*outcome && isDynamic) {
                auto& times = result.dynamicTimestamps;
                auto stored = times.find(filter.filterID);
                if (timestamp > (stored == times.end() ? 0.0 : stored->second)) {
                    times[filter.filterID] = timestamp;
                } else {
                    monitor.logWithLevel(5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
                }
            } else if (!*outcome && wasTrue && kind.onceTrueStaysTrue) {
                outcome = true;
            }
        } else {
            if (wasTrue) {
                continue;
            }
            if (!filter.message) {
                monitor.logWithLevel(1, kind.staticDecodeCode, kind.staticDecode, readableName,
                                     int64_t{filter.filterID}, int64_t{filter.audienceID});
                continue;
            }
            outcome = evaluate(filter);
            if (!outcome) {
                continue;
            }
        }
        if (!result.data) {
            result.data.emplace();
        }
        DMSAudienceResultData::setBit(result.data->status, filter.filterID, true);
        DMSAudienceResultData::setBit(result.data->results, filter.filterID, *outcome);
        result.updated = true;
    }
    // A record that encodes exactly as the stored one would be rewritten with the same bytes: left out.
    std::vector<DMSFilterResult> results;
    for (auto& [audienceID, result] : working) {
        if (!result.updated) {
            continue;
        }
        std::optional<plat::Array> dynamic, sequence;
        if (dynamicFilters) {
            dynamic = DMSAudienceResultData::dynamicTimestampMessages(result.dynamicTimestamps);
            if (caches) {
                if (auto cache = caches->find(audienceID); cache != caches->end()) {
                    sequence = cache->second.sequenceFilterResultTimestamps();
                }
            }
        }
        if (!(sequence && !sequence->empty()) && audienceWorkingResultUnchanged(result, dynamicFilters)) {
            continue;
        }
        DMSFilterResult record = DMSAudience::filterResultWithWords(audienceID, result.stored, result.data->status,
                                                                    result.data->results, dynamic, sequence);
        if (!result.stored || result.stored->currentResults() != record.currentResults()) {
            results.push_back(std::move(record));
        }
    }
    if (results.empty()) {
        return true;
    }
    plat::Error error;
    if (!atomically([&] { return database.updateFilterResults(results, &error); })) {
        monitor.logWithLevel(1, kind.saveFailureCode, kind.saveFailure, readableName, error);
        return false;
    }
    return true;
}

std::optional<int64_t> audienceIntegerParameter(const DMSParameters& parameters, std::string_view name) {
    const DMSValue* value = parameters.find(name);
    if (!value) {
        return std::nullopt;
    }
    if (value->isInt64()) {
        return value->int64Value();
    }
    if (value->isDouble()) {
        return static_cast<int64_t>(value->doubleValue());
    }
    return std::nullopt;
}

} // namespace

// ---- sequence timestamps -------------------------------------------------------------------------------------

std::optional<DMSSequenceTimestampsCache> DMSSequenceTimestampsCache::initWithAudienceID(
    std::optional<int32_t> audienceID) {
    if (!audienceID) {
        return std::nullopt;
    }
    return DMSSequenceTimestampsCache(*audienceID);
}

void DMSSequenceTimestampsCache::addTimestamp(double timestamp, std::optional<int32_t> filterID) {
    if (filterID) {
        timestamps_[*filterID].push_back(timestamp);
    }
}

std::optional<std::vector<double>> DMSSequenceTimestampsCache::sequenceTimestampsForFilterID(int32_t filterID) const {
    auto it = timestamps_.find(filterID);
    if (it == timestamps_.end()) {
        return std::nullopt;
    }
    return it->second;
}

plat::Array DMSSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
    plat::Array messages;
    for (const auto& [filterID, times] : timestamps_) {
        auto message = DMSPBSequenceFilterResultTimestamp::init();
        NANOSetInt32(message, DMSPBSequenceFilterResultTimestamp::kFilterID, filterID);
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        plat::Array seconds;
        for (double time : sorted) {
            seconds.push_back(plat::Value(static_cast<int64_t>(std::trunc(time))));
        }
        if (!seconds.empty()) {
            NANOSetArray(message, DMSPBSequenceFilterResultTimestamp::kEvalTimestamps, seconds);
        }
        messages.push_back(plat::Value(plat::rt::ObjectPtr(message)));
    }
    return messages;
}

// ---- the evaluator -------------------------------------------------------------------------------------------

std::unique_ptr<DMSAudience> DMSAudience::initWithDatabase(DMSDatabase* database) {
    if (!database) {
        return nullptr;
    }
    return std::make_unique<DMSAudience>(database);
}

std::shared_ptr<const DMSAudienceDecodedResult> DMSAudienceDecodedResults::decoded(int32_t audienceID,
                                                                                   const plat::Data& bytes) {
    constexpr size_t kAudienceDecodedResultCacheSize = 256;
    if (auto found = entries_.find(audienceID); found != entries_.end() && found->second->bytes == bytes) {
        return found->second;
    }
    auto data = DMSAudienceResultData::decode(bytes);
    if (!data) {
        return nullptr;
    }
    auto entry = std::make_shared<DMSAudienceDecodedResult>();
    entry->bytes = bytes;
    entry->reencodes = DMSAudienceResultData::encode(data->status, data->results,
                                                     DMSAudienceResultData::dynamicTimestampMessages(data->dynamicTimestamps),
                                                     std::nullopt) == bytes;
    entry->data = std::move(*data);
    if (entries_.size() >= kAudienceDecodedResultCacheSize) {
        entries_.clear();
    }
    entries_.insert_or_assign(audienceID, entry);
    return entry;
}

std::shared_ptr<NANOMessage> DMSAudience::decodedFilter(const plat::Data& data, bool eventFilter) {
    constexpr size_t kAudienceDecodedFilterCacheSize = 1024;
    auto& cache = eventFilter ? decodedEventFilters_ : decodedPropertyFilters_;
    {
        std::lock_guard lock(decodedMutex_);
        if (auto found = cache.find(data); found != cache.end()) {
            return found->second;
        }
    }
    std::shared_ptr<NANOMessage> message =
        eventFilter ? std::static_pointer_cast<NANOMessage>(DMSPBEventFilter::initWithBuffer(data))
                    : std::static_pointer_cast<NANOMessage>(DMSPBPropertyFilter::initWithBuffer(data));
    if (!message) {
        return nullptr;
    }
    std::lock_guard lock(decodedMutex_);
    if (cache.size() >= kAudienceDecodedFilterCacheSize) {
        cache.clear();
    }
    cache.emplace(data, message);
    return message;
}

namespace {

// The store's change generation of a table; 0 (nothing kept) without a store.
uint64_t audienceTableGeneration(DMSDatabase* database, std::string_view table) {
    DMSSqliteStore* store = database ? database->sqliteStore() : nullptr;
    return store ? store->changeGenerationOfTable(table) : 0;
}

template <class Filter>
std::shared_ptr<const DMSAudienceCachedFilters> audienceCachedFiltersFromRows(
    const std::vector<Filter>& rows, const std::function<std::shared_ptr<NANOMessage>(const plat::Data&)>& decode,
    int32_t dynamicField, int32_t sequenceField, bool prepare) {
    auto filters = std::make_shared<DMSAudienceCachedFilters>();
    filters->reserve(rows.size());
    for (const Filter& row : rows) {
        DMSAudienceCachedFilter filter;
        filter.audienceID = row.audienceID();
        filter.filterID = row.filterID();
        filter.message = row.data().empty() ? nullptr : decode(row.data());
        if (filter.message) {
            filter.isDynamic = NANOHasField(filter.message, dynamicField) && NANOGetBool(filter.message, dynamicField);
            filter.isSequence =
                NANOHasField(filter.message, sequenceField) && NANOGetBool(filter.message, sequenceField);
            if (prepare) {
                filter.prepared = DMSPrepareEventFilter(filter.message);
            }
        }
        filters->push_back(std::move(filter));
    }
    return filters;
}

} // namespace

std::optional<std::shared_ptr<const DMSAudienceCachedFilters>> DMSAudience::cachedFilters(std::string_view name,
                                                                                         bool eventFilters,
                                                                                         plat::Error* error) {
    constexpr size_t kAudienceCachedNamesLimit = 1024;
    FilterCache& cache = eventFilters ? eventFilterCache_ : propertyFilterCache_;
    const uint64_t generation = audienceTableGeneration(database_, eventFilters ? "event_filters" : "property_filters");
    {
        std::lock_guard lock(cacheMutex_);
        if (generation != 0 && cache.generation == generation) {
            if (auto found = cache.byName.find(name); found != cache.byName.end()) {
                return found->second;
            }
        }
    }
    std::shared_ptr<const DMSAudienceCachedFilters> filters;
    auto decode = [&](const plat::Data& data) { return decodedFilter(data, eventFilters); };
    if (eventFilters) {
        auto rows = database_->eventFiltersForEventName(name, error);
        if (!rows) {
            return std::nullopt;
        }
        filters = audienceCachedFiltersFromRows(*rows, decode, DMSPBEventFilter::kDynamicFilter,
                                                DMSPBEventFilter::kSequenceFilter, true);
    } else {
        auto rows = database_->propertyFiltersForPropertyName(name, error);
        if (!rows) {
            return std::nullopt;
        }
        filters = audienceCachedFiltersFromRows(*rows, decode, DMSPBPropertyFilter::kDynamicFilter,
                                                DMSPBPropertyFilter::kSequenceFilter, false);
    }
    std::lock_guard lock(cacheMutex_);
    if (cache.generation != generation || cache.byName.size() >= kAudienceCachedNamesLimit) {
        cache.byName.clear();
        cache.generation = generation;
    }
    if (generation != 0) {
        cache.byName.insert_or_assign(std::string(name), filters);
    }
    return filters;
}

std::shared_ptr<const DMSAudienceStoredResults> DMSAudience::cachedFilterResults(plat::Error* error) {
    const uint64_t generation = audienceTableGeneration(database_, "audience_filter_values");
    {
        std::lock_guard lock(cacheMutex_);
        if (generation != 0 && resultsGeneration_ == generation && cachedResults_) {
            return cachedResults_;
        }
    }
    auto results = database_->allFilterResults(error);
    if (!results) {
        return nullptr;
    }
    auto shared = std::make_shared<const DMSAudienceStoredResults>(std::move(*results));
    std::lock_guard lock(cacheMutex_);
    resultsGeneration_ = generation;
    cachedResults_ = generation != 0 ? shared : nullptr;
    return shared;
}

bool DMSAudience::performAtomically(const std::function<bool()>& block) {
    DMSSqliteStore* store = database_->sqliteStore();
    if (store && store->sqliteHandle() && sqlite3_get_autocommit(store->sqliteHandle()) == 0) {
        return block();
    }
    return database_->performTransaction(block);
}

bool DMSAudience::evaluateFiltersForEvent(const DMSEvent& event, const DMSEventAggregates* eventAggregates,
                                          DMSSequenceTimestampsCacheMap& cachedSequenceEvaluationTimestamps) {
    auto eventID = audienceIntegerParameter(event.parameters(), "_eid");
    if (!eventID) {
        return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates, event.timestamp(),
                                           cachedSequenceEvaluationTimestamps);
    }
    // The caches change only when the whole call succeeds, like the database.
    DMSSequenceTimestampsCacheMap caches = cachedSequenceEvaluationTimestamps;
    bool ok = performAtomically(
        [&] { return evaluateComplexEvent(event, *eventID, eventAggregates, caches); });
    if (ok) {
        cachedSequenceEvaluationTimestamps = std::move(caches);
    }
    return ok;
}

bool DMSAudience::evaluateComplexEvent(const DMSEvent& event, int64_t eventID,
                                       const DMSEventAggregates* eventAggregates,
                                       DMSSequenceTimestampsCacheMap& caches) {
    auto& monitor = audienceMonitor();
    const plat::Value readableName(DMSReadableEventName(plat::Value(event.name())));
    plat::Error error;
    auto pair = database_->mainEventAndChildCountPairWithEventID(eventID, &error);
    if (!pair && !error.domain.empty()) {
        monitor.logWithLevel(1, 6026,
                             "Cannot query for the main event for complex event's audience evaluation. Event name, error",
                             readableName, error);
        return false;
    }
    if (event.name() != "_ep") {
        if (pair) {
            monitor.logWithLevel(4, 6033, "Found complex events that share the same event ID. Event name, event ID",
                                 readableName, eventID);
        }
        const int64_t children = audienceIntegerParameter(event.parameters(), "_epc").value_or(0);
        plat::Error storeError;
        if (!database_->updateComplexEventForAudienceEvaluationWithEventID(eventID, children, &event, &storeError)) {
            monitor.logWithLevel(1, 6024,
                                 "Cannot insert main event data for complex event's audience evaluation. Event name, "
                                 "error",
                                 readableName, storeError);
            return false;
        }
        return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates, event.timestamp(),
                                           caches);
    }
    const DMSValue* mainName = event.parameters().find("_en");
    const std::string* mainNameText = mainName ? mainName->ifString() : nullptr;
    if (!mainNameText || mainNameText->empty()) {
        monitor.logWithLevel(1, 6025, "Extra parameter event doesn't have the main event name.");
        return false;
    }
    if (!pair) {
        monitor.logWithLevel(4, 6031,
                             "Cannot evaluate the audience for an extra parameter event. Complex event's main event "
                             "pair doesn't exist in the database.");
        plat::Error deleteError;
        if (!database_->deleteComplexEventForAudienceEvaluationWithEventID(eventID, &deleteError)) {
            monitor.logWithLevel(1, 6032, "Cannot delete complex event's main event from the database. Event name, error",
                                 readableName, deleteError);
            return false;
        }
        return true;
    }
    DMSParameters merged = pair->mainEvent.parameters();
    for (const auto& [name, value] : event.parameters()) {
        merged.set(name, value);
    }
    plat::Error updateError;
    if (pair->childrenToProcess > 1) {
        if (!database_->updateComplexEventForAudienceEvaluationWithEventID(eventID, pair->childrenToProcess - 1,
                                                                           &pair->mainEvent, &updateError)) {
            monitor.logWithLevel(1, 6030,
                                 "Cannot update the remaining children to process of a complex event. Event name, error",
                                 readableName, updateError);
            return false;
        }
    } else if (!database_->deleteComplexEventForAudienceEvaluationWithEventID(eventID, &updateError)) {
        monitor.logWithLevel(1, 6029, "Cannot delete complex event's main event from the database. Event name, error",
                             readableName, updateError);
        return false;
    }
    plat::Error aggregatesError;
    auto aggregates = database_->eventAggregatesWithName(*mainNameText, &aggregatesError);
    if (!aggregates && !aggregatesError.domain.empty()) {
        monitor.logWithLevel(1, 6034, "Failed to query event aggregates. Name, error",
                             DMSReadableEventName(plat::Value(*mainNameText)), aggregatesError);
        return false;
    }
    return evaluateFiltersForEventName(*mainNameText, merged, aggregates ? &*aggregates : nullptr, event.timestamp(),
                                       caches);
}

bool DMSAudience::evaluateFiltersForEventName(const std::string& eventName, const DMSParameters& eventParameters,
                                              const DMSEventAggregates* eventAggregates, double eventTimestamp,
                                              DMSSequenceTimestampsCacheMap& cachedSequenceEvaluationTimestamps) {
    const std::string readableName = DMSReadableEventName(plat::Value(eventName));
    plat::Error error;
    auto filters = cachedFilters(eventName, true, &error);
    if (!filters) {
        if (error.domain.empty()) {
            return true;
        }
        audienceMonitor().logWithLevel(1, 6000,
                                       "Unable to query event filters for event. Event will not be evaluated. Event "
                                       "name, error",
                                       readableName, error);
        return false;
    }
    if ((*filters)->empty()) {
        return true;
    }
    DMSSequenceTimestampsCacheMap caches = cachedSequenceEvaluationTimestamps;
    bool ok = audienceEvaluateFilters(
        *database_, **filters, kAudienceEventKind, readableName, eventTimestamp, &caches,
        [this](plat::Error* loadError) { return cachedFilterResults(loadError); },
        [&](const DMSAudienceCachedFilter& filter) {
            return DMSEvaluatePreparedEventFilter(*filter.prepared, eventName, eventParameters, eventAggregates);
        },
        [this](const std::function<bool()>& block) { return performAtomically(block); }, decodedResults_);
    if (ok) {
        cachedSequenceEvaluationTimestamps = std::move(caches);
    }
    return ok;
}

bool DMSAudience::evaluateFiltersForUserProperty(const DMSUserAttribute& attribute) {
    const std::string readableName = DMSReadableUserPropertyName(plat::Value(attribute.name()));
    plat::Error error;
    auto filters = cachedFilters(attribute.name(), false, &error);
    if (!filters) {
        if (error.domain.empty()) {
            return true;
        }
        audienceMonitor().logWithLevel(1, 6004,
                                       "Unable to query property filters for property. Property will not be "
                                       "evaluated. Property name, error",
                                       readableName, error);
        return false;
    }
    if ((*filters)->empty()) {
        return true;
    }
    DMSSequenceTimestampsCacheMap unusedCaches;
    return audienceEvaluateFilters(
        *database_, **filters, kAudiencePropertyKind, readableName, attribute.lastSetTimestamp(), &unusedCaches,
        [this](plat::Error* loadError) { return cachedFilterResults(loadError); },
        [&](const DMSAudienceCachedFilter& filter) { return DMSEvaluatePropertyFilter(filter.message, &attribute); },
        [this](const std::function<bool()>& block) { return performAtomically(block); }, decodedResults_);
}

// ---- result records ----------------------------------------------------------------------------------------------

bool DMSAudience::isFilterResult(const std::optional<DMSFilterResult>& result, int32_t filterID) {
    if (!result || result->currentResults().empty() || filterID < 0) {
        return false;
    }
    auto data = DMSAudienceResultData::decode(result->currentResults());
    if (!data || data->status.empty() || data->results.empty()) {
        audienceMonitor().logWithLevel(2, 6023,
                                       "Audience filter result is non-nil and is missing status or results array. "
                                       "Audience result will not be bundled. Audience ID, result data",
                                       int64_t{result->audienceID()}, result->currentResults());
        return false;
    }
    return DMSAudienceResultData::bit(data->status, filterID) && DMSAudienceResultData::bit(data->results, filterID);
}

DMSFilterResult DMSAudience::updatedFilterResultWithFilterID(int32_t filterID, int32_t audienceID,
                                                             const std::optional<DMSFilterResult>& currentFilterResult,
                                                             bool newEvaluationResult,
                                                             const std::optional<plat::Array>& dynamicFilterTimestamps,
                                                             const std::optional<plat::Array>& sequenceFilterTimestamps) {
    std::vector<uint64_t> status, results;
    if (currentFilterResult) {
        auto data = DMSAudienceResultData::decode(currentFilterResult->currentResults());
        if (data && !data->status.empty() && !data->results.empty()) {
            status = data->status;
            results = data->results;
        }
    }
    DMSAudienceResultData::setBit(status, filterID, true);
    DMSAudienceResultData::setBit(results, filterID, newEvaluationResult);
    return filterResultWithWords(audienceID, currentFilterResult, std::move(status), std::move(results),
                                 dynamicFilterTimestamps, sequenceFilterTimestamps);
}

DMSFilterResult DMSAudience::filterResultWithWords(int32_t audienceID,
                                                   const std::optional<DMSFilterResult>& currentFilterResult,
                                                   std::vector<uint64_t> status, std::vector<uint64_t> results,
                                                   const std::optional<plat::Array>& dynamicFilterTimestamps,
                                                   const std::optional<plat::Array>& sequenceFilterTimestamps) {
    // Both lists always carry a first word, and as many words as either needs.
    const size_t words = std::max({status.size(), results.size(), size_t{1}});
    status.resize(words, 0);
    results.resize(words, 0);
    auto message = DMSAudienceResultData::encode(status, results, dynamicFilterTimestamps, sequenceFilterTimestamps);
    return DMSFilterResult(audienceID, message,
                           currentFilterResult ? currentFilterResult->previousResults() : std::nullopt);
}

bool DMSAudience::resultsForBundling(plat::Array* results) {
    auto& monitor = audienceMonitor();
    plat::Error error;
    auto stored = database_->allFilterResults(&error);
    if (!stored) {
        monitor.logWithLevel(1, 6019, "Unable to query Audience filter results. Audience results will not be bundled. Error",
                             error);
        return false;
    }
    plat::Array out;
    std::vector<DMSFilterResult> updates;
    for (const auto& [audienceID, record] : *stored) {
        auto current = record.currentResults().empty() ? nullptr
                                                       : DMSPBResultData::initWithBuffer(record.currentResults());
        if (!current) {
            monitor.logWithLevel(1, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID",
                                 int64_t{audienceID});
            continue;
        }
        auto status = DMSAudienceResultData::words(current, DMSPBResultData::kStatus);
        if (status.empty() || status.front() == 0) {
            monitor.logWithLevel(1, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID",
                                 int64_t{audienceID});
            continue;
        }
        auto leaf = DMSPBAudienceLeafFilterResult::init();
        NANOSetInt32(leaf, DMSPBAudienceLeafFilterResult::kAudienceID, audienceID);
        NANOSetMessage(leaf, DMSPBAudienceLeafFilterResult::kCurrentResults, current);
        if (record.previousResults()) {
            NANOSetBool(leaf, DMSPBAudienceLeafFilterResult::kNewAudience, false);
            auto previous = DMSPBResultData::initWithBuffer(*record.previousResults());
            auto currentEncoding = current->protoBuffer();
            auto previousEncoding = previous ? previous->protoBuffer() : std::nullopt;
            if (previous && previousEncoding != currentEncoding) {
                NANOSetMessage(leaf, DMSPBAudienceLeafFilterResult::kPreviousResults, previous);
            }
        } else {
            NANOSetBool(leaf, DMSPBAudienceLeafFilterResult::kNewAudience, true);
        }
        out.push_back(plat::Value(plat::rt::ObjectPtr(leaf)));
        updates.emplace_back(audienceID, record.currentResults(), record.currentResults());
    }
    if (!updates.empty() &&
        !performAtomically([&] { return database_->updateFilterResults(updates, &error); })) {
        monitor.logWithLevel(1, 6022,
                             "Unable to save updated Audience filter results. Audience results will not be bundled. "
                             "Error",
                             error);
        return false;
    }
    if (results) {
        *results = std::move(out);
    }
    return true;
}
