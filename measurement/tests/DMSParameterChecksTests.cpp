// Public and error names, valid parameter keys in collation order, the split of array parameters into child
// events, value and currency, decimal texts, and the readable names of debug output.

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/runtime/SimRuntime.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

plat::Value dmsChecksChildren(int count, const char* key) {
    plat::Array children;
    for (int i = 0; i < count; ++i) {
        children.push_back(plat::Value(plat::Dictionary{{key, plat::Value(i)}}));
    }
    return plat::Value(std::move(children));
}

int64_t dmsChecksInt(const DMSEvent& event, const char* name) {
    const DMSValue* value = event.parameters().find(name);
    EXPECT_TRUE(value) << name;
    return value ? value->int64Value() : -1;
}

std::string dmsChecksText(const DMSEvent& event, const char* name) {
    const DMSValue* value = event.parameters().find(name);
    EXPECT_TRUE(value) << name;
    return value && value->isString() ? *value->stringValue() : std::string("(none)");
}

} // namespace

TEST(DMSParameterChecks, PublicAndErrorNames) {
    dms::test::MonitorRecorder monitor;
    EXPECT_FALSE(DMSIsPublicName("_x"));
    EXPECT_TRUE(DMSIsPublicName("x_"));
    EXPECT_TRUE(monitor.codes().empty());
    EXPECT_FALSE(DMSIsPublicName(std::string()));
    EXPECT_FALSE(DMSIsPublicName(plat::Value(3)));
    EXPECT_FALSE(DMSIsPublicName(DMSObject()));
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{18003, 18002, 18002}));

    EXPECT_TRUE(
        DMSIsErrorEventName(*DMSEvent::initWithOrigin("auto", false, "_err", 1, 0, plat::Dictionary{})));
    EXPECT_FALSE(
        DMSIsErrorEventName(*DMSEvent::initWithOrigin("auto", false, "_e", 1, 0, plat::Dictionary{})));
    EXPECT_TRUE(DMSParametersContainArray(plat::Dictionary{{"a", 1}, {"b", plat::Value(plat::Array{})}}));
    EXPECT_FALSE(DMSParametersContainArray(plat::Dictionary{{"a", 1}}));
}

TEST(DMSParameterChecks, ValidKeysComeInCollationOrder) {
    plat::Dictionary errors;
    EXPECT_EQ(DMSValidParameterKeys(plat::Dictionary{}, false, errors), std::nullopt);

    const plat::Dictionary parameters{{"zeta", 1},
                                      {"alpha2", 2},
                                      {"Alpha", 3},
                                      {"_id", 4},
                                      {"beta", "b"},
                                      {"bad-key", 5},
                                      {"when", plat::Value(plat::Date(1))}};
    dms::test::MonitorRecorder monitor;
    auto keys = DMSValidParameterKeys(parameters, false, errors);
    ASSERT_TRUE(keys);
    // Punctuation before letters, letter case after the letters themselves: not the byte order.
    EXPECT_EQ(*keys, (std::vector<std::string>{"_id", "Alpha", "alpha2", "beta", "when", "zeta"}));
    EXPECT_EQ(errors.find("_err")->asInt64(), 3);
    EXPECT_EQ(errors.find("_ev")->asString(), "bad-key");
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{13002, 18005}));

    plat::Dictionary publicErrors;
    auto publicKeys = DMSValidParameterKeys(parameters, true, publicErrors);
    EXPECT_EQ(*publicKeys, (std::vector<std::string>{"Alpha", "alpha2", "beta", "when", "zeta"}));
    EXPECT_EQ(publicErrors.find("_ev")->asString(), "_id");
}

TEST(DMSParameterChecks, ArrayParametersBecomeChildEventsGroupByGroup) {
    const plat::Dictionary parameters{
        {"y", dmsChecksChildren(3, "b")}, {"n", 1}, {"x", dmsChecksChildren(2, "a")}};
    auto events = DMSSplitExtraParameterEvents(77, "purchase", "app", parameters, true, 9.5);
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 6u);
    const DMSEvent& main = (*events)[0];
    EXPECT_EQ(main.name(), "purchase");
    EXPECT_EQ(main.origin(), "app");
    EXPECT_EQ(dmsChecksInt(main, "x"), 2);
    EXPECT_EQ(dmsChecksInt(main, "y"), 3);
    EXPECT_EQ(dmsChecksInt(main, "n"), 1);
    EXPECT_EQ(dmsChecksInt(main, "_epc"), 5);
    EXPECT_EQ(dmsChecksInt(main, "_eid"), 77);
    const struct {
        const char* group;
        int64_t index;
        int64_t length;
        const char* key;
    } expected[] = {{"x", 0, 2, "a"}, {"x", 1, 2, "a"}, {"y", 0, 3, "b"}, {"y", 1, 3, "b"}, {"y", 2, 3, "b"}};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const DMSEvent& child = (*events)[i + 1];
        EXPECT_EQ(child.name(), "_ep");
        EXPECT_EQ(child.origin(), "app");
        EXPECT_EQ(child.timestamp(), 9.5);
        EXPECT_EQ(dmsChecksText(child, "_gn"), expected[i].group);
        EXPECT_EQ(dmsChecksText(child, "_en"), "purchase");
        EXPECT_EQ(dmsChecksInt(child, "_i"), expected[i].index);
        EXPECT_EQ(dmsChecksInt(child, "_ll"), expected[i].length);
        EXPECT_EQ(dmsChecksInt(child, "_eid"), 77);
        EXPECT_EQ(dmsChecksInt(child, expected[i].key), expected[i].index);
    }
}

TEST(DMSParameterChecks, AtMostAThousandChildEventsPerGroup) {
    auto thousand = DMSSplitExtraParameterEvents(
        1, "list", "app", plat::Dictionary{{"x", dmsChecksChildren(1000, "a")}}, true, 1);
    ASSERT_TRUE(thousand);
    EXPECT_EQ(thousand->size(), 1001u);
    EXPECT_EQ(dmsChecksInt((*thousand)[0], "_epc"), 1000);

    dms::test::MonitorRecorder monitor;
    auto tooMany = DMSSplitExtraParameterEvents(
        1, "list", "app", plat::Dictionary{{"x", dmsChecksChildren(1001, "a")}, {"n", 1}}, true, 1);
    ASSERT_TRUE(tooMany);
    ASSERT_EQ(tooMany->size(), 1u);
    const DMSEvent& main = (*tooMany)[0];
    EXPECT_FALSE(main.parameters().contains("x"));
    EXPECT_FALSE(main.parameters().contains("_epc"));
    EXPECT_EQ(dmsChecksInt(main, "_err"), 17);
    EXPECT_EQ(dmsChecksText(main, "_ev"), "x");
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{18008});
}

TEST(DMSParameterChecks, BadChildElementsEndOrDropTheirGroup) {
    dms::test::MonitorRecorder monitor;
    // A non-dictionary ends the group with the children made so far; an empty dictionary is skipped.
    plat::Array mixed{plat::Value(plat::Dictionary{{"a", 1}}), plat::Value(plat::Dictionary{}),
                      plat::Value(plat::Dictionary{{"a", 2}}), plat::Value(5),
                      plat::Value(plat::Dictionary{{"a", 3}})};
    auto ended =
        DMSSplitExtraParameterEvents(3, "list", "app", plat::Dictionary{{"x", plat::Value(mixed)}}, true, 1);
    ASSERT_TRUE(ended);
    ASSERT_EQ(ended->size(), 3u);
    EXPECT_EQ(dmsChecksInt((*ended)[0], "x"), 2);
    EXPECT_EQ(dmsChecksInt((*ended)[0], "_err"), 4);
    EXPECT_EQ(dmsChecksInt((*ended)[2], "_i"), 1);
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{18009});

    // A child whose parameters all go drops its whole group; the other groups stay.
    monitor.clear();
    plat::Array dated{plat::Value(plat::Dictionary{{"a", 1}}),
                      plat::Value(plat::Dictionary{{"when", plat::Value(plat::Date(1))}})};
    auto dropped = DMSSplitExtraParameterEvents(
        4, "list", "app", plat::Dictionary{{"x", plat::Value(dated)}, {"y", dmsChecksChildren(1, "b")}}, true,
        1);
    ASSERT_TRUE(dropped);
    ASSERT_EQ(dropped->size(), 2u);
    EXPECT_FALSE((*dropped)[0].parameters().contains("x"));
    EXPECT_EQ(dmsChecksInt((*dropped)[0], "y"), 1);
    EXPECT_EQ(dmsChecksText((*dropped)[0], "_ev"), "x");
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{35001, 16000, 18010}));

    // Without a valid main event there is nothing.
    monitor.clear();
    EXPECT_EQ(DMSSplitExtraParameterEvents(5, "first_open", "app", plat::Dictionary{{"n", 1}}, true, 1),
              std::nullopt);
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{13006, 18013}));
}

TEST(DMSParameterChecks, ScreenParametersAreFoundAndCopied) {
    const plat::Dictionary parameters{{"_sn", "Start"}, {"other", 1}, {"_si", 5}};
    EXPECT_TRUE(DMSHasScreenParameters(parameters));
    EXPECT_FALSE(DMSHasScreenParameters(plat::Dictionary{{"other", 1}}));
    EXPECT_EQ(DMSScreenParametersFromParameters(parameters),
              (plat::Dictionary{{"_sn", "Start"}, {"_si", 5}}));
}

TEST(DMSParameterChecks, ValueNeedsANumberAndACurrency) {
    struct {
        const char* label;
        DMSParameters parameters;
        bool passes;
        std::optional<int64_t> error;
        const char* offending;
    } cases[] = {
        {"no value", {}, true, std::nullopt, nullptr},
        {"value with currency", {}, true, std::nullopt, nullptr},
        {"value without currency", {}, false, 19, "currency"},
        {"value with a bad currency", {}, false, 19, "currency"},
        {"textual value", {}, false, 18, "value"},
    };
    cases[1].parameters.set("value", DMSValue::initWithDouble(9.99));
    cases[1].parameters.set("currency", DMSValue::initWithString("usd"));
    cases[2].parameters.set("value", DMSValue::initWithDouble(9.99));
    cases[3].parameters.set("value", DMSValue::initWithInt64(10));
    cases[3].parameters.set("currency", DMSValue::initWithString("EURO"));
    cases[4].parameters.set("value", DMSValue::initWithString("9.99"));
    cases[4].parameters.set("currency", DMSValue::initWithString("EUR"));
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        bool hadValue = c.parameters.contains("value");
        EXPECT_EQ(DMSCheckValueAndCurrency(c.parameters), c.passes);
        EXPECT_EQ(c.parameters.contains("value"), hadValue && c.passes);
        if (c.error) {
            EXPECT_EQ(*c.parameters.find("_err"), DMSValue::initWithInt64(*c.error));
            EXPECT_EQ(*c.parameters.find("_ev"), DMSValue::initWithString(c.offending));
        } else {
            EXPECT_FALSE(c.parameters.contains("_err"));
        }
    }
}

TEST(DMSParameterChecks, DecimalTexts) {
    const struct {
        const char* text;
        bool decimal;
    } cases[] = {
        {".5", true},   {"+.5", true},   {"5.", true},   {"-0.5", true},      {"12", true}, {"007", true},
        {"1e5", false}, {"", false},     {".", false},   {"5.5.5", false},    {"+", false}, {"- 5", false},
        {" 5", false},  {"0x10", false}, {"1,5", false}, {"\xD9\xA3", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(DMSIsDecimalString(c.text), c.decimal);
    }
}

TEST(DMSParameterChecks, DecimalNumbersKeepEveryDigitOrAreRefused) {
    const std::string digits38(38, '7');
    const struct {
        std::string text;
        std::optional<std::string> canonical;
        std::vector<int64_t> monitorCodes;
    } cases[] = {
        {".5", "0.5", {}},
        {"+.5", "0.5", {}},
        {"-0.50", "-0.5", {}},
        {"5.", "5", {}},
        {"0012.3400", "12.34", {}},
        {"-0", "0", {}},
        {digits38, digits38, {}},
        {digits38 + "000", digits38 + "000", {}},
        {"0." + digits38, "0." + digits38, {}},
        {digits38 + "7", std::nullopt, {26003}},
        {"0." + digits38 + "1", std::nullopt, {26003}},
        {"1e5", std::nullopt, {26001}},
        {"", std::nullopt, {26001}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        dms::test::MonitorRecorder monitor;
        auto number = DMSDecimalNumberFromString(c.text);
        EXPECT_EQ(number ? std::optional<std::string>(number->description()) : std::nullopt, c.canonical);
        EXPECT_EQ(monitor.codes(), c.monitorCodes);
    }
}

TEST(DMSParameterChecks, ReadableNamesOnlyInDebugModeWithTheAnalyticsClass) {
    plat::test::TempAppHome home;
    EXPECT_EQ(DMSReadableEventName("_f"), "_f");
    EXPECT_EQ(DMSReadableUserPropertyName("_exp_12"), "experiment_id (_exp_12)");
    EXPECT_EQ(DMSReadableParameterName(plat::Value(12)), "12");

    DMSMeasurement::monitor().setDebugModeEnabled(true);
    EXPECT_EQ(DMSReadableEventName("_f"), "_f"); // no analytics class yet
    plat::sim::Runtime::registerClass("DAVAnalytics");
    EXPECT_EQ(DMSReadableEventName("_f"), "first_open (_f)");
    EXPECT_EQ(DMSReadableParameterName("_epc"), "ga_extra_params_ct (_epc)");
    EXPECT_EQ(DMSReadableUserPropertyName("_id"), "user_id (_id)");
    EXPECT_EQ(DMSReadableEventName("_unknown"), "_unknown");
    EXPECT_EQ(DMSReadableEventName("first_open"), "first_open");
    EXPECT_EQ(DMSReadableEventName("_id"), "_id"); // a user-property name is no event name

    const plat::Value parameters(plat::Dictionary{{"_o", "app"}, {"_err", 4}, {"b", 1}, {"A", "x"}});
    EXPECT_EQ(DMSReadableParametersDescription(parameters),
              "{\n    A = x;\n    b = 1;\n    vedudodu_error (_err) = InvalidParameterValue (4);\n"
              "    vedudodu_event_origin (_o) = app;\n}");
    EXPECT_EQ(DMSReadableParametersDescription(plat::Value(plat::Dictionary{{"_err", 99}})),
              "{\n    vedudodu_error (_err) = 99;\n}");
    DMSMeasurement::monitor().setDebugModeEnabled(false);
    EXPECT_EQ(DMSReadableParametersDescription(parameters), parameters.description());
}
