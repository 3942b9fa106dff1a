#include "platform/device/SystemVersion.hpp"

#include <cctype>
#include <charconv>

namespace plat {

float floatVersion(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && text[i] == '+')
        ++i; // strtof takes a plus sign, from_chars does not
    float value = 0;
    auto [end, ec] =
        std::from_chars(text.data() + i, text.data() + text.size(), value, std::chars_format::general);
    (void)end;
    return ec == std::errc() ? value : 0.0f;
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The digit run starting at i, without leading zeros, so that "07" and "7" compare equal.
std::string_view digitRun(std::string_view s, std::size_t& i) {
    std::size_t start = i;
    while (i < s.size() && isDigit(s[i]))
        ++i;
    std::string_view run = s.substr(start, i - start);
    while (run.size() > 1 && run.front() == '0')
        run.remove_prefix(1);
    return run;
}

} // namespace

ComparisonResult compareNumeric(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::string_view x = digitRun(a, i);
            std::string_view y = digitRun(b, j);
            // Longer run without leading zeros is the larger number; equal lengths compare digit by digit.
            if (x.size() != y.size())
                return x.size() < y.size() ? ComparisonResult::orderedAscending
                                           : ComparisonResult::orderedDescending;
            if (int c = x.compare(y); c != 0)
                return c < 0 ? ComparisonResult::orderedAscending : ComparisonResult::orderedDescending;
            continue;
        }
        auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
        if (ca != cb)
            return ca < cb ? ComparisonResult::orderedAscending : ComparisonResult::orderedDescending;
        ++i;
        ++j;
    }
    if (i < a.size())
        return ComparisonResult::orderedDescending;
    if (j < b.size())
        return ComparisonResult::orderedAscending;
    return ComparisonResult::orderedSame;
}

} // namespace plat
