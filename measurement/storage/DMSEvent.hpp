#pragma once
// One logged event from its acceptance until it is stored and bundled: a checked origin and name, and
// parameters normalised into typed values, with the first problem found recorded as error parameters that
// travel with the event. Beside it the per-name counters of the events table and a raw event read back with
// its row.

#include "measurement/messages/DMSMessageFields.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Normalised parameters: name -> typed value, in the order they were added.
class DMSParameters {
public:
    using Entry = std::pair<std::string, DMSValue>;

    const DMSValue* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // Replaces the value of an existing name in place, else appends.
    void set(std::string_view name, DMSValue value);
    bool erase(std::string_view name);
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    std::vector<std::string> keys() const;
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }
    // As platform objects (numbers and strings); converting back gives the same values.
    plat::Dictionary dictionary() const;
    // Same names and equal values, in any order.
    friend bool operator==(const DMSParameters& a, const DMSParameters& b);

private:
    std::vector<Entry> entries_;
};

// Records an error code and the offending item on typed parameters, as DMSAddErrorCodeAndParameters does on a
// dictionary: nothing when any error parameter is present already.
void DMSAddErrorCodeAndParametersToParameters(DMSParameters& parameters, int64_t code,
                                              const std::optional<plat::Value>& item, int64_t maxLength,
                                              const std::optional<plat::Value>& lengthValue = std::nullopt);

class DMSEvent {
public:
    static constexpr int64_t kMaxPublicParameters = 25;

    // None when the origin or the name is invalid (the validator has logged). The parameters map names to
    // strings and numbers; anything else is dropped.
    static std::optional<DMSEvent> initWithOrigin(const std::string& origin, bool isPublic,
                                                  const std::string& name, double timestamp,
                                                  double previousTimestamp,
                                                  const plat::Dictionary& parameters);
    static std::optional<DMSEvent> initWithOrigin(const std::string& origin, bool isPublic,
                                                  const std::string& name, double timestamp,
                                                  double previousTimestamp, const DMSParameters& parameters) {
        return initWithOrigin(origin, isPublic, name, timestamp, previousTimestamp, parameters.dictionary());
    }
    // An event read back from storage; none without a string origin or with an invalid name.
    static std::optional<DMSEvent> initWithEventProto(const DMSEventFields& proto);
    static std::optional<DMSEvent> initWithEventProto(NANOMessageRef proto) {
        return initWithEventProto(DMSEventFieldsFromMessage(proto));
    }
    // The stored and uploaded form, as a message and as the record it is filled from.
    std::shared_ptr<DMSPBEvent> protoEvent() const { return DMSPBEventFromFields(protoEventFields()); }
    DMSEventFields protoEventFields() const;

    // Copies go through the initialiser as internal events, so their parameters are normalised again.
    std::optional<DMSEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
    std::optional<DMSEvent> copyWithParameters(const plat::Dictionary& parameters) const;
    std::optional<DMSEvent> copyWithParameters(const DMSParameters& parameters) const {
        return copyWithParameters(parameters.dictionary());
    }
    std::optional<DMSEvent> copy() const;

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    double timestamp() const { return timestamp_; }
    double previousTimestamp() const { return previousTimestamp_; }
    const DMSParameters& parameters() const { return parameters_; }
    DMSParameters& mutableParameters() { return parameters_; }

    bool isConversion() const;
    void setConversion(bool conversion);
    bool isRealtime() const;
    void setRealtime(bool realtime);
    bool isDebug() const;
    void setDebug(bool debug);
    // "_sc" and "_si" required, "_sn" optional; NO when any is invalid or the event has screen parameters.
    bool addScreenParameters(const plat::Dictionary& screenParameters);
    bool addScreenParameters(const DMSParameters& screenParameters) {
        return addScreenParameters(screenParameters.dictionary());
    }

    // None for an empty input. Invalid names and values are dropped, the first problem recorded as "_err",
    // "_ev" and "_el", and at most 25 public parameters kept.
    static std::optional<DMSParameters> normalizedParametersForParameters(const plat::Dictionary& parameters,
                                                                          bool isPublicEvent);
    // Records a failed name's error parameters in `errorParameters` unless it holds some already.
    static bool isValidParameterKey(const std::string& key, bool isPublicEvent,
                                    plat::Dictionary& errorParameters);

private:
    DMSEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
             DMSParameters parameters)
        : origin_(std::move(origin)), name_(std::move(name)), timestamp_(timestamp),
          previousTimestamp_(previousTimestamp), parameters_(std::move(parameters)) {}
    bool isFlagSet(std::string_view parameter) const;

    std::string origin_;
    std::string name_;
    double timestamp_;
    double previousTimestamp_;
    DMSParameters parameters_;
};

// The per-name counters and sampling state of a row of the events table.
class DMSEventAggregates {
public:
    // None for an invalid name or a negative count (17000).
    static std::optional<DMSEventAggregates> initWithName(const std::string& name, int32_t lifetimeCount,
                                                          int32_t currentBundleCount,
                                                          double lastFireTimestamp);

    const std::string& name() const { return name_; }
    int32_t lifetimeCount() const { return lifetimeCount_; }
    int32_t currentBundleCount() const { return currentBundleCount_; }
    // Add 1; the largest count wraps to 0 (17001, 17002).
    void incrementLifetimeCount();
    void incrementCurrentBundleCount();

    double lastFireTimestamp() const { return lastFireTimestamp_; }
    void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
    double lastBundledTimestamp() const { return lastBundledTimestamp_; }
    void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
    const std::optional<int64_t>& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
    void setLastSampledComplexEventID(std::optional<int64_t> eventID) {
        lastSampledComplexEventID_ = eventID;
    }
    int32_t lastSamplingRate() const { return lastSamplingRate_; }
    void setLastSamplingRate(int32_t rate) { lastSamplingRate_ = rate; }
    bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
    void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
    int32_t lastBundledDay() const { return lastBundledDay_; }
    void setLastBundledDay(int32_t day) { lastBundledDay_ = day; }

private:
    DMSEventAggregates(std::string name, int32_t lifetimeCount, int32_t currentBundleCount,
                       double lastFireTimestamp)
        : name_(std::move(name)), lifetimeCount_(lifetimeCount), currentBundleCount_(currentBundleCount),
          lastFireTimestamp_(lastFireTimestamp) {}

    std::string name_;
    int32_t lifetimeCount_;
    int32_t currentBundleCount_;
    double lastFireTimestamp_;
    double lastBundledTimestamp_ = 0;
    std::optional<int64_t> lastSampledComplexEventID_;
    int32_t lastSamplingRate_ = 1;
    bool lastExemptFromSampling_ = false;
    int32_t lastBundledDay_ = 0;
};

// An event read back from the raw-events table with its row ID and its metadata's fingerprint.
class DMSRawEventData {
public:
    // None without an event (28000) or with a negative row ID (28001).
    static std::optional<DMSRawEventData> initWithRawEvent(const std::optional<DMSEvent>& rawEvent,
                                                           int64_t rowID, int64_t metadataFingerprint);

    const DMSEvent& rawEvent() const { return rawEvent_; }
    int64_t rowID() const { return rowID_; }
    int64_t metadataFingerprint() const { return metadataFingerprint_; }

private:
    DMSRawEventData(DMSEvent rawEvent, int64_t rowID, int64_t metadataFingerprint)
        : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

    DMSEvent rawEvent_;
    int64_t rowID_;
    int64_t metadataFingerprint_;
};
