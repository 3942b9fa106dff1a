// The first screen against the local portal over real loopback HTTPS: the login page loads, signing in
// gives the web view the portal's session cookie, and from then on every navigation decision hands the
// cookies over to the push-subscriber registration, whether the navigation is allowed or dropped.

#include "app/tests/ScreenFixture.hpp"
#include "app/tests/TrustedPortal.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/UserDefaults.hpp"

namespace screen_test {
namespace {

using plat::Virtual;

constexpr const char* kPlayerId = "5a1f0c2e-7b3d-4e9a-8c61-0d2f4b6a8e13";

class PortalSessionTest : public ScreenTest {
protected:
    void SetUp() override {
        ScreenTest::SetUp();
        plat::sim::Web::pages().disable();
        ASSERT_TRUE(app_test::startTrustedPortal(portal, home_.root() + "/test-ca.pem"));
        // The push client's subscriber id, as it keeps it once the device is registered.
        plat::UserDefaults::standardUserDefaults().set("RV_PLAYER_ID", plat::Value(kPlayerId));
    }
    void TearDown() override {
        ScreenTest::TearDown();
        portal.stop();
    }

    bool loaded(const std::shared_ptr<plat::WKWebView>& view, const std::string& title) {
        return Virtual::runUntil([&] { return !view->isLoading() && view->title() == title; }, 20);
    }
    size_t registrations() const { return devserver::portalRegistrations(portal).size(); }

    devserver::Server portal;
};

TEST_F(PortalSessionTest, AfterSignInEveryDecisionRegistersTheSubscriberWithTheSession) {
    auto screen = showFirstScreen();
    auto wk = screen->wkWebView();
    ASSERT_TRUE(loaded(wk, "Portal")) << pageURL(wk);
    EXPECT_EQ(pageURL(wk), kLogin);
    // No session yet: nothing to register.
    Virtual::runUntil([] { return false; }, 0.2);
    EXPECT_EQ(registrations(), 0u);

    plat::sim::Web web(wk);
    web.submitForm(kLogin, "POST", {{"user", "anna"}, {"password", "secret"}});
    ASSERT_TRUE(loaded(wk, "Intranet")) << pageURL(wk);
    ASSERT_TRUE(Virtual::runUntil([&] { return registrations() >= 1; }, 20))
        << "the redirect's decision sees the new session cookie";

    // A dropped navigation hands the cookies over all the same.
    const size_t before = registrations();
    web.clickLink("tel:+4912345");
    Virtual::runUntilIdle();
    ASSERT_EQ(lastNavigationTo("tel:+4912345")->allowed, false);
    ASSERT_TRUE(Virtual::runUntil([&] { return registrations() > before; }, 20));

    const auto all = devserver::portalRegistrations(portal);
    for (const auto& r : all) {
        EXPECT_EQ(r.playerId, kPlayerId);
        EXPECT_FALSE(r.sessionId.empty()) << r.cookieHeader;
    }
    EXPECT_EQ(pageURL(wk), "https://portal.example.test/intranet/");
}

} // namespace
} // namespace screen_test
