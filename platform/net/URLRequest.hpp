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

    const std::optional<URL>& url() const { return fields().url; }
    void setURL(std::optional<URL> url) { edit().url = std::move(url); }

    std::string httpMethod() const { return fields().method.value_or("GET"); }
    void setHTTPMethod(std::optional<std::string> method) { edit().method = std::move(method); }

    std::optional<std::string> value(std::string_view field) const { return fields().headers.value(field); }
    bool setValue(std::optional<std::string_view> value, std::string_view field);
    bool addValue(std::string_view value, std::string_view field);
    const HTTPHeaderFields& allHTTPHeaderFields() const { return fields().headers; }
    bool setAllHTTPHeaderFields(const HTTPHeaderFields& fields);

    const std::optional<std::vector<std::uint8_t>>& httpBody() const { return fields().body; }
    void setHTTPBody(std::optional<std::vector<std::uint8_t>> body);
    const std::shared_ptr<InputStream>& httpBodyStream() const { return fields().bodyStream; }
    void setHTTPBodyStream(std::shared_ptr<InputStream> stream);

    URLRequestCachePolicy cachePolicy() const { return fields().cachePolicy; }
    void setCachePolicy(URLRequestCachePolicy p) { edit().cachePolicy = p; }
    double timeoutInterval() const { return fields().timeoutInterval; }
    void setTimeoutInterval(double seconds) { edit().timeoutInterval = seconds; }
    bool httpShouldHandleCookies() const { return fields().shouldHandleCookies; }
    void setHTTPShouldHandleCookies(bool v) { edit().shouldHandleCookies = v; }
    const std::optional<URL>& mainDocumentURL() const { return fields().mainDocumentURL; }
    void setMainDocumentURL(std::optional<URL> url) { edit().mainDocumentURL = std::move(url); }
    bool allowsCellularAccess() const { return fields().allowsCellularAccess; }
    void setAllowsCellularAccess(bool v) { edit().allowsCellularAccess = v; }

    static bool isSafeHeaderText(std::string_view text);

private:
    struct Fields {
        std::optional<URL> url;
        std::optional<std::string> method;
        HTTPHeaderFields headers;
        std::optional<std::vector<std::uint8_t>> body;
        std::shared_ptr<InputStream> bodyStream;
        URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy;
        double timeoutInterval = 60;
        bool shouldHandleCookies = true;
        std::optional<URL> mainDocumentURL;
        bool allowsCellularAccess = true;
    };

    const Fields& fields() const { return fields_ ? *fields_ : defaultFields(); }
    // The fields of this request alone, copied first when another request still shares them.
    Fields& edit();
    static const Fields& defaultFields();

    // Shared by copies until one of them changes: a request is copied at every layer it passes through
    // (session, task, transfer, the HTTP client's request and response), and almost no copy is changed.
    std::shared_ptr<Fields> fields_;
};

} // namespace plat
