#include "platform/net/URLComponents.hpp"

#include "platform/net/PercentCoding.hpp"

namespace plat {
namespace {

std::optional<std::string> decoded(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    auto plain = net::percentDecode(*text);
    return plain ? plain : text;
}

std::optional<std::string> encoded(std::optional<std::string_view> text, net::CharacterSet set) {
    if (!text) {
        return std::nullopt;
    }
    return net::percentEncode(*text, set);
}

bool validScheme(std::string_view s) {
    if (s.empty() || !((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z'))) {
        return false;
    }
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '+' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<URLComponents> URLComponents::make(const URL& url, bool) {
    URLComponents c;
    c.scheme_ = url.scheme();
    if (const auto authority = url.authority()) {
        std::string_view rest = *authority;
        if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
            const auto info = rest.substr(0, at);
            const auto colon = info.find(':');
            c.user_ = std::string(info.substr(0, colon));
            if (colon != std::string_view::npos) {
                c.password_ = std::string(info.substr(colon + 1));
            }
            rest = rest.substr(at + 1);
        }
        std::size_t hostEnd = rest.find(':', rest.starts_with('[') ? rest.find(']') : 0);
        c.host_ = std::string(rest.substr(0, hostEnd));
        c.port_ = url.port();
    }
    c.path_ = url.percentEncodedPath();
    c.query_ = url.query();
    c.fragment_ = url.fragment();
    return c;
}

std::optional<URLComponents> URLComponents::parse(std::string_view text) {
    const auto url = URL::parse(text);
    if (!url) {
        return std::nullopt;
    }
    return make(*url);
}

std::string URLComponents::string() const {
    std::string s;
    if (scheme_) {
        s += *scheme_ + ":";
    }
    if (host_ || user_ || password_ || port_) {
        s += "//";
        if (user_ || password_) {
            s += user_.value_or("");
            if (password_) {
                s += ":" + *password_;
            }
            s += "@";
        }
        s += host_.value_or("");
        if (port_) {
            s += ":" + std::to_string(*port_);
        }
    }
    s += path_;
    if (query_) {
        s += "?" + *query_;
    }
    if (fragment_) {
        s += "#" + *fragment_;
    }
    return s;
}

std::optional<URL> URLComponents::url() const {
    const bool hasAuthority = host_ || user_ || password_ || port_;
    if (hasAuthority && !path_.empty() && path_.front() != '/') {
        return std::nullopt;
    }
    if (!hasAuthority && path_.starts_with("//")) {
        return std::nullopt;
    }
    // A first path segment holding ':' would read back as a scheme.
    if (!scheme_ && !hasAuthority) {
        const auto colon = path_.find(':');
        if (colon != std::string::npos && path_.find('/') > colon) {
            return std::nullopt;
        }
    }
    return URL::parse(string());
}

bool URLComponents::setScheme(std::optional<std::string> scheme) {
    if (scheme && !validScheme(*scheme)) {
        return false;
    }
    scheme_ = std::move(scheme);
    return true;
}

std::optional<std::string> URLComponents::user() const {
    return decoded(user_);
}
void URLComponents::setUser(std::optional<std::string_view> user) {
    user_ = encoded(user, net::CharacterSet::user);
}
std::optional<std::string> URLComponents::password() const {
    return decoded(password_);
}
void URLComponents::setPassword(std::optional<std::string_view> password) {
    password_ = encoded(password, net::CharacterSet::password);
}

std::optional<std::string> URLComponents::host() const {
    auto h = decoded(host_);
    if (h && h->size() >= 2 && h->front() == '[' && h->back() == ']') {
        return h->substr(1, h->size() - 2);
    }
    return h;
}

void URLComponents::setHost(std::optional<std::string_view> host) {
    if (host && host->find(':') != std::string_view::npos && !host->starts_with('[')) {
        // An IPv6 address needs its brackets to survive in the URL text.
        host_ = "[" + net::percentEncode(*host, net::CharacterSet::host) + "]";
        return;
    }
    host_ = encoded(host, net::CharacterSet::host);
}

bool URLComponents::setPort(std::optional<int> port) {
    if (port && (*port < 0 || *port > 65535)) {
        return false;
    }
    port_ = port;
    return true;
}

std::string URLComponents::path() const {
    return decoded(path_).value_or("");
}
void URLComponents::setPath(std::string_view path) {
    path_ = net::percentEncode(path, net::CharacterSet::path);
}
std::optional<std::string> URLComponents::query() const {
    return decoded(query_);
}
void URLComponents::setQuery(std::optional<std::string_view> query) {
    query_ = encoded(query, net::CharacterSet::query);
}
std::optional<std::string> URLComponents::fragment() const {
    return decoded(fragment_);
}
void URLComponents::setFragment(std::optional<std::string_view> fragment) {
    fragment_ = encoded(fragment, net::CharacterSet::fragment);
}

bool URLComponents::setPercentEncodedPath(std::string_view path) {
    if (!net::isPercentEncoded(path, net::CharacterSet::path)) {
        return false;
    }
    path_ = std::string(path);
    return true;
}

bool URLComponents::setPercentEncodedQuery(std::optional<std::string_view> query) {
    if (query && !net::isPercentEncoded(*query, net::CharacterSet::query)) {
        return false;
    }
    query_ = query ? std::optional<std::string>(std::string(*query)) : std::nullopt;
    return true;
}

bool URLComponents::setPercentEncodedFragment(std::optional<std::string_view> fragment) {
    if (fragment && !net::isPercentEncoded(*fragment, net::CharacterSet::fragment)) {
        return false;
    }
    fragment_ = fragment ? std::optional<std::string>(std::string(*fragment)) : std::nullopt;
    return true;
}

bool URLComponents::setPercentEncodedHost(std::optional<std::string_view> host) {
    if (host && !net::isPercentEncoded(*host, net::CharacterSet::host)) {
        return false;
    }
    host_ = host ? std::optional<std::string>(std::string(*host)) : std::nullopt;
    return true;
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
    if (!query_) {
        return std::nullopt;
    }
    std::vector<URLQueryItem> items;
    if (query_->empty()) {
        return items;
    }
    std::string_view rest = *query_;
    while (true) {
        const auto amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        const auto eq = item.find('=');
        URLQueryItem q;
        q.name = decoded(std::string(item.substr(0, eq))).value_or("");
        if (eq != std::string_view::npos) {
            q.value = decoded(std::string(item.substr(eq + 1)));
        }
        items.push_back(std::move(q));
        if (amp == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(amp + 1);
    }
    return items;
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
    if (!items) {
        query_.reset();
        return;
    }
    std::string q;
    for (std::size_t i = 0; i < items->size(); ++i) {
        if (i > 0) {
            q += '&';
        }
        const auto& item = (*items)[i];
        q += net::percentEncode(item.name, net::CharacterSet::queryItem);
        if (item.value) {
            q += '=' + net::percentEncode(*item.value, net::CharacterSet::queryItem);
        }
    }
    query_ = std::move(q);
}

} // namespace plat
