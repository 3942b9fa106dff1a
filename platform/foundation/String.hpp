#pragma once
// Text helpers with the platform's string semantics: lengths in UTF-16 units or code
// points, UTF-8 validation, trimming, case-folded comparison, path pieces and percent
// encoding. Strings are UTF-8 std::string throughout.

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// A set of code points to trim or to leave unescaped.
class CharacterSet {
public:
    static CharacterSet whitespace();            // Unicode White_Space minus line breaks
    static CharacterSet whitespaceAndNewlines(); // Unicode White_Space
    static CharacterSet newlines();              // U+000A–U+000D, U+0085, U+2028, U+2029
    static CharacterSet alphanumerics();         // Unicode letters, marks and numbers
    static CharacterSet decimalDigits();         // Unicode Nd
    static CharacterSet letters();               // Unicode L* and M*
    // Sets for percent encoding (ASCII only, as the platform's URL sets are).
    static CharacterSet urlQueryAllowed();    // unreserved + !$&'()*+,;=:@/?
    static CharacterSet urlFragmentAllowed(); // same as query
    static CharacterSet urlPathAllowed();     // unreserved + !$&'()*+,;=:@/
    static CharacterSet urlHostAllowed();     // unreserved + !$&'()*+,;=:[]
    static CharacterSet urlUserAllowed();     // unreserved + !$&'()*+,;=
    static CharacterSet urlPasswordAllowed(); // unreserved + !$&'()*+,;=
    static CharacterSet alphanumericASCII();  // A-Z a-z 0-9
    static CharacterSet fromCharacters(std::string_view utf8);

    bool contains(char32_t c) const;
    CharacterSet inverted() const;
    CharacterSet united(const CharacterSet& other) const;

private:
    enum class Kind {
        Explicit,
        Whitespace,
        WhitespaceAndNewlines,
        Newlines,
        Alphanumerics,
        DecimalDigits,
        Letters
    };
    static CharacterSet ofKind(Kind kind);

    Kind kind_ = Kind::Explicit;
    bool inverted_ = false;
    std::vector<char32_t> chars_; // sorted, for Explicit
    std::vector<CharacterSet> unions_;
};

namespace String {

// Whole text valid UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUTF8(std::string_view bytes);
// Decodes the scalar at `i` and moves `i` past it; an invalid sequence reads as U+FFFD and
// consumes one byte. `i` must be inside `utf8`.
char32_t decodeUTF8(std::string_view utf8, size_t& i);
// Appends the UTF-8 bytes of `cp`, which must be a Unicode scalar value.
void appendUTF8(std::string& out, char32_t cp);
// The bytes as a string, or none when they are not valid UTF-8 (the device cannot hold them).
std::optional<std::string> fromUTF8(std::span<const uint8_t> bytes);
std::optional<std::string> fromUTF8(std::string_view bytes);

// Length in UTF-16 code units, as the platform counts string length.
size_t utf16Length(std::string_view utf8);
std::u32string codePoints(std::string_view utf8);
std::u16string utf16(std::string_view utf8);
std::string fromCodePoints(std::u32string_view cps);
// Lone surrogates become U+FFFD.
std::string fromUTF16(std::u16string_view units);
// Prefix of at most `units` UTF-16 units, never cutting a character in two.
std::string prefixUTF16(std::string_view utf8, size_t units);

// Orders by UTF-16 code units, as the platform sorts strings literally.
int compareUTF16(std::string_view a, std::string_view b);
// Full Unicode case folding, then compared by code units; <0, 0, >0.
int caseInsensitiveCompare(std::string_view a, std::string_view b);
// Full Unicode case folding (the folding the comparison above uses), for searches that ignore case.
std::string caseFolded(std::string_view s);
std::string lowercased(std::string_view s); // locale-independent
std::string uppercased(std::string_view s);
std::string trimming(std::string_view s, const CharacterSet& set);
// ASCII-only variants for protocol tokens (header names, schemes, attribute names), where
// only A-Z fold and the bytes of other characters stay as they are.
std::string lowercasedASCII(std::string_view s);
std::string uppercasedASCII(std::string_view s);
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);
// Drops leading and trailing spaces and tabs (HTTP's optional whitespace).
std::string_view trimmingSpacesAndTabs(std::string_view s);
// Drops leading and trailing ASCII whitespace: space, \t, \n, \v, \f and \r.
std::string_view trimmingASCIIWhitespace(std::string_view s);
bool isASCIIWhitespace(char c);
// 0-15 for a hex digit of either case, -1 for anything else.
int hexDigitValue(char c);
bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);
std::vector<std::string> componentsSeparatedBy(std::string_view s, std::string_view separator);

// Unicode classes of one code point: letters (L*), decimal digits (Nd), and
// alphanumerics (letters, marks and numbers).
bool isLetter(char32_t c);
bool isDecimalDigit(char32_t c);
bool isAlphanumeric(char32_t c);

// Path helpers on '/'-separated paths.
std::string lastPathComponent(std::string_view path);
std::string pathExtension(std::string_view path); // "a.b.gz" -> "gz"
std::string deletingPathExtension(std::string_view path);
std::string appendingPathComponent(std::string_view path, std::string_view component);
std::string appendingPathExtension(std::string_view path, std::string_view ext);
std::string deletingLastPathComponent(std::string_view path);

// Every UTF-8 byte of a character outside `allowed` becomes %XX (upper-case hex).
// Invalid UTF-8 gives none.
std::optional<std::string> addingPercentEncoding(std::string_view s, const CharacterSet& allowed);
// None on a malformed escape or when the decoded bytes are not valid UTF-8.
std::optional<std::string> removingPercentEncoding(std::string_view s);

} // namespace String

} // namespace plat
