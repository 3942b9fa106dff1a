#pragma once
// The crash report service on reports.example.test: "POST /sdk-api/v1/platforms/ios/apps/<bundle>/reports"
// takes one multipart report package (the boundary from its Content-Type; 400 without one or for a body that
// is not such a form), gunzips its "application/x-gzip" parts and keeps each report for tests to read back,
// answering 200 "application/json" `{}`. Tests script the next answers (any status, headers, content type,
// body, delay, a dropped or stalled connection) with `scriptNext`; a scripted answer is given after the
// report was read and recorded, so a test sees what the client sent whatever it was told.

#include "devserver/MultipartForm.hpp"
#include "devserver/Route.hpp"

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

inline constexpr const char* kCrashReportsHost = "reports.example.test";
inline constexpr const char* kCrashReportsPathPrefix = "/sdk-api/v1/platforms/ios/apps/";

class CrashReportService {
public:
    struct ReportPart {
        std::string fieldName;
        std::optional<std::string> fileName;
        std::string contentType;
        std::string bytes; // gunzipped for "application/x-gzip" parts, else as sent
    };
    // One upload as the service saw it.
    struct Report {
        std::string bundle; // decoded from the path
        std::vector<std::pair<std::string, std::string>> headers; // names lower-case, in order
        std::string body;
        int status = 0;
        std::string problem; // why the body was refused
        std::optional<std::string> apiKey;
        std::optional<std::string> reportId;
        std::vector<ReportPart> parts;
        // The first part of that field name, or null.
        const ReportPart* part(const std::string& fieldName) const;
    };

    std::vector<Report> reports() const;
    // The next request gets `reply` instead of the service's own answer (queued in order).
    void scriptNext(Reply reply);

    Reply receive(const RecordedRequest& request);

private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
    std::deque<Reply> scripted_;
};

std::shared_ptr<CrashReportService> installCrashReportRoutes(Server& server);

} // namespace devserver
