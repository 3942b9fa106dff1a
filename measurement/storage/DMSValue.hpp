#pragma once
// The one value type of the measurement model (a double, a signed 64-bit integer or a string), and one user
// property as the engine keeps and uploads it.

#include "measurement/messages/DMSMessageFields.hpp"
#include "platform/foundation/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

class DMSValue {
public:
    enum ValueType : int64_t { DMSValueTypeDouble = 0, DMSValueTypeInt64 = 1, DMSValueTypeString = 2 };

    static DMSValue initWithDouble(double value) { return DMSValue(DMSValueTypeDouble, plat::Value(value)); }
    static DMSValue initWithInt64(int64_t value) { return DMSValue(DMSValueTypeInt64, plat::Value(value)); }
    static DMSValue initWithString(std::string value) {
        return DMSValue(DMSValueTypeString, plat::Value(std::move(value)));
    }
    // An object of unknown kind: none for nil (35002) and for anything but a string (35003).
    static std::optional<DMSValue> initWithStringObject(const std::optional<plat::Value>& object);
    // A floating-point number gives a double, any other number (a bool as 0 or 1) an int64, a string a
    // string; none for nil (35000) and for anything else (35001).
    static std::optional<DMSValue> valueFromObject(const std::optional<plat::Value>& object);
    static DMSValue valueFromObject(const DMSValue& value) { return value; }
    // Both stored as given (as read back from storage). The typed accessors read a number of either kind as
    // their type's number; a string under a number type, or a number under the string type, reads as 0 or
    // none.
    static DMSValue initWithValueType(int64_t valueType, plat::Value value) {
        return DMSValue(valueType, std::move(value));
    }

    int64_t valueType() const { return type_; }
    bool isDouble() const { return type_ == DMSValueTypeDouble; }
    bool isInt64() const { return type_ == DMSValueTypeInt64; }
    bool isString() const { return type_ == DMSValueTypeString; }
    // 0 (or none) unless the value is of that type.
    double doubleValue() const { return isDouble() && value_.isNumber() ? value_.doubleValue() : 0; }
    int64_t int64Value() const { return isInt64() && value_.isNumber() ? value_.integerValue() : 0; }
    std::optional<std::string> stringValue() const;
    // The string of a string value without a copy; nullptr for the other types.
    const std::string* ifString() const { return isString() ? value_.ifString() : nullptr; }
    // The wrapped number or string.
    const plat::Value& object() const { return value_; }
    std::string description() const { return value_.description(); }

    // Equal only with the same type: int64 1 and double 1.0 differ.
    friend bool operator==(const DMSValue& a, const DMSValue& b) {
        return a.type_ == b.type_ && a.value_.isEqual(b.value_);
    }
    size_t hash() const { return static_cast<size_t>(type_ * 31) ^ value_.hash(); }

private:
    DMSValue(int64_t type, plat::Value value) : type_(type), value_(std::move(value)) {}

    int64_t type_;
    plat::Value value_;
};

template <> struct std::hash<DMSValue> {
    size_t operator()(const DMSValue& value) const noexcept { return value.hash(); }
};

// Sets exactly one of a message record's double, integer and string fields, by the value's type.
template <class Fields> void DMSSetValueFields(Fields& fields, const DMSValue& value) {
    if (value.isDouble()) {
        fields.doubleValue = value.doubleValue();
    } else if (value.isInt64()) {
        fields.intValue = value.int64Value();
    } else if (const std::string* text = value.ifString()) {
        fields.stringValue = *text;
    }
}

// What the checks may be handed where the platform passes any object: nothing (nil), a platform object or a
// typed value.
using DMSObject = std::variant<std::monostate, plat::Value, DMSValue>;

// The class name an object reports in messages.
std::string DMSObjectClassName(const DMSObject& object);

class DMSUserAttribute {
public:
    // None when the name or the value breaks the internal rules (the validator has logged).
    static std::optional<DMSUserAttribute> initWithOrigin(std::string origin, std::string name,
                                                          const std::optional<DMSValue>& value,
                                                          double lastSetTimestamp);

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    const DMSValue& value() const { return value_; }
    double lastSetTimestamp() const { return lastSetTimestamp_; }
    // A name that is not empty and does not begin with "_".
    bool isPublic() const { return !name_.empty() && name_[0] != '_'; }
    // The wire form; the origin is not part of it.
    std::shared_ptr<DMSPBUserAttribute> protoUserAttribute() const {
        return DMSPBUserAttributeFromFields(protoUserAttributeFields());
    }
    DMSUserAttributeFields protoUserAttributeFields() const;

private:
    DMSUserAttribute(std::string origin, std::string name, DMSValue value, double lastSetTimestamp)
        : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)),
          lastSetTimestamp_(lastSetTimestamp) {}

    std::string origin_;
    std::string name_;
    DMSValue value_;
    double lastSetTimestamp_;
};
