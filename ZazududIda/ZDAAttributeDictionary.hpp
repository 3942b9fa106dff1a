#pragma once
// The attributes of one event as they are logged: at most 21 entries, string keys and values of at most 100
// UTF-16 units, string or number values; success flags as "true"/"false" and prices in micro-units. Every
// refusal prints its console line, whatever the debug setting.

#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>

class ZDAAttributeDictionary {
public:
    static constexpr size_t kMaximumEntriesBeforeRefusal = 20;
    static constexpr size_t kMaximumStringLength = 100;

    ZDAAttributeDictionary() = default;
    // Every entry of `dictionary` through addAttribute, in its order; none adds nothing.
    explicit ZDAAttributeDictionary(const std::optional<plat::Dictionary>& dictionary);

    // None for either argument stands for nil: nothing happens.
    void addAttribute(const std::optional<plat::Value>& value, const std::optional<plat::Value>& key);
    void addBooleanAttribute(const std::optional<plat::Value>& flag, const std::string& key);
    void addPriceAttribute(const std::optional<plat::Decimal>& price, const std::string& key);

    static bool validAttributeValue(const plat::Value& value);
    // None for a value that is neither string nor number, and for a NaN number.
    static std::optional<plat::Value> serializeAttributeValue(const plat::Value& value);
    static std::string truncateString(const std::string& text);
    static std::optional<plat::Value> serializeSuccess(const std::optional<plat::Value>& flag);
    static std::optional<plat::Value> serializePriceToMicros(const std::optional<plat::Decimal>& price);
    static std::optional<plat::Value> serializeNumber(const std::optional<plat::Value>& number);

    const plat::Dictionary& dictionaryRepresentation() const { return raw_; }
    const plat::Dictionary& rawDictionary() const { return raw_; }
    std::string description() const;

private:
    plat::Dictionary raw_;
};
