#pragma once
// Lets client libraries hear a few application-delegate events (URL opens, user-activity continuation,
// background URL-session events) without the app forwarding them: once per process the app's delegate is
// given a run-time subclass whose forwarders call every live interceptor, then the delegate's own method.
// Interceptors are kept weakly; their owners keep them alive.

#include "core/DVUMutableDictionary.hpp"
#include "platform/runtime/Runtime.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plat {
class UIApplication;
}

// Holds one object weakly (the registry's entries).
class DVUZeroingWeakContainer : public plat::rt::Object {
public:
    explicit DVUZeroingWeakContainer(plat::rt::Class* cls) : plat::rt::Object(cls) {}
    static std::shared_ptr<DVUZeroingWeakContainer> withObject(const plat::rt::ObjectPtr& object);
    plat::rt::ObjectPtr object() const { return object_.lock(); }

private:
    plat::rt::WeakObjectPtr object_;
};

class DVUAppDelegateSwizzler {
public:
    // NO only when one of the two Info.plist switches is a number reading NO.
    static bool isAppDelegateProxyEnabled();
    // The interceptor's ID ("DVU_0x..."), or none for a nil or non-conforming interceptor.
    static std::optional<std::string> registerAppDelegateInterceptor(const plat::rt::ObjectPtr& interceptor);
    static void unregisterAppDelegateInterceptorWithID(const std::optional<std::string>& interceptorID);
    // Proxies the shared application's current delegate; only the first call in a process does anything.
    static void proxyOriginalDelegate();
    static std::shared_ptr<plat::UIApplication> sharedApplication();
    static void proxyAppDelegate(const plat::rt::ObjectPtr& delegate);
    static void createSubclassWithObject(const plat::rt::ObjectPtr& delegate);
    static DVUMutableDictionary& interceptors();

    static void addInstanceMethodWithSelector(plat::rt::Sel selector, plat::rt::Class* fromClass,
                                              plat::rt::Class* toClass);
    static void addInstanceMethodWithDestinationSelector(plat::rt::Sel destination, plat::rt::Sel source,
                                                         plat::rt::Class* fromClass, plat::rt::Class* toClass);
    static plat::rt::Imp implementationOfMethodSelector(plat::rt::Sel selector, plat::rt::Class* cls);
    // Calls the callback with each live interceptor that responds to the selector; drops dead entries.
    static void notifyInterceptorsWithMethodSelector(plat::rt::Sel selector,
                                                     const std::function<void(const plat::rt::ObjectPtr&)>& callback);
    static std::string correctAppDelegateProxyKey();
    static std::string correctAlternativeWhenAppDelegateProxyNotCreated();

    // The runtime class that holds the forwarders copied into the subclass.
    static plat::rt::Class* runtimeClass();
};

// Watches the shared application's "delegate": when the app replaces the proxied delegate, the proxy is
// forgotten (the subclass stays on the old object).
class DVUAppDelegateObserver {
public:
    static DVUAppDelegateObserver& sharedInstance();
    void observeUIApplication();
    void observeValueForKeyPath(const std::string& keyPath, const plat::Value& oldValue,
                                const plat::Value& newValue);
    bool isObserving() const;

private:
    mutable std::mutex mutex_;
    bool isObserving_ = false;
    plat::rt::Object::ObserverToken token_ = 0;
};

// A block-based method swizzler; all its work runs on the serial queue "com.razoza.DVUSwizzler", so it must
// not be called from that queue.
class DVUSwizzler {
public:
    // Replaces (or adds) the class or instance method by the block, keeping the old method's type encoding.
    static void swizzleClass(plat::rt::Class* cls, plat::rt::Sel selector, bool isClassSelector,
                             plat::rt::Imp block);
    // Null for a nil class or selector, or when there is no such method.
    static plat::rt::Imp currentImplementationForClass(plat::rt::Class* cls, plat::rt::Sel selector,
                                                       bool isClassSelector);
    static bool selectorExistsInClass(plat::rt::Sel selector, plat::rt::Class* cls, bool isClassSelector);
    static void unswizzleClass(plat::rt::Class*, plat::rt::Sel, bool) {}
    static plat::rt::Imp originalImplementationForClass(plat::rt::Class*, plat::rt::Sel, bool) { return {}; }
};
