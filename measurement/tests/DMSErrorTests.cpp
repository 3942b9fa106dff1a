// Error parameters recorded on events, the internal "_err" event, and error objects of the measurement
// domain.

#include "measurement/messages/DMSError.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ErrorParameterCase {
    const char* label;
    std::optional<plat::Value> item;
    int64_t maxLength;
    std::optional<plat::Value> lengthValue;
    std::string expectedValue;
    std::optional<int64_t> expectedLength;
};

} // namespace

TEST(DMSErrorParameters, OffendingItemIsTrimmedByCharactersAndDescribed) {
    const std::string smile = "\xF0\x9F\x98\x80"; // outside the BMP: two UTF-16 units
    const ErrorParameterCase cases[] = {
        {"41 characters, maximum 40", plat::Value(dms::test::repeated("a", 41)), 40, std::nullopt,
         dms::test::repeated("a", 40) + "...", std::nullopt},
        {"exactly 40 characters", plat::Value(dms::test::repeated("a", 40)), 40, std::nullopt,
         dms::test::repeated("a", 40), std::nullopt},
        {"characters outside the BMP cut whole", plat::Value(dms::test::repeated(smile, 5)), 3, std::nullopt,
         dms::test::repeated(smile, 3) + "...", std::nullopt},
        {"mixed text cut after a wide character", plat::Value("a" + smile + "b" + smile), 2, std::nullopt,
         "a" + smile + "...", std::nullopt},
        {"a number gives its class name", plat::Value(42), 40, std::nullopt, "NSNumber", std::nullopt},
        {"nil gives (nil)", std::nullopt, 40, std::nullopt, "(nil)", std::nullopt},
        {"string length in characters", plat::Value("name"), 40, plat::Value("h\xC3\xA9llo" + smile), "name",
         6},
        {"a length value that is no string counts 0", plat::Value("name"), 40, plat::Value(12345), "name", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        plat::Dictionary parameters;
        DMSAddErrorParameters(parameters, c.item, c.maxLength, c.lengthValue);
        ASSERT_NE(parameters.find("_ev"), nullptr);
        EXPECT_EQ(parameters.find("_ev")->asString(), c.expectedValue);
        if (c.expectedLength) {
            ASSERT_NE(parameters.find("_el"), nullptr);
            EXPECT_EQ(parameters.find("_el")->asInt64(), *c.expectedLength);
        } else {
            EXPECT_EQ(parameters.find("_el"), nullptr);
        }
    }
}

TEST(DMSErrorParameters, TheFirstErrorRecordedOnAnEventIsKept) {
    plat::Dictionary parameters;
    DMSAddErrorCodeAndParameters(parameters, 3, plat::Value("first_name"), 40, plat::Value("first"));
    DMSAddErrorCodeAndParameters(parameters, 4, plat::Value("second_name"), 40, plat::Value("second value"));
    DMSAddErrorCode(parameters, 9);
    DMSAddErrorParameters(parameters, plat::Value("third"), 40, plat::Value("x"));
    EXPECT_EQ(parameters.find("_err")->asInt64(), 3);
    EXPECT_EQ(parameters.find("_ev")->asString(), "first_name");
    EXPECT_EQ(parameters.find("_el")->asInt64(), 5);
    EXPECT_EQ(parameters.size(), 3u);

    // Any one of the three keys already present blocks a new error.
    plat::Dictionary withCode{{"_err", plat::Value(1)}};
    DMSAddErrorCodeAndParameters(withCode, 2, plat::Value("x"), 40);
    EXPECT_EQ(withCode.size(), 1u);
    EXPECT_EQ(withCode.find("_err")->asInt64(), 1);
}

TEST(DMSErrorEvents, ErrorEventsReachTheFacadeAsAutoEvents) {
    dms::test::InternalEventRecorder recorder;
    DMSLogErrorEvent(0);
    DMSLogErrorEventWithValue(0, plat::Value("x"), 40, plat::Value("y"));
    EXPECT_TRUE(recorder.events.empty());

    DMSLogErrorEvent(8);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].origin, "auto");
    EXPECT_EQ(recorder.events[0].name, "_err");
    EXPECT_EQ(recorder.events[0].parameters.size(), 1u);
    EXPECT_EQ(recorder.events[0].parameters.find("_err")->asInt64(), 8);
}

TEST(DMSErrorEvents, ValueLengthIsReportedOnlyWhenTooLongOrForValueCodes) {
    struct LengthCase {
        int64_t code;
        std::string value;
        bool lengthReported;
    };
    const LengthCase cases[] = {
        {3, dms::test::repeated("v", 41), true},  // longer than the maximum
        {3, dms::test::repeated("v", 40), false}, // fits, and the code is not about values
        {4, "short", true},                       // invalid parameter value
        {7, "short", true},                       // user property value too long
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        dms::test::InternalEventRecorder recorder;
        DMSLogErrorEventWithValue(c.code, plat::Value("param"), 40, plat::Value(c.value));
        ASSERT_EQ(recorder.events.size(), 1u);
        const auto& parameters = recorder.events[0].parameters;
        EXPECT_EQ(parameters.find("_err")->asInt64(), c.code);
        EXPECT_EQ(parameters.find("_ev")->asString(), "param");
        EXPECT_EQ(parameters.contains("_el"), c.lengthReported);
        if (c.lengthReported) {
            EXPECT_EQ(parameters.find("_el")->asInt64(), static_cast<int64_t>(c.value.size()));
        }
    }
}

TEST(DMSErrorObjects, DescriptionAndContextOnlyWhenNotEmpty) {
    plat::Error full = dms_errorWithCode(5, "Database is closed", "12000");
    EXPECT_EQ(full.domain, "com.razoza.rmp.measurement.ErrorDomain");
    EXPECT_EQ(full.code, 5);
    EXPECT_EQ(full.localizedDescription(), "Database is closed");
    EXPECT_EQ(full.userInfoValue("DMSMonitorContext")->asString(), "12000");

    plat::Error bare = dms_errorWithCode(6, "", "");
    EXPECT_TRUE(bare.userInfo.empty());

    // A missing out-pointer drops the error; a failed requirement fills a given one.
    DMSSetError(nullptr, 1, "dropped");
    plat::Error out;
    EXPECT_TRUE(DMSRequire(true, &out, 2, "unused"));
    EXPECT_EQ(out.code, 0);
    EXPECT_FALSE(DMSRequireValue(std::optional<plat::Value>(plat::Value(0)), &out, 3, "zero"));
    EXPECT_EQ(out.code, 3);
    EXPECT_FALSE(DMSRequireValue(std::nullopt, &out, 4, "nil"));
    EXPECT_EQ(out.code, 4);
    EXPECT_TRUE(DMSRequireValue(int64_t{7}, &out, 5, "seven"));
    DMSSetErrorWithContext(&out, 9, "with context", "ctx");
    EXPECT_EQ(out.userInfoValue("DMSMonitorContext")->asString(), "ctx");
}

TEST(DMSErrorObjects, MonitorContextJoinsOnlyMeasurementErrorContexts) {
    DMSLogContexts contexts{
        dms_errorWithCode(1, "a", "first"),
        plat::Error("NSCocoaErrorDomain", 4, plat::Dictionary{{"DMSMonitorContext", plat::Value("foreign")}}),
        plat::Value("a string"),
        dms_errorWithCode(2, "b", ""),
        dms_errorWithCode(3, "c", "second"),
    };
    EXPECT_EQ(DMSMonitorContextFromErrors(contexts), "first,second");
    EXPECT_EQ(DMSMonitorContextFromErrors({contexts[1]}), "");
    EXPECT_EQ(DMSMonitorContextFromErrors({}), "");
}

TEST(DMSErrorObjects, CodeNameTableCoversEveryCodeOnce) {
    const auto& names = DMSErrorCodeName();
    EXPECT_EQ(names.size(), 20u);
    EXPECT_EQ(names.at(0), "NoError");
    EXPECT_EQ(names.at(6), "InvalidUserPropertyName");
    EXPECT_EQ(names.at(19), "CurrencyCodeIsMissingOrInvalid");
}
