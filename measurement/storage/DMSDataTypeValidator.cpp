#include "measurement/storage/DMSDataTypeValidator.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"

#include <array>

namespace {

constexpr std::array<std::string_view, 3> kDMSReservedPrefixes{"vedudodu_", "razoza_", "ga_"};
constexpr std::string_view kDMSForwardedOriginSuffix = "+rtm";

void dmsSetFailure(int64_t* failureCode, int64_t code) {
    if (failureCode) {
        *failureCode = code;
    }
}

// The object as a monitor context: the platform object itself, a typed value's wrapped object, null for nil.
plat::Value dmsValidatorContext(const DMSObject& object) {
    if (const auto* value = std::get_if<plat::Value>(&object)) {
        return *value;
    }
    if (const auto* typed = std::get_if<DMSValue>(&object)) {
        return typed->object();
    }
    return plat::Value();
}

const std::string* dmsValidatorString(const DMSObject& object) {
    const auto* value = std::get_if<plat::Value>(&object);
    return value ? value->ifString() : nullptr;
}

// Values and user-property values are the app's data: their messages are warnings, the rest errors.
int64_t dmsValidatorLevel(int64_t type) {
    return type == DMSItemTypeEventParameterValue || type == DMSItemTypeUserPropertyValue ? 4 : 1;
}

bool dmsValidatorReserved(const std::string& name, const DMSNameTable* table, int64_t reservedNameCode,
                          const char* reservedNameMessage, int64_t prefixCode, const char* prefixMessage,
                          int64_t* failureCode) {
    if (table && table->count(name)) {
        DMSMeasurement::monitor().logWithLevel(1, reservedNameCode, reservedNameMessage, name);
        dmsSetFailure(failureCode, DMSValidationFailureReserved);
        return true;
    }
    if (DMSDataTypeValidator::hasReservedPrefixes(name)) {
        DMSMeasurement::monitor().logWithLevel(1, prefixCode, prefixMessage, name);
        dmsSetFailure(failureCode, DMSValidationFailureReserved);
        return true;
    }
    return false;
}

} // namespace

bool DMSDataTypeValidator::isLetterCharacter(char32_t c) {
    // Letters (L*) hold no combining marks (M*), which the name classes leave out.
    return plat::String::isLetter(c);
}

bool DMSDataTypeValidator::isNameCharacter(char32_t c) {
    return c == U'_' || plat::String::isLetter(c) || plat::String::isDecimalDigit(c);
}

std::string DMSDataTypeValidator::labelForType(int64_t type) {
    switch (type) {
    case DMSItemTypeEventName:
        return "Event name";
    case DMSItemTypeEventOrigin:
        return "Event origin";
    case DMSItemTypeEventParameterName:
        return "Event parameter name";
    case DMSItemTypeEventParameterValue:
        return "Event parameter value";
    case DMSItemTypeUserPropertyName:
        return "User property name";
    case DMSItemTypeUserPropertyValue:
        return "User property value";
    case DMSItemTypeScreenParameterValue:
        return "Screen parameter value";
    case DMSItemTypeConditionalUserPropertyOrigin:
        return "Conditional user property origin";
    case DMSItemTypeConditionalUserPropertyName:
        return "Conditional user property name";
    case DMSItemTypeConditionalUserPropertyValue:
        return "Conditional user property value";
    default:
        return "Object";
    }
}

bool DMSDataTypeValidator::isValidString(const DMSObject& object, int64_t minLength, int64_t maxLength,
                                         int64_t type, int64_t* failureCode) {
    dmsSetFailure(failureCode, DMSValidationFailureNone);
    auto& monitor = DMSMeasurement::monitor();
    const std::string label = labelForType(type);
    const int64_t level = dmsValidatorLevel(type);
    if (std::holds_alternative<std::monostate>(object)) {
        monitor.logWithLevel(level, 13001, label + " is required and can't be nil");
        dmsSetFailure(failureCode, DMSValidationFailureMissing);
        return false;
    }
    const std::string* text = dmsValidatorString(object);
    if (!text) {
        monitor.logWithLevel(level, 13000, label + " must be of type NSString", dmsValidatorContext(object));
        dmsSetFailure(failureCode, DMSValidationFailureWrongType);
        return false;
    }
    if (minLength >= 1 && text->empty()) {
        if (type != DMSItemTypeEventParameterValue && type != DMSItemTypeUserPropertyValue) {
            monitor.logWithLevel(level, 13001, label + " is required and can't be empty");
        }
        dmsSetFailure(failureCode, DMSValidationFailureMissing);
        return false;
    }
    const int64_t length = dms_UTF32Length(*text);
    if (length > maxLength) {
        monitor.logWithLevel(
            level, 13000,
            label + " is too long. The maximum supported length is " + std::to_string(maxLength), *text);
        dmsSetFailure(failureCode, DMSValidationFailureTooLong);
        return false;
    }
    if (length < minLength) {
        monitor.logWithLevel(
            level, 13000,
            label + " is too short. The minimum supported length is " + std::to_string(minLength), *text);
        dmsSetFailure(failureCode, DMSValidationFailureTooShort);
        return false;
    }
    return true;
}

bool DMSDataTypeValidator::isValidInternalName(const DMSObject& name, int64_t maxLength, int64_t type,
                                               int64_t* failureCode) {
    if (!isValidString(name, 1, maxLength, type, failureCode)) {
        return false;
    }
    const std::string& text = *dmsValidatorString(name);
    for (char32_t c : plat::String::codePoints(text)) {
        if (!isNameCharacter(c)) {
            DMSMeasurement::monitor().logWithLevel(
                1, 13002, labelForType(type) + " must contain only letters, numbers, or underscores", text);
            dmsSetFailure(failureCode, DMSValidationFailureInvalidCharacter);
            return false;
        }
    }
    return true;
}

bool DMSDataTypeValidator::isValidPublicName(const DMSObject& name, int64_t maxLength, int64_t type,
                                             int64_t* failureCode) {
    if (!isValidInternalName(name, maxLength, type, failureCode)) {
        return false;
    }
    const std::string& text = *dmsValidatorString(name);
    uint8_t first[4] = {};
    dms_getUTF32Bytes(text, first, sizeof first);
    char32_t c = static_cast<char32_t>(first[0] | first[1] << 8 | first[2] << 16 | uint32_t{first[3]} << 24);
    if (!isLetterCharacter(c)) {
        DMSMeasurement::monitor().logWithLevel(1, 13003, labelForType(type) + " must start with a letter",
                                               text);
        dmsSetFailure(failureCode, DMSValidationFailureInvalidCharacter);
        return false;
    }
    return true;
}

// The first step of every value check: a typed value, not nil and not another object.
const DMSValue* DMSDataTypeValidator::typedValue(const DMSObject& value, int64_t type, int64_t* failureCode) {
    dmsSetFailure(failureCode, DMSValidationFailureNone);
    if (std::holds_alternative<std::monostate>(value)) {
        DMSMeasurement::monitor().logWithLevel(3, 13004, labelForType(type) + " cannot be nil");
        dmsSetFailure(failureCode, DMSValidationFailureMissing);
        return nullptr;
    }
    const auto* typed = std::get_if<DMSValue>(&value);
    if (!typed) {
        DMSMeasurement::monitor().logWithLevel(
            3, 13005, labelForType(type) + " must be a DMSValue instance. value", DMSObjectClassName(value));
        dmsSetFailure(failureCode, DMSValidationFailureWrongType);
    }
    return typed;
}

bool DMSDataTypeValidator::isValidValue(const DMSObject& value, int64_t minLength, int64_t maxLength,
                                        int64_t type, int64_t* failureCode) {
    const DMSValue* typed = typedValue(value, type, failureCode);
    if (!typed) {
        return false;
    }
    if (typed->isString()) {
        return isValidString(DMSObject(typed->object()), minLength, maxLength, type, failureCode);
    }
    return true;
}

bool DMSDataTypeValidator::hasReservedPrefixes(std::string_view name) {
    for (auto prefix : kDMSReservedPrefixes) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

bool DMSDataTypeValidator::isValidPublicEventName(const DMSObject& name, int64_t* failureCode) {
    if (!isValidPublicName(name, 40, DMSItemTypeEventName, failureCode)) {
        return false;
    }
    return !dmsValidatorReserved(*dmsValidatorString(name), &DMSEventNameTable(), 13006,
                                 "Event name is reserved. Ignoring event", 13007,
                                 "Event name uses reserved prefix. Ignoring event", failureCode);
}

bool DMSDataTypeValidator::isValidInternalEventName(const DMSObject& name, int64_t* failureCode) {
    return isValidInternalName(name, 40, DMSItemTypeEventName, failureCode);
}

bool DMSDataTypeValidator::isValidInternalEventOrigin(const DMSObject& origin, int64_t* failureCode) {
    return isValidInternalName(origin, 32, DMSItemTypeEventOrigin, failureCode);
}

bool DMSDataTypeValidator::isValidForwardedEventOrigin(const DMSObject& origin, int64_t* failureCode) {
    dmsSetFailure(failureCode, DMSValidationFailureNone);
    if (std::holds_alternative<std::monostate>(origin)) {
        dmsSetFailure(failureCode, DMSValidationFailureMissing);
        return false;
    }
    const std::string* text = dmsValidatorString(origin);
    if (!text) {
        // Not a string: the internal check reports it as such.
        return isValidInternalEventOrigin(origin, failureCode);
    }
    if (text->empty()) {
        dmsSetFailure(failureCode, DMSValidationFailureMissing);
        return false;
    }
    if (!std::string_view(*text).ends_with(kDMSForwardedOriginSuffix)) {
        dmsSetFailure(failureCode, DMSValidationFailureMissingForwardedSuffix);
        return false;
    }
    return isValidInternalEventOrigin(text->substr(0, text->size() - kDMSForwardedOriginSuffix.size()),
                                      failureCode);
}

bool DMSDataTypeValidator::isValidPublicEventParameterName(const DMSObject& name, int64_t* failureCode) {
    if (!isValidPublicName(name, 40, DMSItemTypeEventParameterName, failureCode)) {
        return false;
    }
    return !dmsValidatorReserved(*dmsValidatorString(name), nullptr, 0, nullptr, 13008,
                                 "Parameter name uses reserved prefix. Ignoring parameter", failureCode);
}

bool DMSDataTypeValidator::isValidInternalEventParameterName(const DMSObject& name, int64_t* failureCode) {
    return isValidInternalName(name, 40, DMSItemTypeEventParameterName, failureCode);
}

bool DMSDataTypeValidator::isValidPublicEventParameterValue(const DMSObject& value, int64_t* failureCode) {
    return isValidValue(value, 0, 100, DMSItemTypeEventParameterValue, failureCode);
}

bool DMSDataTypeValidator::isValidInternalEventParameterValue(const DMSObject& value, int64_t* failureCode) {
    return isValidValue(value, 0, 256, DMSItemTypeEventParameterValue, failureCode);
}

bool DMSDataTypeValidator::isValidNumericValue(const DMSObject& value, int64_t* failureCode) {
    const DMSValue* checked = typedValue(value, DMSItemTypeEventParameterValue, failureCode);
    if (!checked) {
        return false;
    }
    const DMSValue& typed = *checked;
    if (typed.isInt64() || typed.isDouble()) {
        return true;
    }
    DMSMeasurement::monitor().logWithLevel(3, 13011,
                                           labelForType(DMSItemTypeEventParameterValue) +
                                               " must be specified with a numeric type. value",
                                           typed.description());
    dmsSetFailure(failureCode, DMSValidationFailureNotNumeric);
    return false;
}

bool DMSDataTypeValidator::isValidCurrencyCode(const DMSObject& value, int64_t* failureCode) {
    const DMSValue* checked = typedValue(value, DMSItemTypeEventParameterValue, failureCode);
    if (!checked) {
        return false;
    }
    const DMSValue& typed = *checked;
    constexpr size_t kCurrencyCodeLength = 3;
    if (const std::string* text = typed.ifString();
        text && plat::String::utf16Length(*text) == kCurrencyCodeLength) {
        bool letters = true;
        for (char16_t unit : plat::String::utf16(*text)) {
            letters = letters && isLetterCharacter(unit);
        }
        if (letters) {
            return true;
        }
    }
    DMSMeasurement::monitor().logWithLevel(3, 13012,
                                           labelForType(DMSItemTypeEventParameterValue) + " must contain a " +
                                               std::to_string(kCurrencyCodeLength) +
                                               "-letter ISO_4217 currency code. value",
                                           typed.object());
    dmsSetFailure(failureCode, DMSValidationFailureNotCurrencyCode);
    return false;
}

bool DMSDataTypeValidator::isValidPublicUserAttributeName(const DMSObject& name, int64_t* failureCode) {
    if (!isValidPublicName(name, 24, DMSItemTypeUserPropertyName, failureCode)) {
        return false;
    }
    return !dmsValidatorReserved(*dmsValidatorString(name), &DMSUserPropertyNameTable(), 13009,
                                 "User property name is reserved. Ignoring user property", 13010,
                                 "User property name uses reserved prefix. Ignoring user property",
                                 failureCode);
}

bool DMSDataTypeValidator::isValidInternalUserAttributeName(const DMSObject& name, int64_t* failureCode) {
    return isValidInternalName(name, 24, DMSItemTypeUserPropertyName, failureCode);
}

bool DMSDataTypeValidator::isValidPublicUserAttributeValue(const DMSObject& value, int64_t* failureCode) {
    return isValidValue(value, 1, 36, DMSItemTypeUserPropertyValue, failureCode);
}

bool DMSDataTypeValidator::isValidInternalUserAttributeValue(const DMSObject& value, std::string_view name,
                                                             int64_t* failureCode) {
    // The user ID may be longer than any other property.
    return isValidValue(value, 1, name == "_id" ? 256 : 36, DMSItemTypeUserPropertyValue, failureCode);
}

bool DMSDataTypeValidator::isValidScreenParameterValue(const DMSObject& value, int64_t* failureCode) {
    return isValidString(value, 1, 100, DMSItemTypeScreenParameterValue, failureCode);
}

bool DMSDataTypeValidator::isValidConditionalUserPropertyOrigin(const DMSObject& origin,
                                                                int64_t* failureCode) {
    return isValidInternalName(origin, 32, DMSItemTypeConditionalUserPropertyOrigin, failureCode);
}

bool DMSDataTypeValidator::isValidConditionalUserPropertyName(const DMSObject& name, int64_t* failureCode) {
    return isValidInternalName(name, 24, DMSItemTypeConditionalUserPropertyName, failureCode);
}

bool DMSDataTypeValidator::isValidConditionalUserPropertyValue(const DMSObject& value, int64_t* failureCode) {
    return isValidValue(value, 1, 36, DMSItemTypeConditionalUserPropertyValue, failureCode);
}

const DMSNameTable& DMSEventNameTable() {
    static plat::NeverDestroyed<const DMSNameTable> table(DMSNameTable{
        {"adunit_exposure", "_xu"},
        {"ad_activeview", "_aa"},
        {"ad_click", "_ac"},
        {"ad_exposure", "_xa"},
        {"ad_impression", "_ai"},
        {"ad_query", "_aq"},
        {"ad_reward", "_ar"},
        {"app_clear_data", "_cd"},
        {"app_exception", "_ae"},
        {"app_remove", "_ui"},
        {"app_update", "_au"},
        {"error", "_err"},
        {"vedudodu_campaign", "_cmp"},
        {"first_open", "_f"},
        {"ga_extra_parameter", "_ep"},
        {"in_app_purchase", "_iap"},
        {"notification_dismiss", "_nd"},
        {"notification_foreground", "_nf"},
        {"notification_open", "_no"},
        {"notification_receive", "_nr"},
        {"os_update", "_ou"},
        {"screen_view", "_vs"},
        {"session_start", "_s"},
        {"user_engagement", "_e"},
    });
    return *table;
}

const DMSNameTable& DMSParameterNameTable() {
    static plat::NeverDestroyed<const DMSNameTable> table(DMSNameTable{
        {"ad_event_id", "_aeid"},
        {"ad_unit_id", "_ai"},
        {"deferred_analytics_collection", "_dac"},
        {"engagement_time_msec", "_et"},
        {"exposure_time", "_xt"},
        {"vedudodu_conversion", "_c"},
        {"vedudodu_debug", "_dbg"},
        {"vedudodu_error", "_err"},
        {"vedudodu_error_length", "_el"},
        {"vedudodu_error_value", "_ev"},
        {"vedudodu_event_origin", "_o"},
        {"vedudodu_previous_class", "_pc"},
        {"vedudodu_previous_id", "_pi"},
        {"vedudodu_previous_screen", "_pn"},
        {"vedudodu_realtime", "_r"},
        {"vedudodu_screen", "_sn"},
        {"vedudodu_screen_class", "_sc"},
        {"vedudodu_screen_id", "_si"},
        {"ga_event_id", "_eid"},
        {"ga_event_name", "_en"},
        {"ga_extra_params_ct", "_epc"},
        {"ga_group_name", "_gn"},
        {"ga_index", "_i"},
        {"ga_list_length", "_ll"},
        {"message_id", "_nmid"},
        {"message_name", "_nmn"},
        {"message_time", "_nmt"},
        {"message_device_time", "_ndt"},
        {"previous_app_version", "_pv"},
        {"previous_first_open_count", "_pfo"},
        {"previous_rmp_app_id", "_prmp"},
        {"previous_os_version", "_po"},
        {"session_id", "_sid"},
        {"session_number", "_sno"},
        {"topic", "_nt"},
        {"update_with_analytics", "_uwa"},
    });
    return *table;
}

const DMSNameTable& DMSUserPropertyNameTable() {
    static plat::NeverDestroyed<const DMSNameTable> table(DMSNameTable{
        {"vedudodu_last_notification", "_ln"},
        {"first_open_after_install", "_fi"},
        {"first_open_time", "_fot"},
        {"last_deep_link_referrer", "_ldl"},
        {"lifetime_user_engagement", "_lte"},
        {"user_id", "_id"},
    });
    return *table;
}
