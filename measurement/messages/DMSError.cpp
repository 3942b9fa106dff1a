#include "measurement/messages/DMSError.hpp"

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"

#include <new>

const std::map<int64_t, std::string>& DMSErrorCodeName() {
    // "InvalidUserPropertyOrigin" shared code 6 with "InvalidUserPropertyName"; no code reports an origin
    // yet, so it is left out rather than made to shadow the name a debug line shows for 6.
    static plat::NeverDestroyed<const std::map<int64_t, std::string>> names(std::map<int64_t, std::string>{
        {0, "NoError"},
        {1, "InvalidRMPAppID"},
        {2, "InvalidEventName"},
        {3, "InvalidParameterName"},
        {4, "InvalidParameterValue"},
        {5, "ParameterLimitReached"},
        {6, "InvalidUserPropertyName"},
        {7, "UserPropertyValueTooLong"},
        {8, "EventLimitReached"},
        {9, "UserPropertyLimitReached"},
        {10, "ConversionEventLimitReached"},
        {11, "EventIsBlacklisted"},
        {12, "UserPropertyIsBlacklisted"},
        {13, "EventNameIsReserved"},
        {14, "ParameterNameIsReserved"},
        {15, "UserPropertyNameIsReserved"},
        {16, "PublicEventLimitReached"},
        {17, "TooManyExtraParamEvents"},
        {18, "ValueIsNotNumeric"},
        {19, "CurrencyCodeIsMissingOrInvalid"},
    });
    return *names;
}

namespace {

void dmsLogErrorEventWithParameters(const plat::Dictionary& parameters) {
    DMSAnalytics::logInternalEventWithOrigin("auto", "_err", parameters);
}

// The first `maxLength` characters and "...", cut by characters so none is split.
std::string dmsTrimmedErrorText(const std::string& text, int64_t maxLength) {
    auto keep = static_cast<size_t>(maxLength < 0 ? 0 : maxLength);
    try {
        std::u32string characters = plat::String::codePoints(text);
        characters.resize(keep);
        characters += U"...";
        return plat::String::fromCodePoints(characters);
    } catch (const std::bad_alloc&) {
        DMSMeasurement::monitor().logWithLevel(2, 18000, "Failed to malloc bytes for trimming. Bytes",
                                               static_cast<int64_t>((keep + 3) * 4));
    }
    return plat::String::prefixUTF16(text, keep) + "...";
}

} // namespace

void DMSLogErrorEvent(int64_t code) {
    if (code == 0) {
        return;
    }
    dmsLogErrorEventWithParameters(plat::Dictionary{{kDMSErrorParameterCode, plat::Value(code)}});
}

void DMSLogErrorEventWithValue(int64_t code, const std::optional<plat::Value>& item, int64_t maxLength,
                               const std::optional<plat::Value>& lengthValue) {
    if (code == 0) {
        return;
    }
    plat::Dictionary parameters{{kDMSErrorParameterCode, plat::Value(code)}};
    std::optional<plat::Value> reported;
    if (lengthValue) {
        const std::string* text = lengthValue->ifString();
        int64_t length = text ? dms_UTF32Length(*text) : 0;
        if (length > maxLength || code == DMSErrorCodeInvalidParameterValue ||
            code == DMSErrorCodeUserPropertyValueTooLong) {
            reported = lengthValue;
        }
    }
    DMSAddErrorParameters(parameters, item, maxLength, reported);
    dmsLogErrorEventWithParameters(parameters);
}

void DMSAddErrorParameters(plat::Dictionary& parameters, const std::optional<plat::Value>& item, int64_t maxLength,
                           const std::optional<plat::Value>& lengthValue) {
    if (parameters.contains(kDMSErrorParameterValue) || parameters.contains(kDMSErrorParameterLength)) {
        return;
    }
    std::string text;
    if (!item || item->isNull()) {
        text = "(nil)";
    } else if (const std::string* s = item->ifString()) {
        text = *s;
    } else {
        text = item->className();
    }
    if (dms_UTF32Length(text) > maxLength) {
        text = dmsTrimmedErrorText(text, maxLength);
    }
    parameters.set(kDMSErrorParameterValue, plat::Value(text));
    if (lengthValue) {
        const std::string* s = lengthValue->ifString();
        parameters.set(kDMSErrorParameterLength, plat::Value(s ? dms_UTF32Length(*s) : int64_t{0}));
    }
}

void DMSAddErrorCode(plat::Dictionary& parameters, int64_t code) {
    if (!parameters.contains(kDMSErrorParameterCode)) {
        parameters.set(kDMSErrorParameterCode, plat::Value(code));
    }
}

void DMSAddErrorCodeAndParameters(plat::Dictionary& parameters, int64_t code, const std::optional<plat::Value>& item,
                                  int64_t maxLength, const std::optional<plat::Value>& lengthValue) {
    if (parameters.contains(kDMSErrorParameterValue) || parameters.contains(kDMSErrorParameterLength) ||
        parameters.contains(kDMSErrorParameterCode)) {
        return;
    }
    parameters.set(kDMSErrorParameterCode, plat::Value(code));
    DMSAddErrorParameters(parameters, item, maxLength, lengthValue);
}

plat::Error dms_errorWithCode(int64_t code, std::string_view description, std::string_view monitorContext) {
    plat::Dictionary userInfo;
    if (!description.empty()) {
        userInfo.set(plat::NSLocalizedDescriptionKey, plat::Value(description));
    }
    if (!monitorContext.empty()) {
        userInfo.set(kDMSMonitorContextKey, plat::Value(monitorContext));
    }
    return plat::Error(kDMSErrorDomain, code, std::move(userInfo));
}

void DMSSetError(plat::Error* error, int64_t code, std::string_view description) {
    if (error) {
        *error = dms_errorWithCode(code, description);
    }
}

void DMSSetErrorWithContext(plat::Error* error, int64_t code, std::string_view description,
                            std::string_view monitorContext) {
    if (error) {
        *error = dms_errorWithCode(code, description, monitorContext);
    }
}

bool DMSRequire(bool condition, plat::Error* error, int64_t code, std::string_view description) {
    if (!condition) {
        DMSSetError(error, code, description);
    }
    return condition;
}

bool DMSRequireValue(const std::optional<plat::Value>& value, plat::Error* error, int64_t code,
                     std::string_view description) {
    bool present = value && !value->isNull() && !(value->isNumber() && value->doubleValue() == 0);
    return DMSRequire(present, error, code, description);
}

bool DMSRequireValue(int64_t value, plat::Error* error, int64_t code, std::string_view description) {
    return DMSRequire(value != 0, error, code, description);
}

std::string DMSMonitorContextFromErrors(const DMSLogContexts& contexts) {
    std::string joined;
    for (const auto& context : contexts) {
        const auto* error = std::get_if<plat::Error>(&context);
        if (!error || error->domain != kDMSErrorDomain) {
            continue;
        }
        const plat::Value* monitorContext = error->userInfoValue(kDMSMonitorContextKey);
        const std::string* text = monitorContext ? monitorContext->ifString() : nullptr;
        if (!text || text->empty()) {
            continue;
        }
        if (!joined.empty()) {
            joined += ",";
        }
        joined += *text;
    }
    return joined;
}
