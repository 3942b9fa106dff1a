#include "platform/foundation/Json.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using plat::Array;
using plat::Data;
using plat::Dictionary;
using plat::JSONSerialization;
using plat::Value;

namespace {

Value parse(std::string_view text, unsigned options = 0) {
    auto r = JSONSerialization::jsonObject(text, options);
    EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().description());
    return r.ok() ? *r : Value();
}

std::string write(const Value& v, unsigned options = 0) {
    auto r = JSONSerialization::string(v, options);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().description());
    return r.ok() ? *r : std::string();
}

void expectReadError(std::string_view text, unsigned options = 0) {
    auto r = JSONSerialization::jsonObject(text, options);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().domain, plat::NSCocoaErrorDomain);
    EXPECT_EQ(r.error().code, 3840);
    ASSERT_NE(r.error().userInfoValue(plat::NSDebugDescriptionErrorKey), nullptr);
}

void expectWriteError(const Value& v, unsigned options = 0) {
    auto r = JSONSerialization::data(v, options);
    ASSERT_FALSE(r.ok()) << v.description();
    EXPECT_EQ(r.error().code, 3852);
    EXPECT_NE(r.error().userInfoValue(plat::NSDebugDescriptionErrorKey), nullptr);
}

} // namespace

TEST(Json, ReadsNumbersExactlyAndKeepsKinds) {
    Value v = parse(
        R"([9223372036854775807, -9223372036854775808, 18446744073709551615, 1.5, 1e2, 0, -0, true, null])");
    const Array& a = v.asArray();
    EXPECT_EQ(a[0].asInt64(), INT64_MAX);
    EXPECT_EQ(a[1].asInt64(), INT64_MIN);
    EXPECT_EQ(a[2].kind(), Value::Kind::UInt);
    EXPECT_EQ(a[2].asUInt64(), UINT64_MAX);
    EXPECT_TRUE(a[3].isFloatingPoint());
    EXPECT_TRUE(a[4].isFloatingPoint()); // an exponent makes a double
    EXPECT_EQ(a[4].asDouble(), 100.0);
    EXPECT_TRUE(a[5].isInteger());
    EXPECT_TRUE(a[7].isBool());
    EXPECT_TRUE(a[8].isNull());
}

TEST(Json, DuplicateKeysLastWinsInFirstPosition) {
    Value v = parse(R"({"a":1,"b":2,"a":3})");
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v["a"].asInt64(), 3);
    EXPECT_EQ(write(v), R"({"a":3,"b":2})");
}

TEST(Json, FragmentsOnlyWithTheOption) {
    for (const char* text : {"\"x\"", "12", "true", "null"}) {
        expectReadError(text);
        parse(text, JSONSerialization::ReadingFragmentsAllowed);
    }
    expectWriteError(Value("x"));
    EXPECT_EQ(write(Value("x/y"), JSONSerialization::WritingFragmentsAllowed), R"("x\/y")");
    EXPECT_EQ(write(Value(3), JSONSerialization::WritingFragmentsAllowed), "3");
}

TEST(Json, RejectsBadInputWithError3840) {
    const char* cases[] = {
        "",
        "   ",
        "[1,]",
        "{\"a\" 1}",
        "[1] x",
        "{'a':1}",
        "[1e999999]",
        "[\"\xff\"]",     // invalid UTF-8
        "[\"\xc0\xaf\"]", // overlong
        "[\"\\ud800\"]",  // lone surrogate escape
        "[NaN]",
        "[\"a\nb\"]", // raw control character in a string
        "{1:2}",
    };
    for (const char* text : cases) {
        expectReadError(text);
    }
}

TEST(Json, NestingBombFailsCleanly) {
    std::string bomb(100000, '[');
    expectReadError(bomb);
    std::string objects;
    for (int i = 0; i < 100000; ++i) {
        objects += "{\"a\":";
    }
    expectReadError(objects);
    // 512 levels are fine, 513 are not.
    std::string ok = std::string(512, '[') + std::string(512, ']');
    EXPECT_TRUE(JSONSerialization::jsonObject(ok).ok());
    std::string deep = std::string(513, '[') + std::string(513, ']');
    expectReadError(deep);
}

TEST(Json, HugeNumbersAreNeverAnAbort) {
    std::string digits = "[" + std::string(100000, '9') + "]";
    expectReadError(digits); // beyond any double
    Value big = parse("[123456789012345678901234567890]");
    EXPECT_TRUE(big.at(0).isFloatingPoint()); // beyond 64 bits: the nearest double
    EXPECT_DOUBLE_EQ(big.at(0).asDouble(), 1.2345678901234568e29);
    expectReadError("[1e400]");
    EXPECT_EQ(parse("[1e-400]").at(0).asDouble(), 0.0);
}

TEST(Json, SkipsByteOrderMark) {
    Value v = parse("\xEF\xBB\xBF{\"k\":\"v\"}");
    EXPECT_EQ(v["k"].asString(), "v");
}

namespace {

// Text in UTF-16 or UTF-32 of either byte order, with or without a byte-order mark.
std::string encodeText(std::u32string_view text, int width, bool bigEndian, bool mark) {
    std::u32string units;
    if (mark) {
        units += U'\uFEFF';
    }
    for (char32_t c : text) {
        if (width == 2 && c >= 0x10000) {
            units += static_cast<char32_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char32_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += c;
        }
    }
    std::string out;
    for (char32_t u : units) {
        for (int b = 0; b < width; ++b) {
            const int shift = 8 * (bigEndian ? width - 1 - b : b);
            out += static_cast<char>((u >> shift) & 0xFF);
        }
    }
    return out;
}

} // namespace

TEST(Json, DetectsUTF16AndUTF32WithOrWithoutMark) {
    for (const int width : {2, 4}) {
        for (const bool bigEndian : {true, false}) {
            for (const bool mark : {true, false}) {
                SCOPED_TRACE(testing::Message() << "width " << width << (bigEndian ? " BE" : " LE")
                                                << (mark ? " with mark" : ""));
                const std::string object =
                    encodeText(U"{\"k\":\"v\u00e9\U0001F600\"}", width, bigEndian, mark);
                EXPECT_EQ(parse(object)["k"].asString(), "v\xC3\xA9\xF0\x9F\x98\x80");
                // A one-character fragment is told apart too.
                EXPECT_EQ(parse(encodeText(U"7", width, bigEndian, mark),
                                JSONSerialization::ReadingFragmentsAllowed)
                              .asInt64(),
                          7);
            }
        }
    }
    // Cut-off units and unpaired surrogates are not text.
    expectReadError(encodeText(U"[1]", 2, false, false).substr(1));
    expectReadError(std::string("\xFE\xFF\xD8\x00\x00\x5B", 6));
    expectReadError(std::string("\xFF\xFE", 2));
}

TEST(Json, WritesCompactWithEscapes) {
    Value v(Dictionary{
        {"url", Value("http://a/b")},
        {"s", Value("q\"\\\b\f\n\r\t\x01\x1f\x7f é")},
        {"n", Value(Array{Value(1.0), Value(0.1), Value(-2.5e-7), Value(1e300), Value(true), Value()})}});
    EXPECT_EQ(write(v),
              "{\"url\":\"http:\\/\\/a\\/b\",\"s\":\"q\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\x7f é\","
              "\"n\":[1,0.1,-2.5e-07,1e+300,true,null]}");
    EXPECT_EQ(write(Value(Array{Value("a/b")}), JSONSerialization::WritingWithoutEscapingSlashes),
              R"(["a/b"])");
}

TEST(Json, PrettyPrintsWithTwoSpacesAndSpacedColons) {
    Value v(Dictionary{
        {"b", Value(Array{Value(1), Value(2)})}, {"a", Value(Dictionary{})}, {"c", Value(Array{})}});
    EXPECT_EQ(write(v, JSONSerialization::WritingPrettyPrinted),
              "{\n  \"b\" : [\n    1,\n    2\n  ],\n  \"a\" : {},\n  \"c\" : []\n}");
}

TEST(Json, SortedKeysUseUTF16Order) {
    // U+FF21 sorts after U+1F600 by code point but before it by UTF-16 unit (0xD83D).
    Value v(Dictionary{
        {"\xF0\x9F\x98\x80", Value(1)}, {"\xEF\xBC\xA1", Value(2)}, {"b", Value(3)}, {"B", Value(4)}});
    EXPECT_EQ(write(v, JSONSerialization::WritingSortedKeys),
              "{\"B\":4,\"b\":3,\"\xF0\x9F\x98\x80\":1,\"\xEF\xBC\xA1\":2}");
}

TEST(Json, UnwritableValuesGive3852) {
    expectWriteError(Value(Array{Value(std::numeric_limits<double>::quiet_NaN())}));
    expectWriteError(Value(Array{Value(std::numeric_limits<double>::infinity())}));
    expectWriteError(Value(Array{Value(Data{1})}));
    expectWriteError(Value(Dictionary{{"d", Value(plat::Date())}}));
    expectWriteError(Value(Array{Value(std::string("\xff"))}));
    Value deep = Value(Array{});
    for (int i = 0; i < 600; ++i) {
        deep = Value(Array{deep});
    }
    expectWriteError(deep);
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(deep));
}

TEST(Json, IsValidJSONObject) {
    EXPECT_TRUE(
        JSONSerialization::isValidJSONObject(Value(Dictionary{{"a", Value(Array{Value(1), Value()})}})));
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(Value("top-level string")));
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(Value(Array{Value(NAN)})));
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(Value(Array{Value(Data{})})));
}

TEST(Json, RoundTrips) {
    const char* texts[] = {
        R"({"a":[1,-2,3.25,"x",true,false,null],"b":{"c":{}},"d":[]})",
        R"(["\u00e9\ud83d\ude00","\/"])",
        R"([18446744073709551615,-9223372036854775808,0.30000000000000004])",
    };
    for (const char* text : texts) {
        Value v = parse(text);
        Value again = parse(write(v));
        EXPECT_EQ(v, again) << text;
        EXPECT_EQ(write(v), write(again));
    }
    EXPECT_EQ(write(parse(R"(["\u00e9\ud83d\ude00"])")), "[\"\xC3\xA9\xF0\x9F\x98\x80\"]");
}
