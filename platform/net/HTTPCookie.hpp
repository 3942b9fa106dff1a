#pragma once
// One HTTP cookie (RFC 6265), as parsed from Set-Cookie fields or made from properties. As on the
// device, a domain cookie's domain starts with '.'; a host-only cookie's domain is the bare host.

#include "platform/net/HTTPHeaderFields.hpp"
#include "platform/net/URL.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class HTTPCookie {
public:
    struct Properties {
        std::string name;
        std::string value;
        // ".example.test" for a domain cookie, "host.example.test" for a host-only one; when empty, the
        // host of originURL (host-only).
        std::string domain;
        std::optional<URL> originURL{};
        std::string path = "/";
        // Seconds since 1970; none for a session cookie.
        std::optional<double> expiresDate{};
        bool secure = false;
        bool httpOnly = false;
        // "lax", "strict" or "none" as given by the server; none when absent.
        std::optional<std::string> sameSitePolicy{};
    };

    // None for an empty name, a name or value that would not survive a Cookie header (';', CR, LF,
    // NUL, or '=' in the name), no domain, or a path that does not start with '/'.
    static std::optional<HTTPCookie> make(const Properties& properties);

    // Every cookie of the response's Set-Cookie fields (repeated fields joined with ", " are split
    // again) that the URL may set; malformed ones and ones for a foreign or public-suffix domain are
    // dropped. Expired cookies are kept: storing them deletes the cookie they name.
    static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(const HTTPHeaderFields& headers,
                                                                   const URL& url);
    // One Set-Cookie value received from `url`.
    static std::optional<HTTPCookie> parseSetCookie(std::string_view setCookie, const URL& url);
    // {"Cookie": "a=1; b=2"} in the order given; empty for no cookies.
    static HTTPHeaderFields requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies);

    const std::string& name() const { return name_; }
    const std::string& value() const { return value_; }
    const std::string& domain() const { return domain_; }
    const std::string& path() const { return path_; }
    const std::optional<double>& expiresDate() const { return expiresDate_; }
    bool isSecure() const { return secure_; }
    bool isHTTPOnly() const { return httpOnly_; }
    bool isSessionOnly() const { return !expiresDate_; }
    bool isHostOnly() const { return domain_.empty() || domain_.front() != '.'; }
    const std::optional<std::string>& sameSitePolicy() const { return sameSite_; }
    // plat::Clock time the cookie was made; the order of cookies sent relies on it.
    double creationTime() const { return creationTime_; }

    bool isExpired(double now) const { return expiresDate_ && *expiresDate_ <= now; }
    // Same name, domain (case-insensitive) and path: the second replaces the first in a store.
    bool sameIdentity(const HTTPCookie& other) const;
    // RFC 6265 domain-match, path-match and the secure flag against a URL; expiry is not looked at.
    bool matches(const URL& url) const;

    friend bool operator==(const HTTPCookie&, const HTTPCookie&) = default;

    // For the store: the creation time of a replaced cookie carries over to its replacement.
    void setCreationTime(double t) { creationTime_ = t; }

private:
    HTTPCookie() = default;
    std::string name_;
    std::string value_;
    std::string domain_;
    std::string path_ = "/";
    std::optional<double> expiresDate_;
    bool secure_ = false;
    bool httpOnly_ = false;
    std::optional<std::string> sameSite_;
    double creationTime_ = 0;
};

namespace cookie_rules {
// Lower-case host of a URL (IP literals without brackets); empty when it has none.
std::string canonicalHost(const URL& url);
// RFC 6265 5.1.3: the host equals the domain, or ends with "." + domain and is not an IP address.
bool domainMatches(std::string_view host, std::string_view domain);
// RFC 6265 5.1.4.
bool pathMatches(std::string_view requestPath, std::string_view cookiePath);
std::string defaultPath(const URL& url);
// Through libpsl, with the implicit "*" rule, so an unlisted top-level domain counts as a suffix.
bool isPublicSuffix(std::string_view domain);
// The registrable domain (public suffix plus one label); the host itself when there is none.
std::string registrableDomain(std::string_view host);
// RFC 6265 5.1.1 cookie-date; seconds since 1970.
std::optional<double> parseCookieDate(std::string_view text);
} // namespace cookie_rules

} // namespace plat
