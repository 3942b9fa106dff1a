#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSScreenViewReporter.hpp"

#include "core/DAVApp.hpp"
#include "core/DAVComponentContainer.hpp"
#include "core/DAVConfiguration.hpp"
#include "core/DAVOptions.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/RegularExpression.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

namespace rt = plat::rt;

namespace {

// A typed value as the runtime shows it to other clients.
class DAVAnalyticsRuntimeValue : public rt::Object {
public:
    using rt::Object::Object;
    int64_t type = 0;
    plat::Value value;
};

class DAVAnalyticsRuntimeEvent : public rt::Object {
public:
    using rt::Object::Object;
    plat::Value name;
    plat::Dictionary parameters;
};

rt::Class* davRuntimeValueClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<DAVAnalyticsRuntimeValue>("DMSValue");
        rt::replaceMethod(c, "valueType", [](DAVAnalyticsRuntimeValue& v) -> int64_t { return v.type; });
        rt::replaceMethod(c, "doubleValue", [](DAVAnalyticsRuntimeValue& v) -> double {
            return v.type == DMSValue::DMSValueTypeDouble ? v.value.doubleValue() : 0;
        });
        rt::replaceMethod(c, "int64Value", [](DAVAnalyticsRuntimeValue& v) -> int64_t {
            return v.type == DMSValue::DMSValueTypeInt64 ? v.value.integerValue() : 0;
        });
        rt::replaceMethod(c, "stringValue", [](DAVAnalyticsRuntimeValue& v) -> std::string {
            return v.type == DMSValue::DMSValueTypeString ? v.value.stringValue() : std::string();
        });
        return c;
    }();
    return cls;
}

rt::Class* davRuntimeEventClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<DAVAnalyticsRuntimeEvent>("DMSEvent");
        rt::replaceMethod(c, "name", [](DAVAnalyticsRuntimeEvent& e) -> plat::Value { return e.name; });
        rt::replaceMethod(c, "parameters", [](DAVAnalyticsRuntimeEvent& e) -> plat::Dictionary { return e.parameters; });
        return c;
    }();
    return cls;
}

std::optional<plat::Value> davOptionalValue(const plat::Value& value) {
    return value.isNull() ? std::nullopt : std::optional<plat::Value>(value);
}

void davRegisterClassMethods(rt::Class* cls) {
    rt::Class* meta = rt::metaclass(cls);
    rt::replaceMethod(meta, "startWithConfiguration:options:",
                      [](rt::Object&, std::shared_ptr<DAVAnalyticsConfiguration> configuration,
                         std::shared_ptr<DAVOptions> options) {
                          DAVAnalytics::startWithConfiguration(configuration, options);
                      });
    rt::replaceMethod(meta, "logEventWithName:parameters:",
                      [](rt::Object&, std::string name, plat::Dictionary parameters) {
                          DAVAnalytics::logEventWithName(name, parameters);
                      });
    rt::replaceMethod(meta, "logEventWithOrigin:name:parameters:",
                      [](rt::Object&, std::string origin, std::string name, plat::Dictionary parameters) {
                          DAVAnalytics::logEventWithOrigin(origin, name, parameters);
                      });
    rt::replaceMethod(meta, "logInternalEventWithOrigin:name:parameters:",
                      [](rt::Object&, std::string origin, std::string name, plat::Dictionary parameters) {
                          DMSAnalytics::logInternalEventWithOrigin(origin, name, parameters);
                      });
    rt::replaceMethod(meta, "setUserPropertyString:forName:", [](rt::Object&, plat::Value value, std::string name) {
        DAVAnalytics::setUserPropertyString(davOptionalValue(value), name);
    });
    rt::replaceMethod(meta, "setInternalUserProperty:forName:", [](rt::Object&, plat::Value value, std::string name) {
        DMSAnalytics::setInternalUserProperty(davOptionalValue(value), name);
    });
    rt::replaceMethod(meta, "setUserID:",
                      [](rt::Object&, plat::Value userID) { DMSAnalytics::setUserID(davOptionalValue(userID)); });
    rt::replaceMethod(meta, "setAnalyticsCollectionEnabled:",
                      [](rt::Object&, bool enabled) { DMSAnalytics::setAnalyticsEnabled(enabled); });
    rt::replaceMethod(meta, "appInstanceID",
                      [](rt::Object&) -> std::optional<std::string> { return DMSAnalytics::appInstanceID(); });
    rt::replaceMethod(meta, "resetAnalyticsData", [](rt::Object&) { DMSAnalytics::resetAnalyticsData(); });
    rt::replaceMethod(meta, "handleOpenURL:", [](rt::Object&, std::string url) { DMSAnalytics::handleOpenURL(url); });
    rt::replaceMethod(meta, "handleUserActivity:",
                      [](rt::Object&, rt::ObjectPtr activity) { DMSAnalytics::handleUserActivity(activity); });
    rt::replaceMethod(meta, "setOpenURLListener:", [](rt::Object&, std::function<void(std::string)> listener) {
        DMSAnalytics::setOpenURLListener(
            listener ? [listener](const std::string& url) { listener(url); } : std::function<void(const std::string&)>());
    });
    rt::replaceMethod(meta, "handleEventsForBackgroundURLSession:completionHandler:",
                      [](rt::Object&, std::string identifier, std::function<void()> completionHandler) {
                          DMSAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completionHandler));
                      });
    rt::replaceMethod(meta, "setScreenName:screenClass:", [](rt::Object&, plat::Value name, plat::Value screenClass) {
        auto text = [](const plat::Value& v) {
            return v.isString() ? std::optional<std::string>(v.stringValue()) : std::nullopt;
        };
        DMSAnalytics::setScreenName(text(name), text(screenClass));
    });
    rt::replaceMethod(meta, "setLogEventInterceptor:",
                      [](rt::Object&, std::function<void(std::string, std::string, plat::Dictionary, double)> block) {
                          DMSAnalytics::Interceptor interceptor;
                          if (block) {
                              interceptor = [block](const std::string& origin, const std::string& name,
                                                    const plat::Dictionary& parameters,
                                                    double timestamp) { block(origin, name, parameters, timestamp); };
                          }
                          DMSAnalytics::setLogEventInterceptor(std::move(interceptor));
                      });
    rt::replaceMethod(meta, "logEventWithOrigin:isPublicEvent:name:parameters:timestamp:ignoreEnabled:ignoreInterceptor:",
                      [](rt::Object&, std::string origin, bool isPublic, std::string name, plat::Dictionary parameters,
                         double timestamp, bool ignoreEnabled, bool ignoreInterceptor) {
                          DMSAnalytics::logEventWithOrigin(origin, isPublic, name, parameters, timestamp,
                                                           ignoreEnabled, ignoreInterceptor);
                      });
    rt::replaceMethod(meta, "userPropertiesIncludingInternal:queue:callback:",
                      [](rt::Object&, bool includeInternal, plat::DispatchQueuePtr queue,
                         std::function<void(plat::Dictionary)> callback) {
                          DMSAnalytics::userPropertiesIncludingInternal(includeInternal, queue, std::move(callback));
                      });
    rt::replaceMethod(meta, "dispatchAsyncOnSerialQueue:", [](rt::Object&, std::function<void()> block) {
        DMSAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
    });
    rt::replaceMethod(meta, "queueOperationWithBlock:", [](rt::Object&, std::function<void()> block) {
        DMSAnalytics::queueOperationWithBlock(std::move(block));
    });
    rt::replaceMethod(meta, "loadTimestamp", [](rt::Object&) -> double { return DMSAnalytics::loadTimestamp(); });
    rt::replaceMethod(meta, "unsuspendOperationQueue", [](rt::Object&) { DMSAnalytics::unsuspendOperationQueue(); });
    rt::replaceMethod(meta, "addLogEventListener:",
                      [](rt::Object&, std::function<void(rt::ObjectPtr)> listener) -> rt::ObjectPtr {
                          if (!listener) {
                              return DMSAnalytics::addLogEventListener(nullptr);
                          }
                          return DMSAnalytics::addLogEventListener(
                              [listener](const DMSEvent& event) { listener(DAVAnalytics::runtimeEvent(event)); });
                      });
    rt::replaceMethod(meta, "removeLogEventListener:",
                      [](rt::Object&, rt::ObjectPtr token) { DMSAnalytics::removeLogEventListener(token); });
    rt::replaceMethod(meta, "sharedInstance", [](rt::Object&) -> rt::ObjectPtr {
        static plat::NeverDestroyed<rt::ObjectPtr> shared(rt::createInstance(DAVAnalytics::runtimeClass()));
        return *shared;
    });
}

void davRegisterInstanceMethods(rt::Class* cls) {
    rt::replaceMethod(cls, "logInternalEventWithOrigin:name:parameters:",
                      [](rt::Object&, std::string origin, std::string name, plat::Dictionary parameters) {
                          DMSAnalytics::sharedInstance().logInternalEventWithOrigin_name_parameters(origin, name,
                                                                                                    parameters);
                      });
    rt::replaceMethod(cls, "setInternalUserProperty:forName:withOrigin:",
                      [](rt::Object&, plat::Value value, std::string name, std::string origin) {
                          DMSAnalytics::sharedInstance().setInternalUserProperty(davOptionalValue(value), name, origin);
                      });
    rt::replaceMethod(cls, "maxUserPropertiesForOrigin:queue:callback:",
                      [](rt::Object&, std::string origin, plat::DispatchQueuePtr queue,
                         std::function<void(int64_t)> callback) {
                          DMSAnalytics::sharedInstance().maxUserPropertiesForOrigin(origin, queue, std::move(callback));
                      });
}

} // namespace

// ---- the public class -----------------------------------------------------------------------------------

rt::Class* DAVAnalytics::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass("DAVAnalytics");
        davRegisterClassMethods(c);
        davRegisterInstanceMethods(c);
        return c;
    }();
    return cls;
}

void DAVAnalytics::load() {
    // Both versions are this build's own, so the start-up check between them always passes.
    static_assert(std::string_view(kVersion) == std::string_view(DMSMeasurement::kLibraryVersionString));
    DMSAnalytics::load();
    DMSScreenViewReporter::load();
    (void)runtimeClass();
    DAVComponentContainer::registerAsComponentRegistrant(DAVAnalyticsConnector::runtimeClass());
}

void DAVAnalytics::startWithConfiguration(const std::shared_ptr<DAVAnalyticsConfiguration>& configuration,
                                          const std::shared_ptr<DAVOptions>& options) {
    plat::Dictionary engineOptions;
    const bool deactivated = options && options->isAnalyticsCollectionDeactivated();
    engineOptions[DMSAnalytics::kOptionCollectionDeactivated] = plat::Value(deactivated);
    engineOptions[DMSAnalytics::kOptionCollectionEnabled] =
        plat::Value(options ? options->isAnalyticsCollectionEnabled() : true);
    engineOptions[DMSAnalytics::kOptionLogTag] = plat::Value(std::string(kLogTag));
    if (auto defaults = DAVOptions::defaultOptionsDictionary()) {
        if (const plat::Value* safelist = defaults->find("ANALYTICS_SAFELISTED_EVENTS")) {
            engineOptions[DMSAnalytics::kOptionSafelistedEvents] = *safelist;
        }
    }
    const std::optional<std::string> appID = options ? options->razozaAppID() : std::nullopt;
    DMSAnalytics::startWithAppID(appID.value_or(""), "fa", engineOptions, configuration.get());
}

void DAVAnalytics::logEventWithName(const std::string& name, const plat::Dictionary& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void DAVAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const plat::Dictionary& parameters) {
    if (!DAVApp::isDefaultAppConfigured()) {
        DMSMeasurement::monitor().logWithLevel(4, 25018, "Event not logged. Call +[DAVApp configure]",
                                               plat::Value(DMSReadableEventName(DMSObject(plat::Value(name)))));
        return;
    }
    DMSAnalytics::logEventWithOrigin(origin, name, parameters);
}

void DAVAnalytics::setUserPropertyString(const std::optional<plat::Value>& value, const std::string& name) {
    if (!DAVApp::isDefaultAppConfigured()) {
        DMSMeasurement::monitor().logWithLevel(
            4, 25019, "User property not set. Call +[DAVApp configure]",
            plat::Value(DMSReadableUserPropertyName(DMSObject(plat::Value(name)))));
        return;
    }
    DMSAnalytics::setUserPropertyString(value, name);
}

rt::ObjectPtr DAVAnalytics::runtimeEvent(const DMSEvent& event) {
    auto object = rt::make<DAVAnalyticsRuntimeEvent>(davRuntimeEventClass());
    object->name = plat::Value(event.name());
    for (const auto& [name, value] : event.parameters()) {
        auto typed = rt::make<DAVAnalyticsRuntimeValue>(davRuntimeValueClass());
        typed->type = value.valueType();
        typed->value = value.object();
        object->parameters[name] = plat::Value(rt::ObjectPtr(typed));
    }
    return object;
}

// ---- connector rules -------------------------------------------------------------------------------------------

const DAVConnectorUtils::NameSet& DAVConnectorUtils::blacklistedOrigins() {
    static plat::NeverDestroyed<NameSet> set(NameSet{"auto", "app", "am"});
    return *set;
}

const DAVConnectorUtils::NameSet& DAVConnectorUtils::blacklistedEventNames() {
    static plat::NeverDestroyed<NameSet> set(NameSet{"_e", "_f", "_iap", "_s", "_au", "app_open"});
    return *set;
}

const DAVConnectorUtils::NameSet& DAVConnectorUtils::blacklistedParameters() {
    static plat::NeverDestroyed<NameSet> set(NameSet{"_r", "_dbg"});
    return *set;
}

const DAVConnectorUtils::NameSet& DAVConnectorUtils::blacklistedUserProperties() {
    static plat::NeverDestroyed<NameSet> set(NameSet{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"});
    return *set;
}

const std::vector<std::string>& DAVConnectorUtils::blacklistedUserPropertyPatterns() {
    static plat::NeverDestroyed<std::vector<std::string>> patterns(
        std::vector<std::string>{"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"});
    return *patterns;
}

bool DAVConnectorUtils::isOriginAllowed(const std::string& origin) { return !blacklistedOrigins().contains(origin); }

bool DAVConnectorUtils::shouldLogEventWithName(const std::string& name, const plat::Dictionary& parameters) {
    if (name.empty() || blacklistedEventNames().contains(name)) {
        return false;
    }
    for (const auto& [key, value] : parameters) {
        (void)value;
        if (blacklistedParameters().contains(key)) {
            return false;
        }
    }
    return true;
}

bool DAVConnectorUtils::isUserPropertyAllowed(const std::string& name, const std::string& origin) {
    if (name.empty()) {
        return false;
    }
    if (name == "_ln") {
        return origin == "vcm" || origin == "fiam";
    }
    if (blacklistedUserProperties().contains(name)) {
        return false;
    }
    static plat::NeverDestroyed<std::vector<plat::RegularExpression>> expressions([] {
        std::vector<plat::RegularExpression> compiled;
        for (const std::string& pattern : blacklistedUserPropertyPatterns()) {
            if (auto expression = plat::RegularExpression::make(pattern)) {
                compiled.push_back(std::move(*expression));
            }
        }
        return compiled;
    }());
    for (const plat::RegularExpression& expression : *expressions) {
        if (expression.firstMatch(name)) {
            return false;
        }
    }
    return true;
}

// ---- connector -----------------------------------------------------------------------------------------------

rt::Class* DAVAnalyticsConnector::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<DAVAnalyticsConnector>(
            "DAVAnalyticsConnector", rt::rootClass(), {std::string(kDAVComponentRegistrantProtocol), kInteropProtocol});
        rt::replaceMethod(rt::metaclass(c), "componentsToRegister", [](rt::Object&) -> DAVComponentList {
            return {DAVComponent::componentWithProtocol(
                kInteropProtocol, DAVComponentInstantiationTimingLazy, {},
                [](DAVComponentContainer&, bool* isCacheable) -> rt::ObjectPtr {
                    // Every request gets a connector of its own.
                    (void)isCacheable;
                    return DAVAnalyticsConnector::init();
                })};
        });
        rt::replaceMethod(c, "setConditionalUserProperty:", [](rt::Object&, plat::Value) {});
        rt::replaceMethod(c, "clearConditionalUserProperty:clearEventName:clearEventParameters:",
                          [](rt::Object&, std::string, std::string, plat::Dictionary) {});
        rt::replaceMethod(c, "conditionalUserProperties:propertyNamePrefix:",
                          [](rt::Object&, std::string, std::string) -> std::optional<plat::Array> {
                              return std::nullopt;
                          });
        rt::replaceMethod(c, "maxUserProperties:", [](rt::Object&, std::string) -> int64_t { return -1; });
        rt::replaceMethod(c, "logEventWithOrigin:name:parameters:",
                          [](DAVAnalyticsConnector& self, std::string origin, std::string name,
                             plat::Dictionary parameters) { self.logEventWithOrigin(origin, name, parameters); });
        rt::replaceMethod(c, "setUserPropertyWithOrigin:name:value:",
                          [](DAVAnalyticsConnector& self, std::string origin, std::string name, plat::Value value) {
                              self.setUserPropertyWithOrigin(origin, name, value);
                          });
        return c;
    }();
    return cls;
}

std::shared_ptr<DAVAnalyticsConnector> DAVAnalyticsConnector::init() {
    auto connector = rt::make<DAVAnalyticsConnector>(runtimeClass());
    connector->analytics_ = rt::msgSend<rt::ObjectPtr>(*DAVAnalytics::runtimeClass(), "sharedInstance");
    return connector;
}

void DAVAnalyticsConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const plat::Dictionary& parameters) {
    if (!DAVConnectorUtils::isOriginAllowed(origin) || !DAVConnectorUtils::shouldLogEventWithName(name, parameters)) {
        return;
    }
    plat::Dictionary copy = parameters;
    if (name == "_cmp") {
        if (origin == "vcm") {
            copy["_cis"] = plat::Value("vcm_integration");
        } else if (origin == "fdl") {
            copy["_cis"] = plat::Value("fdl_integration");
        } else if (origin == "fiam") {
            copy["_cis"] = plat::Value("fiam_integration");
        }
    }
    rt::msgSend<void>(*DAVAnalytics::runtimeClass(), "logInternalEventWithOrigin:name:parameters:", origin, name, copy);
}

void DAVAnalyticsConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const plat::Value& value) {
    if (!DAVConnectorUtils::isOriginAllowed(origin) || !DAVConnectorUtils::isUserPropertyAllowed(name, origin)) {
        return;
    }
    rt::ObjectPtr shared = rt::msgSend<rt::ObjectPtr>(*DAVAnalytics::runtimeClass(), "sharedInstance");
    rt::msgSend<void>(shared, "setInternalUserProperty:forName:withOrigin:", value, name, origin);
}
