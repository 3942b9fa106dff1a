#include "platform/net/URLSessionSupport.hpp"

#include "platform/foundation/String.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/security/SecCertificate.hpp"
#include "platform/security/SecPolicy.hpp"
#include "platform/security/SecTrust.hpp"

namespace plat::session_support {

std::shared_ptr<SecTrust> makeServerTrust(const ServerTrustQuery& query) {
    std::vector<std::shared_ptr<SecCertificate>> chain;
    for (const auto& der : query.chain) {
        auto cert = SecCertificate::createWithData(der);
        if (!cert)
            return nullptr;
        chain.push_back(std::move(cert));
    }
    auto created = SecTrust::create(std::move(chain), {SecPolicy::ssl(true, query.host)});
    return created.status == errSecSuccess ? created.trust : nullptr;
}

bool evaluateServerTrust(const std::shared_ptr<SecTrust>& trust) {
    if (!trust)
        return false;
    const auto evaluation = trust->evaluate();
    return evaluation.status == errSecSuccess && (evaluation.result == SecTrustResultType::unspecified ||
                                                  evaluation.result == SecTrustResultType::proceed);
}

namespace {

bool cookiesApply(const URLSessionConfiguration& configuration, const URLRequest& request) {
    return configuration.httpCookieStorage && configuration.httpShouldSetCookies &&
           request.httpShouldHandleCookies() && request.url();
}

} // namespace

std::optional<std::string> cookieHeader(const URLSessionConfiguration& configuration,
                                        const URLRequest& request) {
    if (!cookiesApply(configuration, request))
        return std::nullopt;
    const auto cookies = configuration.httpCookieStorage->cookies(*request.url());
    if (cookies.empty())
        return std::nullopt;
    return HTTPCookie::requestHeaderFieldsWithCookies(cookies).value("Cookie");
}

void storeCookies(const URLSessionConfiguration& configuration, const URLRequest& request,
                  const WireHeaders& headers) {
    if (!cookiesApply(configuration, request) ||
        configuration.httpCookieAcceptPolicy == HTTPCookieAcceptPolicy::never)
        return;
    const URL& url = *request.url();
    std::vector<HTTPCookie> cookies;
    // Each Set-Cookie line on its own: joined with ", " they would be split again at the commas of dates.
    for (const auto& [name, value] : headers) {
        if (!HTTPHeaderFields::namesEqual(name, "Set-Cookie"))
            continue;
        for (auto& c :
             HTTPCookie::cookiesWithResponseHeaderFields(HTTPHeaderFields{{"Set-Cookie", value}}, url))
            cookies.push_back(std::move(c));
    }
    if (cookies.empty())
        return;
    std::optional<URL> mainDocument;
    if (configuration.httpCookieAcceptPolicy == HTTPCookieAcceptPolicy::onlyFromMainDocumentDomain)
        mainDocument = request.mainDocumentURL();
    configuration.httpCookieStorage->setCookies(cookies, url, mainDocument);
}

std::optional<ProxyEndpoint> proxyFor(const URLSessionConfiguration& configuration, const URL& url) {
    const Dictionary& proxies = configuration.connectionProxyDictionary;
    if (proxies.empty())
        return std::nullopt;
    const std::string scheme = String::lowercasedASCII(url.scheme().value_or(""));
    const bool secure = scheme == "https";
    if (!secure && scheme != "http")
        return std::nullopt;
    const Value* enabled = proxies.find(secure ? "HTTPSEnable" : "HTTPEnable");
    const Value* host = proxies.find(secure ? "HTTPSProxy" : "HTTPProxy");
    if (!enabled || !enabled->boolValue() || !host || !host->isString())
        return std::nullopt;
    ProxyEndpoint proxy;
    proxy.host = host->stringValue();
    proxy.port = secure ? 443 : 80;
    // The host goes into a URL for the transport: anything that could change that URL's meaning is refused.
    if (proxy.host.empty() || proxy.host.find_first_of("/?#@ \t\r\n[]") != std::string::npos)
        return std::nullopt;
    if (const Value* port = proxies.find(secure ? "HTTPSPort" : "HTTPPort")) {
        const int64_t p = port->integerValue();
        if (p < 1 || p > 65535)
            return std::nullopt;
        proxy.port = static_cast<int>(p);
    }
    return proxy;
}

std::shared_ptr<HTTPCookieStorage> sharedCookieStorage() {
    return HTTPCookieStorage::sharedPointer();
}

std::shared_ptr<HTTPCookieStorage> makePrivateCookieStorage() {
    return std::make_shared<HTTPCookieStorage>();
}

} // namespace plat::session_support
