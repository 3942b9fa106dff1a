// Foreground time: periods added up on the device until 30 s are there, then one report for each player,
// kept until the service has it; the badge report and the player refresh on return.

#include "RadIrivozSDK/Source/RadIrivozTracker.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"
#include "platform/uikit/SimApp.hpp"

namespace {

using namespace push::test;
using plat::Virtual;

class FocusTrackerTest : public PushDeviceTest {
protected:
    void launch(bool withPlayer = true) {
        boot("12.4");
        setDelegate(makeDelegateClass("FocusAppDelegate", {}));
        ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
        if (withPlayer) {
            RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
        }
        net->route("", apiURL(""), plat::ScriptedReply::text(200, R"({"success":true})"));
        Virtual::runUntilIdle();
        net->clearRequests();
    }

    // The app is in front for this many seconds, then resigns active.
    static void inFront(double seconds) {
        plat::sim::App::becomeActive();
        Virtual::advanceBy(seconds);
        plat::sim::App::resignActive();
        Virtual::runUntilIdle();
    }

    std::vector<plat::ScriptedRequest> reports(const std::string& player = "player-1") const {
        return sent("POST", "players/" + player + "/on_focus");
    }
    std::vector<plat::Value> badgeReports(const std::string& player) const {
        std::vector<plat::Value> out;
        for (const auto& request : sent("PUT", "players/" + player)) {
            if (plat::Value put(body(request)); put.contains("badgeCount")) {
                out.push_back(put);
            }
        }
        return out;
    }
    static std::optional<plat::Value> unsent() { return defaults().object("RV_UNSENT_ACTIVE_TIME"); }
};

TEST_F(FocusTrackerTest, ShortPeriodsAddUpOnTheDeviceUntilOneReportCarriesThemAll) {
    launch();
    inFront(10);
    EXPECT_TRUE(reports().empty());
    ASSERT_TRUE(unsent());
    EXPECT_DOUBLE_EQ(unsent()->doubleValue(), 10.5);
    EXPECT_GT(defaults().doubleValue("RV_LAST_CLOSED_TIME"), 0);

    // A second resign in a row is no new period.
    plat::sim::App::resignActive();
    RadIrivozTracker::onFocus(true);
    EXPECT_DOUBLE_EQ(unsent()->doubleValue(), 10.5);

    inFront(25);
    ASSERT_EQ(reports().size(), 1u);
    const plat::Value report(body(reports().front()));
    EXPECT_EQ(report["state"], plat::Value("ping"));
    EXPECT_EQ(report["type"], plat::Value(1));
    EXPECT_DOUBLE_EQ(report["active_time"].doubleValue(), 36.0);
    EXPECT_EQ(report["app_id"], plat::Value(std::string(radirivoz_test::kAppId)));
    EXPECT_DOUBLE_EQ(unsent()->doubleValue(), 0);
    const auto tasks = plat::sim::App::recorder().backgroundTasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_TRUE(tasks.front().ended) << "the focus task ends once the batch is queued";
}

TEST_F(FocusTrackerTest, TimeIsKeptUntilAReportReachesTheService) {
    launch(false);
    inFront(40);
    EXPECT_TRUE(reports().empty());
    EXPECT_DOUBLE_EQ(unsent()->doubleValue(), 40.5) << "without a player the time waits for one";

    RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
    net->route("POST", apiURL("players/player-1/on_focus"), plat::ScriptedReply::text(500, "{}"));
    inFront(1);
    Virtual::advanceBy(60);
    Virtual::runUntilIdle();
    ASSERT_FALSE(reports().empty());
    EXPECT_DOUBLE_EQ(plat::Value(body(reports().back()))["active_time"].doubleValue(), 42.0);
    EXPECT_DOUBLE_EQ(unsent()->doubleValue(), 42.0) << "a failed report loses nothing";

    net->route("POST", apiURL("players/player-1/on_focus"), plat::ScriptedReply::text(200, "{}"));
    net->clearRequests();
    inFront(2);
    Virtual::advanceBy(60);
    Virtual::runUntilIdle();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_DOUBLE_EQ(plat::Value(body(reports().front()))["active_time"].doubleValue(), 44.5);
    EXPECT_DOUBLE_EQ(unsent()->doubleValue(), 0);
}

TEST_F(FocusTrackerTest, TheEmailPlayerGetsTheSameReportWithItsHash) {
    launch();
    auto email = RadIrivoz::currentEmailSubscriptionState();
    email->setEmailUserId(std::string("email-1"));
    email->setEmailAuthCode(std::string("hash-1"));
    inFront(31);
    ASSERT_EQ(reports().size(), 1u);
    ASSERT_EQ(reports("email-1").size(), 1u);
    const plat::Value emailReport(body(reports("email-1").front()));
    EXPECT_EQ(emailReport["email_auth_hash"], plat::Value("hash-1"));
    EXPECT_DOUBLE_EQ(emailReport["active_time"].doubleValue(), 31.5);
    EXPECT_FALSE(plat::Value(body(reports().front())).contains("email_auth_hash"));
}

TEST_F(FocusTrackerTest, ReturningWithABadgeTellsBothPlayersItIsZero) {
    launch();
    plat::sim::Notifications::setAuthorizationStatus(plat::UNAuthorizationStatus::authorized, 7);
    RadIrivoz::currentEmailSubscriptionState()->setEmailUserId(std::string("email-1"));
    inFront(1);
    net->clearRequests();
    plat::UIApplication::sharedApplication()->setApplicationIconBadgeNumber(4);
    plat::sim::App::becomeActive();
    Virtual::runUntilIdle();
    for (const char* player : {"player-1", "email-1"}) {
        auto puts = badgeReports(player);
        ASSERT_EQ(puts.size(), 1u) << player;
        EXPECT_EQ(puts.front()["badgeCount"], plat::Value(0)) << player;
    }
    EXPECT_EQ(plat::UIApplication::sharedApplication()->applicationIconBadgeNumber(), 0);

    // Without a badge showing, coming back sends no badge report.
    plat::sim::App::resignActive();
    net->clearRequests();
    plat::sim::App::becomeActive();
    Virtual::runUntilIdle();
    EXPECT_TRUE(badgeReports("player-1").empty());
}

TEST_F(FocusTrackerTest, WhileConsentIsMissingNothingIsMeasuredOrWritten) {
    launch();
    RadIrivoz::setRequiresUserPrivacyConsent(true);
    inFront(45);
    EXPECT_FALSE(unsent());
    EXPECT_FALSE(defaults().object("RV_LAST_CLOSED_TIME"));
    EXPECT_TRUE(net->requests().empty());
}

} // namespace
