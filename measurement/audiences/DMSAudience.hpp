#pragma once
// The audience evaluator: keeps the audience definitions of the measurement configuration in the database,
// evaluates their filters against events placed in bundles and against user properties, and keeps one compact
// result record per audience that travels with every bundle. Worker queue only; no state between calls but
// bounded caches of what the database holds: decoded and prepared filters and the result records, each kept
// only while the store's change generation of its table stays the same.
//
// Result records carry two bit lists, "evaluated" (status) and "true" (results): filter n owns bit n % 64 of
// word n / 64, so filter IDs of 64 and above (allowed up to 99) never share a bit with a lower one. A word
// that a record does not carry reads as 0.

#include "core/NANOMessage.hpp"
#include "measurement/audiences/DMSAudienceResultData.hpp"
#include "measurement/storage/DMSAudienceRecords.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class DMSDatabase;
class DMSEvent;
class DMSEventAggregates;
class DMSParameters;
class DMSPreparedEventFilter;
class DMSUserAttribute;

// The event times at which the sequence filters of one audience held during the bundle being built.
class DMSSequenceTimestampsCache {
public:
    // None without an audience ID.
    static std::optional<DMSSequenceTimestampsCache> initWithAudienceID(std::optional<int32_t> audienceID);
    // Appends; nothing without a filter ID.
    void addTimestamp(double timestamp, std::optional<int32_t> filterID);
    std::optional<std::vector<double>> sequenceTimestampsForFilterID(int32_t filterID) const;
    // SequenceFilterResultTimestamp messages: ascending filter ID, each with its times ascending in whole
    // seconds.
    plat::Array sequenceFilterResultTimestamps() const;
    int32_t audienceID() const { return audienceID_; }
    const std::map<int32_t, std::vector<double>>& allSequenceTimestampsByFilterID() const { return timestamps_; }

private:
    explicit DMSSequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}
    int32_t audienceID_;
    std::map<int32_t, std::vector<double>> timestamps_;
};

// One bundle's caches, by audience ID: the bundler makes an empty one per bundle.
using DMSSequenceTimestampsCacheMap = std::map<int32_t, DMSSequenceTimestampsCache>;

// A stored result record as decoded, kept while its bytes stay the same: records change far less often than
// events are evaluated against them.
struct DMSAudienceDecodedResult {
    plat::Data bytes;
    DMSAudienceResultData data;
    // The bytes are exactly what encoding `data` writes, so equal content means equal bytes.
    bool reencodes = false;
};

class DMSAudienceDecodedResults {
public:
    // None for bytes that do not decode.
    std::shared_ptr<const DMSAudienceDecodedResult> decoded(int32_t audienceID, const plat::Data& bytes);

private:
    std::map<int32_t, std::shared_ptr<const DMSAudienceDecodedResult>> entries_;
};

// One stored filter as the evaluation uses it, kept between events while the filter tables stay unchanged.
struct DMSAudienceCachedFilter {
    int32_t audienceID = 0;
    int32_t filterID = 0;
    // Null when the stored bytes are empty or do not decode.
    std::shared_ptr<NANOMessage> message;
    bool isDynamic = false;
    bool isSequence = false;
    // Event filters with a message only.
    std::shared_ptr<const DMSPreparedEventFilter> prepared;
};
using DMSAudienceCachedFilters = std::vector<DMSAudienceCachedFilter>;
using DMSAudienceStoredResults = std::map<int32_t, DMSFilterResult>;

class DMSAudience {
public:
    // None without a database.
    static std::unique_ptr<DMSAudience> initWithDatabase(DMSDatabase* database);
    explicit DMSAudience(DMSDatabase* database) : database_(database) {}

    // ---- evaluation ----
    // A stored raw event going into a bundle: reassembles complex events ("_eid", "_epc", "_ep" with "_en"),
    // then evaluates the event filters of the event's name.
    bool evaluateFiltersForEvent(const DMSEvent& event, const DMSEventAggregates* eventAggregates,
                                 DMSSequenceTimestampsCacheMap& cachedSequenceEvaluationTimestamps);
    bool evaluateFiltersForEventName(const std::string& eventName, const DMSParameters& eventParameters,
                                     const DMSEventAggregates* eventAggregates, double eventTimestamp,
                                     DMSSequenceTimestampsCacheMap& cachedSequenceEvaluationTimestamps);
    // Runs inside the user property's transaction: NO rolls the change back.
    bool evaluateFiltersForUserProperty(const DMSUserAttribute& attribute);
    // The AudienceLeafFilterResult messages for the next bundle (empty when nothing is to be sent); each sent
    // record's previous results become its current ones. NO (and nothing in `results`) on failure.
    bool resultsForBundling(plat::Array* results);

    static bool isFilterResult(const std::optional<DMSFilterResult>& result, int32_t filterID);
    static DMSFilterResult updatedFilterResultWithFilterID(int32_t filterID, int32_t audienceID,
                                                           const std::optional<DMSFilterResult>& currentFilterResult,
                                                           bool newEvaluationResult,
                                                           const std::optional<plat::Array>& dynamicFilterTimestamps,
                                                           const std::optional<plat::Array>& sequenceFilterTimestamps);
    // The record of the given bit lists (both padded to the same length, at least one word), keeping the
    // current record's previous results.
    static DMSFilterResult filterResultWithWords(int32_t audienceID,
                                                 const std::optional<DMSFilterResult>& currentFilterResult,
                                                 std::vector<uint64_t> status, std::vector<uint64_t> results,
                                                 const std::optional<plat::Array>& dynamicFilterTimestamps,
                                                 const std::optional<plat::Array>& sequenceFilterTimestamps);

    // ---- definitions ----
    // The audiences of a newly accepted configuration (DMSPBAudience objects), inside the caller's transaction.
    // More than the allowed number of audiences changes nothing and answers YES.
    bool updateAudiences(const plat::Array& audiences);
    bool maybeDeleteStaleFilterResults(const std::set<int32_t>& keptAudienceIDs);
    static bool isValidAudienceProto(NANOMessageRef audience, const std::set<int32_t>& usedAudienceIDs,
                                     plat::Error* error);

    DMSDatabase* database() const { return database_; }

private:
    bool evaluateComplexEvent(const DMSEvent& event, int64_t eventID, const DMSEventAggregates* eventAggregates,
                              DMSSequenceTimestampsCacheMap& cachedSequenceEvaluationTimestamps);
    // Runs the block in a transaction of its own unless the caller's transaction is open already (which then
    // rolls back on NO), so that a call failing part-way saves nothing.
    bool performAtomically(const std::function<bool()>& block);

    // The decoded message of a stored event or property filter. Filters come back from the database for every
    // event, always as the same bytes: each decodes once. Bounded; cleared when full. The messages are only
    // read by the evaluation.
    std::shared_ptr<NANOMessage> decodedFilter(const plat::Data& data, bool eventFilter);

    // The stored filters of one event or property name, read from the database again only after their table
    // changed (the store's change generation: any write, rollback or reopening), so that new definitions, a
    // reset and a rolled-back rewrite are all seen by the next event. None with the error set when the read
    // fails, none with it unset when the database refuses the name.
    std::optional<std::shared_ptr<const DMSAudienceCachedFilters>> cachedFilters(std::string_view name,
                                                                                bool eventFilters,
                                                                                plat::Error* error);
    // Every stored result record, read again only after the results table changed. Null on failure.
    std::shared_ptr<const DMSAudienceStoredResults> cachedFilterResults(plat::Error* error);

    DMSDatabase* database_;
    std::mutex decodedMutex_;
    std::map<plat::Data, std::shared_ptr<NANOMessage>> decodedEventFilters_;
    std::map<plat::Data, std::shared_ptr<NANOMessage>> decodedPropertyFilters_;
    // Worker queue only.
    DMSAudienceDecodedResults decodedResults_;

    struct FilterCache {
        uint64_t generation = 0;
        std::map<std::string, std::shared_ptr<const DMSAudienceCachedFilters>, std::less<>> byName;
    };
    std::mutex cacheMutex_;
    FilterCache eventFilterCache_;
    FilterCache propertyFilterCache_;
    uint64_t resultsGeneration_ = 0;
    std::shared_ptr<const DMSAudienceStoredResults> cachedResults_;
};
