#include "measurement/messages/DMSTextTools.hpp"

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"

#include <unicode/ucol.h>
#include <unicode/uregex.h>

#include <cmath>

struct DMSCollator::Impl {
    UCollator* collator = nullptr;
};

DMSCollator::DMSCollator() : impl_(std::make_unique<Impl>()) {
    UErrorCode status = U_ZERO_ERROR;
    impl_->collator = ucol_open("en_US", &status);
    if (U_FAILURE(status)) {
        impl_->collator = nullptr;
    }
}

DMSCollator::~DMSCollator() {
    if (impl_ && impl_->collator) {
        ucol_close(impl_->collator);
    }
}

const DMSCollator& DMSCollator::enUS() {
    static plat::NeverDestroyed<DMSCollator> collator;
    return *collator;
}

int DMSCollator::compare(std::string_view a, std::string_view b) const {
    if (!impl_->collator) {
        return plat::String::compareUTF16(a, b);
    }
    // Comparing with an opened collator does not change it, so one instance serves every thread.
    UErrorCode status = U_ZERO_ERROR;
    UCollationResult result = ucol_strcollUTF8(impl_->collator, a.data(), static_cast<int32_t>(a.size()),
                                               b.data(), static_cast<int32_t>(b.size()), &status);
    if (U_FAILURE(status)) {
        return plat::String::compareUTF16(a, b);
    }
    return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

struct DMSRegularExpression::Impl {
    URegularExpression* regex = nullptr;
};

DMSRegularExpression::DMSRegularExpression(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DMSRegularExpression::~DMSRegularExpression() {
    if (impl_ && impl_->regex) {
        uregex_close(impl_->regex);
    }
}

std::shared_ptr<DMSRegularExpression> DMSRegularExpression::create(std::string_view pattern, uint32_t options,
                                                                   plat::Error* error) {
    std::u16string units = plat::String::utf16(pattern);
    uint32_t flags = (options & caseInsensitive) ? UREGEX_CASE_INSENSITIVE : 0;
    UParseError parseError{};
    UErrorCode status = U_ZERO_ERROR;
    URegularExpression* regex =
        uregex_open(units.data(), static_cast<int32_t>(units.size()), flags, &parseError, &status);
    if (U_FAILURE(status)) {
        if (regex) {
            uregex_close(regex);
        }
        if (error) {
            plat::Dictionary userInfo{{"NSInvalidValue", plat::Value(std::string(pattern))}};
            *error = plat::Error("NSCocoaErrorDomain", 2048, std::move(userInfo));
        }
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->regex = regex;
    return std::make_shared<DMSRegularExpression>(std::move(impl));
}

bool DMSRegularExpression::firstMatch(std::string_view text) const {
    // A matcher holds the text it searches, so each search works on its own clone.
    UErrorCode status = U_ZERO_ERROR;
    URegularExpression* matcher = uregex_clone(impl_->regex, &status);
    if (U_FAILURE(status)) {
        return false;
    }
    std::u16string units = plat::String::utf16(text);
    uregex_setText(matcher, units.data(), static_cast<int32_t>(units.size()), &status);
    uregex_setTimeLimit(matcher, 1000000, &status);
    bool found = U_SUCCESS(status) && uregex_find(matcher, 0, &status);
    found = found && U_SUCCESS(status);
    uregex_close(matcher);
    return found;
}

namespace {

constexpr size_t kDMSDecimalMaxDigits = 38;
constexpr int kDMSDecimalMinExponent = -128;
constexpr int kDMSDecimalMaxExponent = 127;

} // namespace

DMSDecimal DMSDecimal::parse(std::string_view text, bool* exact) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::string digits;
    int fractionDigits = 0;
    bool pastPoint = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
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
    size_t firstSignificant = digits.find_first_not_of('0');
    digits.erase(0, firstSignificant == std::string::npos ? digits.size() : firstSignificant);
    long exponent = -static_cast<long>(fractionDigits);
    bool roundUp = false;
    if (exact) {
        size_t lastSignificant = digits.find_last_not_of('0');
        *exact = lastSignificant == std::string::npos || lastSignificant < kDMSDecimalMaxDigits;
    }
    if (digits.size() > kDMSDecimalMaxDigits) {
        // The mantissa keeps 38 digits; the first dropped one rounds.
        roundUp = digits[kDMSDecimalMaxDigits] >= '5';
        exponent += static_cast<long>(digits.size() - kDMSDecimalMaxDigits);
        digits.resize(kDMSDecimalMaxDigits);
    }
    DMSDecimal number;
    number.nan_ = false;
    number.negative_ = negative;
    for (char c : digits) {
        number.mantissa_ = number.mantissa_ * 10 + static_cast<unsigned>(c - '0');
    }
    number.mantissa_ += roundUp ? 1 : 0;
    while (number.mantissa_ != 0 && number.mantissa_ % 10 == 0) {
        number.mantissa_ /= 10;
        ++exponent;
    }
    if (number.mantissa_ == 0) {
        exponent = 0;
    }
    if (exponent < kDMSDecimalMinExponent || exponent > kDMSDecimalMaxExponent) {
        return notANumber();
    }
    number.exponent_ = static_cast<int>(exponent);
    return number;
}

std::string DMSDecimal::description() const {
    if (nan_) {
        return "NaN";
    }
    if (mantissa_ == 0) {
        return "0";
    }
    std::string digits;
    for (unsigned __int128 m = mantissa_; m != 0; m /= 10) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    }
    std::string text;
    if (exponent_ >= 0) {
        text = digits + std::string(static_cast<size_t>(exponent_), '0');
    } else {
        auto fraction = static_cast<size_t>(-exponent_);
        if (digits.size() > fraction) {
            text = digits.substr(0, digits.size() - fraction) + "." + digits.substr(digits.size() - fraction);
        } else {
            text = "0." + std::string(fraction - digits.size(), '0') + digits;
        }
    }
    return negative_ ? "-" + text : text;
}

DMSDecimal DMSDecimal::absolute() const {
    DMSDecimal copy = *this;
    copy.negative_ = false;
    return copy;
}

double DMSDecimal::doubleValue() const {
    if (nan_) {
        return std::nan("");
    }
    double value = static_cast<double>(mantissa_) * std::pow(10.0, exponent_);
    return negative_ ? -value : value;
}
