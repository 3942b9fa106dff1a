#include "measurement/storage/DMSCategories.hpp"

#include "platform/foundation/Digest.hpp"
#include "platform/foundation/String.hpp"

#include <algorithm>
#include <cstdio>

plat::Data dms_MD5Data(const plat::Data& data) {
    return plat::Digest::md5(std::span<const uint8_t>(data.data(), data.size()));
}

int64_t dms_64LeastSignificantBits(const plat::Data& data) {
    uint64_t value = 0;
    size_t start = data.size() > 8 ? data.size() - 8 : 0;
    for (size_t i = start; i < data.size(); ++i) {
        value = (value << 8) | data[i];
    }
    return static_cast<int64_t>(value);
}

int64_t dms_64LSBMD5(const plat::Data& data) {
    return dms_64LeastSignificantBits(dms_MD5Data(data));
}

std::optional<std::string> dms_MD5String(std::string_view text) {
    if (!plat::String::isValidUTF8(text)) {
        return std::nullopt;
    }
    plat::Data digest = plat::Digest::md5(text);
    std::string hex;
    for (uint8_t byte : digest) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

namespace {

std::string dmsQueryEscaped(const std::string& text) {
    // Unreserved characters only: "&", "=" and "+" inside a value must not split or change it.
    static const plat::CharacterSet unreserved =
        plat::CharacterSet::alphanumericASCII().united(plat::CharacterSet::fromCharacters("-._~"));
    std::string escaped;
    for (unsigned char c : text) {
        if (c < 0x80 && unreserved.contains(c)) {
            escaped += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            escaped += hex;
        }
    }
    return escaped;
}

} // namespace

std::string dms_queryString(const plat::Dictionary& dictionary) {
    std::string query;
    for (const auto& [key, value] : dictionary) {
        if (!query.empty()) {
            query += "&";
        }
        query += dmsQueryEscaped(key) + "=" + dmsQueryEscaped(value.stringValue());
    }
    return query;
}

plat::Dictionary dms_dictionaryWithHttpArgumentsString(std::string_view arguments) {
    plat::Dictionary result;
    auto pieces = plat::String::componentsSeparatedBy(arguments, "&");
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
        const std::string& piece = *it;
        if (piece.empty()) {
            continue;
        }
        auto equals = piece.find('=');
        std::string_view rawKey = equals == std::string::npos ? std::string_view(piece)
                                                              : std::string_view(piece).substr(0, equals);
        std::string_view rawValue =
            equals == std::string::npos ? std::string_view() : std::string_view(piece).substr(equals + 1);
        // Deep links come from outside the app: a piece that does not unescape to text is dropped, not stored.
        auto key = dms_stringByUnescapingFromURLArgument(rawKey);
        auto value = dms_stringByUnescapingFromURLArgument(rawValue);
        if (!key || !value) {
            continue;
        }
        // Walking from the last piece, a later set is an earlier occurrence, so it wins.
        result.set(*key, plat::Value(*value));
    }
    return result;
}

std::optional<std::string> dms_stringByUnescapingFromURLArgument(std::string_view argument) {
    std::string spaced(argument);
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    return plat::String::removingPercentEncoding(spaced);
}

int64_t dms_UTF32Length(std::string_view text) {
    return static_cast<int64_t>(plat::String::codePoints(text).size());
}

std::size_t dms_getUTF32Bytes(std::string_view text, uint8_t* buffer, std::size_t maxBytes) {
    std::size_t written = 0;
    for (char32_t c : plat::String::codePoints(text)) {
        if (written + 4 > maxBytes) {
            break;
        }
        auto value = static_cast<uint32_t>(c);
        for (int i = 0; i < 4; ++i) {
            buffer[written++] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    return written;
}
