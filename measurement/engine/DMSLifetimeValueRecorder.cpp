// Lifetime value: the amount of one purchase event added to its currency's total, the least recently updated
// currency evicted when a new one would exceed the configured number.

#include "measurement/engine/DMSLifetimeValueRecorder.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

// Unicode characters, not bytes: a three-letter code written in other scripts still counts as three.
size_t lifetimeValueCharacterCount(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

std::string lifetimeValueUpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

plat::Value lifetimeValueContext(const DMSValue* value) {
    return value ? value->object() : plat::Value();
}

// Millionths of an app-logged amount in currency units. The double test must keep 2^63 itself out: it is the
// first double past the largest 64-bit integer, and converting it (or a NaN or an infinity) is undefined.
std::optional<int64_t> lifetimeValueMicrosFromUnits(double units) {
    const double micros = std::round(units * 1000000.0);
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!std::isfinite(micros) || micros >= kTwoTo63 || micros < -kTwoTo63) {
        return std::nullopt;
    }
    return static_cast<int64_t>(micros);
}

std::optional<int64_t> lifetimeValueMicrosFromIAP(const DMSValue& value) {
    if (value.isInt64()) {
        return value.int64Value();
    }
    const double truncated = std::trunc(value.doubleValue());
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!std::isfinite(truncated) || truncated >= kTwoTo63 || truncated < -kTwoTo63) {
        return std::nullopt;
    }
    return static_cast<int64_t>(truncated);
}

} // namespace

bool DMSLifetimeValueRecorder::isPurchaseEvent(const DMSEvent& event) {
    return event.name() == "_iap" || event.name() == "ecommerce_purchase";
}

bool DMSLifetimeValueRecorder::recordLifetimeValueToDatabase(DMSDatabase* database, const DMSEvent& event) {
    if (!isPurchaseEvent(event)) {
        return true;
    }
    DMSMonitor& log = DMSMeasurement::monitor();
    const DMSValue* currency = event.parameters().find("currency");
    const std::optional<std::string> code = currency ? currency->stringValue() : std::nullopt;
    if (!currency || !currency->isString() || !code || lifetimeValueCharacterCount(*code) != 3) {
        log.logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                         lifetimeValueContext(currency));
        return true;
    }
    const DMSValue* value = event.parameters().find("value");
    if (!value || !(value->isDouble() || value->isInt64())) {
        log.logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value",
                         lifetimeValueContext(value));
        return true;
    }
    std::optional<int64_t> amount;
    if (event.name() == "ecommerce_purchase") {
        amount = lifetimeValueMicrosFromUnits(value->isDouble() ? value->doubleValue()
                                                                : static_cast<double>(value->int64Value()));
    } else {
        amount = lifetimeValueMicrosFromIAP(*value);
    }
    if (!amount) {
        log.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
        return false;
    }
    if (!database) {
        return false;
    }
    const std::string name = std::string(kPropertyPrefix) + lifetimeValueUpperCase(*code);
    plat::Error error;
    auto existing = database->allLifetimeValueUserAttributes(&error);
    if (!existing) {
        log.logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error", error);
        return false;
    }
    int64_t total = *amount;
    bool found = false;
    for (const DMSUserAttribute& attribute : *existing) {
        if (attribute.name() == name) {
            found = true;
            // A total that would leave the 64-bit range is refused rather than wrapped.
            if (__builtin_add_overflow(attribute.value().int64Value(), *amount, &total)) {
                log.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
                return false;
            }
            break;
        }
    }
    if (!found && !existing->empty() &&
        static_cast<int64_t>(existing->size()) >= DMSMeasurement::remoteConfig().maxTrackedCurrencies()) {
        const std::string& evicted = existing->back().name();
        plat::Error deleteError;
        if (!database->deleteUserAttributeWithName(evicted, &deleteError)) {
            log.logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error", evicted,
                             deleteError);
            return false;
        }
    }
    auto attribute = DMSUserAttribute::initWithOrigin("auto", name, DMSValue::initWithInt64(total),
                                                      plat::Clock::now());
    plat::Error upsertError;
    if (!attribute || !database->updateUserAttribute(&*attribute, &upsertError)) {
        log.logWithLevel(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error", name,
                         upsertError);
        return false;
    }
    log.logWithLevel(7, 22006, "Lifetime value has been updated in database", name, total);
    return true;
}
