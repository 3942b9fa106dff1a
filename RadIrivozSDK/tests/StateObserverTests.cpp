// The permission, subscription and e-mail states: derived values, when a change is a change, what the
// app's observers are told and when the last state moves on.

#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"

namespace {

using namespace push::test;
using plat::Virtual;

// Counts the synchronous notices of a state's internal table.
struct PermissionNotices final : RIPermissionStateObserver {
    int count = 0;
    void onChanged(const std::shared_ptr<RIPermissionState>&) override { ++count; }
};

struct AppSubscriptionObserver final : RISubscriptionObserver {
    std::vector<std::shared_ptr<RISubscriptionStateChanges>> changes;
    bool onMain = true;
    void onOSSubscriptionChanged(const std::shared_ptr<RISubscriptionStateChanges>& c) override {
        onMain = onMain && plat::DispatchQueue::main()->isCurrent();
        changes.push_back(c);
    }
};

struct AppPermissionObserver final : RIPermissionObserver {
    std::vector<std::shared_ptr<RIPermissionStateChanges>> changes;
    void onOSPermissionChanged(const std::shared_ptr<RIPermissionStateChanges>& c) override { changes.push_back(c); }
};

struct PermissionCase {
    const char* name;
    bool accepted, answered, provisional, prompted;
    int64_t status;
    const char* description;
};

TEST(PermissionStateTest, StatusAndDescriptionFollowTheDerivedValues) {
    plat::test::TempAppHome home;
    const PermissionCase cases[] = {
        {"nothing", false, false, false, false, 0, "<RIPermissionState: hasPrompted: 0, status: NotDetermined, provisional: 0>"},
        {"prompted", false, false, false, true, 0, "<RIPermissionState: hasPrompted: 1, status: NotDetermined, provisional: 0>"},
        {"granted", true, false, false, false, 2, "<RIPermissionState: hasPrompted: 1, status: Authorized, provisional: 0>"},
        {"refused", false, true, false, false, 1, "<RIPermissionState: hasPrompted: 1, status: Denied, provisional: 0>"},
        {"quiet", false, false, true, false, 3, "<RIPermissionState: hasPrompted: 0, status: Provisional, provisional: 1>"},
        // The answer is tested before the provisional flag.
        {"refusedButQuiet", false, true, true, false, 1, "<RIPermissionState: hasPrompted: 1, status: Denied, provisional: 1>"},
    };
    for (const PermissionCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto state = RIPermissionState::initAsTo();
        state->setAccepted(c.accepted);
        state->setAnsweredPrompt(c.answered);
        state->setProvisional(c.provisional);
        state->setHasPrompted(c.prompted);
        EXPECT_EQ(state->status(), c.status);
        EXPECT_EQ(state->description(), c.description);
        EXPECT_EQ(state->reachable(), c.accepted || c.provisional);
    }
}

TEST(PermissionStateTest, ObserversAreToldOnlyWhenADerivedValueChanges) {
    plat::test::TempAppHome home;
    auto state = RIPermissionState::initAsTo();
    auto notices = std::make_shared<PermissionNotices>();
    state->observable().addObserver(notices);

    state->setAccepted(true);
    EXPECT_EQ(notices->count, 1);
    state->setAnsweredPrompt(true);
    EXPECT_EQ(notices->count, 1) << "answered was already derived from accepted";
    state->setHasPrompted(true);
    EXPECT_EQ(notices->count, 1) << "prompted was already derived";
    EXPECT_EQ(plat::UserDefaults::standardUserDefaults().object("RI_HAS_PROMPTED_FOR_NOTIFICATIONS"),
              plat::Value(true));
    state->setProvisional(true);
    EXPECT_EQ(notices->count, 2);
    EXPECT_EQ(plat::UserDefaults::standardUserDefaults().object("RADIRIVOZ_PROVISIONAL_AUTHORIZATION"),
              plat::Value(true));
    state->setNotificationTypes(15);
    EXPECT_EQ(notices->count, 2);

    auto copy = state->copy();
    EXPECT_EQ(copy->notificationTypes(), 0) << "a copy does not carry the types";
    EXPECT_FALSE(copy->compare(*state));
    copy->setAccepted(false);
    EXPECT_TRUE(copy->compare(*state));
    EXPECT_EQ(notices->count, 2) << "a copy has no observers";
}

TEST(SubscriptionStateTest, ChangesAreTextChangesAndATokenIsStored) {
    plat::test::TempAppHome home;
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    defaults.set("RV_PLAYER_ID", plat::Value("player-1"));
    auto state = RISubscriptionState::initAsToWithPermision(true);
    int notices = 0;
    struct Counter final : RISubscriptionStateObserver {
        int* n;
        explicit Counter(int* count) : n(count) {}
        void onChanged(const std::shared_ptr<RISubscriptionState>&) override { ++*n; }
    };
    state->observable().addObserver(std::make_shared<Counter>(&notices));

    state->setUserId(std::string("player-") + "1");
    EXPECT_EQ(notices, 0);
    EXPECT_FALSE(state->subscribed()) << "no token";
    state->setPushToken("abcd");
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(defaults.string("RV_DEVICE_TOKEN"), "abcd");
    EXPECT_TRUE(state->subscribed());
    EXPECT_EQ(state->description(),
              "<RISubscriptionState: userId: player-1, pushToken: abcd, userSubscriptionSetting: 1, subscribed: 1>");

    auto other = state->copy();
    other->setUserId(std::nullopt);
    state->setUserId("");
    EXPECT_FALSE(state->compare(*other)) << "a missing id and an empty one are equal";
}

TEST(EmailSubscriptionStateTest, AnEqualIdMadeAgainIsNoChange) {
    plat::test::TempAppHome home;
    auto state = RIEmailSubscriptionState::init();
    int notices = 0;
    struct Counter final : RIEmailSubscriptionStateObserver {
        int* n;
        explicit Counter(int* count) : n(count) {}
        void onChanged(const std::shared_ptr<RIEmailSubscriptionState>&) override { ++*n; }
    };
    state->observable().addObserver(std::make_shared<Counter>(&notices));
    state->setEmailUserId(std::string("email-1"));
    state->setEmailUserId(std::string("email-") + "1");
    EXPECT_EQ(notices, 1);
    state->setEmailAddress("a@example.test");
    EXPECT_EQ(notices, 1) << "the address alone tells nobody";
    state->persist();
    EXPECT_EQ(RIEmailSubscriptionState::init()->description(),
              "<RIEmailSubscriptionState: emailAddress: a@example.test, emailUserId: email-1>");
}

class StateDeliveryTest : public PushDeviceTest {};

TEST_F(StateDeliveryTest, WithoutAnAppObserverNothingMovesAndALaterObserverIsToldAtOnce) {
    boot("12.4");
    auto subscription = RadIrivoz::currentSubscriptionState();
    subscription->setUserId("player-1");
    Virtual::runUntilIdle();
    EXPECT_FALSE(defaults().object("RV_PLAYER_ID_LAST")) << "nobody was told";
    EXPECT_FALSE(RadIrivoz::lastSubscriptionState()->userId());

    auto observer = std::make_shared<AppSubscriptionObserver>();
    RadIrivoz::addSubscriptionObserver(observer);
    EXPECT_TRUE(observer->changes.empty()) << "told on the main queue, later";
    Virtual::runUntilIdle();
    ASSERT_EQ(observer->changes.size(), 1u);
    EXPECT_TRUE(observer->onMain);
    EXPECT_FALSE(observer->changes[0]->from()->userId());
    EXPECT_EQ(observer->changes[0]->to()->userId(), "player-1");
    EXPECT_EQ(defaults().string("RV_PLAYER_ID_LAST"), "player-1");

    // The change is a snapshot: later changes do not alter it.
    subscription->setPushToken("abcd");
    Virtual::runUntilIdle();
    ASSERT_EQ(observer->changes.size(), 2u);
    EXPECT_FALSE(observer->changes[0]->to()->pushToken());
    EXPECT_EQ(observer->changes[1]->description(),
              "<RISubscriptionStateChanges:\nfrom: <RISubscriptionState: userId: player-1, pushToken: (null), "
              "userSubscriptionSetting: 1, subscribed: 0>,\nto:   <RISubscriptionState: userId: player-1, "
              "pushToken: abcd, userSubscriptionSetting: 1, subscribed: 0>\n>");
}

TEST_F(StateDeliveryTest, ADestroyedObserverIsNotCalledAndDoesNotCountAsTold) {
    boot("12.4");
    auto observer = std::make_shared<AppSubscriptionObserver>();
    RadIrivoz::addSubscriptionObserver(observer);
    observer.reset();
    RadIrivoz::currentSubscriptionState()->setUserId("player-1");
    Virtual::runUntilIdle();
    EXPECT_FALSE(defaults().object("RV_PLAYER_ID_LAST"));
}

TEST_F(StateDeliveryTest, APermissionChangeReachesBothKindsOfObserver) {
    boot("12.4");
    auto permissionObserver = std::make_shared<AppPermissionObserver>();
    auto subscriptionObserver = std::make_shared<AppSubscriptionObserver>();
    RadIrivoz::addPermissionObserver(permissionObserver);
    RadIrivoz::addSubscriptionObserver(subscriptionObserver);
    auto subscription = RadIrivoz::currentSubscriptionState();
    subscription->setUserId("player-1");
    subscription->setPushToken("abcd");
    Virtual::runUntilIdle();
    subscriptionObserver->changes.clear();

    RadIrivoz::currentPermissionState()->setAccepted(true);
    Virtual::runUntilIdle();
    ASSERT_EQ(permissionObserver->changes.size(), 1u);
    EXPECT_EQ(permissionObserver->changes[0]->to()->status(), 2);
    EXPECT_EQ(defaults().object("RADIRIVOZ_ACCEPTED_NOTIFICATION_LAST"), plat::Value(true));
    ASSERT_EQ(subscriptionObserver->changes.size(), 1u) << "subscribed moved with the permission";
    EXPECT_TRUE(subscriptionObserver->changes[0]->to()->subscribed());
    EXPECT_EQ(defaults().object("RADIRIVOZ_PERMISSION_ACCEPTED_LAST"), plat::Value(true));
}

TEST_F(StateDeliveryTest, TheSwitchIsPersistedAsNoOrNotAtAll) {
    boot("12.4");
    auto observer = std::make_shared<AppSubscriptionObserver>();
    RadIrivoz::addSubscriptionObserver(observer);
    RadIrivoz::currentSubscriptionState()->setUserSubscriptionSetting(false);
    Virtual::runUntilIdle();
    EXPECT_EQ(defaults().string("RADIRIVOZ_SUBSCRIPTION_LAST"), "no");
    RadIrivoz::currentSubscriptionState()->setUserSubscriptionSetting(true);
    Virtual::runUntilIdle();
    EXPECT_FALSE(defaults().object("RADIRIVOZ_SUBSCRIPTION_LAST"));
    EXPECT_EQ(observer->changes.size(), 2u);
}

} // namespace
