#pragma once
// Percent-encoding per URL component for the URL types of this folder, on top of foundation's
// encoder, plus the validity check the components' percent-encoded setters need.

#include <optional>
#include <string>
#include <string_view>

namespace plat::net {

enum class CharacterSet { path, query, fragment, host, user, password, queryItem };

std::string percentEncode(std::string_view text, CharacterSet allowed);
// Decodes %XX escapes; none for a bad escape or bytes that are not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);
// True when every byte is in the set or part of a valid %XX escape.
bool isPercentEncoded(std::string_view text, CharacterSet allowed);

} // namespace plat::net
