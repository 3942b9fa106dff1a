#pragma once
// The crash reporter's two links with the analytics client, found by name at run time ("DAVAnalytics", kept
// only when it answers both class methods below): a crash of an earlier run goes out as the internal event
// "_ae" of origin "vzx", and every event the analytics logs can be heard by a listener.
//
// What the analytics side gives (runtime messages):
//   +logInternalEventWithOrigin:name:parameters:  (std::string, std::string, plat::Dictionary) -> void
//   +addLogEventListener:  (std::function<void(plat::rt::ObjectPtr)>) -> plat::rt::ObjectPtr (a handle)
// An event object answers "name" (plat::Value: a string, or null) and "parameters" (plat::Dictionary whose
// values hold value objects); a value object answers "valueType" (int64_t: 0 double, 1 integer, 2 string),
// "doubleValue" (double), "int64Value" (int64_t) and "stringValue" (std::string).

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"

#include <functional>
#include <optional>

struct VZRDCRAnalytics {
    // Sent only in the kit host's Vedudodu mode or with the settings' flag, and only when the analytics is there.
    static void logCrashWithTimeStamp(double secondsSince1970, bool vedudoduVuzidorazavEnabled);
    static plat::Dictionary buildLogParamsFromCrash(double secondsSince1970);
    static void registerAnalyticsEventListener(std::function<void(plat::rt::ObjectPtr)> listener);
};

// {"name": ..., "parameters": {...}}; none (with an SDK log line) for an event without a name.
std::optional<plat::Dictionary> VZRDAVAEventToDictionary(const plat::rt::ObjectPtr& event);
// Each parameter converted; those that convert to nothing are left out.
plat::Dictionary VZRDAVAParametersToDictionary(const plat::Dictionary& parameters);
std::optional<plat::Value> VZRDAVValueToAllowableType(const plat::Value& value);
