#include "platform/net/URL.hpp"

#include "platform/foundation/String.hpp"
#include "platform/net/PercentCoding.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace plat {
namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The device refuses these characters anywhere in a URL string.
bool isRefused(unsigned char c) {
    if (c <= 0x20 || c >= 0x7f) {
        return true;
    }
    switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
        return true;
    default:
        return false;
    }
}

bool charactersAcceptable(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (isRefused(c)) {
            return false;
        }
        if (c == '%' && (i + 2 >= text.size() || String::hexDigitValue(text[i + 1]) < 0 ||
                         String::hexDigitValue(text[i + 2]) < 0)) {
            return false;
        }
    }
    return true;
}

// RFC 3986 5.2.4.
std::string removeDotSegments(std::string_view in) {
    std::string input(in);
    std::string output;
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.erase(0, 3);
        } else if (input.starts_with("./")) {
            input.erase(0, 2);
        } else if (input.starts_with("/./")) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.starts_with("/../") || input == "/..") {
            input = input.size() == 3 ? std::string("/") : input.substr(3);
            const auto slash = output.rfind('/');
            output.erase(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            auto next = input.find('/', 1);
            if (next == std::string::npos) {
                next = input.size();
            }
            output += input.substr(0, next);
            input.erase(0, next);
        }
    }
    return output;
}

std::string decodedOrRaw(std::string_view text) {
    auto decoded = net::percentDecode(text);
    return decoded ? *decoded : std::string(text);
}

} // namespace

std::optional<URL> URL::parse(std::string_view text) {
    if (text.empty() || !charactersAcceptable(text)) {
        return std::nullopt;
    }
    URL url;
    url.text_ = std::string(text);
    const std::string& s = url.text_;
    std::size_t pos = 0;

    if (isAlpha(s[0])) {
        std::size_t i = 1;
        while (i < s.size() &&
               (isAlpha(s[i]) || isDigit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.')) {
            ++i;
        }
        if (i < s.size() && s[i] == ':') {
            url.schemeLen_ = i;
            pos = i + 1;
        }
    }

    if (s.compare(pos, 2, "//") == 0) {
        const std::size_t start = pos + 2;
        std::size_t end = s.find_first_of("/?#", start);
        if (end == npos) {
            end = s.size();
        }
        url.authorityPos_ = start;
        url.authorityLen_ = end - start;
        const std::string_view authority(s.data() + start, end - start);
        std::size_t hostStart = 0;
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            url.userInfoLen_ = at;
            hostStart = at + 1;
        }
        std::size_t hostEnd;
        std::size_t portColon = npos;
        if (hostStart < authority.size() && authority[hostStart] == '[') {
            const auto close = authority.find(']', hostStart);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            hostEnd = close + 1;
            if (hostEnd < authority.size()) {
                if (authority[hostEnd] != ':') {
                    return std::nullopt;
                }
                portColon = hostEnd;
            }
        } else {
            const auto colon = authority.find(':', hostStart);
            hostEnd = colon == std::string_view::npos ? authority.size() : colon;
            portColon = colon == std::string_view::npos ? npos : colon;
        }
        if (authority.substr(hostStart, hostEnd - hostStart).find_first_of("[]") != std::string_view::npos &&
            authority[hostStart] != '[') {
            return std::nullopt;
        }
        url.hostPos_ = start + hostStart;
        url.hostLen_ = hostEnd - hostStart;
        if (portColon != npos) {
            const std::string_view port = authority.substr(portColon + 1);
            if (port.size() > 5) {
                return std::nullopt;
            }
            for (char c : port) {
                if (!isDigit(c)) {
                    return std::nullopt;
                }
            }
            if (!port.empty()) {
                if (std::stoi(std::string(port)) > 65535) {
                    return std::nullopt;
                }
                url.portPos_ = start + portColon + 1;
                url.portLen_ = port.size();
            }
        }
        pos = end;
    }

    std::size_t pathEnd = s.find_first_of("?#", pos);
    if (pathEnd == npos) {
        pathEnd = s.size();
    }
    url.pathPos_ = pos;
    url.pathLen_ = pathEnd - pos;
    pos = pathEnd;
    if (pos < s.size() && s[pos] == '?') {
        std::size_t queryEnd = s.find('#', pos + 1);
        if (queryEnd == npos) {
            queryEnd = s.size();
        }
        url.queryPos_ = pos + 1;
        url.queryLen_ = queryEnd - pos - 1;
        pos = queryEnd;
    }
    if (pos < s.size() && s[pos] == '#') {
        url.fragmentPos_ = pos + 1;
    }
    return url;
}

URL URL::file(std::string_view path, bool isDirectory) {
    std::string absolute(path);
    if (absolute.empty() || absolute[0] != '/') {
        std::error_code ec;
        std::string cwd = std::filesystem::current_path(ec).string();
        if (ec) {
            cwd = "/";
        }
        absolute = (std::filesystem::path(cwd) / absolute).string();
    }
    std::string text = "file://" + net::percentEncode(absolute, net::CharacterSet::path);
    if (isDirectory && text.back() != '/') {
        text += '/';
    }
    // Every byte outside the path set was encoded, so the text always parses.
    return *parse(text);
}

std::string_view URL::piece(std::size_t pos, std::size_t len) const {
    return std::string_view(text_).substr(pos, len);
}

std::string_view URL::hostText() const {
    if (hostPos_ == npos) {
        return {};
    }
    auto host = piece(hostPos_, hostLen_);
    if (host.size() >= 2 && host.front() == '[') {
        host = host.substr(1, host.size() - 2);
    }
    return host;
}

std::optional<std::string> URL::scheme() const {
    if (schemeLen_ == npos) {
        return std::nullopt;
    }
    return std::string(piece(0, schemeLen_));
}

std::optional<std::string> URL::host() const {
    if (hostPos_ == npos || hostLen_ == 0) {
        return std::nullopt;
    }
    return decodedOrRaw(hostText());
}

std::optional<int> URL::port() const {
    if (portPos_ == npos) {
        return std::nullopt;
    }
    return std::stoi(std::string(piece(portPos_, portLen_)));
}

std::optional<std::string> URL::user() const {
    if (userInfoLen_ == npos) {
        return std::nullopt;
    }
    const auto info = piece(authorityPos_, userInfoLen_);
    return decodedOrRaw(info.substr(0, info.find(':')));
}

std::optional<std::string> URL::password() const {
    if (userInfoLen_ == npos) {
        return std::nullopt;
    }
    const auto info = piece(authorityPos_, userInfoLen_);
    const auto colon = info.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    return decodedOrRaw(info.substr(colon + 1));
}

std::optional<std::string> URL::authority() const {
    if (authorityPos_ == npos) {
        return std::nullopt;
    }
    return std::string(piece(authorityPos_, authorityLen_));
}

std::string URL::percentEncodedPath() const {
    return std::string(piece(pathPos_, pathLen_));
}

std::string URL::path() const {
    std::string p = decodedOrRaw(piece(pathPos_, pathLen_));
    if (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    return p;
}

bool URL::hasDirectoryPath() const {
    return pathLen_ > 0 && text_[pathPos_ + pathLen_ - 1] == '/';
}

std::optional<std::string> URL::query() const {
    if (queryPos_ == npos) {
        return std::nullopt;
    }
    return std::string(piece(queryPos_, queryLen_));
}

std::optional<std::string> URL::fragment() const {
    if (fragmentPos_ == npos) {
        return std::nullopt;
    }
    return std::string(piece(fragmentPos_, npos));
}

bool URL::isFileURL() const {
    const auto s = scheme();
    return s && String::equalsIgnoringASCIICase(*s, "file");
}

std::string URL::lastPathComponent() const {
    const std::string p = path();
    if (p.empty() || p == "/") {
        return p;
    }
    return p.substr(p.rfind('/') + 1);
}

std::string URL::pathExtension() const {
    const std::string last = lastPathComponent();
    const auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) {
        return {};
    }
    return last.substr(dot + 1);
}

URL URL::appendingPathComponent(std::string_view component, bool isDirectory) const {
    std::string path = percentEncodedPath();
    const bool needsSlash = path.empty() ? hasAuthority() : path.back() != '/';
    if (needsSlash) {
        path += '/';
    }
    std::string_view rest = component;
    while (!rest.empty() && rest.front() == '/' && !path.empty() && path.back() == '/') {
        rest.remove_prefix(1);
    }
    path += net::percentEncode(rest, net::CharacterSet::path);
    if (isDirectory && (path.empty() || path.back() != '/')) {
        path += '/';
    }
    std::string text = text_.substr(0, pathPos_) + path + text_.substr(pathPos_ + pathLen_);
    if (auto url = parse(text)) {
        return *url;
    }
    return *this;
}

URL URL::deletingLastPathComponent() const {
    std::string path = percentEncodedPath();
    if (path.empty() || path == "/") {
        return *this;
    }
    if (path.back() == '/') {
        path.pop_back();
    }
    const auto slash = path.rfind('/');
    path = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    std::string text = text_.substr(0, pathPos_) + path + text_.substr(pathPos_ + pathLen_);
    if (auto url = parse(text)) {
        return *url;
    }
    return *this;
}

std::optional<URL> URL::resolved(const URL& base) const {
    std::optional<std::string> scheme, authority, query;
    std::string path;
    if (isAbsolute()) {
        scheme = this->scheme();
        authority = this->authority();
        path = removeDotSegments(percentEncodedPath());
        query = this->query();
    } else {
        if (hasAuthority()) {
            authority = this->authority();
            path = removeDotSegments(percentEncodedPath());
            query = this->query();
        } else {
            const std::string refPath = percentEncodedPath();
            if (refPath.empty()) {
                path = base.percentEncodedPath();
                query = this->query() ? this->query() : base.query();
            } else {
                if (refPath.front() == '/') {
                    path = removeDotSegments(refPath);
                } else {
                    std::string merged;
                    const std::string basePath = base.percentEncodedPath();
                    if (base.hasAuthority() && basePath.empty()) {
                        merged = "/" + refPath;
                    } else {
                        const auto slash = basePath.rfind('/');
                        merged =
                            (slash == std::string::npos ? std::string() : basePath.substr(0, slash + 1)) +
                            refPath;
                    }
                    path = removeDotSegments(merged);
                }
                query = this->query();
            }
            authority = base.authority();
        }
        scheme = base.scheme();
    }
    std::string text;
    if (scheme) {
        text += *scheme + ":";
    }
    if (authority) {
        text += "//" + *authority;
    }
    text += path;
    if (query) {
        text += "?" + *query;
    }
    if (const auto f = fragment()) {
        text += "#" + *f;
    }
    return parse(text);
}

} // namespace plat
