#include "ZazududIda/ZDAVedudoduAnalyticsBridge.hpp"

#include "ZazududIda/ZDAConstants.hpp"
#include "ZazududIda/ZDALogger.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/RegularExpression.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <map>

namespace {

constexpr const char* kLogInternalEventSelector = "logInternalEventWithOrigin:name:parameters:";
constexpr const char* kFailurePrefix = "failed_";
constexpr const char* kNamePrefix = "vizeze_";
constexpr size_t kMaximumNameLength = 40;

using BridgeKeyMapping = std::vector<std::pair<std::string, std::string>>;

const std::map<std::string, std::string>& bridgeEventNameMap() {
    static const std::map<std::string, std::string> map{
        {zda::kContentView, "select_content"}, {zda::kShare, "share"},
        {zda::kSignUp, "sign_up"},             {zda::kLogin, "login"},
        {zda::kSearch, "search"},              {zda::kPurchase, "ecommerce_purchase"},
        {zda::kAddToCart, "add_to_cart"},      {zda::kStartCheckout, "begin_checkout"},
        {zda::kLevelStart, "level_start"},     {zda::kLevelEnd, "level_end"},
        {zda::kInvite, "invite"},              {zda::kRating, "rate_content"},
    };
    return map;
}

const std::map<std::string, BridgeKeyMapping>& bridgeParameterMap() {
    static const std::map<std::string, BridgeKeyMapping> map{
        {"select_content", {{"content_type", "content_type"}, {"content_id", "item_id"}, {"content_name", "item_name"}}},
        {"share",
         {{"content_type", "content_type"}, {"content_id", "item_id"}, {"content_name", "item_name"}, {"method", "method"}}},
        {"sign_up", {{"method", "method"}, {"success", "success"}}},
        {"login", {{"method", "method"}, {"success", "success"}}},
        {"search", {{"query", "search_term"}}},
        {"ecommerce_purchase",
         {{"currency", "currency"},
          {"item_price", "value"},
          {"success", "success"},
          {"item_type", "item_category"},
          {"item_id", "item_id"},
          {"item_name", "item_name"}}},
        {"add_to_cart",
         {{"item_type", "item_category"},
          {"item_id", "item_id"},
          {"item_name", "item_name"},
          {"item_price", "price"},
          {"currency", "currency"}}},
        {"begin_checkout", {{"currency", "currency"}, {"total_price", "value"}, {"item_count", "quantity"}}},
        {"rate_content",
         {{"rating", "rating"}, {"content_type", "content_type"}, {"content_id", "item_id"}, {"content_name", "item_name"}}},
        {"level_start", {{"level_name", "level_name"}}},
        {"level_end", {{"level_name", "level_name"}, {"score", "score"}, {"success", "success"}}},
        {"invite", {{"method", "method"}}},
    };
    return map;
}

} // namespace

ZDAVedudoduAnalyticsBridge::ZDAVedudoduAnalyticsBridge()
    : ZDAVedudoduAnalyticsBridge(plat::rt::getClass("DAVAnalytics")) {}

ZDAVedudoduAnalyticsBridge::ZDAVedudoduAnalyticsBridge(plat::rt::Class* analyticsClass) {
    if (analyticsClass && plat::rt::respondsTo(*analyticsClass, plat::rt::sel(kLogInternalEventSelector))) {
        analytics_ = analyticsClass;
    }
}

void ZDAVedudoduAnalyticsBridge::logEvent(const ZDAEvent& event) const {
    if (!analytics_) {
        return;
    }
    if (const auto* custom = dynamic_cast<const ZDACustomEvent*>(&event)) {
        logCustomEvent(*custom);
    } else if (const auto* predefined = dynamic_cast<const ZDAPredefinedEvent*>(&event)) {
        logPredefinedEvent(*predefined);
    }
}

void ZDAVedudoduAnalyticsBridge::logCustomEvent(const ZDACustomEvent& event) const {
    const std::string name = sanitizeEventName(event.customEventName());
    const plat::Dictionary parameters = customParametersFromCustomAttributes(event.customAttributes());
    ZDALogger::sharedLogger().log("Logging custom event to Vedudodu. <%@\n%@>", name, plat::Value(parameters));
    send(name, parameters);
}

void ZDAVedudoduAnalyticsBridge::logPredefinedEvent(const ZDAPredefinedEvent& event) const {
    const plat::Dictionary& predefined = event.predefinedAttributes().dictionaryRepresentation();
    const std::string name = vedudoduEventNameForDidivarEventName(event.predefinedEventName(), predefined);
    const plat::Dictionary parameters = vedudoduEventParametersForPredefinedAttributes(
        predefined, event.customAttributes().dictionaryRepresentation(), name);
    ZDALogger::sharedLogger().log("Logging predefined event to Vedudodu. <%@\n%@>", name, plat::Value(parameters));
    logPredefinedEventToVedudoduWithEventName(name, parameters);
}

void ZDAVedudoduAnalyticsBridge::logPredefinedEventToVedudoduWithEventName(const std::string& name,
                                                                           const plat::Dictionary& parameters) const {
    send(name, parameters);
    if (name == "level_end") {
        send("post_score", parameters);
    }
}

void ZDAVedudoduAnalyticsBridge::send(const std::string& name, const plat::Dictionary& parameters) const {
    if (!analytics_) {
        return;
    }
    plat::rt::msgSend<void>(*analytics_, plat::rt::sel(kLogInternalEventSelector), std::string(kOrigin), name,
                            parameters);
}

std::string ZDAVedudoduAnalyticsBridge::vedudoduEventNameForDidivarEventName(const std::string& type,
                                                                             const plat::Dictionary& predefinedAttributes) {
    const auto& map = bridgeEventNameMap();
    auto it = map.find(type);
    // A type outside the table keeps its own name (the factories make none).
    const std::string name = it != map.end() ? it->second : type;
    return shouldUseFailedEventName(name, predefinedAttributes) ? failedEventName(name) : name;
}

bool ZDAVedudoduAnalyticsBridge::shouldUseFailedEventName(const std::string& eventName,
                                                          const plat::Dictionary& predefinedAttributes) {
    if (!isFailableEvent(eventName)) {
        return false;
    }
    const plat::Value* success = predefinedAttributes.find(zda::kSuccess);
    return success && !success->boolValue();
}

std::string ZDAVedudoduAnalyticsBridge::failedEventName(const std::string& eventName) {
    return kFailurePrefix + eventName;
}

bool ZDAVedudoduAnalyticsBridge::isFailableEvent(const std::string& eventName) {
    return eventName == "ecommerce_purchase" || eventName == "login" || eventName == "sign_up";
}

plat::Dictionary ZDAVedudoduAnalyticsBridge::vedudoduEventParametersForPredefinedAttributes(
    const plat::Dictionary& predefinedAttributes, const plat::Dictionary& customAttributes,
    const std::string& eventName) {
    return combinedParametersFromPredefinedParameters(
        predefinedParametersFromPredefinedAttributes(predefinedAttributes, eventName),
        customParametersFromCustomAttributes(customAttributes));
}

plat::Dictionary ZDAVedudoduAnalyticsBridge::predefinedParametersFromPredefinedAttributes(
    const plat::Dictionary& predefinedAttributes, const std::string& eventName) {
    const auto& map = bridgeParameterMap();
    auto it = map.find(eventName);
    if (it == map.end()) {
        return {};
    }
    return transformedBaseParameters(extractBaseParameterDictionaryFromPredefinedAttributes(predefinedAttributes, it->second),
                                     eventName);
}

plat::Dictionary ZDAVedudoduAnalyticsBridge::extractBaseParameterDictionaryFromPredefinedAttributes(
    const plat::Dictionary& predefinedAttributes, const std::vector<std::pair<std::string, std::string>>& mapping) {
    plat::Dictionary parameters;
    for (const auto& [attribute, parameter] : mapping) {
        const plat::Value* value = predefinedAttributes.find(attribute);
        if (!value) {
            continue;
        }
        if (attribute == zda::kItemPrice || attribute == zda::kTotalPrice) {
            // Division by 10^6 is exact for micro-units that a double holds, so 2500000 comes back as 2.5.
            parameters.set(parameter, plat::Value(value->doubleValue() / 1000000.0));
        } else if (attribute == zda::kSuccess) {
            const std::string* text = value->ifString();
            parameters.set(parameter, plat::Value(int64_t(text && *text == "true" ? 1 : 0)));
        } else {
            parameters.set(parameter, *value);
        }
    }
    return parameters;
}

plat::Dictionary ZDAVedudoduAnalyticsBridge::transformedBaseParameters(plat::Dictionary parameters,
                                                                       const std::string& eventName) {
    if (eventName == "add_to_cart") {
        parameters.set("quantity", plat::Value(int64_t(1)));
        if (const plat::Value* price = parameters.find("price")) {
            const plat::Value copy = *price;
            parameters.set("value", copy);
        }
    } else if (isFailableEvent(eventName)) {
        parameters.erase(zda::kSuccess);
    }
    return parameters;
}

plat::Dictionary
ZDAVedudoduAnalyticsBridge::customParametersFromCustomAttributes(const std::optional<plat::Dictionary>& attributes) {
    plat::Dictionary parameters;
    if (!attributes) {
        return parameters;
    }
    for (const auto& [key, value] : *attributes) {
        parameters.set(sanitizeAttributeName(key), value);
    }
    return parameters;
}

plat::Dictionary ZDAVedudoduAnalyticsBridge::combinedParametersFromPredefinedParameters(const plat::Dictionary& predefined,
                                                                                        const plat::Dictionary& custom) {
    plat::Dictionary combined = predefined;
    for (const auto& [name, value] : custom) {
        if (!combined.contains(name)) {
            combined.set(name, value);
        }
    }
    return combined;
}

const std::vector<std::string>& ZDAVedudoduAnalyticsBridge::vedudoduReservedKeys() {
    static const std::vector<std::string> reserved{
        "app_clear_data",       "app_exception",        "app_remove",
        "app_upgrade",          "app_install",          "app_update",
        "vedudodu_campaign",    "error",                "first_open",
        "first_visit",          "in_app_purchase",      "notification_dismiss",
        "notification_foreground", "notification_open", "notification_receive",
        "os_update",            "session_start",        "user_engagement",
        "ad_exposure",          "adunit_exposure",      "ad_query",
        "ad_activeview",        "ad_impression",        "ad_click",
        "screen_view",          "vedudodu_extra_parameter",
    };
    return reserved;
}

std::string ZDAVedudoduAnalyticsBridge::sanitizeKeyName(const std::string& name) {
    if (name.empty()) {
        return name;
    }
    static const plat::RegularExpression runs = *plat::RegularExpression::make("[^\\p{Alnum}_]+");
    std::string sanitized = runs.stringByReplacingMatches(name, "_");
    size_t i = 0;
    // Letters only: a combining mark is not a letter, so a name that starts with one is prefixed too.
    if (sanitized.empty() || !plat::String::isLetter(plat::String::decodeUTF8(sanitized, i))) {
        sanitized = kNamePrefix + sanitized;
    }
    for (const char* taken : {"vedudodu_", "razoza_", "ga_"}) {
        if (plat::String::hasPrefix(sanitized, taken)) {
            sanitized = kNamePrefix + sanitized;
            break;
        }
    }
    const auto& reserved = vedudoduReservedKeys();
    if (std::find(reserved.begin(), reserved.end(), sanitized) != reserved.end()) {
        sanitized = kNamePrefix + sanitized;
    }
    return sanitized;
}

std::string ZDAVedudoduAnalyticsBridge::sanitizeEventName(const std::optional<std::string>& name) {
    if (!name || name->empty()) {
        return std::string(kNamePrefix) + "unnamed_event";
    }
    return plat::String::prefixUTF16(sanitizeKeyName(*name), kMaximumNameLength);
}

std::string ZDAVedudoduAnalyticsBridge::sanitizeAttributeName(const std::string& name) {
    if (name.empty()) {
        return std::string(kNamePrefix) + "unnamed_parameter";
    }
    return plat::String::prefixUTF16(sanitizeKeyName(name), kMaximumNameLength);
}

void ZDAStubsForDAVAnalytics::logInternalEventWithOrigin(const std::string&, const std::string&,
                                                         const plat::Dictionary&) {
    plat::NSLogText("Stub only. Do not use.");
}
