#pragma once
// plat::Decimal stands for the platform's decimal number: a mantissa of up to 38 decimal digits (below 2^128)
// times a power of ten from -128 to 127, with a sign and a not-a-number value. Money is carried in it so
// that prices keep their decimal digits exactly.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class Decimal {
public:
    static constexpr int kMinExponent = -128;
    static constexpr int kMaxExponent = 127;

    Decimal() = default; // zero
    Decimal(int64_t n);

    // "12", "-2.50", "1e6", "3.25E-2"; none for anything else or a value out of range.
    static std::optional<Decimal> fromString(std::string_view text);
    // The longest leading "[+-]digits[.digits]" of the text (no exponent); not-a-number when there is none or
    // the exponent leaves the range. Digits beyond the 38th are rounded away, and `exact` tells whether every
    // digit of the text was kept.
    static Decimal fromLeadingText(std::string_view text, bool* exact = nullptr);
    // The shortest decimal text of the double; NaN for a NaN, none for an infinity.
    static std::optional<Decimal> fromDouble(double d);
    static Decimal maximum();
    static Decimal notANumber();

    bool isNaN() const { return nan_; }
    bool isNegative() const { return negative_ && mantissa_ != 0; }
    Decimal absolute() const;

    // This value times 10^power; none when it leaves the range (NaN stays NaN).
    std::optional<Decimal> multiplyingByPowerOf10(int power) const;

    // -1, 0 or 1; NaN orders below every number and equal to itself.
    static int compare(const Decimal& a, const Decimal& b);
    friend bool operator==(const Decimal& a, const Decimal& b) { return compare(a, b) == 0; }
    friend bool operator<(const Decimal& a, const Decimal& b) { return compare(a, b) < 0; }
    friend bool operator>(const Decimal& a, const Decimal& b) { return compare(a, b) > 0; }

    // Plain decimal text without exponent: "2500000", "-0.25", "NaN".
    std::string description() const;
    double doubleValue() const;
    // As a number value: an integer when whole and within 64 bits, else a double (NaN for NaN).
    Value numberValue() const;

private:
    unsigned __int128 mantissa_ = 0;
    int exponent_ = 0;
    bool negative_ = false;
    bool nan_ = false;
};

} // namespace plat
