// One registered object per host and key, and the refusal to re-enter for the same host and key.

#include "core/DAVAppAssociationRegistration.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/runtime/Runtime.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace rt = plat::rt;

namespace {

TEST(AssociationRegistrationTest, OneObjectPerHostAndKeyAndNoReentry) {
    rt::Class* cls = rt::registerClass("Host");
    auto host = rt::createInstance(cls);
    auto other = rt::createInstance(cls);
    int made = 0;
    auto make = [&] {
        ++made;
        return rt::createInstance(cls);
    };
    auto first = DAVAppAssociationRegistration::registeredObjectWithHost(*host, "k", make);
    EXPECT_EQ(DAVAppAssociationRegistration::registeredObjectWithHost(*host, "k", make), first);
    EXPECT_NE(DAVAppAssociationRegistration::registeredObjectWithHost(*other, "k", make), first);
    EXPECT_EQ(made, 2);

    // From inside the block: another key works, the same one raises.
    rt::ObjectPtr inner;
    auto outer = DAVAppAssociationRegistration::registeredObjectWithHost(*host, "outer", [&] {
        inner = DAVAppAssociationRegistration::registeredObjectWithHost(*host, "inner", make);
        try {
            DAVAppAssociationRegistration::registeredObjectWithHost(*host, "outer", make);
            ADD_FAILURE() << "re-entry allowed";
        } catch (const plat::Exception& e) {
            EXPECT_EQ(e.name(), "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
            EXPECT_NE(e.reason().find("key: outer"), std::string::npos) << e.reason();
        }
        return make();
    });
    EXPECT_TRUE(inner && outer);

    // A block that gives nothing, or fails, leaves the key free for the next request.
    EXPECT_FALSE(DAVAppAssociationRegistration::registeredObjectWithHost(*host, "empty", [] { return rt::ObjectPtr(); }));
    EXPECT_THROW(DAVAppAssociationRegistration::registeredObjectWithHost(
                     *host, "failing", []() -> rt::ObjectPtr { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_TRUE(DAVAppAssociationRegistration::registeredObjectWithHost(*host, "empty", make));
    EXPECT_TRUE(DAVAppAssociationRegistration::registeredObjectWithHost(*host, "failing", make));
}

} // namespace
