#include "measurement/messages/DMSMessageFields.hpp"

#include <cmath>
#include <limits>

int64_t DMSMillisecondsFromSeconds(double seconds) {
    double millis = seconds * 1000;
    if (std::isnan(millis)) {
        return 0;
    }
    // 2^63 is exactly representable; everything at or above it (and at or below -2^63) saturates.
    constexpr double kLimit = 9223372036854775808.0;
    if (millis >= kLimit) {
        return std::numeric_limits<int64_t>::max();
    }
    if (millis <= -kLimit) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(millis);
}

namespace {

void dmsSetOptionalString(NANOMessageRef message, int32_t field, const std::optional<std::string>& value) {
    if (value) {
        NANOSetString(message, field, plat::Value(*value));
    }
}

void dmsSetOptionalInt64(NANOMessageRef message, int32_t field, const std::optional<int64_t>& value) {
    if (value) {
        NANOSetInt64(message, field, *value);
    }
}

void dmsSetOptionalDouble(NANOMessageRef message, int32_t field, const std::optional<double>& value) {
    if (value) {
        NANOSetDouble(message, field, *value);
    }
}

std::optional<int64_t> dmsOptionalInt64(NANOMessageRef message, int32_t field) {
    return NANOHasField(message, field) ? std::optional<int64_t>(NANOGetInt64(message, field)) : std::nullopt;
}

std::optional<double> dmsOptionalDouble(NANOMessageRef message, int32_t field) {
    return NANOHasField(message, field) ? std::optional<double>(NANOGetDouble(message, field)) : std::nullopt;
}

} // namespace

namespace {

// Record-level setters for records this file has just made, so of the right message and kind.
void dmsRecordString(MessageInfo& record, int32_t field, const std::optional<std::string>& value) {
    if (value) {
        NANOSetStringValue(&record.slots[field], reinterpret_cast<const uint8_t*>(value->data()),
                           static_cast<uint32_t>(value->size()));
    }
}

void dmsRecordInt64(MessageInfo& record, int32_t field, const std::optional<int64_t>& value) {
    if (value) {
        NANOSetUInt64Value(&record.slots[field], static_cast<uint64_t>(*value));
    }
}

} // namespace

std::shared_ptr<DMSPBEvent> DMSPBEventFromFields(const DMSEventFields& fields) {
    // Every event stored goes through here: the parameters are made as records in place rather than as
    // message objects deep-copied into the array.
    auto event = DMSPBEvent::init();
    MessageInfo& record = *event->messageInfo();
    if (!fields.params.empty()) {
        auto& array = *std::get<std::unique_ptr<NANOArrayRecord>>(record.slots[DMSPBEvent::kParams]);
        array.elements = std::make_unique<NANOSlot[]>(fields.params.size());
        array.count = static_cast<uint32_t>(fields.params.size());
        for (std::size_t i = 0; i < fields.params.size(); ++i) {
            const DMSEventParamFields& param = fields.params[i];
            auto element = NANOMakeMessageInfo(DMSPBEventParam::messageDescriptor());
            dmsRecordString(*element, DMSPBEventParam::kName, param.name);
            dmsRecordString(*element, DMSPBEventParam::kStringValue, param.stringValue);
            dmsRecordInt64(*element, DMSPBEventParam::kIntValue, param.intValue);
            if (param.doubleValue) {
                NANOSetDoubleValue(&element->slots[DMSPBEventParam::kDoubleValue], *param.doubleValue);
            }
            array.elements[i] = std::move(element);
        }
    }
    dmsRecordString(record, DMSPBEvent::kName, fields.name);
    dmsRecordInt64(record, DMSPBEvent::kTimestampMillis, fields.timestampMillis);
    dmsRecordInt64(record, DMSPBEvent::kPreviousTimestampMillis, fields.previousTimestampMillis);
    return event;
}

DMSEventFields DMSEventFieldsFromMessage(NANOMessageRef event) {
    DMSEventFields fields;
    if (!event.get()) {
        return fields;
    }
    if (auto params = NANOGetArray(event, DMSPBEvent::kParams, &DMSPBEventParam::messageClass())) {
        for (const plat::Value& element : *params) {
            auto* param = dynamic_cast<DMSPBEventParam*>(element.ifObject());
            if (!param) {
                continue;
            }
            DMSEventParamFields out;
            out.name = NANOGetString(param, DMSPBEventParam::kName);
            out.stringValue = NANOGetString(param, DMSPBEventParam::kStringValue);
            out.intValue = dmsOptionalInt64(param, DMSPBEventParam::kIntValue);
            out.doubleValue = dmsOptionalDouble(param, DMSPBEventParam::kDoubleValue);
            fields.params.push_back(std::move(out));
        }
    }
    fields.name = NANOGetString(event, DMSPBEvent::kName);
    fields.timestampMillis = dmsOptionalInt64(event, DMSPBEvent::kTimestampMillis);
    fields.previousTimestampMillis = dmsOptionalInt64(event, DMSPBEvent::kPreviousTimestampMillis);
    return fields;
}

std::shared_ptr<DMSPBUserAttribute> DMSPBUserAttributeFromFields(const DMSUserAttributeFields& fields) {
    auto attribute = DMSPBUserAttribute::init();
    dmsSetOptionalInt64(attribute, DMSPBUserAttribute::kSetTimestampMillis, fields.setTimestampMillis);
    dmsSetOptionalString(attribute, DMSPBUserAttribute::kName, fields.name);
    dmsSetOptionalString(attribute, DMSPBUserAttribute::kStringValue, fields.stringValue);
    dmsSetOptionalInt64(attribute, DMSPBUserAttribute::kIntValue, fields.intValue);
    dmsSetOptionalDouble(attribute, DMSPBUserAttribute::kDoubleValue, fields.doubleValue);
    return attribute;
}

DMSUserAttributeFields DMSUserAttributeFieldsFromMessage(NANOMessageRef attribute) {
    DMSUserAttributeFields fields;
    if (!attribute.get()) {
        return fields;
    }
    fields.setTimestampMillis = dmsOptionalInt64(attribute, DMSPBUserAttribute::kSetTimestampMillis);
    fields.name = NANOGetString(attribute, DMSPBUserAttribute::kName);
    fields.stringValue = NANOGetString(attribute, DMSPBUserAttribute::kStringValue);
    fields.intValue = dmsOptionalInt64(attribute, DMSPBUserAttribute::kIntValue);
    fields.doubleValue = dmsOptionalDouble(attribute, DMSPBUserAttribute::kDoubleValue);
    return fields;
}
