// Typed values from platform objects, their equality as map keys, user attributes and their wire fields.

#include "measurement/messages/DMSMessageFields.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

namespace {

struct DMSValueFromObjectCase {
    const char* label;
    std::optional<plat::Value> object;
    std::optional<DMSValue> expected;
    std::optional<int64_t> monitorCode;
};

} // namespace

TEST(DMSValue, FromObjectTypesNumbersByTheirKind) {
    const DMSValueFromObjectCase cases[] = {
        {"integer", plat::Value(3), DMSValue::initWithInt64(3), std::nullopt},
        {"floating number", plat::Value(3.0), DMSValue::initWithDouble(3.0), std::nullopt},
        {"bool YES", plat::Value(true), DMSValue::initWithInt64(1), std::nullopt},
        {"bool NO", plat::Value(false), DMSValue::initWithInt64(0), std::nullopt},
        {"unsigned above the signed range saturates", plat::Value(std::numeric_limits<uint64_t>::max()),
         DMSValue::initWithInt64(std::numeric_limits<int64_t>::max()), std::nullopt},
        {"string", plat::Value("text"), DMSValue::initWithString("text"), std::nullopt},
        {"empty string", plat::Value(""), DMSValue::initWithString(""), std::nullopt},
        {"nil", std::nullopt, std::nullopt, 35000},
        {"date", plat::Value(plat::Date(12)), std::nullopt, 35001},
        {"null object", plat::Value(), std::nullopt, 35001},
        {"array", plat::Value(plat::Array{plat::Value(1)}), std::nullopt, 35001},
        {"data", plat::Value(plat::Data{1, 2}), std::nullopt, 35001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        dms::test::MonitorRecorder monitor;
        std::optional<DMSValue> value = DMSValue::valueFromObject(c.object);
        EXPECT_EQ(value, c.expected);
        if (c.monitorCode) {
            ASSERT_EQ(monitor.codes(), std::vector<int64_t>{*c.monitorCode});
            EXPECT_EQ(monitor.calls()[0].level, 0);
        } else {
            EXPECT_TRUE(monitor.codes().empty());
        }
    }
}

TEST(DMSValue, StringConstructionRefusesNilAndOtherKinds) {
    dms::test::MonitorRecorder monitor;
    EXPECT_EQ(DMSValue::initWithStringObject(std::optional<plat::Value>()), std::nullopt);
    EXPECT_EQ(DMSValue::initWithStringObject(std::optional<plat::Value>(plat::Value(5))), std::nullopt);
    auto text = DMSValue::initWithStringObject(std::optional<plat::Value>(plat::Value("a")));
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->isString());
    EXPECT_EQ(text->stringValue(), std::optional<std::string>("a"));
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{35002, 35003}));
}

TEST(DMSValue, AccessorsAnswerOnlyForTheirOwnType) {
    DMSValue integer = DMSValue::initWithInt64(7);
    DMSValue real = DMSValue::initWithDouble(2.5);
    DMSValue text = DMSValue::initWithString("7");
    EXPECT_EQ(integer.valueType(), DMSValue::DMSValueTypeInt64);
    EXPECT_EQ(integer.doubleValue(), 0);
    EXPECT_EQ(integer.stringValue(), std::nullopt);
    EXPECT_EQ(real.int64Value(), 0);
    EXPECT_EQ(real.doubleValue(), 2.5);
    EXPECT_EQ(text.int64Value(), 0);
    EXPECT_EQ(text.description(), "7");
}

TEST(DMSValue, StoredTypeAndObjectThatDisagreeReadAsNothing) {
    DMSValue mismatched = DMSValue::initWithValueType(DMSValue::DMSValueTypeDouble, plat::Value("3.5"));
    EXPECT_TRUE(mismatched.isDouble());
    EXPECT_EQ(mismatched.doubleValue(), 0);
    EXPECT_EQ(mismatched.stringValue(), std::nullopt);
    DMSValue textAsInteger = DMSValue::initWithValueType(DMSValue::DMSValueTypeString, plat::Value(4));
    EXPECT_EQ(textAsInteger.stringValue(), std::nullopt);
    EXPECT_EQ(textAsInteger.int64Value(), 0);
    EXPECT_EQ(DMSValue::initWithValueType(DMSValue::DMSValueTypeInt64, plat::Value(4)),
              DMSValue::initWithInt64(4));
    EXPECT_EQ(DMSValue::initWithValueType(DMSValue::DMSValueTypeDouble, plat::Value(4)).doubleValue(), 4.0);
}

TEST(DMSValue, EqualityNeedsTheSameTypeAndServesAsMapKey) {
    EXPECT_NE(DMSValue::initWithInt64(1), DMSValue::initWithDouble(1.0));
    EXPECT_NE(DMSValue::initWithInt64(1), DMSValue::initWithString("1"));
    EXPECT_EQ(DMSValue::initWithString("same"), DMSValue::initWithString(std::string("sa") + "me"));
    EXPECT_EQ(DMSValue::initWithString("same").hash(), DMSValue::initWithString("same").hash());

    std::unordered_map<DMSValue, int> counts;
    counts[DMSValue::initWithInt64(1)] += 1;
    counts[DMSValue::initWithDouble(1.0)] += 1;
    counts[DMSValue::initWithString("a")] += 1;
    counts[DMSValue::initWithString("a")] += 1;
    EXPECT_EQ(counts.size(), 3u);
    EXPECT_EQ(counts[DMSValue::initWithString("a")], 2);
}

TEST(DMSUserAttribute, UserIDMayBeLongerThanOtherProperties) {
    dms::test::MonitorRecorder monitor;
    const std::string longText(200, 'x');
    auto userID = DMSUserAttribute::initWithOrigin("app", "_id", DMSValue::initWithString(longText), 1.5);
    ASSERT_TRUE(userID);
    EXPECT_EQ(userID->value().stringValue(), longText);
    EXPECT_FALSE(DMSUserAttribute::initWithOrigin("app", "color", DMSValue::initWithString(longText), 1.5));
    EXPECT_TRUE(
        DMSUserAttribute::initWithOrigin("app", "color", DMSValue::initWithString(std::string(36, 'x')), 1));
    EXPECT_FALSE(
        DMSUserAttribute::initWithOrigin("app", "_id", DMSValue::initWithString(std::string(257, 'x')), 1));
    EXPECT_FALSE(DMSUserAttribute::initWithOrigin("app", "color", std::nullopt, 1));
    EXPECT_FALSE(DMSUserAttribute::initWithOrigin("app", "bad-name", DMSValue::initWithInt64(1), 1));
    EXPECT_FALSE(
        DMSUserAttribute::initWithOrigin("app", std::string(25, 'n'), DMSValue::initWithInt64(1), 1));
}

TEST(DMSUserAttribute, PublicByItsName) {
    EXPECT_FALSE(DMSUserAttribute::initWithOrigin("auto", "_fot", DMSValue::initWithInt64(1), 1)->isPublic());
    EXPECT_TRUE(DMSUserAttribute::initWithOrigin("app", "color", DMSValue::initWithInt64(1), 1)->isPublic());
    EXPECT_TRUE(DMSUserAttribute::initWithOrigin("app", "x_", DMSValue::initWithInt64(1), 1)->isPublic());
}

TEST(DMSUserAttribute, WireFieldsCarryOneValueAndMilliseconds) {
    auto integer = DMSUserAttribute::initWithOrigin("app", "u", DMSValue::initWithInt64(7), 1.5);
    DMSUserAttributeFields fields = integer->protoUserAttributeFields();
    EXPECT_EQ(fields.setTimestampMillis, std::optional<int64_t>(1500));
    EXPECT_EQ(fields.name, std::optional<std::string>("u"));
    EXPECT_EQ(fields.intValue, std::optional<int64_t>(7));
    EXPECT_FALSE(fields.doubleValue);
    EXPECT_FALSE(fields.stringValue);

    auto real =
        DMSUserAttribute::initWithOrigin("app", "u", DMSValue::initWithDouble(0.25), 2)->protoUserAttributeFields();
    EXPECT_EQ(real.doubleValue, std::optional<double>(0.25));
    EXPECT_FALSE(real.intValue);
    auto text =
        DMSUserAttribute::initWithOrigin("app", "u", DMSValue::initWithString("v"), 2)->protoUserAttributeFields();
    EXPECT_EQ(text.stringValue, std::optional<std::string>("v"));
    EXPECT_FALSE(text.intValue);
}

TEST(DMSMessageFields, MillisecondsSaturateAndNaNGivesZero) {
    constexpr auto kMax = std::numeric_limits<int64_t>::max();
    constexpr auto kMin = std::numeric_limits<int64_t>::min();
    const struct {
        double seconds;
        int64_t millis;
    } cases[] = {
        {1.5, 1500},
        {-1.5, -1500},
        {0.0009, 0},
        {1e300, kMax},
        {-1e300, kMin},
        {std::numeric_limits<double>::infinity(), kMax},
        {-std::numeric_limits<double>::infinity(), kMin},
        {std::nan(""), 0},
        {9223372036854776.0, kMax},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(DMSMillisecondsFromSeconds(c.seconds), c.millis);
    }
}
