#pragma once
// The condition logic of audience filters: one downloaded filter message against one event or user property
// answers true, false or none (the filter cannot be evaluated, and the stored result stays as it is). Every
// none is announced on the monitor. Also the validity checks of number and string filters that the
// definitions apply to downloaded audiences. Stateless; runs on the measurement worker queue.

#include "core/NANOMessage.hpp"
#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/RegularExpression.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DMSEventAggregates;
class DMSParameters;
class DMSUserAttribute;
class DMSValue;

enum DMSComparisonType : uint32_t {
    DMSComparisonTypeUnknown = 0,
    DMSComparisonTypeLessThan = 1,
    DMSComparisonTypeGreaterThan = 2,
    DMSComparisonTypeEqual = 3,
    DMSComparisonTypeBetween = 4,
};

enum DMSMatchType : uint32_t {
    DMSMatchTypeUnknown = 0,
    DMSMatchTypeRegexp = 1,
    DMSMatchTypeBeginsWith = 2,
    DMSMatchTypeEndsWith = 3,
    DMSMatchTypePartial = 4,
    DMSMatchTypeExact = 5,
    DMSMatchTypeInList = 6,
};

// The decimal operands of one number filter during one decimal comparison.
class DMSAudienceComparisonValues {
public:
    std::optional<plat::Decimal> comparisonValue;
    std::optional<plat::Decimal> minComparisonValue;
    std::optional<plat::Decimal> maxComparisonValue;
    bool isValid() const { return valid_; }
    void setValid(bool valid) { valid_ = valid; }

private:
    bool valid_ = true;
};

// Messages are passed as message objects (null: absent); the answer none is "cannot be evaluated".
std::optional<bool> DMSEvaluateEventFilter(NANOMessageRef eventFilter, std::string_view eventName,
                                           const DMSParameters& eventParameters,
                                           const DMSEventAggregates* eventAggregates);
std::optional<bool> DMSEvaluatePropertyFilter(NANOMessageRef propertyFilter, const DMSUserAttribute* userProperty);
std::optional<bool> DMSEvaluateFilterForValue(NANOMessageRef filter, const DMSValue& value);
bool DMSIsValidNumberFilter(NANOMessageRef numberFilter);
std::optional<bool> DMSEvaluateNumberFilterWithDouble(NANOMessageRef numberFilter, double value);
std::optional<bool> DMSEvaluateNumberFilterWithInt64(NANOMessageRef numberFilter, int64_t value);
std::optional<bool> DMSEvaluateNumberFilterWithDecimal(NANOMessageRef numberFilter, const plat::Decimal& value);
// Hands out the compiled expression of a REGEXP filter when asked for (shared: compiled once per pattern).
bool DMSParseStringFilter(NANOMessageRef stringFilter,
                          std::shared_ptr<const plat::RegularExpression>* regularExpression);
bool DMSIsValidStringFilter(NANOMessageRef stringFilter);
std::optional<bool> DMSEvaluateStringFilter(NANOMessageRef stringFilter, const std::optional<std::string>& text);

// An event filter made ready once for evaluation against many events: operands parsed, expressions compiled,
// texts folded. It answers exactly what DMSEvaluateEventFilter answers for its message and announces the same
// lines: a filter or an event the ready form does not cover (anything that would be announced, or operand
// texts that are not in their plain form) goes to DMSEvaluateEventFilter.
class DMSPreparedEventFilter;
// Null without a message.
std::shared_ptr<const DMSPreparedEventFilter> DMSPrepareEventFilter(std::shared_ptr<NANOMessage> eventFilter);
std::optional<bool> DMSEvaluatePreparedEventFilter(const DMSPreparedEventFilter& eventFilter,
                                                   std::string_view eventName, const DMSParameters& eventParameters,
                                                   const DMSEventAggregates* eventAggregates);
