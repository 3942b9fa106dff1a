#pragma once
// Checks the event pipeline and the audience evaluation apply to names and parameter dictionaries: public and
// error names, the valid parameter keys in order, "value" against "currency", the split of array-valued
// parameters into extra-parameter child events, screen parameters, decimal texts, and the readable rendering
// of internal names in debug output.

#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>
#include <vector>

inline constexpr int64_t kDMSMaxExtraParameterEvents = 1000;

// A non-empty string whose first character is not "_" (18002, 18003).
bool DMSIsPublicName(const DMSObject& name);
// The event's name is "_err" (an empty name: 18004).
bool DMSIsErrorEventName(const DMSEvent& event);
bool DMSParametersContainArray(const plat::Dictionary& parameters);
// The valid keys in "en_US" order; none for an empty dictionary. Failed keys record their error in
// `errorParameters`.
std::optional<std::vector<std::string>> DMSValidParameterKeys(const plat::Dictionary& parameters,
                                                              bool isPublicEvent,
                                                              plat::Dictionary& errorParameters);
// The main event followed by the child events of each array parameter, group by group in key order; none when
// the main event cannot be made.
std::optional<std::vector<DMSEvent>> DMSSplitExtraParameterEvents(int64_t eventID, const std::string& name,
                                                                  const std::string& origin,
                                                                  const plat::Dictionary& parameters,
                                                                  bool isPublicEvent, double timestamp);
bool DMSHasScreenParameters(const plat::Dictionary& parameters);
plat::Dictionary DMSScreenParametersFromParameters(const plat::Dictionary& parameters);
// No "value", or a numeric "value" with a valid "currency"; otherwise "value" is removed and the error
// recorded.
bool DMSCheckValueAndCurrency(DMSParameters& parameters);
bool DMSIsDecimalString(std::string_view text);
// None for a text that is no decimal (26001), does not parse (26002) or holds more digits than kept (26003).
std::optional<plat::Decimal> DMSDecimalNumberFromString(std::string_view text);

// "public (internal)" in debug mode with the analytics class present; otherwise the name itself.
std::string DMSReadableEventName(const DMSObject& name);
std::string DMSReadableParameterName(const DMSObject& name);
std::string DMSReadableUserPropertyName(const DMSObject& name);
std::string DMSReadableParametersDescription(const plat::Value& parameters);
std::string DMSReadableParametersDescription(const DMSParameters& parameters);
