#pragma once
// The log-collection service on logs.example.test: POST "/log" takes a gzip-compressed LogRequest, keeps
// what it carried (decoded with nanopb alone, without the client's 1 MiB field limit, since a rolled-over log
// file passes it) and answers 200. Any answer can be scripted for the next posts (status, delay, drop).

#include "devserver/Route.hpp"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace devserver {

class Server;

inline constexpr const char* kLogHost = "logs.example.test";

// What one post carried; `decoded` is false when the body was no gzip-compressed LogRequest.
struct ReceivedLogRequest {
    bool decoded = false;
    std::optional<int32_t> logSource;
    std::optional<uint32_t> clientType;
    std::string osVersion;
    std::string applicationBuild;
    std::string installIdentifier;
    std::vector<std::string> serializedLogEvents; // the log files as posted
};

class LogService {
public:
    std::vector<ReceivedLogRequest> received() const;
    // The next post gets `reply` instead of 200; scripts are used once, oldest first.
    void scriptNext(Reply reply);
    Reply answer(const RecordedRequest& request);

    // Exposed for tests: the reading of one uncompressed body.
    static ReceivedLogRequest decode(const std::string& body);

private:
    mutable std::mutex mutex_;
    std::vector<ReceivedLogRequest> received_;
    std::deque<Reply> scripts_;
};

std::shared_ptr<LogService> installLogRoutes(Server& server);

} // namespace devserver
