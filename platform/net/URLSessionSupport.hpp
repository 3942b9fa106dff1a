#pragma once
// Internal: what URL loading needs from the rest of the platform, in one place: server-trust objects and
// their default evaluation, the cookies sent and stored on each hop, and the proxy a hop goes through.

#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSessionConfiguration.hpp"
#include "platform/net/WireTransport.hpp"

#include <memory>
#include <optional>
#include <string>

namespace plat {

class SecTrust;

namespace session_support {

// A trust for the presented chain with an SSL server policy for the host (none when the chain does not
// parse).
std::shared_ptr<SecTrust> makeServerTrust(const ServerTrustQuery& query);
// The device's default handling: system CAs plus PORTAL_APP_CA_FILE, host name checked.
bool evaluateServerTrust(const std::shared_ptr<SecTrust>& trust);

// The Cookie header for a hop, when cookies apply and some match.
std::optional<std::string> cookieHeader(const URLSessionConfiguration& configuration,
                                        const URLRequest& request);
// Stores the response's Set-Cookie fields when cookies apply.
void storeCookies(const URLSessionConfiguration& configuration, const URLRequest& request,
                  const WireHeaders& headers);

// The proxy a hop to `url` goes through, from the configuration's connectionProxyDictionary.
struct ProxyEndpoint {
    std::string host;
    int port = 80;
};
std::optional<ProxyEndpoint> proxyFor(const URLSessionConfiguration& configuration, const URL& url);

std::shared_ptr<HTTPCookieStorage> sharedCookieStorage();
std::shared_ptr<HTTPCookieStorage> makePrivateCookieStorage();

} // namespace session_support
} // namespace plat
