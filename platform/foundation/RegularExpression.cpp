#include "platform/foundation/RegularExpression.hpp"

#include "platform/foundation/String.hpp"

#include <unicode/uregex.h>

#include <vector>

namespace plat {

void RegularExpression::Closer::operator()(URegularExpression* re) const {
    if (re) {
        uregex_close(re);
    }
}

Result<RegularExpression> RegularExpression::make(std::string_view pattern, unsigned options) {
    const std::u16string units = String::utf16(pattern);
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const uint32_t flags = (options & kCaseInsensitive) ? UREGEX_CASE_INSENSITIVE : 0;
    URegularExpression* re = uregex_open(reinterpret_cast<const UChar*>(units.data()),
                                         static_cast<int32_t>(units.size()), flags, &parseError, &status);
    if (U_FAILURE(status)) {
        Closer{}(re);
        return Error("NSCocoaErrorDomain", 2048,
                     Dictionary{{"NSInvalidValue", Value(std::string(pattern))}});
    }
    return RegularExpression(std::string(pattern), Handle(re));
}

RegularExpression::RegularExpression(const RegularExpression& other) : pattern_(other.pattern_) {
    UErrorCode status = U_ZERO_ERROR;
    re_.reset(uregex_clone(other.re_.get(), &status));
}

RegularExpression& RegularExpression::operator=(const RegularExpression& other) {
    if (this != &other) {
        RegularExpression copy(other);
        *this = std::move(copy);
    }
    return *this;
}

RegularExpression::~RegularExpression() = default;

std::string RegularExpression::stringByReplacingMatches(std::string_view text, std::string_view replacement) const {
    UErrorCode status = U_ZERO_ERROR;
    Handle re(uregex_clone(re_.get(), &status));
    const std::u16string input = String::utf16(text);
    const std::u16string with = String::utf16(replacement);
    uregex_setText(re.get(), reinterpret_cast<const UChar*>(input.data()), static_cast<int32_t>(input.size()),
                   &status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    std::vector<UChar> out(input.size() * 2 + with.size() + 16);
    for (;;) {
        status = U_ZERO_ERROR;
        const int32_t length =
            uregex_replaceAll(re.get(), reinterpret_cast<const UChar*>(with.data()), static_cast<int32_t>(with.size()),
                              out.data(), static_cast<int32_t>(out.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<size_t>(length) + 1);
            uregex_reset(re.get(), 0, &status);
            continue;
        }
        if (U_FAILURE(status)) {
            return std::string(text);
        }
        return String::fromUTF16(std::u16string_view(reinterpret_cast<const char16_t*>(out.data()),
                                                      static_cast<size_t>(length)));
    }
}

size_t RegularExpression::numberOfMatches(std::string_view text) const {
    UErrorCode status = U_ZERO_ERROR;
    Handle re(uregex_clone(re_.get(), &status));
    const std::u16string input = String::utf16(text);
    uregex_setText(re.get(), reinterpret_cast<const UChar*>(input.data()), static_cast<int32_t>(input.size()),
                   &status);
    size_t count = 0;
    while (U_SUCCESS(status) && uregex_findNext(re.get(), &status)) {
        ++count;
    }
    return count;
}

bool RegularExpression::firstMatch(std::string_view text) const {
    return firstMatchWithinTimeLimit(text).value_or(false);
}

std::optional<bool> RegularExpression::firstMatchWithinTimeLimit(std::string_view text) const {
    UErrorCode status = U_ZERO_ERROR;
    Handle re(uregex_clone(re_.get(), &status));
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    const std::u16string input = String::utf16(text);
    uregex_setText(re.get(), reinterpret_cast<const UChar*>(input.data()), static_cast<int32_t>(input.size()),
                   &status);
    // In steps of the matcher's loop; enough for any sane pattern, short for a runaway one.
    uregex_setTimeLimit(re.get(), 1000000, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    const bool found = uregex_find(re.get(), 0, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return found;
}

} // namespace plat
