#pragma once
// Hands the kit's custom and predefined events to the analytics measurement client, when the process has it,
// as internal events of origin "zuv": predefined types become the client's standard event names, attribute
// keys its parameter names (prices back from micro-units, success flags as 1/0), custom names are cleaned to
// its naming rules and kept clear of its reserved names. Holds no state between events.

#include "ZazududIda/ZDAEvent.hpp"

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Class.hpp"

#include <optional>
#include <string>
#include <vector>

class ZDAVedudoduAnalyticsBridge {
public:
    static constexpr const char* kOrigin = "zuv";

    // Over the class named "DAVAnalytics", when it exists.
    ZDAVedudoduAnalyticsBridge();
    // The class is kept only when it answers logInternalEventWithOrigin:name:parameters:.
    explicit ZDAVedudoduAnalyticsBridge(plat::rt::Class* analyticsClass);

    plat::rt::Class* vedudoduAnalytics() const { return analytics_; }

    // Lifecycle and crash events are not forwarded.
    void logEvent(const ZDAEvent& event) const;
    void logCustomEvent(const ZDACustomEvent& event) const;
    void logPredefinedEvent(const ZDAPredefinedEvent& event) const;
    void logPredefinedEventToVedudoduWithEventName(const std::string& name, const plat::Dictionary& parameters) const;

    static std::string vedudoduEventNameForDidivarEventName(const std::string& type,
                                                            const plat::Dictionary& predefinedAttributes);
    static bool shouldUseFailedEventName(const std::string& eventName, const plat::Dictionary& predefinedAttributes);
    static std::string failedEventName(const std::string& eventName);
    static bool isFailableEvent(const std::string& eventName);
    static plat::Dictionary vedudoduEventParametersForPredefinedAttributes(const plat::Dictionary& predefinedAttributes,
                                                                           const plat::Dictionary& customAttributes,
                                                                           const std::string& eventName);
    static plat::Dictionary predefinedParametersFromPredefinedAttributes(const plat::Dictionary& predefinedAttributes,
                                                                         const std::string& eventName);
    // `mapping` is attribute key -> parameter name.
    static plat::Dictionary extractBaseParameterDictionaryFromPredefinedAttributes(
        const plat::Dictionary& predefinedAttributes, const std::vector<std::pair<std::string, std::string>>& mapping);
    static plat::Dictionary transformedBaseParameters(plat::Dictionary parameters, const std::string& eventName);
    static plat::Dictionary customParametersFromCustomAttributes(const std::optional<plat::Dictionary>& attributes);
    static plat::Dictionary combinedParametersFromPredefinedParameters(const plat::Dictionary& predefined,
                                                                       const plat::Dictionary& custom);
    static const std::vector<std::string>& vedudoduReservedKeys();
    static std::string sanitizeKeyName(const std::string& name);
    static std::string sanitizeEventName(const std::optional<std::string>& name);
    static std::string sanitizeAttributeName(const std::string& name);

private:
    void send(const std::string& name, const plat::Dictionary& parameters) const;

    plat::rt::Class* analytics_ = nullptr;
};

// Declares the selector the bridge sends; its own body only says it must not be used.
struct ZDAStubsForDAVAnalytics {
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const plat::Dictionary& parameters);
};
