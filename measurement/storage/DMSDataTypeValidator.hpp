#pragma once
// Whether a name or a value may enter the measurement pipeline, and the fixed tables from the public names of
// automatically logged events, parameters and user properties to the short internal names the pipeline keeps.
// Every check sets the optional failure code (0 when it passes) and logs most failures to the monitor; all
// are pure and safe from any thread.

#include "measurement/storage/DMSValue.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Failure codes written by the checks.
enum DMSValidationFailure : int64_t {
    DMSValidationFailureNone = 0,
    DMSValidationFailureMissing = 1,
    DMSValidationFailureTooLong = 2,
    DMSValidationFailureInvalidCharacter = 3,
    DMSValidationFailureReserved = 4,
    DMSValidationFailureWrongType = 5,
    DMSValidationFailureMissingForwardedSuffix = 6,
    DMSValidationFailureTooShort = 7,
    DMSValidationFailureNotNumeric = 8,
    DMSValidationFailureNotCurrencyCode = 9,
};

// Item types; each labels the messages about it.
enum DMSItemType : int64_t {
    DMSItemTypeEventName = 0,
    DMSItemTypeEventOrigin = 1,
    DMSItemTypeEventParameterName = 2,
    DMSItemTypeEventParameterValue = 3,
    DMSItemTypeUserPropertyName = 4,
    DMSItemTypeUserPropertyValue = 5,
    DMSItemTypeScreenParameterValue = 6,
    DMSItemTypeConditionalUserPropertyOrigin = 7,
    DMSItemTypeConditionalUserPropertyName = 8,
    DMSItemTypeConditionalUserPropertyValue = 9,
};

class DMSDataTypeValidator {
public:
    // Base checks; lengths are in Unicode characters.
    static bool isValidString(const DMSObject& object, int64_t minLength, int64_t maxLength, int64_t type,
                              int64_t* failureCode);
    static bool isValidInternalName(const DMSObject& name, int64_t maxLength, int64_t type,
                                    int64_t* failureCode);
    static bool isValidPublicName(const DMSObject& name, int64_t maxLength, int64_t type,
                                  int64_t* failureCode);
    static bool isValidValue(const DMSObject& value, int64_t minLength, int64_t maxLength, int64_t type,
                             int64_t* failureCode);
    static bool hasReservedPrefixes(std::string_view name);

    static bool isValidPublicEventName(const DMSObject& name, int64_t* failureCode);
    static bool isValidInternalEventName(const DMSObject& name, int64_t* failureCode);
    static bool isValidInternalEventOrigin(const DMSObject& origin, int64_t* failureCode);
    static bool isValidForwardedEventOrigin(const DMSObject& origin, int64_t* failureCode);
    static bool isValidPublicEventParameterName(const DMSObject& name, int64_t* failureCode);
    static bool isValidInternalEventParameterName(const DMSObject& name, int64_t* failureCode);
    static bool isValidPublicEventParameterValue(const DMSObject& value, int64_t* failureCode);
    static bool isValidInternalEventParameterValue(const DMSObject& value, int64_t* failureCode);
    static bool isValidNumericValue(const DMSObject& value, int64_t* failureCode);
    static bool isValidCurrencyCode(const DMSObject& value, int64_t* failureCode);
    static bool isValidPublicUserAttributeName(const DMSObject& name, int64_t* failureCode);
    static bool isValidInternalUserAttributeName(const DMSObject& name, int64_t* failureCode);
    static bool isValidPublicUserAttributeValue(const DMSObject& value, int64_t* failureCode);
    static bool isValidInternalUserAttributeValue(const DMSObject& value, std::string_view name,
                                                  int64_t* failureCode);
    static bool isValidScreenParameterValue(const DMSObject& value, int64_t* failureCode);
    static bool isValidConditionalUserPropertyOrigin(const DMSObject& origin, int64_t* failureCode);
    static bool isValidConditionalUserPropertyName(const DMSObject& name, int64_t* failureCode);
    static bool isValidConditionalUserPropertyValue(const DMSObject& value, int64_t* failureCode);

    // The character classes: letters without combining marks, and those plus decimal digits and "_".
    static bool isLetterCharacter(char32_t c);
    static bool isNameCharacter(char32_t c);
    static std::string labelForType(int64_t type);

private:
    static const DMSValue* typedValue(const DMSObject& value, int64_t type, int64_t* failureCode);
};

// Public name -> internal name; each built once on first use.
using DMSNameTable = std::map<std::string, std::string, std::less<>>;
const DMSNameTable& DMSEventNameTable();
const DMSNameTable& DMSParameterNameTable();
const DMSNameTable& DMSUserPropertyNameTable();
