// The database's conditional user properties and the main events of complex events kept for audience
// evaluation.

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"

namespace {

constexpr const char* kConditionalStoreTable = "conditional_properties";
constexpr const char* kComplexEventStoreTable = "main_event_params";

// The blob of a stored event: the complete message, name included.
std::optional<plat::Data> conditionalStoreEventBlob(const std::optional<DMSEvent>& event) {
    if (!event) {
        return std::nullopt;
    }
    auto message = event->protoEvent();
    auto encoding = message ? message->protoBuffer() : std::nullopt;
    if (!encoding || encoding->empty()) {
        return std::nullopt;
    }
    return encoding;
}

std::optional<DMSEvent> conditionalStoreEventFromBlob(const plat::Value& value, plat::Error* error) {
    if (!DMSRequire(value.isData(), error, 2, "Failed to convert data to an event. Data must be a NSData instance")) {
        return std::nullopt;
    }
    auto message = DMSPBEvent::initWithBuffer(value.asData());
    if (!DMSRequire(message != nullptr, error, 2, "Failed to parse event from data")) {
        return std::nullopt;
    }
    auto event = DMSEvent::initWithEventProto(message);
    DMSRequire(event.has_value(), error, 2, "Failed to initialize event from proto data");
    return event;
}

std::optional<DMSConditionalUserProperty> conditionalStorePropertyFromRow(const DMSRecord& row) {
    const plat::Value* name = row.find("name");
    const plat::Value* origin = row.find("origin");
    const plat::Value* stored = row.find("value");
    if (!name || !name->isString() || !origin || !origin->isString() || !stored) {
        return std::nullopt;
    }
    auto value = DMSValue::valueFromObject(std::optional<plat::Value>(*stored));
    if (!value) {
        return std::nullopt;
    }
    auto number = [&row](const char* column) {
        const plat::Value* v = row.find(column);
        return v && v->isNumber() ? v->doubleValue() : 0.0;
    };
    DMSConditionalUserProperty property;
    property.setName(name->asString());
    property.setOrigin(origin->asString());
    property.setValue(std::move(value));
    property.setTriggerTimeout(number("trigger_timeout"));
    property.setTimeToLive(number("time_to_live"));
    if (const plat::Value* trigger = row.find("trigger_event_name"); trigger && trigger->isString()) {
        property.setTriggerEventName(trigger->asString());
    }
    struct EventColumn {
        const char* column;
        int64_t code;
        const char* message;
        void (DMSConditionalUserProperty::*set)(std::optional<DMSEvent>);
    };
    static const EventColumn kColumns[] = {
        {"triggered_event", 12036,
         "Cannot create conditional user property from database. Triggered event data is invalid. Name, error",
         &DMSConditionalUserProperty::setTriggeredEvent},
        {"timed_out_event", 12037,
         "Cannot create conditional user property from database. Timed out event data is invalid. Name, error",
         &DMSConditionalUserProperty::setTimedOutEvent},
        {"expired_event", 12038,
         "Cannot create conditional user property from database. Expired event data is invalid. Name, error",
         &DMSConditionalUserProperty::setExpiredEvent},
    };
    for (const EventColumn& column : kColumns) {
        const plat::Value* blob = row.find(column.column);
        if (!blob || blob->isNull()) {
            continue;
        }
        plat::Error error;
        auto event = conditionalStoreEventFromBlob(*blob, &error);
        if (!event) {
            DMSMeasurement::monitor().logWithLevel(1, column.code, column.message,
                                                   DMSReadableUserPropertyName(plat::Value(name->asString())), error);
            return std::nullopt;
        }
        (property.*column.set)(std::move(event));
    }
    const plat::Value* active = row.find("active");
    property.setActive(active && active->boolValue());
    property.setCreationTimestamp(number("creation_timestamp"));
    property.setTriggeredTimestamp(number("triggered_timestamp"));
    return property;
}

std::optional<DMSRecord> conditionalStoreRowFromProperty(const DMSConditionalUserProperty* property) {
    auto& monitor = DMSMeasurement::monitor();
    if (!property) {
        monitor.logWithLevel(1, 12039, "Received empty conditional user property for getting dictionary representation");
        return std::nullopt;
    }
    if (property->name().empty()) {
        monitor.logWithLevel(1, 12040,
                             "Received conditional user property with empty name for getting dictionary representation");
        return std::nullopt;
    }
    if (property->origin().empty()) {
        monitor.logWithLevel(
            1, 12041, "Received conditional user property with empty origin for getting dictionary representation");
        return std::nullopt;
    }
    if (!property->value()) {
        monitor.logWithLevel(
            1, 12042, "Received conditional user property with nil value for getting dictionary representation");
        return std::nullopt;
    }
    DMSRecord row{{"name", property->name()},
                  {"origin", property->origin()},
                  {"value", DMSDatabaseStoredValue(*property->value())},
                  {"creation_timestamp", property->creationTimestamp()},
                  {"active", int64_t{property->isActive() ? 1 : 0}},
                  {"trigger_timeout", property->triggerTimeout()},
                  {"triggered_timestamp", property->triggeredTimestamp()},
                  {"time_to_live", property->timeToLive()},
                  // An upsert replaces the whole row: a column left out would keep the replaced record's value.
                  {"trigger_event_name", plat::Value()},
                  {"triggered_event", plat::Value()},
                  {"timed_out_event", plat::Value()},
                  {"expired_event", plat::Value()}};
    if (!property->triggerEventName().empty()) {
        row.set("trigger_event_name", property->triggerEventName());
    }
    if (auto blob = conditionalStoreEventBlob(property->triggeredEvent())) {
        row.set("triggered_event", *blob);
    }
    if (auto blob = conditionalStoreEventBlob(property->timedOutEvent())) {
        row.set("timed_out_event", *blob);
    }
    if (auto blob = conditionalStoreEventBlob(property->expiredEvent())) {
        row.set("expired_event", *blob);
    }
    return row;
}

// LIKE takes "%" and "_" for wildcards; "!" escapes them (and itself) so that the text matches as written.
std::string conditionalStoreEscapedLikeText(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        if (c == '!' || c == '%' || c == '_') {
            escaped += '!';
        }
        escaped += c;
    }
    return escaped;
}

} // namespace

std::optional<DMSConditionalUserProperty> DMSDatabase::conditionalUserPropertyWithName(std::string_view name,
                                                                                       plat::Error* error) {
    std::optional<DMSConditionalUserProperty> found;
    dataTypesFromTable(kConditionalStoreTable, "name", plat::Value(std::string(name)), error,
                       [&](const DMSRecord& row) {
                           found = conditionalStorePropertyFromRow(row);
                           return found.has_value();
                       });
    return found;
}

bool DMSDatabase::updateConditionalUserProperty(const DMSConditionalUserProperty* property, plat::Error* error) {
    auto row = [property] { return conditionalStoreRowFromProperty(property); };
    if (!property) {
        row();
    }
    return upsertDataType(property != nullptr, kConditionalStoreTable, "name",
                          plat::Value(property ? property->name() : std::string()), 1000, error, row);
}

bool DMSDatabase::deleteConditionalUserPropertyWithName(std::string_view name, plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete record failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->deleteRecord(kConditionalStoreTable, "name", plat::Value(std::string(name)), error);
}

std::optional<std::vector<DMSConditionalUserProperty>>
DMSDatabase::conditionalUserPropertiesWithCondition(std::string_view condition, const plat::Array& parameterValues,
                                                    plat::Error* error) {
    if (!DMSRequire(!condition.empty(), error, 1, "Received empty condition for querying a conditional user property") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM " + std::string(kConditionalStoreTable) + " WHERE " + std::string(condition),
        parameterValues, error);
    if (!rows) {
        return std::nullopt;
    }
    std::vector<DMSConditionalUserProperty> properties;
    for (const DMSRecord& row : *rows) {
        if (auto property = conditionalStorePropertyFromRow(row)) {
            properties.push_back(std::move(*property));
        }
    }
    return properties;
}

std::optional<std::vector<DMSConditionalUserProperty>>
DMSDatabase::timedOutConditionalUserPropertiesWithError(plat::Error* error) {
    return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                                  {plat::Value(plat::Clock::now())}, error);
}

std::optional<std::vector<DMSConditionalUserProperty>>
DMSDatabase::expiredConditionalUserPropertiesWithError(plat::Error* error) {
    return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                                  {plat::Value(plat::Clock::now())}, error);
}

std::optional<std::vector<DMSConditionalUserProperty>>
DMSDatabase::triggeredConditionalUserPropertiesWithEventName(std::string_view eventName, plat::Error* error) {
    if (!DMSRequire(!eventName.empty(), error, 1,
                    "Received nil/empty event name for querying triggered conditional user properties")) {
        return std::nullopt;
    }
    return conditionalUserPropertiesWithCondition(
        "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
        {plat::Value(std::string(eventName)), plat::Value(plat::Clock::now())}, error);
}

std::optional<std::vector<DMSConditionalUserProperty>>
DMSDatabase::conditionalUserPropertiesWithPrefix(std::string_view prefix, std::string_view origin,
                                                 plat::Error* error) {
    std::string condition;
    plat::Array values;
    if (!origin.empty()) {
        condition = "origin = ?";
        values.push_back(plat::Value(std::string(origin)));
    }
    if (!prefix.empty()) {
        // LIKE narrows the rows; the comparison of the leading characters keeps letter case as written.
        condition += std::string(condition.empty() ? "" : " AND ") +
                     "name LIKE ? || '%' ESCAPE '!' AND substr(name, 1, length(?)) = ?";
        values.push_back(plat::Value(conditionalStoreEscapedLikeText(prefix)));
        values.push_back(plat::Value(std::string(prefix)));
        values.push_back(plat::Value(std::string(prefix)));
    }
    if (condition.empty()) {
        condition = "1 == 1";
    }
    return conditionalUserPropertiesWithCondition(condition, values, error);
}

// Complex events.

std::optional<DMSComplexEventPair> DMSDatabase::mainEventAndChildCountPairWithEventID(int64_t eventID,
                                                                                    plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT * FROM " + std::string(kComplexEventStoreTable) + " WHERE event_id=? LIMIT 1",
        {plat::Value(eventID)}, error);
    if (!rows || rows->empty()) {
        return std::nullopt;
    }
    const DMSRecord& row = rows->front();
    const plat::Value* blob = row.find("main_event");
    std::optional<DMSEvent> event;
    if (blob && !blob->isNull()) {
        event = conditionalStoreEventFromBlob(*blob, nullptr);
    }
    if (!DMSRequire(event.has_value(), error, 3, "Main event blob is nil in database")) {
        return std::nullopt;
    }
    const plat::Value* count = row.find("children_to_process");
    if (!DMSRequire(count && count->isNumber(), error, 3, "Complex event does not have children count in database")) {
        return std::nullopt;
    }
    return DMSComplexEventPair{std::move(*event), count->integerValue()};
}

bool DMSDatabase::updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                                     const DMSEvent* mainEvent, plat::Error* error) {
    if (!DMSRequire(mainEvent != nullptr, error, 1, "Received nil main event")) {
        return false;
    }
    auto blob = conditionalStoreEventBlob(*mainEvent);
    if (!DMSRequire(blob.has_value(), error, 1, "Cannot create the main event blob") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Upsert record failed. Database not open.")) {
        return false;
    }
    DMSRecord row{{"main_event", *blob}, {"event_id", eventID}, {"children_to_process", childEventCount}};
    return sqliteStore_->upsertRecord(row, kComplexEventStoreTable, error);
}

bool DMSDatabase::deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->deleteRecords(kComplexEventStoreTable, "event_id=?", {plat::Value(eventID)}, error)
        .has_value();
}
