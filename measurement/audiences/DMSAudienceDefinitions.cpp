// The audience definitions of a newly accepted configuration: validation against the limits of the remote
// settings, the public names replaced by the internal ones the stored events and properties carry, the filter
// tables rewritten, stale results pruned and every stored user property evaluated again.

#include "measurement/audiences/DMSAudience.hpp"
#include "measurement/audiences/DMSAudienceConditions.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSValue.hpp"

namespace {

DMSMonitor& definitionsMonitor() {
    return DMSMeasurement::monitor();
}

// The validation failure: the error's code and description.
bool definitionsRefuse(plat::Error* error, int64_t code, const char* description) {
    DMSSetError(error, code, description);
    return false;
}

std::optional<std::string> definitionsText(NANOMessageRef message, int32_t field) {
    return NANOHasField(message, field) ? NANOGetString(message, field) : std::nullopt;
}

template <class Message> std::vector<std::shared_ptr<Message>> definitionsList(NANOMessageRef message, int32_t field) {
    std::vector<std::shared_ptr<Message>> list;
    for (const plat::Value& element : NANOGetArray(message, field, &Message::messageClass()).value_or(plat::Array())) {
        if (auto object = std::dynamic_pointer_cast<Message>(element.asObject())) {
            list.push_back(std::move(object));
        }
    }
    return list;
}

// "Filter has exactly one of number or string filter", and that one valid; the three descriptions in order.
const char* definitionsCheckValueFilter(NANOMessageRef filter, const char* notExactlyOne, const char* invalidNumber,
                                        const char* invalidString) {
    const bool hasNumber = NANOHasField(filter, DMSPBFilter::kNumberFilter);
    const bool hasString = NANOHasField(filter, DMSPBFilter::kStringFilter);
    if (hasNumber == hasString) {
        return notExactlyOne;
    }
    if (hasNumber && !DMSIsValidNumberFilter(NANOGetMessage<DMSPBNumberFilter>(filter, DMSPBFilter::kNumberFilter))) {
        return invalidNumber;
    }
    if (hasString && !DMSIsValidStringFilter(NANOGetMessage<DMSPBStringFilter>(filter, DMSPBFilter::kStringFilter))) {
        return invalidString;
    }
    return nullptr;
}

void definitionsRename(NANOMessageRef message, int32_t field, const DMSNameTable& table) {
    auto name = definitionsText(message, field);
    if (!name) {
        return;
    }
    if (auto internal = table.find(*name); internal != table.end()) {
        NANOSetString(message, field, plat::Value(internal->second));
    }
}

} // namespace

bool DMSAudience::isValidAudienceProto(NANOMessageRef audience, const std::set<int32_t>& usedAudienceIDs,
                                       plat::Error* error) {
    auto& config = DMSMeasurement::remoteConfig();
    const int32_t maxFilters = config.maxFiltersPerAudience();
    const int32_t maxParameters = config.maxParametersPerFilter();
    if (!audience.get() || !NANOHasField(audience, DMSPBAudience::kAudienceID)) {
        return definitionsRefuse(error, 9, "Missing audience ID");
    }
    const int32_t audienceID = NANOGetInt32(audience, DMSPBAudience::kAudienceID);
    if (audienceID < 0) {
        return definitionsRefuse(error, 9, "Audience ID is negative");
    }
    if (usedAudienceIDs.contains(audienceID)) {
        return definitionsRefuse(error, 9, "Duplicate audience ID");
    }
    auto eventFiltersArray = NANOGetArray(audience, DMSPBAudience::kEventFilters, &DMSPBEventFilter::messageClass());
    auto propertyFiltersArray =
        NANOGetArray(audience, DMSPBAudience::kPropertyFilters, &DMSPBPropertyFilter::messageClass());
    if (!eventFiltersArray && !propertyFiltersArray) {
        return definitionsRefuse(error, 9, "Audience missing filters arrays");
    }
    auto eventFilters = definitionsList<DMSPBEventFilter>(audience, DMSPBAudience::kEventFilters);
    auto propertyFilters = definitionsList<DMSPBPropertyFilter>(audience, DMSPBAudience::kPropertyFilters);
    const size_t total = eventFilters.size() + propertyFilters.size();
    if (total < 1 || total > static_cast<size_t>(std::max(maxFilters, 0))) {
        return definitionsRefuse(error, 9, "Audience filter count out of range");
    }
    std::set<int32_t> filterIDs;
    auto inRange = [maxFilters](int32_t id) { return id >= 0 && id < maxFilters; };
    for (const auto& filter : eventFilters) {
        auto name = definitionsText(filter, DMSPBEventFilter::kEventName);
        if (!name || name->empty()) {
            return definitionsRefuse(error, 10, "Event filter missing event name");
        }
        if (!NANOHasField(filter, DMSPBEventFilter::kFilterID)) {
            return definitionsRefuse(error, 10, "Missing event filter ID");
        }
        const int32_t filterID = NANOGetInt32(filter, DMSPBEventFilter::kFilterID);
        if (!inRange(filterID)) {
            return definitionsRefuse(error, 10, "Event filter ID is out of range");
        }
        if (!filterIDs.insert(filterID).second) {
            return definitionsRefuse(error, 10, "Duplicate event filter ID");
        }
        if (NANOHasField(filter, DMSPBEventFilter::kEventCountFilter)) {
            auto countFilter = NANOGetMessage<DMSPBNumberFilter>(filter, DMSPBEventFilter::kEventCountFilter);
            if (NANOHasField(countFilter, DMSPBNumberFilter::kIsFloat) &&
                NANOGetBool(countFilter, DMSPBNumberFilter::kIsFloat)) {
                return definitionsRefuse(error, 10, "Event filter has float event count filter");
            }
            if (!DMSIsValidNumberFilter(countFilter)) {
                return definitionsRefuse(error, 10, "Event filter has invalid event count filter");
            }
        }
        auto parameterFilters = definitionsList<DMSPBFilter>(filter, DMSPBEventFilter::kFilters);
        if (parameterFilters.size() > static_cast<size_t>(std::max(maxParameters, 0))) {
            return definitionsRefuse(error, 10, "Event filter parameters filters count out of range");
        }
        for (const auto& parameterFilter : parameterFilters) {
            auto parameterName = definitionsText(parameterFilter, DMSPBFilter::kParamName);
            if (!parameterName || parameterName->empty()) {
                return definitionsRefuse(error, 10, "Event filter missing parameter name");
            }
            if (const char* failure = definitionsCheckValueFilter(
                    parameterFilter, "Event filter must have exactly one of number or string filter",
                    "Event filter has invalid number filter", "Event filter has invalid string filter")) {
                return definitionsRefuse(error, 10, failure);
            }
        }
    }
    for (const auto& filter : propertyFilters) {
        auto name = definitionsText(filter, DMSPBPropertyFilter::kPropertyName);
        if (!name || name->empty()) {
            return definitionsRefuse(error, 11, "Property filter missing property name");
        }
        if (!NANOHasField(filter, DMSPBPropertyFilter::kFilterID)) {
            return definitionsRefuse(error, 11, "Missing property filter ID");
        }
        const int32_t filterID = NANOGetInt32(filter, DMSPBPropertyFilter::kFilterID);
        if (!inRange(filterID)) {
            return definitionsRefuse(error, 11, "Property filter ID is out of range");
        }
        if (!filterIDs.insert(filterID).second) {
            return definitionsRefuse(error, 11, "Duplicate property filter ID");
        }
        auto valueFilter = NANOGetMessage<DMSPBFilter>(filter, DMSPBPropertyFilter::kFilter);
        if (!NANOHasField(filter, DMSPBPropertyFilter::kFilter) || !valueFilter) {
            return definitionsRefuse(error, 11, "Property filter has no filter");
        }
        if (const char* failure = definitionsCheckValueFilter(
                valueFilter, "Property filter must have exactly one of number or string filter",
                "Property filter has invalid number filter", "Property filter has invalid string filter")) {
            return definitionsRefuse(error, 11, failure);
        }
    }
    return true;
}

bool DMSAudience::updateAudiences(const plat::Array& audiences) {
    auto& monitor = definitionsMonitor();
    auto& config = DMSMeasurement::remoteConfig();
    if (audiences.size() > static_cast<size_t>(std::max(config.maxAudienceCount(), 0))) {
        monitor.logWithLevel(1, 6008,
                             "Configuration contains too many audiences. Audiences will not be saved. Audience count",
                             static_cast<int64_t>(audiences.size()));
        return true;
    }
    std::set<int32_t> accepted;
    std::vector<DMSEventFilter> eventFilters;
    std::vector<DMSPropertyFilter> propertyFilters;
    for (const plat::Value& element : audiences) {
        auto audience = std::dynamic_pointer_cast<DMSPBAudience>(element.ifObject() ? element.asObject() : nullptr);
        plat::Error error;
        if (!isValidAudienceProto(audience, accepted, &error)) {
            monitor.logWithLevel(1, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
                                 audience && audience->protoBuffer() ? plat::Value(*audience->protoBuffer())
                                                                     : plat::Value(),
                                 error);
            continue;
        }
        const int32_t audienceID = NANOGetInt32(audience, DMSPBAudience::kAudienceID);
        accepted.insert(audienceID);
        for (const auto& filter : definitionsList<DMSPBEventFilter>(audience, DMSPBAudience::kEventFilters)) {
            definitionsRename(filter, DMSPBEventFilter::kEventName, DMSEventNameTable());
            auto parameterFilters = NANOGetArray(filter, DMSPBEventFilter::kFilters, &DMSPBFilter::messageClass());
            if (parameterFilters && !parameterFilters->empty()) {
                for (const plat::Value& parameterFilter : *parameterFilters) {
                    definitionsRename(dynamic_cast<DMSPBFilter*>(parameterFilter.ifObject()), DMSPBFilter::kParamName,
                                      DMSParameterNameTable());
                }
                NANOSetArray(filter, DMSPBEventFilter::kFilters, parameterFilters);
            }
            eventFilters.emplace_back(audienceID, NANOGetInt32(filter, DMSPBEventFilter::kFilterID),
                                      definitionsText(filter, DMSPBEventFilter::kEventName).value_or(""),
                                      filter->protoBuffer().value_or(plat::Data()));
        }
        for (const auto& filter : definitionsList<DMSPBPropertyFilter>(audience, DMSPBAudience::kPropertyFilters)) {
            definitionsRename(filter, DMSPBPropertyFilter::kPropertyName, DMSUserPropertyNameTable());
            propertyFilters.emplace_back(audienceID, NANOGetInt32(filter, DMSPBPropertyFilter::kFilterID),
                                         definitionsText(filter, DMSPBPropertyFilter::kPropertyName).value_or(""),
                                         filter->protoBuffer().value_or(plat::Data()));
        }
    }
    if (!maybeDeleteStaleFilterResults(accepted)) {
        return false;
    }
    plat::Error error;
    if (!database_->deleteAllEventFilters(&error)) {
        monitor.logWithLevel(1, 6010, "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
                             error);
        return false;
    }
    if (!database_->deleteAllPropertyFilters(&error)) {
        monitor.logWithLevel(1, 6011,
                             "Unable to delete existing Audience user property filters. Audiences will not be saved. "
                             "Error",
                             error);
        return false;
    }
    if (!eventFilters.empty() && !database_->updateEventFilters(eventFilters, &error)) {
        monitor.logWithLevel(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error", error);
        return false;
    }
    if (!propertyFilters.empty() && !database_->updatePropertyFilters(propertyFilters, &error)) {
        monitor.logWithLevel(1, 6013, "Unable to save Audience user property filters. Audiences will not be saved. Error",
                             error);
        return false;
    }
    auto properties = database_->userAttributesIncludingInternal(true, &error);
    if (!properties) {
        monitor.logWithLevel(1, 6014, "Unable to query current user properties. Audiences will not be saved. Error",
                             error);
        return false;
    }
    for (const DMSUserAttribute& property : *properties) {
        if (!evaluateFiltersForUserProperty(property)) {
            return false;
        }
    }
    return true;
}

bool DMSAudience::maybeDeleteStaleFilterResults(const std::set<int32_t>& keptAudienceIDs) {
    auto& monitor = definitionsMonitor();
    plat::Error error;
    auto results = database_->allFilterResults(&error);
    if (!results) {
        monitor.logWithLevel(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
                             error);
        return false;
    }
    const int32_t limit = DMSMeasurement::remoteConfig().maxFilterResultCount();
    if (results->size() <= static_cast<size_t>(std::max(limit, 0))) {
        return true;
    }
    monitor.logWithLevel(3, 6016,
                         "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter "
                         "result count, max filter result count",
                         static_cast<int64_t>(results->size()), int64_t{limit});
    auto current = database_->allAudienceIDs(&error);
    if (!current) {
        monitor.logWithLevel(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error", error);
        return false;
    }
    std::set<int32_t> defined(current->begin(), current->end());
    std::vector<DMSFilterResult> stale;
    for (const auto& [audienceID, result] : *results) {
        if (!defined.contains(audienceID) && !keptAudienceIDs.contains(audienceID)) {
            stale.push_back(result);
        }
    }
    if (!stale.empty() && !database_->deleteFilterResults(stale, &error)) {
        monitor.logWithLevel(1, 6018, "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
                             error);
        return false;
    }
    return true;
}
