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

// One bundle of a batch: its scalar header fields by wire tag (integers and texts apart), events and user
// attributes in order, and the number of audience results.
struct MeasurementBundle {
    std::map<uint32_t, int64_t> ints;
    std::map<uint32_t, std::string> texts;
    std::vector<MeasurementEvent> events;
    std::vector<MeasurementAttribute> attributes;
    size_t audienceResults = 0;
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

// Reads a gzip'd MeasurementBatch; the problem text when it cannot.
MeasurementUpload decodeMeasurementUpload(const RecordedRequest& request);
// Reads the wire bytes of a MeasurementBatch; none when they are no such message.
std::optional<std::vector<MeasurementBundle>> decodeMeasurementBatch(const std::string& bytes);
// The wire bytes of a MeasurementConfig: version, app ID and settings (name, value) in order.
std::string encodeMeasurementConfig(int64_t version, const std::string& appID,
                                    const std::vector<std::pair<std::string, std::string>>& settings);

// Everything the server recorded on the measurement host, decoded.
std::vector<MeasurementUpload> measurementUploads(const Server& server);
std::vector<MeasurementConfigRequest> measurementConfigRequests(const Server& server);

class MeasurementService {
public:
    // The configuration the default answer carries (for the app ID the request names).
    void setConfiguration(int64_t version, std::vector<std::pair<std::string, std::string>> settings = {});
    void setLastModified(std::string lastModified);

    // Scripted answers: queued ones are used one per request, in order; then the standing one, if set;
    // then the default.
    void queueConfigReply(Reply reply);
    void setConfigReply(std::optional<Reply> reply);
    void queueUploadReply(Reply reply);
    void setUploadReply(std::optional<Reply> reply);

    Reply answerConfig(const RecordedRequest& request);
    Reply answerUpload(const RecordedRequest& request);

private:
    std::optional<Reply> scripted(std::deque<Reply>& queue, const std::optional<Reply>& standing);

    std::mutex mutex_;
    int64_t version_ = 1;
    std::vector<std::pair<std::string, std::string>> settings_;
    std::string lastModified_ = "Mon, 01 Jan 2024 10:00:00 GMT";
    std::deque<Reply> configQueue_;
    std::optional<Reply> configStanding_;
    std::deque<Reply> uploadQueue_;
    std::optional<Reply> uploadStanding_;
};

std::shared_ptr<MeasurementService> installMeasurementRoutes(Server& server);

} // namespace devserver
