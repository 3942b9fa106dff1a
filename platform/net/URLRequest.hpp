#pragma once
// A URL load request: URL, method, header fields, body and the load options the session reads.

#include "platform/net/HTTPHeaderFields.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class InputStream;

enum class URLRequestCachePolicy : unsigned {
    useProtocolCachePolicy = 0,
    reloadIgnoringLocalCacheData = 1,
    returnCacheDataElseLoad = 2,
    returnCacheDataDontLoad = 3,
    reloadIgnoringLocalAndRemoteCacheData = 4,
    reloadRevalidatingCacheData = 5,
};

class URLRequest {
public:
    URLRequest() = default;
    explicit URLRequest(std::optional<URL> url,
                        URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy,
                        double timeoutInterval = 60);

    const std::optional<URL>& url() const { return url_; }
    void setURL(std::optional<URL> url) { url_ = std::move(url); }

    // "GET" unless a method was set.
    std::string httpMethod() const { return method_.value_or("GET"); }
    void setHTTPMethod(std::optional<std::string> method) { method_ = std::move(method); }

    std::optional<std::string> value(std::string_view field) const { return headers_.value(field); }
    // Names or values holding CR, LF or NUL are refused: false, request unchanged.
    // A none value removes the field.
    bool setValue(std::optional<std::string_view> value, std::string_view field);
    bool addValue(std::string_view value, std::string_view field);
    const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }
    // Replaces every field; refused as a whole when any name or value is unsafe.
    bool setAllHTTPHeaderFields(const HTTPHeaderFields& fields);

    // Body and body stream exclude each other: setting one clears the other.
    const std::optional<std::vector<std::uint8_t>>& httpBody() const { return body_; }
    void setHTTPBody(std::optional<std::vector<std::uint8_t>> body);
    const std::shared_ptr<InputStream>& httpBodyStream() const { return bodyStream_; }
    void setHTTPBodyStream(std::shared_ptr<InputStream> stream);

    URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(URLRequestCachePolicy p) { cachePolicy_ = p; }
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    bool httpShouldHandleCookies() const { return shouldHandleCookies_; }
    void setHTTPShouldHandleCookies(bool v) { shouldHandleCookies_ = v; }
    const std::optional<URL>& mainDocumentURL() const { return mainDocumentURL_; }
    void setMainDocumentURL(std::optional<URL> url) { mainDocumentURL_ = std::move(url); }
    bool allowsCellularAccess() const { return allowsCellularAccess_; }
    void setAllowsCellularAccess(bool v) { allowsCellularAccess_ = v; }

    static bool isSafeHeaderText(std::string_view text);

private:
    std::optional<URL> url_;
    std::optional<std::string> method_;
    HTTPHeaderFields headers_;
    std::optional<std::vector<std::uint8_t>> body_;
    std::shared_ptr<InputStream> bodyStream_;
    URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::useProtocolCachePolicy;
    double timeoutInterval_ = 60;
    bool shouldHandleCookies_ = true;
    std::optional<URL> mainDocumentURL_;
    bool allowsCellularAccess_ = true;
};

} // namespace plat
