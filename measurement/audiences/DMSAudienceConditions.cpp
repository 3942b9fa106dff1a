#include "measurement/audiences/DMSAudienceConditions.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>

namespace {

DMSMonitor& conditionsMonitor() {
    return DMSMeasurement::monitor();
}

// A filter in a monitor line: its encoding (null when absent).
plat::Value conditionsFilterContext(NANOMessageRef filter) {
    if (!filter.get()) {
        return plat::Value();
    }
    auto encoding = filter.get()->protoBuffer();
    return encoding ? plat::Value(*encoding) : plat::Value();
}

bool conditionsFlag(NANOMessageRef message, int32_t field) {
    return NANOHasField(message, field) && NANOGetBool(message, field);
}

std::optional<std::string> conditionsText(NANOMessageRef message, int32_t field) {
    if (!NANOHasField(message, field)) {
        return std::nullopt;
    }
    return NANOGetString(message, field);
}

bool conditionsIsValidDecimalText(NANOMessageRef numberFilter, int32_t field) {
    auto text = conditionsText(numberFilter, field);
    return text && DMSIsDecimalString(*text);
}

// The operand as the platform's number formatter reads text that passed the decimal check.
std::optional<double> conditionsParseDouble(const std::optional<std::string>& text) {
    if (!text || text->empty()) {
        return std::nullopt;
    }
    std::string_view digits(*text);
    if (digits.front() == '+') {
        digits.remove_prefix(1);
    }
    double value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

// ---- event and property filters ---------------------------------------------------------------------------

std::optional<bool> DMSEvaluateEventFilter(NANOMessageRef eventFilter, std::string_view eventName,
                                           const DMSParameters& eventParameters,
                                           const DMSEventAggregates* eventAggregates) {
    auto& monitor = conditionsMonitor();
    if (!eventFilter.get()) {
        monitor.logWithLevel(1, 7004, "Event filter is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (eventName.empty()) {
        monitor.logWithLevel(1, 7005, "Event name is nil. Audience filter will not be evaluated",
                             conditionsFilterContext(eventFilter));
        return std::nullopt;
    }
    auto filterName = conditionsText(eventFilter, DMSPBEventFilter::kEventName);
    if (!filterName || *filterName != eventName) {
        monitor.logWithLevel(1, 7006, "Event filter name does not match event name. Audience filter will not be evaluated",
                             conditionsFilterContext(eventFilter));
        return std::nullopt;
    }
    auto parameterFilters =
        NANOGetArray(eventFilter, DMSPBEventFilter::kFilters, &DMSPBFilter::messageClass()).value_or(plat::Array());
    const bool hasCountFilter = NANOHasField(eventFilter, DMSPBEventFilter::kEventCountFilter);
    if (!hasCountFilter && parameterFilters.empty()) {
        return true;
    }
    if (hasCountFilter) {
        if (!eventAggregates || eventAggregates->name() != eventName) {
            monitor.logWithLevel(1, 7007,
                                 "Event aggregates name does not match event name. Audience filter will not be evaluated",
                                 conditionsFilterContext(eventFilter));
            return std::nullopt;
        }
        auto countFilter = NANOGetMessage<DMSPBNumberFilter>(eventFilter, DMSPBEventFilter::kEventCountFilter);
        auto counted = DMSEvaluateNumberFilterWithInt64(countFilter, eventAggregates->lifetimeCount());
        if (!counted || !*counted) {
            return counted;
        }
    }
    for (const plat::Value& element : parameterFilters) {
        auto* filter = dynamic_cast<DMSPBFilter*>(element.ifObject());
        if (!filter) {
            continue;
        }
        auto parameterName = conditionsText(filter, DMSPBFilter::kParamName);
        if (!parameterName) {
            monitor.logWithLevel(1, 7008,
                                 "Event filter does not have parameter name. Audience filter will not be evaluated",
                                 conditionsFilterContext(eventFilter));
            return std::nullopt;
        }
        const DMSValue* value = eventParameters.find(*parameterName);
        if (!value) {
            monitor.logWithLevel(7, 7009,
                                 "Event does not have parameter required by filter. Audience filter will not be "
                                 "evaluated",
                                 DMSReadableParameterName(plat::Value(*parameterName)),
                                 conditionsFilterContext(eventFilter));
            return std::nullopt;
        }
        if (value->isString() && !NANOHasField(filter, DMSPBFilter::kStringFilter)) {
            monitor.logWithLevel(1, 7010,
                                 "Event param is a string and the filter does not have a string filter. Audience "
                                 "filter will not be evaluated. Event name, event params, filter",
                                 DMSReadableEventName(plat::Value(std::string(eventName))),
                                 DMSReadableParametersDescription(eventParameters), conditionsFilterContext(filter));
            return std::nullopt;
        }
        auto outcome = DMSEvaluateFilterForValue(filter, *value);
        if (!outcome || !*outcome) {
            return outcome;
        }
    }
    return true;
}

std::optional<bool> DMSEvaluatePropertyFilter(NANOMessageRef propertyFilter, const DMSUserAttribute* userProperty) {
    auto& monitor = conditionsMonitor();
    if (!propertyFilter.get()) {
        monitor.logWithLevel(1, 7011, "Property filter is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (!userProperty) {
        monitor.logWithLevel(1, 7012, "User property is nil. Audience filter will not be evaluated",
                             conditionsFilterContext(propertyFilter));
        return std::nullopt;
    }
    auto propertyName = conditionsText(propertyFilter, DMSPBPropertyFilter::kPropertyName);
    if (!propertyName || *propertyName != userProperty->name()) {
        monitor.logWithLevel(1, 7013,
                             "User property name does not match property filter name. Audience filter will not be "
                             "evaluated",
                             conditionsFilterContext(propertyFilter));
        return std::nullopt;
    }
    auto filter = NANOGetMessage<DMSPBFilter>(propertyFilter, DMSPBPropertyFilter::kFilter);
    if (!NANOHasField(propertyFilter, DMSPBPropertyFilter::kFilter) || !filter) {
        monitor.logWithLevel(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated",
                             conditionsFilterContext(propertyFilter));
        return std::nullopt;
    }
    const DMSValue& value = userProperty->value();
    if (!value.isString() && !value.isInt64() && !value.isDouble()) {
        monitor.logWithLevel(1, 7015,
                             "Unknown user property type. Audience filter will not be evaluated. Property Name",
                             DMSReadableUserPropertyName(plat::Value(userProperty->name())));
        return std::nullopt;
    }
    return DMSEvaluateFilterForValue(filter, value);
}

std::optional<bool> DMSEvaluateFilterForValue(NANOMessageRef filter, const DMSValue& value) {
    auto& monitor = conditionsMonitor();
    const bool hasNumber = NANOHasField(filter, DMSPBFilter::kNumberFilter);
    const bool hasString = NANOHasField(filter, DMSPBFilter::kStringFilter);
    if (!filter.get() || (!hasNumber && !hasString)) {
        monitor.logWithLevel(1, 7000, "Filter has neither a number nor string filter. Audience filter will not be evaluated",
                             conditionsFilterContext(filter));
        return std::nullopt;
    }
    std::optional<bool> outcome;
    if (hasNumber) {
        auto numberFilter = NANOGetMessage<DMSPBNumberFilter>(filter, DMSPBFilter::kNumberFilter);
        if (const std::string* text = value.ifString()) {
            if (!DMSIsDecimalString(*text)) {
                monitor.logWithLevel(1, 7001,
                                     "String value is not a numeric value. Audience filter will not be evaluated. "
                                     "Value, filter",
                                     plat::Value(*text), conditionsFilterContext(filter));
                return std::nullopt;
            }
            auto decimal = DMSDecimalNumberFromString(*text);
            if (!decimal) {
                return std::nullopt;
            }
            outcome = DMSEvaluateNumberFilterWithDecimal(numberFilter, *decimal);
        } else if (value.isDouble()) {
            const double number = value.doubleValue();
            if (!std::isfinite(number)) {
                monitor.logWithLevel(1, 7002, "Value is not within double range. Audience filter will not be evaluated",
                                     conditionsFilterContext(filter), plat::Value(number));
                return std::nullopt;
            }
            outcome = DMSEvaluateNumberFilterWithDouble(numberFilter, number);
        } else if (value.isInt64()) {
            outcome = DMSEvaluateNumberFilterWithInt64(numberFilter, value.int64Value());
        } else {
            return std::nullopt;
        }
    } else {
        const std::string* text = value.ifString();
        if (!text) {
            monitor.logWithLevel(1, 7003, "Value is not a string. Audience filter will not be evaluated",
                                 conditionsFilterContext(filter), value.object());
            return std::nullopt;
        }
        auto stringFilter = NANOGetMessage<DMSPBStringFilter>(filter, DMSPBFilter::kStringFilter);
        outcome = DMSEvaluateStringFilter(stringFilter, *text);
    }
    if (outcome && conditionsFlag(filter, DMSPBFilter::kComplement)) {
        outcome = !*outcome;
    }
    return outcome;
}

// ---- number filters -------------------------------------------------------------------------------------------

bool DMSIsValidNumberFilter(NANOMessageRef numberFilter) {
    auto& monitor = conditionsMonitor();
    if (!numberFilter.get() || !NANOHasField(numberFilter, DMSPBNumberFilter::kComparisonType)) {
        monitor.logWithLevel(1, 8006, "Number filter has no comparison type", conditionsFilterContext(numberFilter));
        return false;
    }
    const auto type = static_cast<uint32_t>(NANOGetInt32(numberFilter, DMSPBNumberFilter::kComparisonType));
    switch (type) {
    case DMSComparisonTypeLessThan:
    case DMSComparisonTypeGreaterThan:
    case DMSComparisonTypeEqual:
        if (!conditionsIsValidDecimalText(numberFilter, DMSPBNumberFilter::kComparisonValue)) {
            monitor.logWithLevel(1, 8008, "Numeric filter does not have a valid comparison value. Filter",
                                 conditionsFilterContext(numberFilter));
            return false;
        }
        return true;
    case DMSComparisonTypeBetween: {
        bool valid = true;
        if (!conditionsIsValidDecimalText(numberFilter, DMSPBNumberFilter::kMinComparisonValue)) {
            monitor.logWithLevel(1, 8009, "Numeric filter does not have a valid min comparison value. Filter",
                                 conditionsFilterContext(numberFilter));
            valid = false;
        }
        if (!conditionsIsValidDecimalText(numberFilter, DMSPBNumberFilter::kMaxComparisonValue)) {
            monitor.logWithLevel(1, 8010, "Numeric filter does not have a valid max comparison value. Filter",
                                 conditionsFilterContext(numberFilter));
            valid = false;
        }
        return valid;
    }
    case DMSComparisonTypeUnknown:
        monitor.logWithLevel(1, 8007, "Number filter has unknown comparison type", conditionsFilterContext(numberFilter));
        return false;
    default:
        monitor.logWithLevel(1, 8011, "Number filter has a real unknown comparison type",
                             conditionsFilterContext(numberFilter));
        return false;
    }
}

std::optional<bool> DMSEvaluateNumberFilterWithDouble(NANOMessageRef numberFilter, double value) {
    if (!DMSIsValidNumberFilter(numberFilter)) {
        return std::nullopt;
    }
    const auto type = static_cast<uint32_t>(NANOGetInt32(numberFilter, DMSPBNumberFilter::kComparisonType));
    std::optional<double> operand, low, high;
    bool parsed = false;
    if (type == DMSComparisonTypeBetween) {
        low = conditionsParseDouble(conditionsText(numberFilter, DMSPBNumberFilter::kMinComparisonValue));
        high = conditionsParseDouble(conditionsText(numberFilter, DMSPBNumberFilter::kMaxComparisonValue));
        parsed = low && high;
    } else {
        operand = conditionsParseDouble(conditionsText(numberFilter, DMSPBNumberFilter::kComparisonValue));
        parsed = operand.has_value();
    }
    if (!parsed) {
        conditionsMonitor().logWithLevel(
            1, 8012, "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated",
            conditionsFilterContext(numberFilter));
        return std::nullopt;
    }
    switch (type) {
    case DMSComparisonTypeLessThan:
        return value < *operand;
    case DMSComparisonTypeGreaterThan:
        return value > *operand;
    case DMSComparisonTypeBetween:
        return *low <= value && value <= *high;
    default: {
        // The value itself and its immediate neighbours: the bounds lie two representable steps away.
        constexpr double kInfinity = std::numeric_limits<double>::infinity();
        const double below = std::nextafter(std::nextafter(*operand, -kInfinity), -kInfinity);
        const double above = std::nextafter(std::nextafter(*operand, kInfinity), kInfinity);
        return below < value && value < above;
    }
    }
}

std::optional<bool> DMSEvaluateNumberFilterWithInt64(NANOMessageRef numberFilter, int64_t value) {
    return DMSEvaluateNumberFilterWithDecimal(numberFilter, plat::Decimal(value));
}

std::optional<bool> DMSEvaluateNumberFilterWithDecimal(NANOMessageRef numberFilter, const plat::Decimal& value) {
    auto& monitor = conditionsMonitor();
    if (!DMSIsValidNumberFilter(numberFilter)) {
        return std::nullopt;
    }
    const auto type = static_cast<uint32_t>(NANOGetInt32(numberFilter, DMSPBNumberFilter::kComparisonType));
    auto convert = [&](int32_t field) -> std::optional<plat::Decimal> {
        auto text = conditionsText(numberFilter, field);
        return text ? DMSDecimalNumberFromString(*text) : std::nullopt;
    };
    DMSAudienceComparisonValues values;
    if (type == DMSComparisonTypeBetween) {
        values.minComparisonValue = convert(DMSPBNumberFilter::kMinComparisonValue);
        if (!values.minComparisonValue) {
            monitor.logWithLevel(1, 8004, "Number filter min comparison value is not a number");
            values.setValid(false);
        } else {
            values.maxComparisonValue = convert(DMSPBNumberFilter::kMaxComparisonValue);
            if (!values.maxComparisonValue) {
                monitor.logWithLevel(1, 8005, "Number filter max comparison value is not a number");
                values.setValid(false);
            }
        }
    } else {
        values.comparisonValue = convert(DMSPBNumberFilter::kComparisonValue);
        if (!values.comparisonValue) {
            monitor.logWithLevel(1, 8002, "Number filter comparison value is not a number");
            values.setValid(false);
        }
    }
    if (!values.isValid()) {
        monitor.logWithLevel(1, 8015,
                             "Parsed decimal number comparison values are not valid. Audience filter will not be "
                             "evaluated. Filter",
                             conditionsFilterContext(numberFilter));
        return std::nullopt;
    }
    switch (type) {
    case DMSComparisonTypeLessThan:
        return plat::Decimal::compare(value, *values.comparisonValue) < 0;
    case DMSComparisonTypeGreaterThan:
        return plat::Decimal::compare(value, *values.comparisonValue) > 0;
    case DMSComparisonTypeEqual:
        return plat::Decimal::compare(value, *values.comparisonValue) == 0;
    default:
        return plat::Decimal::compare(value, *values.minComparisonValue) >= 0 &&
               plat::Decimal::compare(value, *values.maxComparisonValue) <= 0;
    }
}

// ---- string filters -----------------------------------------------------------------------------------------------

namespace {

// Compiled expressions by (pattern, options), so that a filter evaluated against every event compiles once.
// Bounded: when full it starts over, which costs a compile per pattern again and nothing else.
plat::Result<std::shared_ptr<const plat::RegularExpression>> conditionsCompiledExpression(const std::string& pattern,
                                                                                         unsigned options) {
    constexpr size_t kConditionsExpressionCacheSize = 256;
    static plat::NeverDestroyed<std::mutex> mutex;
    static plat::NeverDestroyed<std::map<std::pair<std::string, unsigned>, std::shared_ptr<const plat::RegularExpression>>>
        cache;
    const auto key = std::make_pair(pattern, options);
    {
        std::lock_guard lock(*mutex);
        if (auto found = cache->find(key); found != cache->end()) {
            return found->second;
        }
    }
    auto compiled = plat::RegularExpression::make(pattern, options);
    if (!compiled) {
        return compiled.error();
    }
    auto shared = std::make_shared<const plat::RegularExpression>(std::move(*compiled));
    std::lock_guard lock(*mutex);
    if (cache->size() >= kConditionsExpressionCacheSize) {
        cache->clear();
    }
    cache->emplace(key, shared);
    return shared;
}

} // namespace

bool DMSParseStringFilter(NANOMessageRef stringFilter,
                          std::shared_ptr<const plat::RegularExpression>* regularExpression) {
    auto& monitor = conditionsMonitor();
    if (!stringFilter.get() || !NANOHasField(stringFilter, DMSPBStringFilter::kMatchType)) {
        monitor.logWithLevel(1, 9000, "String filter has no match type", conditionsFilterContext(stringFilter));
        return false;
    }
    const auto type = static_cast<uint32_t>(NANOGetInt32(stringFilter, DMSPBStringFilter::kMatchType));
    if (type == DMSMatchTypeInList) {
        auto list = NANOGetArray(stringFilter, DMSPBStringFilter::kExpressionList).value_or(plat::Array());
        if (list.empty()) {
            monitor.logWithLevel(1, 9003, "String filter has no expression list", conditionsFilterContext(stringFilter));
            return false;
        }
        return true;
    }
    if (type == DMSMatchTypeUnknown) {
        monitor.logWithLevel(1, 9001, "String filter has unknown match type", conditionsFilterContext(stringFilter));
        return false;
    }
    auto expression = conditionsText(stringFilter, DMSPBStringFilter::kExpression);
    if (!expression) {
        monitor.logWithLevel(1, 9002, "String filter has no expression", conditionsFilterContext(stringFilter));
        return false;
    }
    if (type == DMSMatchTypeRegexp) {
        const bool caseSensitive = conditionsFlag(stringFilter, DMSPBStringFilter::kCaseSensitive);
        auto compiled = conditionsCompiledExpression(*expression,
                                                     caseSensitive ? 0 : plat::RegularExpression::kCaseInsensitive);
        if (!compiled) {
            monitor.logWithLevel(1, 9004, "Unable to parse regular expression", conditionsFilterContext(stringFilter),
                                 compiled.error());
            return false;
        }
        if (regularExpression) {
            *regularExpression = std::move(*compiled);
        }
    }
    return true;
}

bool DMSIsValidStringFilter(NANOMessageRef stringFilter) {
    return DMSParseStringFilter(stringFilter, nullptr);
}

std::optional<bool> DMSEvaluateStringFilter(NANOMessageRef stringFilter, const std::optional<std::string>& text) {
    auto& monitor = conditionsMonitor();
    if (!text) {
        monitor.logWithLevel(1, 9005, "Evaluation string is nil. Audience filter will not be evaluated",
                             conditionsFilterContext(stringFilter));
        return std::nullopt;
    }
    std::shared_ptr<const plat::RegularExpression> regularExpression;
    if (!DMSParseStringFilter(stringFilter, &regularExpression)) {
        monitor.logWithLevel(1, 9006, "String filter is invalid. Audience filter will not be evaluated",
                             conditionsFilterContext(stringFilter));
        return std::nullopt;
    }
    const auto type = static_cast<uint32_t>(NANOGetInt32(stringFilter, DMSPBStringFilter::kMatchType));
    const bool caseSensitive = conditionsFlag(stringFilter, DMSPBStringFilter::kCaseSensitive);
    if (type == DMSMatchTypeRegexp) {
        // A search that runs out of time decides nothing: the stored result stays.
        return regularExpression ? regularExpression->firstMatchWithinTimeLimit(*text) : std::nullopt;
    }
    auto equal = [&](const std::string& expression) {
        return caseSensitive ? *text == expression : plat::String::caseInsensitiveCompare(*text, expression) == 0;
    };
    if (type == DMSMatchTypeInList) {
        for (const plat::Value& element : NANOGetArray(stringFilter, DMSPBStringFilter::kExpressionList).value_or(plat::Array())) {
            if (const std::string* expression = element.ifString(); expression && equal(*expression)) {
                return true;
            }
        }
        return false;
    }
    const std::string expression = conditionsText(stringFilter, DMSPBStringFilter::kExpression).value_or("");
    const std::string subject = caseSensitive ? *text : plat::String::caseFolded(*text);
    const std::string wanted = caseSensitive ? expression : plat::String::caseFolded(expression);
    switch (type) {
    case DMSMatchTypeBeginsWith:
        return subject.starts_with(wanted);
    case DMSMatchTypeEndsWith:
        return subject.ends_with(wanted);
    case DMSMatchTypePartial:
        return subject.find(wanted) != std::string::npos;
    case DMSMatchTypeExact:
        return equal(expression);
    default:
        return false;
    }
}

// ---- prepared event filters --------------------------------------------------------------------------------------

namespace {

// A number filter whose every operand is in plain form, both as a double and as a decimal.
struct ConditionsReadyNumber {
    uint32_t type = DMSComparisonTypeUnknown;
    double operand = 0, low = 0, high = 0, below = 0, above = 0;
    plat::Decimal decimalOperand, decimalLow, decimalHigh;
};

// A string filter that parses.
struct ConditionsReadyString {
    uint32_t type = DMSMatchTypeUnknown;
    bool caseSensitive = false;
    std::string expression;
    std::string wanted; // the expression as compared: folded unless case-sensitive
    std::vector<std::string> list;
    std::shared_ptr<const plat::RegularExpression> regularExpression;
};

struct ConditionsReadyParameter {
    std::string name;
    bool hasStringFilter = false;
    std::optional<ConditionsReadyNumber> number; // when the filter has a number filter (it wins)
    std::optional<ConditionsReadyString> string;
    bool complement = false;
};

// The decimal of an operand text, only when the text is the decimal's own plain text ("10", "-2.5"): then the
// conversion of the full evaluation takes it as is and has nothing to announce.
std::optional<plat::Decimal> conditionsPlainDecimal(const std::optional<std::string>& text) {
    if (!text || !DMSIsDecimalString(*text)) {
        return std::nullopt;
    }
    bool exact = false;
    plat::Decimal number = plat::Decimal::fromLeadingText(*text, &exact);
    if (number.isNaN() || !exact || number.description() != *text) {
        return std::nullopt;
    }
    return number;
}

std::optional<ConditionsReadyNumber> conditionsReadyNumber(NANOMessageRef numberFilter) {
    if (!numberFilter.get() || !NANOHasField(numberFilter, DMSPBNumberFilter::kComparisonType)) {
        return std::nullopt;
    }
    ConditionsReadyNumber ready;
    ready.type = static_cast<uint32_t>(NANOGetInt32(numberFilter, DMSPBNumberFilter::kComparisonType));
    if (ready.type == DMSComparisonTypeBetween) {
        auto lowText = conditionsText(numberFilter, DMSPBNumberFilter::kMinComparisonValue);
        auto highText = conditionsText(numberFilter, DMSPBNumberFilter::kMaxComparisonValue);
        auto low = conditionsPlainDecimal(lowText), high = conditionsPlainDecimal(highText);
        auto lowDouble = conditionsParseDouble(lowText), highDouble = conditionsParseDouble(highText);
        if (!low || !high || !lowDouble || !highDouble) {
            return std::nullopt;
        }
        ready.decimalLow = *low;
        ready.decimalHigh = *high;
        ready.low = *lowDouble;
        ready.high = *highDouble;
        return ready;
    }
    if (ready.type != DMSComparisonTypeLessThan && ready.type != DMSComparisonTypeGreaterThan &&
        ready.type != DMSComparisonTypeEqual) {
        return std::nullopt;
    }
    auto text = conditionsText(numberFilter, DMSPBNumberFilter::kComparisonValue);
    auto decimal = conditionsPlainDecimal(text);
    auto number = conditionsParseDouble(text);
    if (!decimal || !number) {
        return std::nullopt;
    }
    ready.decimalOperand = *decimal;
    ready.operand = *number;
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    ready.below = std::nextafter(std::nextafter(*number, -kInfinity), -kInfinity);
    ready.above = std::nextafter(std::nextafter(*number, kInfinity), kInfinity);
    return ready;
}

// What DMSEvaluateNumberFilterWithDecimal answers for a valid filter.
bool conditionsReadyCompare(const ConditionsReadyNumber& ready, const plat::Decimal& value) {
    switch (ready.type) {
    case DMSComparisonTypeLessThan:
        return plat::Decimal::compare(value, ready.decimalOperand) < 0;
    case DMSComparisonTypeGreaterThan:
        return plat::Decimal::compare(value, ready.decimalOperand) > 0;
    case DMSComparisonTypeEqual:
        return plat::Decimal::compare(value, ready.decimalOperand) == 0;
    default:
        return plat::Decimal::compare(value, ready.decimalLow) >= 0 &&
               plat::Decimal::compare(value, ready.decimalHigh) <= 0;
    }
}

// What DMSEvaluateNumberFilterWithDouble answers for a valid filter.
bool conditionsReadyCompare(const ConditionsReadyNumber& ready, double value) {
    switch (ready.type) {
    case DMSComparisonTypeLessThan:
        return value < ready.operand;
    case DMSComparisonTypeGreaterThan:
        return value > ready.operand;
    case DMSComparisonTypeBetween:
        return ready.low <= value && value <= ready.high;
    default:
        return ready.below < value && value < ready.above;
    }
}

// The checks of DMSParseStringFilter, without announcing anything.
std::optional<ConditionsReadyString> conditionsReadyString(NANOMessageRef stringFilter) {
    if (!stringFilter.get() || !NANOHasField(stringFilter, DMSPBStringFilter::kMatchType)) {
        return std::nullopt;
    }
    ConditionsReadyString ready;
    ready.type = static_cast<uint32_t>(NANOGetInt32(stringFilter, DMSPBStringFilter::kMatchType));
    ready.caseSensitive = conditionsFlag(stringFilter, DMSPBStringFilter::kCaseSensitive);
    if (ready.type == DMSMatchTypeInList) {
        auto list = NANOGetArray(stringFilter, DMSPBStringFilter::kExpressionList).value_or(plat::Array());
        if (list.empty()) {
            return std::nullopt;
        }
        for (const plat::Value& element : list) {
            if (const std::string* expression = element.ifString()) {
                ready.list.push_back(*expression);
            }
        }
        return ready;
    }
    auto expression = conditionsText(stringFilter, DMSPBStringFilter::kExpression);
    if (ready.type == DMSMatchTypeUnknown || !expression) {
        return std::nullopt;
    }
    ready.expression = *expression;
    ready.wanted = ready.caseSensitive ? *expression : plat::String::caseFolded(*expression);
    if (ready.type == DMSMatchTypeRegexp) {
        auto compiled = conditionsCompiledExpression(
            *expression, ready.caseSensitive ? 0 : plat::RegularExpression::kCaseInsensitive);
        if (!compiled) {
            return std::nullopt;
        }
        ready.regularExpression = std::move(*compiled);
    }
    return ready;
}

// What DMSEvaluateStringFilter answers for a filter that parses and a text.
std::optional<bool> conditionsReadyMatch(const ConditionsReadyString& ready, const std::string& text) {
    if (ready.type == DMSMatchTypeRegexp) {
        return ready.regularExpression->firstMatchWithinTimeLimit(text);
    }
    auto equal = [&](const std::string& expression) {
        return ready.caseSensitive ? text == expression : plat::String::caseInsensitiveCompare(text, expression) == 0;
    };
    switch (ready.type) {
    case DMSMatchTypeInList:
        return std::any_of(ready.list.begin(), ready.list.end(), equal);
    case DMSMatchTypeExact:
        return equal(ready.expression);
    case DMSMatchTypeBeginsWith:
    case DMSMatchTypeEndsWith:
    case DMSMatchTypePartial: {
        const std::string folded = ready.caseSensitive ? std::string() : plat::String::caseFolded(text);
        const std::string& subject = ready.caseSensitive ? text : folded;
        if (ready.type == DMSMatchTypeBeginsWith) {
            return subject.starts_with(ready.wanted);
        }
        if (ready.type == DMSMatchTypeEndsWith) {
            return subject.ends_with(ready.wanted);
        }
        return subject.find(ready.wanted) != std::string::npos;
    }
    default:
        return false;
    }
}

std::optional<ConditionsReadyParameter> conditionsReadyParameter(NANOMessageRef filter) {
    auto name = conditionsText(filter, DMSPBFilter::kParamName);
    if (!name) {
        return std::nullopt;
    }
    ConditionsReadyParameter ready;
    ready.name = std::move(*name);
    ready.hasStringFilter = NANOHasField(filter, DMSPBFilter::kStringFilter);
    ready.complement = conditionsFlag(filter, DMSPBFilter::kComplement);
    if (NANOHasField(filter, DMSPBFilter::kNumberFilter)) {
        ready.number = conditionsReadyNumber(NANOGetMessage<DMSPBNumberFilter>(filter, DMSPBFilter::kNumberFilter));
        if (!ready.number) {
            return std::nullopt;
        }
    } else if (ready.hasStringFilter) {
        ready.string = conditionsReadyString(NANOGetMessage<DMSPBStringFilter>(filter, DMSPBFilter::kStringFilter));
        if (!ready.string) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    return ready;
}

// The answer of the ready form, or none when the full evaluation has to answer.
using ConditionsReadyAnswer = std::optional<std::optional<bool>>;

ConditionsReadyAnswer conditionsReadyValue(const ConditionsReadyParameter& ready, const DMSValue& value) {
    std::optional<bool> outcome;
    if (ready.number) {
        if (const std::string* text = value.ifString()) {
            if (!DMSIsDecimalString(*text)) {
                return std::nullopt;
            }
            // The last step of the evaluation either way: what it announces is announced once.
            auto decimal = DMSDecimalNumberFromString(*text);
            if (!decimal) {
                return std::optional<bool>();
            }
            outcome = conditionsReadyCompare(*ready.number, *decimal);
        } else if (value.isDouble()) {
            if (!std::isfinite(value.doubleValue())) {
                return std::nullopt;
            }
            outcome = conditionsReadyCompare(*ready.number, value.doubleValue());
        } else if (value.isInt64()) {
            outcome = conditionsReadyCompare(*ready.number, plat::Decimal(value.int64Value()));
        } else {
            return std::optional<bool>();
        }
    } else {
        const std::string* text = value.ifString();
        if (!text) {
            return std::nullopt;
        }
        outcome = conditionsReadyMatch(*ready.string, *text);
    }
    if (outcome && ready.complement) {
        outcome = !*outcome;
    }
    return outcome;
}

} // namespace

class DMSPreparedEventFilter {
public:
    std::shared_ptr<NANOMessage> message;
    // False: every evaluation is the full one.
    bool ready = false;
    std::string eventName;
    std::optional<ConditionsReadyNumber> count;
    std::vector<ConditionsReadyParameter> parameters;
};

std::shared_ptr<const DMSPreparedEventFilter> DMSPrepareEventFilter(std::shared_ptr<NANOMessage> eventFilter) {
    if (!eventFilter) {
        return nullptr;
    }
    auto prepared = std::make_shared<DMSPreparedEventFilter>();
    prepared->message = std::move(eventFilter);
    NANOMessageRef message(prepared->message);
    auto name = conditionsText(message, DMSPBEventFilter::kEventName);
    if (!name) {
        return prepared;
    }
    prepared->eventName = std::move(*name);
    if (NANOHasField(message, DMSPBEventFilter::kEventCountFilter)) {
        prepared->count =
            conditionsReadyNumber(NANOGetMessage<DMSPBNumberFilter>(message, DMSPBEventFilter::kEventCountFilter));
        if (!prepared->count) {
            return prepared;
        }
    }
    for (const plat::Value& element :
         NANOGetArray(message, DMSPBEventFilter::kFilters, &DMSPBFilter::messageClass()).value_or(plat::Array())) {
        auto* filter = dynamic_cast<DMSPBFilter*>(element.ifObject());
        if (!filter) {
            continue;
        }
        auto parameter = conditionsReadyParameter(filter);
        if (!parameter) {
            return prepared;
        }
        prepared->parameters.push_back(std::move(*parameter));
    }
    prepared->ready = true;
    return prepared;
}

std::optional<bool> DMSEvaluatePreparedEventFilter(const DMSPreparedEventFilter& eventFilter,
                                                   std::string_view eventName, const DMSParameters& eventParameters,
                                                   const DMSEventAggregates* eventAggregates) {
    auto full = [&] { return DMSEvaluateEventFilter(eventFilter.message, eventName, eventParameters, eventAggregates); };
    if (!eventFilter.ready || eventName.empty() || eventName != eventFilter.eventName) {
        return full();
    }
    if (!eventFilter.count && eventFilter.parameters.empty()) {
        return true;
    }
    if (eventFilter.count) {
        if (!eventAggregates || eventAggregates->name() != eventName) {
            return full();
        }
        if (!conditionsReadyCompare(*eventFilter.count, plat::Decimal(eventAggregates->lifetimeCount()))) {
            return false;
        }
    }
    for (const ConditionsReadyParameter& parameter : eventFilter.parameters) {
        const DMSValue* value = eventParameters.find(parameter.name);
        if (!value || (value->isString() && !parameter.hasStringFilter)) {
            return full();
        }
        auto answer = conditionsReadyValue(parameter, *value);
        if (!answer) {
            return full();
        }
        if (!*answer || !**answer) {
            return *answer;
        }
    }
    return true;
}
