#pragma once
// Text encodings by the platform's StringEncoding numbers, converted through iconv.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/Value.hpp"

namespace plat {

using StringEncoding = uint64_t;

inline constexpr StringEncoding InvalidStringEncoding = 0;
inline constexpr StringEncoding ASCIIStringEncoding = 1;
inline constexpr StringEncoding JapaneseEUCStringEncoding = 3;
inline constexpr StringEncoding UTF8StringEncoding = 4;
inline constexpr StringEncoding ISOLatin1StringEncoding = 5;
inline constexpr StringEncoding ShiftJISStringEncoding = 8;
inline constexpr StringEncoding ISOLatin2StringEncoding = 9;
inline constexpr StringEncoding UnicodeStringEncoding = 10; // UTF-16 with a byte-order mark
inline constexpr StringEncoding UTF16StringEncoding = 10;
inline constexpr StringEncoding WindowsCP1251StringEncoding = 11;
inline constexpr StringEncoding WindowsCP1252StringEncoding = 12;
inline constexpr StringEncoding ISO2022JPStringEncoding = 21;
inline constexpr StringEncoding MacOSRomanStringEncoding = 30;
inline constexpr StringEncoding UTF16BigEndianStringEncoding = 0x90000100;
inline constexpr StringEncoding UTF16LittleEndianStringEncoding = 0x94000100;
inline constexpr StringEncoding UTF32StringEncoding = 0x8c000100;

namespace Encoding {

// IANA charset name (case-insensitive, e.g. from a Content-Type) to an encoding; 0 when unknown.
StringEncoding encodingForIANAName(std::string_view name);
// Bytes in `encoding` to UTF-8; none when they are not valid in it or the encoding is unknown.
// UTF-16 without a byte-order mark is read big-endian, and a leading mark is dropped.
std::optional<std::string> decode(std::span<const uint8_t> bytes, StringEncoding encoding);
// UTF-8 text to `encoding`; none when a character cannot be represented (or the text is not UTF-8).
std::optional<Data> encode(std::string_view utf8, StringEncoding encoding);
// "Unicode (UTF-8)", "Western (ISO Latin 1)", ...; empty for an unknown encoding.
std::string localizedName(StringEncoding encoding);

} // namespace Encoding

} // namespace plat
