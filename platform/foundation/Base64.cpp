#include "platform/foundation/Base64.hpp"

#include "platform/foundation/String.hpp"

#include <array>

namespace plat {

namespace {

constexpr std::string_view kStandard = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kURLSafe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::array<int8_t, 256> reverseTable(std::string_view alphabet) {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (size_t i = 0; i < alphabet.size(); ++i) {
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    }
    return t;
}

std::string encode(std::span<const uint8_t> in, std::string_view alphabet, bool pad) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    size_t rest = in.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (rest == 2) {
            v |= uint32_t{in[i + 1]} << 8;
        }
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        if (rest == 2) {
            out += alphabet[(v >> 6) & 63];
        }
        if (pad) {
            out.append(3 - rest, '=');
        }
    }
    return out;
}

// Decodes the alphabet characters of `text`; `requirePadding` insists on a length that
// is a multiple of four.
std::optional<Data> decode(std::string_view text, const std::array<int8_t, 256>& table, bool ignoreUnknown,
                           bool requirePadding) {
    Data out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    size_t symbols = 0, padding = 0;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '=') {
            ++padding;
            continue;
        }
        int v = table[c];
        if (v < 0) {
            if (ignoreUnknown) {
                continue;
            }
            return std::nullopt;
        }
        if (padding > 0) {
            return std::nullopt; // data after padding
        }
        ++symbols;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    size_t rem = symbols % 4;
    if (rem == 1 || padding > 2) {
        return std::nullopt;
    }
    if (requirePadding) {
        if ((symbols + padding) % 4 != 0 || (rem == 0 && padding != 0)) {
            return std::nullopt;
        }
    } else if (padding != 0 && (symbols + padding) % 4 != 0) {
        return std::nullopt;
    }
    return out;
}

} // namespace

std::string base64Encode(std::span<const uint8_t> bytes, unsigned options) {
    std::string plain = encode(bytes, kStandard, true);
    size_t line = (options & Base64Encoding64CharacterLineLength)   ? 64
                  : (options & Base64Encoding76CharacterLineLength) ? 76
                                                                    : 0;
    if (line == 0 || plain.size() <= line) {
        return plain;
    }
    std::string eol;
    if (options & Base64EncodingEndLineWithCarriageReturn) {
        eol += '\r';
    }
    if (options & Base64EncodingEndLineWithLineFeed) {
        eol += '\n';
    }
    if (eol.empty()) {
        eol = "\r\n";
    }
    std::string out;
    out.reserve(plain.size() + plain.size() / line * eol.size());
    for (size_t i = 0; i < plain.size(); i += line) {
        if (i > 0) {
            out += eol;
        }
        out.append(plain, i, line);
    }
    return out;
}

std::string base64Encode(std::string_view bytes, unsigned options) {
    return base64Encode(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), options);
}

std::optional<Data> base64Decode(std::string_view text, unsigned options) {
    static const auto table = reverseTable(kStandard);
    return decode(text, table, (options & Base64DecodingIgnoreUnknownCharacters) != 0, true);
}

std::string base64URLEncode(std::span<const uint8_t> bytes) {
    return encode(bytes, kURLSafe, false);
}

std::optional<Data> base64URLDecode(std::string_view text) {
    static const auto table = reverseTable(kURLSafe);
    return decode(text, table, false, false);
}

namespace {
std::string hex(std::span<const uint8_t> bytes, const char* digits) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}
} // namespace

std::string hexLower(std::span<const uint8_t> bytes) {
    return hex(bytes, "0123456789abcdef");
}
std::string hexUpper(std::span<const uint8_t> bytes) {
    return hex(bytes, "0123456789ABCDEF");
}

std::optional<Data> hexDecode(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Data out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = String::hexDigitValue(text[i]), lo = String::hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return out;
}

} // namespace plat
