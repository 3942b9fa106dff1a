// Location: capture started once (2 s after the first request), permission as the Info.plist allows, one fix
// per start sent at once and then on one timer (300 s in front, 585 s otherwise), handed to the registration,
// and nothing more once the app stops sharing it.

#include "RadIrivozSDK/Source/RadIrivozLocation.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"
#include "platform/location/CLLocationManager.hpp"
#include "platform/uikit/SimApp.hpp"

namespace {

using namespace push::test;
using plat::CLAuthorizationStatus;
using plat::Virtual;

const plat::CLLocation kBerlinFix{{52.52, 13.405}, 65.0, 10.0, {}};

class LocationTest : public PushDeviceTest {
protected:
    void launch(plat::Dictionary info = {{"NSLocationWhenInUseUsageDescription", plat::Value("To find you")}},
                CLAuthorizationStatus status = CLAuthorizationStatus::authorizedWhenInUse, bool withPlayer = true) {
        plat::sim::Location::install();
        plat::sim::Location::setAuthorization(status);
        boot("12.4", std::move(info));
        setDelegate(makeDelegateClass("LocationAppDelegate", {}));
        plat::sim::App::becomeActive();
        ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
        if (withPlayer) {
            RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
        }
        net->route("", apiURL(""), plat::ScriptedReply::text(200, R"({"success":true,"id":"player-1"})"));
        Virtual::runUntilIdle();
        net->clearRequests();
    }

    // Capture started and one fix delivered.
    static void startWithFix() {
        RadIrivozLocation::getLocation(false);
        Virtual::advanceBy(2);
        plat::sim::Location::deliverLocations({kBerlinFix});
        Virtual::runUntilIdle();
    }

    std::vector<plat::Dictionary> locationPuts(const std::string& player = "player-1") const {
        std::vector<plat::Dictionary> out;
        for (const auto& request : sent("PUT", "players/" + player)) {
            if (plat::Dictionary put = body(request); put.contains("lat")) {
                out.push_back(std::move(put));
            }
        }
        return out;
    }
};

TEST_F(LocationTest, CaptureStartsTwoSecondsAfterTheFirstRequestOnlyWhereItMay) {
    struct Case {
        const char* name;
        bool servicesEnabled;
        CLAuthorizationStatus status;
        bool prompt;
        bool starts;
    };
    const Case cases[] = {
        {"not determined, no prompt", true, CLAuthorizationStatus::notDetermined, false, false},
        {"services off", false, CLAuthorizationStatus::authorizedAlways, true, false},
        {"not determined, prompt", true, CLAuthorizationStatus::notDetermined, true, true},
    };
    launch();
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plat::sim::Location::setServicesEnabled(c.servicesEnabled);
        plat::sim::Location::setAuthorization(c.status);
        const int before = plat::sim::Location::startCount();
        RadIrivozLocation::getLocation(c.prompt);
        if (first) {
            Virtual::advanceBy(1.9);
            EXPECT_EQ(plat::sim::Location::startCount(), before) << "the first request waits 2 s";
            Virtual::advanceBy(0.2);
            first = false;
        }
        // Later requests start at once.
        EXPECT_EQ(plat::sim::Location::startCount(), before + (c.starts ? 1 : 0));
    }
    EXPECT_EQ(plat::sim::Location::authorizationRequests(), 1);
    EXPECT_EQ(plat::CLLocationManager::authorizationStatus(), CLAuthorizationStatus::authorizedWhenInUse);
    // Once started, capture never starts again in this process.
    RadIrivoz::promptLocation();
    Virtual::advanceBy(3);
    EXPECT_EQ(plat::sim::Location::startCount(), 1);
}

TEST_F(LocationTest, WithoutUsageTextsTheErrorIsLoggedAndUpdatesStartAllTheSame) {
    launch({{"UIBackgroundModes", plat::Value(plat::Array{plat::Value("location")})}});
    RadIrivoz::promptLocation();
    Virtual::advanceBy(2);
    EXPECT_NE(console.nslog().find("ERROR: Include a privacy NSLocationAlwaysUsageDescription or "
                                   "NSLocationWhenInUseUsageDescription in your info.plist to request location "
                                   "permissions."),
              std::string::npos);
    EXPECT_EQ(plat::sim::Location::authorizationRequests(), 0);
    EXPECT_EQ(plat::sim::Location::startCount(), 1);
}

TEST_F(LocationTest, TheFirstFixIsSentAtOnceThenEveryIntervalOnOneTimer) {
    launch();
    startWithFix();
    ASSERT_EQ(locationPuts().size(), 1u);
    const plat::Value put(locationPuts().front());
    EXPECT_DOUBLE_EQ(put["lat"].doubleValue(), 52.52);
    EXPECT_DOUBLE_EQ(put["long"].doubleValue(), 13.405);
    EXPECT_DOUBLE_EQ(put["loc_acc_vert"].doubleValue(), 10.0);
    EXPECT_DOUBLE_EQ(put["loc_acc"].doubleValue(), 65.0);
    EXPECT_EQ(put["loc_bg"], plat::Value(false));
    EXPECT_EQ(plat::sim::Location::stopCount(), 1) << "one fix per start";

    // Sessions coming and going add no second chain of sends.
    for (int i = 0; i < 3; ++i) {
        plat::sim::App::resignActive();
        plat::sim::App::becomeActive();
    }
    Virtual::advanceBy(299);
    EXPECT_EQ(locationPuts().size(), 1u);
    Virtual::advanceBy(1.5);
    EXPECT_EQ(locationPuts().size(), 2u);

    // A send between timer ticks (as after a registration) moves the next tick instead of adding one.
    Virtual::advanceBy(100);
    RadIrivozLocation::sendLocation();
    Virtual::runUntilIdle();
    EXPECT_EQ(locationPuts().size(), 3u);
    Virtual::advanceBy(299);
    EXPECT_EQ(locationPuts().size(), 3u);
    Virtual::advanceBy(1.5);
    EXPECT_EQ(locationPuts().size(), 4u);
    Virtual::advanceBy(600);
    EXPECT_EQ(locationPuts().size(), 6u);
}

TEST_F(LocationTest, OutOfFrontTheIntervalIs585Seconds) {
    launch();
    plat::sim::App::resignActive();
    startWithFix();
    ASSERT_EQ(locationPuts().size(), 1u);
    EXPECT_EQ(plat::Value(locationPuts().front())["loc_bg"], plat::Value(true));
    Virtual::advanceBy(584);
    EXPECT_EQ(locationPuts().size(), 1u);
    Virtual::advanceBy(1.5);
    EXPECT_EQ(locationPuts().size(), 2u);
}

TEST_F(LocationTest, InTheBackgroundWithAlwaysAuthorisationTheTimerKeepsItsTimeLeft) {
    launch({{"UIBackgroundModes", plat::Value(plat::Array{plat::Value("location")})},
            {"NSLocationAlwaysUsageDescription", plat::Value("Always")}},
           CLAuthorizationStatus::authorizedAlways);
    startWithFix();
    auto managers = plat::sim::Location::updatingManagers();
    EXPECT_TRUE(managers.empty());
    Virtual::advanceBy(200);
    plat::sim::App::enterBackground();
    const auto tasks = plat::sim::App::recorder().backgroundTasks();
    EXPECT_TRUE(std::any_of(tasks.begin(), tasks.end(), [](const auto& t) { return !t.ended; }))
        << "a background task keeps the app running for the send";
    Virtual::advanceBy(99);
    EXPECT_EQ(locationPuts().size(), 1u);
    Virtual::advanceBy(1.5);
    ASSERT_EQ(locationPuts().size(), 2u);
    EXPECT_EQ(plat::Value(locationPuts().back())["loc_bg"], plat::Value(true));
}

TEST_F(LocationTest, WithoutAPlayerNothingIsSentOrScheduled) {
    launch({{"NSLocationWhenInUseUsageDescription", plat::Value("x")}}, CLAuthorizationStatus::authorizedWhenInUse,
           false);
    startWithFix();
    Virtual::advanceBy(1000);
    EXPECT_TRUE(net->requests().empty());
    EXPECT_TRUE(RadIrivozLocation::lastLocation().has_value()) << "kept for the registration";
}

TEST_F(LocationTest, TheEmailPlayerGetsItsOwnPutWithItsHash) {
    launch();
    auto email = RadIrivoz::currentEmailSubscriptionState();
    email->setEmailUserId(std::string("email-1"));
    email->setEmailAuthCode(std::string("hash-1"));
    startWithFix();
    ASSERT_EQ(locationPuts("email-1").size(), 1u);
    EXPECT_EQ(plat::Value(locationPuts("email-1").front())["email_auth_hash"], plat::Value("hash-1"));
    ASSERT_EQ(locationPuts().size(), 1u);
    EXPECT_FALSE(locationPuts().front().contains("email_auth_hash"));
}

TEST_F(LocationTest, TheRegistrationCarriesTheFixOnceAndSharingOffStopsEverything) {
    launch();
    RadIrivozLocation::getLocation(false);
    Virtual::advanceBy(2);
    RadIrivoz::setLocationShared(false);
    plat::sim::Location::deliverLocations({kBerlinFix});
    Virtual::runUntilIdle();
    Virtual::advanceBy(1200);
    EXPECT_TRUE(locationPuts().empty()) << "not shared: no sends, no timer";
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    auto sessions = sent("POST", "players/player-1/on_session");
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_FALSE(body(sessions.front()).contains("lat"));

    RadIrivoz::setLocationShared(true);
    RadIrivoz::setNextRegistrationHighPriority(true);
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    sessions = sent("POST", "players/player-1/on_session");
    ASSERT_EQ(sessions.size(), 2u);
    const plat::Value record(body(sessions.back()));
    EXPECT_DOUBLE_EQ(record["lat"].doubleValue(), 52.52);
    EXPECT_DOUBLE_EQ(record["loc_acc"].doubleValue(), 65.0);
    EXPECT_FALSE(RadIrivozLocation::lastLocation()) << "used up by the registration";
    Virtual::advanceBy(1200);
    EXPECT_TRUE(locationPuts().empty());
}

} // namespace
