// Classes by name, method tables, protocols, messaging errors and the test controls of the runtime.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/LoadHooks.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"

namespace plat::rt {
namespace {

// Whether text is prefix, a lower-case hexadecimal address ("0x..."), then suffix.
bool matchesAddressPattern(const std::string& text, const std::string& prefix, const std::string& suffix) {
    if (!text.starts_with(prefix + "0x") || !text.ends_with(suffix) ||
        text.size() <= prefix.size() + 2 + suffix.size()) {
        return false;
    }
    const std::string hex = text.substr(prefix.size() + 2, text.size() - prefix.size() - 2 - suffix.size());
    return hex.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::vector<std::string> namesAfter(Class* first) {
    std::vector<std::string> out;
    bool seen = false;
    for (Class* c : classList()) {
        seen = seen || c == first;
        if (seen) {
            out.push_back(c->name());
        }
    }
    return out;
}

TEST(RuntimeClasses, ClassListKeepsRegistrationOrderAcrossPairsAndPresenceChanges) {
    Class* a = registerClass("A");
    Class* b = registerClass("B", a);
    Class* pair = allocateClassPair(b, "B_Sub");
    Class* c = registerClass("C");
    EXPECT_EQ(namesAfter(a), (std::vector<std::string>{"A", "B", "C"}))
        << "an allocated pair is not listed yet";
    registerClassPair(pair);
    EXPECT_EQ(namesAfter(a), (std::vector<std::string>{"A", "B", "C", "B_Sub"}));

    EXPECT_TRUE(sim::Runtime::unregisterClass("B"));
    EXPECT_EQ(getClass("B"), nullptr);
    EXPECT_EQ(namesAfter(a), (std::vector<std::string>{"A", "C", "B_Sub"}));
    EXPECT_EQ(registerClass("B", a), nullptr) << "a class removed by the test stays absent";
    EXPECT_EQ(sim::Runtime::registerClass("B"), b) << "the same class comes back";
    EXPECT_EQ(namesAfter(a), (std::vector<std::string>{"A", "C", "B_Sub", "B"}));
    EXPECT_FALSE(sim::Runtime::unregisterClass("NoSuchClass"));
    EXPECT_EQ(c->superclass(), rootClass());
    EXPECT_EQ(rootClass()->name(), "NSObject");
    EXPECT_EQ(classList().front(), rootClass());
}

TEST(RuntimeClasses, RegisteringANameTwice) {
    Class* a = registerClass("A");
    Class* b = registerClass("B", a);
    EXPECT_EQ(registerClass("B", a), b) << "same superclass: the existing class";
    EXPECT_EQ(registerClass("B"), nullptr) << "another superclass: refused";
    EXPECT_EQ(allocateClassPair(a, "B"), nullptr);
    EXPECT_EQ(allocateClassPair(a, ""), nullptr);
    Class* present = sim::Runtime::registerClass("CoronaAppDelegate");
    ASSERT_NE(present, nullptr);
    EXPECT_EQ(getClass("CoronaAppDelegate"), present);
    EXPECT_EQ(sim::Runtime::registerClass("X", "NoSuchSuper"), nullptr);
}

TEST(RuntimeClasses, ProtocolsOwnAndInherited) {
    Class* base = registerClass("Base", rootClass(), {"UIApplicationDelegate"});
    Class* sub = registerClass("Sub", base);
    EXPECT_TRUE(declaresProtocol(base, "UIApplicationDelegate"));
    EXPECT_FALSE(declaresProtocol(sub, "UIApplicationDelegate"));
    EXPECT_TRUE(conformsTo(sub, "UIApplicationDelegate"));
    EXPECT_FALSE(conformsTo(sub, "UNUserNotificationCenterDelegate"));
    EXPECT_TRUE(addProtocol(sub, "UNUserNotificationCenterDelegate"));
    EXPECT_FALSE(addProtocol(sub, "UNUserNotificationCenterDelegate"));
    EXPECT_TRUE(declaresProtocol(sub, "UNUserNotificationCenterDelegate"));
    EXPECT_FALSE(conformsTo(nullptr, "UIApplicationDelegate"));
}

TEST(RuntimeMethods, AddReplaceAndExchange) {
    Class* base = registerClass("Base");
    Class* sub = registerClass("Sub", base);
    auto obj = createInstance(sub);
    const Sel greet("greet");
    ASSERT_TRUE(addMethod(
        base, greet, [](Object&) { return std::string("base"); }, "@16@0:8"));
    EXPECT_FALSE(addMethod(base, greet, [](Object&) { return std::string("again"); })) << "the class has it";
    EXPECT_EQ(msgSend<std::string>(obj, greet), "base");

    EXPECT_TRUE(addMethod(sub, greet, [](Object&) { return std::string("sub"); })) << "inherited: overridden";
    EXPECT_EQ(msgSend<std::string>(obj, greet), "sub");
    EXPECT_EQ(instanceMethod(sub, greet)->owner(), sub);
    EXPECT_EQ(ownMethod(base, greet)->types(), "@16@0:8");

    Imp old = replaceMethod(sub, greet, [](Object&) { return std::string("replaced"); });
    EXPECT_EQ(old.call<std::string>(*obj), "sub");
    EXPECT_EQ(msgSend<std::string>(obj, greet), "replaced");
    EXPECT_TRUE(replaceMethod(sub, "added", [](Object&) { return 7; }).isNull()) << "missing: added";
    EXPECT_EQ(msgSend<int>(obj, "added"), 7);

    Method* m1 = ownMethod(sub, greet);
    Method* m2 = ownMethod(sub, "added");
    addMethod(sub, "other", [](Object&) { return std::string("other"); });
    exchangeImplementations(m1, ownMethod(sub, "other"));
    EXPECT_EQ(msgSend<std::string>(obj, greet), "other");
    EXPECT_EQ(msgSend<std::string>(obj, "other"), "replaced");
    exchangeImplementations(m2, nullptr); // ignored, as with a nil Method
    EXPECT_EQ(msgSend<int>(obj, "added"), 7);

    Imp a = methodImplementation(sub, greet);
    EXPECT_TRUE(a == ownMethod(sub, greet)->implementation()) << "implementations compare by identity";
    EXPECT_FALSE(a == methodImplementation(base, greet));
    EXPECT_TRUE(methodImplementation(sub, "missing").isNull());
    EXPECT_FALSE(addMethod(nullptr, greet, nullptr));
}

TEST(RuntimeMessaging, UnknownSelectorRaisesThePlatformException) {
    Class* cls = registerClass("Widget");
    auto obj = createInstance(cls);
    try {
        msgSend(obj, "frobnicate:", 1);
        FAIL() << "expected an exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), "NSInvalidArgumentException");
        EXPECT_TRUE(matchesAddressPattern(
            e.reason(), "-[Widget frobnicate:]: unrecognized selector sent to instance ", ""))
            << e.reason();
    }
}

TEST(RuntimeMessaging, SignatureMismatchesAreLogicErrors) {
    Class* cls = registerClass("Widget");
    auto obj = createInstance(cls);
    addMethod(cls, "setTitle:count:", [](Object&, std::string, int64_t) { return true; });

    struct Case {
        const char* what;
        std::function<void()> call;
    };
    const std::vector<Case> cases = {
        {"return type", [&] { msgSend<int>(obj, "setTitle:count:", "t", int64_t{1}); }},
        {"argument type", [&] { msgSend<bool>(obj, "setTitle:count:", "t", 1.5); }},
        {"argument count", [&] { msgSend<bool>(obj, "setTitle:count:", "t"); }},
        {"object for text", [&] { msgSend<bool>(obj, "setTitle:count:", obj, int64_t{1}); }},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const std::logic_error& e) {
            EXPECT_NE(std::string(e.what()).find("bool (std::"), std::string::npos)
                << c.what << ": " << e.what();
        }
    }
    // Text may be passed as a literal or a std::string, integers in any width.
    EXPECT_TRUE(msgSend<bool>(obj, "setTitle:count:", "literal", 2));
    EXPECT_TRUE(msgSend<bool>(obj, "setTitle:count:", "literal", short{2}));
    EXPECT_TRUE(msgSend<bool>(obj, "setTitle:count:", std::string("s"), int64_t{2}));
}

class Gadget : public Object {
public:
    using Object::Object;
    int taps = 0;
};

TEST(RuntimeMessaging, TypedReceiversAndObjectArguments) {
    Class* gadgetClass = registerClass<Gadget>("Gadget");
    Class* widgetClass = registerClass("Widget");
    addMethod(gadgetClass, "tap", [](Gadget& self) { return ++self.taps; });
    addMethod(gadgetClass, "adopt:", [](Object&, ObjectPtr child) { return child != nullptr; });
    auto gadget = make<Gadget>(gadgetClass);
    EXPECT_EQ(msgSend<int>(gadget, "tap"), 1);
    // A subclass pointer travels as ObjectPtr.
    EXPECT_TRUE(msgSend<bool>(gadget, "adopt:", gadget));

    // The Gadget implementation moved onto a class whose instances are plain objects.
    auto widget = createInstance(widgetClass);
    object_setClass(*widget, gadgetClass);
    EXPECT_THROW(msgSend<int>(widget, "tap"), std::logic_error);
    EXPECT_THROW(make<Gadget>(nullptr), std::logic_error);
}

TEST(RuntimeMessaging, MessagesToNullAndMarkers) {
    ObjectPtr none;
    EXPECT_EQ(msgSend<int>(none, "anything"), 0);
    EXPECT_EQ(msgSend<std::string>(none, "anything", 1, "x"), "");
    EXPECT_NO_THROW(msgSend(none, "anything"));
    EXPECT_FALSE(respondsTo(none, "anything"));

    Class* cls = registerClass("Widget");
    addMethod(cls, "marker", nullptr);
    // A method without body answers like a missing one, to respondsTo and to messages alike.
    EXPECT_FALSE(respondsTo(createInstance(cls), "marker"));
    EXPECT_THROW(msgSend(createInstance(cls), "marker"), Exception);
    EXPECT_THROW(Imp().call(*createInstance(cls)), std::logic_error);
}

TEST(RuntimeMessaging, SendLogRecordsOnlyChosenSelectors) {
    Class* cls = registerClass("Widget");
    addMethod(cls, "viewDidAppear:", [](Object&, bool) {});
    addMethod(cls, "other", [](Object&) {});
    auto obj = createInstance(cls);
    msgSend(obj, "viewDidAppear:", true);
    sim::Runtime::recordSends("viewDidAppear:");
    msgSend(obj, "viewDidAppear:", false);
    msgSend(obj, "other");
    auto log = sim::Runtime::sendLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].className, "Widget");
    EXPECT_EQ(log[0].selector, "viewDidAppear:");
    sim::Runtime::clearSendLog();
    EXPECT_TRUE(sim::Runtime::sendLog().empty());
}

struct KitInterface {
    virtual ~KitInterface() = default;
    virtual std::string kitName() const = 0;
};
struct Kit : KitInterface {
    std::string kitName() const override { return "kit"; }
};

TEST(RuntimeProviders, ClassHandsOutTypedInterfaces) {
    Class* cls = registerClass("DAVKit");
    EXPECT_EQ(cls->providerAs<KitInterface>(), nullptr);
    cls->setProvider<KitInterface>(std::make_shared<Kit>());
    auto kit = getClass("DAVKit")->providerAs<KitInterface>();
    ASSERT_NE(kit, nullptr);
    EXPECT_EQ(kit->kitName(), "kit");
    EXPECT_EQ(cls->providerAs<Kit>(), nullptr) << "looked up by the interface type it was set with";
}

TEST(RuntimeLoadHooks, RunOnceInListOrder) {
    static std::vector<std::string> ran;
    ran.clear();
    const LoadHook hooks[] = {
        {"First", [] { ran.push_back("first"); }},
        {"Second", [] { ran.push_back("second"); }},
        {"Empty", nullptr},
    };
    EXPECT_FALSE(loadHooksHaveRun());
    EXPECT_TRUE(runLoadHooks(hooks));
    EXPECT_FALSE(runLoadHooks(hooks));
    EXPECT_TRUE(loadHooksHaveRun());
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second"}));
}

TEST(RuntimeValueHooks, DescribeObjectsThroughTheRuntime) {
    Class* cls = registerClass("Widget");
    auto obj = createInstance(cls);
    EXPECT_EQ(Value(obj).className(), "Widget");
    EXPECT_TRUE(matchesAddressPattern(Value(obj).description(), "<Widget: ", ">"))
        << Value(obj).description();
    addMethod(cls, "description", [](Object&) { return std::string("a widget"); });
    EXPECT_EQ(Value(obj).description(), "a widget");
    EXPECT_EQ(describe(*obj), "a widget");
}

} // namespace
} // namespace plat::rt
