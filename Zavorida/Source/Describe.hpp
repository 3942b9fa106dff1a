#pragma once
// The text a value gives in string interpolation, for the debug texts of Result and the response
// records. Types with a description() member use it; the common value types have their own rules.

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "Zavorida/Source/AnyError.hpp"

namespace Zavorida {

template <class T>
concept HasDescription = requires(const T& v) {
    { v.description() } -> std::convertible_to<std::string>;
};

inline std::string textualDescription(const std::string& s) {
    return s;
}
inline std::string textualDescription(const char* s) {
    return s;
}
inline std::string textualDescription(bool b) {
    return b ? "true" : "false";
}
// Bytes describe themselves by their count, as the platform's data value does.
inline std::string textualDescription(const std::vector<std::uint8_t>& bytes) {
    return std::to_string(bytes.size()) + " bytes";
}
inline std::string textualDescription(const AnyError& error) {
    return error.description();
}

template <class T>
requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) std::string textualDescription(T number) {
    if constexpr (std::is_floating_point_v<T>) {
        // Shortest text that reads back as the same number, always with a fraction ("1.0").
        char buffer[64];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number);
        std::string text(buffer, ec == std::errc() ? end : buffer);
        if (text.find_first_of(".eni") == std::string::npos) {
            text += ".0";
        }
        return text;
    } else {
        return std::to_string(number);
    }
}

template <HasDescription T> std::string textualDescription(const T& value) {
    return value.description();
}

} // namespace Zavorida
