#pragma once
// The two ways the system reads an OS version text: as a float (`floatValue` of "10.3.1" is 10.3) and by
// comparing digit runs as numbers (numeric search, so "10.0" orders after "9.3").

#include <cstdint>
#include <string_view>

namespace plat {

enum class ComparisonResult : int64_t { orderedAscending = -1, orderedSame = 0, orderedDescending = 1 };

// The longest leading decimal number after white space, as `strtof` reads it; 0 when there is none.
float floatVersion(std::string_view text);

// Compares character by character, except that runs of digits compare by their numeric value.
ComparisonResult compareNumeric(std::string_view a, std::string_view b);

} // namespace plat
