// Regular expressions with ICU's syntax: Unicode classes, replacement of runs, bad patterns.

#include "platform/foundation/RegularExpression.hpp"

#include <gtest/gtest.h>

namespace {

TEST(RegularExpression, ReplacesRunsOfUnicodeClasses) {
    auto re = plat::RegularExpression::make("[^\\p{Alnum}_]+");
    ASSERT_TRUE(re);
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"2nd purchase!", "2nd_purchase_"}, {"a  -- b", "a_b"}, {"caf\xC3\xA9 \xF0\x9F\x98\x80x", "caf\xC3\xA9_x"},
        {"plain_name", "plain_name"}, {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(re->stringByReplacingMatches(c.in, "_"), c.out) << c.in;
    }
    EXPECT_EQ(re->numberOfMatches("a b!c"), 2u);
    // A copy matches on its own.
    plat::RegularExpression copy = *re;
    EXPECT_EQ(copy.stringByReplacingMatches("x y", "-"), "x-y");
}

TEST(RegularExpression, LongResultsAndBadPatterns) {
    auto re = plat::RegularExpression::make("a");
    ASSERT_TRUE(re);
    EXPECT_EQ(re->stringByReplacingMatches(std::string(50, 'a'), "bbbb"), std::string(200, 'b'));
    auto bad = plat::RegularExpression::make("[unclosed");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().code, 2048);
}

TEST(RegularExpression, FirstMatchAnchorsAndCase) {
    auto decimal = plat::RegularExpression::make("^[+-]?[0-9]+(\\.[0-9]+)?$");
    ASSERT_TRUE(decimal);
    struct Case {
        const char* text;
        bool matches;
    } cases[] = {
        {"12.5", true}, {"-3", true}, {"12.5\n", true}, {"12.5\n\n", false}, {"1\n2", false}, {"x12", false}, {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decimal->firstMatch(c.text), c.matches) << c.text;
    }
    auto word = plat::RegularExpression::make("abc", plat::RegularExpression::kCaseInsensitive);
    ASSERT_TRUE(word);
    EXPECT_TRUE(word->firstMatch("xxABcx"));
    EXPECT_FALSE(plat::RegularExpression::make("abc")->firstMatch("xxABcx"));
}

} // namespace
