#include "platform/net/HTTPURLResponse.hpp"

#include "platform/foundation/String.hpp"

#include <charconv>

namespace plat {
namespace {

std::string unquote(std::string_view v) {
    v = String::trimmingSpacesAndTabs(v);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
        std::string out;
        for (std::size_t i = 1; i + 1 < v.size(); ++i) {
            if (v[i] == '\\' && i + 2 < v.size()) {
                ++i;
            }
            out += v[i];
        }
        return out;
    }
    return std::string(v);
}

// The value of a ';'-separated parameter of a header such as Content-Type or Content-Disposition.
// Quoted values may hold ';'.
std::optional<std::string> parameter(std::string_view header, std::string_view name) {
    std::size_t i = header.find(';');
    while (i != std::string_view::npos && i < header.size()) {
        std::size_t start = i + 1;
        std::size_t end = start;
        bool quoted = false;
        while (end < header.size() && (quoted || header[end] != ';')) {
            if (header[end] == '"') {
                quoted = !quoted;
            } else if (header[end] == '\\' && quoted) {
                ++end;
            }
            ++end;
        }
        const std::string_view param = header.substr(start, std::min(end, header.size()) - start);
        const auto eq = param.find('=');
        if (eq != std::string_view::npos &&
            String::lowercasedASCII(String::trimmingSpacesAndTabs(param.substr(0, eq))) == name) {
            return unquote(param.substr(eq + 1));
        }
        i = end;
    }
    return std::nullopt;
}

} // namespace

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::string httpVersion,
                                 HTTPHeaderFields headerFields)
    : url_(std::move(url)), statusCode_(statusCode), httpVersion_(std::move(httpVersion)),
      headers_(std::move(headerFields)) {}

std::int64_t HTTPURLResponse::expectedContentLength() const {
    const auto v = headers_.value("Content-Length");
    if (!v) {
        return -1;
    }
    const std::string_view text = String::trimmingSpacesAndTabs(*v);
    std::int64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < 0) {
        return -1;
    }
    return n;
}

std::optional<std::string> HTTPURLResponse::mimeType() const {
    const auto v = headers_.value("Content-Type");
    if (!v) {
        return std::nullopt;
    }
    const std::string_view type = String::trimmingSpacesAndTabs(std::string_view(*v).substr(0, v->find(';')));
    if (type.empty()) {
        return std::nullopt;
    }
    return String::lowercasedASCII(type);
}

std::optional<std::string> HTTPURLResponse::textEncodingName() const {
    const auto v = headers_.value("Content-Type");
    if (!v) {
        return std::nullopt;
    }
    auto charset = parameter(*v, "charset");
    if (!charset || charset->empty()) {
        return std::nullopt;
    }
    return charset;
}

std::string HTTPURLResponse::suggestedFilename() const {
    if (const auto disposition = headers_.value("Content-Disposition")) {
        if (auto name = parameter(*disposition, "filename"); name && !name->empty()) {
            // A server-chosen name must not lead anywhere but into the folder it is saved in.
            const auto slash = name->find_last_of("/\\");
            std::string base = slash == std::string::npos ? *name : name->substr(slash + 1);
            if (!base.empty() && base != "." && base != "..") {
                return base;
            }
        }
    }
    const std::string last = url_.lastPathComponent();
    if (!last.empty() && last != "/") {
        return last;
    }
    return "Unknown";
}

} // namespace plat
