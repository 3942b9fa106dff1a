#include "ZazududIda/ZDAAttributeDictionary.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/String.hpp"

#include <cmath>

ZDAAttributeDictionary::ZDAAttributeDictionary(const std::optional<plat::Dictionary>& dictionary) {
    if (!dictionary) {
        return;
    }
    for (const auto& [key, value] : *dictionary) {
        addAttribute(value, plat::Value(key));
    }
}

void ZDAAttributeDictionary::addAttribute(const std::optional<plat::Value>& value,
                                          const std::optional<plat::Value>& key) {
    if (!value || !key) {
        return;
    }
    // The count is checked before anything else, so a full dictionary refuses even a new value for a key
    // it already holds.
    if (raw_.size() > kMaximumEntriesBeforeRefusal) {
        plat::NSLog("[Zuvidir] Maximum number of Event attributes exceeded. Ignoring entry %@:%@", *key, *value);
        return;
    }
    if (!key->isString()) {
        plat::NSLog("[Zuvidir] Event attribute keys must be of type NSString. Ignoring entry %@:%@", *key, *value);
        return;
    }
    if (!validAttributeValue(*value)) {
        plat::NSLog("[Zuvidir] Event attribute values must be of type NSString or NSNumber. Ignoring entry %@:%@",
                    *key, *value);
        return;
    }
    const std::string truncatedKey = truncateString(key->asString());
    if (auto converted = serializeAttributeValue(*value)) {
        raw_.set(truncatedKey, std::move(*converted));
    } else {
        raw_.erase(truncatedKey);
    }
}

void ZDAAttributeDictionary::addBooleanAttribute(const std::optional<plat::Value>& flag, const std::string& key) {
    addAttribute(serializeSuccess(flag), plat::Value(truncateString(key)));
}

void ZDAAttributeDictionary::addPriceAttribute(const std::optional<plat::Decimal>& price, const std::string& key) {
    addAttribute(serializePriceToMicros(price), plat::Value(truncateString(key)));
}

bool ZDAAttributeDictionary::validAttributeValue(const plat::Value& value) {
    return value.isNumber() || value.isString();
}

std::optional<plat::Value> ZDAAttributeDictionary::serializeAttributeValue(const plat::Value& value) {
    if (value.isString()) {
        return plat::Value(truncateString(value.asString()));
    }
    if (value.isNumber()) {
        return serializeNumber(value);
    }
    return std::nullopt;
}

std::string ZDAAttributeDictionary::truncateString(const std::string& text) {
    if (plat::String::utf16Length(text) <= kMaximumStringLength) {
        return text;
    }
    plat::NSLog("[Zuvidir] Maximum length for an Event attributes exceeded. Truncating to %u characters.",
                static_cast<unsigned>(kMaximumStringLength));
    // A character outside the basic plane is never cut in two, so the cut may keep 99 units.
    return plat::String::prefixUTF16(text, kMaximumStringLength);
}

std::optional<plat::Value> ZDAAttributeDictionary::serializeSuccess(const std::optional<plat::Value>& flag) {
    if (!flag) {
        return std::nullopt;
    }
    return plat::Value(flag->boolValue() ? "true" : "false");
}

std::optional<plat::Value> ZDAAttributeDictionary::serializePriceToMicros(const std::optional<plat::Decimal>& price) {
    if (!price) {
        return std::nullopt;
    }
    static const plat::Decimal limit = *plat::Decimal::maximum().multiplyingByPowerOf10(-6);
    if (*price > limit) {
        plat::NSLog("[Zuvidir] Maximum value for a price attribute exceeded. Ignoring price attribute with value: %@",
                    price->description());
        return std::nullopt;
    }
    if (price->isNaN()) {
        return std::nullopt;
    }
    auto micros = price->multiplyingByPowerOf10(6);
    if (!micros) {
        return std::nullopt;
    }
    return micros->numberValue();
}

std::optional<plat::Value> ZDAAttributeDictionary::serializeNumber(const std::optional<plat::Value>& number) {
    if (!number || (number->isFloatingPoint() && std::isnan(number->asDouble()))) {
        return std::nullopt;
    }
    return number;
}

std::string ZDAAttributeDictionary::description() const {
    return plat::Value(raw_).description();
}
