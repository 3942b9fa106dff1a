// The portal registration of the push subscriber id against the local portal: what reaches the portal,
// when nothing is sent, and what is printed.

#include "app/Network.hpp"

#include "app/tests/TrustedPortal.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/webkit/WKWebsiteDataStore.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using devserver::Reply;
using plat::Virtual;

constexpr const char* kPlayerId = "5a1f0c2e-7b3d-4e9a-8c61-0d2f4b6a8e13";

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::sim::Process::setOperatingSystemVersion({12, 4, 0});
        ASSERT_TRUE(app_test::startTrustedPortal(
            portal, plat::FileManager::defaultManager().temporaryDirectory() + "/test-ca.pem"));
    }
    void TearDown() override { portal.stop(); }

    static void storePlayerId() {
        plat::UserDefaults::standardUserDefaults().set("RV_PLAYER_ID", plat::Value(kPlayerId));
    }
    static void addWebCookie(const std::string& name, const std::string& value,
                             const std::string& domain = devserver::kPortalHost) {
        auto cookie = plat::HTTPCookie::make({.name = name, .value = value, .domain = domain});
        ASSERT_TRUE(cookie);
        plat::WKWebsiteDataStore::defaultDataStore()->httpCookieStore().setCookie(*cookie);
    }
    // What the navigation policy does at every navigation decision.
    static void navigationDecision() { fetchWebViewCookies(std::nullopt, handleWebViewCookies); }

    bool waitForRegistrations(size_t count) {
        return Virtual::runUntil([&] { return devserver::portalRegistrations(portal).size() >= count; }, 20);
    }
    // Long enough for a request that was made to reach the loopback portal.
    bool anythingArrives() {
        return Virtual::runUntil([&] { return portal.requestCount() > 0; }, 0.3);
    }
    // Until the reply to every request sent has been handled on the main queue.
    void settle() {
        Virtual::runUntil([] { return false; }, 0.2);
    }

    plat::test::TempAppHome home;
    devserver::Server portal;
};

TEST_F(NetworkTest, PostsTheCompactPlayerIdWithTheWebViewsCookiesAndPrintsNothingForAJsonFragmentReply) {
    storePlayerId();
    addWebCookie("theme", "dark");
    addWebCookie("PHPSESSID", "s3ss10n");
    plat::sim::ConsoleCapture console;

    navigationDecision();
    ASSERT_TRUE(waitForRegistrations(1));
    settle();

    const auto registrations = devserver::portalRegistrations(portal);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].body, std::string("{\"player-id\":\"") + kPlayerId + "\"}");
    EXPECT_EQ(registrations[0].contentType, "application/json");
    EXPECT_EQ(registrations[0].sessionId, "s3ss10n");
    EXPECT_NE(registrations[0].cookieHeader.find("theme=dark"), std::string::npos);
    EXPECT_EQ(portal.requests()[0].path, devserver::kRegisterPath);
    // The portal answers the bare JSON value true.
    EXPECT_EQ(console.out(), "");
}

TEST_F(NetworkTest, EverySessionCookieInTheListSendsOneRegistration) {
    storePlayerId();
    addWebCookie("PHPSESSID", "host-only");
    addWebCookie("PHPSESSID", "whole-domain", ".example.test");

    navigationDecision();
    ASSERT_TRUE(waitForRegistrations(2));
    settle();
    EXPECT_EQ(devserver::portalRegistrations(portal).size(), 2u);
}

struct SilentCase {
    const char* name;
    const char* cookieName;
    bool playerId;
    int osMajor;
};

void PrintTo(const SilentCase& c, std::ostream* os) {
    *os << c.name;
}

class NetworkSilentTest : public NetworkTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(NetworkSilentTest, SendsAndPrintsNothing) {
    const SilentCase& c = GetParam();
    if (c.playerId) {
        storePlayerId();
    }
    addWebCookie(c.cookieName, "s3ss10n");
    // Set after the cookie went in: below OS 11 the web view's cookie store does not exist at all.
    plat::sim::Process::setOperatingSystemVersion({c.osMajor, 3, 0});
    plat::sim::ConsoleCapture console;

    navigationDecision();
    EXPECT_FALSE(anythingArrives());
    EXPECT_EQ(console.out(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, NetworkSilentTest,
                         ::testing::Values(SilentCase{"NoSessionCookie", "SESSIONID", true, 12},
                                           SilentCase{"SessionCookieNameInOtherCase", "phpsessid", true, 12},
                                           SilentCase{"NoSubscriberIdYet", "PHPSESSID", false, 12},
                                           SilentCase{"BelowOS11TheCookieStoreIsNeverRead", "PHPSESSID", true,
                                                      10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetworkTest, AnEmptySuccessReplyPrintsTheSerializationError) {
    storePlayerId();
    addWebCookie("PHPSESSID", "s3ss10n");
    portal.route("POST", devserver::kRegisterPath, Reply::json(200, ""));
    plat::sim::ConsoleCapture console;

    navigationDecision();
    ASSERT_TRUE(waitForRegistrations(1));
    ASSERT_TRUE(Virtual::runUntil([&] { return !console.out().empty(); }, 20));
    EXPECT_NE(console.out().find("inputDataNilOrZeroLength"), std::string::npos) << console.out();
    EXPECT_EQ(console.out().back(), '\n');
}

TEST_F(NetworkTest, AConnectionDroppedWithoutReplyPrintsTheTransportError) {
    storePlayerId();
    addWebCookie("PHPSESSID", "s3ss10n");
    portal.route("POST", devserver::kRegisterPath, Reply::dropped());
    plat::sim::ConsoleCapture console;

    navigationDecision();
    ASSERT_TRUE(Virtual::runUntil([&] { return !console.out().empty(); }, 20));
    EXPECT_NE(console.out().find("NSURLErrorDomain"), std::string::npos) << console.out();
}

TEST_F(NetworkTest, FetchKeepsOnlyTheCookiesWhoseDomainContainsTheFilter) {
    addWebCookie("a", "1", devserver::kPortalHost);
    addWebCookie("b", "2", devserver::kExternalSiteHost);
    addWebCookie("c", "3", devserver::kPortalSubdomainHost);
    std::optional<std::vector<std::string>> names;

    fetchWebViewCookies(std::string("portal"), [&](const std::vector<plat::HTTPCookie>& cookies) {
        names.emplace();
        for (const auto& cookie : cookies) {
            names->push_back(cookie.name());
        }
    });
    Virtual::runUntilIdle();

    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"a", "c"}));
}

} // namespace
