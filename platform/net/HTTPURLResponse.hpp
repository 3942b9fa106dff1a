#pragma once
// The response head of an HTTP load: URL, status, header fields and what the device derives from them.

#include "platform/net/HTTPHeaderFields.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class HTTPURLResponse {
public:
    // Repeated fields are joined with ", " in the order received.
    HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaderFields headerFields);

    const URL& url() const { return url_; }
    int statusCode() const { return statusCode_; }
    const std::string& httpVersion() const { return httpVersion_; }
    const HTTPHeaderFields& allHeaderFields() const { return headers_; }
    std::optional<std::string> value(std::string_view field) const { return headers_.value(field); }

    // Content-Length, or -1 when absent or not a number.
    std::int64_t expectedContentLength() const;
    // Content-Type without parameters, lower-case; none when absent.
    std::optional<std::string> mimeType() const;
    // The charset parameter of Content-Type, unquoted.
    std::optional<std::string> textEncodingName() const;
    // Content-Disposition's filename, else the URL's last path component, else "Unknown".
    std::string suggestedFilename() const;

private:
    URL url_;
    int statusCode_;
    std::string httpVersion_;
    HTTPHeaderFields headers_;
};

} // namespace plat
