#pragma once
// The public analytics class. The core, the push client, the crash reporter and the event kit reach it only
// by name through the object runtime ("DAVAnalytics"), so the class exists once its load hook has run; its
// class methods check little and hand every call to the entry facade. The interop connector gives other
// libraries a way in under their own origin, through the core's component registry.

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Class.hpp"
#include "platform/runtime/Object.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class DAVAnalyticsConfiguration;
class DAVOptions;

class DAVAnalytics {
public:
    static constexpr const char* kVersion = "50300000";
    static constexpr const char* kLogTag = "[Vedudodu/Analytics]";

    // The load hook: registers "DAVAnalytics" and the connector, and records the load time.
    static void load();
    static plat::rt::Class* runtimeClass();

    static void startWithConfiguration(const std::shared_ptr<DAVAnalyticsConfiguration>& configuration,
                                       const std::shared_ptr<DAVOptions>& options);
    static void logEventWithName(const std::string& name, const plat::Dictionary& parameters);
    // Refused (25018) until the default app is configured.
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const plat::Dictionary& parameters);
    // Refused (25019) until the default app is configured.
    static void setUserPropertyString(const std::optional<plat::Value>& value, const std::string& name);
    // The event as the runtime hands it to listeners: "name" and "parameters" of typed value objects.
    static plat::rt::ObjectPtr runtimeEvent(const class DMSEvent& event);
};

// Keeps other libraries away from the events, parameters and user properties the client reserves.
class DAVConnectorUtils {
public:
    using NameSet = std::set<std::string, std::less<>>;
    static const NameSet& blacklistedOrigins();
    static const NameSet& blacklistedEventNames();
    static const NameSet& blacklistedParameters();
    static const NameSet& blacklistedUserProperties();
    static const std::vector<std::string>& blacklistedUserPropertyPatterns();
    static bool isOriginAllowed(const std::string& origin);
    static bool shouldLogEventWithName(const std::string& name, const plat::Dictionary& parameters);
    static bool isUserPropertyAllowed(const std::string& name, const std::string& origin);
};

// The object other libraries get for "DAVAnalyticsInterop"; a new one per request.
class DAVAnalyticsConnector : public plat::rt::Object {
public:
    static constexpr const char* kInteropProtocol = "DAVAnalyticsInterop";
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<DAVAnalyticsConnector> init();

    void logEventWithOrigin(const std::string& origin, const std::string& name, const plat::Dictionary& parameters);
    void setUserPropertyWithOrigin(const std::string& origin, const std::string& name, const plat::Value& value);

    using plat::rt::Object::Object;

private:
    std::weak_ptr<plat::rt::Object> analytics_;
};
