// The install identity across launches: each launch is its own process (the launch helper) on one app
// home, as on the device.

#include "testing/KeyValueProgram.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

#ifndef KIT_HOST_LAUNCH_HELPER
#error "the build names the launch helper program"
#endif

namespace {

std::map<std::string, std::string> launch(const std::string& home, const std::string& extra = {}) {
    return plat::test::runKeyValueProgram(std::string(KIT_HOST_LAUNCH_HELPER) + " --home '" + home + "' " + extra +
                                          " 2>/dev/null");
}

TEST(ZuvaduLaunch, TheInstallIDIsKeptAcrossLaunches) {
    plat::test::TempAppHome temp;
    auto first = launch(temp.home());
    ASSERT_EQ(first["installID"].size(), 36u);
    EXPECT_EQ(first["firstInstall"], "1");
    EXPECT_EQ(first["instanceIdentifier"].size(), 40u);

    auto second = launch(temp.home());
    EXPECT_EQ(second["installID"], first["installID"]);
    EXPECT_EQ(second["firstInstall"], "0");
    EXPECT_EQ(second["instanceIdentifier"], first["instanceIdentifier"]) << "same binary, same identity";
}

TEST(ZuvaduLaunch, AChangedAdvertisingIdentifierRegeneratesTheInstallID) {
    plat::test::TempAppHome temp;
    const std::string a = "--adid 11111111-2222-3333-4444-555555555555";
    auto first = launch(temp.home(), a);
    auto same = launch(temp.home(), a);
    EXPECT_EQ(same["installID"], first["installID"]);

    auto changed = launch(temp.home(), "--adid 99999999-2222-3333-4444-555555555555");
    EXPECT_NE(changed["installID"], first["installID"]);
    EXPECT_EQ(changed["firstInstall"], "0");
    auto after = launch(temp.home(), "--adid 99999999-2222-3333-4444-555555555555");
    EXPECT_EQ(after["installID"], changed["installID"]) << "the new ID is kept";
}

TEST(ZuvaduLaunch, AnInstallIDOfAnEarlierVersionIsTakenOver) {
    plat::test::TempAppHome temp;
    auto first = launch(temp.home(), "--platform-install-id EARLIER-ID");
    EXPECT_EQ(first["installID"], "EARLIER-ID");
    EXPECT_EQ(first["firstInstall"], "0");
    EXPECT_EQ(first["platformInstallID"], "-") << "removed from the platform defaults";

    auto second = launch(temp.home());
    EXPECT_EQ(second["installID"], "EARLIER-ID");
}

} // namespace
