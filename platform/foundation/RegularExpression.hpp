#pragma once
// plat::RegularExpression stands for the platform's regular expressions, which are ICU's: the same pattern
// syntax (\p{Alnum}, \p{L}, ...) and matching over UTF-16 units. Without multi-line mode `$` also matches
// before a final line break.

#include "platform/foundation/Error.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct URegularExpression;

namespace plat {

class RegularExpression {
public:
    static constexpr unsigned kCaseInsensitive = 1;

    // Fails in "NSCocoaErrorDomain" with code 2048 (the platform's invalid-pattern error) for a bad pattern.
    static Result<RegularExpression> make(std::string_view pattern, unsigned options = 0);

    // Every match of the pattern in `text` replaced by `replacement` ("$1" names a group, "\$" a dollar).
    std::string stringByReplacingMatches(std::string_view text, std::string_view replacement) const;
    size_t numberOfMatches(std::string_view text) const;
    // Whether any part of the text matches. A match that runs past the time limit (a pattern that backtracks
    // without end) counts as none, so a hostile text cannot stall the caller.
    bool firstMatch(std::string_view text) const;
    // The same, telling a search that ran out of time (or failed) apart from one that found nothing: none.
    std::optional<bool> firstMatchWithinTimeLimit(std::string_view text) const;
    const std::string& pattern() const { return pattern_; }

    RegularExpression(const RegularExpression& other);
    RegularExpression& operator=(const RegularExpression& other);
    RegularExpression(RegularExpression&&) noexcept = default;
    RegularExpression& operator=(RegularExpression&&) noexcept = default;
    ~RegularExpression();

private:
    struct Closer {
        void operator()(URegularExpression* re) const;
    };
    using Handle = std::unique_ptr<URegularExpression, Closer>;
    RegularExpression(std::string pattern, Handle handle) : pattern_(std::move(pattern)), re_(std::move(handle)) {}

    std::string pattern_;
    // A compiled expression holds its matching state, so each use works on its own clone.
    Handle re_;
};

} // namespace plat
