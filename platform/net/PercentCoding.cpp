#include "platform/net/PercentCoding.hpp"

#include "platform/foundation/String.hpp"

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

} // namespace

std::string percentEncode(std::string_view text, CharacterSet set) {
    const auto& allowed = allowedSet(set);
    if (auto encoded = String::addingPercentEncoding(text, allowed)) {
        return *encoded;
    }
    // Bytes that are not UTF-8 (a file name from disk) are still carried, each as its own escape.
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80 && allowed.contains(c)) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xf];
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    return String::removingPercentEncoding(text);
}

bool isPercentEncoded(std::string_view text, CharacterSet set) {
    const auto& allowed = allowedSet(set);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || String::hexDigitValue(text[i + 1]) < 0 ||
                String::hexDigitValue(text[i + 2]) < 0) {
                return false;
            }
            i += 2;
        } else if (c >= 0x80 || !allowed.contains(c)) {
            return false;
        }
    }
    return true;
}

} // namespace plat::net
