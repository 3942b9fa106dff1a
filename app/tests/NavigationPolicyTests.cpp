// The screen as its web views' delegate: which navigations stay in the app, which go to the system and
// which are dropped, with the exact console trace; the load-state steps; JavaScript panels; the page's
// windows opening and closing.

#include "app/tests/ScreenFixture.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/net/URLError.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace screen_test {
namespace {

using plat::Virtual;
using plat::sim::ConsoleCapture;
using plat::sim::WebRecorder;

constexpr const char* kHyphens = "-------------------------------------------------------------------------";

std::string trace(const std::string& url, const std::string& host, bool clicked) {
    return "\"URL: " + url + "\"\n\"HOST: " + host + "\"\n\"USER CLICKED: " + (clicked ? "true" : "false") +
           "\"\n\"" + kHyphens + "\"\n";
}

std::vector<plat::sim::OpenedURL> openedSince(size_t before) {
    auto all = plat::sim::App::recorder().openedURLs();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end()};
}

enum class How { click, script, submit };

struct PolicyCase {
    const char* name;
    How how;
    std::string url;
    bool allowed;
    std::optional<std::string> tracedHost; // none: no trace printed
    std::optional<std::string> openedOutside;
    bool openedLegacy = true;
};

void PrintTo(const PolicyCase& c, std::ostream* os) {
    *os << c.name;
}

class PolicyTest : public ScreenTest, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(PolicyTest, DecidesOnceAndTracesAndOpensAsExpected) {
    const PolicyCase& c = GetParam();
    plat::sim::Web::pages().set("https://intranet.portal.example.test/wiki",
                                plat::sim::WebPage::html("wiki"));
    plat::sim::Web::pages().set("https://elsewhere.example.net/page", plat::sim::WebPage::html("elsewhere"));
    plat::sim::Web::pages().set("https://forms.example.net/post", plat::sim::WebPage::html("posted"));
    auto screen = showFirstScreen();
    plat::sim::Web web(screen->wkWebView());
    const size_t openedBefore = plat::sim::App::recorder().openedURLs().size();

    ConsoleCapture console;
    switch (c.how) {
    case How::click:
        web.clickLink(c.url);
        break;
    case How::script:
        web.scriptNavigate(c.url);
        break;
    case How::submit:
        web.submitForm(c.url, "POST", {{"q", "1"}});
        break;
    }
    Virtual::runUntilIdle();

    auto decided = lastNavigationTo(c.url);
    ASSERT_TRUE(decided);
    EXPECT_EQ(decided->allowed, c.allowed);
    const bool clicked = c.how == How::click;
    EXPECT_EQ(console.out(), c.tracedHost ? trace(c.url, *c.tracedHost, clicked) : "");

    const auto opened = openedSince(openedBefore);
    if (c.openedOutside) {
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0].url, *c.openedOutside);
        EXPECT_EQ(opened[0].legacy, c.openedLegacy);
    } else {
        EXPECT_TRUE(opened.empty()) << opened.front().url;
    }
    EXPECT_EQ(pageURL(screen->wkWebView()), c.allowed && c.url.starts_with("https") ? c.url : kLogin);
}

INSTANTIATE_TEST_SUITE_P(
    Links, PolicyTest,
    ::testing::Values(
        PolicyCase{"PortalLink", How::click, kNews, true, "portal.example.test", std::nullopt},
        PolicyCase{"SubDomainLink", How::click, "https://intranet.portal.example.test/wiki", true,
                   "intranet.portal.example.test", std::nullopt},
        PolicyCase{"LookAlikeHostLeavesTheApp", How::click, "https://portal.example.test.attacker.net/login",
                   false, std::nullopt, "https://portal.example.test.attacker.net/login"},
        PolicyCase{"HostEndingInHomeHostTextWithoutDotLeaves", How::click,
                   "https://evilportal.example.test/x", false, std::nullopt,
                   "https://evilportal.example.test/x"},
        PolicyCase{"ForeignLinkWithPortalRootInQueryGoesOut", How::click,
                   "https://attacker.net/?next=https://portal.example.test", false, std::nullopt,
                   "https://attacker.net/?next=https://portal.example.test"},
        PolicyCase{"ExternalSiteLinkOpensOutside", How::click, "https://www.example.test/about", false,
                   std::nullopt, "https://www.example.test/about"},
        PolicyCase{"PortalLinkToExternalSiteAddressIsTracedAndOpensOutside", How::click,
                   "https://portal.example.test/go?to=https://www.example.test", false, "portal.example.test",
                   "https://portal.example.test/go?to=https://www.example.test"},
        PolicyCase{"ScriptNavigationToExternalSite", How::script, "https://www.example.test/", false,
                   "www.example.test", "https://www.example.test/"},
        PolicyCase{"MailtoOpensInSystemAndIsAllowed", How::click, "mailto:someone@example.test", true,
                   std::nullopt, "mailto:someone@example.test", false},
        PolicyCase{"TelephoneLinkIsDroppedAndNotOpened", How::click, "tel:+4912345", false, std::nullopt,
                   std::nullopt},
        PolicyCase{"PlainHttpLinkAwayOpensOutside", How::click, "http://other.example.net/", false,
                   std::nullopt, "http://other.example.net/"},
        PolicyCase{"ScriptNavigationToOtherHostStays", How::script, "https://elsewhere.example.net/page",
                   true, "elsewhere.example.net", std::nullopt},
        PolicyCase{"FormSubmitToOtherHostStays", How::submit, "https://forms.example.net/post", true,
                   "forms.example.net", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct HostCase {
    const char* host;
    bool home;
};

void PrintTo(const HostCase& c, std::ostream* os) {
    *os << '"' << c.host << '"';
}

class HomeHostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(HomeHostTest, IsTheHomeHostOrOneOfItsSubDomains) {
    EXPECT_EQ(ViewController::isHomeHost(GetParam().host, "portal.example.test"), GetParam().home)
        << GetParam().host;
}

INSTANTIATE_TEST_SUITE_P(Hosts, HomeHostTest,
                         ::testing::Values(HostCase{"portal.example.test", true},
                                           HostCase{"PORTAL.Example.Test", true},
                                           HostCase{"a.b.portal.example.test", true},
                                           HostCase{"portal.example.test.attacker.net", false},
                                           HostCase{"evilportal.example.test", false},
                                           HostCase{"example.test", false}, HostCase{"", false}));

TEST_F(ScreenTest, LinkToThePortalRootOnAnotherHomeHostStaysOnlyOnTheSameOrigin) {
    // The home host and the built-in portal root differ here, so the root list decides.
    configure(
        R"({"base_url": "https://portal.example.test", "base_url_home_host": "intranet.example.test"})");
    plat::sim::Web::pages().set("https://portal.example.test/x", plat::sim::WebPage::html("x"));
    auto screen = showFirstScreen();
    plat::sim::Web web(screen->wkWebView());

    struct Case {
        std::string url;
        bool allowed;
    };
    const std::vector<Case> cases{{"https://portal.example.test/x", true},
                                  {"https://portal.example.test:443/x", true},
                                  {"http://portal.example.test/x", false},
                                  {"https://portal.example.test:8443/x", false},
                                  {"https://portal.example.test.attacker.net/x", false}};
    ConsoleCapture console;
    for (const auto& c : cases) {
        web.clickLink(c.url);
        Virtual::runUntilIdle();
        auto decided = lastNavigationTo(c.url);
        ASSERT_TRUE(decided) << c.url;
        EXPECT_EQ(decided->allowed, c.allowed) << c.url;
    }
    EXPECT_EQ(console.out(), "") << "links away from the home host are never traced";
}

TEST_F(ScreenTest, WithoutAHomeHostEveryLinkIsTracedAndStays) {
    configure(R"({"base_url": "https://portal.example.test"})");
    plat::sim::Web::pages().set("https://attacker.net/x", plat::sim::WebPage::html("x"));
    auto screen = showFirstScreen();
    ConsoleCapture console;
    plat::sim::Web(screen->wkWebView()).clickLink("https://attacker.net/x");
    Virtual::runUntilIdle();
    EXPECT_EQ(lastNavigationTo("https://attacker.net/x")->allowed, true);
    EXPECT_EQ(console.out(), trace("https://attacker.net/x", "attacker.net", true));
}

TEST_F(ScreenTest, MailtoTheSystemCannotOpenIsDroppedAndNothingOpens) {
    plat::sim::App::setCanOpenURL("mailto", false);
    auto screen = showFirstScreen();
    const size_t openedBefore = plat::sim::App::recorder().openedURLs().size();
    plat::sim::Web(screen->wkWebView()).clickLink("mailto:someone@example.test");
    Virtual::runUntilIdle();
    EXPECT_EQ(lastNavigationTo("mailto:someone@example.test")->allowed, false);
    EXPECT_TRUE(openedSince(openedBefore).empty());
}

TEST_F(ScreenTest, MailtoBelowOS10IsOpenedWithTheLegacyCall) {
    ASSERT_TRUE(plat::sim::Device::setOsVersion("9.3"));
    auto screen = showFirstScreen();
    ASSERT_EQ(screen->wkWebView(), nullptr);
    // No policy below 10.0; the policy method itself still chooses the legacy opener there.
    const size_t openedBefore = plat::sim::App::recorder().openedURLs().size();
    int decisions = 0;
    plat::WKNavigationAction action{plat::URLRequest(plat::URL::parse("mailto:a@example.test")),
                                    plat::WKNavigationType::linkActivated, std::nullopt, plat::WKFrameInfo{}};
    screen->webView_decidePolicyForNavigationAction(nullptr, action, [&](plat::WKNavigationActionPolicy p) {
        ++decisions;
        EXPECT_EQ(p, plat::WKNavigationActionPolicy::allow);
    });
    EXPECT_EQ(decisions, 1);
    const auto opened = openedSince(openedBefore);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].legacy);
}

TEST_F(ScreenTest, ActionWithoutURLIsCancelledWithoutTrace) {
    auto screen = showFirstScreen();
    ConsoleCapture console;
    std::vector<plat::WKNavigationActionPolicy> decisions;
    plat::WKNavigationAction action{plat::URLRequest(), plat::WKNavigationType::linkActivated, std::nullopt,
                                    plat::WKFrameInfo{}};
    plat::rt::msgSend(screen, plat::WKSelector::decidePolicyForNavigationAction,
                      plat::rt::ObjectPtr(screen->wkWebView()), action,
                      plat::WKNavigationActionDecisionHandler(
                          [&](plat::WKNavigationActionPolicy p) { decisions.push_back(p); }));
    EXPECT_EQ(decisions, std::vector{plat::WKNavigationActionPolicy::cancel});
    EXPECT_EQ(console.out(), "");
}

TEST_F(ScreenTest, PortalPageToExternalSitePopsTheWindowScreenAndOpensOutside) {
    auto first = showFirstScreen();
    plat::sim::Web(first->wkWebView()).windowOpen(kNews);
    Virtual::runUntilIdle();
    ASSERT_EQ(navigation->viewControllers().size(), 2u);
    auto second = std::dynamic_pointer_cast<ViewController>(navigation->viewControllers()[1]);
    std::weak_ptr<ViewController> gone = second;
    const size_t openedBefore = plat::sim::App::recorder().openedURLs().size();

    plat::sim::Web(second->wkWebView()).scriptNavigate("https://www.example.test/");
    second.reset();
    Virtual::runUntilIdle();

    EXPECT_EQ(screenClasses(*navigation), std::vector<std::string>{"ViewController"});
    EXPECT_EQ(navigation->viewControllers()[0], first);
    EXPECT_EQ(lastNavigationTo("https://www.example.test/")->allowed, false);
    const auto opened = openedSince(openedBefore);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].url, "https://www.example.test/");
    EXPECT_TRUE(gone.expired()) << "the popped screen is released";
}

// ---- load state --------------------------------------------------------------------------------------

struct LoadCase {
    const char* name;
    const char* os;
    bool fails;
    std::optional<uint32_t> flags;
    bool connectionLostHidden;
    bool pageViewHidden; // the WKWebView from 10.0, else the storyboard's UIWebView
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

class LoadStateTest : public ScreenTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadStateTest, EndOfTheFirstLoadSetsIndicatorsAndOfflineView) {
    const LoadCase& c = GetParam();
    ASSERT_TRUE(plat::sim::Device::setOsVersion(c.os));
    plat::sim::Network::setReachability(c.flags);
    if (c.fails) {
        plat::sim::Web::pages().set(kLogin,
                                    plat::sim::WebPage::failing(plat::NSURLErrorNotConnectedToInternet));
    }
    auto screen = showFirstScreen();

    EXPECT_FALSE(screen->activityIndicatorView()->isAnimating());
    EXPECT_FALSE(screen->refreshControl()->isRefreshing());
    EXPECT_FALSE(plat::UIApplication::sharedApplication()->isNetworkActivityIndicatorVisible());
    EXPECT_EQ(screen->connectionLostView()->isHidden(), c.connectionLostHidden);
    if (auto wk = screen->wkWebView()) {
        EXPECT_EQ(wk->isHidden(), c.pageViewHidden);
        EXPECT_FALSE(screen->webView()->isHidden()) << "the placeholder is left alone";
    } else {
        EXPECT_EQ(screen->webView()->isHidden(), c.pageViewHidden);
    }
}

constexpr uint32_t kReachable = plat::kReachabilityFlagsReachable;
constexpr uint32_t kNeedsConnection =
    plat::kReachabilityFlagsReachable | plat::kReachabilityFlagsConnectionRequired;

INSTANTIATE_TEST_SUITE_P(
    Loads, LoadStateTest,
    ::testing::Values(LoadCase{"FinishOnline", "12.4", false, kReachable, true, false},
                      LoadCase{"FinishWhileFlagsSayOffline", "12.4", false, 0, true, false},
                      LoadCase{"FailOnline", "12.4", true, kReachable, true, false},
                      LoadCase{"FailOffline", "12.4", true, 0, false, true},
                      LoadCase{"FailConnectionRequired", "12.4", true, kNeedsConnection, false, true},
                      LoadCase{"FailFlagsUnreadable", "12.4", true, std::nullopt, false, true},
                      LoadCase{"LegacyFinish", "9.3", false, kReachable, true, false},
                      LoadCase{"LegacyFailOnline", "9.3", true, kReachable, true, false},
                      LoadCase{"LegacyFailOfflineLeavesTheWebViewShown", "9.3", true, 0, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScreenTest, FailureStepsRunInOrderSpinnerThenOfflineViewThenWebView) {
    plat::sim::Network::setReachability(0);
    plat::sim::Web::pages().set(kLogin, plat::sim::WebPage::failing(plat::NSURLErrorNotConnectedToInternet));
    configure();
    const size_t before = plat::sim::App::recorder().hiddenChanges().size();
    showFirstScreen();
    auto changes = plat::sim::App::recorder().hiddenChanges();
    changes.erase(changes.begin(), changes.begin() + static_cast<std::ptrdiff_t>(before));
    ASSERT_GE(changes.size(), 3u);
    const std::vector<std::pair<std::string, bool>> tail(changes.end() - 3, changes.end());
    EXPECT_EQ(tail, (std::vector<std::pair<std::string, bool>>{
                        {"UIActivityIndicatorView", true}, {"UIView", false}, {"WKWebView", true}}));
}

TEST_F(ScreenTest, NetworkActivityIndicatorFollowsCommitAndFinish) {
    auto held = plat::sim::WebPage::html("<title>slow</title>");
    held.holdAfterCommit = true;
    plat::sim::Web::pages().set(kNews, held);
    auto screen = showFirstScreen();
    auto app = plat::UIApplication::sharedApplication();
    plat::sim::Web web(screen->wkWebView());

    web.clickLink(kNews);
    Virtual::runUntilIdle();
    EXPECT_TRUE(app->isNetworkActivityIndicatorVisible()) << "on at commit";
    EXPECT_TRUE(web.finishLoad());
    EXPECT_FALSE(app->isNetworkActivityIndicatorVisible());
}

TEST_F(ScreenTest, LegacyWebViewStartTurnsTheNetworkIndicatorOnAndAllowsEveryLoad) {
    ASSERT_TRUE(plat::sim::Device::setOsVersion("9.3"));
    auto held = plat::sim::WebPage::html("<title>slow</title>");
    held.holdAfterCommit = true;
    plat::sim::Web::pages().set("https://attacker.net/x", held);
    auto screen = showFirstScreen();
    auto app = plat::UIApplication::sharedApplication();
    plat::sim::Web web(screen->webView());

    ConsoleCapture console;
    web.clickLink("https://attacker.net/x");
    Virtual::runUntilIdle();
    EXPECT_TRUE(app->isNetworkActivityIndicatorVisible());
    EXPECT_EQ(screen->webView()->url()->absoluteString(), "https://attacker.net/x") << "no policy below 10.0";
    EXPECT_TRUE(web.finishLoad());
    EXPECT_FALSE(app->isNetworkActivityIndicatorVisible());
    EXPECT_EQ(console.out(), "");
}

// ---- JavaScript panels -------------------------------------------------------------------------------

TEST_F(ScreenTest, AlertPanelShowsFrameHostAndAnswersWhenTapped) {
    auto screen = showFirstScreen();
    plat::sim::Web web(screen->wkWebView());
    const auto index = web.raiseAlert("Saved");
    Virtual::runUntilIdle();

    const auto alert = plat::sim::App::recorder().alerts().back();
    EXPECT_EQ(alert.title, "portal.example.test");
    EXPECT_EQ(alert.message, "Saved");
    EXPECT_EQ(alert.actions, std::vector<std::string>{"OK"});
    EXPECT_TRUE(alert.shown);
    EXPECT_FALSE(WebRecorder::shared().panels().at(index).answered) << "only a tap answers";

    EXPECT_TRUE(plat::sim::App::tapAlertAction("OK"));
    Virtual::runUntilIdle();
    EXPECT_TRUE(WebRecorder::shared().panels().at(index).answered);
}

TEST_F(ScreenTest, ConfirmPanelAnswersTrueForOKAndFalseForCancel) {
    auto screen = showFirstScreen();
    plat::sim::Web web(screen->wkWebView());
    for (const auto& [button, answer] :
         std::vector<std::pair<std::string, bool>>{{"Cancel", false}, {"OK", true}}) {
        const auto index = web.raiseConfirm("Delete?");
        Virtual::runUntilIdle();
        const auto alert = plat::sim::App::recorder().alerts().back();
        EXPECT_EQ(alert.title, "portal.example.test");
        EXPECT_EQ(alert.actions, (std::vector<std::string>{"OK", "Cancel"}));
        ASSERT_TRUE(plat::sim::App::tapAlertAction(button));
        Virtual::runUntilIdle();
        const auto panel = WebRecorder::shared().panels().at(index);
        ASSERT_TRUE(panel.answered) << button;
        EXPECT_EQ(panel.answer, plat::Value(answer)) << button;
    }
}

TEST_F(ScreenTest, PanelGoesOnTopOfWhatTheScreenPresents) {
    auto screen = showFirstScreen();
    auto modal = plat::UIViewController::make();
    ASSERT_TRUE(screen->presentViewController(modal, false));
    const auto index = plat::sim::Web(screen->wkWebView()).raiseAlert("over the modal");
    Virtual::runUntilIdle();
    auto alert = std::dynamic_pointer_cast<plat::UIAlertController>(modal->presentedViewController());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->message(), "over the modal");
    EXPECT_TRUE(plat::sim::App::tapAlertAction("OK"));
    EXPECT_TRUE(WebRecorder::shared().panels().at(index).answered);
}

TEST_F(ScreenTest, PanelFromAFrameWithoutHostHasNoTitle) {
    auto screen = showFirstScreen();
    int calls = 0;
    const plat::WKFrameInfo frame{true, plat::URLRequest(plat::URL::parse("about:blank"))};
    plat::rt::msgSend(screen, plat::WKSelector::runAlertPanel, plat::rt::ObjectPtr(screen->wkWebView()),
                      std::string("hello"), frame, std::function<void()>([&] { ++calls; }));
    EXPECT_EQ(plat::sim::App::recorder().alerts().back().title, "");
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(plat::sim::App::tapAlertAction("OK"));
    EXPECT_EQ(calls, 1);
}

TEST_F(ScreenTest, PanelThatCannotBeShownIsAnsweredAtOnceSoThePageDoesNotHang) {
    configure();
    auto offscreen = newScreen(); // in no window
    const plat::WKFrameInfo frame{true, plat::URLRequest(plat::URL::parse(kNews))};
    int alerts = 0;
    std::vector<bool> confirms;
    offscreen->webView_runJavaScriptAlertPanelWithMessage(nullptr, "a", frame, [&] { ++alerts; });
    offscreen->webView_runJavaScriptConfirmPanelWithMessage(nullptr, "c", frame,
                                                            [&](bool ok) { confirms.push_back(ok); });
    EXPECT_EQ(alerts, 1);
    EXPECT_EQ(confirms, std::vector<bool>{false});
    EXPECT_FALSE(plat::sim::App::recorder().alerts().back().shown);
}

// ---- windows -----------------------------------------------------------------------------------------

TEST_F(ScreenTest, WindowOpenPushesANewScreenThatShowsThePage) {
    auto first = showFirstScreen();
    plat::sim::Web(first->wkWebView()).windowOpen(kNews);
    Virtual::runUntilIdle();

    ASSERT_EQ(screenClasses(*navigation), (std::vector<std::string>{"ViewController", "ViewController"}));
    auto second = std::dynamic_pointer_cast<ViewController>(navigation->viewControllers()[1]);
    EXPECT_EQ(second->request().url()->absoluteString(), kNews);
    ASSERT_NE(second->wkWebView(), nullptr);
    EXPECT_EQ(second->wkWebView(), second->initialWebview()) << "the web view returned to the page";
    EXPECT_EQ(second->wkWebView()->navigationDelegate(), second);
    EXPECT_EQ(pageURL(second->wkWebView()), kNews);
    EXPECT_EQ(second->wkWebView()->title(), "News");
    EXPECT_EQ(second->wkWebView()->frame(), first->wkWebView()->frame());
    EXPECT_NE(second->processPool(), first->processPool());
    EXPECT_FALSE(navigation->isNavigationBarHidden()) << "with a back button";
    EXPECT_FALSE(second->shouldHideNavBar());
    EXPECT_EQ(WebRecorder::shared().windowsOpened(), std::vector<std::string>{kNews});
    EXPECT_EQ(pageURL(first->wkWebView()), kLogin);
}

TEST_F(ScreenTest, WindowOpenOnARootScreenWithoutNavigationControllerPushesNothing) {
    auto screen = showRootScreen();
    plat::sim::Web(screen->wkWebView()).windowOpen(kNews);
    Virtual::runUntilIdle();
    EXPECT_EQ(window->rootViewController(), screen);
    EXPECT_TRUE(screen->childViewControllers().empty());
    EXPECT_EQ(pageURL(screen->wkWebView()), kLogin);
}

TEST_F(ScreenTest, NavigationInAnExistingFrameGetsAWebViewButNoScreen) {
    auto screen = showFirstScreen();
    plat::WKNavigationAction action{plat::URLRequest(plat::URL::parse(kNews)), plat::WKNavigationType::other,
                                    plat::WKFrameInfo{}, plat::WKFrameInfo{}};
    auto made = plat::rt::msgSend<plat::rt::ObjectPtr>(
        screen, plat::WKSelector::createWebView, plat::rt::ObjectPtr(screen->wkWebView()),
        plat::WKWebViewConfiguration{}, action, plat::WKWindowFeatures{});
    EXPECT_NE(std::dynamic_pointer_cast<plat::WKWebView>(made), nullptr);
    EXPECT_EQ(navigation->viewControllers().size(), 1u);
}

TEST_F(ScreenTest, WindowCloseReturnsToTheNearestEarlierScreenOnTheMainQueue) {
    auto first = showFirstScreen();
    plat::sim::Web(first->wkWebView()).windowOpen(kNews);
    Virtual::runUntilIdle();
    auto second = std::dynamic_pointer_cast<ViewController>(navigation->viewControllers().at(1));
    plat::sim::Web(second->wkWebView()).windowOpen(kHome);
    Virtual::runUntilIdle();
    ASSERT_EQ(navigation->viewControllers().size(), 3u);
    auto third = std::dynamic_pointer_cast<ViewController>(navigation->viewControllers().at(2));

    plat::sim::Web(third->wkWebView()).windowClose();
    EXPECT_EQ(navigation->viewControllers().size(), 3u) << "the pop is queued";
    Virtual::runUntilIdle();
    EXPECT_EQ(navigation->viewControllers(),
              (std::vector<std::shared_ptr<plat::UIViewController>>{first, second}));

    plat::sim::Web(second->wkWebView()).windowClose();
    Virtual::runUntilIdle();
    EXPECT_EQ(navigation->viewControllers(), std::vector<std::shared_ptr<plat::UIViewController>>{first});
    EXPECT_TRUE(navigation->isNavigationBarHidden()) << "the first screen hides the bar again";
}

TEST_F(ScreenTest, WindowCloseOnTheFirstScreenLoadsTheBaseURL) {
    auto first = showFirstScreen();
    plat::sim::Web(first->wkWebView()).windowClose();
    Virtual::runUntilIdle();
    EXPECT_EQ(pageURL(first->wkWebView()), kBase);
    EXPECT_EQ(navigation->viewControllers().size(), 1u);
}

TEST_F(ScreenTest, WindowCloseOnARootScreenWithoutNavigationControllerLoadsTheBaseURL) {
    auto screen = showRootScreen();
    plat::sim::Web(screen->wkWebView()).windowClose();
    Virtual::runUntilIdle();
    EXPECT_EQ(pageURL(screen->wkWebView()), kBase);
}

TEST_F(ScreenTest, CloseOfAnotherWebViewIsIgnored) {
    auto first = showFirstScreen();
    const auto before = WebRecorder::shared().navigations().size();
    plat::rt::msgSend(first, plat::WKSelector::webViewDidClose, plat::rt::ObjectPtr(plat::WKWebView::make()));
    Virtual::runUntilIdle();
    EXPECT_EQ(WebRecorder::shared().navigations().size(), before);
    EXPECT_EQ(pageURL(first->wkWebView()), kLogin);
}

} // namespace
} // namespace screen_test
