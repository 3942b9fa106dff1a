// Installs across launches: each launch is its own process (the launch helper) on the same app home, as on
// the device, where a reinstall drops the app's files and vendor identifier but keeps its keychain items.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/device/SimDevice.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "testing/KeyValueProgram.hpp"
#include "testing/TempAppHome.hpp"

#ifndef PORTAL_DEVICE_LAUNCH_HELPER
#error "the build names the launch helper program"
#endif

namespace plat {
namespace {

// Runs one launch and returns what it printed, by key.
std::map<std::string, std::string> launch(const std::string& home) {
    return test::runKeyValueProgram(std::string(PORTAL_DEVICE_LAUNCH_HELPER) + " --home '" + home + "' 2>&1");
}

TEST(DeviceInstall, ReinstallDropsTheAppHomeAndVendorIdentifierButKeepsTheKeychain) {
    test::TempAppHome temp;
    auto first = launch(temp.home());
    EXPECT_EQ(first["marker"], "0");
    EXPECT_EQ(first["keychain"], "-");
    ASSERT_EQ(first["token"].size(), 64u);

    auto second = launch(temp.home());
    EXPECT_EQ(second["marker"], "1") << "the app's files survive a relaunch";
    EXPECT_EQ(second["keychain"], "secret");
    EXPECT_EQ(second["vendor"], first["vendor"]);
    EXPECT_EQ(second["token"], first["token"]) << "the device token is stable across launches";

    ASSERT_TRUE(sim::Device::reinstall().ok());
    EXPECT_FALSE(FileManager::defaultManager().fileExists(temp.home()));
    auto third = launch(temp.home());
    EXPECT_EQ(third["marker"], "0") << "the app home went with the app";
    EXPECT_EQ(third["keychain"], "secret") << "keychain items outlive the app";
    EXPECT_NE(third["vendor"], first["vendor"]);
    EXPECT_EQ(third["token"], first["token"]);

    ASSERT_TRUE(sim::Device::installFresh().ok());
    auto fresh = launch(temp.home());
    EXPECT_EQ(fresh["marker"], "0");
    EXPECT_EQ(fresh["keychain"], "-") << "a device that never had the app has no items for it";
    EXPECT_NE(fresh["token"], first["token"]);
}

} // namespace
} // namespace plat
