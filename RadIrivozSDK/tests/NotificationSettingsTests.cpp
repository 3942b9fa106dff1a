// Reading and asking for the notification permission per OS generation.

#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"

#include "RadIrivozSDK/Source/RadIrivozNotificationSettings.hpp"
#include "platform/uikit/SimApp.hpp"

namespace {

using namespace push::test;
using plat::Virtual;
using plat::UNAuthorizationStatus;
using plat::UNNotificationSetting;

constexpr auto kOn = UNNotificationSetting::enabled;
constexpr auto kOff = UNNotificationSetting::disabled;

struct SettingsCase {
    const char* name;
    const char* os;
    UNAuthorizationStatus status;
    UNNotificationSetting badge, sound, alert, lockScreen;
    int32_t types;
    bool accepted, answered, provisional;
};

class CentreReadTest : public PushDeviceTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(CentreReadTest, TheCentresSettingsBecomeTheCurrentState) {
    const SettingsCase& c = GetParam();
    boot(c.os);
    plat::UNNotificationSettings settings;
    settings.authorizationStatus = c.status;
    settings.badgeSetting = c.badge;
    settings.soundSetting = c.sound;
    settings.alertSetting = c.alert;
    settings.lockScreenSetting = c.lockScreen;
    plat::sim::Notifications::setSettings(settings);

    auto state = RadIrivoz::osNotificationSettings()->getNotificationPermissionState();
    EXPECT_EQ(state, RadIrivoz::currentPermissionState());
    EXPECT_EQ(state->notificationTypes(), c.types);
    EXPECT_EQ(state->accepted(), c.accepted);
    EXPECT_EQ(state->answeredPrompt(), c.answered);
    EXPECT_EQ(state->provisional(), c.provisional);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CentreReadTest,
    ::testing::Values(
        SettingsCase{"AlertAndLockScreen", "12.4", UNAuthorizationStatus::authorized, kOff, kOff, kOn, kOn, 12, true,
                     true, false},
        SettingsCase{"Everything", "12.4", UNAuthorizationStatus::authorized, kOn, kOn, kOn, kOn, 15, true, true,
                     false},
        SettingsCase{"QuietOn12", "12.4", UNAuthorizationStatus::provisional, kOff, kOff, kOff, kOff, 64, false,
                     false, true},
        SettingsCase{"QuietOn11", "11.4", UNAuthorizationStatus::provisional, kOff, kOff, kOff, kOff, 0, false, false,
                     true},
        SettingsCase{"Refused", "12.4", UNAuthorizationStatus::denied, kOff, kOff, kOff, kOff, 0, false, true, false},
        SettingsCase{"NotAsked", "10.3", UNAuthorizationStatus::notDetermined, UNNotificationSetting::notSupported,
                     UNNotificationSetting::notSupported, UNNotificationSetting::notSupported,
                     UNNotificationSetting::notSupported, 0, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PushDeviceTest, ASlowCentreGivesTheOldStateWithin100msAndTheAnswerLater) {
    boot("12.4");
    auto settings = RadIrivoz::osNotificationSettings();
    RadIrivoz::currentPermissionState();
    plat::sim::Notifications::setAuthorizationStatus(UNAuthorizationStatus::authorized);
    plat::sim::Notifications::setSettingsDelay(0.3);

    const double before = Virtual::uptime();
    auto state = settings->getNotificationPermissionState();
    EXPECT_LE(Virtual::uptime() - before, 0.1 + 1e-9);
    EXPECT_FALSE(state->accepted()) << "the state as it stood";
    Virtual::advanceBy(0.5);
    EXPECT_TRUE(state->accepted()) << "the late answer updates the same object";
    EXPECT_EQ(state, RadIrivoz::currentPermissionState());
}

TEST_F(PushDeviceTest, AReadFromInsideAReadsBlockAnswersAtOnce) {
    boot("12.4");
    auto settings = RadIrivoz::osNotificationSettings();
    RadIrivoz::currentPermissionState();
    const size_t requests = plat::sim::Notifications::settingsRequestCount();
    bool nested = false;
    settings->getNotificationPermissionState([&](const std::shared_ptr<RIPermissionState>&) {
        settings->getNotificationPermissionState([&](const std::shared_ptr<RIPermissionState>&) { nested = true; });
        EXPECT_TRUE(nested);
    });
    Virtual::runUntilIdle();
    EXPECT_TRUE(nested);
    EXPECT_EQ(plat::sim::Notifications::settingsRequestCount(), requests + 1);
}

TEST_F(PushDeviceTest, ARefusedPromptAnswersNoOnMainAndTellsTheTypes) {
    boot("12.4");
    plat::sim::Notifications::answerAuthorization(false);
    std::optional<bool> answer;
    bool onMain = false;
    RadIrivoz::promptForPushNotificationsWithUserResponse([&](bool accepted) {
        onMain = plat::DispatchQueue::main()->isCurrent();
        answer = accepted;
    });
    Virtual::runUntilIdle();
    EXPECT_EQ(answer, false);
    EXPECT_TRUE(onMain);
    EXPECT_NE(console.nslog().find("VERBOSE: updateNotificationTypes called: 0"), std::string::npos);
    auto state = RadIrivoz::currentPermissionState();
    EXPECT_TRUE(state->answeredPrompt());
    EXPECT_TRUE(state->hasPrompted());
    EXPECT_FALSE(state->accepted());
    EXPECT_EQ(defaults().object("RI_HAS_PROMPTED_FOR_NOTIFICATIONS"), plat::Value(true));
}

TEST_F(PushDeviceTest, ThePromptAsksForTheAppsOwnSettingsScreenOnlyWhenItHasOne) {
    boot("12.4");
    RadIrivoz::promptForPushNotificationsWithUserResponse(nullptr);
    Virtual::runUntilIdle();
    RadIrivoz::initWithLaunchOptions(plat::Value(), std::string(radirivoz_test::kAppId), nullptr, nullptr,
                                     {{kOSSettingsKeyAutoPrompt, plat::Value(false)},
                                      {"kOSSettingsKeyProvidesAppNotificationSettings", plat::Value(true)}});
    RadIrivoz::promptForPushNotificationsWithUserResponse(nullptr);
    Virtual::runUntilIdle();
    // Start-up of a granted app asks again itself.
    const auto asked = plat::sim::Notifications::authorizationRequests();
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(asked.front(), 7u);
    EXPECT_EQ(asked.back(), 7u | 32u);
}

TEST_F(PushDeviceTest, TheSettingsFallbackIsTakenOnlyOnceTheUserWasAskedAndNotificationsAreOff) {
    boot("12.4");
    plat::sim::Notifications::answerAuthorization(false);
    std::vector<bool> answers;
    auto record = [&](bool accepted) { answers.push_back(accepted); };
    RadIrivoz::promptForPushNotificationsWithUserResponse(record, true);
    Virtual::runUntilIdle();
    EXPECT_EQ(plat::sim::Notifications::authorizationRequests().size(), 1u) << "nothing was prompted yet";
    EXPECT_EQ(answers, std::vector<bool>{false});

    RadIrivoz::promptForPushNotificationsWithUserResponse(record, true);
    EXPECT_EQ(answers, (std::vector<bool>{false, false})) << "at once, on the caller's thread";
    Virtual::runUntilIdle();
    EXPECT_EQ(plat::sim::Notifications::authorizationRequests().size(), 1u);

    RadIrivoz::promptForPushNotificationsWithUserResponse(record, false);
    Virtual::runUntilIdle();
    EXPECT_EQ(plat::sim::Notifications::authorizationRequests().size(), 2u) << "without the fallback: the prompt";
}

TEST_F(PushDeviceTest, QuietAuthorisationAfterAnAnsweredPromptAsksNothing) {
    boot("12.4");
    plat::sim::Notifications::setAuthorizationStatus(UNAuthorizationStatus::denied);
    std::optional<bool> answer;
    RadIrivoz::registerForProvisionalAuthorization([&](bool accepted) { answer = accepted; });
    EXPECT_EQ(answer, true);
    EXPECT_TRUE(plat::sim::Notifications::authorizationRequests().empty());
}

TEST_F(PushDeviceTest, BelowOS10ALegacyAnswerGoesToTheWaitingBlockOnce) {
    boot("9.3");
    auto settings = RadIrivoz::osNotificationSettings();
    std::vector<bool> answers;
    settings->promptForNotifications([&](bool accepted) { answers.push_back(accepted); });
    settings->onNotificationPromptResponse(0);
    settings->onNotificationPromptResponse(7);
    EXPECT_EQ(answers, std::vector<bool>{false}) << "the block is called once";
    EXPECT_TRUE(RadIrivoz::currentPermissionState()->accepted()) << "every answer sets the state";
    EXPECT_TRUE(RadIrivoz::currentPermissionState()->answeredPrompt());
    bool provisional = false;
    settings->registerForProvisionalAuthorization([&](bool) { provisional = true; });
    EXPECT_FALSE(provisional);
}

TEST_F(PushDeviceTest, BelowOS8AStoredTokenIsThePermission) {
    boot("7.1");
    auto settings = RadIrivoz::osNotificationSettings();
    EXPECT_FALSE(settings->getNotificationPermissionState()->accepted());
    defaults().set("RV_DEVICE_TOKEN", plat::Value("abcd"));
    auto state = settings->getNotificationPermissionState();
    EXPECT_EQ(state->notificationTypes(), 7);
    EXPECT_TRUE(state->accepted());
}

} // namespace
