#include "platform/net/PercentCoding.hpp"

#include "platform/foundation/String.hpp"

#include <algorithm>
#include <array>

namespace plat::net {
namespace {

const plat::CharacterSet& allowedSet(CharacterSet set) {
    static const auto path = plat::CharacterSet::urlPathAllowed();
    static const auto query = plat::CharacterSet::urlQueryAllowed();
    static const auto fragment = plat::CharacterSet::urlFragmentAllowed();
    static const auto host = plat::CharacterSet::urlHostAllowed();
    static const auto user = plat::CharacterSet::urlUserAllowed();
    static const auto password = plat::CharacterSet::urlPasswordAllowed();
    // A name or value must not end its pair or item early.
    static const auto queryItem = plat::CharacterSet::fromCharacters(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$'()*+,;:@/?");
    switch (set) {
    case CharacterSet::path:
        return path;
    case CharacterSet::query:
        return query;
    case CharacterSet::fragment:
        return fragment;
    case CharacterSet::host:
        return host;
    case CharacterSet::user:
        return user;
    case CharacterSet::password:
        return password;
    case CharacterSet::queryItem:
        return queryItem;
    }
    return path;
}

using AsciiAllowed = std::array<bool, 128>;

// The set's ASCII members as a table: paths and query items are nearly always ASCII, and a look-up per byte
// spares them the UTF-8 walk and a search of the set per character.
const AsciiAllowed& asciiAllowed(CharacterSet set) {
    static const auto tables = [] {
        std::array<AsciiAllowed, 7> made{};
        for (CharacterSet s : {CharacterSet::path, CharacterSet::query, CharacterSet::fragment, CharacterSet::host,
                               CharacterSet::user, CharacterSet::password, CharacterSet::queryItem})
            for (char32_t c = 0; c < 128; ++c)
                made[static_cast<std::size_t>(s)][c] = allowedSet(s).contains(c);
        return made;
    }();
    return tables[static_cast<std::size_t>(set)];
}

// Every byte outside the set's ASCII members as its own escape.
std::string escapeBytesOutside(std::string_view text, const AsciiAllowed& allowed) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80 && allowed[c]) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xf];
        }
    }
    return out;
}

} // namespace

std::string percentEncode(std::string_view text, CharacterSet set) {
    const AsciiAllowed& table = asciiAllowed(set);
    if (std::all_of(text.begin(), text.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; }))
        return escapeBytesOutside(text, table);
    if (auto encoded = String::addingPercentEncoding(text, allowedSet(set))) {
        return *encoded;
    }
    // Bytes that are not UTF-8 (a file name from disk) are still carried, each as its own escape.
    return escapeBytesOutside(text, table);
}

std::optional<std::string> percentDecode(std::string_view text) {
    return String::removingPercentEncoding(text);
}

bool isPercentEncoded(std::string_view text, CharacterSet set) {
    const AsciiAllowed& allowed = asciiAllowed(set);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || String::hexDigitValue(text[i + 1]) < 0 ||
                String::hexDigitValue(text[i + 2]) < 0) {
                return false;
            }
            i += 2;
        } else if (c >= 0x80 || !allowed[c]) {
            return false;
        }
    }
    return true;
}

} // namespace plat::net
