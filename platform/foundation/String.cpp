#include "platform/foundation/String.hpp"

#include <algorithm>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace plat {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at s[i]; returns 0 length for an invalid sequence.
size_t decodeOne(std::string_view s, size_t i, char32_t& cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t n;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

// Walks code points; invalid bytes read as U+FFFD one byte at a time.
template <class F> void forEachCodePoint(std::string_view s, F&& f) {
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        size_t n = decodeOne(s, i, cp);
        if (n == 0) {
            cp = kReplacement;
            n = 1;
        }
        f(cp, i, n);
        i += n;
    }
}

constexpr std::string_view kUnreserved = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

CharacterSet explicitSet(std::string_view chars) {
    return CharacterSet::fromCharacters(chars);
}

} // namespace

// ---- CharacterSet --------------------------------------------------------------

CharacterSet CharacterSet::fromCharacters(std::string_view utf8) {
    CharacterSet s;
    forEachCodePoint(utf8, [&](char32_t cp, size_t, size_t) { s.chars_.push_back(cp); });
    std::sort(s.chars_.begin(), s.chars_.end());
    s.chars_.erase(std::unique(s.chars_.begin(), s.chars_.end()), s.chars_.end());
    return s;
}

CharacterSet CharacterSet::ofKind(Kind kind) {
    CharacterSet s;
    s.kind_ = kind;
    return s;
}

CharacterSet CharacterSet::whitespace() {
    return ofKind(Kind::Whitespace);
}
CharacterSet CharacterSet::whitespaceAndNewlines() {
    return ofKind(Kind::WhitespaceAndNewlines);
}
CharacterSet CharacterSet::newlines() {
    return ofKind(Kind::Newlines);
}
CharacterSet CharacterSet::alphanumerics() {
    return ofKind(Kind::Alphanumerics);
}
CharacterSet CharacterSet::decimalDigits() {
    return ofKind(Kind::DecimalDigits);
}
CharacterSet CharacterSet::letters() {
    return ofKind(Kind::Letters);
}
CharacterSet CharacterSet::urlQueryAllowed() {
    return explicitSet(std::string(kUnreserved) + "!$&'()*+,;=:@/?");
}
CharacterSet CharacterSet::urlFragmentAllowed() {
    return urlQueryAllowed();
}
CharacterSet CharacterSet::urlPathAllowed() {
    return explicitSet(std::string(kUnreserved) + "!$&'()*+,;=:@/");
}
CharacterSet CharacterSet::urlHostAllowed() {
    return explicitSet(std::string(kUnreserved) + "!$&'()*+,;=:[]");
}
CharacterSet CharacterSet::urlUserAllowed() {
    return explicitSet(std::string(kUnreserved) + "!$&'()*+,;=");
}
CharacterSet CharacterSet::urlPasswordAllowed() {
    return urlUserAllowed();
}
CharacterSet CharacterSet::alphanumericASCII() {
    return explicitSet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
}

bool CharacterSet::contains(char32_t c) const {
    bool in = false;
    auto isNewline = [](char32_t c) {
        return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
    };
    switch (kind_) {
    case Kind::Explicit:
        in = std::binary_search(chars_.begin(), chars_.end(), c);
        break;
    case Kind::Whitespace:
        in = u_isUWhiteSpace(static_cast<UChar32>(c)) && !isNewline(c);
        break;
    case Kind::WhitespaceAndNewlines:
        in = u_isUWhiteSpace(static_cast<UChar32>(c));
        break;
    case Kind::Newlines:
        in = isNewline(c);
        break;
    case Kind::Alphanumerics: {
        auto mask = U_GET_GC_MASK(static_cast<UChar32>(c));
        in = (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
        break;
    }
    case Kind::DecimalDigits:
        in = u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER;
        break;
    case Kind::Letters:
        in = (U_GET_GC_MASK(static_cast<UChar32>(c)) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
        break;
    }
    if (!in) {
        for (const auto& u : unions_) {
            if (u.contains(c)) {
                in = true;
                break;
            }
        }
    }
    return in != inverted_;
}

CharacterSet CharacterSet::inverted() const {
    CharacterSet s = *this;
    s.inverted_ = !s.inverted_;
    return s;
}

CharacterSet CharacterSet::united(const CharacterSet& other) const {
    CharacterSet s;
    s.unions_ = {*this, other};
    return s;
}

// ---- String --------------------------------------------------------------------

namespace String {

bool isValidUTF8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t cp;
        size_t n = decodeOne(s, i, cp);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

char32_t decodeUTF8(std::string_view s, size_t& i) {
    char32_t cp;
    size_t n = decodeOne(s, i, cp);
    if (n == 0) {
        ++i;
        return kReplacement;
    }
    i += n;
    return cp;
}

void appendUTF8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<std::string> fromUTF8(std::string_view bytes) {
    if (!isValidUTF8(bytes)) {
        return std::nullopt;
    }
    return std::string(bytes);
}

std::optional<std::string> fromUTF8(std::span<const uint8_t> bytes) {
    return fromUTF8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

size_t utf16Length(std::string_view s) {
    size_t n = 0;
    forEachCodePoint(s, [&](char32_t cp, size_t, size_t) { n += cp >= 0x10000 ? 2 : 1; });
    return n;
}

std::u32string codePoints(std::string_view s) {
    std::u32string out;
    forEachCodePoint(s, [&](char32_t cp, size_t, size_t) { out += cp; });
    return out;
}

std::u16string utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    forEachCodePoint(s, [&](char32_t cp, size_t, size_t) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    });
    return out;
}

std::string fromCodePoints(std::u32string_view cps) {
    std::string out;
    for (char32_t cp : cps) {
        appendUTF8(out, (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ? kReplacement : cp);
    }
    return out;
}

std::string fromUTF16(std::u16string_view u) {
    std::string out;
    for (size_t i = 0; i < u.size(); ++i) {
        char32_t c = u[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        appendUTF8(out, c);
    }
    return out;
}

std::string prefixUTF16(std::string_view s, size_t units) {
    size_t used = 0;
    size_t end = 0;
    bool stop = false;
    forEachCodePoint(s, [&](char32_t cp, size_t i, size_t n) {
        if (stop) {
            return;
        }
        size_t w = cp >= 0x10000 ? 2 : 1;
        if (used + w > units) {
            stop = true;
            return;
        }
        used += w;
        end = i + n;
    });
    return std::string(s.substr(0, end));
}

int compareUTF16(std::string_view a, std::string_view b) {
    // UTF-8 byte order is code point order; it differs from UTF-16 order only where a
    // supplementary character meets U+E000..U+FFFF, so compare converted units.
    std::u16string x = utf16(a), y = utf16(b);
    int c = x.compare(y);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int caseInsensitiveCompare(std::string_view a, std::string_view b) {
    std::u16string x = utf16(a), y = utf16(b);
    UErrorCode status = U_ZERO_ERROR;
    int r = u_strCaseCompare(reinterpret_cast<const UChar*>(x.data()), static_cast<int32_t>(x.size()),
                             reinterpret_cast<const UChar*>(y.data()), static_cast<int32_t>(y.size()),
                             U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status)) {
        return compareUTF16(a, b);
    }
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

namespace {
// Runs one of ICU's whole-string mappings (`map(dest, capacity, src, length, status)`), growing the output once
// when the first guess is short; a failed mapping leaves the text as it was.
template <typename Map>
std::string mapUTF16(std::string_view s, Map map) {
    std::u16string in = utf16(s);
    std::u16string out(in.size() + 16, u'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = map(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                        reinterpret_cast<const UChar*>(in.data()), static_cast<int32_t>(in.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.assign(static_cast<size_t>(n), u'\0');
            continue;
        }
        if (U_FAILURE(status)) {
            return std::string(s);
        }
        out.resize(static_cast<size_t>(n));
        return fromUTF16(out);
    }
    return std::string(s);
}

std::string mapCase(std::string_view s, bool upper) {
    return mapUTF16(s, [upper](UChar* dest, int32_t capacity, const UChar* src, int32_t length, UErrorCode* status) {
        return (upper ? u_strToUpper : u_strToLower)(dest, capacity, src, length, "", status);
    });
}
} // namespace

std::string lowercased(std::string_view s) {
    return mapCase(s, false);
}

std::string caseFolded(std::string_view s) {
    return mapUTF16(s, [](UChar* dest, int32_t capacity, const UChar* src, int32_t length, UErrorCode* status) {
        return u_strFoldCase(dest, capacity, src, length, U_FOLD_CASE_DEFAULT, status);
    });
}

std::string uppercased(std::string_view s) {
    return mapCase(s, true);
}

std::string trimming(std::string_view s, const CharacterSet& set) {
    size_t begin = s.size(), end = 0;
    forEachCodePoint(s, [&](char32_t cp, size_t i, size_t n) {
        if (!set.contains(cp)) {
            begin = std::min(begin, i);
            end = i + n;
        }
    });
    if (begin >= end) {
        return {};
    }
    return std::string(s.substr(begin, end - begin));
}

std::string lowercasedASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string uppercasedASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

std::string_view trimmingSpacesAndTabs(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool isASCIIWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmingASCIIWhitespace(std::string_view s) {
    while (!s.empty() && isASCIIWhitespace(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isASCIIWhitespace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool hasPrefix(std::string_view s, std::string_view p) {
    return !p.empty() && s.starts_with(p);
}
bool hasSuffix(std::string_view s, std::string_view p) {
    return !p.empty() && s.ends_with(p);
}

std::vector<std::string> componentsSeparatedBy(std::string_view s, std::string_view sep) {
    std::vector<std::string> out;
    if (sep.empty()) {
        out.emplace_back(s);
        return out;
    }
    size_t start = 0;
    while (true) {
        size_t p = s.find(sep, start);
        if (p == std::string_view::npos) {
            out.emplace_back(s.substr(start));
            return out;
        }
        out.emplace_back(s.substr(start, p - start));
        start = p + sep.size();
    }
}

bool isLetter(char32_t c) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_L_MASK) != 0;
}
bool isDecimalDigit(char32_t c) {
    return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER;
}
bool isAlphanumeric(char32_t c) {
    return CharacterSet::alphanumerics().contains(c);
}

// ---- paths ---------------------------------------------------------------------

namespace {
std::string_view stripTrailingSlashes(std::string_view p) {
    while (p.size() > 1 && p.back() == '/') {
        p.remove_suffix(1);
    }
    return p;
}
} // namespace

std::string lastPathComponent(std::string_view path) {
    std::string_view p = stripTrailingSlashes(path);
    if (p == "/") {
        return "/";
    }
    size_t slash = p.rfind('/');
    return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

std::string pathExtension(std::string_view path) {
    std::string last = lastPathComponent(path);
    size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) {
        return {};
    }
    return last.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view path) {
    std::string_view p = stripTrailingSlashes(path);
    std::string ext = pathExtension(p);
    if (ext.empty()) {
        return std::string(p);
    }
    return std::string(p.substr(0, p.size() - ext.size() - 1));
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
    std::string out(stripTrailingSlashes(path));
    while (!component.empty() && component.front() == '/') {
        component.remove_prefix(1);
    }
    if (out.empty()) {
        return std::string(component);
    }
    if (out.back() != '/' && !component.empty()) {
        out += '/';
    }
    out += component;
    return out;
}

std::string appendingPathExtension(std::string_view path, std::string_view ext) {
    std::string out(stripTrailingSlashes(path));
    if (ext.empty()) {
        return out;
    }
    return out + "." + std::string(ext);
}

std::string deletingLastPathComponent(std::string_view path) {
    std::string_view p = stripTrailingSlashes(path);
    if (p == "/") {
        return "/";
    }
    size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    if (slash == 0) {
        return "/";
    }
    return std::string(p.substr(0, slash));
}

// ---- percent encoding ------------------------------------------------------------

std::optional<std::string> addingPercentEncoding(std::string_view s, const CharacterSet& allowed) {
    static const char* hex = "0123456789ABCDEF";
    if (!isValidUTF8(s)) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(s.size());
    forEachCodePoint(s, [&](char32_t cp, size_t i, size_t n) {
        if (allowed.contains(cp)) {
            out.append(s, i, n);
            return;
        }
        for (size_t k = 0; k < n; ++k) {
            unsigned char c = static_cast<unsigned char>(s[i + k]);
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    });
    return out;
}

std::optional<std::string> removingPercentEncoding(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) {
            return std::nullopt;
        }
        int hi = hexDigitValue(s[i + 1]), lo = hexDigitValue(s[i + 2]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (!isValidUTF8(out)) {
        return std::nullopt;
    }
    return out;
}

} // namespace String

} // namespace plat
