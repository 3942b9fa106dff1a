#include "platform/net/HTTPCookie.hpp"
#include "platform/net/HTTPCookieStorage.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace plat {
namespace {

URL url(const char* text) {
    return *URL::parse(text);
}

std::optional<HTTPCookie> parse(const std::string& setCookie,
                                const char* from = "https://portal.example.test/app/page") {
    return HTTPCookie::parseSetCookie(setCookie, url(from));
}

std::vector<std::string> names(const std::vector<HTTPCookie>& cookies) {
    std::vector<std::string> out;
    for (const auto& c : cookies) {
        out.push_back(c.name());
    }
    return out;
}

TEST(HTTPCookie, ParsesAttributes) {
    const auto c = parse("sid = abc=def ; Domain=.Example.TEST; Path=/app; Secure; HttpOnly; SameSite=Lax; "
                         "Expires=Wed, 09 Jun 2100 10:18:14 GMT");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->name(), "sid");
    EXPECT_EQ(c->value(), "abc=def");
    EXPECT_EQ(c->domain(), ".example.test");
    EXPECT_FALSE(c->isHostOnly());
    EXPECT_EQ(c->path(), "/app");
    EXPECT_TRUE(c->isSecure());
    EXPECT_TRUE(c->isHTTPOnly());
    EXPECT_EQ(c->sameSitePolicy(), "lax");
    EXPECT_EQ(c->expiresDate(), 4116219494.0);
    EXPECT_FALSE(c->isSessionOnly());

    const auto hostOnly = parse("a=1");
    ASSERT_TRUE(hostOnly);
    EXPECT_EQ(hostOnly->domain(), "portal.example.test");
    EXPECT_TRUE(hostOnly->isHostOnly());
    EXPECT_EQ(hostOnly->path(), "/app");
    EXPECT_TRUE(hostOnly->isSessionOnly());
}

TEST(HTTPCookie, DomainAndPathRulesWhenSetting) {
    struct Case {
        const char* setCookie;
        const char* from;
        std::optional<std::string> domain; // none: refused
        std::string path;
    };
    const Case cases[] = {
        {"a=1; Domain=example.test", "https://portal.example.test/", ".example.test", "/"},
        {"a=1; Domain=portal.example.test", "https://portal.example.test/", ".portal.example.test", "/"},
        {"a=1; Domain=other.test", "https://portal.example.test/", std::nullopt, ""},
        {"a=1; Domain=xample.test", "https://portal.example.test/", std::nullopt, ""},
        {"a=1; Domain=sub.portal.example.test", "https://portal.example.test/", std::nullopt, ""},
        {"a=1; Domain=test", "https://portal.example.test/", std::nullopt, ""},
        {"a=1; Domain=co.uk", "https://shop.co.uk/", std::nullopt, ""},
        {"a=1; Domain=.com", "https://www.site.com/", std::nullopt, ""},
        {"a=1; Domain=github.io", "https://me.github.io/", std::nullopt, ""},
        {"a=1; Domain=github.io", "https://github.io/", "github.io", "/"},
        {"a=1; Domain=", "https://portal.example.test/x/y", "portal.example.test", "/x"},
        {"a=1; Path=relative", "https://portal.example.test/x/y", "portal.example.test", "/x"},
        {"a=1", "https://portal.example.test", "portal.example.test", "/"},
        {"a=1", "https://portal.example.test/file", "portal.example.test", "/"},
        {"a=1; Domain=127.0.0.1", "http://127.0.0.1/", "127.0.0.1", "/"},
        {"a=1; Domain=0.0.1", "http://127.0.0.1/", std::nullopt, ""},
        {"noequals", "https://portal.example.test/", std::nullopt, ""},
        {"=value", "https://portal.example.test/", std::nullopt, ""},
        {"a=1", "file:///tmp/x", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        const auto cookie = parse(c.setCookie, c.from);
        if (!c.domain) {
            EXPECT_FALSE(cookie) << c.setCookie << " from " << c.from;
            continue;
        }
        ASSERT_TRUE(cookie) << c.setCookie << " from " << c.from;
        EXPECT_EQ(cookie->domain(), *c.domain) << c.setCookie;
        EXPECT_EQ(cookie->path(), c.path) << c.setCookie;
    }
}

TEST(HTTPCookie, ExpiryFromMaxAgeAndDates) {
    const double now = Clock::now();
    EXPECT_EQ(parse("a=1; Max-Age=60; Expires=Wed, 09 Jun 2100 10:18:14 GMT")->expiresDate(), now + 60);
    EXPECT_TRUE(parse("a=1; Max-Age=0")->isExpired(now));
    EXPECT_TRUE(parse("a=1; Max-Age=-5")->isExpired(now));
    const auto ages = parse("a=1; Max-Age=" + std::string(400, '9'))->expiresDate();
    EXPECT_TRUE(ages && std::isfinite(*ages) && *ages > now + 1e9);
    EXPECT_TRUE(parse("a=1; Max-Age=1x")->isSessionOnly());
    EXPECT_TRUE(parse("a=1; Expires=not a date")->isSessionOnly());

    const std::pair<const char*, std::optional<double>> dates[] = {
        {"Wed, 09 Jun 2021 10:18:14 GMT", 1623233894},
        {"Wednesday, 09-Jun-21 10:18:14 GMT", 1623233894},
        {"Wed Jun  9 10:18:14 2021", 1623233894},
        {"09 jun 2021 10:18:14", 1623233894},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"Wed, 31 Feb 2021 10:18:14 GMT", std::nullopt},
        {"Wed, 09 Jun 2021 24:00:00 GMT", std::nullopt},
        {"Wed, 09 Jun 1600 10:18:14 GMT", std::nullopt},
        {"Wed, 09 Jun 2021", std::nullopt},
    };
    for (const auto& [text, expected] : dates) {
        EXPECT_EQ(cookie_rules::parseCookieDate(text), expected) << text;
    }
}

TEST(HTTPCookie, SplitsJoinedSetCookieFields) {
    const HTTPHeaderFields headers{{"Set-Cookie", "a=1; Expires=Wed, 09 Jun 2100 10:18:14 GMT; Path=/"},
                                   {"set-cookie", "b=2"},
                                   {"Set-Cookie", "c=3; expires=Wed Jun  9 10:18:14 2100"},
                                   {"Set-Cookie", "bad; d"},
                                   {"Set-Cookie", "e=5; Domain=elsewhere.test"},
                                   {"Set-Cookie", "f=6"},
                                   {"Set-Cookie", "g=x,y; Path=/"}};
    const auto cookies =
        HTTPCookie::cookiesWithResponseHeaderFields(headers, url("https://portal.example.test/"));
    EXPECT_EQ(names(cookies), (std::vector<std::string>{"a", "b", "c", "f", "g"}));
    EXPECT_EQ(cookies[4].value(), "x,y");
    EXPECT_FALSE(cookies[0].isSessionOnly());
    EXPECT_FALSE(cookies[2].isSessionOnly());

    EXPECT_EQ(HTTPCookie::requestHeaderFieldsWithCookies(cookies).value("Cookie"),
              "a=1; b=2; c=3; f=6; g=x,y");
    EXPECT_TRUE(HTTPCookie::requestHeaderFieldsWithCookies({}).empty());
}

TEST(HTTPCookie, MakeRefusesCookiesThatCannotTravel) {
    HTTPCookie::Properties p{.name = "a", .value = "1", .domain = "portal.example.test"};
    EXPECT_TRUE(HTTPCookie::make(p));
    for (auto change : std::vector<std::function<void(HTTPCookie::Properties&)>>{
             [](auto& q) { q.name = ""; },
             [](auto& q) { q.name = "a;b"; },
             [](auto& q) { q.name = "a=b"; },
             [](auto& q) { q.value = "x\r\nSet-Cookie: y"; },
             [](auto& q) { q.value = "x;y"; },
             [](auto& q) { q.domain = ""; },
             [](auto& q) { q.path = "relative"; },
         }) {
        auto q = p;
        change(q);
        EXPECT_FALSE(HTTPCookie::make(q));
    }
    auto fromOrigin = p;
    fromOrigin.domain = "";
    fromOrigin.originURL = url("https://Portal.Example.test/x");
    EXPECT_EQ(HTTPCookie::make(fromOrigin)->domain(), "portal.example.test");
}

class CookieStorageTest : public ::testing::Test {
protected:
    HTTPCookieStorage jar;

    void set(const char* setCookie, const char* from) {
        const auto c = HTTPCookie::parseSetCookie(setCookie, url(from));
        ASSERT_TRUE(c) << setCookie;
        jar.setCookie(*c);
    }
    std::vector<std::string> sentTo(const char* to) { return names(jar.cookies(url(to))); }
};

TEST_F(CookieStorageTest, HostOnlyAndDomainCookiesReachTheRightHosts) {
    set("host=1", "https://portal.example.test/");
    set("dom=1; Domain=example.test", "https://portal.example.test/");
    set("other=1", "https://tracker.test/");
    EXPECT_EQ(sentTo("https://portal.example.test/"), (std::vector<std::string>{"host", "dom"}));
    EXPECT_EQ(sentTo("https://PORTAL.example.test/"), (std::vector<std::string>{"host", "dom"}));
    EXPECT_EQ(sentTo("https://api.example.test/"), (std::vector<std::string>{"dom"}));
    EXPECT_EQ(sentTo("https://example.test/"), (std::vector<std::string>{"dom"}));
    EXPECT_EQ(sentTo("https://a.portal.example.test/"), (std::vector<std::string>{"dom"}));
    EXPECT_TRUE(sentTo("https://badexample.test/").empty());
    EXPECT_TRUE(sentTo("https://example.test.evil/").empty());
    EXPECT_EQ(sentTo("https://tracker.test/"), (std::vector<std::string>{"other"}));
}

TEST_F(CookieStorageTest, RefusesDomainCookiesForPublicSuffixesEvenWhenMadeDirectly) {
    for (const char* domain : {".test", ".co.uk", ".com"}) {
        jar.setCookie(*HTTPCookie::make({.name = "x", .value = "1", .domain = domain}));
    }
    EXPECT_TRUE(jar.cookies().empty());
}

TEST_F(CookieStorageTest, PathMatching) {
    set("root=1; Path=/", "https://portal.example.test/");
    set("docs=1; Path=/docs", "https://portal.example.test/");
    set("slash=1; Path=/docs/", "https://portal.example.test/");
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"https://portal.example.test", {"root"}},
        {"https://portal.example.test/docs", {"docs", "root"}},
        {"https://portal.example.test/docs/", {"slash", "docs", "root"}},
        {"https://portal.example.test/docs/a", {"slash", "docs", "root"}},
        {"https://portal.example.test/docsx", {"root"}},
        {"https://portal.example.test/Docs", {"root"}},
        {"https://portal.example.test/docs?x=/docs/", {"docs", "root"}},
    };
    for (const auto& [to, expected] : cases) {
        EXPECT_EQ(sentTo(to), expected) << to;
    }
}

TEST_F(CookieStorageTest, SecureCookiesOnlyOverHTTPS) {
    set("s=1; Secure", "https://portal.example.test/");
    set("p=1", "https://portal.example.test/");
    EXPECT_EQ(sentTo("https://portal.example.test/"), (std::vector<std::string>{"s", "p"}));
    EXPECT_EQ(sentTo("http://portal.example.test/"), (std::vector<std::string>{"p"}));
}

TEST_F(CookieStorageTest, ExpiryFollowsTheClockAndExpiredCookiesDelete) {
    set("short=1; Max-Age=10", "https://portal.example.test/");
    set("long=1; Max-Age=1000", "https://portal.example.test/");
    set("session=1", "https://portal.example.test/");
    Virtual::advanceBy(11);
    EXPECT_EQ(sentTo("https://portal.example.test/"), (std::vector<std::string>{"long", "session"}));
    set("long=gone; Max-Age=0", "https://portal.example.test/");
    set("session=gone; Expires=Thu, 01 Jan 1970 00:00:00 GMT", "https://portal.example.test/");
    EXPECT_TRUE(jar.cookies().empty());
}

TEST_F(CookieStorageTest, OrderIsLongerPathThenOlderAndReplacementKeepsAge) {
    set("old=1", "https://portal.example.test/");
    Virtual::advanceBy(1);
    set("deep=1; Path=/a/b", "https://portal.example.test/");
    set("young=1", "https://portal.example.test/");
    set("mid=1; Path=/a", "https://portal.example.test/");
    Virtual::advanceBy(1);
    set("old=2", "https://portal.example.test/");
    EXPECT_EQ(sentTo("https://portal.example.test/a/b/c"),
              (std::vector<std::string>{"deep", "mid", "old", "young"}));
    EXPECT_EQ(jar.cookies(url("https://portal.example.test/"))[0].value(), "2");
    // The same name under another path is another cookie.
    set("old=3; Path=/a", "https://portal.example.test/");
    EXPECT_EQ(jar.cookies().size(), 5u);
    jar.deleteCookie(*HTTPCookie::parseSetCookie("old=x; Path=/a", url("https://portal.example.test/")));
    EXPECT_EQ(jar.cookies().size(), 4u);
}

TEST_F(CookieStorageTest, AcceptPolicy) {
    const auto tracker = *HTTPCookie::parseSetCookie("t=1", url("https://tracker.test/"));
    const auto api =
        *HTTPCookie::parseSetCookie("a=1; Domain=example.test", url("https://api.example.test/"));
    const auto portal = url("https://portal.example.test/");

    jar.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::onlyFromMainDocumentDomain);
    jar.setCookies({tracker, api}, url("https://tracker.test/"), portal);
    EXPECT_EQ(names(jar.cookies()), (std::vector<std::string>{"a"}));
    jar.setCookies({tracker}, url("https://tracker.test/"), std::nullopt);
    EXPECT_EQ(jar.cookies().size(), 2u);

    HTTPCookieStorage closed;
    closed.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::never);
    closed.setCookie(api);
    closed.setCookies({api}, std::nullopt, std::nullopt);
    EXPECT_TRUE(closed.cookies().empty());
}

TEST(CookiePersistence, OnlyCookiesWithAnExpiryOutliveTheProcess) {
    test::TempAppHome home;
    const std::string path = AppHome::cookies() + "/shared.cookies";
    {
        auto& jar = HTTPCookieStorage::shared();
        const auto from = url("https://portal.example.test/");
        jar.setCookies(HTTPCookie::cookiesWithResponseHeaderFields(
                           HTTPHeaderFields{{"Set-Cookie", "keep=secret-value; Max-Age=3600; HttpOnly"},
                                            {"Set-Cookie", "session=1"},
                                            {"Set-Cookie", "brief=1; Max-Age=5"}},
                           from),
                       from, std::nullopt);
        EXPECT_EQ(HTTPCookieStorage::sharedPointer().get(), &jar);
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Virtual::advanceBy(10);
    HTTPCookieStorage relaunched(path);
    const auto cookies = relaunched.cookies();
    ASSERT_EQ(names(cookies), (std::vector<std::string>{"keep"}));
    EXPECT_EQ(cookies[0].value(), "secret-value");
    EXPECT_TRUE(cookies[0].isHTTPOnly());
    EXPECT_EQ(cookies[0].creationTime(), HTTPCookieStorage::shared().cookies()[0].creationTime());

    relaunched.deleteCookie(cookies[0]);
    EXPECT_TRUE(HTTPCookieStorage(path).cookies().empty());
}

TEST(CookiePersistence, ADamagedFileGivesAnEmptyJar) {
    test::TempAppHome home;
    const std::string path = AppHome::cookies() + "/damaged.cookies";
    std::ofstream(path) << "{\"cookies\": [ {\"name\": 1}, ";
    HTTPCookieStorage jar(path);
    EXPECT_TRUE(jar.cookies().empty());
    std::ofstream(path)
        << R"({"version":1,"cookies":[{"name":"a","domain":".test","expires":9e12},7,{"name":1},)"
           R"({"name":"c","domain":"portal.example.test","expires":"soon"},)"
           R"({"name":"b","value":"2","domain":"portal.example.test","path":"/","expires":9e12}]})";
    EXPECT_EQ(names(HTTPCookieStorage(path).cookies()), (std::vector<std::string>{"b"}));
}

} // namespace
} // namespace plat
