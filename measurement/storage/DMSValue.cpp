#include "measurement/storage/DMSValue.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"

std::optional<DMSValue> DMSValue::initWithStringObject(const std::optional<plat::Value>& object) {
    if (!object) {
        DMSMeasurement::monitor().logWithLevel(0, 35002, "Cannot create String value with nil");
        return std::nullopt;
    }
    const std::string* text = object->ifString();
    if (!text) {
        DMSMeasurement::monitor().logWithLevel(
            0, 35003, "Cannot create String value with non-string value. Value", *object);
        return std::nullopt;
    }
    return DMSValue(DMSValueTypeString, *object);
}

std::optional<DMSValue> DMSValue::valueFromObject(const std::optional<plat::Value>& object) {
    if (!object) {
        DMSMeasurement::monitor().logWithLevel(0, 35000, "Cannot create Value type with nil value");
        return std::nullopt;
    }
    switch (object->kind()) {
    case plat::Value::Kind::String:
        return DMSValue(DMSValueTypeString, *object);
    case plat::Value::Kind::Double:
        return initWithDouble(object->asDouble());
    case plat::Value::Kind::Bool:
    case plat::Value::Kind::Int:
    case plat::Value::Kind::UInt:
        // The platform's long-long value: saturated above the signed range.
        return initWithInt64(object->longLongValue());
    case plat::Value::Kind::Object:
        // A decimal number is a floating-point number.
        if (object->isNumber()) {
            return initWithDouble(object->doubleValue());
        }
        break;
    default:
        break;
    }
    DMSMeasurement::monitor().logWithLevel(
        0, 35001,
        "Cannot create Value type with unsupported value. The Value has to be NSNumber or NSString. Value",
        *object);
    return std::nullopt;
}

std::optional<std::string> DMSValue::stringValue() const {
    if (const std::string* text = ifString()) {
        return *text;
    }
    return std::nullopt;
}

std::string DMSObjectClassName(const DMSObject& object) {
    if (const auto* value = std::get_if<plat::Value>(&object)) {
        return value->className();
    }
    if (std::holds_alternative<DMSValue>(object)) {
        return "DMSValue";
    }
    return "nil";
}

std::optional<DMSUserAttribute> DMSUserAttribute::initWithOrigin(std::string origin, std::string name,
                                                                 const std::optional<DMSValue>& value,
                                                                 double lastSetTimestamp) {
    if (!DMSDataTypeValidator::isValidInternalUserAttributeName(name, nullptr)) {
        return std::nullopt;
    }
    DMSObject checked = value ? DMSObject(*value) : DMSObject();
    if (!DMSDataTypeValidator::isValidInternalUserAttributeValue(checked, name, nullptr)) {
        return std::nullopt;
    }
    return DMSUserAttribute(std::move(origin), std::move(name), *value, lastSetTimestamp);
}

DMSUserAttributeFields DMSUserAttribute::protoUserAttributeFields() const {
    DMSUserAttributeFields fields;
    fields.name = name_;
    DMSSetValueFields(fields, value_);
    fields.setTimestampMillis = DMSMillisecondsFromSeconds(lastSetTimestamp_);
    return fields;
}
