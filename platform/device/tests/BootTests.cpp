// Boot: folders and their modes, the facts it hands the rest of the platform, the load hooks, and refusing
// bad configurations before they change anything.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/device/Boot.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

std::vector<std::string>& hookLog() {
    static std::vector<std::string> log;
    return log;
}

class DeviceBoot : public ::testing::Test {
protected:
    test::TempAppHome temp;
    DeviceConfig config() {
        DeviceConfig c;
        c.appHome = temp.root() + "/app"; // not there yet: boot makes it
        c.bundlePath = temp.root() + "/Portal.app";
        return c;
    }
};

TEST_F(DeviceBoot, MakesPrivateFoldersAndSetsTheDeviceFacts) {
    test::FixtureBundle bundle(temp.root() + "/Portal.app",
                               Dictionary{{"CFBundleIdentifier", Value("test.portal")},
                                          {kAppGroupsInfoKey, Value(Array{Value("group.test.portal")})}});
    DeviceConfig c = config();
    c.osVersion = "10.3.1";
    c.languages = std::vector<std::string>{"de-DE", "en"};
    c.timeZone = "Europe/Berlin";
    c.receiptName = "sandboxReceipt";
    static constexpr rt::LoadHook hooks[] = {{"first", [] { hookLog().push_back("first"); }},
                                             {"second", [] { hookLog().push_back("second"); }}};
    hookLog().clear();

    ASSERT_TRUE(boot(c, hooks).ok());

    const std::string home = temp.root() + "/app";
    EXPECT_EQ(AppHome::path(), home);
    EXPECT_EQ(modeOf(home), 0700u);
    EXPECT_EQ(modeOf(home + "/tmp"), 0700u);
    EXPECT_EQ(modeOf(home + ".device"), 0700u);
    for (const char* folder :
         {"/Documents", "/Library/Caches", "/Library/Preferences", "/Library/Application Support"})
        EXPECT_TRUE(FileManager::defaultManager().fileExists(home + folder)) << folder;
    EXPECT_EQ(modeOf(AppHome::appGroupContainer("group.test.portal")), 0700u);

    EXPECT_EQ(ProcessInfo::processInfo().operatingSystemVersion(), (OperatingSystemVersion{10, 3, 1}));
    EXPECT_EQ(DeviceProfile::systemVersion(), "10.3.1");
    EXPECT_FLOAT_EQ(DeviceProfile::floatVersion(), 10.3f);
    EXPECT_EQ(Bundle::main()->bundleIdentifier(), "test.portal");
    EXPECT_EQ(Bundle::main()->storeReceiptURL(), bundle.path() + "/StoreKit/sandboxReceipt");
    EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"de-DE", "en"}));
    EXPECT_EQ(TimeZone::local().name(), "Europe/Berlin");
    EXPECT_EQ(hookLog(), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(sim::App::remoteNotificationRegistrar(), sim::Device::registrar());
    EXPECT_NE(rt::getClass("UIApplication"), nullptr);
    EXPECT_EQ(rt::getClass("ASIdentifierManager"), nullptr) << "absent unless a provider is installed";
    EXPECT_EQ(DeviceProfile::machine(), DeviceConfig::hostMachine());
    EXPECT_TRUE(isBooted());

    auto again = boot(c);
    EXPECT_FALSE(again.ok()) << "boot runs once per process";
}

TEST_F(DeviceBoot, TightensAnExistingHomeThatOthersCouldRead) {
    const std::string home = temp.root() + "/app";
    ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((home + ".device").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((home + ".device").c_str(), 0777), 0);

    DeviceConfig c = config();
    c.bundlePath.clear();
    ASSERT_TRUE(boot(c).ok());
    EXPECT_EQ(modeOf(home), 0700u);
    EXPECT_EQ(modeOf(home + ".device"), 0700u);
}

TEST_F(DeviceBoot, RefusesBadConfigurations) {
    struct Case {
        const char* what;
        void (*change)(DeviceConfig&);
    } cases[] = {
        {"version text", [](DeviceConfig& c) { c.osVersion = "twelve"; }},
        {"empty version", [](DeviceConfig& c) { c.osVersion = ""; }},
        {"time zone", [](DeviceConfig& c) { c.timeZone = "Mars/Olympus"; }},
        {"receipt name", [](DeviceConfig& c) { c.receiptName = "../receipt"; }},
        {"app group", [](DeviceConfig& c) { c.appGroups = {".."}; }},
        {"app group path", [](DeviceConfig& c) { c.appGroups = {"a/../../x"}; }},
    };
    for (const auto& k : cases) {
        DeviceConfig c = config();
        c.bundlePath.clear();
        k.change(c);
        auto r = boot(c);
        EXPECT_FALSE(r.ok()) << k.what;
        EXPECT_FALSE(isBooted()) << k.what;
    }
    EXPECT_FALSE(FileManager::defaultManager().fileExists(temp.root() + "/app.device/x"));
    ASSERT_TRUE(boot(config()).ok()) << "a refused boot leaves the way open for a good one";
}

} // namespace
} // namespace plat
