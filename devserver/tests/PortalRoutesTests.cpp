#include "devserver/DefaultRoutes.hpp"
#include "devserver/PortalRoutes.hpp"
#include "devserver/Server.hpp"
#include "devserver/tests/CurlClient.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

namespace devserver {
namespace {

using testing::Call;
using testing::Client;

const std::string kPortal = "https://portal.example.test";
const std::string kLogin = kPortal + "/login?ignore_ntlm=1/";
const std::string kRegister = kPortal + "/api/radirivoz/register";
const std::string kDevice = kPortal + "/intranet/rest/device/";

class PortalRoutesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "portal-routes-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        installDefaultRoutes(server_);
        Options options;
        options.extraNames = {kPortalSubdomainHost};
        ASSERT_TRUE(server_.start(options)) << server_.error();
        ASSERT_TRUE(server_.writeCa((dir_ / "ca.pem").string()));
    }

    void TearDown() override {
        server_.stop();
        std::filesystem::remove_all(dir_);
    }

    testing::Result perform(const Call& call) {
        Client client({server_.resolveEntry(kPortalHost), server_.resolveEntry(kPortalSubdomainHost),
                       server_.resolveEntry(kExternalSiteHost)},
                      (dir_ / "ca.pem").string());
        return client.perform(call);
    }
    testing::Result get(const std::string& url, const std::string& cookie = {}) {
        Call call = Call::to("GET", url);
        if (!cookie.empty())
            call.header("Cookie: " + cookie);
        return perform(call);
    }
    testing::Result post(const std::string& url, std::string body, std::string contentType,
                         const std::string& cookie = {}) {
        Call call = Call::to("POST", url).send(std::move(body)).header("Content-Type: " + contentType);
        if (!cookie.empty())
            call.header("Cookie: " + cookie);
        return perform(call);
    }
    testing::Result logIn(const std::string& form) {
        return post(kPortal + "/login", form, "application/x-www-form-urlencoded");
    }

    // The value of a response header (first occurrence, name without case), or empty.
    static std::string header(const testing::Result& result, const std::string& name) {
        std::smatch m;
        std::regex re("(^|\\r\\n)" + name + ":[ \\t]*([^\\r\\n]*)", std::regex::icase);
        return std::regex_search(result.headers, m, re) ? m[2].str() : std::string();
    }
    // "PHPSESSID=<id>" from the Set-Cookie of a response, or empty.
    static std::string sessionCookie(const testing::Result& result) {
        std::smatch m;
        return std::regex_search(result.headers, m, std::regex("Set-Cookie: (PHPSESSID=[^;\\r\\n]+)"))
                   ? m[1].str()
                   : std::string();
    }

    std::filesystem::path dir_;
    Server server_;
};

TEST_F(PortalRoutesTest, LoginPageOffersTheFormAndOneLinkOfEachKind) {
    auto page = get(kLogin);
    ASSERT_EQ(page.code, CURLE_OK);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(header(page, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page.body.find(R"(<form id="login" method="post" action="/login?ignore_ntlm=1/">)"),
              std::string::npos);
    EXPECT_NE(page.body.find(R"(name="user")"), std::string::npos);
    EXPECT_NE(page.body.find(R"(name="password" type="password")"), std::string::npos);

    const std::pair<const char*, const char*> links[] = {
        {"portal", "https://portal.example.test/help"}, {"subdomain", "https://docs.portal.example.test/"},
        {"external", "https://www.example.test/"},      {"mailto", "mailto:helpdesk@example.test"},
        {"foreign", "https://www.example.org/"},
    };
    for (const auto& [id, href] : links) {
        EXPECT_NE(page.body.find(std::string("id=\"") + id + "\" href=\"" + href + "\""), std::string::npos)
            << id;
    }
    // The foreign link must not look like a portal address to a substring test.
    EXPECT_EQ(std::string(links[4].second).find("portal.example.test"), std::string::npos);

    // Every in-app link of the page leads somewhere real.
    for (const char* url : {"https://portal.example.test/help", "https://docs.portal.example.test/",
                            "https://www.example.test/"}) {
        auto target = get(url);
        EXPECT_EQ(target.code, CURLE_OK) << url;
        EXPECT_EQ(target.status, 200) << url;
    }
}

TEST_F(PortalRoutesTest, SessionLifecycle) {
    auto root = get(kPortal + "/");
    EXPECT_EQ(root.status, 200);
    EXPECT_NE(root.body.find(R"(<form id="login")"), std::string::npos);
    EXPECT_EQ(header(get(kPortal + "/intranet/"), "Location"), "/login?ignore_ntlm=1/");

    auto login = logIn("user=Ann+Lee%21&password=secret");
    EXPECT_EQ(login.status, 302);
    EXPECT_EQ(header(login, "Location"), "/intranet/");
    const std::string cookie = sessionCookie(login);
    ASSERT_FALSE(cookie.empty()) << login.headers;
    EXPECT_NE(header(login, "Set-Cookie").find("path=/"), std::string::npos);

    auto home = get(kPortal + "/intranet/", "theme=dark; " + cookie);
    EXPECT_EQ(home.status, 200);
    EXPECT_NE(home.body.find("Welcome, Ann Lee!"), std::string::npos);
    EXPECT_NE(home.body.find(R"(href="https://portal.example.test/intranet/news")"), std::string::npos);
    EXPECT_EQ(get(kPortal + "/intranet/news", cookie).status, 200);
    EXPECT_EQ(header(get(kPortal + "/", cookie), "Location"), "/intranet/");

    // A cookie the portal never issued, or one whose name only differs in case, is no session.
    EXPECT_EQ(get(kPortal + "/intranet/", "PHPSESSID=forged").status, 302);
    EXPECT_EQ(get(kPortal + "/intranet/", "phpsessid" + cookie.substr(9)).status, 302);

    auto logout = get(kPortal + "/logout", cookie);
    EXPECT_EQ(logout.status, 302);
    EXPECT_NE(header(logout, "Set-Cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(get(kPortal + "/intranet/", cookie).status, 302);
}

TEST_F(PortalRoutesTest, EachLoginGetsItsOwnSession) {
    const std::string first = sessionCookie(logIn("user=ann&password=a"));
    const std::string second = sessionCookie(logIn("user=bob&password=b"));
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    EXPECT_NE(get(kPortal + "/intranet/", first).body.find("Welcome, ann"), std::string::npos);
    EXPECT_NE(get(kPortal + "/intranet/", second).body.find("Welcome, bob"), std::string::npos);
}

TEST_F(PortalRoutesTest, IncompleteLoginShowsTheFormAgainWithoutSession) {
    for (const char* form :
         {"", "user=ann", "password=secret", "user=+&password=secret", "user=ann&password="}) {
        auto reply = logIn(form);
        EXPECT_EQ(reply.status, 200) << form;
        EXPECT_TRUE(sessionCookie(reply).empty()) << form;
        EXPECT_NE(reply.body.find("Please enter your user name and password."), std::string::npos) << form;
    }
}

TEST_F(PortalRoutesTest, UserNameIsEscapedInPages) {
    const std::string cookie = sessionCookie(logIn("user=%3Cscript%3Ealert(1)%3C%2Fscript%3E&password=x"));
    auto home = get(kPortal + "/intranet/", cookie);
    EXPECT_EQ(home.body.find("<script>"), std::string::npos);
    EXPECT_NE(home.body.find("Welcome, &lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
}

TEST_F(PortalRoutesTest, RegistrationIsAnsweredAndRecordedWithItsCookies) {
    const std::string cookie = sessionCookie(logIn("user=ann&password=secret"));
    auto reply = post(kRegister, R"({"player-id":"3f2a-77"})", "application/json", cookie + "; theme=dark");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "true");
    EXPECT_EQ(header(reply, "Content-Type"), "application/json");

    auto registrations = portalRegistrations(server_);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].playerId, "3f2a-77");
    EXPECT_EQ("PHPSESSID=" + registrations[0].sessionId, cookie);
    EXPECT_EQ(registrations[0].cookieHeader, cookie + "; theme=dark");
    EXPECT_EQ(registrations[0].contentType, "application/json");
    EXPECT_EQ(registrations[0].body, R"({"player-id":"3f2a-77"})");
}

TEST_F(PortalRoutesTest, RegistrationRejectsBodiesWithoutAPlayerId) {
    for (const char* body : {"", "player-id=1", "[\"1\"]", "{}", R"({"player-id":1})", R"({"player-id":""})",
                             R"({"playerId":"1"})"}) {
        auto reply = post(kRegister, body, "application/json");
        EXPECT_EQ(reply.status, 400) << body;
    }
    // Refused posts are still recorded, so a test can see what the app sent.
    EXPECT_EQ(portalRegistrations(server_).size(), 7u);
    EXPECT_EQ(get(kRegister).status, 404);
}

TEST_F(PortalRoutesTest, DeviceEndpointTakesFormOrJsonBodies) {
    // The shell labels its form body as JSON; the portal takes it as sent.
    auto form = post(kDevice, "device_token=abc&device_type=ios", "application/json");
    EXPECT_EQ(form.status, 200);
    EXPECT_EQ(form.body, "true");
    EXPECT_EQ(post(kDevice, R"({"device_token":"abc","device_type":"ios"})", "application/json").status, 200);
    EXPECT_EQ(post(kDevice, "device_type=ios", "application/x-www-form-urlencoded").status, 400);
    EXPECT_EQ(post(kDevice, "device_token=abc", "application/x-www-form-urlencoded").status, 400);

    auto recorded = server_.requests();
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.front().path, "/intranet/rest/device/");
    EXPECT_EQ(recorded.front().body, "device_token=abc&device_type=ios");
}

TEST_F(PortalRoutesTest, RoutesAddedLaterOverrideThePortal) {
    server_.route("POST", kRegisterPath, Reply::json(500, R"({"error":"down"})"));
    EXPECT_EQ(post(kRegister, R"({"player-id":"1"})", "application/json").status, 500);
}

} // namespace
} // namespace devserver
