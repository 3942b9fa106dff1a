// The condition logic of audience filters: number comparisons on doubles (with the neighbour tolerance of
// EQUAL), on integers and decimal text (exact), string matches with and without case, complement, the event
// and property filters around them, and the none answers that leave a stored result alone.

#include "measurement/audiences/DMSAudienceConditions.hpp"
#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "measurement/tests/AudienceTestMessages.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace dms::test;

constexpr std::optional<bool> kConditionsNone = std::nullopt;

double conditionsSteps(double from, int steps) {
    const double direction = steps > 0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    for (int i = 0; i < std::abs(steps); ++i) {
        from = std::nextafter(from, direction);
    }
    return from;
}

std::string conditionsOutcome(std::optional<bool> outcome) {
    return outcome ? (*outcome ? "true" : "false") : "none";
}

class DMSAudienceConditionsTest : public ::testing::Test {
protected:
    bool logged(int64_t code) const {
        for (auto c : monitor.codes()) {
            if (c == code) {
                return true;
            }
        }
        return false;
    }
    MonitorRecorder monitor;
};

struct NumberCase {
    const char* label;
    uint32_t type;
    std::optional<std::string> value;
    std::optional<std::string> max;
    DMSValue input;
    std::optional<bool> expected;
    int64_t code; // a monitor code the case must log, 0 for none
};

TEST_F(DMSAudienceConditionsTest, NumberFiltersCompareDoublesWithNeighboursAndIntegersAndTextExactly) {
    const std::vector<NumberCase> cases = {
        {"EQUAL double itself", 3, "10", {}, DMSValue::initWithDouble(10), true, 0},
        {"EQUAL one step above", 3, "10", {}, DMSValue::initWithDouble(conditionsSteps(10, 1)), true, 0},
        {"EQUAL one step below", 3, "10", {}, DMSValue::initWithDouble(conditionsSteps(10, -1)), true, 0},
        {"EQUAL two steps above", 3, "10", {}, DMSValue::initWithDouble(conditionsSteps(10, 2)), false, 0},
        {"EQUAL two steps below", 3, "10", {}, DMSValue::initWithDouble(conditionsSteps(10, -2)), false, 0},
        {"EQUAL integer", 3, "10", {}, DMSValue::initWithInt64(10), true, 0},
        {"EQUAL integer off by one", 3, "10", {}, DMSValue::initWithInt64(11), false, 0},
        {"EQUAL decimal text", 3, "10", {}, DMSValue::initWithString("10.0"), true, 0},
        {"EQUAL decimal text off by a little", 3, "10", {}, DMSValue::initWithString("10.0000000000000000001"), false, 0},
        // Beyond 2^53 doubles lose the last unit; the integer path does not.
        {"EQUAL large integer exact", 3, "9007199254740993", {}, DMSValue::initWithInt64(9007199254740992), false, 0},
        {"BETWEEN lower end", 4, "1", "5", DMSValue::initWithInt64(1), true, 0},
        {"BETWEEN upper end", 4, "1", "5", DMSValue::initWithInt64(5), true, 0},
        {"BETWEEN upper end double", 4, "1", "5", DMSValue::initWithDouble(5), true, 0},
        {"BETWEEN below", 4, "1", "5", DMSValue::initWithDouble(0.999), false, 0},
        {"BETWEEN above", 4, "1", "5", DMSValue::initWithInt64(6), false, 0},
        {"LESS_THAN", 1, "2.5", {}, DMSValue::initWithDouble(2.4), true, 0},
        {"LESS_THAN equal", 1, "2.5", {}, DMSValue::initWithString("2.50"), false, 0},
        {"GREATER_THAN negative text", 2, "-3", {}, DMSValue::initWithString("-2.9"), true, 0},
        {"exponent text is no number", 3, "1000", {}, DMSValue::initWithString("1e3"), kConditionsNone, 7001},
        {"letters are no number", 3, "1000", {}, DMSValue::initWithString("abc"), kConditionsNone, 7001},
        {"NaN", 3, "1", {}, DMSValue::initWithDouble(std::nan("")), kConditionsNone, 7002},
        {"infinity", 2, "1", {}, DMSValue::initWithDouble(std::numeric_limits<double>::infinity()), kConditionsNone, 7002},
        {"comparison value in exponent form", 3, "1e3", {}, DMSValue::initWithInt64(1000), kConditionsNone, 8008},
        {"BETWEEN without max", 4, "1", {}, DMSValue::initWithInt64(1), kConditionsNone, 8010},
        {"unknown comparison type", 0, "1", {}, DMSValue::initWithInt64(1), kConditionsNone, 8007},
        {"comparison type above BETWEEN", 9, "1", {}, DMSValue::initWithDouble(1), kConditionsNone, 8011},
    };
    for (const auto& c : cases) {
        monitor.clear();
        auto filter = valueFilter(numberFilter(c.type, c.value, c.max));
        auto outcome = DMSEvaluateFilterForValue(filter, c.input);
        EXPECT_EQ(conditionsOutcome(outcome), conditionsOutcome(c.expected)) << c.label;
        if (c.code) {
            EXPECT_TRUE(logged(c.code)) << c.label;
        }
    }
}

struct StringCase {
    const char* label;
    uint32_t type;
    std::optional<std::string> expression;
    std::optional<bool> caseSensitive;
    std::vector<std::string> list;
    std::optional<std::string> input;
    std::optional<bool> expected;
    int64_t code;
};

TEST_F(DMSAudienceConditionsTest, StringFiltersMatchAsTheirTypeSaysWithOrWithoutCase) {
    const std::vector<StringCase> cases = {
        {"REGEXP matches anywhere", 1, "b+", {}, {}, "abbc", true, 0},
        {"REGEXP ignores case by default", 1, "^B", {}, {}, "bc", true, 0},
        {"REGEXP case-sensitive", 1, "^B", true, {}, "bc", false, 0},
        {"REGEXP that does not compile", 1, "(", {}, {}, "(", kConditionsNone, 9004},
        {"EXACT ignores case", 5, "ABC", {}, {}, "abc", true, 0},
        {"EXACT case-sensitive", 5, "ABC", true, {}, "abc", false, 0},
        {"EXACT longer text", 5, "ABC", {}, {}, "abcd", false, 0},
        {"BEGINS_WITH with full case folding", 2, "STRASSE", {}, {}, "straße nord", true, 0},
        {"BEGINS_WITH elsewhere", 2, "nord", {}, {}, "straße nord", false, 0},
        {"ENDS_WITH ignoring case", 3, "NORD", {}, {}, "straße nord", true, 0},
        {"ENDS_WITH case-sensitive", 3, "NORD", false, {}, "Nord", true, 0},
        {"ENDS_WITH case-sensitive differs", 3, "NORD", true, {}, "Nord", false, 0},
        {"PARTIAL", 4, "SSE N", {}, {}, "straße nord", true, 0},
        {"PARTIAL absent", 4, "xyz", {}, {}, "straße nord", false, 0},
        {"IN_LIST ignoring case", 6, {}, {}, {"x", "AbC"}, "abc", true, 0},
        {"IN_LIST no element equal", 6, {}, {}, {"x", "abcd"}, "abc", false, 0},
        {"IN_LIST empty", 6, {}, {}, {}, "abc", kConditionsNone, 9003},
        {"match type 7 never matches", 7, "abc", {}, {}, "abc", false, 0},
        {"unknown match type", 0, "abc", {}, {}, "abc", kConditionsNone, 9001},
        {"no expression", 5, {}, {}, {}, "abc", kConditionsNone, 9002},
        {"no text", 5, "abc", {}, {}, std::nullopt, kConditionsNone, 9005},
    };
    for (const auto& c : cases) {
        monitor.clear();
        auto filter = stringFilter(c.type, c.expression, c.caseSensitive, c.list);
        EXPECT_EQ(conditionsOutcome(DMSEvaluateStringFilter(filter, c.input)), conditionsOutcome(c.expected)) << c.label;
        if (c.code) {
            EXPECT_TRUE(logged(c.code)) << c.label;
        }
    }
    EXPECT_TRUE(DMSIsValidStringFilter(stringFilter(7, "abc")));
    EXPECT_FALSE(DMSIsValidStringFilter(stringFilter(1, "[")));
}

TEST_F(DMSAudienceConditionsTest, ComplementInvertsDefiniteAnswersAndKeepsNone) {
    const struct {
        DMSValue input;
        std::optional<bool> expected;
    } cases[] = {
        {DMSValue::initWithInt64(5), false},
        {DMSValue::initWithInt64(4), true},
        {DMSValue::initWithString("x"), kConditionsNone},
    };
    auto filter = valueFilter(numberFilter(3, "5"), nullptr, std::nullopt, true);
    for (const auto& c : cases) {
        EXPECT_EQ(conditionsOutcome(DMSEvaluateFilterForValue(filter, c.input)), conditionsOutcome(c.expected))
            << c.input.description();
    }
}

TEST_F(DMSAudienceConditionsTest, ValueOfTheWrongKindIsNoneNotFalse) {
    DMSParameters parameters;
    parameters.set("colour", DMSValue::initWithString("blue"));
    parameters.set("count", DMSValue::initWithInt64(3));
    auto aggregates = DMSEventAggregates::initWithName("shop", 1, 1, 0);
    ASSERT_TRUE(aggregates);

    auto lettersAgainstNumber = eventFilter(0, "shop", {valueFilter(numberFilter(3, "1"), nullptr, "colour")});
    EXPECT_EQ(DMSEvaluateEventFilter(lettersAgainstNumber, "shop", parameters, &*aggregates), kConditionsNone);
    EXPECT_TRUE(logged(7010));

    monitor.clear();
    auto integerAgainstString = eventFilter(0, "shop", {valueFilter(nullptr, stringFilter(5, "3"), "count")});
    EXPECT_EQ(DMSEvaluateEventFilter(integerAgainstString, "shop", parameters, &*aggregates), kConditionsNone);
    EXPECT_TRUE(logged(7003));
}

TEST_F(DMSAudienceConditionsTest, EventFiltersCheckNameCountThenEveryParameter) {
    DMSParameters parameters;
    parameters.set("value", DMSValue::initWithDouble(12.5));
    parameters.set("item", DMSValue::initWithString("Book"));
    auto twice = DMSEventAggregates::initWithName("purchase", 2, 2, 0);
    auto thrice = DMSEventAggregates::initWithName("purchase", 3, 3, 0);
    auto other = DMSEventAggregates::initWithName("refund", 3, 3, 0);
    ASSERT_TRUE(twice && thrice && other);
    auto value = valueFilter(numberFilter(2, "10"), nullptr, "value");
    auto item = valueFilter(nullptr, stringFilter(5, "book"), "item");
    auto missing = valueFilter(numberFilter(2, "10"), nullptr, "tax");

    struct {
        const char* label;
        std::shared_ptr<DMSPBEventFilter> filter;
        std::string eventName;
        const DMSEventAggregates* aggregates;
        std::optional<bool> expected;
        int64_t code;
    } cases[] = {
        {"no conditions", eventFilter(0, "purchase"), "purchase", &*twice, true, 0},
        {"all parameters hold", eventFilter(0, "purchase", {value, item}), "purchase", &*twice, true, 0},
        {"other event name", eventFilter(0, "purchase", {value}), "refund", &*other, kConditionsNone, 7006},
        // The count fails first; the missing parameter is never looked at, so the answer is false, not none.
        {"count not above 2", eventFilter(0, "purchase", {missing}, numberFilter(2, "2")), "purchase", &*twice, false,
         0},
        {"count above 2", eventFilter(0, "purchase", {value}, numberFilter(2, "2")), "purchase", &*thrice, true, 0},
        {"aggregates of another name", eventFilter(0, "purchase", {}, numberFilter(2, "2")), "purchase", &*other,
         kConditionsNone, 7007},
        {"missing parameter", eventFilter(0, "purchase", {value, missing}), "purchase", &*twice, kConditionsNone, 7009},
        {"parameter without name", eventFilter(0, "purchase", {valueFilter(numberFilter(2, "1"))}), "purchase",
         &*twice, kConditionsNone, 7008},
    };
    for (const auto& c : cases) {
        monitor.clear();
        EXPECT_EQ(conditionsOutcome(DMSEvaluateEventFilter(c.filter, c.eventName, parameters, c.aggregates)),
                  conditionsOutcome(c.expected))
            << c.label;
        if (c.code) {
            EXPECT_TRUE(logged(c.code)) << c.label;
        }
    }
    monitor.clear();
    DMSEvaluateEventFilter(eventFilter(0, "purchase", {missing}), "purchase", parameters, &*twice);
    for (const auto& call : monitor.calls()) {
        if (call.code == 7009) {
            EXPECT_EQ(call.level, 7);
        }
    }
}

TEST_F(DMSAudienceConditionsTest, PropertyFiltersMatchTheirPropertyOnly) {
    auto age = DMSUserAttribute::initWithOrigin("app", "age", DMSValue::initWithInt64(30), 0);
    ASSERT_TRUE(age);
    auto adult = propertyFilter(0, "age", valueFilter(numberFilter(2, "17")));
    EXPECT_EQ(DMSEvaluatePropertyFilter(adult, &*age), std::optional<bool>(true));
    EXPECT_EQ(DMSEvaluatePropertyFilter(propertyFilter(0, "height", valueFilter(numberFilter(2, "17"))), &*age),
              kConditionsNone);
    EXPECT_TRUE(logged(7013));
    EXPECT_EQ(DMSEvaluatePropertyFilter(propertyFilter(0, "age", nullptr), &*age), kConditionsNone);
    EXPECT_TRUE(logged(7014));
    EXPECT_EQ(DMSEvaluatePropertyFilter(adult, nullptr), kConditionsNone);
    EXPECT_TRUE(logged(7012));
}

// The prepared form is only a faster road to the same place: for every filter against every event it must
// answer what the full evaluation answers and announce the same lines in the same order, including where it
// hands over to the full evaluation (bad filters, missing or ill-typed parameters, operands not in plain form,
// decimal texts that lose precision).
TEST_F(DMSAudienceConditionsTest, PreparedEventFiltersAnswerAndAnnounceExactlyAsTheFullEvaluation) {
    auto value = [](std::shared_ptr<DMSPBNumberFilter> number, std::optional<bool> complement = std::nullopt) {
        return valueFilter(std::move(number), nullptr, "value", complement);
    };
    auto item = [](std::shared_ptr<DMSPBStringFilter> string, std::optional<bool> complement = std::nullopt) {
        return valueFilter(nullptr, std::move(string), "item", complement);
    };
    auto untyped = DMSPBNumberFilter::init();
    auto nameless = eventFilter(0, "purchase", {value(numberFilter(2, "10"))});
    NANOClearField(nameless, DMSPBEventFilter::kEventName);
    const std::vector<std::pair<const char*, std::shared_ptr<DMSPBEventFilter>>> filters = {
        {"no conditions", eventFilter(0, "purchase")},
        {"GREATER_THAN 10", eventFilter(0, "purchase", {value(numberFilter(2, "10"))})},
        {"EQUAL 10", eventFilter(0, "purchase", {value(numberFilter(3, "10"))})},
        {"EQUAL 12.5", eventFilter(0, "purchase", {value(numberFilter(3, "12.5"))})},
        {"BETWEEN 1 and 20", eventFilter(0, "purchase", {value(numberFilter(4, "1", "20"))})},
        {"LESS_THAN -2.5", eventFilter(0, "purchase", {value(numberFilter(1, "-2.5"))})},
        {"operand not in plain form", eventFilter(0, "purchase", {value(numberFilter(2, "10.0"))})},
        {"operand with a plus", eventFilter(0, "purchase", {value(numberFilter(3, "+20"))})},
        {"operand in exponent form", eventFilter(0, "purchase", {value(numberFilter(2, "1e3"))})},
        {"number filter without type", eventFilter(0, "purchase", {value(untyped)})},
        {"complement of EQUAL 20", eventFilter(0, "purchase", {value(numberFilter(3, "20"), true)})},
        {"REGEXP", eventFilter(0, "purchase", {item(stringFilter(1, "b+"))})},
        {"REGEXP case-sensitive", eventFilter(0, "purchase", {item(stringFilter(1, "^item", true))})},
        {"REGEXP that does not compile", eventFilter(0, "purchase", {item(stringFilter(1, "("))})},
        {"BEGINS_WITH", eventFilter(0, "purchase", {item(stringFilter(2, "IT"))})},
        {"ENDS_WITH case-sensitive", eventFilter(0, "purchase", {item(stringFilter(3, "M-7", true))})},
        {"PARTIAL", eventFilter(0, "purchase", {item(stringFilter(4, "EM-"))})},
        {"EXACT", eventFilter(0, "purchase", {item(stringFilter(5, "ITEM-7"))})},
        {"EXACT case-sensitive", eventFilter(0, "purchase", {item(stringFilter(5, "ITEM-7", true))})},
        {"IN_LIST", eventFilter(0, "purchase", {item(stringFilter(6, {}, {}, {"x", "Item-7"}))})},
        {"IN_LIST empty", eventFilter(0, "purchase", {item(stringFilter(6, {}))})},
        {"match type 7", eventFilter(0, "purchase", {item(stringFilter(7, "item-7"))})},
        {"complement of EXACT", eventFilter(0, "purchase", {item(stringFilter(5, "item-7"), true)})},
        {"number and string filter", eventFilter(0, "purchase", {valueFilter(numberFilter(2, "1"), stringFilter(5, "x"),
                                                                             "item")})},
        {"neither number nor string", eventFilter(0, "purchase", {valueFilter(nullptr, nullptr, "value")})},
        {"parameter without name", eventFilter(0, "purchase", {valueFilter(numberFilter(2, "1"))})},
        {"false before a missing parameter",
         eventFilter(0, "purchase", {value(numberFilter(2, "100")), valueFilter(numberFilter(2, "1"), nullptr, "tax")})},
        {"missing parameter after a true one",
         eventFilter(0, "purchase", {item(stringFilter(4, "m")), valueFilter(numberFilter(2, "1"), nullptr, "tax")})},
        {"count above 2", eventFilter(0, "purchase", {value(numberFilter(2, "10"))}, numberFilter(2, "2"))},
        {"count filter without a number", eventFilter(0, "purchase", {}, numberFilter(2, "x"))},
        {"another event name", eventFilter(0, "refund", {value(numberFilter(2, "10"))})},
        {"no event name", nameless},
    };
    const std::vector<std::pair<const char*, std::vector<std::pair<const char*, DMSValue>>>> events = {
        {"integer and text", {{"value", DMSValue::initWithInt64(20)}, {"item", DMSValue::initWithString("item-7")}}},
        {"double and upper case", {{"value", DMSValue::initWithDouble(12.5)}, {"item", DMSValue::initWithString("ITEM-7")}}},
        {"decimal text", {{"value", DMSValue::initWithString("12.50")}, {"item", DMSValue::initWithString("abbc")}}},
        {"letters for a number, number for a text",
         {{"value", DMSValue::initWithString("abc")}, {"item", DMSValue::initWithInt64(5)}}},
        {"decimal text beyond precision",
         {{"value", DMSValue::initWithString("0.123456789012345678901234567890123456789012")}}},
        {"NaN", {{"value", DMSValue::initWithDouble(std::nan(""))}}},
        {"infinite double", {{"value", DMSValue::initWithDouble(std::numeric_limits<double>::infinity())}}},
        {"negative double", {{"value", DMSValue::initWithDouble(-3.0)}, {"item", DMSValue::initWithString("")}}},
        {"no parameters", {}},
    };
    auto thrice = DMSEventAggregates::initWithName("purchase", 3, 3, 0);
    auto twice = DMSEventAggregates::initWithName("purchase", 2, 2, 0);
    auto other = DMSEventAggregates::initWithName("refund", 3, 3, 0);
    ASSERT_TRUE(thrice && twice && other);
    const std::vector<std::pair<const char*, const DMSEventAggregates*>> aggregates = {
        {"count 3", &*thrice}, {"count 2", &*twice}, {"aggregates of another event", &*other}, {"no aggregates", nullptr}};
    auto announced = [&] {
        std::vector<std::pair<int64_t, int64_t>> lines;
        for (const auto& call : monitor.calls()) {
            lines.emplace_back(call.level, call.code);
        }
        monitor.clear();
        return lines;
    };
    for (const auto& [filterLabel, filter] : filters) {
        auto prepared = DMSPrepareEventFilter(filter);
        ASSERT_TRUE(prepared) << filterLabel;
        for (const auto& [eventLabel, values] : events) {
            DMSParameters parameters;
            for (const auto& [name, parameter] : values) {
                parameters.set(name, parameter);
            }
            for (const auto& [aggregatesLabel, counts] : aggregates) {
                SCOPED_TRACE(std::string(filterLabel) + " / " + eventLabel + " / " + aggregatesLabel);
                monitor.clear();
                const auto full = DMSEvaluateEventFilter(filter, "purchase", parameters, counts);
                const auto fullLines = announced();
                const auto fast = DMSEvaluatePreparedEventFilter(*prepared, "purchase", parameters, counts);
                EXPECT_EQ(conditionsOutcome(fast), conditionsOutcome(full));
                EXPECT_EQ(announced(), fullLines);
            }
        }
    }
    EXPECT_FALSE(DMSPrepareEventFilter(nullptr));
}

} // namespace
