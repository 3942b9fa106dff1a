// Decimal numbers: parsing, exact scaling by powers of ten, ordering across exponents, text and number forms.

#include "platform/foundation/Decimal.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

plat::Decimal dec(std::string_view text) {
    auto d = plat::Decimal::fromString(text);
    EXPECT_TRUE(d) << text;
    return d.value_or(plat::Decimal());
}

TEST(Decimal, ParsesAndDescribesExactly) {
    struct Case {
        const char* text;
        const char* description;
    } cases[] = {
        {"2.5", "2.5"}, {"-0.25", "-0.25"}, {"1000000", "1000000"}, {"1e6", "1000000"},
        {"3.25E-2", "0.0325"}, {"2.50", "2.5"}, {"0", "0"}, {"+7", "7"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dec(c.text).description(), c.description) << c.text;
    }
    for (const char* bad : {"", "abc", "1.2.3", "1e", "--1", "1x", "1e999"}) {
        EXPECT_FALSE(plat::Decimal::fromString(bad)) << bad;
    }
}

TEST(Decimal, ScalesByPowersOfTenWithoutRounding) {
    EXPECT_EQ(dec("2.5").multiplyingByPowerOf10(6)->numberValue(), plat::Value(int64_t(2500000)));
    EXPECT_EQ(dec("0.0000015").multiplyingByPowerOf10(6)->description(), "1.5");
    // 0.1 as a double is not 0.1; as a decimal it scales to exactly 100000.
    EXPECT_EQ(plat::Decimal::fromDouble(0.1)->multiplyingByPowerOf10(6)->numberValue(), plat::Value(int64_t(100000)));
    EXPECT_FALSE(plat::Decimal::maximum().multiplyingByPowerOf10(1));
    EXPECT_TRUE(plat::Decimal::maximum().multiplyingByPowerOf10(-6)->multiplyingByPowerOf10(6));
}

TEST(Decimal, OrdersAcrossSignsAndExponents) {
    const auto limit = *plat::Decimal::maximum().multiplyingByPowerOf10(-6);
    EXPECT_GT(plat::Decimal::maximum(), limit);
    EXPECT_GT(*limit.multiplyingByPowerOf10(1), limit);
    EXPECT_LT(dec("999999999999"), limit);
    EXPECT_EQ(plat::Decimal::compare(dec("2.50"), dec("2.5")), 0);
    EXPECT_LT(dec("-3"), dec("-2.5"));
    EXPECT_LT(dec("-1"), dec("0"));
    EXPECT_GT(dec("0.001"), dec("0"));
    EXPECT_LT(dec("9"), dec("10"));
    EXPECT_LT(dec("0.09"), dec("0.1"));
    EXPECT_TRUE(plat::Decimal::notANumber().isNaN());
}

TEST(Decimal, NumberValueIsIntegerWhenWholeElseDouble) {
    EXPECT_TRUE(dec("1500.000").numberValue().isInteger());
    EXPECT_EQ(dec("-42").numberValue(), plat::Value(int64_t(-42)));
    EXPECT_DOUBLE_EQ(dec("2500000.5").numberValue().asDouble(), 2500000.5);
    EXPECT_TRUE(dec("1e30").numberValue().isFloatingPoint());
    EXPECT_TRUE(std::isnan(plat::Decimal::notANumber().numberValue().asDouble()));
}

TEST(Decimal, LeadingTextKeeps38DigitsAndTellsWhatWasDropped) {
    const std::string digits38(38, '9');
    const std::string ones38(38, '1');
    struct Case {
        std::string text;
        std::string description;
        bool exact;
    } cases[] = {
        {"12.5kg", "12.5", true}, {"-0.50", "-0.5", true}, {".5", "0.5", true}, {"5.", "5", true},
        {"0012.3400", "12.34", true}, {"1e5", "1", true}, {"1.2.3", "1.2", true},
        {ones38 + "000", ones38 + "000", true}, {"0." + ones38, "0." + ones38, true},
        // The first dropped digit rounds; dropped zeros lose nothing.
        {ones38 + "4", ones38 + "0", false}, {ones38 + "5", std::string(37, '1') + "20", false},
        {digits38 + "9", "1" + std::string(39, '0'), false},
        {"0." + ones38 + "1", "0." + ones38, false},
    };
    for (const auto& c : cases) {
        bool exact = !c.exact;
        const plat::Decimal d = plat::Decimal::fromLeadingText(c.text, &exact);
        EXPECT_EQ(d.description(), c.description) << c.text;
        EXPECT_EQ(exact, c.exact) << c.text;
    }
    for (const char* none : {"", "-", ".", "+.", "abc", "e5"}) {
        EXPECT_TRUE(plat::Decimal::fromLeadingText(none).isNaN()) << none;
    }
    // Exponents beyond -128...127 have no decimal.
    EXPECT_TRUE(plat::Decimal::fromLeadingText("0." + std::string(128, '0') + "1").isNaN());
    EXPECT_TRUE(plat::Decimal::fromLeadingText("1" + std::string(128, '0')).isNaN());
    EXPECT_EQ(plat::Decimal::fromLeadingText("1" + std::string(127, '0')).description(), "1" + std::string(127, '0'));
}

TEST(Decimal, AbsoluteDropsOnlyTheSign) {
    EXPECT_EQ(dec("-2.5").absolute().description(), "2.5");
    EXPECT_FALSE(dec("-2.5").absolute().isNegative());
    EXPECT_EQ(dec("3").absolute(), dec("3"));
    EXPECT_TRUE(plat::Decimal::notANumber().absolute().isNaN());
}

} // namespace
