#pragma once

// Decoding of what clients percent-encode: path segments, query strings and form bodies.

#include <charconv>
#include <map>
#include <string>
#include <string_view>

namespace devserver {

// %XX escapes become their byte and a stray '%' stays as it stands; in a query or form component
// (`plusIsSpace`) "+" is a space.
inline std::string percentDecode(std::string_view text, bool plusIsSpace = false) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned byte = 0;
        const char* digits = text.data() + i + 1;
        if (plusIsSpace && text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() &&
                   std::from_chars(digits, digits + 2, byte, 16).ptr == digits + 2) {
            out += static_cast<char>(byte);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The items of a query string or form body, decoded; a later item of the same name wins.
inline std::map<std::string, std::string> formItems(std::string_view body) {
    std::map<std::string, std::string> items;
    while (!body.empty()) {
        const size_t amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        const size_t eq = pair.find('=');
        items[percentDecode(pair.substr(0, eq), true)] =
            eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1), true);
    }
    return items;
}

} // namespace devserver
