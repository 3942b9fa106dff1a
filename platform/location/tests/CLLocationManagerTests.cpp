// The location stand-in: presence once installed, authorisation by usage texts and prompt answers, fixes and
// errors for updating managers only, and the background-mode rule.

#include "platform/dispatch/Backend.hpp"
#include "platform/location/CLLocationManager.hpp"
#include "platform/runtime/Runtime.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace {

using plat::CLAuthorizationStatus;

class CLRecordingDelegate : public plat::CLLocationManagerDelegate {
public:
    void locationManager_didUpdateLocations(plat::CLLocationManager&,
                                            const std::vector<plat::CLLocation>& locations) override {
        for (const auto& location : locations) {
            latitudes.push_back(location.coordinate.latitude);
        }
    }
    void locationManager_didFailWithError(plat::CLLocationManager&, const plat::Error& error) override {
        errors.push_back(error.code);
    }
    void locationManager_didChangeAuthorizationStatus(plat::CLLocationManager&, CLAuthorizationStatus status) override {
        statuses.push_back(status);
    }
    std::vector<double> latitudes;
    std::vector<int64_t> errors;
    std::vector<CLAuthorizationStatus> statuses;
};

class CLLocationManagerTest : public ::testing::Test {
protected:
    void useBundle(plat::Dictionary info) {
        info.set("CFBundleIdentifier", plat::Value("test.example.location"));
        bundle = std::make_unique<plat::test::FixtureBundle>(home.home() + "/../Loc.app", info);
        bundle->makeMain();
    }
    plat::test::TempAppHome home;
    std::unique_ptr<plat::test::FixtureBundle> bundle;
};

TEST_F(CLLocationManagerTest, AbsentUntilInstalled) {
    EXPECT_EQ(plat::rt::getClass("CLLocationManager"), nullptr);
    plat::sim::Location::install();
    EXPECT_NE(plat::rt::getClass("CLLocationManager"), nullptr);
}

TEST_F(CLLocationManagerTest, RequestsNeedTheirUsageTextAndAskTheUserOnlyOnce) {
    useBundle({{"NSLocationWhenInUseUsageDescription", plat::Value("near you")}});
    auto manager = plat::CLLocationManager::create();
    auto delegate = std::make_shared<CLRecordingDelegate>();
    manager->setDelegate(delegate);

    manager->requestAlwaysAuthorization();
    EXPECT_EQ(plat::CLLocationManager::authorizationStatus(), CLAuthorizationStatus::notDetermined);
    EXPECT_EQ(plat::sim::Location::ignoredAuthorizationRequests(), 1);

    plat::sim::Location::answerPrompt(CLAuthorizationStatus::denied);
    manager->requestWhenInUseAuthorization();
    manager->requestWhenInUseAuthorization();
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(plat::CLLocationManager::authorizationStatus(), CLAuthorizationStatus::denied);
    EXPECT_EQ(delegate->statuses, std::vector<CLAuthorizationStatus>{CLAuthorizationStatus::denied});
    EXPECT_EQ(plat::sim::Location::authorizationRequests(), 3);

    EXPECT_THROW(manager->setAllowsBackgroundLocationUpdates(true), plat::Exception);
    EXPECT_FALSE(manager->allowsBackgroundLocationUpdates());
    manager->setAllowsBackgroundLocationUpdates(false);
}

TEST_F(CLLocationManagerTest, FixesAndErrorsReachOnlyUpdatingManagersOnTheMainQueue) {
    useBundle({{"UIBackgroundModes", plat::Value(plat::Array{plat::Value("location")})}});
    auto updating = plat::CLLocationManager::create();
    auto idle = plat::CLLocationManager::create();
    auto heard = std::make_shared<CLRecordingDelegate>();
    auto unheard = std::make_shared<CLRecordingDelegate>();
    updating->setDelegate(heard);
    idle->setDelegate(unheard);
    updating->setAllowsBackgroundLocationUpdates(true);
    updating->startUpdatingLocation();

    plat::sim::Location::deliverLocations({{{52.5, 13.4}, 5, 3, {}}, {{48.1, 11.6}, 5, 3, {}}});
    plat::sim::Location::fail(plat::CLError::network);
    EXPECT_TRUE(heard->latitudes.empty());
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(heard->latitudes, (std::vector<double>{52.5, 48.1}));
    EXPECT_EQ(heard->errors, std::vector<int64_t>{2});
    EXPECT_TRUE(unheard->latitudes.empty());

    updating->stopUpdatingLocation();
    plat::sim::Location::deliverLocations({{{1, 1}, 5, 3, {}}});
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(heard->latitudes.size(), 2u);
    EXPECT_EQ(plat::sim::Location::startCount(), 1);
    EXPECT_EQ(plat::sim::Location::stopCount(), 1);
}

} // namespace
