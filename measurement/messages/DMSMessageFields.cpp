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

std::shared_ptr<DMSPBEvent> DMSPBEventFromFields(const DMSEventFields& fields) {
    auto event = DMSPBEvent::init();
    plat::Array params;
    params.reserve(fields.params.size());
    for (const DMSEventParamFields& param : fields.params) {
        auto message = DMSPBEventParam::init();
        dmsSetOptionalString(message, DMSPBEventParam::kName, param.name);
        dmsSetOptionalString(message, DMSPBEventParam::kStringValue, param.stringValue);
        dmsSetOptionalInt64(message, DMSPBEventParam::kIntValue, param.intValue);
        dmsSetOptionalDouble(message, DMSPBEventParam::kDoubleValue, param.doubleValue);
        params.push_back(plat::Value(plat::rt::ObjectPtr(message)));
    }
    if (!params.empty()) {
        NANOSetArray(event, DMSPBEvent::kParams, params);
    }
    dmsSetOptionalString(event, DMSPBEvent::kName, fields.name);
    dmsSetOptionalInt64(event, DMSPBEvent::kTimestampMillis, fields.timestampMillis);
    dmsSetOptionalInt64(event, DMSPBEvent::kPreviousTimestampMillis, fields.previousTimestampMillis);
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
