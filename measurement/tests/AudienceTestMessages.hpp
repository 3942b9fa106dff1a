#pragma once
// Builders of the downloaded audience messages for the audience suites: number, string and value filters,
// event and property filters, and whole audiences.

#include "measurement/messages/DMSPBMessages.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dms::test {

inline plat::Value audienceObject(const std::shared_ptr<NANOMessage>& message) {
    return plat::Value(plat::rt::ObjectPtr(message));
}

// Comparison type 4 takes min and max; the others the one value.
inline std::shared_ptr<DMSPBNumberFilter> numberFilter(uint32_t type, std::optional<std::string> value,
                                                       std::optional<std::string> max = std::nullopt) {
    auto filter = DMSPBNumberFilter::init();
    NANOSetInt32(filter, DMSPBNumberFilter::kComparisonType, static_cast<int32_t>(type));
    if (type == 4) {
        if (value) {
            NANOSetString(filter, DMSPBNumberFilter::kMinComparisonValue, plat::Value(*value));
        }
        if (max) {
            NANOSetString(filter, DMSPBNumberFilter::kMaxComparisonValue, plat::Value(*max));
        }
    } else if (value) {
        NANOSetString(filter, DMSPBNumberFilter::kComparisonValue, plat::Value(*value));
    }
    return filter;
}

inline std::shared_ptr<DMSPBStringFilter> stringFilter(uint32_t matchType, std::optional<std::string> expression,
                                                       std::optional<bool> caseSensitive = std::nullopt,
                                                       std::vector<std::string> list = {}) {
    auto filter = DMSPBStringFilter::init();
    NANOSetInt32(filter, DMSPBStringFilter::kMatchType, static_cast<int32_t>(matchType));
    if (expression) {
        NANOSetString(filter, DMSPBStringFilter::kExpression, plat::Value(*expression));
    }
    if (caseSensitive) {
        NANOSetBool(filter, DMSPBStringFilter::kCaseSensitive, *caseSensitive);
    }
    if (!list.empty()) {
        plat::Array values;
        for (const auto& item : list) {
            values.push_back(plat::Value(item));
        }
        NANOSetArray(filter, DMSPBStringFilter::kExpressionList, values);
    }
    return filter;
}

inline std::shared_ptr<DMSPBFilter> valueFilter(const std::shared_ptr<DMSPBNumberFilter>& number,
                                                const std::shared_ptr<DMSPBStringFilter>& string = nullptr,
                                                std::optional<std::string> parameter = std::nullopt,
                                                std::optional<bool> complement = std::nullopt) {
    auto filter = DMSPBFilter::init();
    if (number) {
        NANOSetMessage(filter, DMSPBFilter::kNumberFilter, number);
    }
    if (string) {
        NANOSetMessage(filter, DMSPBFilter::kStringFilter, string);
    }
    if (parameter) {
        NANOSetString(filter, DMSPBFilter::kParamName, plat::Value(*parameter));
    }
    if (complement) {
        NANOSetBool(filter, DMSPBFilter::kComplement, *complement);
    }
    return filter;
}

inline std::shared_ptr<DMSPBEventFilter> eventFilter(int32_t filterID, const std::string& eventName,
                                                     std::vector<std::shared_ptr<DMSPBFilter>> parameters = {},
                                                     std::shared_ptr<DMSPBNumberFilter> countFilter = nullptr,
                                                     bool dynamic = false, bool sequence = false) {
    struct {
        int32_t filterID;
        const std::string& eventName;
        std::vector<std::shared_ptr<DMSPBFilter>>& parameters;
        std::shared_ptr<DMSPBNumberFilter>& countFilter;
        bool dynamic;
        bool sequence;
    } spec{filterID, eventName, parameters, countFilter, dynamic, sequence};
    auto filter = DMSPBEventFilter::init();
    NANOSetInt32(filter, DMSPBEventFilter::kFilterID, spec.filterID);
    NANOSetString(filter, DMSPBEventFilter::kEventName, plat::Value(spec.eventName));
    if (!spec.parameters.empty()) {
        plat::Array parameters;
        for (const auto& parameter : spec.parameters) {
            parameters.push_back(audienceObject(parameter));
        }
        NANOSetArray(filter, DMSPBEventFilter::kFilters, parameters);
    }
    if (spec.countFilter) {
        NANOSetMessage(filter, DMSPBEventFilter::kEventCountFilter, spec.countFilter);
    }
    if (spec.dynamic) {
        NANOSetBool(filter, DMSPBEventFilter::kDynamicFilter, true);
    }
    if (spec.sequence) {
        NANOSetBool(filter, DMSPBEventFilter::kSequenceFilter, true);
    }
    return filter;
}

inline std::shared_ptr<DMSPBPropertyFilter> propertyFilter(int32_t filterID, const std::string& propertyName,
                                                           const std::shared_ptr<DMSPBFilter>& filter,
                                                           bool dynamic = false) {
    auto message = DMSPBPropertyFilter::init();
    NANOSetInt32(message, DMSPBPropertyFilter::kFilterID, filterID);
    NANOSetString(message, DMSPBPropertyFilter::kPropertyName, plat::Value(propertyName));
    if (filter) {
        NANOSetMessage(message, DMSPBPropertyFilter::kFilter, filter);
    }
    if (dynamic) {
        NANOSetBool(message, DMSPBPropertyFilter::kDynamicFilter, true);
    }
    return message;
}

inline std::shared_ptr<DMSPBAudience> audienceMessage(std::optional<int32_t> audienceID,
                                                      std::vector<std::shared_ptr<DMSPBEventFilter>> events,
                                                      std::vector<std::shared_ptr<DMSPBPropertyFilter>> properties = {}) {
    auto audience = DMSPBAudience::init();
    if (audienceID) {
        NANOSetInt32(audience, DMSPBAudience::kAudienceID, *audienceID);
    }
    plat::Array eventList, propertyList;
    for (const auto& filter : events) {
        eventList.push_back(audienceObject(filter));
    }
    for (const auto& filter : properties) {
        propertyList.push_back(audienceObject(filter));
    }
    NANOSetArray(audience, DMSPBAudience::kEventFilters, eventList);
    NANOSetArray(audience, DMSPBAudience::kPropertyFilters, propertyList);
    return audience;
}

} // namespace dms::test
