// The push-service registrar as the app sees it: answers reach the delegate on the main queue, the device
// token stays the same, failures carry the device's texts, and a test can hold and answer requests.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/device/Boot.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

struct Answers {
    std::vector<Data> tokens;
    std::vector<Error> errors;
};

Answers& answers() {
    static Answers a;
    return a;
}

class DeviceRegistrar : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceConfig config;
        config.appHome = temp.home();
        ASSERT_TRUE(boot(config).ok());
        rt::Class* delegate = rt::registerClass("RegistrarTestDelegate");
        rt::addMethod(
            delegate, "application:didRegisterForRemoteNotificationsWithDeviceToken:",
            [](rt::Object&, rt::ObjectPtr, Data token) { answers().tokens.push_back(std::move(token)); });
        rt::addMethod(
            delegate, "application:didFailToRegisterForRemoteNotificationsWithError:",
            [](rt::Object&, rt::ObjectPtr, Error error) { answers().errors.push_back(std::move(error)); });
        answers() = {};
        app = sim::App::launch("RegistrarTestDelegate");
        ASSERT_TRUE(app);
        Virtual::runUntilIdle();
    }

    test::TempAppHome temp;
    std::shared_ptr<UIApplication> app;
};

TEST_F(DeviceRegistrar, DeliversTheStoredDeviceTokenOnTheMainQueue) {
    app->registerForRemoteNotifications();
    EXPECT_TRUE(answers().tokens.empty()) << "the answer comes later";
    Virtual::runUntilIdle();
    ASSERT_EQ(answers().tokens.size(), 1u);
    EXPECT_EQ(answers().tokens[0].size(), 32u);
    EXPECT_TRUE(app->isRegisteredForRemoteNotifications());

    auto stored = readData(PushRegistrar::tokenPath());
    ASSERT_TRUE(stored.ok());
    EXPECT_EQ(*stored, answers().tokens[0]);
    struct stat st {};
    ASSERT_EQ(::stat(PushRegistrar::tokenPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    app->registerForRemoteNotifications();
    Virtual::runUntilIdle();
    ASSERT_EQ(answers().tokens.size(), 2u);
    EXPECT_EQ(answers().tokens[1], answers().tokens[0]) << "one token per device";
    EXPECT_EQ(sim::Device::registrar()->requestCount(), 2u);

    sim::Device::autoRegister(Data{1, 2, 3});
    app->registerForRemoteNotifications();
    Virtual::runUntilIdle();
    EXPECT_EQ(answers().tokens.back(), (Data{1, 2, 3}));
}

TEST_F(DeviceRegistrar, FailuresCarryTheDeviceTexts) {
    sim::Device::failRegistration(RegistrationFailure::missingEntitlement);
    sim::Device::failRegistration(RegistrationFailure::unsupported);
    sim::Device::failRegistration("TestDomain", 7, "no network");
    for (int i = 0; i < 4; ++i)
        app->registerForRemoteNotifications();
    Virtual::runUntilIdle();

    ASSERT_EQ(answers().errors.size(), 3u);
    EXPECT_EQ(answers().errors[0].domain, NSCocoaErrorDomain);
    EXPECT_EQ(answers().errors[0].code, 3000);
    EXPECT_NE(answers().errors[0].localizedDescription().find("no valid 'aps-environment'"),
              std::string::npos);
    EXPECT_EQ(answers().errors[1].code, 3010);
    EXPECT_EQ(answers().errors[1].localizedDescription(),
              "remote notifications are not supported in the simulator");
    EXPECT_TRUE(answers().errors[2].is("TestDomain", 7));
    EXPECT_EQ(answers().errors[2].localizedDescription(), "no network");
    ASSERT_EQ(answers().tokens.size(), 1u) << "scripted answers used up, the device answers again";
}

TEST_F(DeviceRegistrar, HeldRequestsWaitForTheTestsAnswer) {
    sim::Device::holdRegistrations();
    app->registerForRemoteNotifications();
    app->registerForRemoteNotifications();
    Virtual::runUntilIdle();
    EXPECT_TRUE(answers().tokens.empty());
    EXPECT_EQ(sim::Device::registrar()->waitingCount(), 2u);

    sim::Device::deliverToken(Data{0xaa});
    sim::Device::failRegistration(RegistrationFailure::unsupported);
    Virtual::runUntilIdle();
    EXPECT_EQ(answers().tokens, (std::vector<Data>{Data{0xaa}})) << "the oldest request is answered first";
    ASSERT_EQ(answers().errors.size(), 1u);
    EXPECT_EQ(answers().errors[0].code, 3010);

    app->registerForRemoteNotifications();
    Virtual::runUntilIdle();
    EXPECT_EQ(sim::Device::registrar()->waitingCount(), 1u);
    sim::Device::autoRegister();
    Virtual::runUntilIdle();
    ASSERT_EQ(answers().tokens.size(), 2u) << "switching back to automatic answers the waiting request";
    EXPECT_EQ(answers().tokens[1], *sim::Device::deviceToken());
}

} // namespace
} // namespace plat
