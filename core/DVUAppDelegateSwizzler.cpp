#include "core/DVUAppDelegateSwizzler.hpp"

#include "core/DVUAppEnvironmentUtil.hpp"
#include "core/DVULogger.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <unordered_map>

using plat::rt::Class;
using plat::rt::Imp;
using plat::rt::Object;
using plat::rt::ObjectPtr;
using plat::rt::Sel;

namespace {

constexpr const char* kSwizzlerService = "[RazozaUtilities/AppDelegateSwizzler]";
constexpr const char* kOpenURLOptions = "application:openURL:options:";
constexpr const char* kOpenURLSourceApplication = "application:openURL:sourceApplication:annotation:";
constexpr const char* kContinueUserActivity = "application:continueUserActivity:restorationHandler:";
constexpr const char* kHandleBackgroundSessionEvents =
    "application:handleEventsForBackgroundURLSession:completionHandler:";

std::string swzCode(long number) {
    char code[16];
    std::snprintf(code, sizeof code, "I-SWZ%06ld", number);
    return code;
}

std::string swzPointerText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// What the proxy keeps of the delegate it subclassed: its class before, and its own implementations of the
// forwarded selectors (null when it had none), which the forwarders call after the interceptors.
struct SwzProxyState {
    std::mutex mutex;
    ObjectPtr proxiedDelegate;
    Class* originalClass = nullptr;
    std::unordered_map<std::string, Imp> kept;
    std::once_flag proxyOnce;
};

SwzProxyState& swzState() {
    static plat::NeverDestroyed<SwzProxyState> state;
    return state.get();
}

Imp swzKeptImplementation(const char* selector) {
    auto& s = swzState();
    std::lock_guard lock(s.mutex);
    auto it = s.kept.find(selector);
    return it == s.kept.end() ? Imp() : it->second;
}

// Every interceptor that implements the selector, then the delegate's own method; the answers are ORed.
template <class... A> bool swzForwardBool(Object& self, const char* selector, const A&... args) {
    bool result = false;
    DVUAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(selector, [&](const ObjectPtr& interceptor) {
        result = plat::rt::msgSend<bool>(interceptor, selector, args...) || result;
    });
    if (Imp own = swzKeptImplementation(selector)) {
        result = own.call<bool>(self, args...) || result;
    }
    return result;
}

void swzInstallForwarders(Class* cls) {
    plat::rt::addMethod(cls, kOpenURLOptions,
                        [](Object& self, ObjectPtr app, std::string url, plat::Value options) -> bool {
                            return swzForwardBool(self, kOpenURLOptions, app, url, options);
                        });
    plat::rt::addMethod(cls, kOpenURLSourceApplication,
                        [](Object& self, ObjectPtr app, std::string url, std::string source,
                           plat::Value annotation) -> bool {
                            return swzForwardBool(self, kOpenURLSourceApplication, app, url, source, annotation);
                        });
    plat::rt::addMethod(cls, kContinueUserActivity,
                        [](Object& self, ObjectPtr app, ObjectPtr activity,
                           plat::RestorationHandler restorationHandler) -> bool {
                            return swzForwardBool(self, kContinueUserActivity, app, activity, restorationHandler);
                        });
    plat::rt::addMethod(
        cls, kHandleBackgroundSessionEvents,
        [](Object& self, ObjectPtr app, std::string identifier, std::function<void()> completionHandler) {
            // Every recipient gets its own handle on the system's handler, which runs at most once: the first
            // call completes the events, later calls do nothing.
            auto called = std::make_shared<std::atomic<bool>>(false);
            auto wrapped = [called, completionHandler] {
                if (!called->exchange(true) && completionHandler) {
                    completionHandler();
                }
            };
            DVUAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
                kHandleBackgroundSessionEvents, [&](const ObjectPtr& interceptor) {
                    plat::rt::msgSend<void>(interceptor, kHandleBackgroundSessionEvents, app, identifier,
                                            std::function<void()>(wrapped));
                });
            if (Imp own = swzKeptImplementation(kHandleBackgroundSessionEvents)) {
                own.call<void>(self, app, identifier, std::function<void()>(wrapped));
            }
        });
    plat::rt::addMethod(cls, "fakeDescription", [](Object& self) -> std::string {
        Class* original = nullptr;
        {
            auto& s = swzState();
            std::lock_guard lock(s.mutex);
            original = s.originalClass;
        }
        std::string name = original ? original->name() : plat::rt::className(self);
        return "<" + name + ": " + swzPointerText(&self) + ">";
    });
}

Class* swzContainerClass() {
    static Class* cls = plat::rt::registerClass<DVUZeroingWeakContainer>("DVUZeroingWeakContainer");
    return cls;
}

bool swzInfoSwitchIsOn(const std::shared_ptr<const plat::Bundle>& bundle, std::string_view key) {
    if (!bundle) {
        return true;
    }
    auto value = bundle->objectForInfoDictionaryKey(key);
    return !(value && value->isNumber()) || value->boolValue();
}

plat::DispatchQueuePtr swzSwizzlerQueue() {
    static plat::NeverDestroyed<plat::DispatchQueuePtr> queue(plat::DispatchQueue::makeSerial("com.razoza.DVUSwizzler"));
    return queue.get();
}

} // namespace

std::shared_ptr<DVUZeroingWeakContainer> DVUZeroingWeakContainer::withObject(const ObjectPtr& object) {
    auto container = plat::rt::make<DVUZeroingWeakContainer>(swzContainerClass());
    container->object_ = object;
    return container;
}

Class* DVUAppDelegateSwizzler::runtimeClass() {
    static Class* cls = [] {
        Class* c = plat::rt::registerClass("DVUAppDelegateSwizzler");
        swzInstallForwarders(c);
        return c;
    }();
    return cls;
}

bool DVUAppDelegateSwizzler::isAppDelegateProxyEnabled() {
    auto bundle = plat::Bundle::main();
    return swzInfoSwitchIsOn(bundle, "VedudoduAppDelegateProxyEnabled") &&
           swzInfoSwitchIsOn(bundle, "RazozaUtilitiesAppDelegateProxyEnabled");
}

DVUMutableDictionary& DVUAppDelegateSwizzler::interceptors() {
    static plat::NeverDestroyed<DVUMutableDictionary> registry;
    return registry.get();
}

std::optional<std::string> DVUAppDelegateSwizzler::registerAppDelegateInterceptor(const ObjectPtr& interceptor) {
    if (!interceptor) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1000), "AppDelegateProxy cannot add nil interceptor.");
        return std::nullopt;
    }
    if (!plat::rt::conformsTo(interceptor->isa(), "UIApplicationDelegate")) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1001),
                            "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
        return std::nullopt;
    }
    std::string interceptorID = "DVU_" + swzPointerText(interceptor.get());
    interceptors().setObject(plat::Value(ObjectPtr(DVUZeroingWeakContainer::withObject(interceptor))),
                             interceptorID);
    return interceptorID;
}

void DVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(const std::optional<std::string>& interceptorID) {
    if (!interceptorID) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1003),
                            "AppDelegateProxy cannot unregister empty interceptor ID.");
        return;
    }
    auto entry = interceptors().objectForKey(*interceptorID);
    auto* container = entry ? dynamic_cast<DVUZeroingWeakContainer*>(entry->ifObject()) : nullptr;
    if (!container || !container->object()) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1004),
                            "AppDelegateProxy cannot unregister interceptor that was not registered. "
                            "Interceptor ID %@",
                            *interceptorID);
        return;
    }
    interceptors().removeObjectForKey(*interceptorID);
}

void DVUAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    Sel selector, const std::function<void(const ObjectPtr&)>& callback) {
    if (!callback) {
        return;
    }
    // A snapshot: interceptors may come and go while it is walked.
    plat::Dictionary snapshot = interceptors().dictionary();
    for (const auto& [interceptorID, entry] : snapshot) {
        auto* container = dynamic_cast<DVUZeroingWeakContainer*>(entry.ifObject());
        ObjectPtr interceptor = container ? container->object() : nullptr;
        if (!interceptor) {
            DVULoggerWriteWarning(kSwizzlerService, false, swzCode(1010),
                                  "AppDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.",
                                  interceptorID);
            interceptors().removeObjectForKey(interceptorID);
            continue;
        }
        if (plat::rt::respondsTo(interceptor, selector)) {
            callback(interceptor);
        }
    }
}

std::shared_ptr<plat::UIApplication> DVUAppDelegateSwizzler::sharedApplication() {
    if (DVUAppEnvironmentUtil::isAppExtension()) {
        return nullptr;
    }
    Class* cls = plat::rt::getClass("UIApplication");
    if (!cls || !plat::rt::classMethod(cls, "sharedApplication")) {
        return nullptr;
    }
    return plat::UIApplication::sharedApplication();
}

void DVUAppDelegateSwizzler::proxyOriginalDelegate() {
    std::call_once(swzState().proxyOnce, [] {
        auto app = sharedApplication();
        proxyAppDelegate(app ? app->delegate() : nullptr);
    });
}

void DVUAppDelegateSwizzler::proxyAppDelegate(const ObjectPtr& delegate) {
    if (!isAppDelegateProxyEnabled()) {
        DVULoggerWriteNotice(kSwizzlerService, false, swzCode(1011), "App Delegate Proxy is disabled. %@",
                             correctAlternativeWhenAppDelegateProxyNotCreated());
        return;
    }
    if (!delegate) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1012),
                            "Cannot create App Delegate Proxy because App Delegate instance is nil. %@",
                            correctAlternativeWhenAppDelegateProxyNotCreated());
        return;
    }
    try {
        createSubclassWithObject(delegate);
    } catch (const std::exception&) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1013), "Cannot create App Delegate Proxy. %@",
                            correctAlternativeWhenAppDelegateProxyNotCreated());
    }
}

void DVUAppDelegateSwizzler::createSubclassWithObject(const ObjectPtr& delegate) {
    Class* delegateClass = plat::rt::object_getClass(*delegate);
    char millis[32];
    std::snprintf(millis, sizeof millis, "%0.0f", plat::Clock::now() * 1000);
    const std::string subclassName = "DVU_" + delegateClass->name() + "-" + millis;

    if (plat::rt::getClass(subclassName)) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1005),
                            "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, "
                            "subclass: %@",
                            delegateClass->name(), subclassName);
        return;
    }
    Class* subclass = plat::rt::allocateClassPair(delegateClass, subclassName, 0);
    if (!subclass) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1006),
                            "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, "
                            "subclass: Nil",
                            delegateClass->name());
        return;
    }

    Class* forwarders = runtimeClass();
    std::unordered_map<std::string, Imp> kept;
    if (plat::rt::respondsTo(delegate, kOpenURLOptions)) {
        addInstanceMethodWithSelector(kOpenURLOptions, forwarders, subclass);
        kept[kOpenURLOptions] = implementationOfMethodSelector(kOpenURLOptions, delegateClass);
    }
    for (const char* selector : {kContinueUserActivity, kOpenURLSourceApplication, kHandleBackgroundSessionEvents}) {
        addInstanceMethodWithSelector(selector, forwarders, subclass);
        kept[selector] = implementationOfMethodSelector(selector, delegateClass);
    }
    addInstanceMethodWithDestinationSelector("description", "fakeDescription", forwarders, subclass);
    {
        auto& s = swzState();
        std::lock_guard lock(s.mutex);
        s.kept = std::move(kept);
        s.originalClass = delegateClass;
    }

    if (delegateClass->instanceSize() != subclass->instanceSize()) {
        DVULoggerWriteError(kSwizzlerService, false, swzCode(1007),
                            "Cannot create subclass of App Delegate, because the created subclass is not the same "
                            "size. %@",
                            delegateClass->name());
        return;
    }
    plat::rt::registerClassPair(subclass);
    if (plat::rt::object_setClass(*delegate, subclass)) {
        DVULoggerWriteDebug(kSwizzlerService, false, swzCode(1008),
                            "Successfully created App Delegate Proxy automatically. To disable the proxy, set the "
                            "flag %@ to NO (Boolean) in the Info.plist",
                            correctAppDelegateProxyKey());
    }

    // Setting the delegate again makes the application ask it afresh which methods it implements.
    ObjectPtr current;
    if (auto app = sharedApplication()) {
        current = app->delegate();
        app->setDelegate(nullptr);
        app->setDelegate(current);
    }
    {
        auto& s = swzState();
        std::lock_guard lock(s.mutex);
        s.proxiedDelegate = current;
    }
    DVUAppDelegateObserver::sharedInstance().observeUIApplication();
}

void DVUAppDelegateSwizzler::addInstanceMethodWithSelector(Sel selector, Class* fromClass, Class* toClass) {
    addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

void DVUAppDelegateSwizzler::addInstanceMethodWithDestinationSelector(Sel destination, Sel source, Class* fromClass,
                                                                      Class* toClass) {
    auto* method = plat::rt::instanceMethod(fromClass, source);
    Imp imp = method ? method->implementation() : Imp();
    std::string types = method ? method->types() : std::string();
    if (!plat::rt::addMethod(toClass, destination, imp, types)) {
        DVULoggerWriteWarning(kSwizzlerService, false, swzCode(1009),
                              "Cannot copy method to destination selector %@ as it already exists",
                              std::string(destination.name()));
    }
}

Imp DVUAppDelegateSwizzler::implementationOfMethodSelector(Sel selector, Class* cls) {
    auto* method = plat::rt::instanceMethod(cls, selector);
    return method ? method->implementation() : Imp();
}

std::string DVUAppDelegateSwizzler::correctAppDelegateProxyKey() {
    return plat::rt::getClass("DAVCore") ? "VedudoduAppDelegateProxyEnabled"
                                         : "RazozaUtilitiesAppDelegateProxyEnabled";
}

std::string DVUAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
    return plat::rt::getClass("DAVCore")
               ? "To log deep link campaigns manually, call the methods in DAVAnalytics+AppDelegate.h."
               : "";
}

DVUAppDelegateObserver& DVUAppDelegateObserver::sharedInstance() {
    static plat::NeverDestroyed<DVUAppDelegateObserver> shared;
    return shared.get();
}

bool DVUAppDelegateObserver::isObserving() const {
    std::lock_guard lock(mutex_);
    return isObserving_;
}

void DVUAppDelegateObserver::observeUIApplication() {
    auto app = DVUAppDelegateSwizzler::sharedApplication();
    std::lock_guard lock(mutex_);
    if (isObserving_ || !app) {
        return;
    }
    token_ = app->observe("delegate", [this](const plat::Value& oldValue, const plat::Value& newValue) {
        observeValueForKeyPath("delegate", oldValue, newValue);
    });
    isObserving_ = true;
}

void DVUAppDelegateObserver::observeValueForKeyPath(const std::string& keyPath, const plat::Value& oldValue,
                                                    const plat::Value& newValue) {
    if (keyPath != "delegate" || newValue.isEqual(oldValue)) {
        return;
    }
    auto& s = swzState();
    {
        std::lock_guard lock(s.mutex);
        if (!s.proxiedDelegate || oldValue.ifObject() != s.proxiedDelegate.get()) {
            return;
        }
        s.proxiedDelegate.reset();
    }
    auto app = DVUAppDelegateSwizzler::sharedApplication();
    std::lock_guard lock(mutex_);
    if (app && isObserving_) {
        app->removeObserver(token_);
    }
    isObserving_ = false;
}

void DVUSwizzler::swizzleClass(Class* cls, Sel selector, bool isClassSelector, Imp block) {
    if (!cls) {
        return;
    }
    swzSwizzlerQueue()->sync([&] {
        Class* target = isClassSelector ? plat::rt::metaclass(cls) : cls;
        auto* old = isClassSelector ? plat::rt::classMethod(cls, selector) : plat::rt::instanceMethod(cls, selector);
        plat::rt::replaceMethod(target, selector, std::move(block), old ? old->types() : std::string());
    });
}

Imp DVUSwizzler::currentImplementationForClass(Class* cls, Sel selector, bool isClassSelector) {
    if (!cls || selector.name().empty()) {
        return {};
    }
    return swzSwizzlerQueue()->sync([&]() -> Imp {
        auto* method =
            isClassSelector ? plat::rt::classMethod(cls, selector) : plat::rt::instanceMethod(cls, selector);
        return method ? method->implementation() : Imp();
    });
}

bool DVUSwizzler::selectorExistsInClass(Sel selector, Class* cls, bool isClassSelector) {
    if (!cls) {
        return false;
    }
    return swzSwizzlerQueue()->sync([&] {
        return (isClassSelector ? plat::rt::classMethod(cls, selector) : plat::rt::instanceMethod(cls, selector)) !=
               nullptr;
    });
}
