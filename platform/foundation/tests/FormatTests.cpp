#include "platform/foundation/Format.hpp"

#include <gtest/gtest.h>

#include "platform/foundation/Error.hpp"

using plat::format;
using plat::Value;

TEST(Format, ConversionsFlagsWidthAndPrecision) {
    int x = 0;
    struct Case {
        std::string got, expected;
    } cases[] = {
        {format("plain 100%%"), "plain 100%"},
        {format("%d|%i|%u", -5, 7, 3u), "-5|7|3"},
        {format("%ld %lu %lld %llu", -1L, 2UL, -3LL, 4ULL), "-1 2 -3 4"},
        {format("%zd %zu", static_cast<ssize_t>(-9), size_t{9}), "-9 9"},
        {format("%x %X %lx %llx", 255, 255, 4096L, 0xDEADBEEFCAFEULL), "ff FF 1000 deadbeefcafe"},
        {format("%u %x %lu", -1, -1, -1L), "4294967295 ffffffff 18446744073709551615"},
        {format("%06ld|%-6d|%+d|% d|%5s|%-5s|", 42L, 42, 42, 42, "ab", "ab"),
         "000042|42    |+42| 42|   ab|ab   |"},
        {format("%.3f %0.0f %e %g %g", 3.14159, 2.5, 12345.678, 0.0001, 1e20),
         "3.142 2 1.234568e+04 0.0001 1e+20"},
        {format("%*d|%-*d|%.*f|%.*s", 4, 7, 3, 7, 2, 1.23456, 2, "abcdef"), "   7|7  |1.23|ab"},
        {format("%c%c", 'o', 107), "ok"},
        {format("%s %@", static_cast<const char*>(nullptr), static_cast<const Value*>(nullptr)),
         "(null) (null)"},
        {format("%@ %@", Value(plat::Array{Value(1)}), std::optional<Value>()), "(\n    1\n) (null)"},
        {format("%@|%@", std::string("text"), Value("value")), "text|value"},
        {format("%@", plat::Error("D", 3)),
         "Error Domain=D Code=3 \"The operation couldn\u2019t be completed. (D error 3.)\""},
        {format("%p", static_cast<void*>(nullptr)), "0x0"},
        {format("%d %@", true, Value(false)), "1 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.expected);
    }
    EXPECT_TRUE(format("%p", &x).starts_with("0x"));
}

TEST(Format, ArgumentTextIsNeverAFormat) {
    EXPECT_EQ(format("%s|%@", "%d%s%n", std::string("%@%%")), "%d%s%n|%@%%");
}

TEST(Format, MismatchesThrow) {
    EXPECT_THROW(format("%d"), std::logic_error);
    EXPECT_THROW(format("%d", 1, 2), std::logic_error);
    EXPECT_THROW(format("no conversions", 1), std::logic_error);
    EXPECT_THROW(format("%d", "text"), std::logic_error);
    EXPECT_THROW(format("%s", 5), std::logic_error);
    EXPECT_THROW(format("%f", 5), std::logic_error);
    EXPECT_THROW(format("%@", 5), std::logic_error);
    EXPECT_THROW(format("%s", Value("x")), std::logic_error);
    EXPECT_THROW(format("%q"), std::logic_error);
    EXPECT_THROW(format("%n", 1), std::logic_error);
    EXPECT_THROW(format("trailing %"), std::logic_error);
    EXPECT_THROW(format("%*d", "w", 1), std::logic_error);
}
