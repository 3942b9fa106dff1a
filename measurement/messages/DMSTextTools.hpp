#pragma once
// The text facilities the name and number checks need: an "en_US" collator, regular expressions and a
// decimal number, each over ICU or exact integer arithmetic, with the platform's semantics.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Orders strings as the "en_US" locale does; one shared instance, safe from any thread.
class DMSCollator {
public:
    static const DMSCollator& enUS();
    // <0, 0, >0.
    int compare(std::string_view a, std::string_view b) const;
    ~DMSCollator();

private:
    template <class T> friend class plat::NeverDestroyed;
    DMSCollator();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A compiled pattern; `$` also matches before a final line break, and a runaway match fails like no match.
class DMSRegularExpression {
public:
    enum Options : uint32_t { caseInsensitive = 1 };
    // None with `error` set when the pattern does not compile.
    static std::shared_ptr<DMSRegularExpression> create(std::string_view pattern, uint32_t options,
                                                        plat::Error* error);
    // Whether any part of the text matches.
    bool firstMatch(std::string_view text) const;

    struct Impl;
    explicit DMSRegularExpression(std::unique_ptr<Impl> impl);
    ~DMSRegularExpression();

private:
    std::unique_ptr<Impl> impl_;
};

// A decimal number of up to 38 significant digits and an exponent in -128...127, as the platform's decimal
// number keeps it.
class DMSDecimal {
public:
    // The longest leading "[+-]digits[.digits]" of the text in the "en_US" locale; not-a-number when there is
    // none or the exponent leaves the range. Digits beyond the 38th are rounded away.
    // `exact` tells whether every digit of the text was kept.
    static DMSDecimal parse(std::string_view text, bool* exact = nullptr);
    static DMSDecimal notANumber() { return DMSDecimal(); }

    bool isNotANumber() const { return nan_; }
    bool isNegative() const { return negative_ && mantissa_ != 0; }
    // Canonical text: no leading or trailing zeros, "0" for zero, "NaN" for not-a-number.
    std::string description() const;
    DMSDecimal absolute() const;
    double doubleValue() const;

private:
    bool nan_ = true;
    bool negative_ = false;
    unsigned __int128 mantissa_ = 0;
    int exponent_ = 0;
};
