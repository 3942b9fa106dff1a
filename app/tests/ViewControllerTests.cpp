// The web-view screen: its storyboard scene, the choice of web view by OS version, the navigation bar of the
// first and later screens, loading with and without a base URL, pull-to-refresh, the reload button and the
// reachability check.

#include "app/Helper.hpp"
#include "app/tests/ScreenFixture.hpp"
#include "platform/net/URLError.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace screen_test {
namespace {

using plat::Virtual;
using plat::sim::WebRecorder;

TEST_F(ScreenTest, StoryboardScenesAreConnectedAndTheFirstIsANavigationController) {
    configure();
    auto screen = newScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(plat::rt::className(*screen), "ViewController");
    EXPECT_EQ(screen->storyboard()->name(), "Main");
    EXPECT_FALSE(screen->isViewLoaded());
    EXPECT_EQ(screen->request().url()->absoluteString(), kLogin);
    EXPECT_EQ(screen->request().cachePolicy(), plat::URLRequestCachePolicy::useProtocolCachePolicy);
    EXPECT_EQ(screen->request().timeoutInterval(), 60);
    EXPECT_NE(screen->initialWebview(), nullptr);
    EXPECT_NE(screen->processPool(), nullptr);

    // The outlets arrive with the view, connected as the scene says.
    (void)screen->view();
    ASSERT_NE(screen->webView(), nullptr);
    ASSERT_NE(screen->activityIndicatorView(), nullptr);
    ASSERT_NE(screen->connectionLostView(), nullptr);
    EXPECT_EQ(screen->webView()->delegate(), screen);
    auto button = reloadButton(*screen);
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->isDescendantOfView(*screen->connectionLostView()));
    // The platform reaches the outlets by selector too.
    EXPECT_EQ(plat::rt::msgSend<plat::rt::ObjectPtr>(screen, "webView"), screen->webView());

    auto initial = mainStoryboard()->instantiateInitialViewController();
    auto nav = std::dynamic_pointer_cast<plat::UINavigationController>(initial);
    ASSERT_NE(nav, nullptr);
    ASSERT_EQ(screenClasses(*nav), std::vector<std::string>{"ViewController"});
    EXPECT_NE(nav->viewControllers()[0]->storyboard(), nullptr) << "the root screen opens windows from it";
}

TEST_F(ScreenTest, LaunchInstallsTheStoryboardsFirstScreenAndLoadsTheLoginPage) {
    configure();
    plat::rt::registerClass("ScreenTestAppDelegate");
    auto app = plat::sim::App::launch("ScreenTestAppDelegate");
    Virtual::runUntilIdle();
    auto root = app->keyWindow()->rootViewController();
    auto nav = std::dynamic_pointer_cast<plat::UINavigationController>(root);
    ASSERT_NE(nav, nullptr);
    auto first = std::dynamic_pointer_cast<ViewController>(nav->topViewController());
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(nav->isNavigationBarHidden());
    EXPECT_EQ(pageURL(first->wkWebView()), kLogin);
    EXPECT_EQ(first->wkWebView()->title(), "Login");
}

TEST_F(ScreenTest, OnlyTheFirstScreenHidesTheNavigationBar) {
    auto first = showFirstScreen();
    EXPECT_TRUE(first->shouldHideNavBar());
    EXPECT_TRUE(navigation->isNavigationBarHidden());

    auto second = newScreen();
    second->setShouldHideNavBar(true); // what a creator may set; the one-shot flag wins
    navigation->pushViewController(second, true);
    Virtual::runUntilIdle();
    EXPECT_FALSE(second->shouldHideNavBar());
    EXPECT_FALSE(navigation->isNavigationBarHidden()) << "a pushed screen shows its back button";
}

TEST_F(ScreenTest, FromOS10TheScreensOwnWebViewShowsThePageOverThePlaceholder) {
    auto screen = showFirstScreen();
    auto wk = screen->wkWebView();
    ASSERT_NE(wk, nullptr);
    EXPECT_EQ(wk, screen->initialWebview());
    EXPECT_EQ(wk->navigationDelegate(), screen);
    EXPECT_EQ(wk->UIDelegate(), screen);
    EXPECT_TRUE(wk->allowsBackForwardNavigationGestures());
    EXPECT_EQ(screen->webView()->autoresizingMask(), 18u);
    EXPECT_EQ(screen->view()->subviews().back(), wk) << "on top of the storyboard's views";
    ASSERT_NE(screen->refreshControl(), nullptr);
    EXPECT_EQ(screen->refreshControl()->superview(), wk->scrollView());

    EXPECT_EQ(pageURL(wk), kLogin);
    EXPECT_EQ(wk->title(), "Login");
    EXPECT_FALSE(screen->webView()->url()) << "nothing loads into the placeholder";
    EXPECT_FALSE(screen->activityIndicatorView()->isAnimating());

    // The next layout pass moves the page to wherever the placeholder now is.
    const plat::CGRect rotated{{0, 20}, {812, 355}};
    screen->webView()->setFrame(rotated);
    plat::rt::msgSend(screen, "viewDidLayoutSubviews");
    EXPECT_EQ(wk->frame(), rotated);
}

TEST_F(ScreenTest, BelowOS10ThePageLoadsIntoTheStoryboardsWebView) {
    ASSERT_TRUE(plat::sim::Device::setOsVersion("9.3"));
    auto screen = showFirstScreen();
    EXPECT_EQ(screen->wkWebView(), nullptr);
    auto legacy = screen->webView();
    ASSERT_TRUE(legacy->url());
    EXPECT_EQ(legacy->url()->absoluteString(), kLogin);
    EXPECT_EQ(screen->refreshControl()->superview(), legacy->scrollView());
    EXPECT_FALSE(screen->activityIndicatorView()->isAnimating()) << "the finish callback stopped it";
    EXPECT_TRUE(screen->connectionLostView()->isHidden());
    EXPECT_FALSE(legacy->isHidden());
    EXPECT_TRUE(std::none_of(screen->view()->subviews().begin(), screen->view()->subviews().end(),
                             [](const auto& v) { return std::dynamic_pointer_cast<plat::WKWebView>(v); }));
}

TEST_F(ScreenTest, WithoutABaseURLNothingLoadsAndTheSpinnerKeepsSpinning) {
    configure(R"({"base_url_home_host": "portal.example.test"})");
    auto screen = showFirstScreen();
    EXPECT_TRUE(WebRecorder::shared().navigations().empty());
    EXPECT_EQ(pageURL(screen->wkWebView()), "<none>");
    EXPECT_TRUE(screen->activityIndicatorView()->isAnimating());

    // Neither the window-close fallback nor pull-to-refresh has anything to load.
    screen->load(std::nullopt);
    ASSERT_TRUE(plat::sim::App::pullToRefresh());
    Virtual::runUntilIdle();
    EXPECT_TRUE(WebRecorder::shared().navigations().empty());
}

TEST_F(ScreenTest, PullToRefreshAtTheStartOfHistoryLoadsTheStartRequestNotTheShownAddress) {
    // The login page sends the browser on to /home, so the one history entry is not the login page.
    plat::sim::Web::pages().set(kLogin, plat::sim::WebPage::redirect(kHome));
    auto screen = showFirstScreen();
    auto wk = screen->wkWebView();
    ASSERT_EQ(pageURL(wk), kHome);
    ASSERT_FALSE(wk->canGoBack());

    const auto before = WebRecorder::shared().navigations().size();
    ASSERT_TRUE(plat::sim::App::pullToRefresh());
    EXPECT_TRUE(screen->refreshControl()->isRefreshing());
    Virtual::runUntilIdle();
    const auto navigations = WebRecorder::shared().navigations();
    ASSERT_GT(navigations.size(), before);
    EXPECT_EQ(navigations[before].url, kLogin);
    EXPECT_FALSE(screen->refreshControl()->isRefreshing()) << "the finish ends refreshing";
}

TEST_F(ScreenTest, PullToRefreshLaterInTheHistoryReloadsTheShownPage) {
    auto screen = showFirstScreen();
    plat::sim::Web web(screen->wkWebView());
    web.clickLink(kNews);
    Virtual::runUntilIdle();
    ASSERT_EQ(pageURL(screen->wkWebView()), kNews);

    ASSERT_TRUE(plat::sim::App::pullToRefresh());
    Virtual::runUntilIdle();
    const auto last = WebRecorder::shared().navigations().back();
    EXPECT_EQ(last.url, kNews);
    EXPECT_EQ(last.navigationType, static_cast<int64_t>(plat::WKNavigationType::reload));
    EXPECT_FALSE(screen->refreshControl()->isRefreshing());
}

TEST_F(ScreenTest, ReloadButtonDoesNothingWhileUnreachableAndReloadsOnceReachable) {
    plat::sim::Web::pages().set(kLogin, plat::sim::WebPage::failing(plat::NSURLErrorNotConnectedToInternet));
    plat::sim::Network::setReachability(0);
    auto screen = showFirstScreen();
    auto wk = screen->wkWebView();
    ASSERT_FALSE(screen->connectionLostView()->isHidden());
    ASSERT_TRUE(wk->isHidden());
    auto button = reloadButton(*screen);
    ASSERT_NE(button, nullptr);

    const auto before = WebRecorder::shared().navigations().size();
    EXPECT_TRUE(plat::sim::App::tapButton(button));
    Virtual::runUntilIdle();
    EXPECT_EQ(WebRecorder::shared().navigations().size(), before);
    EXPECT_FALSE(screen->connectionLostView()->isHidden());
    EXPECT_TRUE(wk->isHidden());

    plat::sim::Network::setReachability(plat::kReachabilityFlagsReachable);
    plat::sim::Web::pages().set(kLogin, plat::sim::WebPage::html("<title>Login</title>"));
    EXPECT_TRUE(plat::sim::App::tapButton(button));
    EXPECT_FALSE(wk->isHidden()) << "shown at once; the finish hides the offline view";
    EXPECT_FALSE(screen->connectionLostView()->isHidden());
    Virtual::runUntilIdle();
    EXPECT_EQ(wk->title(), "Login");
    EXPECT_TRUE(screen->connectionLostView()->isHidden());
}

TEST_F(ScreenTest, LegacyReloadButtonLoadsTheStartRequestWhenNoPageEverArrived) {
    ASSERT_TRUE(plat::sim::Device::setOsVersion("9.3"));
    plat::sim::Web::pages().set(kLogin, plat::sim::WebPage::failing(plat::NSURLErrorNotConnectedToInternet));
    plat::sim::Network::setReachability(0);
    auto screen = showFirstScreen();
    ASSERT_FALSE(screen->connectionLostView()->isHidden());
    EXPECT_FALSE(screen->webView()->isHidden()) << "the legacy failure leaves the web view as it was";

    auto button = reloadButton(*screen);
    const auto before = WebRecorder::shared().navigations().size();
    EXPECT_TRUE(plat::sim::App::tapButton(button));
    Virtual::runUntilIdle();
    EXPECT_EQ(WebRecorder::shared().navigations().size(), before);

    plat::sim::Network::setReachability(plat::kReachabilityFlagsReachable);
    plat::sim::Web::pages().set(kLogin, plat::sim::WebPage::html("<title>Login</title>"));
    EXPECT_TRUE(plat::sim::App::tapButton(button));
    Virtual::runUntilIdle();
    ASSERT_TRUE(screen->webView()->url());
    EXPECT_EQ(screen->webView()->url()->absoluteString(), kLogin);
    EXPECT_TRUE(screen->connectionLostView()->isHidden());

    // With a page shown, the action reloads that page.
    plat::sim::Web(screen->webView()).clickLink(kNews);
    Virtual::runUntilIdle();
    plat::rt::msgSend(screen, "reloadButtonAction");
    Virtual::runUntilIdle();
    EXPECT_EQ(WebRecorder::shared().navigations().back().url, kNews);
    EXPECT_EQ(WebRecorder::shared().navigations().back().navigationType,
              static_cast<int64_t>(plat::UIWebViewNavigationType::reload));
}

struct FlagsCase {
    const char* name;
    std::optional<uint32_t> flags;
    bool reachable;
};

void PrintTo(const FlagsCase& c, std::ostream* os) {
    *os << c.name;
}

class HelperFlagsTest : public ::testing::TestWithParam<FlagsCase> {};

TEST_P(HelperFlagsTest, AnswersFromTheReachableAndConnectionRequiredBitsOnly) {
    plat::sim::Network::setReachability(GetParam().flags);
    EXPECT_EQ(Helper::checkNetworkReachable(), GetParam().reachable);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, HelperFlagsTest,
    ::testing::Values(
        FlagsCase{"ReachableOnly", plat::kReachabilityFlagsReachable, true},
        FlagsCase{"ReachableButConnectionRequired",
                  plat::kReachabilityFlagsReachable | plat::kReachabilityFlagsConnectionRequired, false},
        FlagsCase{"None", 0, false},
        FlagsCase{"ConnectionRequiredOnly", plat::kReachabilityFlagsConnectionRequired, false},
        FlagsCase{"CellularOnDemandTransient",
                  plat::kReachabilityFlagsReachable | plat::kReachabilityFlagsIsWWAN |
                      plat::kReachabilityFlagsConnectionOnDemand |
                      plat::kReachabilityFlagsTransientConnection,
                  true},
        FlagsCase{"Unreadable", std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace screen_test
