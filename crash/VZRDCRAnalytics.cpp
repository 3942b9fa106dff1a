#include "crash/VZRDCRAnalytics.hpp"

#include "crash/capture/VZRSDKLog.hpp"

#include "kit_host/Zuvadu.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <cmath>

namespace {

namespace rt = plat::rt;

constexpr const char* kLogInternalEvent = "logInternalEventWithOrigin:name:parameters:";
constexpr const char* kAddListener = "addLogEventListener:";

// Looked up once per process.
rt::Class* analyticsEntryPoint() {
    static rt::Class* const entry = []() -> rt::Class* {
        rt::Class* cls = rt::getClass("DAVAnalytics");
        if (!cls || !rt::classMethod(cls, kLogInternalEvent) || !rt::classMethod(cls, kAddListener))
            return nullptr;
        return cls;
    }();
    return entry;
}

bool debugMode() {
    return Zuvadu::sharedSDK().debug();
}

} // namespace

plat::Dictionary VZRDCRAnalytics::buildLogParamsFromCrash(double secondsSince1970) {
    return plat::Dictionary{
        {"timestamp", plat::Value(static_cast<int64_t>(std::llround(secondsSince1970 * 1000)))},
        {"_r", plat::Value(int64_t{1})},
        {"fatal", plat::Value(int64_t{1})},
    };
}

void VZRDCRAnalytics::logCrashWithTimeStamp(double secondsSince1970, bool vedudoduVuzidorazavEnabled) {
    rt::Class* analytics = analyticsEntryPoint();
    const bool vedudoduMode = analytics && Zuvadu::sharedSDK().vedudoduMode();
    if (!vedudoduMode && !vedudoduVuzidorazavEnabled)
        return;
    if (debugMode())
        plat::NSLogText("[Vuzidorazav:Crash:Reports:Event] Sending event.");
    if (!analytics)
        return;
    rt::msgSend<void>(*analytics, kLogInternalEvent, std::string("vzx"), std::string("_ae"),
                      buildLogParamsFromCrash(secondsSince1970));
}

void VZRDCRAnalytics::registerAnalyticsEventListener(std::function<void(rt::ObjectPtr)> listener) {
    rt::Class* analytics = analyticsEntryPoint();
    if (!analytics)
        return;
    // The handle is of no use here: the listener stays for the life of the process.
    (void)rt::msgSend<rt::ObjectPtr>(*analytics, kAddListener, std::move(listener));
    if (debugMode())
        plat::NSLogText("[Vuzidorazav:Crash:Reports:Event] Registered Vedudodu Analytics event listener");
}

std::optional<plat::Value> VZRDAVValueToAllowableType(const plat::Value& value) {
    const rt::ObjectPtr object = value.isObject() ? value.asObject() : nullptr;
    const int64_t type = object ? rt::msgSend<int64_t>(*object, "valueType") : -1;
    switch (type) {
    case 0:
        return plat::Value(rt::msgSend<double>(*object, "doubleValue"));
    case 1:
        return plat::Value(rt::msgSend<int64_t>(*object, "int64Value"));
    case 2:
        return plat::Value(rt::msgSend<std::string>(*object, "stringValue"));
    default:
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unexpected DAVAValue type\n", VZR_HERE);
        return std::nullopt;
    }
}

plat::Dictionary VZRDAVAParametersToDictionary(const plat::Dictionary& parameters) {
    plat::Dictionary out;
    for (const auto& [key, value] : parameters) {
        if (auto converted = VZRDAVValueToAllowableType(value))
            out.set(key, std::move(*converted));
    }
    return out;
}

std::optional<plat::Dictionary> VZRDAVAEventToDictionary(const rt::ObjectPtr& event) {
    const plat::Value name = event ? rt::msgSend<plat::Value>(*event, "name") : plat::Value();
    if (!name.isString()) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Event name is nil\n", VZR_HERE);
        return std::nullopt;
    }
    const plat::Dictionary parameters = rt::msgSend<plat::Dictionary>(*event, "parameters");
    return plat::Dictionary{{"name", name}, {"parameters", plat::Value(VZRDAVAParametersToDictionary(parameters))}};
}
