#include "measurement/storage/DMSEvent.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"

#include <algorithm>
#include <cfloat>
#include <limits>

// ---- typed parameters ------------------------------------------------------------

const DMSValue* DMSParameters::find(std::string_view name) const {
    for (const auto& entry : entries_) {
        if (entry.first == name) {
            return &entry.second;
        }
    }
    return nullptr;
}

void DMSParameters::set(std::string_view name, DMSValue value) {
    for (auto& entry : entries_) {
        if (entry.first == name) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(std::string(name), std::move(value));
}

bool DMSParameters::erase(std::string_view name) {
    auto found =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == name; });
    if (found == entries_.end()) {
        return false;
    }
    entries_.erase(found);
    return true;
}

std::vector<std::string> DMSParameters::keys() const {
    std::vector<std::string> keys;
    keys.reserve(entries_.size());
    for (const auto& entry : entries_) {
        keys.push_back(entry.first);
    }
    return keys;
}

plat::Dictionary DMSParameters::dictionary() const {
    plat::Dictionary dictionary;
    for (const auto& [name, value] : entries_) {
        dictionary.set(name, value.object());
    }
    return dictionary;
}

bool operator==(const DMSParameters& a, const DMSParameters& b) {
    if (a.size() != b.size()) {
        return false;
    }
    return std::all_of(a.begin(), a.end(), [&](const DMSParameters::Entry& entry) {
        const DMSValue* other = b.find(entry.first);
        return other && *other == entry.second;
    });
}

void DMSAddErrorCodeAndParametersToParameters(DMSParameters& parameters, int64_t code,
                                              const std::optional<plat::Value>& item, int64_t maxLength,
                                              const std::optional<plat::Value>& lengthValue) {
    plat::Dictionary errors;
    for (const char* name : {kDMSErrorParameterCode, kDMSErrorParameterValue, kDMSErrorParameterLength}) {
        if (const DMSValue* value = parameters.find(name)) {
            errors.set(name, value->object());
        }
    }
    if (!errors.empty()) {
        return;
    }
    DMSAddErrorCodeAndParameters(errors, code, item, maxLength, lengthValue);
    for (const auto& [name, value] : errors) {
        if (auto typed = DMSValue::valueFromObject(value)) {
            parameters.set(name, *typed);
        }
    }
}

// ---- events ------------------------------------------------------------------------

namespace {

DMSMonitor& dmsEventMonitor() {
    return DMSMeasurement::monitor();
}

bool dmsHoldsErrorParameters(const plat::Dictionary& parameters) {
    return parameters.contains(kDMSErrorParameterCode) || parameters.contains(kDMSErrorParameterValue) ||
           parameters.contains(kDMSErrorParameterLength);
}

// "_ev" values are cut to this many characters; one that was cut already ends in "..." after them.
constexpr int64_t kDMSMaxErrorValueLength = 256;

bool dmsIsTrimmedErrorValue(const std::string& text, int64_t length) {
    return length == kDMSMaxErrorValueLength + 3 && text.ends_with("...");
}

// Keeps at most the maximum of public parameters: the greatest public names go first.
void dmsCapPublicParameters(plat::Dictionary& parameters) {
    std::vector<std::string> publicNames;
    for (const auto& entry : parameters) {
        if (!entry.first.starts_with("_")) {
            publicNames.push_back(entry.first);
        }
    }
    if (static_cast<int64_t>(publicNames.size()) <= DMSEvent::kMaxPublicParameters) {
        return;
    }
    std::sort(publicNames.begin(), publicNames.end());
    for (size_t i = static_cast<size_t>(DMSEvent::kMaxPublicParameters); i < publicNames.size(); ++i) {
        parameters.erase(publicNames[i]);
    }
    DMSAddErrorCode(parameters, DMSErrorCodeParameterLimitReached);
    dmsEventMonitor().logWithLevel(1, 16001,
                                   "Event cannot contain more than " +
                                       std::to_string(DMSEvent::kMaxPublicParameters) + " parameters");
}

std::string dmsScreenString(const plat::Value& value) {
    const std::string* text = value.ifString();
    return text ? *text : std::string();
}

} // namespace

bool DMSEvent::isValidParameterKey(const std::string& key, bool isPublicEvent,
                                   plat::Dictionary& errorParameters) {
    int64_t failure = DMSValidationFailureNone;
    bool valid = (!isPublicEvent || DMSDataTypeValidator::isValidPublicEventParameterName(key, &failure)) &&
                 DMSDataTypeValidator::isValidInternalEventParameterName(key, &failure);
    if (valid) {
        return true;
    }
    if (failure != DMSValidationFailureNone && !dmsHoldsErrorParameters(errorParameters)) {
        int64_t code = failure == DMSValidationFailureReserved ? DMSErrorCodeParameterNameIsReserved
                                                               : DMSErrorCodeInvalidParameterName;
        constexpr int64_t kMaxNameLength = 40;
        std::optional<plat::Value> length;
        if (dms_UTF32Length(key) > kMaxNameLength) {
            length = plat::Value(key);
        }
        DMSAddErrorCodeAndParameters(errorParameters, code, plat::Value(key), kMaxNameLength, length);
    }
    return false;
}

std::optional<DMSParameters> DMSEvent::normalizedParametersForParameters(const plat::Dictionary& parameters,
                                                                         bool isPublicEvent) {
    if (parameters.empty()) {
        return std::nullopt;
    }
    // Accepted values as typed values' objects, and the error parameters, by name.
    plat::Dictionary replacements;
    std::vector<std::string> removed;
    for (const auto& [name, object] : parameters) {
        if (!isValidParameterKey(name, isPublicEvent, replacements)) {
            removed.push_back(name);
            continue;
        }
        std::optional<DMSValue> value = DMSValue::valueFromObject(object);
        if (!value) {
            dmsEventMonitor().logWithLevel(4, 16000,
                                           "Event parameter value must be of type NSString or NSNumber. Type",
                                           object.className());
            removed.push_back(name);
            continue;
        }
        int64_t failure = DMSValidationFailureNone;
        bool valid =
            !isPublicEvent || DMSDataTypeValidator::isValidPublicEventParameterValue(*value, &failure);
        if (valid && name == kDMSErrorParameterValue) {
            const std::string* text = value->ifString();
            int64_t length = text ? dms_UTF32Length(*text) : 0;
            if (length > kDMSMaxErrorValueLength && !dmsIsTrimmedErrorValue(*text, length)) {
                if (!replacements.contains(kDMSErrorParameterValue) &&
                    !replacements.contains(kDMSErrorParameterLength)) {
                    DMSAddErrorParameters(replacements, value->object(), kDMSMaxErrorValueLength,
                                          value->object());
                }
                continue;
            }
        } else if (valid) {
            valid = DMSDataTypeValidator::isValidInternalEventParameterValue(*value, &failure);
        }
        if (!valid) {
            removed.push_back(name);
            if (failure == DMSValidationFailureTooLong && !dmsHoldsErrorParameters(replacements)) {
                DMSAddErrorCodeAndParameters(replacements, DMSErrorCodeInvalidParameterValue,
                                             plat::Value(name), 40, value->object());
            }
            continue;
        }
        replacements.set(name, value->object());
    }
    plat::Dictionary merged;
    if (removed.size() == parameters.size()) {
        merged = std::move(replacements);
    } else {
        for (const auto& [name, object] : parameters) {
            if (std::find(removed.begin(), removed.end(), name) == removed.end()) {
                merged.set(name, object);
            }
        }
        for (const auto& [name, object] : replacements) {
            merged.set(name, object);
        }
    }
    dmsCapPublicParameters(merged);
    DMSParameters normalized;
    for (const auto& [name, object] : merged) {
        // Every value left is a string or a number: accepted values were replaced by their typed form and
        // error parameters are made of strings and integers.
        if (auto typed = DMSValue::valueFromObject(object)) {
            normalized.set(name, *typed);
        }
    }
    return normalized;
}

std::optional<DMSEvent> DMSEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                                 const std::string& name, double timestamp,
                                                 double previousTimestamp,
                                                 const plat::Dictionary& parameters) {
    int64_t failure = DMSValidationFailureNone;
    bool originValid = DMSDataTypeValidator::isValidForwardedEventOrigin(origin, &failure) ||
                       (failure == DMSValidationFailureMissingForwardedSuffix &&
                        DMSDataTypeValidator::isValidInternalEventOrigin(origin, &failure));
    if (!originValid) {
        return std::nullopt;
    }
    if (isPublic && !DMSDataTypeValidator::isValidPublicEventName(name, &failure)) {
        return std::nullopt;
    }
    if (!DMSDataTypeValidator::isValidInternalEventName(name, &failure)) {
        return std::nullopt;
    }
    if (timestamp < previousTimestamp) {
        dmsEventMonitor().logWithLevel(4, 16002,
                                       "Event created with previous timestamp after current timestamp");
    }
    DMSParameters normalized =
        normalizedParametersForParameters(parameters, isPublic).value_or(DMSParameters{});
    normalized.set("_o", DMSValue::initWithString(origin));
    DMSEvent event(origin, name, timestamp, previousTimestamp, std::move(normalized));
    if (event.isConversion() && !DMSCheckValueAndCurrency(event.parameters_)) {
        event.parameters_.erase("_c");
    }
    return event;
}

std::optional<DMSEvent> DMSEvent::initWithEventProto(const DMSEventFields& proto) {
    auto& monitor = dmsEventMonitor();
    const std::string eventName = proto.name.value_or("");
    std::optional<std::string> origin;
    plat::Dictionary parameters;
    for (const auto& param : proto.params) {
        if (!param.name) {
            monitor.logWithLevel(1, 15000, "Ignoring parameter. Parameter name is nil. Event name",
                                 eventName);
            continue;
        }
        if (*param.name == "_o") {
            if (!param.stringValue) {
                monitor.logWithLevel(
                    1, 15001,
                    "Cannot create an event from event proto. Origin parameter is not a string. Event name",
                    eventName);
                return std::nullopt;
            }
            origin = *param.stringValue;
            continue;
        }
        if (param.stringValue) {
            parameters.set(*param.name, plat::Value(*param.stringValue));
        } else if (param.intValue) {
            parameters.set(*param.name, plat::Value(*param.intValue));
        } else if (param.doubleValue) {
            parameters.set(*param.name, plat::Value(*param.doubleValue));
        } else {
            monitor.logWithLevel(4, 15002,
                                 "Unknown event parameter type from converting an event proto into DMSEvent "
                                 "instance. Event param name",
                                 DMSReadableParameterName(*param.name));
        }
    }
    if (!proto.name) {
        // Reported by the name check, as for any event without a name.
        DMSDataTypeValidator::isValidInternalEventName(DMSObject(), nullptr);
        return std::nullopt;
    }
    if (!origin) {
        DMSDataTypeValidator::isValidInternalEventOrigin(DMSObject(), nullptr);
        return std::nullopt;
    }
    double timestamp = static_cast<double>(proto.timestampMillis.value_or(0)) / 1000;
    double previousTimestamp = static_cast<double>(proto.previousTimestampMillis.value_or(0)) / 1000;
    return initWithOrigin(*origin, false, *proto.name, timestamp, previousTimestamp, parameters);
}

DMSEventFields DMSEvent::protoEventFields() const {
    DMSEventFields proto;
    proto.name = name_;
    if (previousTimestamp_ > DBL_EPSILON) {
        proto.previousTimestampMillis = DMSMillisecondsFromSeconds(previousTimestamp_);
    }
    proto.timestampMillis = DMSMillisecondsFromSeconds(timestamp_);
    for (const auto& [name, value] : parameters_) {
        DMSEventParamFields param;
        param.name = name;
        DMSSetValueFields(param, value);
        proto.params.push_back(std::move(param));
    }
    return proto;
}

std::optional<DMSEvent> DMSEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

std::optional<DMSEvent> DMSEvent::copyWithParameters(const plat::Dictionary& parameters) const {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::optional<DMSEvent> DMSEvent::copy() const {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters_);
}

bool DMSEvent::isFlagSet(std::string_view parameter) const {
    const DMSValue* value = parameters_.find(parameter);
    return value && value->isInt64() && value->int64Value() == 1;
}

bool DMSEvent::isConversion() const {
    return isFlagSet("_c");
}

void DMSEvent::setConversion(bool conversion) {
    if (!conversion) {
        parameters_.erase("_c");
        if (!parameters_.contains(kDMSErrorParameterCode)) {
            parameters_.set(kDMSErrorParameterCode,
                            DMSValue::initWithInt64(DMSErrorCodeConversionEventLimitReached));
        }
        return;
    }
    if (!DMSCheckValueAndCurrency(parameters_)) {
        return;
    }
    parameters_.set("_c", DMSValue::initWithInt64(1));
    const DMSValue* error = parameters_.find(kDMSErrorParameterCode);
    if (error && error->isInt64() && error->int64Value() == DMSErrorCodeConversionEventLimitReached) {
        parameters_.erase(kDMSErrorParameterCode);
    }
}

bool DMSEvent::isRealtime() const {
    const DMSValue* value = parameters_.find("_r");
    if (value && !value->isInt64()) {
        dmsEventMonitor().logWithLevel(1, 16006, "Realtime parameter must be an int64. Event name", name_);
        return false;
    }
    return isFlagSet("_r");
}

void DMSEvent::setRealtime(bool realtime) {
    if (realtime) {
        parameters_.set("_r", DMSValue::initWithInt64(1));
    } else {
        parameters_.erase("_r");
    }
}

bool DMSEvent::isDebug() const {
    return isFlagSet("_dbg");
}

void DMSEvent::setDebug(bool debug) {
    if (debug) {
        parameters_.set("_dbg", DMSValue::initWithInt64(1));
    } else {
        parameters_.erase("_dbg");
    }
}

bool DMSEvent::addScreenParameters(const plat::Dictionary& screenParameters) {
    if (screenParameters.empty() || parameters_.contains("_sn") || parameters_.contains("_sc") ||
        parameters_.contains("_si")) {
        return false;
    }
    const plat::Value* screenClass = screenParameters.find("_sc");
    const plat::Value* screenID = screenParameters.find("_si");
    if (!screenClass || !screenID || !screenClass->isString()) {
        return false;
    }
    if (!DMSDataTypeValidator::isValidScreenParameterValue(*screenClass, nullptr)) {
        dmsEventMonitor().logWithLevel(4, 16003, "Received invalid screen class", *screenClass);
        return false;
    }
    if (!screenID->isNumber()) {
        return false;
    }
    const plat::Value* screenName = screenParameters.find("_sn");
    if (screenName && (!screenName->isString() ||
                       !DMSDataTypeValidator::isValidScreenParameterValue(*screenName, nullptr))) {
        dmsEventMonitor().logWithLevel(4, 16004, "Received invalid screen name", *screenName);
        return false;
    }
    parameters_.set("_sc", DMSValue::initWithString(dmsScreenString(*screenClass)));
    if (auto typedID = DMSValue::valueFromObject(*screenID)) {
        parameters_.set("_si", *typedID);
    }
    if (screenName) {
        parameters_.set("_sn", DMSValue::initWithString(dmsScreenString(*screenName)));
    }
    return true;
}

// ---- aggregates and raw events -------------------------------------------------------

std::optional<DMSEventAggregates> DMSEventAggregates::initWithName(const std::string& name,
                                                                   int32_t lifetimeCount,
                                                                   int32_t currentBundleCount,
                                                                   double lastFireTimestamp) {
    if (!DMSDataTypeValidator::isValidInternalEventName(name, nullptr)) {
        return std::nullopt;
    }
    if (lifetimeCount < 0 || currentBundleCount < 0) {
        dmsEventMonitor().logWithLevel(4, 17000,
                                       "Failed to create event aggregates object. Received negative count.");
        return std::nullopt;
    }
    return DMSEventAggregates(name, lifetimeCount, currentBundleCount, lastFireTimestamp);
}

namespace {

// Adds 1; the largest count wraps to 0 and says so.
void dmsIncrementAggregateCount(int32_t& count, int64_t overflowCode, const char* overflowMessage) {
    if (count == std::numeric_limits<int32_t>::max()) {
        count = 0;
        dmsEventMonitor().logWithLevel(4, overflowCode, overflowMessage);
        return;
    }
    ++count;
}

} // namespace

void DMSEventAggregates::incrementLifetimeCount() {
    dmsIncrementAggregateCount(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void DMSEventAggregates::incrementCurrentBundleCount() {
    dmsIncrementAggregateCount(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

std::optional<DMSRawEventData> DMSRawEventData::initWithRawEvent(const std::optional<DMSEvent>& rawEvent,
                                                                 int64_t rowID, int64_t metadataFingerprint) {
    if (!rawEvent) {
        DMSMeasurement::monitor().logWithLevel(
            4, 28000, "Failed to create raw event data. Received invalid raw event.");
        return std::nullopt;
    }
    if (rowID < 0) {
        DMSMeasurement::monitor().logWithLevel(
            4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID", rowID);
        return std::nullopt;
    }
    return DMSRawEventData(*rawEvent, rowID, metadataFingerprint);
}
