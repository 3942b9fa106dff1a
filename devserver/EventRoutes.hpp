#pragma once
// The events service on events.example.test: POST "/spi/v2/events" takes a multipart body whose part is a
// gzip-compressed event log, splits the log into its records (time, name, payload length, JSON payload),
// marks a record whose length field does not match its payload's bytes, keeps each upload for the tests and
// answers 200 "application/json" "{}". Any answer can be scripted for the next posts (status, headers such as
// "Retry-After", a delay, a dropped connection).

#include "devserver/Route.hpp"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devserver {

class Server;

inline constexpr const char* kEventsHost = "events.example.test";
inline constexpr const char* kEventsPath = "/spi/v2/events";

// One line of an event log.
struct EventRecord {
    std::string time; // milliseconds since 1970, as written
    std::string name;
    std::string length; // the length field, as written
    std::string json;
    bool lengthMatches = false; // the length field equals the payload's byte count
};

// One part of a multipart body.
struct MultipartPart {
    std::string name;     // the Content-Disposition name
    std::string filename; // empty without one
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers; // as written, in order
    std::string body;
};

struct ReceivedEventUpload {
    std::vector<std::pair<std::string, std::string>> headers; // the request's, names lower-case, in order
    bool decoded = false;   // one multipart part that gunzipped
    std::string partName;   // the part's field name
    std::string partFilename;
    std::string partContentType;
    std::string log;        // the gunzipped part
    std::vector<EventRecord> records;
};

class EventService {
public:
    std::vector<ReceivedEventUpload> received() const;
    // The next post gets `reply` instead of 200; scripts are used once, oldest first.
    void scriptNext(Reply reply);
    Reply answer(const RecordedRequest& request);

    // Exposed for tests. None when the body is not multipart with that boundary.
    static std::optional<std::vector<MultipartPart>> parseMultipart(std::string_view body, std::string_view boundary);
    static std::optional<std::string> boundaryFromContentType(std::string_view contentType);
    static std::optional<std::string> gunzip(std::string_view bytes);
    static std::vector<EventRecord> splitLog(std::string_view log);
    static ReceivedEventUpload decode(const RecordedRequest& request);

private:
    mutable std::mutex mutex_;
    std::vector<ReceivedEventUpload> received_;
    std::deque<Reply> scripts_;
};

std::shared_ptr<EventService> installEventRoutes(Server& server);

} // namespace devserver
