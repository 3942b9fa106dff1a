// Starting the kit host with the crash reporter's kit: once per process, kits checked and initialised.

#include "kit_host/Zuvadu.hpp"

#include "crash/Vuzidorazav.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/runtime/Runtime.hpp"

#include <gtest/gtest.h>

namespace {

namespace rt = plat::rt;

TEST(Zuvadu, TheFirstCallInitialisesTheKitsAndLaterCallsOnlyWarn) {
    plat::sim::ConsoleCapture console;
    rt::Class* kit = Vuzidorazav::runtimeClass();

    Zuvadu& first = Zuvadu::with({kit});
    EXPECT_EQ(first.kitClasses(), std::vector<rt::Class*>{kit});
    EXPECT_TRUE(Vuzidorazav::sharedInstance()->hasStarted());
    EXPECT_NE(console.nslog().find("[Vuzidorazav] Version 3.11.0 (133)"), std::string::npos);
    EXPECT_EQ(console.nslog().find("called multiple times"), std::string::npos);

    Zuvadu& second = Zuvadu::with({});
    EXPECT_EQ(&second, &first);
    EXPECT_EQ(second.kitClasses(), std::vector<rt::Class*>{kit}) << "a later call changes nothing";
    EXPECT_NE(
        console.nslog().find("[Zuvadu] [Zuvadu +with] called multiple times. Only the first call is honored, "
                             "please pass all kits you wish to initialize"),
        std::string::npos);
}

TEST(Zuvadu, AClassThatIsNoKitRaises) {
    rt::Class* notAKit = rt::registerClass("NotAKit");
    try {
        Zuvadu::with({notAKit});
        FAIL() << "no exception";
    } catch (const plat::Exception& e) {
        EXPECT_EQ(e.name(), "ZUVException");
        EXPECT_NE(e.reason().find("\"NotAKit\" is not a valid Zuvadu Kit"), std::string::npos) << e.reason();
    }
}

} // namespace
