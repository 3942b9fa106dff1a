#include "platform/foundation/Value.hpp"

#include <gtest/gtest.h>
#include <limits>
#include <unordered_set>

#include "platform/foundation/Error.hpp"

using plat::Array;
using plat::Data;
using plat::Date;
using plat::Dictionary;
using plat::Value;

TEST(Value, BoolValueOfStrings) {
    struct Case {
        const char* text;
        bool expected;
    } cases[] = {
        {"YES", true},  {"yes", true},    {"true", true}, {"T", true},    {"1", true},   {"9", true},
        {"  y", true},  {"+1", true},     {"-5", true},   {"0001", true}, {"00", false}, {"0", false},
        {"NO", false},  {"false", false}, {"", false},    {"  ", false},  {"x", false},  {"+-1", false},
        {"0x1", false}, {"\t\n7", true},  {"-0", false},  {"0y", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Value(c.text).boolValue(), c.expected) << '"' << c.text << '"';
    }
}

TEST(Value, BoolValueOfOtherKinds) {
    EXPECT_TRUE(Value(true).boolValue());
    EXPECT_TRUE(Value(-3).boolValue());
    EXPECT_TRUE(Value(0.5).boolValue());
    EXPECT_FALSE(Value(0.0).boolValue());
    EXPECT_TRUE(Value(std::numeric_limits<uint64_t>::max()).boolValue());
    EXPECT_FALSE(Value().boolValue());
    EXPECT_FALSE(Value(Array{Value(1)}).boolValue());
}

TEST(Value, IntegerValueTruncatesAndSaturates) {
    struct Case {
        Value v;
        int64_t expected;
    } cases[] = {
        {Value(3.99), 3},
        {Value(-3.99), -3},
        {Value(1e30), INT64_MAX},
        {Value(-1e30), INT64_MIN},
        {Value(std::numeric_limits<double>::quiet_NaN()), 0},
        {Value(std::numeric_limits<uint64_t>::max()), INT64_MAX},
        {Value(true), 1},
        {Value("  -42abc"), -42},
        {Value("+17"), 17},
        {Value("99999999999999999999"), INT64_MAX},
        {Value("-99999999999999999999"), INT64_MIN},
        {Value("-9223372036854775808"), INT64_MIN},
        {Value("abc"), 0},
        {Value("3.7"), 3},
        {Value(Data{1, 2}), 0},
        {Value(Dictionary{}), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.v.integerValue(), c.expected) << c.v.description();
        EXPECT_EQ(c.v.longLongValue(), c.expected);
    }
}

TEST(Value, UnsignedIntValueWrapsTo32Bits) {
    EXPECT_EQ(Value(-1).unsignedIntValue(), 0xFFFFFFFFu);
    EXPECT_EQ(Value(int64_t{0x1'0000'0005}).unsignedIntValue(), 5u);
    EXPECT_EQ(Value("4294967297").unsignedIntValue(), 1u);
    EXPECT_EQ(Value(std::numeric_limits<uint64_t>::max()).unsignedIntValue(), 0xFFFFFFFFu);
}

TEST(Value, DoubleValueParsesPrefixInTheCLocale) {
    EXPECT_DOUBLE_EQ(Value(" 3.5kg").doubleValue(), 3.5);
    EXPECT_DOUBLE_EQ(Value("-1e3").doubleValue(), -1000);
    EXPECT_DOUBLE_EQ(Value("+.25").doubleValue(), 0.25);
    EXPECT_DOUBLE_EQ(Value("3,5").doubleValue(), 3);
    EXPECT_DOUBLE_EQ(Value("abc").doubleValue(), 0);
    EXPECT_DOUBLE_EQ(Value(true).doubleValue(), 1);
    EXPECT_DOUBLE_EQ(Value(uint64_t{1} << 63).doubleValue(), 9223372036854775808.0);
}

TEST(Value, UnsignedKeepsItsKindOnlyAboveInt64Max) {
    EXPECT_EQ(Value(uint64_t{5}).kind(), Value::Kind::Int);
    Value big(uint64_t{1} << 63);
    EXPECT_EQ(big.kind(), Value::Kind::UInt);
    EXPECT_EQ(big.asUInt64(), uint64_t{1} << 63);
    EXPECT_EQ(big.description(), "9223372036854775808");
}

TEST(Value, BoolIsANumberButNotAnInteger) {
    Value b(true);
    EXPECT_TRUE(b.isNumber());
    EXPECT_TRUE(b.isBool());
    EXPECT_FALSE(b.isInteger());
    EXPECT_EQ(b.className(), "NSNumber");
    EXPECT_TRUE(b.isEqual(Value(1)));
    EXPECT_FALSE(Value("1").isNumber());
}

TEST(Value, Descriptions) {
    struct Case {
        Value v;
        const char* expected;
    } cases[] = {
        {Value(), "<null>"},
        {Value(true), "1"},
        {Value(false), "0"},
        {Value(-12), "-12"},
        {Value(0.1), "0.1"},
        {Value(1.0 / 3), "0.3333333333333333"},
        {Value(0.1f), "0.1"},
        {Value(1.0f / 3), "0.3333333"},
        {Value(Data{0x0a, 0x0b, 0x0c, 0x0d, 0x0e}), "<0a0b0c0d 0e>"},
        {Value(Data{}), "<>"},
        {Value(Date::fromTimeIntervalSinceReferenceDate(0)), "2001-01-01 00:00:00 +0000"},
        {Value("a b"), "a b"},
        {Value(Array{}), "(\n)"},
        {Value(Array{Value(1), Value("two words"), Value("plain_word.x")}),
         "(\n    1,\n    \"two words\",\n    plain_word.x\n)"},
        {Value(Dictionary{{"a", Value(1)}, {"b c", Value(Array{Value("x")})}}),
         "{\n    a = 1;\n    \"b c\" = (\n        x\n    );\n}"},
        {Value(Dictionary{{"q", Value("say \"hi\"")}, {"", Value()}}),
         "{\n    \"\" = \"<null>\";\n    q = \"say \\\"hi\\\"\";\n}"},
        // Keys in ascending order whatever the order of insertion, nested dictionaries too.
        {Value(Dictionary{{"zeta", Value(1)},
                          {"Beta", Value(2)},
                          {"alpha", Value(Dictionary{{"y", Value(3)}, {"x", Value(4)}})}}),
         "{\n    Beta = 2;\n    alpha = {\n        x = 4;\n        y = 3;\n    };\n    zeta = 1;\n}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.v.description(), c.expected);
    }
    EXPECT_EQ(Value::description(std::optional<Value>()), "(null)");
    EXPECT_EQ(Value::description(static_cast<const Value*>(nullptr)), "(null)");
}

TEST(Value, ClassNames) {
    EXPECT_EQ(Value().className(), "NSNull");
    EXPECT_EQ(Value(1.5).className(), "NSNumber");
    EXPECT_EQ(Value("s").className(), "NSString");
    EXPECT_EQ(Value(Data{}).className(), "NSData");
    EXPECT_EQ(Value(Date()).className(), "NSDate");
    EXPECT_EQ(Value(Array{}).className(), "NSArray");
    EXPECT_EQ(Value(Dictionary{}).className(), "NSDictionary");
}

TEST(Value, EqualityAcrossNumberKindsAndHashAgreement) {
    const Value uMax(std::numeric_limits<uint64_t>::max());
    struct Case {
        Value a, b;
        bool equal;
    } cases[] = {
        {Value(1), Value(1.0), true},
        {Value(true), Value(1), true},
        {Value(false), Value(0.0), true},
        {Value(-1), uMax, false},
        {Value(uint64_t{1} << 63), Value(9223372036854775808.0), true},
        {Value(int64_t{9007199254740993}), Value(9007199254740992.0), false},
        {Value(1.5), Value(1), false},
        {Value("1"), Value(1), false},
        {Value(Data{1}), Value(Data{1}), true},
        {Value(), Value(), true},
        {Value(), Value(0), false},
        {Value(Dictionary{{"a", Value(1)}, {"b", Value(2)}}),
         Value(Dictionary{{"b", Value(2.0)}, {"a", Value(true)}}), true},
        {Value(Dictionary{{"a", Value(1)}}), Value(Dictionary{{"a", Value(1)}, {"b", Value(2)}}), false},
        {Value(Array{Value(1), Value(2)}), Value(Array{Value(2), Value(1)}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b == c.a, c.equal);
        if (c.equal) {
            EXPECT_EQ(c.a.hash(), c.b.hash()) << c.a.description();
        }
    }
    std::unordered_set<Value> set{Value(1), Value(2.0), Value("x")};
    EXPECT_TRUE(set.count(Value(true)));
    EXPECT_TRUE(set.count(Value(2)));
}

TEST(Value, DictionaryKeepsInsertionOrderAndFindsKeysAtAnySize) {
    Dictionary d;
    for (int i = 30; i > 0; --i) {
        d.set("k" + std::to_string(i), Value(i));
    }
    d.set("k15", Value("replaced"));
    ASSERT_EQ(d.size(), 30u);
    EXPECT_EQ(d.keys().front(), "k30");
    EXPECT_EQ(d.keys()[15], "k15");
    EXPECT_EQ(d.find("k15")->asString(), "replaced");
    for (int i = 1; i <= 30; ++i) {
        ASSERT_NE(d.find("k" + std::to_string(i)), nullptr) << i;
    }
    EXPECT_TRUE(d.erase("k30"));
    EXPECT_FALSE(d.erase("k30"));
    EXPECT_EQ(d.find("k30"), nullptr);
    EXPECT_EQ(d.find("k1")->asInt64(), 1); // indices moved after the erase
    EXPECT_EQ(d.keys().front(), "k29");
    Dictionary copy = d;
    copy.set("new", Value(1));
    EXPECT_EQ(d.find("new"), nullptr);
    EXPECT_EQ(copy.find("k2")->asInt64(), 2);
}

TEST(Value, CopiesDoNotShareMutations) {
    Value a(Dictionary{{"list", Value(Array{Value(1)})}});
    Value b = a;
    b["list"].push_back(Value(2));
    b["new"] = Value("x");
    EXPECT_EQ(a["list"].size(), 1u);
    EXPECT_EQ(b["list"].size(), 2u);
    EXPECT_FALSE(a.contains("new"));
    EXPECT_TRUE(b.contains("new"));
}

TEST(Value, AbsentDiffersFromNull) {
    Value d(Dictionary{{"n", Value()}});
    ASSERT_NE(d.find("n"), nullptr);
    EXPECT_TRUE(d.find("n")->isNull());
    EXPECT_EQ(d.find("missing"), nullptr);
    const Value& readOnly = d;
    EXPECT_TRUE(readOnly["missing"].isNull()); // a const read gives null without inserting
    EXPECT_EQ(d.size(), 1u);
    EXPECT_EQ(Value(1).find("x"), nullptr);
    EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNull());
}

TEST(Value, WrongKindAccessIsAProgrammingFault) {
    EXPECT_THROW(Value(1).asString(), std::logic_error);
    EXPECT_THROW(Value("x").asInt64(), std::logic_error);
    EXPECT_THROW(Value(-1).asUInt64(), std::logic_error);
    EXPECT_THROW(Value(Array{}).at(0), std::out_of_range);
    EXPECT_EQ(Value(1).ifString(), nullptr);
}

TEST(Value, StringValue) {
    EXPECT_EQ(Value("abc").stringValue(), "abc");
    EXPECT_EQ(Value(42).stringValue(), "42");
    EXPECT_EQ(Value(true).stringValue(), "1");
    EXPECT_EQ(Value(2.5).stringValue(), "2.5");
}

namespace {
std::string fakeClassName(const plat::rt::Object&) {
    return "NSDecimalNumber";
}
} // namespace

namespace plat::rt {
class Object {};
} // namespace plat::rt

TEST(Value, ObjectsUseTheRuntimeHooks) {
    auto obj = std::make_shared<plat::rt::Object>();
    Value v(obj);
    EXPECT_TRUE(v.isObject());
    EXPECT_FALSE(v.isNumber());
    EXPECT_EQ(v.className(), "NSObject");
    EXPECT_TRUE(v.description().starts_with("<NSObject: 0x"));
    plat::Value::setObjectHooks({&fakeClassName, nullptr});
    EXPECT_EQ(v.className(), "NSDecimalNumber");
    EXPECT_TRUE(v.isNumber());
    EXPECT_TRUE(v == Value(obj));
    EXPECT_FALSE(v == Value(std::make_shared<plat::rt::Object>()));
    plat::Value::setObjectHooks({});
    EXPECT_TRUE(Value(std::shared_ptr<plat::rt::Object>()).isNull());
}
