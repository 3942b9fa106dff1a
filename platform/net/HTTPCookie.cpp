#include "platform/net/HTTPCookie.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/String.hpp"

#include <arpa/inet.h>
#include <libpsl.h>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace plat {
namespace {

bool isIPAddress(std::string_view host) {
    const std::string h(host);
    unsigned char buffer[16];
    return inet_pton(AF_INET, h.c_str(), buffer) == 1 || inet_pton(AF_INET6, h.c_str(), buffer) == 1;
}

bool hasControl(std::string_view s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 && u != '\t') {
            return true;
        }
        if (u == 0x7f) {
            return true;
        }
    }
    return false;
}

const psl_ctx_t* pslContext() {
    // Read-only once loaded, so one context serves every thread.
    static const psl_ctx_t* const context = [] {
        const psl_ctx_t* ctx = psl_latest(nullptr);
        return ctx ? ctx : psl_builtin();
    }();
    return context;
}

bool isDigits(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// The 1 to `max` leading digits of a cookie-date token (at least `min`), and how many there were.
struct Leading {
    int value;
    std::size_t digits;
};
std::optional<Leading> leadingNumber(std::string_view token, std::size_t min, std::size_t max) {
    std::size_t n = 0;
    while (n < token.size() && std::isdigit(static_cast<unsigned char>(token[n]))) {
        ++n;
    }
    if (n < min || n > max) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        value = value * 10 + (token[i] - '0');
    }
    return Leading{value, n};
}

bool isDateDelimiter(unsigned char c) {
    return c == 0x09 || (c >= 0x20 && c <= 0x2f) || (c >= 0x3b && c <= 0x40) || (c >= 0x5b && c <= 0x60) ||
           (c >= 0x7b && c <= 0x7e);
}

// A comma inside "Expires=Wed, 09 Jun 2021 ..." belongs to the date, not between two cookies.
bool commaBelongsToDate(std::string_view attributeSoFar) {
    const std::string a = String::lowercasedASCII(String::trimmingSpacesAndTabs(attributeSoFar));
    if (!a.starts_with("expires")) {
        return false;
    }
    const auto eq = a.find('=');
    if (eq == std::string::npos ||
        String::trimmingSpacesAndTabs(std::string_view(a).substr(7, eq - 7)).size() != 0) {
        return false;
    }
    const std::string_view day = String::trimmingSpacesAndTabs(std::string_view(a).substr(eq + 1));
    if (day.size() < 3) {
        return false;
    }
    for (char c : day) {
        if (c < 'a' || c > 'z') {
            return false;
        }
    }
    return true;
}

// After a comma, another cookie starts only with "name=": a comma inside a value ("a=x,y") stays.
bool startsCookie(std::string_view rest) {
    rest = String::trimmingSpacesAndTabs(rest);
    const auto end = rest.find_first_of("=;,");
    if (end == std::string_view::npos || end == 0 || rest[end] != '=') {
        return false;
    }
    return String::trimmingSpacesAndTabs(rest.substr(0, end)).find_first_of(" \t") == std::string_view::npos;
}

std::vector<std::string_view> splitSetCookieList(std::string_view joined) {
    std::vector<std::string_view> out;
    std::size_t cookieStart = 0;
    std::size_t attributeStart = 0;
    for (std::size_t i = 0; i < joined.size(); ++i) {
        if (joined[i] == ';') {
            attributeStart = i + 1;
        } else if (joined[i] == ',' &&
                   !commaBelongsToDate(joined.substr(attributeStart, i - attributeStart)) &&
                   startsCookie(joined.substr(i + 1))) {
            out.push_back(String::trimmingSpacesAndTabs(joined.substr(cookieStart, i - cookieStart)));
            cookieStart = attributeStart = i + 1;
        }
    }
    out.push_back(String::trimmingSpacesAndTabs(joined.substr(cookieStart)));
    return out;
}

} // namespace

namespace cookie_rules {

std::string canonicalHost(const URL& url) {
    return String::lowercasedASCII(url.host().value_or(""));
}

bool domainMatches(std::string_view host, std::string_view domain) {
    if (domain.empty()) {
        return false;
    }
    if (host == domain) {
        return true;
    }
    return host.size() > domain.size() && host.ends_with(domain) &&
           host[host.size() - domain.size() - 1] == '.' && !isIPAddress(host);
}

bool pathMatches(std::string_view requestPath, std::string_view cookiePath) {
    if (requestPath == cookiePath) {
        return true;
    }
    if (!requestPath.starts_with(cookiePath)) {
        return false;
    }
    return cookiePath.ends_with('/') || requestPath[cookiePath.size()] == '/';
}

std::string defaultPath(const URL& url) {
    const std::string path = url.percentEncodedPath();
    if (path.empty() || path.front() != '/') {
        return "/";
    }
    const auto last = path.rfind('/');
    return last == 0 ? std::string("/") : path.substr(0, last);
}

bool isPublicSuffix(std::string_view domain) {
    const std::string d = String::lowercasedASCII(domain);
    const psl_ctx_t* psl = pslContext();
    if (!psl) {
        // Without a suffix list only single labels are known to be suffixes.
        return d.find('.') == std::string::npos;
    }
    return psl_is_public_suffix2(psl, d.c_str(), PSL_TYPE_ANY) != 0;
}

std::string registrableDomain(std::string_view host) {
    const std::string h = String::lowercasedASCII(host);
    const psl_ctx_t* psl = pslContext();
    if (psl && !isIPAddress(h)) {
        if (const char* reg = psl_registrable_domain(psl, h.c_str())) {
            return reg;
        }
    }
    return h;
}

std::optional<double> parseCookieDate(std::string_view text) {
    static constexpr const char* months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                             "jul", "aug", "sep", "oct", "nov", "dec"};
    std::optional<int> hour, minute, second, day, month, year;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isDateDelimiter(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        std::size_t end = i;
        while (end < text.size() && !isDateDelimiter(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        const std::string_view token = text.substr(i, end - i);
        i = end;
        if (token.empty()) {
            continue;
        }
        if (!hour) {
            // 1*2DIGIT ":" 1*2DIGIT ":" 1*2DIGIT ( non-digit *OCTET )
            std::string_view rest = token;
            int parts[3];
            bool ok = true;
            for (int k = 0; k < 3 && ok; ++k) {
                const auto n = leadingNumber(rest, 1, 2);
                if (!n) {
                    ok = false;
                    break;
                }
                parts[k] = n->value;
                rest.remove_prefix(n->digits);
                if (k < 2) {
                    ok = rest.starts_with(':');
                    if (ok) {
                        rest.remove_prefix(1);
                    }
                }
            }
            if (ok) {
                hour = parts[0];
                minute = parts[1];
                second = parts[2];
                continue;
            }
        }
        if (!day) {
            if (const auto n = leadingNumber(token, 1, 2)) {
                day = n->value;
                continue;
            }
        }
        if (!month && token.size() >= 3) {
            const std::string prefix = String::lowercasedASCII(token.substr(0, 3));
            bool found = false;
            for (int m = 0; m < 12; ++m) {
                if (prefix == months[m]) {
                    month = m + 1;
                    found = true;
                    break;
                }
            }
            if (found) {
                continue;
            }
        }
        if (!year) {
            if (const auto n = leadingNumber(token, 2, 4)) {
                year = n->value;
                continue;
            }
        }
    }
    if (!hour || !day || !month || !year) {
        return std::nullopt;
    }
    int y = *year;
    if (y >= 70 && y <= 99) {
        y += 1900;
    } else if (y >= 0 && y <= 69) {
        y += 2000;
    }
    if (*day < 1 || *day > 31 || y < 1601 || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = *month - 1;
    tm.tm_mday = *day;
    tm.tm_hour = *hour;
    tm.tm_min = *minute;
    tm.tm_sec = *second;
    const time_t t = timegm(&tm);
    // timegm rolls 31 Feb over into March; such a date is not a date.
    std::tm check{};
    gmtime_r(&t, &check);
    if (check.tm_mday != *day || check.tm_mon != *month - 1) {
        return std::nullopt;
    }
    return static_cast<double>(t);
}

} // namespace cookie_rules

std::optional<HTTPCookie> HTTPCookie::make(const Properties& p) {
    if (p.name.empty() || p.name.find_first_of(";=") != std::string::npos || hasControl(p.name) ||
        p.value.find(';') != std::string::npos || hasControl(p.value)) {
        return std::nullopt;
    }
    std::string domain = String::lowercasedASCII(p.domain);
    if (domain.empty() && p.originURL) {
        domain = cookie_rules::canonicalHost(*p.originURL);
    }
    if (domain.empty() || domain == "." || hasControl(domain) || p.path.empty() || p.path.front() != '/' ||
        hasControl(p.path) || p.path.find(';') != std::string::npos) {
        return std::nullopt;
    }
    HTTPCookie c;
    c.name_ = p.name;
    c.value_ = p.value;
    c.domain_ = std::move(domain);
    c.path_ = p.path;
    c.expiresDate_ = p.expiresDate;
    c.secure_ = p.secure;
    c.httpOnly_ = p.httpOnly;
    c.sameSite_ = p.sameSitePolicy;
    c.creationTime_ = Clock::now();
    return c;
}

std::optional<HTTPCookie> HTTPCookie::parseSetCookie(std::string_view setCookie, const URL& url) {
    const std::string host = cookie_rules::canonicalHost(url);
    if (host.empty()) {
        return std::nullopt;
    }
    const auto semicolon = setCookie.find(';');
    const std::string_view pair = setCookie.substr(0, semicolon);
    const auto eq = pair.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    Properties p;
    p.name = std::string(String::trimmingSpacesAndTabs(pair.substr(0, eq)));
    p.value = std::string(String::trimmingSpacesAndTabs(pair.substr(eq + 1)));
    p.path = cookie_rules::defaultPath(url);

    std::optional<double> expires;
    std::optional<double> maxAgeExpiry;
    std::optional<std::string> domainAttribute;
    std::string_view rest =
        semicolon == std::string_view::npos ? std::string_view() : setCookie.substr(semicolon + 1);
    while (!rest.empty()) {
        const auto next = rest.find(';');
        const std::string_view attribute = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        const auto aeq = attribute.find('=');
        const std::string key =
            String::lowercasedASCII(String::trimmingSpacesAndTabs(attribute.substr(0, aeq)));
        const std::string_view value = aeq == std::string_view::npos
                                           ? std::string_view()
                                           : String::trimmingSpacesAndTabs(attribute.substr(aeq + 1));
        if (key == "expires") {
            if (auto t = cookie_rules::parseCookieDate(value)) {
                expires = t;
            }
        } else if (key == "max-age") {
            const bool negative = value.starts_with('-');
            const std::string_view digits = negative ? value.substr(1) : value;
            if (isDigits(digits)) {
                // Capped instead of overflowing: a cookie meant to live for ages still gets a finite date
                // that survives being stored.
                constexpr double kLongest = 1e12;
                double seconds = 0;
                for (char c : digits) {
                    seconds = std::min(seconds * 10 + (c - '0'), kLongest);
                }
                maxAgeExpiry = (negative || seconds == 0) ? 0.0 : Clock::now() + seconds;
            }
        } else if (key == "domain") {
            std::string_view d = value;
            if (d.starts_with('.')) {
                d.remove_prefix(1);
            }
            if (!d.empty()) {
                domainAttribute = String::lowercasedASCII(d);
            }
        } else if (key == "path") {
            if (!value.empty() && value.front() == '/') {
                p.path = std::string(value);
            }
        } else if (key == "secure") {
            p.secure = true;
        } else if (key == "httponly") {
            p.httpOnly = true;
        } else if (key == "samesite") {
            const std::string policy = String::lowercasedASCII(value);
            if (policy == "lax" || policy == "strict" || policy == "none") {
                p.sameSitePolicy = policy;
            }
        }
    }
    p.expiresDate = maxAgeExpiry ? maxAgeExpiry : expires;

    if (domainAttribute && isIPAddress(host)) {
        // An address has no sub-domains: naming it keeps the cookie to it, naming anything else fails.
        if (*domainAttribute != host) {
            return std::nullopt;
        }
        domainAttribute.reset();
    }
    if (domainAttribute) {
        if (cookie_rules::isPublicSuffix(*domainAttribute)) {
            // A server may name its own host even when that host is a suffix; the cookie then stays
            // host-only.
            if (*domainAttribute != host) {
                return std::nullopt;
            }
            domainAttribute.reset();
        }
    }
    if (domainAttribute) {
        if (!cookie_rules::domainMatches(host, *domainAttribute)) {
            return std::nullopt;
        }
        p.domain = "." + *domainAttribute;
    } else {
        p.domain = host;
    }
    return make(p);
}

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(const HTTPHeaderFields& headers,
                                                                    const URL& url) {
    std::vector<HTTPCookie> out;
    const auto joined = headers.value("Set-Cookie");
    if (!joined) {
        return out;
    }
    for (const auto piece : splitSetCookieList(*joined)) {
        if (auto cookie = parseSetCookie(piece, url)) {
            out.push_back(std::move(*cookie));
        }
    }
    return out;
}

HTTPHeaderFields HTTPCookie::requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies) {
    HTTPHeaderFields fields;
    if (cookies.empty()) {
        return fields;
    }
    std::string header;
    for (const auto& c : cookies) {
        if (!header.empty()) {
            header += "; ";
        }
        header += c.name() + "=" + c.value();
    }
    fields.set("Cookie", header);
    return fields;
}

bool HTTPCookie::sameIdentity(const HTTPCookie& other) const {
    return name_ == other.name_ && path_ == other.path_ &&
           HTTPHeaderFields::namesEqual(domain_, other.domain_);
}

bool HTTPCookie::matches(const URL& url) const {
    const std::string host = cookie_rules::canonicalHost(url);
    if (host.empty()) {
        return false;
    }
    if (isHostOnly()) {
        if (host != domain_) {
            return false;
        }
    } else if (!cookie_rules::domainMatches(host, std::string_view(domain_).substr(1))) {
        return false;
    }
    const std::string encodedPath = url.percentEncodedPath();
    const std::string_view path = encodedPath.empty() ? std::string_view("/") : std::string_view(encodedPath);
    if (!cookie_rules::pathMatches(path, path_)) {
        return false;
    }
    if (secure_) {
        const std::string scheme = String::lowercasedASCII(url.scheme().value_or(""));
        if (scheme != "https" && scheme != "wss") {
            return false;
        }
    }
    return true;
}

} // namespace plat
