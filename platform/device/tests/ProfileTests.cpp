// The OS profile: which classes and methods exist at a version, the version checks, and the two readings of
// a version text the system uses.

#include <gtest/gtest.h>

#include <string>

#include "platform/device/Boot.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/device/SystemVersion.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

TEST(DeviceVersionText, FloatVersionReadsTheLeadingNumber) {
    struct Case {
        const char* text;
        float value;
    } cases[] = {{"10.3.1", 10.3f}, {"12.4", 12.4f}, {"9", 9.0f},    {" 8.0", 8.0f},
                 {"11.0b", 11.0f},  {"", 0.0f},      {"beta", 0.0f}, {"7.10", 7.1f}};
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(floatVersion(c.text), c.value) << c.text;
}

TEST(DeviceVersionText, CompareNumericOrdersDigitRunsByValue) {
    using R = ComparisonResult;
    struct Case {
        const char* a;
        const char* b;
        R result;
    } cases[] = {
        {"10.0", "9.3", R::orderedDescending},  {"9.3", "10.0", R::orderedAscending},
        {"7.0", "7.0", R::orderedSame},         {"7.0", "7.0.1", R::orderedAscending},
        {"12.4", "12.10", R::orderedAscending}, {"8.0", "7.1.2", R::orderedDescending},
        {"07.1", "7.1", R::orderedSame},        {"", "1", R::orderedAscending},
        {"1.a", "1.b", R::orderedAscending},    {"100", "99", R::orderedDescending},
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareNumeric(c.a, c.b), c.result) << c.a << " vs " << c.b;
}

class DeviceProfileTable : public ::testing::Test {
protected:
    test::TempAppHome temp;
};

TEST_F(DeviceProfileTable, ClassesAndMethodsFollowTheVersion) {
    DeviceConfig config;
    config.appHome = temp.home();
    ASSERT_TRUE(boot(config).ok());
    // Stand-ins for the later frameworks and methods, as their modules will register them.
    sim::Runtime::registerClass("UNUserNotificationCenter");
    sim::Runtime::registerClass("UNNotificationResponse");
    sim::Runtime::registerClass("WKHTTPCookieStore");
    rt::Class* app = UIApplication::runtimeClass();
    rt::addMethod(app, "openURL:options:completionHandler:", [](rt::Object&) {});
    rt::addMethod(app, "registerUserNotificationSettings:", [](rt::Object&) {});

    struct Case {
        const char* version;
        bool settings, center, openOptions, cookieStore;
    } cases[] = {
        {"12.4", true, true, true, true},    {"9.3", true, false, false, false},
        {"10.0", true, true, true, false},   {"11.0", true, true, true, true},
        {"7.1", false, false, false, false}, {"12.4", true, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        ASSERT_TRUE(sim::Device::setOsVersion(c.version).ok());
        EXPECT_EQ(DeviceProfile::systemVersion(), c.version);
        for (const char* always : {"UIApplication", "UIAlertView", "UIViewController", "NSUserActivity"})
            EXPECT_NE(rt::getClass(always), nullptr) << always;
        EXPECT_EQ(rt::getClass("UNUserNotificationCenter") != nullptr, c.center);
        EXPECT_EQ(rt::getClass("UNNotificationResponse") != nullptr, c.center);
        EXPECT_EQ(rt::getClass("WKHTTPCookieStore") != nullptr, c.cookieStore);
        EXPECT_EQ(rt::instancesRespondTo(app, "openURL:options:completionHandler:"), c.openOptions);
        EXPECT_EQ(rt::instancesRespondTo(app, "registerUserNotificationSettings:"), c.settings);

        EXPECT_EQ(DeviceProfile::hasUserNotificationSettings(), c.settings);
        EXPECT_EQ(DeviceProfile::hasLegacyRemoteTypesOnly(), !c.settings);
        EXPECT_EQ(DeviceProfile::hasUserNotificationCenter(), c.center);
        EXPECT_EQ(DeviceProfile::hasOpenURLOptions(), c.openOptions);
        EXPECT_EQ(DeviceProfile::hasHTTPCookieStore(), c.cookieStore);
        EXPECT_EQ(DeviceProfile::isAvailable("UNUserNotificationCenter"), c.center);
    }
    EXPECT_TRUE(DeviceProfile::isAvailable("SomethingElse")) << "classes outside the table are never gated";
    EXPECT_FALSE(sim::Device::setOsVersion("12.x").ok());
    EXPECT_EQ(DeviceProfile::systemVersion(), "12.4") << "a refused version changes nothing";
}

TEST_F(DeviceProfileTable, VendorIdentifierIsKeptInTheDeviceFolder) {
    DeviceConfig config;
    config.appHome = temp.home();
    ASSERT_TRUE(boot(config).ok());
    UUID first = DeviceProfile::identifierForVendor();
    EXPECT_NE(first, UUID());
    EXPECT_EQ(DeviceProfile::identifierForVendor(), first);
    auto stored = readData(temp.deviceFolder() + "/identifierForVendor");
    ASSERT_TRUE(stored.ok());
    EXPECT_EQ(std::string(stored->begin(), stored->end()), first.uuidString());
}

} // namespace
} // namespace plat
