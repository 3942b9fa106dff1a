#pragma once
// Digests, query strings and Unicode lengths the measurement client needs of data, dictionaries and strings.

#include "platform/foundation/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// MD5
plat::Data dms_MD5Data(const plat::Data& data);
// The last 8 bytes (all when shorter) as a big-endian number.
int64_t dms_64LeastSignificantBits(const plat::Data& data);
int64_t dms_64LSBMD5(const plat::Data& data);
// 32 lowercase hex digits of the MD5 of the UTF-8 bytes; none for text that is not UTF-8.
std::optional<std::string> dms_MD5String(std::string_view text);

// "key=value" pairs joined with "&"; key and value escaped so that only RFC 3986 unreserved characters
// stay as they are.
std::string dms_queryString(const plat::Dictionary& dictionary);
// The first occurrence of a key wins; pieces that do not unescape to text are skipped.
plat::Dictionary dms_dictionaryWithHttpArgumentsString(std::string_view arguments);
// "+" becomes a space, then %XX escapes are decoded as UTF-8; none on a bad escape or bytes that are no UTF-8.
std::optional<std::string> dms_stringByUnescapingFromURLArgument(std::string_view argument);

// Length in Unicode characters.
int64_t dms_UTF32Length(std::string_view text);
// UTF-32 little-endian bytes into `buffer`, at most `maxBytes` of them, never splitting a character. Returns
// the number of bytes written.
std::size_t dms_getUTF32Bytes(std::string_view text, uint8_t* buffer, std::size_t maxBytes);
