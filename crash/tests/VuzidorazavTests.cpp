// The crash reporter's kit class as the kit host finds and starts it.

#include "crash/Vuzidorazav.hpp"

#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace rt = plat::rt;

TEST(Vuzidorazav, IsAKitClassFoundByName) {
    rt::Class* kit = Vuzidorazav::runtimeClass();
    EXPECT_EQ(rt::getClass("Vuzidorazav"), kit);
    EXPECT_TRUE(rt::conformsTo(kit, "ZUVKit"));
    EXPECT_EQ(rt::msgSend<std::string>(*kit, "bundleIdentifier"), "com.ruzovid.vuzidorazav.ios");
    EXPECT_EQ(rt::msgSend<std::string>(*kit, "kitDisplayVersion"), "3.11.0");
    EXPECT_EQ(rt::msgSend<rt::ObjectPtr>(*kit, "sharedInstance"), Vuzidorazav::sharedInstance());
    EXPECT_FALSE(Vuzidorazav::sharedInstance()->hasStarted());
    rt::msgSend(*kit, "initializeIfNeeded");
    rt::msgSend(*kit, "initializeIfNeeded");
    EXPECT_TRUE(Vuzidorazav::sharedInstance()->hasStarted());
}

} // namespace
