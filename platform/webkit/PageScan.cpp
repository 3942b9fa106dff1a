#include "platform/webkit/PageScan.hpp"

#include "platform/foundation/String.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

namespace plat {
namespace {

std::string decodeEntities(std::string_view s) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < s.size();) {
        bool matched = false;
        if (s[i] == '&') {
            for (const auto& [name, c] : kEntities) {
                if (s.substr(i, name.size()) == name) {
                    out += c;
                    i += name.size();
                    matched = true;
                    break;
                }
            }
        }
        if (!matched) {
            out += s[i++];
        }
    }
    return out;
}

std::string collapseSpace(std::string_view s) {
    std::string out;
    bool space = false;
    for (char c : s) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            space = !out.empty();
        } else {
            if (space) {
                out += ' ';
            }
            space = false;
            out += c;
        }
    }
    return out;
}

// The value of attribute `name` inside one tag's text (quoted or bare), decoded.
std::optional<std::string> attribute(std::string_view tag, std::string_view name) {
    const std::string low = String::lowercasedASCII(tag);
    size_t pos = 0;
    while ((pos = low.find(name, pos)) != std::string::npos) {
        const bool boundary = pos > 0 && std::isspace(static_cast<unsigned char>(low[pos - 1]));
        size_t i = pos + name.size();
        while (i < low.size() && std::isspace(static_cast<unsigned char>(low[i]))) {
            ++i;
        }
        if (!boundary || i >= low.size() || low[i] != '=') {
            pos += name.size();
            continue;
        }
        ++i;
        while (i < low.size() && std::isspace(static_cast<unsigned char>(low[i]))) {
            ++i;
        }
        if (i >= tag.size()) {
            return std::string();
        }
        if (tag[i] == '"' || tag[i] == '\'') {
            const size_t end = tag.find(tag[i], i + 1);
            return decodeEntities(
                tag.substr(i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1));
        }
        size_t end = i;
        while (end < tag.size() && !std::isspace(static_cast<unsigned char>(tag[end])) && tag[end] != '>') {
            ++end;
        }
        return decodeEntities(tag.substr(i, end - i));
    }
    return std::nullopt;
}

} // namespace

WebPageInfo scanPage(std::string_view html) {
    WebPageInfo info;
    const std::string low = String::lowercasedASCII(html);
    bool titleSeen = false;
    WebForm* form = nullptr;
    for (size_t pos = low.find('<'); pos != std::string::npos; pos = low.find('<', pos + 1)) {
        size_t nameEnd = pos + 1;
        while (nameEnd < low.size() &&
               (std::isalnum(static_cast<unsigned char>(low[nameEnd])) || low[nameEnd] == '/')) {
            ++nameEnd;
        }
        const std::string_view name = std::string_view(low).substr(pos + 1, nameEnd - pos - 1);
        const size_t close = low.find('>', pos);
        const std::string_view tag =
            html.substr(pos, close == std::string::npos ? std::string_view::npos : close - pos);
        if (name == "title" && !titleSeen && close != std::string::npos) {
            const size_t end = low.find("</title", close);
            info.title = collapseSpace(decodeEntities(
                html.substr(close + 1, end == std::string::npos ? std::string_view::npos : end - close - 1)));
            titleSeen = true;
        } else if (name == "a") {
            if (auto href = attribute(tag, "href")) {
                info.links.push_back(*href);
            }
        } else if (name == "form") {
            WebForm f;
            f.action = attribute(tag, "action").value_or("");
            f.method = String::uppercasedASCII(attribute(tag, "method").value_or("GET"));
            info.forms.push_back(std::move(f));
            form = &info.forms.back();
        } else if (name == "/form") {
            form = nullptr;
        } else if ((name == "input" || name == "select" || name == "textarea") && form) {
            if (auto n = attribute(tag, "name")) {
                form->fields.push_back(*n);
            }
        }
        if (close == std::string::npos) {
            break;
        }
    }
    return info;
}

} // namespace plat
