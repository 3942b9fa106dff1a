#pragma once
// Base64 (standard and URL-safe alphabets, the platform's line options) and hex text for bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/Value.hpp"

namespace plat {

// Encoding options: line breaks every 64 or 76 characters, ended by CR, LF or both
// (CR LF when a length is set and neither is named).
inline constexpr unsigned Base64Encoding64CharacterLineLength = 1;
inline constexpr unsigned Base64Encoding76CharacterLineLength = 2;
inline constexpr unsigned Base64EncodingEndLineWithCarriageReturn = 16;
inline constexpr unsigned Base64EncodingEndLineWithLineFeed = 32;
// Decoding option: skip characters outside the alphabet instead of failing.
inline constexpr unsigned Base64DecodingIgnoreUnknownCharacters = 1;

std::string base64Encode(std::span<const uint8_t> bytes, unsigned options = 0);
std::string base64Encode(std::string_view bytes, unsigned options = 0);
// Padding is required where the length asks for it (as the platform decodes); invalid input gives none.
std::optional<Data> base64Decode(std::string_view text, unsigned options = 0);

// URL-safe alphabet ('-' and '_'), no padding on output; padding optional on input.
std::string base64URLEncode(std::span<const uint8_t> bytes);
std::optional<Data> base64URLDecode(std::string_view text);

std::string hexLower(std::span<const uint8_t> bytes);
std::string hexUpper(std::span<const uint8_t> bytes);
// Either case, even length; anything else gives none.
std::optional<Data> hexDecode(std::string_view text);

} // namespace plat
