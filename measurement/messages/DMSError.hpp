#pragma once
// Measurement errors: the code table, the error parameters recorded on events ("_err", "_ev", "_el"), the
// internal "_err" event, and error objects of the measurement error domain.

#include "measurement/messages/DMSLogContext.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kDMSErrorDomain = "com.razoza.rmp.measurement.ErrorDomain";
inline constexpr const char* kDMSMonitorContextKey = "DMSMonitorContext";
inline constexpr const char* kDMSErrorParameterCode = "_err";
inline constexpr const char* kDMSErrorParameterValue = "_ev";
inline constexpr const char* kDMSErrorParameterLength = "_el";

enum DMSErrorCode : int64_t {
    DMSErrorCodeNoError = 0,
    DMSErrorCodeInvalidRMPAppID = 1,
    DMSErrorCodeInvalidEventName = 2,
    DMSErrorCodeInvalidParameterName = 3,
    DMSErrorCodeInvalidParameterValue = 4,
    DMSErrorCodeParameterLimitReached = 5,
    DMSErrorCodeInvalidUserPropertyName = 6,
    DMSErrorCodeUserPropertyValueTooLong = 7,
    DMSErrorCodeEventLimitReached = 8,
    DMSErrorCodeUserPropertyLimitReached = 9,
    DMSErrorCodeConversionEventLimitReached = 10,
    DMSErrorCodeEventIsBlacklisted = 11,
    DMSErrorCodeUserPropertyIsBlacklisted = 12,
    DMSErrorCodeEventNameIsReserved = 13,
    DMSErrorCodeParameterNameIsReserved = 14,
    DMSErrorCodeUserPropertyNameIsReserved = 15,
    DMSErrorCodePublicEventLimitReached = 16,
    DMSErrorCodeTooManyExtraParamEvents = 17,
    DMSErrorCodeValueIsNotNumeric = 18,
    DMSErrorCodeCurrencyCodeIsMissingOrInvalid = 19,
};

// Code -> readable name for debug output; built once.
const std::map<int64_t, std::string>& DMSErrorCodeName();

// Error events and error parameters. `item` none stands for nil; `lengthValue` none for "not given".
void DMSLogErrorEvent(int64_t code);
void DMSLogErrorEventWithValue(int64_t code, const std::optional<plat::Value>& item, int64_t maxLength,
                               const std::optional<plat::Value>& lengthValue);
void DMSAddErrorParameters(plat::Dictionary& parameters, const std::optional<plat::Value>& item, int64_t maxLength,
                           const std::optional<plat::Value>& lengthValue = std::nullopt);
void DMSAddErrorCode(plat::Dictionary& parameters, int64_t code);
void DMSAddErrorCodeAndParameters(plat::Dictionary& parameters, int64_t code, const std::optional<plat::Value>& item,
                                  int64_t maxLength, const std::optional<plat::Value>& lengthValue = std::nullopt);

// Error objects.
plat::Error dms_errorWithCode(int64_t code, std::string_view description, std::string_view monitorContext = {});
void DMSSetError(plat::Error* error, int64_t code, std::string_view description);
void DMSSetErrorWithContext(plat::Error* error, int64_t code, std::string_view description,
                            std::string_view monitorContext);
bool DMSRequire(bool condition, plat::Error* error, int64_t code, std::string_view description);
bool DMSRequireValue(const std::optional<plat::Value>& value, plat::Error* error, int64_t code,
                     std::string_view description);
bool DMSRequireValue(int64_t value, plat::Error* error, int64_t code, std::string_view description);
std::string DMSMonitorContextFromErrors(const DMSLogContexts& contexts);
