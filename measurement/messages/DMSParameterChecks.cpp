#include "measurement/messages/DMSParameterChecks.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "platform/foundation/Collator.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/RegularExpression.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <mutex>

namespace {

constexpr const char* kDMSDecimalPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

DMSMonitor& dmsChecksMonitor() {
    return DMSMeasurement::monitor();
}

const std::string* dmsChecksString(const DMSObject& object) {
    const auto* value = std::get_if<plat::Value>(&object);
    return value ? value->ifString() : nullptr;
}

std::string dmsChecksDescription(const DMSObject& object) {
    if (const auto* value = std::get_if<plat::Value>(&object)) {
        return value->description();
    }
    if (const auto* typed = std::get_if<DMSValue>(&object)) {
        return typed->description();
    }
    return "(null)";
}

bool dmsChecksPlainValue(const plat::Value& value) {
    return value.isString() || value.isNumber();
}

// The children of one array parameter, or none when the group fails (its error recorded on the main event).
std::optional<std::vector<DMSEvent>>
dmsChildEventsOfGroup(const plat::Array& elements, const std::string& origin, bool isPublicEvent,
                      const std::string& mainName, const std::string& groupName, int64_t eventID,
                      plat::Dictionary& errorParameters, double timestamp) {
    auto& monitor = dmsChecksMonitor();
    if (mainName.empty()) {
        monitor.logWithLevel(1, 18006, "Cannot create child events. Main event name cannot be nil");
        return std::nullopt;
    }
    if (elements.empty()) {
        return std::nullopt;
    }
    if (static_cast<int64_t>(elements.size()) > kDMSMaxExtraParameterEvents) {
        monitor.logWithLevel(
            1, 18008, "Event has too many extra param events. Dropping all of extra param events. Event name",
            mainName);
        DMSAddErrorCodeAndParameters(errorParameters, DMSErrorCodeTooManyExtraParamEvents,
                                     plat::Value(groupName), 40);
        return std::nullopt;
    }
    auto groupFailed = [&]() -> std::optional<std::vector<DMSEvent>> {
        monitor.logWithLevel(1, 18010,
                             "Couldn't create extra param event. Original event name, param key, param value",
                             mainName, groupName, plat::Value(elements));
        DMSAddErrorCodeAndParameters(errorParameters, DMSErrorCodeInvalidParameterValue,
                                     plat::Value(groupName), 40);
        return std::nullopt;
    };
    std::vector<DMSEvent> children;
    for (const auto& element : elements) {
        const plat::Dictionary* dictionary = element.ifDictionary();
        if (!dictionary) {
            monitor.logWithLevel(1, 18009, "Invalid extra param structure. Must be a dictionary. Parameters",
                                 element);
            DMSAddErrorCodeAndParameters(errorParameters, DMSErrorCodeInvalidParameterValue,
                                         plat::Value(groupName), 40);
            break;
        }
        if (dictionary->empty()) {
            continue;
        }
        std::optional<DMSParameters> normalized =
            DMSEvent::normalizedParametersForParameters(*dictionary, isPublicEvent);
        if (!normalized || normalized->empty()) {
            return groupFailed();
        }
        normalized->set("_eid", DMSValue::initWithInt64(eventID));
        normalized->set("_gn", DMSValue::initWithString(groupName));
        normalized->set("_en", DMSValue::initWithString(mainName));
        normalized->set("_i", DMSValue::initWithInt64(static_cast<int64_t>(children.size())));
        std::optional<DMSEvent> child =
            DMSEvent::initWithOrigin(origin, false, "_ep", timestamp, 0, *normalized);
        if (!child) {
            monitor.logWithLevel(2, 18011, "Cannot create a child event. Original name, group name", mainName,
                                 groupName);
            return groupFailed();
        }
        children.push_back(std::move(*child));
    }
    return children;
}

} // namespace

bool DMSIsPublicName(const DMSObject& name) {
    const std::string* text = dmsChecksString(name);
    if (!text) {
        dmsChecksMonitor().logWithLevel(1, 18002, "Unable to check the name. Name is not a string");
        return false;
    }
    if (text->empty()) {
        dmsChecksMonitor().logWithLevel(1, 18003, "Unable to check the name. Name is empty");
        return false;
    }
    return (*text)[0] != '_';
}

bool DMSIsErrorEventName(const DMSEvent& event) {
    if (event.name().empty()) {
        dmsChecksMonitor().logWithLevel(1, 18004, "Unable to check the event name. Name is empty");
        return false;
    }
    return event.name() == "_err";
}

bool DMSParametersContainArray(const plat::Dictionary& parameters) {
    return std::any_of(parameters.begin(), parameters.end(),
                       [](const auto& entry) { return entry.second.isArray(); });
}

std::optional<std::vector<std::string>> DMSValidParameterKeys(const plat::Dictionary& parameters,
                                                              bool isPublicEvent,
                                                              plat::Dictionary& errorParameters) {
    if (parameters.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> keys = parameters.keys();
    const plat::Collator& collator = plat::Collator::enUS();
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const std::string& a, const std::string& b) { return collator.compare(a, b) < 0; });
    std::vector<std::string> valid;
    for (const auto& key : keys) {
        if (!DMSEvent::isValidParameterKey(key, isPublicEvent, errorParameters)) {
            continue;
        }
        const plat::Value& value = *parameters.find(key);
        if (!dmsChecksPlainValue(value) && !value.isArray()) {
            dmsChecksMonitor().logWithLevel(1, 18005,
                                            "Invalid event parameter. Parameter must be a number, string or "
                                            "array. Param key, param value",
                                            DMSReadableParameterName(key), value);
            DMSAddErrorCodeAndParameters(errorParameters, DMSErrorCodeInvalidParameterValue, plat::Value(key),
                                         40);
        }
        valid.push_back(key);
    }
    return valid;
}

std::optional<std::vector<DMSEvent>> DMSSplitExtraParameterEvents(int64_t eventID, const std::string& name,
                                                                  const std::string& origin,
                                                                  const plat::Dictionary& parameters,
                                                                  bool isPublicEvent, double timestamp) {
    auto& monitor = dmsChecksMonitor();
    plat::Dictionary errorParameters;
    std::vector<std::string> keys = DMSValidParameterKeys(parameters, isPublicEvent, errorParameters)
                                        .value_or(std::vector<std::string>{});
    std::optional<DMSEvent> placeholder =
        DMSEvent::initWithOrigin("auto", false, "dummy_event", timestamp, 0, plat::Dictionary{});
    if (!placeholder) {
        monitor.logWithLevel(2, 18012, "Cannot create dummy main event!");
        return std::nullopt;
    }
    std::vector<DMSEvent> result{std::move(*placeholder)};
    plat::Dictionary mainParameters;
    int64_t childCount = 0;
    for (const auto& key : keys) {
        const plat::Value& value = *parameters.find(key);
        if (dmsChecksPlainValue(value)) {
            mainParameters.set(key, value);
            continue;
        }
        const plat::Array* elements = value.ifArray();
        if (!elements) {
            continue;
        }
        std::optional<std::vector<DMSEvent>> children = dmsChildEventsOfGroup(
            *elements, origin, isPublicEvent, name, key, eventID, errorParameters, timestamp);
        if (!children || children->empty()) {
            continue;
        }
        const auto count = static_cast<int64_t>(children->size());
        for (auto& child : *children) {
            child.mutableParameters().set("_ll", DMSValue::initWithInt64(count));
            result.push_back(std::move(child));
        }
        mainParameters.set(key, plat::Value(count));
        childCount += count;
    }
    std::optional<DMSEvent> main =
        DMSEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, mainParameters);
    if (main) {
        plat::Dictionary finalParameters = main->parameters().dictionary();
        if (!mainParameters.empty() && childCount > 0) {
            finalParameters.set("_epc", plat::Value(childCount));
            finalParameters.set("_eid", plat::Value(eventID));
        }
        for (const auto& [errorName, errorValue] : errorParameters) {
            finalParameters.set(errorName, errorValue);
        }
        main = main->copyWithParameters(finalParameters);
    }
    if (!main) {
        monitor.logWithLevel(1, 18013, "Main event is nil. Origin, name, params", origin, name,
                             plat::Value(parameters));
        return std::nullopt;
    }
    result[0] = std::move(*main);
    return result;
}

bool DMSHasScreenParameters(const plat::Dictionary& parameters) {
    return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

plat::Dictionary DMSScreenParametersFromParameters(const plat::Dictionary& parameters) {
    plat::Dictionary screen;
    for (const char* key : {"_sn", "_sc", "_si"}) {
        if (const plat::Value* value = parameters.find(key)) {
            screen.set(key, *value);
        }
    }
    return screen;
}

bool DMSCheckValueAndCurrency(DMSParameters& parameters) {
    const DMSValue* value = parameters.find("value");
    if (!value) {
        return true;
    }
    if (!DMSDataTypeValidator::isValidNumericValue(*value, nullptr)) {
        parameters.erase("value");
        DMSAddErrorCodeAndParametersToParameters(parameters, DMSErrorCodeValueIsNotNumeric,
                                                 plat::Value("value"), 256);
        return false;
    }
    const DMSValue* currency = parameters.find("currency");
    if (!DMSDataTypeValidator::isValidCurrencyCode(currency ? DMSObject(*currency) : DMSObject(), nullptr)) {
        dmsChecksMonitor().logWithLevel(
            3, 18014,
            "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency "
            "code in the currency parameter.");
        parameters.erase("value");
        DMSAddErrorCodeAndParametersToParameters(parameters, DMSErrorCodeCurrencyCodeIsMissingOrInvalid,
                                                 plat::Value("currency"), 256);
        return false;
    }
    return true;
}

bool DMSIsDecimalString(std::string_view text) {
    // Compiled once; a failed compile is reported and tried again on the next call.
    struct Slot {
        std::mutex mutex;
        std::shared_ptr<const plat::RegularExpression> expression;
    };
    static plat::NeverDestroyed<Slot> slot;
    std::shared_ptr<const plat::RegularExpression> expression;
    {
        std::lock_guard lock(slot->mutex);
        if (!slot->expression) {
            auto made = plat::RegularExpression::make(kDMSDecimalPattern, plat::RegularExpression::kCaseInsensitive);
            if (!made) {
                dmsChecksMonitor().logWithLevel(1, 26000,
                                                "Unable to initialize decimal number regexp. Regex, error",
                                                kDMSDecimalPattern, made.error());
                return false;
            }
            slot->expression = std::make_shared<const plat::RegularExpression>(std::move(*made));
        }
        expression = slot->expression;
    }
    return !text.empty() && expression->firstMatch(text);
}

std::optional<plat::Decimal> DMSDecimalNumberFromString(std::string_view text) {
    auto& monitor = dmsChecksMonitor();
    if (!DMSIsDecimalString(text)) {
        monitor.logWithLevel(1, 26001, "String value does not represent a numeric value. Value", text);
        return std::nullopt;
    }
    bool exact = false;
    plat::Decimal number = plat::Decimal::fromLeadingText(text, &exact);
    if (number.isNaN()) {
        monitor.logWithLevel(1, 26002, "Unable to create a NSDecimalNumber from string value. Value", text);
        return std::nullopt;
    }
    std::string prepared(text);
    if (prepared.starts_with("+.") || prepared.starts_with("-.") || prepared.starts_with(".")) {
        std::string replaced;
        for (char c : prepared) {
            replaced += c == '.' ? std::string("0.") : std::string(1, c);
        }
        prepared = std::move(replaced);
    }
    // A text with more digits than the number keeps is refused rather than silently rounded. Finding the
    // canonical text in the original misses digits cut off the end ("0.<38 digits>1" holds "0.<38 digits>"),
    // so the parse's own account of dropped digits counts too.
    std::string canonical = (number.isNegative() ? number.absolute() : number).description();
    if (!exact || prepared.find(canonical) == std::string::npos) {
        monitor.logWithLevel(
            1, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value", text);
        return std::nullopt;
    }
    return number;
}

namespace {

std::string dmsReadableName(const DMSObject& name, const DMSNameTable& table, bool userProperty) {
    const std::string* text = dmsChecksString(name);
    if (!text) {
        return dmsChecksDescription(name);
    }
    if (text->empty() || table.empty() || (*text)[0] != '_') {
        return *text;
    }
    if (userProperty && text->starts_with("_exp_")) {
        return "experiment_id (" + *text + ")";
    }
    if (!DMSMeasurement::monitor().isDebugModeEnabled() || !plat::rt::getClass("DAVAnalytics")) {
        return *text;
    }
    for (const auto& [publicName, internalName] : table) {
        if (internalName == *text) {
            return publicName + " (" + internalName + ")";
        }
    }
    return *text;
}

} // namespace

std::string DMSReadableEventName(const DMSObject& name) {
    return dmsReadableName(name, DMSEventNameTable(), false);
}

std::string DMSReadableParameterName(const DMSObject& name) {
    return dmsReadableName(name, DMSParameterNameTable(), false);
}

std::string DMSReadableUserPropertyName(const DMSObject& name) {
    return dmsReadableName(name, DMSUserPropertyNameTable(), true);
}

std::string DMSReadableParametersDescription(const plat::Value& parameters) {
    const plat::Dictionary* dictionary = parameters.ifDictionary();
    if (!dictionary || !DMSMeasurement::monitor().isDebugModeEnabled()) {
        return parameters.description();
    }
    std::vector<std::string> lines;
    for (const auto& [key, value] : *dictionary) {
        std::string rendered = value.description();
        if (key == kDMSErrorParameterCode && value.isInteger()) {
            const auto& names = DMSErrorCodeName();
            auto found = names.find(value.integerValue());
            if (found != names.end()) {
                rendered = found->second + " (" + value.description() + ")";
            }
        }
        lines.push_back("    " + DMSReadableParameterName(key) + " = " + rendered + ";\n");
    }
    std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return plat::String::caseInsensitiveCompare(a, b) < 0;
    });
    std::string text = "{\n";
    for (const auto& line : lines) {
        text += line;
    }
    return text + "}";
}

std::string DMSReadableParametersDescription(const DMSParameters& parameters) {
    return DMSReadableParametersDescription(plat::Value(parameters.dictionary()));
}
