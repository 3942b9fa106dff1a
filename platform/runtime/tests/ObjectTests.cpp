// Associated objects, key-value observation and key-value coding reads on runtime objects.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

namespace plat::rt {
namespace {

class RuntimeObject : public ::testing::Test {
protected:
    Class* cls = registerClass("Thing");
    ObjectPtr owner = createInstance(cls);
};

const char kKey = 0;
const char kOtherKey = 0;

TEST_F(RuntimeObject, AssociationPoliciesHoldObjectsStronglyOrWeakly) {
    struct Case {
        AssociationPolicy policy;
        bool keepsAlive;
    };
    for (const Case& c :
         {Case{AssociationPolicy::Assign, false}, Case{AssociationPolicy::RetainNonatomic, true},
          Case{AssociationPolicy::CopyNonatomic, true}, Case{AssociationPolicy::Retain, true},
          Case{AssociationPolicy::Copy, true}}) {
        SCOPED_TRACE(static_cast<int>(c.policy));
        ObjectPtr value = createInstance(cls);
        std::weak_ptr<Object> watch = value;
        setAssociated(*owner, &kKey, value, c.policy);
        EXPECT_EQ(getAssociatedObject(*owner, &kKey), value);
        value.reset();
        EXPECT_EQ(watch.expired(), !c.keepsAlive);
        if (c.keepsAlive) {
            EXPECT_NE(getAssociatedObject(*owner, &kKey), nullptr);
        } else {
            EXPECT_FALSE(getAssociated(*owner, &kKey).has_value())
                << "an assigned object that died reads as nil";
        }
        removeAssociated(*owner, &kKey);
        EXPECT_TRUE(watch.expired()) << "removal releases the object";
    }
}

TEST_F(RuntimeObject, AssociatedValuesReplaceRemoveAndDieWithTheOwner) {
    EXPECT_FALSE(getAssociated(*owner, &kKey).has_value());
    setAssociated(*owner, &kKey, Value("https://example.test"), AssociationPolicy::CopyNonatomic);
    setAssociated(*owner, &kOtherKey, Value(), AssociationPolicy::Retain);
    EXPECT_EQ(getAssociated(*owner, &kKey), Value("https://example.test"));
    ASSERT_TRUE(getAssociated(*owner, &kOtherKey).has_value()) << "a stored null differs from nothing";
    EXPECT_TRUE(getAssociated(*owner, &kOtherKey)->isNull());
    EXPECT_EQ(getAssociatedObject(*owner, &kKey), nullptr) << "not an object";

    ObjectPtr first = createInstance(cls);
    std::weak_ptr<Object> watchFirst = first;
    setAssociated(*owner, &kKey, first, AssociationPolicy::Retain);
    first.reset();
    setAssociated(*owner, &kKey, createInstance(cls), AssociationPolicy::Retain);
    EXPECT_TRUE(watchFirst.expired()) << "replacing releases the old value";

    setAssociated(*owner, &kKey, ObjectPtr(), AssociationPolicy::Retain);
    EXPECT_FALSE(getAssociated(*owner, &kKey).has_value()) << "setting nil removes";

    ObjectPtr held = createInstance(cls);
    std::weak_ptr<Object> watchHeld = held;
    setAssociated(*owner, &kKey, held, AssociationPolicy::Retain);
    held.reset();
    owner.reset();
    EXPECT_TRUE(watchHeld.expired()) << "associations go with their owner";
}

TEST_F(RuntimeObject, ObjectAssociatedWithItselfWeaklyDoesNotLeakOrCrash) {
    setAssociated(*owner, &kKey, owner, AssociationPolicy::Assign);
    EXPECT_EQ(getAssociatedObject(*owner, &kKey), owner);
    removeAllAssociated(*owner);
    EXPECT_FALSE(getAssociated(*owner, &kKey).has_value());
}

// A stand-in with an observable property, as the platform's setters are.
class Holder : public Object {
public:
    using Object::Object;
    void setName(std::string n) {
        willChange("name");
        name_ = std::move(n);
        didChange("name");
    }
    Value valueForKey(std::string_view key) override {
        return key == "name" ? Value(name_) : Object::valueForKey(key);
    }

private:
    std::string name_ = "first";
};

TEST_F(RuntimeObject, ObserversSeeOldAndNewValuesUntilRemoved) {
    Class* holderClass = registerClass<Holder>("Holder");
    auto holder = std::static_pointer_cast<Holder>(createInstance(holderClass));
    std::vector<std::string> seen;
    Object::ObserverToken second = 0;
    holder->observe("name", [&](const Value& o, const Value& n) {
        seen.push_back("a:" + o.stringValue() + ">" + n.stringValue());
        holder->removeObserver(second); // removal takes effect during the notification under way
    });
    second = holder->observe("name", [&](const Value&, const Value&) { seen.push_back("b"); });
    auto other = holder->observe("other", [&](const Value&, const Value&) { seen.push_back("other"); });

    holder->setName("second");
    holder->setName("third");
    holder->removeObserver(other);
    EXPECT_EQ(seen, (std::vector<std::string>{"a:first>second", "a:second>third"}));
}

TEST_F(RuntimeObject, NestedChangesPairUp) {
    Class* holderClass = registerClass<Holder>("Holder");
    auto holder = std::static_pointer_cast<Holder>(createInstance(holderClass));
    std::vector<std::string> seen;
    holder->observe("name", [&](const Value& o, const Value& n) {
        seen.push_back(o.stringValue() + ">" + n.stringValue());
        if (n.stringValue() == "outer") {
            holder->setName("inner");
        }
    });
    holder->setName("outer");
    EXPECT_EQ(seen, (std::vector<std::string>{"first>outer", "outer>inner"}));
}

TEST_F(RuntimeObject, ValueForKeyReadsGettersThroughTheRuntime) {
    addMethod(cls, "count", [](Object&) { return int64_t{3}; });
    addMethod(cls, "enabled", [](Object&) { return true; });
    addMethod(cls, "title", [](Object&) { return std::string("t"); });
    addMethod(cls, "parent", [](Object&) { return ObjectPtr(); });
    addMethod(cls, "needsArgument:", [](Object&, int64_t) { return 1; });
    EXPECT_EQ(owner->valueForKey("count"), Value(3));
    EXPECT_EQ(owner->valueForKey("enabled"), Value(true));
    EXPECT_EQ(owner->valueForKey("title"), Value("t"));
    EXPECT_TRUE(owner->valueForKey("parent").isNull());
    for (const char* key : {"missing", "needsArgument:"}) {
        try {
            owner->valueForKey(key);
            ADD_FAILURE() << key;
        } catch (const Exception& e) {
            EXPECT_EQ(e.name(), "NSUnknownKeyException");
            EXPECT_NE(e.reason().find("not key value coding-compliant for the key " + std::string(key) + "."),
                      std::string::npos)
                << e.reason();
        }
    }
}

TEST_F(RuntimeObject, UnobservedChangesNeedNoReadableKey) {
    // willChange/didChange on a key nobody observes must not read it (it may not be readable by key).
    EXPECT_NO_THROW({
        owner->willChange("unreadable");
        owner->didChange("unreadable");
    });
}

} // namespace
} // namespace plat::rt
