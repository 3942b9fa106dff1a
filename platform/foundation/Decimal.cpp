#include "platform/foundation/Decimal.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace plat {

namespace {

using U128 = unsigned __int128;
constexpr U128 kMaxMantissa = ~U128(0);
constexpr size_t kDecimalKeptDigits = 38;

std::string digitsOf(U128 m) {
    if (m == 0) {
        return "0";
    }
    std::string out;
    while (m != 0) {
        out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    }
    return out;
}

} // namespace

Decimal::Decimal(int64_t n) {
    negative_ = n < 0;
    mantissa_ = negative_ ? U128(-(n + 1)) + 1 : U128(n);
}

std::optional<Decimal> Decimal::fromString(std::string_view text) {
    size_t i = 0;
    Decimal d;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        d.negative_ = text[i] == '-';
        ++i;
    }
    bool anyDigit = false;
    bool afterPoint = false;
    long exponent = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !afterPoint) {
            afterPoint = true;
            continue;
        }
        if (c < '0' || c > '9') {
            break;
        }
        anyDigit = true;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (d.mantissa_ > (kMaxMantissa - digit) / 10) {
            // Digits beyond what the mantissa holds only scale it (integer part) or are dropped (fraction).
            if (!afterPoint) {
                ++exponent;
            }
            continue;
        }
        d.mantissa_ = d.mantissa_ * 10 + digit;
        if (afterPoint) {
            --exponent;
        }
    }
    if (!anyDigit) {
        return std::nullopt;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        long e = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), e);
        if (ec != std::errc() || end == text.data() + i) {
            return std::nullopt;
        }
        i = static_cast<size_t>(end - text.data());
        exponent += e;
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    if (d.mantissa_ == 0) {
        return Decimal();
    }
    // Bring the exponent into range by moving zeros between the mantissa and the exponent.
    while (exponent > kMaxExponent && d.mantissa_ <= kMaxMantissa / 10) {
        d.mantissa_ *= 10;
        --exponent;
    }
    while (exponent < kMinExponent && d.mantissa_ % 10 == 0) {
        d.mantissa_ /= 10;
        ++exponent;
    }
    if (exponent > kMaxExponent || exponent < kMinExponent) {
        return std::nullopt;
    }
    d.exponent_ = static_cast<int>(exponent);
    return d;
}

Decimal Decimal::fromLeadingText(std::string_view text, bool* exact) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::string digits;
    long fractionDigits = 0;
    bool pastPoint = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !pastPoint) {
            pastPoint = true;
        } else if (c >= '0' && c <= '9') {
            digits += c;
            fractionDigits += pastPoint ? 1 : 0;
        } else {
            break;
        }
    }
    if (digits.empty()) {
        return notANumber();
    }
    const size_t firstSignificant = digits.find_first_not_of('0');
    digits.erase(0, firstSignificant == std::string::npos ? digits.size() : firstSignificant);
    long exponent = -fractionDigits;
    if (exact) {
        const size_t lastSignificant = digits.find_last_not_of('0');
        *exact = lastSignificant == std::string::npos || lastSignificant < kDecimalKeptDigits;
    }
    bool roundUp = false;
    if (digits.size() > kDecimalKeptDigits) {
        // The first dropped digit rounds the kept ones.
        roundUp = digits[kDecimalKeptDigits] >= '5';
        exponent += static_cast<long>(digits.size() - kDecimalKeptDigits);
        digits.resize(kDecimalKeptDigits);
    }
    Decimal d;
    d.negative_ = negative;
    for (const char c : digits) {
        d.mantissa_ = d.mantissa_ * 10 + static_cast<unsigned>(c - '0');
    }
    d.mantissa_ += roundUp ? 1 : 0;
    while (d.mantissa_ != 0 && d.mantissa_ % 10 == 0) {
        d.mantissa_ /= 10;
        ++exponent;
    }
    if (d.mantissa_ == 0) {
        exponent = 0;
    }
    if (exponent < kMinExponent || exponent > kMaxExponent) {
        return notANumber();
    }
    d.exponent_ = static_cast<int>(exponent);
    return d;
}

std::optional<Decimal> Decimal::fromDouble(double value) {
    if (std::isnan(value)) {
        return notANumber();
    }
    if (std::isinf(value)) {
        return std::nullopt;
    }
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc()) {
        return std::nullopt;
    }
    return fromString(std::string_view(buffer, static_cast<size_t>(end - buffer)));
}

Decimal Decimal::maximum() {
    Decimal d;
    d.mantissa_ = kMaxMantissa;
    d.exponent_ = kMaxExponent;
    return d;
}

Decimal Decimal::notANumber() {
    Decimal d;
    d.nan_ = true;
    return d;
}

std::optional<Decimal> Decimal::multiplyingByPowerOf10(int power) const {
    if (nan_ || mantissa_ == 0) {
        return *this;
    }
    Decimal d = *this;
    long exponent = static_cast<long>(exponent_) + power;
    while (exponent > kMaxExponent && d.mantissa_ <= kMaxMantissa / 10) {
        d.mantissa_ *= 10;
        --exponent;
    }
    while (exponent < kMinExponent && d.mantissa_ % 10 == 0) {
        d.mantissa_ /= 10;
        ++exponent;
    }
    if (exponent > kMaxExponent || exponent < kMinExponent) {
        return std::nullopt;
    }
    d.exponent_ = static_cast<int>(exponent);
    return d;
}

Decimal Decimal::absolute() const {
    Decimal d = *this;
    d.negative_ = false;
    return d;
}

int Decimal::compare(const Decimal& a, const Decimal& b) {
    if (a.nan_ || b.nan_) {
        return a.nan_ == b.nan_ ? 0 : (a.nan_ ? -1 : 1);
    }
    const bool aNeg = a.isNegative();
    const bool bNeg = b.isNegative();
    if (aNeg != bNeg) {
        return aNeg ? -1 : 1;
    }
    if (a.mantissa_ == 0 || b.mantissa_ == 0) {
        const int sa = a.mantissa_ == 0 ? 0 : 1;
        const int sb = b.mantissa_ == 0 ? 0 : 1;
        const int magnitude = sa - sb;
        return aNeg ? -magnitude : magnitude;
    }
    // Compare magnitudes by the position of the leading digit, then digit by digit.
    std::string da = digitsOf(a.mantissa_);
    std::string db = digitsOf(b.mantissa_);
    const long leadA = static_cast<long>(da.size()) + a.exponent_;
    const long leadB = static_cast<long>(db.size()) + b.exponent_;
    int magnitude = 0;
    if (leadA != leadB) {
        magnitude = leadA < leadB ? -1 : 1;
    } else {
        const size_t width = std::max(da.size(), db.size());
        da.resize(width, '0');
        db.resize(width, '0');
        magnitude = da < db ? -1 : (da > db ? 1 : 0);
    }
    return aNeg ? -magnitude : magnitude;
}

std::string Decimal::description() const {
    if (nan_) {
        return "NaN";
    }
    std::string digits = digitsOf(mantissa_);
    if (mantissa_ == 0) {
        return "0";
    }
    if (exponent_ >= 0) {
        digits.append(static_cast<size_t>(exponent_), '0');
    } else {
        const size_t fraction = static_cast<size_t>(-exponent_);
        if (digits.size() <= fraction) {
            digits.insert(0, fraction - digits.size() + 1, '0');
        }
        digits.insert(digits.size() - fraction, 1, '.');
        while (digits.back() == '0') {
            digits.pop_back();
        }
        if (digits.back() == '.') {
            digits.pop_back();
        }
    }
    return negative_ ? "-" + digits : digits;
}

double Decimal::doubleValue() const {
    if (nan_) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const std::string text = digitsOf(mantissa_) + "e" + std::to_string(exponent_);
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return negative_ ? -value : value;
}

Value Decimal::numberValue() const {
    if (nan_) {
        return Value(std::numeric_limits<double>::quiet_NaN());
    }
    // Trailing zeros of a fraction do not make it fractional; zeros of a positive exponent are multiplied in.
    U128 m = mantissa_;
    int e = exponent_;
    while (e < 0 && m % 10 == 0) {
        m /= 10;
        ++e;
    }
    bool fits = e >= 0;
    for (; fits && e > 0; --e) {
        fits = m <= kMaxMantissa / 10;
        m *= 10;
    }
    if (fits && m <= static_cast<U128>(std::numeric_limits<int64_t>::max())) {
        const int64_t n = static_cast<int64_t>(m);
        return Value(negative_ ? -n : n);
    }
    return Value(doubleValue());
}

} // namespace plat
