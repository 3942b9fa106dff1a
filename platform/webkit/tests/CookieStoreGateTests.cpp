// The web views' cookie store exists from OS 11 on: below, its class is absent and asking the data store
// for it raises as the device does, while the web views keep loading pages into the same jar.

#include "platform/webkit/tests/WebTestSupport.hpp"

#include "platform/device/Boot.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/webkit/WKWebsiteDataStore.hpp"
#include "platform/webkit/WebPageTable.hpp"
#include "testing/TempAppHome.hpp"

namespace plat::test {
namespace {

class WebCookieStoreGate : public ::testing::Test {
protected:
    void bootAt(const char* version) {
        DeviceConfig config;
        config.appHome = temp.home();
        config.osVersion = version;
        ASSERT_TRUE(boot(config).ok());
    }
    std::optional<HTTPCookie> cookie(const std::string& name) {
        HTTPCookie::Properties p;
        p.name = name;
        p.value = "v";
        p.domain = "portal.example.test";
        return HTTPCookie::make(p);
    }
    TempAppHome temp;
};

TEST_F(WebCookieStoreGate, TheStoreExistsFromOS11AndFollowsVersionChanges) {
    // Booted below 11 before the web framework is first used: its classes register after the profile ran.
    bootAt("10.3");
    auto store = WKWebsiteDataStore::defaultDataStore();
    ASSERT_TRUE(store);
    EXPECT_EQ(rt::getClass("WKHTTPCookieStore"), nullptr);
    store->cookieStorage()->setCookie(*cookie("PHPSESSID"));

    struct Case {
        const char* version;
        bool present;
    } cases[] = {{"10.3", false}, {"12.0", true}, {"10.0", false}, {"11.0", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        ASSERT_TRUE(sim::Device::setOsVersion(c.version).ok());
        EXPECT_EQ(rt::getClass("WKHTTPCookieStore") != nullptr, c.present);
        if (!c.present) {
            try {
                (void)store->httpCookieStore();
                ADD_FAILURE() << "the call has no method below OS 11";
            } catch (const Exception& e) {
                EXPECT_EQ(e.name(), NSInvalidArgumentException);
                EXPECT_NE(e.reason().find("-[WKWebsiteDataStore httpCookieStore]: unrecognized selector"),
                          std::string::npos)
                    << e.reason();
            }
            continue;
        }
        std::optional<std::vector<HTTPCookie>> all;
        store->httpCookieStore().getAllCookies([&](std::vector<HTTPCookie> got) { all = std::move(got); });
        Virtual::runUntilIdle();
        ASSERT_TRUE(all);
        ASSERT_EQ(all->size(), 1u) << "the jar the store shows is the one kept below 11";
        EXPECT_EQ((*all)[0].name(), "PHPSESSID");
    }
}

TEST_F(WebCookieStoreGate, WebViewsStillLoadBelowOS11) {
    bootAt("10.3");
    sim::Web::pages().enable();
    sim::Web::pages().set("https://portal.example.test/", sim::WebPage::html("<title>Portal</title>"));
    WebHarness h;
    h.view->load(URLRequest(u("https://portal.example.test/")));
    Virtual::runUntilIdle();
    EXPECT_EQ(h.view->title(), "Portal");
    EXPECT_EQ(h.events().back(), "finish");
    EXPECT_EQ(rt::getClass("WKHTTPCookieStore"), nullptr);
    EXPECT_NE(rt::getClass("WKWebView"), nullptr);
}

} // namespace
} // namespace plat::test
