// The environment the driver changes under the app: power mode, region settings, the advertising
// identifier manager, and the permission answers the stand-ins read.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/device/Boot.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

class DeviceEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceConfig config;
        config.appHome = temp.home();
        ASSERT_TRUE(boot(config).ok());
    }
    test::TempAppHome temp;
};

TEST_F(DeviceEnvironment, LowPowerPostsOncePerChange) {
    int posts = 0;
    NotificationCenter::defaultCenter().addObserver(std::string(NSProcessInfoPowerStateDidChangeNotification),
                                                    nullptr, nullptr, [&](const Notification& n) {
                                                        ++posts;
                                                        EXPECT_EQ(n.object, &ProcessInfo::processInfo());
                                                    });
    sim::Device::setLowPower(true);
    EXPECT_TRUE(ProcessInfo::processInfo().isLowPowerModeEnabled());
    sim::Device::setLowPower(true);
    sim::Device::setLowPower(false);
    EXPECT_FALSE(ProcessInfo::processInfo().isLowPowerModeEnabled());
    EXPECT_EQ(posts, 2);
}

TEST_F(DeviceEnvironment, RegionSettings) {
    sim::Device::setLanguages({"fr-FR", "en"});
    EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"fr-FR", "en"}));
    EXPECT_TRUE(sim::Device::setTimeZone("Asia/Tokyo"));
    EXPECT_EQ(TimeZone::local().name(), "Asia/Tokyo");
    EXPECT_FALSE(sim::Device::setTimeZone("Nowhere/Land"));
    EXPECT_EQ(TimeZone::local().name(), "Asia/Tokyo");
}

TEST_F(DeviceEnvironment, AdvertisingManagerIsPresentOnlyWithAProvider) {
    EXPECT_EQ(rt::getClass("ASIdentifierManager"), nullptr);
    UUID id = *UUID::parse("01234567-89AB-CDEF-0123-456789ABCDEF");
    sim::Device::installAdvertisingProvider({true, id});
    rt::Class* cls = rt::getClass("ASIdentifierManager");
    ASSERT_NE(cls, nullptr);
    auto manager = rt::msgSend<rt::ObjectPtr>(*cls, "sharedManager");
    ASSERT_TRUE(manager);
    EXPECT_TRUE(rt::msgSend<bool>(manager, "isAdvertisingTrackingEnabled"));
    EXPECT_EQ(rt::msgSend<UUID>(manager, "advertisingIdentifier"), id);

    sim::Device::installAdvertisingProvider({false, UUID()});
    EXPECT_EQ(rt::msgSend<rt::ObjectPtr>(*cls, "sharedManager"), manager) << "one shared manager";
    EXPECT_FALSE(rt::msgSend<bool>(manager, "isAdvertisingTrackingEnabled"));
    EXPECT_EQ(rt::msgSend<UUID>(manager, "advertisingIdentifier"), UUID());

    sim::Device::removeAdvertisingProvider();
    EXPECT_EQ(rt::getClass("ASIdentifierManager"), nullptr);
}

TEST_F(DeviceEnvironment, PromptAnswersAndRecords) {
    EXPECT_TRUE(sim::Device::answers().notifications.granted) << "the user allows by default";
    sim::Device::answerNotifications(false, Error("UNErrorDomain", 1), 2.5);
    sim::Device::answerLegacyTypes(0);
    sim::Device::answerLocation(2);
    PromptAnswers a = sim::Device::answers();
    EXPECT_FALSE(a.notifications.granted);
    ASSERT_TRUE(a.notifications.error);
    EXPECT_EQ(a.notifications.error->code, 1);
    EXPECT_DOUBLE_EQ(a.notifications.delay, 2.5);
    EXPECT_EQ(a.legacyTypes, 0u);
    EXPECT_EQ(a.location, 2);

    sim::Device::recordPrompt(PromptKind::notifications, 7);
    sim::Device::recordPrompt(PromptKind::locationWhenInUse, 0);
    auto shown = sim::Device::prompts();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].kind, PromptKind::notifications);
    EXPECT_EQ(shown[0].options, 7u);
    EXPECT_EQ(shown[1].kind, PromptKind::locationWhenInUse);
}

TEST_F(DeviceEnvironment, DebuggerAttachedFollowsTheTracerUnlessSet) {
    sim::Device::setDebuggerAttached(true);
    EXPECT_TRUE(DeviceProfile::debuggerAttached());
    sim::Device::setDebuggerAttached(false);
    EXPECT_FALSE(DeviceProfile::debuggerAttached());
}

} // namespace
} // namespace plat
