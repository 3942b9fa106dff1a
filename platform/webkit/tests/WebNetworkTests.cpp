// The web engine's real loads: pages fetched over loopback HTTPS from devserver through the web data
// store's own session, with the test CA and the connect-to map.

#include "platform/webkit/tests/WebTestSupport.hpp"

#include <chrono>

#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/tests/SessionTestSupport.hpp"

namespace plat::test {
namespace {

using devserver::Reply;

std::string html(const std::string& title) {
    return "<html><head><title>" + title + "</title></head><body></body></html>";
}

class WebNetworkTest : public SessionFixture {
protected:
    void SetUp() override {
        startServer();
        server.route("GET", "/", Reply::text(200, html("Login"), "text/html; charset=utf-8"));
    }
    void TearDown() override {
        EXPECT_TRUE(sim::WebRecorder::shared().handlerFaults().empty());
        SessionFixture::TearDown();
    }
    // Loads the portal root and waits for it, then forgets those events.
    void openPortal(WebHarness& h) {
        h.view->load(URLRequest(url("/")));
        ASSERT_TRUE(waitFor([&] { return !h.events().empty() && h.events().back() == "finish"; }));
        ASSERT_EQ(h.view->title(), "Login");
        h.events().clear();
    }
    static bool ended(WebHarness& h) {
        if (h.events().empty()) {
            return false;
        }
        const auto& last = h.events().back();
        return last == "finish" || last.rfind("fail", 0) == 0;
    }
};

TEST_F(WebNetworkTest, LinkClickFetchesThePageAndItsCookiesLandInTheWebStoreOnly) {
    server.route(
        "GET", "/home",
        Reply::text(200, html("Home"), "text/html").withHeader("Set-Cookie", "PHPSESSID=s1; Path=/"));
    WebHarness h;
    openPortal(h);
    h.web.clickLink("/home");
    ASSERT_TRUE(waitFor([&] { return ended(h); }));

    EXPECT_EQ(h.events(), (std::vector<std::string>{"decide:https://portal.example.test/home:0", "start",
                                                    "commit", "finish"}));
    EXPECT_EQ(h.view->title(), "Home");

    std::optional<std::vector<HTTPCookie>> cookies;
    WKWebsiteDataStore::defaultDataStore()->httpCookieStore().getAllCookies(
        [&](std::vector<HTTPCookie> c) { cookies = std::move(c); });
    ASSERT_TRUE(waitFor([&] { return cookies.has_value(); }));
    ASSERT_EQ(cookies->size(), 1u);
    EXPECT_EQ((*cookies)[0].name(), "PHPSESSID");
    EXPECT_EQ((*cookies)[0].value(), "s1");
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());

    // The next page load sends the cookie back.
    h.events().clear();
    h.web.clickLink("/");
    ASSERT_TRUE(waitFor([&] { return ended(h); }));
    EXPECT_EQ(server.requests().back().header("cookie"), "PHPSESSID=s1");
}

TEST_F(WebNetworkTest, AServerRedirectIsReportedAndDecidedAgain) {
    server.route("GET", "/old", Reply::redirect(302, "/new"));
    server.route("GET", "/new", Reply::text(200, html("New"), "text/html"));
    WebHarness h;
    openPortal(h);
    h.web.clickLink("/old");
    ASSERT_TRUE(waitFor([&] { return ended(h); }));

    EXPECT_EQ(h.events(),
              (std::vector<std::string>{"decide:https://portal.example.test/old:0", "start", "redirect",
                                        "decide:https://portal.example.test/new:-1", "commit", "finish"}));
    EXPECT_EQ(h.view->url()->absoluteString(), "https://portal.example.test/new");
}

TEST_F(WebNetworkTest, MailtoThatIsAllowedFailsProvisionallyAndHTTPErrorsStillFinish) {
    server.route("GET", "/missing", Reply::text(404, html("Not here"), "text/html"));
    WebHarness h;
    openPortal(h);
    h.web.clickLink("mailto:help@example.test");
    ASSERT_TRUE(waitFor([&] { return ended(h); }));
    EXPECT_EQ(h.events(), (std::vector<std::string>{"decide:mailto:help@example.test:0", "start",
                                                    "failProvisional:-1002"}));

    h.events().clear();
    h.web.clickLink("/missing");
    ASSERT_TRUE(waitFor([&] { return ended(h); }));
    EXPECT_EQ(h.events().back(), "finish");
    EXPECT_EQ(h.view->title(), "Not here");
}

TEST_F(WebNetworkTest, ANewLoadCancelsTheProvisionalOneWithCancelled) {
    server.route("GET", "/slow",
                 Reply::text(200, html("Slow"), "text/html").after(std::chrono::milliseconds(3000)));
    server.route("GET", "/fast", Reply::text(200, html("Fast"), "text/html"));
    WebHarness h;
    openPortal(h);
    h.web.clickLink("/slow");
    ASSERT_TRUE(waitFor([&] { return h.events().size() == 2; })); // decided and started
    h.web.clickLink("/fast");
    ASSERT_TRUE(waitFor([&] { return h.events().back() == "finish"; }));

    EXPECT_EQ(h.events(), (std::vector<std::string>{"decide:https://portal.example.test/slow:0", "start",
                                                    "decide:https://portal.example.test/fast:0",
                                                    "failProvisional:-999", "start", "commit", "finish"}));
    EXPECT_EQ(h.view->title(), "Fast");
}

} // namespace
} // namespace plat::test
