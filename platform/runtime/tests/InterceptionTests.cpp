// The ways the system changes classes at run time, in miniature: hooks injected into a delegate class,
// exchanged methods that call the original, markers, run-time subclasses installed by changing an object's
// class, and class methods.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

namespace plat::rt {
namespace {

// The injection scheme the push client uses: the hook goes in under the hooked selector; the app's own
// implementation, when there is one, moves to the new selector.
bool injectMethod(Class* source, Sel newSel, Class* target, Sel hooked) {
    Method* src = instanceMethod(source, newSel);
    Imp imp = src ? src->implementation() : Imp();
    std::string types = src ? src->types() : std::string();
    if (instanceMethod(target, hooked)) {
        addMethod(target, newSel, imp, types);
        exchangeImplementations(instanceMethod(target, hooked), instanceMethod(target, newSel));
        return true;
    }
    addMethod(target, hooked, imp, types);
    return false;
}

bool overridesSelector(Class* cls, Sel s) {
    return !(methodImplementation(cls, s) == methodImplementation(cls->superclass(), s));
}

std::vector<Class*> subclassesOf(Class* cls) {
    std::vector<Class*> out;
    for (Class* c : classList()) {
        if (isSubclassOf(c, cls)) {
            out.push_back(c);
        }
    }
    return out;
}

void injectIntoOverridingClass(Sel newSel, Sel hooked, const std::vector<Class*>& subclasses, Class* source,
                               Class* delegateClass) {
    for (Class* c : subclasses) {
        if (c != delegateClass && overridesSelector(c, hooked)) {
            injectMethod(source, newSel, c, hooked);
            return;
        }
    }
    injectMethod(source, newSel, delegateClass, hooked);
}

struct Trace {
    std::vector<std::string> calls;
};

class RuntimeInterception : public ::testing::Test {
protected:
    void SetUp() override {
        hooks = registerClass("HookSource");
        appDelegate = registerClass("AppDelegate", rootClass(), {"UIApplicationDelegate"});
        ASSERT_TRUE(hooks && appDelegate);
    }
    Trace trace;
    Class* hooks = nullptr;
    Class* appDelegate = nullptr;
};

TEST_F(RuntimeInterception, HookAddedToDelegateClassThatLacksTheMethod) {
    const Sel hooked("application:didRegisterForRemoteNotificationsWithDeviceToken:");
    const Sel mine("hookDidRegister:deviceToken:");
    addMethod(hooks, mine, [this, mine](Object& self, ObjectPtr, std::string token) {
        trace.calls.push_back("hook " + token);
        if (respondsTo(self, mine)) {
            msgSend(self, mine, ObjectPtr(), token);
        }
    });
    ObjectPtr delegate = createInstance(appDelegate);
    ASSERT_FALSE(respondsTo(delegate, hooked));

    EXPECT_FALSE(injectMethod(hooks, mine, appDelegate, hooked));

    EXPECT_TRUE(respondsTo(delegate, hooked));
    EXPECT_FALSE(respondsTo(delegate, mine)) << "no app implementation moved under the new selector";
    msgSend(delegate, hooked, ObjectPtr(), "abcd");
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"hook abcd"}));
}

TEST_F(RuntimeInterception, ExchangedMethodCallsTheOriginal) {
    const Sel hooked("application:openURL:options:");
    const Sel mine("hookOpenURL:url:options:");
    addMethod(appDelegate, hooked, [this](Object&, ObjectPtr, std::string url, Value) {
        trace.calls.push_back("app " + url);
        return url == "app://handled";
    });
    addMethod(hooks, mine, [this, mine](Object& self, ObjectPtr app, std::string url, Value options) {
        trace.calls.push_back("hook " + url);
        return msgSend<bool>(self, mine, app, url, options);
    });

    EXPECT_TRUE(injectMethod(hooks, mine, appDelegate, hooked));

    ObjectPtr delegate = createInstance(appDelegate);
    EXPECT_TRUE(msgSend<bool>(delegate, hooked, ObjectPtr(), "app://handled", Value()));
    EXPECT_FALSE(msgSend<bool>(delegate, hooked, ObjectPtr(), "https://x", Value()));
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"hook app://handled", "app app://handled",
                                                     "hook https://x", "app https://x"}));

    // The original can also be kept as an Imp and called directly, as a block-based swizzle does.
    Imp original = methodImplementation(appDelegate, mine);
    trace.calls.clear();
    EXPECT_TRUE(original.call<bool>(*delegate, ObjectPtr(), "app://handled", Value()));
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"app app://handled"}));
}

TEST_F(RuntimeInterception, HookGoesIntoTheFirstOverridingSubclassInClassListOrder) {
    const Sel hooked("applicationDidBecomeActive:");
    const Sel mine("hookDidBecomeActive:");
    addMethod(appDelegate, hooked, [this](Object&, ObjectPtr) { trace.calls.push_back("base"); });
    Class* plain = registerClass("PlainSubDelegate", appDelegate);
    Class* overriding = registerClass("OverridingDelegate", appDelegate);
    Class* alsoOverriding = registerClass("LaterOverridingDelegate", appDelegate);
    addMethod(overriding, hooked, [this](Object&, ObjectPtr) { trace.calls.push_back("overriding"); });
    addMethod(alsoOverriding, hooked, [this](Object&, ObjectPtr) { trace.calls.push_back("later"); });
    addMethod(hooks, mine, [this, mine](Object& self, ObjectPtr app) {
        trace.calls.push_back("hook");
        if (respondsTo(self, mine)) {
            msgSend(self, mine, app);
        }
    });

    const auto subclasses = subclassesOf(appDelegate);
    ASSERT_EQ(subclasses, (std::vector<Class*>{appDelegate, plain, overriding, alsoOverriding}));
    injectIntoOverridingClass(mine, hooked, subclasses, hooks, appDelegate);

    msgSend(createInstance(overriding), hooked, ObjectPtr());
    msgSend(createInstance(alsoOverriding), hooked, ObjectPtr());
    msgSend(createInstance(plain), hooked, ObjectPtr());
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"hook", "overriding", "later", "base"}));
    EXPECT_EQ(ownMethod(appDelegate, mine), nullptr);
}

TEST_F(RuntimeInterception, MarkerMethodDetectsASecondExchange) {
    Class* app = registerClass("UIApplication");
    const Sel marker("hookLoadedTag:");
    // The source class has no method of that name: the marker carries no body, only its presence counts.
    EXPECT_FALSE(injectMethod(hooks, marker, app, marker)) << "first load installs the marker";
    EXPECT_NE(instanceMethod(app, marker), nullptr);
    EXPECT_TRUE(ownMethod(app, marker)->implementation().isNull());
    EXPECT_FALSE(instancesRespondTo(app, marker)) << "a marker is not something to call";
    EXPECT_TRUE(injectMethod(hooks, marker, app, marker)) << "second load finds the marker";
}

TEST_F(RuntimeInterception, ExchangeOnAnInheritedMethodChangesTheAncestor) {
    // On the device an exchange works on the Method found, which may belong to a superclass; code that
    // relies on that must see the same here.
    const Sel hooked("applicationWillTerminate:");
    const Sel mine("hookWillTerminate:");
    addMethod(appDelegate, hooked, [this](Object&, ObjectPtr) { trace.calls.push_back("base"); });
    Class* sub = registerClass("SubDelegate", appDelegate);
    addMethod(hooks, mine, [this, mine](Object& self, ObjectPtr app) {
        trace.calls.push_back("hook");
        msgSend(self, mine, app);
    });
    EXPECT_TRUE(injectMethod(hooks, mine, sub, hooked));
    EXPECT_EQ(ownMethod(sub, hooked), nullptr);
    msgSend(createInstance(sub), hooked, ObjectPtr());
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"hook", "base"}));
}

// ---- run-time subclass of the app delegate -------------------------------------------------------

// A stand-in application whose delegate property is observable and set through the runtime.
class Application : public Object {
public:
    using Object::Object;
    ObjectPtr delegate;
};

TEST_F(RuntimeInterception, RuntimeSubclassInstalledByChangingTheClassThenDelegateReset) {
    Class* appClass = registerClass<Application>("UIApplication");
    addMethod(appClass, "setDelegate:", [](Application& self, ObjectPtr d) {
        self.willChange("delegate");
        self.delegate = std::move(d);
        self.didChange("delegate");
    });
    addMethod(appClass, "delegate", [](Application& self) { return self.delegate; });
    auto app = std::static_pointer_cast<Application>(createInstance(appClass));

    const Sel openURL("application:openURL:options:");
    addMethod(appDelegate, openURL, [this](Object&, ObjectPtr, std::string url, Value) {
        trace.calls.push_back("app " + url);
        return false;
    });
    ObjectPtr delegate = createInstance(appDelegate);
    msgSend(app, "setDelegate:", delegate);
    std::vector<std::pair<Value, Value>> changes;
    app->observe("delegate", [&](const Value& o, const Value& n) { changes.emplace_back(o, n); });

    Class* sub = allocateClassPair(appDelegate, "DVU_AppDelegate-1700000000000", 0);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(getClass("DVU_AppDelegate-1700000000000"), nullptr) << "not found by name before registration";
    EXPECT_EQ(allocateClassPair(appDelegate, "DVU_AppDelegate-1700000000000"), nullptr);

    Imp kept = methodImplementation(appDelegate, openURL);
    addMethod(sub, openURL, [this, kept](Object& self, ObjectPtr a, std::string url, Value options) {
        trace.calls.push_back("interceptor " + url);
        return kept.call<bool>(self, a, url, options) || url.starts_with("intercepted:");
    });
    addMethod(sub, "description", [appDelegate = appDelegate](Object& self) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%p", static_cast<void*>(&self));
        return "<" + appDelegate->name() + ": " + buf + ">";
    });
    ASSERT_EQ(sub->instanceSize(), appDelegate->instanceSize());
    registerClassPair(sub);
    EXPECT_EQ(object_setClass(*delegate, sub), appDelegate);

    ObjectPtr current = msgSend<ObjectPtr>(app, "delegate");
    msgSend(app, "setDelegate:", ObjectPtr());
    msgSend(app, "setDelegate:", current);

    EXPECT_EQ(getClass("DVU_AppDelegate-1700000000000"), sub);
    EXPECT_EQ(className(*delegate), "DVU_AppDelegate-1700000000000");
    EXPECT_TRUE(isKindOf(*delegate, appDelegate));
    EXPECT_TRUE(Value(delegate).description().starts_with("<AppDelegate: 0x"))
        << Value(delegate).description();
    EXPECT_TRUE(msgSend<bool>(app->delegate, openURL, ObjectPtr(app), "intercepted:x", Value()));
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"interceptor intercepted:x", "app intercepted:x"}));
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].first, Value(delegate));
    EXPECT_TRUE(changes[0].second.isNull());
    EXPECT_TRUE(changes[1].first.isNull());
    EXPECT_EQ(changes[1].second, Value(delegate));
    // Other instances of the delegate class are untouched.
    EXPECT_EQ(className(*createInstance(appDelegate)), "AppDelegate");
}

TEST_F(RuntimeInterception, ExtraBytesMakeTheSubclassLarger) {
    Class* sub = allocateClassPair(appDelegate, "BiggerDelegate", 16);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->instanceSize(), appDelegate->instanceSize() + 16);
}

TEST_F(RuntimeInterception, RuntimeSubclassKeepsTheCppTypeOfItsSuperclass) {
    Class* appClass = registerClass<Application>("UIApplication");
    Class* sub = allocateClassPair(appClass, "UIApplication_Sub");
    registerClassPair(sub);
    ObjectPtr obj = createInstance(sub);
    ASSERT_NE(std::dynamic_pointer_cast<Application>(obj), nullptr);
    EXPECT_EQ(obj->isa(), sub);
}

// ---- class methods -------------------------------------------------------------------------------

TEST_F(RuntimeInterception, ClassMethodsGoThroughTheMetaclassAndAreInherited) {
    Class* app = registerClass<Application>("UIApplication");
    Class* sub = registerClass("MyApplication", app);
    auto shared = createInstance(app);
    Object* receiver = nullptr;
    ASSERT_TRUE(addMethod(metaclass(app), "sharedApplication", [shared, &receiver](Object& cls) {
        receiver = &cls;
        return shared;
    }));

    EXPECT_EQ(msgSend<ObjectPtr>(*app, "sharedApplication"), shared);
    EXPECT_EQ(receiver, app) << "a class method runs with the class as receiver";
    EXPECT_EQ(msgSend<ObjectPtr>(*sub, "sharedApplication"), shared);
    EXPECT_EQ(receiver, sub);
    EXPECT_TRUE(respondsTo(*sub, "sharedApplication"));
    EXPECT_NE(classMethod(sub, "sharedApplication"), nullptr);
    EXPECT_EQ(instanceMethod(app, "sharedApplication"), nullptr);
    EXPECT_FALSE(respondsTo(shared, "sharedApplication")) << "instances do not answer class methods";
    EXPECT_TRUE(metaclass(app)->isMetaclass());
    EXPECT_EQ(metaclass(sub)->superclass(), metaclass(app));

    try {
        msgSend(*app, "noSuchClassMethod");
        FAIL() << "expected an exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), NSInvalidArgumentException);
        EXPECT_TRUE(e.reason().starts_with(
            "+[UIApplication noSuchClassMethod]: unrecognized selector sent to class 0x"))
            << e.reason();
    }
}

TEST_F(RuntimeInterception, RootClassMethodsFallBackToRootInstanceMethods) {
    // On the platform the root metaclass's superclass is the root class, so NSObject's instance methods
    // answer class messages too (e.g. "description" sent to a class).
    EXPECT_TRUE(respondsTo(*appDelegate, "description"));
    EXPECT_EQ(msgSend<std::string>(*appDelegate, "description"), "AppDelegate");
}

} // namespace
} // namespace plat::rt
