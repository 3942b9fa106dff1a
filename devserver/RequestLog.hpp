#pragma once
// The --log file: one JSON object per received request, appended as it arrives,
// so a demo script or an acceptance test can read what the app sent.

#include "devserver/Route.hpp"

#include <fstream>
#include <string>
#include <string_view>

namespace devserver {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

std::string base64Encode(std::string_view bytes);

// {"seq":..,"method":..,"host":..,"path":..,"query":..,"headers":{..},"body":..} on one line,
// with "body_base64" for a body that is not UTF-8, and "body_size" (plus "body_sha256")
// in place of the body when the route did not record it.
std::string logLine(const RecordedRequest& request);

// Not thread-safe: the server appends under its recording lock.
class RequestLog {
public:
    // Opens `path` for appending; on failure returns false and sets `error`.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return out_.is_open(); }
    void append(const RecordedRequest& request);
    void close();

private:
    std::ofstream out_;
};

} // namespace devserver
