#pragma once
// The measurement database: one SQLite file under Application Support holding raw events, the bundle queue,
// counters, user properties, audience filters, the stored configuration and more. This layer owns the file's
// place, its schema, opening with validation (and discarding a file that cannot be brought in line), the one
// app-metadata row, and the typed row operations the table operations are built on.
//
// No lock: the measurement worker queue alone calls it; grouped writes go through performTransaction.

#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/storage/DMSAudienceRecords.hpp"
#include "measurement/storage/DMSConditionalUserProperty.hpp"
#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSSqliteStore.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DMSPersistedConfig;
class DMSUserAttribute;
class DMSValue;

// The stored-value rule of the value columns: a string as text, a double as a real, anything else as a 64-bit
// integer.
plat::Value DMSDatabaseStoredValue(const DMSValue& value);

// The main event of a complex event and the number of its extra-parameter events still to come.
struct DMSComplexEventPair {
    DMSEvent mainEvent;
    int64_t childrenToProcess = 0;
};

// The bundle sequence kept in app_metadata row 1.
class DMSAppMetadata {
public:
    // None for a negative index (4000).
    static std::optional<DMSAppMetadata> initWithLastBundleIndex(int32_t index, double startTimestamp,
                                                                 double endTimestamp);
    // After INT32_MAX comes 0 (4001).
    void incrementLastBundleIndex();
    int32_t lastBundleIndex() const { return lastBundleIndex_; }
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
    void setLastBundleStartTimestamp(double value) { lastBundleStartTimestamp_ = value; }
    void setLastBundleEndTimestamp(double value) { lastBundleEndTimestamp_ = value; }

private:
    DMSAppMetadata(int32_t index, double start, double end)
        : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}
    int32_t lastBundleIndex_;
    double lastBundleStartTimestamp_;
    double lastBundleEndTimestamp_;
};

// Per-day event counters kept in app_metadata row 1; a count of another day starts over.
class DMSDailyCounts {
public:
    DMSDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount, int32_t publicEventsCount,
                   int32_t errorEventsCount, int32_t realtimeCount)
        : day_(day), conversionsCount_(conversionsCount), allEventsCount_(allEventsCount),
          publicEventsCount_(publicEventsCount), errorEventsCount_(errorEventsCount), realtimeCount_(realtimeCount) {}
    void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion);
    void incrementErrorEventsCountForCurrentDay(int32_t day);
    void incrementRealtimeCountsForCurrentDay(int32_t day);
    void decrementAllEventsCount();
    void resetWithNewDay(int32_t day);
    int32_t day() const { return day_; }
    int32_t conversionsCount() const { return conversionsCount_; }
    int32_t allEventsCount() const { return allEventsCount_; }
    int32_t publicEventsCount() const { return publicEventsCount_; }
    int32_t errorEventsCount() const { return errorEventsCount_; }
    int32_t realtimeCount() const { return realtimeCount_; }

private:
    int32_t day_;
    int32_t conversionsCount_;
    int32_t allEventsCount_;
    int32_t publicEventsCount_;
    int32_t errorEventsCount_;
    int32_t realtimeCount_;
};

// One page of a metadata record's raw events: the rows that converted, and the row IDs that were read but
// could not be converted (undecodable or without an origin), so that the bundler can drop them instead of
// meeting them again on every pass.
struct DMSRawEventsPage {
    std::vector<DMSRawEventData> events;
    std::vector<int64_t> unreadableRowIDs;
};

// A queued bundle as the uploader takes it: the decoded bundle (its retry count set from the row) and its row ID.
struct DMSQueuedBundle {
    std::shared_ptr<DMSPBMeasurementBundle> bundle;
    int64_t rowID = 0;
};

// One table of the schema: created with the elementary columns, extended with the add-on columns, and the
// modified columns re-declared by a rebuild.
struct DMSTableSchema {
    std::string name;
    DMSColumnInfo elementary;
    DMSColumnInfo addOn;
    DMSModifyColumnInfo modify;
};

// The measurement configuration as a message and as the fields the remote settings read. A message without
// settings gives none for the settings list; audiences are not among the fields.
DMSMeasurementConfigFields DMSMeasurementConfigFieldsFromMessage(NANOMessageRef config);
std::shared_ptr<DMSPBMeasurementConfig> DMSPBMeasurementConfigFromFields(const DMSMeasurementConfigFields& fields);

class DMSDatabase final : public DMSMeasurementConfigStorage {
public:
    static constexpr const char* kDatabaseName = "razoza-app-measurement.sql";

    // The twelve tables, in the order they are ensured.
    static const std::vector<DMSTableSchema>& schema();

    // None when the name is empty (12000) or the file cannot be opened and prepared.
    static std::unique_ptr<DMSDatabase> initWithDatabaseName(std::string_view name,
                                                             DMSPersistedConfig* persistedConfig);
    ~DMSDatabase() override;
    DMSDatabase(const DMSDatabase&) = delete;
    DMSDatabase& operator=(const DMSDatabase&) = delete;

    bool initializeDatabaseResources(std::string_view context, const std::string& databasePath);
    bool ensureAllTables();
    bool initializeAppMetadata();
    // The wipe after an app-ID change: a fresh file, or, when the file cannot be deleted, every table emptied.
    void reset();
    bool performTransaction(const std::function<bool()>& block);

    DMSSqliteStore* sqliteStore() const { return sqliteStore_.get(); }
    DMSPersistedConfig* persistedConfig() const { return persistedConfig_; }

    // Generic typed rows. A block that answers none drops that row (reads) or refuses that object (writes).
    using CreateDataType = std::function<bool(const DMSRecord&)>; // true: converted and kept by the caller
    using CreateDictionary = std::function<std::optional<DMSRecord>()>;
    // "SELECT rowid, * FROM <table> ORDER BY rowid LIMIT <limit>" (-1: all rows).
    bool allDataTypesFromTable(std::string_view table, int64_t limit, plat::Error* error,
                               const CreateDataType& block);
    bool dataTypesFromTable(std::string_view table, std::string_view column, const std::optional<plat::Value>& value,
                            plat::Error* error, const CreateDataType& block);
    // `hasObject` false stands for a nil object.
    bool insertDataType(bool hasObject, std::string_view table, plat::Error* error, const CreateDictionary& block);
    bool upsertDataType(bool hasObject, std::string_view table, std::string_view column, const plat::Value& value,
                        int64_t tableLimit, plat::Error* error, const CreateDictionary& block);
    bool updateDataType(bool hasObject, std::string_view table, std::string_view column, const plat::Value& value,
                        plat::Error* error, const CreateDictionary& block);

    // App metadata row 1 (bundle sequence).
    std::optional<DMSAppMetadata> queryAppMetadata(plat::Error* error);
    bool updateAppMetadata(const DMSAppMetadata& metadata, plat::Error* error);

    // Daily counts of row 1; a missing day reads as today (midnight offset of the persisted configuration).
    std::optional<DMSDailyCounts> dailyCounts(plat::Error* error);
    bool updateDailyCounts(const DMSDailyCounts& counts, plat::Error* error);

    // Raw events and the metadata records they share. A metadata record is stored once per fingerprint (the
    // low 64 bits of the MD5 of its encoding); a raw event is stored without its name, which has a column.
    bool insertIfNotExistsRawEventMetadata(NANOMessageRef metadata, plat::Error* error);
    std::shared_ptr<DMSPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                  plat::Error* error);
    bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, plat::Error* error);
    bool deleteUnusedRawEventsMetadata(plat::Error* error);
    bool insertRawEvent(const DMSEvent* event, int64_t metadataFingerprint, bool isRealtime, plat::Error* error);
    // The oldest 1000 raw events of one metadata record, in row order, through the caller's filter (which
    // stops the read at the first row it refuses). None when the query failed; when rows were read but none
    // converted, the page has no events (and names the unreadable rows).
    std::optional<DMSRawEventsPage> rawEventsWithMetadataFingerprint(int64_t fingerprint, plat::Error* error,
                                                                     const DMSRecordFilter& eventFilter);
    std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint, plat::Error* error);
    std::optional<bool> isRawEventsTableEmpty(plat::Error* error);
    std::optional<bool> containsRealtimeRawEventsWithError(plat::Error* error);
    // None with the error unset when there are no raw events.
    std::optional<double> queryLatestRawEventTime(plat::Error* error);
    // The fingerprint of the oldest raw event; none with the error unset when there are none.
    std::optional<int64_t> nextMetadataFingerprintToProcess(plat::Error* error);
    bool deleteRawEventsWithMaxRowID(int64_t rowID, plat::Error* error);
    // Keeps the newest maxEventsStored - 1 rows, so the event about to be stored fits. The number deleted.
    std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(plat::Error* error);
    // Raw events further than `maxAge` seconds from now, in the past or the future, then orphaned metadata.
    bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, plat::Error* error);
    std::optional<DMSRawEventData> rawEventDataFromDictionary(const DMSRecord* row, plat::Error* error);

    // The upload queue: bundles stored gzip'd with their end time, a real-time flag and a retry counter. Row IDs
    // are given as numbers. A row that cannot be inflated or decoded is deleted when a read meets it, so that
    // it cannot hold back the bundles behind it.
    bool insertBundle(NANOMessageRef bundle, bool isRealtime, plat::Error* error);
    // The oldest bundles, at most `countLimit`, within `sizeLimit` bytes of uncompressed encoding (the first
    // one always); the first bundle that would pass the budget ends the scan.
    std::optional<std::vector<DMSQueuedBundle>> queryBundlesWithCountLimit(int64_t countLimit, int64_t sizeLimit,
                                                                           plat::Error* error);
    std::optional<std::vector<DMSQueuedBundle>> queryBundlesWithRowIDs(const plat::Array& rowIDs, plat::Error* error);
    bool deleteBundlesWithRowIDs(const plat::Array& rowIDs, plat::Error* error);
    // Bundles at the retry limit (INT32_MAX) stay as they are.
    bool incrementRetryCounterForBundlesWithIDs(const plat::Array& rowIDs, plat::Error* error);
    std::optional<bool> isQueuedBundleTableEmpty(plat::Error* error);
    std::optional<bool> containsRealtimeBundlesWithError(plat::Error* error);
    // None with the error unset when the queue is empty.
    std::optional<double> queryLatestBundleTime(plat::Error* error);
    // Purges raw events and bundles further than the queue time from now, at most once per purge interval:
    // true when it ran, false when not due, none when a purge failed.
    std::optional<bool> maybeDeleteStaleData(plat::Error* error);
    bool deleteStaleBundlesOlderThanMaxAge(double maxAge, plat::Error* error);

    // Event aggregates, one row per event name, at most 1000 names.
    std::optional<std::vector<DMSEventAggregates>> allEventAggregates(plat::Error* error);
    std::optional<DMSEventAggregates> eventAggregatesWithName(std::string_view name, plat::Error* error);
    bool updateEventAggregates(const DMSEventAggregates* aggregates, plat::Error* error);
    // Names that do not begin with "_".
    std::optional<int64_t> publicEventCount(plat::Error* error);

    // User properties, at most 1000 names. Text from the app is always bound.
    bool updateUserAttribute(const DMSUserAttribute* attribute, plat::Error* error);
    std::optional<DMSUserAttribute> userAttributeWithName(std::string_view name, plat::Error* error);
    std::optional<bool> containsUserAttributeWithName(std::string_view name, plat::Error* error);
    bool deleteUserAttributeWithName(std::string_view name, plat::Error* error);
    std::optional<int64_t> publicUserAttributeCount(plat::Error* error);
    std::optional<int64_t> userAttributeCountForOrigin(std::string_view origin, plat::Error* error);
    // Names that begin with exactly "_ltv_", newest first.
    std::optional<std::vector<DMSUserAttribute>> allLifetimeValueUserAttributes(plat::Error* error);
    // The first 1000 rows; without internal ones: no "_" names, no reserved prefixes, no public names of
    // internal properties.
    std::optional<std::vector<DMSUserAttribute>> userAttributesIncludingInternal(bool includeInternal,
                                                                                 plat::Error* error);

    // Audience filters and results. List updates are not atomic: callers that must not leave part of a list
    // written wrap them in performTransaction.
    std::optional<std::vector<int32_t>> allAudienceIDs(plat::Error* error);
    std::optional<std::vector<DMSEventFilter>> eventFiltersForEventName(std::string_view eventName, plat::Error* error);
    std::optional<std::vector<DMSPropertyFilter>> propertyFiltersForPropertyName(std::string_view propertyName,
                                                                                 plat::Error* error);
    bool updateEventFilters(const std::vector<DMSEventFilter>& filters, plat::Error* error);
    bool updatePropertyFilters(const std::vector<DMSPropertyFilter>& filters, plat::Error* error);
    // One DELETE whose condition joins a term per filter with " OR ".
    bool deleteEventFilters(const std::vector<DMSEventFilter>& filters, plat::Error* error);
    bool deletePropertyFilters(const std::vector<DMSPropertyFilter>& filters, plat::Error* error);
    bool deleteAllEventFilters(plat::Error* error);
    bool deleteAllPropertyFilters(plat::Error* error);
    std::optional<std::map<int32_t, DMSFilterResult>> allFilterResults(plat::Error* error);
    std::optional<DMSFilterResult> filterResultForAudienceID(int32_t audienceID, plat::Error* error);
    bool updateFilterResults(const std::vector<DMSFilterResult>& results, plat::Error* error);
    // Deletes the results of the audiences the records name.
    bool deleteFilterResults(const std::vector<DMSFilterResult>& results, plat::Error* error);

    // The stored configuration (app_metadata row 1): the last accepted configuration and the time of the last
    // successful fetch.
    bool updateRemoteConfig(NANOMessageRef config, plat::Error* error);
    bool updateRemoteConfigSuccessfulTimestamp(double timestamp, plat::Error* error);
    // None with the error unset when nothing is stored; "Remote config data is corrupted" for bytes that do
    // not decode.
    std::shared_ptr<DMSPBMeasurementConfig> queryMeasurementConfigWithError(plat::Error* error);
    std::optional<double> lastRemoteConfigUpdateTimestamp(plat::Error* error) override;
    // The same, as the remote settings read and write it.
    std::optional<DMSMeasurementConfigFields> queryMeasurementConfig(plat::Error* error) override;
    bool updateRemoteConfig(const DMSMeasurementConfigFields& config, plat::Error* error) override;

    // Purchase fingerprints, the 1000 newest kept: true when new and now stored, false when present or empty,
    // none on failure.
    std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint, plat::Error* error);
    // Forgets a stored fingerprint, so that a purchase that was never reported can be reported when it comes
    // again; an absent one is no failure.
    bool deletePurchaseFingerprint(std::string_view fingerprint, plat::Error* error);

    // Conditional user properties, at most 1000 names. The time conditions compare the absolute distance from
    // now, so a stored time in the future counts like one in the past. A row whose event blob does not decode
    // is left out of every answer.
    std::optional<DMSConditionalUserProperty> conditionalUserPropertyWithName(std::string_view name,
                                                                              plat::Error* error);
    bool updateConditionalUserProperty(const DMSConditionalUserProperty* property, plat::Error* error);
    bool deleteConditionalUserPropertyWithName(std::string_view name, plat::Error* error);
    std::optional<std::vector<DMSConditionalUserProperty>> timedOutConditionalUserPropertiesWithError(
        plat::Error* error);
    std::optional<std::vector<DMSConditionalUserProperty>> expiredConditionalUserPropertiesWithError(
        plat::Error* error);
    std::optional<std::vector<DMSConditionalUserProperty>> triggeredConditionalUserPropertiesWithEventName(
        std::string_view eventName, plat::Error* error);
    // The prefix matches literally and the origin exactly; an empty one does not filter.
    std::optional<std::vector<DMSConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
        std::string_view prefix, std::string_view origin, plat::Error* error);
    std::optional<std::vector<DMSConditionalUserProperty>> conditionalUserPropertiesWithCondition(
        std::string_view condition, const plat::Array& parameterValues, plat::Error* error);

    // Complex events kept for audience evaluation until their last extra-parameter event. None with the error
    // unset when nothing is stored for the ID.
    std::optional<DMSComplexEventPair> mainEventAndChildCountPairWithEventID(int64_t eventID, plat::Error* error);
    bool updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                            const DMSEvent* mainEvent, plat::Error* error);
    bool deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, plat::Error* error);

private:
    DMSDatabase() = default;
    bool emptyAllTables();
    std::optional<DMSQueuedBundle> queuedBundleFromRow(const DMSRecord& row);
    std::optional<std::vector<DMSQueuedBundle>> queuedBundlesForQuery(std::string_view query,
                                                                      const plat::Array& parameters,
                                                                      int64_t sizeLimit, plat::Error* error);

    std::unique_ptr<DMSSqliteStore> sqliteStore_;
    DMSPersistedConfig* persistedConfig_ = nullptr;
    std::string databasePath_;
    // The last stale-data purge, kept here when there is no persisted configuration.
    double lastDeleteStaleDataTimestamp_ = 0;
    // The last metadata encoding fingerprinted, and its fingerprint.
    plat::Data lastMetadataEncoding_;
    int64_t lastMetadataFingerprint_ = 0;
};
