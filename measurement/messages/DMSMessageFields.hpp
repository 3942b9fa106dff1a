#pragma once
// The fields of the event, event-parameter and user-attribute messages that the data model reads and writes,
// one member per slot the model uses (absent fields are none). The model converts to and from these records;
// the message objects are filled from them and read into them through the typed field accessors.

#include "measurement/messages/DMSPBMessages.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Message `EventParam`: slot 0 name, 1 string value, 2 integer value, 4 double value.
struct DMSEventParamFields {
    std::optional<std::string> name;
    std::optional<std::string> stringValue;
    std::optional<int64_t> intValue;
    std::optional<double> doubleValue;
};

// Message `Event`: slot 0 parameters, 1 name, 2 timestamp (ms), 3 previous timestamp (ms).
struct DMSEventFields {
    std::vector<DMSEventParamFields> params;
    std::optional<std::string> name;
    std::optional<int64_t> timestampMillis;
    std::optional<int64_t> previousTimestampMillis;
};

// Message `UserAttribute`: slot 0 set time (ms), 1 name, 2 string value, 3 integer value, 5 double value.
struct DMSUserAttributeFields {
    std::optional<int64_t> setTimestampMillis;
    std::optional<std::string> name;
    std::optional<std::string> stringValue;
    std::optional<int64_t> intValue;
    std::optional<double> doubleValue;
};

// Seconds as whole milliseconds for a message: truncated toward zero, saturated at the 64-bit limits, NaN
// giving 0 (a caller may hand in any double as a time).
int64_t DMSMillisecondsFromSeconds(double seconds);

// ---- records to message objects and back (through the typed field accessors, by slot) --------------------

// Every present member becomes its field; parameters become EventParam elements in order.
std::shared_ptr<DMSPBEvent> DMSPBEventFromFields(const DMSEventFields& fields);
// The record of an Event message (empty for none).
DMSEventFields DMSEventFieldsFromMessage(NANOMessageRef event);
std::shared_ptr<DMSPBUserAttribute> DMSPBUserAttributeFromFields(const DMSUserAttributeFields& fields);
DMSUserAttributeFields DMSUserAttributeFieldsFromMessage(NANOMessageRef attribute);
