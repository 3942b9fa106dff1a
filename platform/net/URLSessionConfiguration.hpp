#pragma once
// What a URLSession is made with: default, ephemeral (private cookie and credential stores) or background
// (an identifier; transfers still run in this process), plus headers, time-outs, stores and limits.
// A session keeps its own copy.

#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/URLCache.hpp"
#include "platform/net/URLCredentialStorage.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace plat {

class URLSessionConfiguration {
public:
    static URLSessionConfiguration defaultConfiguration();
    static URLSessionConfiguration ephemeral();
    static URLSessionConfiguration background(std::string identifier);

    const std::optional<std::string>& identifier() const { return identifier_; }
    bool isEphemeral() const { return ephemeral_; }

    // Header name to value (values are read with stringValue); the request's own fields win.
    Dictionary httpAdditionalHeaders;
    double timeoutIntervalForRequest = 60;
    double timeoutIntervalForResource = 604800;
    // None: the session neither sends nor stores cookies.
    std::shared_ptr<HTTPCookieStorage> httpCookieStorage;
    bool httpShouldSetCookies = true;
    HTTPCookieAcceptPolicy httpCookieAcceptPolicy = HTTPCookieAcceptPolicy::onlyFromMainDocumentDomain;
    std::shared_ptr<URLCredentialStorage> urlCredentialStorage;
    // None: nothing is cached and willCacheResponse is never asked.
    std::shared_ptr<URLCache> urlCache;
    URLRequestCachePolicy requestCachePolicy = URLRequestCachePolicy::useProtocolCachePolicy;
    long httpMaximumConnectionsPerHost = 4;
    bool allowsCellularAccess = true;
    bool discretionary = false;
    bool sessionSendsLaunchEvents = true;
    // Proxies, under the device's keys: "HTTPEnable" (a number, non-zero to use it), "HTTPProxy" (host) and
    // "HTTPPort" (number, 80 when absent) for http URLs; "HTTPSEnable", "HTTPSProxy" and "HTTPSPort" (443)
    // for https URLs, which pass through the proxy in a CONNECT tunnel. Empty: connect directly.
    Dictionary connectionProxyDictionary;
    // Largest response body a data or upload task keeps in memory; a larger one fails with -1103.
    // Download tasks write to disk and are not capped by it.
    int64_t maximumResponseBodyBytes = 256ll * 1024 * 1024;
    // Largest file a download task writes; a larger one fails with -1103 as it arrives and leaves no file
    // (and no resume data). -1, the default: not capped.
    int64_t maximumDownloadBytes = -1;

private:
    std::optional<std::string> identifier_;
    bool ephemeral_ = false;
};

} // namespace plat
