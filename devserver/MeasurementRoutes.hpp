#pragma once
// The measurement back end on measurement.example.test: POST "/a" takes one gzip-compressed measurement
// batch, GET "/config/app/<app ID>" answers the app's configuration. Batches are read with a protobuf wire
// reader of this file's own and configurations written with its own writer, so that a fault of the client's
// message codec shows here instead of cancelling out. Answers can be scripted per route, one after another
// or for every request; tests may also add routes of their own, which take precedence.

#include "devserver/Route.hpp"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devserver {

class Server;

inline constexpr const char* kMeasurementHost = "measurement.example.test";
inline constexpr const char* kMeasurementUploadPath = "/a";
inline constexpr const char* kMeasurementConfigPath = "/config/app/";

struct MeasurementParam {
    std::string name;
    std::optional<std::string> stringValue;
    std::optional<int64_t> intValue;
    std::optional<double> doubleValue;
};

struct MeasurementEvent {
    std::string name;
    int64_t timestampMillis = 0;
    std::optional<int64_t> previousTimestampMillis;
    std::vector<MeasurementParam> params;
    const MeasurementParam* param(const std::string& name) const;
};

struct MeasurementAttribute {
    std::string name;
    int64_t setTimestampMillis = 0;
    std::optional<std::string> stringValue;
    std::optional<int64_t> intValue;
    std::optional<double> doubleValue;
};

// The bit lists of one audience result: filter n is bit n % 64 of word n / 64.
struct MeasurementResultData {
    std::vector<uint64_t> status;  // evaluated
    std::vector<uint64_t> results; // true
    bool bit(const std::vector<uint64_t>& words, int32_t filterID) const;
    bool evaluatedTrue(int32_t filterID) const { return bit(status, filterID) && bit(results, filterID); }
};

// One audience result of a bundle (tag 29).
struct MeasurementAudienceResult {
    std::optional<int32_t> audienceID;
    std::optional<MeasurementResultData> current;
    std::optional<MeasurementResultData> previous;
    std::optional<bool> newAudience;
};

// One bundle of a batch: its scalar header fields by wire tag (integers and texts apart), events and user
// attributes in order, and the audience results (their number kept apart for older callers).
struct MeasurementBundle {
    std::map<uint32_t, int64_t> ints;
    std::map<uint32_t, std::string> texts;
    std::vector<MeasurementEvent> events;
    std::vector<MeasurementAttribute> attributes;
    size_t audienceResults = 0;
    std::vector<MeasurementAudienceResult> audiences;
    std::optional<int64_t> intTag(uint32_t tag) const;
    std::optional<std::string> textTag(uint32_t tag) const;
    const MeasurementAttribute* attribute(const std::string& name) const;
    std::vector<std::string> eventNames() const;
};

// One POST to "/a" as the back end read it. `problem` is empty when the headers were right and the body
// inflated and decoded; otherwise it says what was wrong and `bundles` is empty.
struct MeasurementUpload {
    uint64_t seq = 0;
    std::string problem;
    std::vector<MeasurementBundle> bundles;
};

// One GET of a configuration.
struct MeasurementConfigRequest {
    uint64_t seq = 0;
    std::string appID; // the path segment, percent-decoded
    std::vector<std::pair<std::string, std::string>> query; // decoded, in order
    std::string ifModifiedSince; // empty without the header
    std::string queryValue(const std::string& key) const;
};

// A served audience: event filters of one parameter condition each, and property filters of one condition.
// `numberComparison` set: a number filter (comparison type, value, and the bounds for BETWEEN); otherwise a
// string filter (match type, expression).
struct MeasurementCondition {
    std::optional<uint32_t> numberComparison;
    std::string value;
    std::string minValue;
    std::string maxValue;
    uint32_t matchType = 0;
    bool caseSensitive = false;
    bool complement = false;
};

struct MeasurementEventFilterDefinition {
    int32_t filterID = 0;
    std::string eventName;
    std::string paramName; // empty: the event filter has no parameter condition
    MeasurementCondition condition;
    std::optional<MeasurementCondition> eventCount;
    bool dynamic = false;
};

struct MeasurementPropertyFilterDefinition {
    int32_t filterID = 0;
    std::string propertyName;
    MeasurementCondition condition;
    bool dynamic = false;
};

struct MeasurementAudienceDefinition {
    int32_t audienceID = 0;
    std::vector<MeasurementEventFilterDefinition> eventFilters;
    std::vector<MeasurementPropertyFilterDefinition> propertyFilters;
};

// Reads a gzip'd MeasurementBatch; the problem text when it cannot.
MeasurementUpload decodeMeasurementUpload(const RecordedRequest& request);
// Reads the wire bytes of a MeasurementBatch; none when they are no such message.
std::optional<std::vector<MeasurementBundle>> decodeMeasurementBatch(const std::string& bytes);
// The wire bytes of a MeasurementConfig: version, app ID and settings (name, value) in order.
std::string encodeMeasurementConfig(int64_t version, const std::string& appID,
                                    const std::vector<std::pair<std::string, std::string>>& settings,
                                    const std::vector<MeasurementAudienceDefinition>& audiences = {});

// Everything the server recorded on the measurement host, decoded.
std::vector<MeasurementUpload> measurementUploads(const Server& server);
std::vector<MeasurementConfigRequest> measurementConfigRequests(const Server& server);

class MeasurementService {
public:
    // The configuration the default answer carries (for the app ID the request names).
    void setConfiguration(int64_t version, std::vector<std::pair<std::string, std::string>> settings = {});
    void setLastModified(std::string lastModified);
    // The audiences the default answer carries.
    void setAudiences(std::vector<MeasurementAudienceDefinition> audiences);

    // Scripted answers: queued ones are used one per request, in order; then the standing one, if set;
    // then the default.
    void queueConfigReply(Reply reply);
    void setConfigReply(std::optional<Reply> reply);
    void queueUploadReply(Reply reply);
    void setUploadReply(std::optional<Reply> reply);

    Reply answerConfig(const RecordedRequest& request);
    Reply answerUpload(const RecordedRequest& request);
    // The status each upload was answered with, by request sequence number (0: the connection was dropped).
    std::map<uint64_t, int> uploadAnswers() const;

private:
    std::optional<Reply> scripted(std::deque<Reply>& queue, const std::optional<Reply>& standing);

    mutable std::mutex mutex_;
    std::map<uint64_t, int> uploadAnswers_;
    int64_t version_ = 1;
    std::vector<std::pair<std::string, std::string>> settings_;
    std::vector<MeasurementAudienceDefinition> audiences_;
    std::string lastModified_ = "Mon, 01 Jan 2024 10:00:00 GMT";
    std::deque<Reply> configQueue_;
    std::optional<Reply> configStanding_;
    std::deque<Reply> uploadQueue_;
    std::optional<Reply> uploadStanding_;
};

std::shared_ptr<MeasurementService> installMeasurementRoutes(Server& server);

} // namespace devserver
