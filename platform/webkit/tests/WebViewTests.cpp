// The web engine in page-table mode and virtual time: order of the navigation callbacks, policy answers,
// redirects, failures, the back-forward list, panels, windows, scripts and the exactly-once handlers.

#include "platform/webkit/tests/WebTestSupport.hpp"

#include <sys/stat.h>

#include "platform/foundation/AppHome.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/URLError.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UIScrollView.hpp"
#include "platform/webkit/UIWebView.hpp"
#include "testing/TempAppHome.hpp"

namespace plat::test {
namespace {

using sim::WebPage;
using sim::WebRecorder;

constexpr const char* kA = "https://portal.example.test/a";
constexpr const char* kB = "https://portal.example.test/b";
constexpr const char* kC = "https://portal.example.test/c";

class WebViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Web::pages().enable();
        sim::Web::pages().set(
            kA, WebPage::html("<html><head><title>Page A</title></head><a href=\"/b\">b</a></html>"));
        sim::Web::pages().set(kB, WebPage::html("<title> Page &amp; B </title>"));
        sim::Web::pages().set(kC, WebPage::html("<title>C</title>"));
    }
    void TearDown() override {
        Virtual::runUntilIdle();
        if (!faultsExpected) {
            const auto faults = WebRecorder::shared().handlerFaults();
            EXPECT_TRUE(faults.empty()) << "first fault: " << faults.front();
        }
    }
    // Loads kA and settles, then forgets the events of that load.
    void loadFirstPage(WebHarness& h) {
        h.view->load(URLRequest(u(kA)));
        Virtual::runUntilIdle();
        ASSERT_EQ(h.view->title(), "Page A");
        h.events().clear();
        h.delegate->actions.clear();
    }
    TempAppHome home;
    bool faultsExpected = false;
};

TEST_F(WebViewTest, LinkClickIsDecidedThenCommittedAndFinishedInOrder) {
    WebHarness h;
    loadFirstPage(h);
    h.web.clickLink("/b");
    EXPECT_TRUE(h.events().empty()) << "the policy is asked after the click returns";
    Virtual::runUntilIdle();

    EXPECT_EQ(h.events(),
              (std::vector<std::string>{std::string("decide:") + kB + ":0", "start", "commit", "finish"}));
    const auto& action = h.delegate->actions.back();
    ASSERT_TRUE(action.targetFrame);
    EXPECT_TRUE(action.targetFrame->isMainFrame);
    ASSERT_TRUE(action.sourceFrame);
    EXPECT_EQ(action.sourceFrame->request.url()->absoluteString(), kA);
    EXPECT_EQ(h.view->url()->absoluteString(), kB);
    EXPECT_EQ(h.view->title(), "Page & B");
    EXPECT_FALSE(h.view->isLoading());
    EXPECT_TRUE(h.view->canGoBack());
    const auto loads = WebRecorder::shared().loads();
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[1].statusCode, 200);
}

TEST_F(WebViewTest, CancelledDecisionEndsTheNavigationSilently) {
    WebHarness h;
    loadFirstPage(h);
    h.delegate->policy = [](const WKNavigationAction&) { return WKNavigationActionPolicy::cancel; };
    h.web.clickLink(kB);
    Virtual::runUntilIdle();

    EXPECT_EQ(h.events(), (std::vector<std::string>{std::string("decide:") + kB + ":0"}));
    EXPECT_EQ(h.view->url()->absoluteString(), kA);
    EXPECT_FALSE(h.view->canGoBack());
    EXPECT_EQ(WebRecorder::shared().navigations().back().allowed, false);
}

TEST_F(WebViewTest, EachRedirectIsReportedAndDecidedAgainAsTypeOther) {
    sim::Web::pages().set("https://portal.example.test/r1", WebPage::redirect("/r2", 302));
    sim::Web::pages().set("https://portal.example.test/r2", WebPage::redirect(kC, 307));
    WebHarness h;
    loadFirstPage(h);
    h.web.clickLink("/r1");
    Virtual::runUntilIdle();

    EXPECT_EQ(h.events(),
              (std::vector<std::string>{"decide:https://portal.example.test/r1:0", "start", "redirect",
                                        "decide:https://portal.example.test/r2:-1", "redirect",
                                        std::string("decide:") + kC + ":-1", "commit", "finish"}));
    EXPECT_EQ(h.view->url()->absoluteString(), kC);
    EXPECT_EQ(h.view->backForwardList().size(), 2u) << "a redirect chain is one history entry";
}

TEST_F(WebViewTest, CancellingARedirectStopsTheProvisionalLoad) {
    sim::Web::pages().set("https://portal.example.test/r1", WebPage::redirect(kC));
    WebHarness h;
    loadFirstPage(h);
    h.delegate->policy = [](const WKNavigationAction& a) {
        return a.request.url()->absoluteString() == kC ? WKNavigationActionPolicy::cancel
                                                       : WKNavigationActionPolicy::allow;
    };
    h.web.clickLink("/r1");
    Virtual::runUntilIdle();

    EXPECT_EQ(h.events(),
              (std::vector<std::string>{"decide:https://portal.example.test/r1:0", "start", "redirect",
                                        std::string("decide:") + kC + ":-1", "failProvisional:102"}));
    EXPECT_EQ(h.delegate->errors.back().domain, WebKitErrorDomain);
    EXPECT_EQ(h.view->url()->absoluteString(), kA);
}

TEST_F(WebViewTest, ANewLoadCancelsAProvisionalOneWithCancelled) {
    auto slow = WebPage::html("<title>slow</title>");
    slow.delay = 5;
    sim::Web::pages().set("https://portal.example.test/slow", slow);
    WebHarness h;
    loadFirstPage(h);
    h.web.clickLink("/slow");
    Virtual::runUntilIdle();
    ASSERT_TRUE(h.view->isLoading());
    EXPECT_EQ(h.view->url()->absoluteString(), "https://portal.example.test/slow");

    h.web.clickLink(kC);
    Virtual::runUntilIdle();
    Virtual::advanceBy(10);

    EXPECT_EQ(h.events(), (std::vector<std::string>{"decide:https://portal.example.test/slow:0", "start",
                                                    std::string("decide:") + kC + ":0",
                                                    "failProvisional:-999", "start", "commit", "finish"}));
    EXPECT_EQ(h.view->title(), "C");
    EXPECT_EQ(h.view->backForwardList().size(), 2u);
}

struct SchemeCase {
    const char* name;
    const char* url;
};

// Test names show the case's name, not the struct's bytes.
void PrintTo(const SchemeCase& c, std::ostream* os) {
    *os << c.name;
}

class UnsupportedSchemeTest : public WebViewTest, public ::testing::WithParamInterface<SchemeCase> {};

TEST_P(UnsupportedSchemeTest, AnAllowedNonHTTPSchemeFailsProvisionallyWithUnsupportedURL) {
    WebHarness h;
    loadFirstPage(h);
    h.web.clickLink(GetParam().url);
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events(), (std::vector<std::string>{std::string("decide:") + GetParam().url + ":0", "start",
                                                    "failProvisional:-1002"}));
    EXPECT_EQ(h.delegate->errors.back().domain, "NSURLErrorDomain");
    EXPECT_EQ(h.view->url()->absoluteString(), kA) << "the page stays";
}

INSTANTIATE_TEST_SUITE_P(Schemes, UnsupportedSchemeTest,
                         ::testing::Values(SchemeCase{"mailto", "mailto:someone@example.test"},
                                           SchemeCase{"tel", "tel:+4912345"},
                                           SchemeCase{"ftp", "ftp://files.example.test/x"}));

TEST_F(WebViewTest, FailuresBeforeAndAfterCommitAndErrorStatuses) {
    sim::Web::pages().set("https://portal.example.test/down",
                          WebPage::failing(NSURLErrorCannotConnectToHost, 1));
    auto held = WebPage::html("<title>half</title>");
    held.holdAfterCommit = true;
    sim::Web::pages().set("https://portal.example.test/held", held);
    sim::Web::pages().set("https://portal.example.test/500", WebPage::html("<title>oops</title>", 500));
    WebHarness h;
    loadFirstPage(h);

    h.web.clickLink("/down");
    Virtual::runUntilIdle();
    Virtual::advanceBy(1);
    EXPECT_EQ(h.events().back(), "failProvisional:-1004");

    h.events().clear();
    h.web.clickLink("/held");
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events().back(), "commit");
    EXPECT_TRUE(h.view->isLoading());
    EXPECT_TRUE(h.web.failLoad(
        URLError::make(NSURLErrorNetworkConnectionLost, u("https://portal.example.test/held"))));
    EXPECT_EQ(h.events().back(), "fail:-1005");
    EXPECT_FALSE(h.web.finishLoad()) << "nothing is held any more";

    h.events().clear();
    h.web.clickLink("/500");
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events(), (std::vector<std::string>{"decide:https://portal.example.test/500:0", "start",
                                                    "commit", "finish"}));
    EXPECT_EQ(WebRecorder::shared().loads().back().statusCode, 500);

    h.events().clear();
    h.web.clickLink("https://unknown.example.test/");
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events().back(), "failProvisional:-1003");
}

TEST_F(WebViewTest, BackForwardListReloadAndForwardTruncation) {
    WebHarness h;
    EXPECT_FALSE(h.web.back());
    EXPECT_FALSE(h.web.reload()) << "nothing to reload before the first page";
    loadFirstPage(h);
    h.web.clickLink(kB);
    Virtual::runUntilIdle();
    h.events().clear();

    ASSERT_TRUE(h.web.back());
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events(),
              (std::vector<std::string>{std::string("decide:") + kA + ":2", "start", "commit", "finish"}));
    EXPECT_EQ(h.view->url()->absoluteString(), kA);
    EXPECT_FALSE(h.view->canGoBack());
    EXPECT_TRUE(h.view->canGoForward());

    h.events().clear();
    ASSERT_TRUE(h.web.reload());
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events().front(), std::string("decide:") + kA + ":3");
    EXPECT_EQ(h.view->backForwardList().size(), 2u);

    h.web.clickLink(kC);
    Virtual::runUntilIdle();
    const auto list = h.view->backForwardList();
    ASSERT_EQ(list.size(), 2u) << "a new page drops the forward entries";
    EXPECT_EQ(list[1].url.absoluteString(), kC);
    EXPECT_EQ(list[1].title, "C");
    EXPECT_FALSE(h.view->canGoForward());
}

TEST_F(WebViewTest, FormSubmitCarriesItsFieldsAndType) {
    WebHarness h;
    loadFirstPage(h);
    h.delegate->policy = [](const WKNavigationAction&) { return WKNavigationActionPolicy::cancel; };
    h.web.submitForm("/login", "post", {{"user", "a b"}, {"pw", "x&y=z"}});
    h.web.submitForm("/search", "GET", {{"q", "1"}});
    Virtual::runUntilIdle();

    ASSERT_EQ(h.delegate->actions.size(), 2u);
    const auto& post = h.delegate->actions[0];
    EXPECT_EQ(post.navigationType, WKNavigationType::formSubmitted);
    EXPECT_EQ(post.request.httpMethod(), "POST");
    EXPECT_EQ(post.request.value("Content-Type"), "application/x-www-form-urlencoded");
    ASSERT_TRUE(post.request.httpBody());
    EXPECT_EQ(std::string(post.request.httpBody()->begin(), post.request.httpBody()->end()),
              "user=a+b&pw=x%26y%3Dz");
    EXPECT_EQ(h.delegate->actions[1].request.url()->absoluteString(),
              "https://portal.example.test/search?q=1");
    EXPECT_EQ(h.delegate->actions[1].request.httpMethod(), "GET");
}

TEST_F(WebViewTest, PanelsReachTheUIDelegateAndRecordTheirAnswers) {
    WebHarness h;
    loadFirstPage(h);
    const auto alert = h.web.raiseAlert("hello");
    ASSERT_TRUE(h.delegate->alertDone);
    EXPECT_EQ(h.delegate->panelFrame->request.url()->absoluteString(), kA);
    EXPECT_FALSE(WebRecorder::shared().panels()[alert].answered) << "answered only when the app calls back";
    h.delegate->alertDone();

    const auto confirm = h.web.raiseConfirm("sure?");
    h.delegate->confirmDone(true);
    const auto prompt = h.web.raisePrompt("name?", std::string("anon"));
    h.delegate->promptDone(std::string("bob"));

    EXPECT_EQ(h.events(), (std::vector<std::string>{"alert:hello", "confirm:sure?", "prompt:name?:anon"}));
    const auto panels = WebRecorder::shared().panels();
    EXPECT_TRUE(panels[alert].answered);
    EXPECT_TRUE(panels[confirm].delegateAsked);
    EXPECT_EQ(panels[confirm].answer, Value(true));
    EXPECT_EQ(panels[prompt].answer, Value("bob"));
}

TEST_F(WebViewTest, MissingUIDelegateMethodsGiveTheDefaults) {
    WebHarness h(bareDelegateClass());
    loadFirstPage(h);
    const auto alert = h.web.raiseAlert("hello");
    const auto confirm = h.web.raiseConfirm("sure?");
    const auto prompt = h.web.raisePrompt("name?", std::string("anon"));
    h.web.windowOpen("/b");
    h.web.windowClose();
    Virtual::runUntilIdle();

    const auto panels = WebRecorder::shared().panels();
    EXPECT_FALSE(panels[alert].delegateAsked);
    EXPECT_TRUE(panels[alert].answered);
    EXPECT_EQ(panels[confirm].answer, Value(false));
    EXPECT_TRUE(panels[prompt].answer.isNull());
    EXPECT_EQ(WebRecorder::shared().windowsOpened(), (std::vector<std::string>{kB}));
    EXPECT_TRUE(h.events().empty()) << "no window was opened and nothing navigated";
    EXPECT_EQ(h.view->url()->absoluteString(), kA);
}

TEST_F(WebViewTest, WindowOpenMakesANewViewThatLoadsThePageAndCloseReachesTheDelegate) {
    WebHarness h;
    loadFirstPage(h);
    h.web.windowOpen("/b");
    ASSERT_EQ(h.delegate->windows.size(), 1u);
    auto child = h.delegate->windows[0];
    auto childDelegate = std::static_pointer_cast<TestWebDelegate>(rt::createInstance(testDelegateClass()));
    child->setNavigationDelegate(childDelegate);
    Virtual::runUntilIdle();

    EXPECT_EQ(h.events(), (std::vector<std::string>{"createWebView:noframe"}));
    EXPECT_EQ(childDelegate->events,
              (std::vector<std::string>{std::string("decide:") + kB + ":-1", "start", "commit", "finish"}));
    EXPECT_EQ(child->title(), "Page & B");
    EXPECT_EQ(child->configuration().processPool, h.view->configuration().processPool)
        << "the new view gets the opener's configuration";

    sim::Web(child).windowClose();
    sim::Web(h.view).windowClose();
    EXPECT_EQ(h.events().back(), "close");
    EXPECT_EQ(WebRecorder::shared().windowCloses(), 2);
}

TEST_F(WebViewTest, DecisionHandlersCalledTwiceOrNeverAreRecorded) {
    faultsExpected = true;
    WebHarness h;
    h.delegate->policy = [](const WKNavigationAction&) { return std::nullopt; };
    h.view->load(URLRequest(u(kA)));
    Virtual::runUntilIdle();
    ASSERT_TRUE(h.delegate->pendingDecision);
    auto decide = h.delegate->pendingDecision;
    decide(WKNavigationActionPolicy::allow);
    decide(WKNavigationActionPolicy::cancel);
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events().back(), "finish") << "the first answer counts";
    auto faults = WebRecorder::shared().handlerFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("more than once"), std::string::npos);

    h.web.clickLink(kB);
    Virtual::runUntilIdle();
    h.delegate->pendingDecision = nullptr;
    decide = nullptr;
    faults = WebRecorder::shared().handlerFaults();
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_NE(faults[1].find("never called"), std::string::npos);
}

TEST_F(WebViewTest, ScriptsMessagesAndUserScripts) {
    auto handlerClass = rt::registerClass<TestWebDelegate>("TestScriptHandler");
    rt::addMethod(handlerClass, rt::sel(WKUserContentController::didReceiveScriptMessageSelector),
                  [](TestWebDelegate& self, std::shared_ptr<WKUserContentController>, WKScriptMessage m) {
                      self.record("message:" + m.name + ":" + m.body.stringValue());
                  });
    auto handler = std::static_pointer_cast<TestWebDelegate>(rt::createInstance(handlerClass));
    WKWebViewConfiguration config;
    config.userContentController->addScriptMessageHandler(handler, "monitor");
    EXPECT_THROW(config.userContentController->addScriptMessageHandler(handler, "monitor"), Exception);
    config.userContentController->addUserScript(
        {"start();", WKUserScriptInjectionTime::atDocumentStart, true});
    config.userContentController->addUserScript({"end();", WKUserScriptInjectionTime::atDocumentEnd, true});
    WebHarness h(testDelegateClass(), config);
    loadFirstPage(h);

    EXPECT_TRUE(h.web.postScriptMessage("monitor", Value("hi")));
    EXPECT_FALSE(h.web.postScriptMessage("other", Value("hi")));
    EXPECT_EQ(handler->events, (std::vector<std::string>{"message:monitor:hi"}));
    EXPECT_EQ(WebRecorder::shared().userScripts(), (std::vector<std::string>{"start();", "end();"}));

    std::vector<std::string> answers;
    auto collect = [&](Value v, std::optional<Error> e) {
        EXPECT_FALSE(e);
        answers.push_back(v.isNull() ? "<null>" : v.stringValue());
    };
    h.web.scriptAnswer("navigator.userAgent", Value("UA"));
    h.view->evaluateJavaScript("document.title", collect);
    h.view->evaluateJavaScript("navigator.userAgent", collect);
    h.view->evaluateJavaScript("1+1", collect);
    EXPECT_TRUE(answers.empty()) << "answers arrive later on the main queue";
    Virtual::runUntilIdle();
    EXPECT_EQ(answers, (std::vector<std::string>{"Page A", "UA", "<null>"}));
    EXPECT_EQ(WebRecorder::shared().scripts().size(), 3u);
}

TEST_F(WebViewTest, LoadHTMLStringCommitsTheGivenPage) {
    WebHarness h;
    h.view->loadHTMLString("<title>inline</title><form action=\"/go\" method=post><input name=a></form>",
                           u("https://portal.example.test/base"));
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events(), (std::vector<std::string>{"decide:https://portal.example.test/base:-1", "start",
                                                    "commit", "finish"}));
    EXPECT_EQ(h.view->title(), "inline");
    const auto page = h.web.page();
    ASSERT_EQ(page.forms.size(), 1u);
    EXPECT_EQ(page.forms[0].method, "POST");
    EXPECT_EQ(page.forms[0].fields, (std::vector<std::string>{"a"}));
}

TEST_F(WebViewTest, WebCookieStoreIsSeparateAnswersLaterAndPersistsNonSessionCookies) {
    auto store = WKWebsiteDataStore::defaultDataStore();
    HTTPCookie::Properties p;
    p.name = "PHPSESSID";
    p.value = "abc";
    p.domain = "portal.example.test";
    p.expiresDate = 4102444800.0; // 2100
    auto cookie = HTTPCookie::make(p);
    ASSERT_TRUE(cookie);
    bool stored = false;
    store->httpCookieStore().setCookie(*cookie, [&] { stored = true; });

    std::optional<std::vector<HTTPCookie>> all;
    store->httpCookieStore().getAllCookies([&](std::vector<HTTPCookie> c) { all = std::move(c); });
    EXPECT_FALSE(all) << "the answer comes later";
    Virtual::runUntilIdle();
    EXPECT_TRUE(stored);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 1u);
    EXPECT_EQ((*all)[0].name(), "PHPSESSID");
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());

    struct stat st {};
    ASSERT_EQ(::stat((AppHome::cookies() + "/web.cookies").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(WebViewTest, ResponsePolicyCanStopACommitAndDelegatesAreHeldWeakly) {
    static rt::Class* cls = [] {
        rt::Class* c = rt::registerClass<TestWebDelegate>("TestWebResponseDelegate");
        addNavigationMethods(c);
        rt::addMethod(c, rt::sel(WKSelector::decidePolicyForNavigationResponse),
                      [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationResponse r,
                         WKNavigationResponseDecisionHandler decide) {
                          self.record("response:" + std::to_string(r.response->statusCode()));
                          decide(r.response->statusCode() == 500 ? WKNavigationResponsePolicy::cancel
                                                                 : WKNavigationResponsePolicy::allow);
                      });
        return c;
    }();
    sim::Web::pages().set("https://portal.example.test/500", WebPage::html("<title>oops</title>", 500));
    WebHarness h(cls);
    h.view->load(URLRequest(u(kA)));
    Virtual::runUntilIdle();
    h.web.clickLink("/500");
    Virtual::runUntilIdle();
    EXPECT_EQ(h.events(),
              (std::vector<std::string>{std::string("decide:") + kA + ":-1", "start", "response:200",
                                        "commit", "finish", "decide:https://portal.example.test/500:0",
                                        "start", "response:500", "failProvisional:102"}));
    EXPECT_EQ(h.view->url()->absoluteString(), kA);

    // Once the delegate is gone, loads go on with the defaults and call nobody.
    std::weak_ptr<TestWebDelegate> weak = h.delegate;
    h.delegate.reset();
    EXPECT_TRUE(weak.expired()) << "the view must not keep its delegate alive";
    EXPECT_EQ(h.view->navigationDelegate(), nullptr);
    h.web.clickLink(kB);
    Virtual::runUntilIdle();
    EXPECT_EQ(h.view->title(), "Page & B");
}

// ---- the legacy facade ----

class LegacyDelegate : public rt::Object {
public:
    using rt::Object::Object;
    std::vector<std::string> events;
    bool allow = true;
};

rt::Class* legacyDelegateClass() {
    static rt::Class* cls = [] {
        rt::Class* c = rt::registerClass<LegacyDelegate>("TestLegacyWebDelegate");
        rt::addMethod(c, rt::sel(UIWebViewSelector::shouldStartLoad),
                      [](LegacyDelegate& self, rt::ObjectPtr, URLRequest r, int64_t type) {
                          self.events.push_back("should:" + r.url()->absoluteString() + ":" +
                                                std::to_string(type));
                          return self.allow;
                      });
        rt::addMethod(c, rt::sel(UIWebViewSelector::didStartLoad),
                      [](LegacyDelegate& self, rt::ObjectPtr) { self.events.push_back("start"); });
        rt::addMethod(c, rt::sel(UIWebViewSelector::didFinishLoad),
                      [](LegacyDelegate& self, rt::ObjectPtr) { self.events.push_back("finish"); });
        rt::addMethod(c, rt::sel(UIWebViewSelector::didFailLoad),
                      [](LegacyDelegate& self, rt::ObjectPtr, Error e) {
                          self.events.push_back("fail:" + std::to_string(e.code));
                      });
        return c;
    }();
    return cls;
}

TEST_F(WebViewTest, LegacyWebViewAsksShouldStartAndReportsLoads) {
    auto view = UIWebView::make();
    auto delegate = std::static_pointer_cast<LegacyDelegate>(rt::createInstance(legacyDelegateClass()));
    view->setDelegate(delegate);
    view->loadRequest(URLRequest(u(kA)));
    Virtual::runUntilIdle();
    sim::Web web(view);
    web.clickLink("mailto:x@example.test");
    Virtual::runUntilIdle();
    delegate->allow = false;
    web.clickLink(kB);
    Virtual::runUntilIdle();

    EXPECT_EQ(delegate->events, (std::vector<std::string>{std::string("should:") + kA + ":5", "start",
                                                          "finish", "should:mailto:x@example.test:0", "start",
                                                          "fail:-1002", std::string("should:") + kB + ":0"}));
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("document.title"), "Page A");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("1+1"), "");
    EXPECT_EQ(rt::className(*view), "UIWebView");
}

// Both web views keep their page in one scroll view of their own, where the app puts its refresh control.
template <class View> void expectOwnScrollView(const std::shared_ptr<View>& view) {
    const std::shared_ptr<UIScrollView> scroll = view->scrollView();
    ASSERT_TRUE(scroll);
    EXPECT_EQ(view->scrollView(), scroll) << "the same one every time";
    EXPECT_EQ(rt::className(*scroll), "UIScrollView");
    EXPECT_TRUE(rt::isKindOf(*scroll, UIView::runtimeClass()));
    EXPECT_EQ(scroll->superview(), view);
    EXPECT_EQ(scroll->frame(), view->bounds());
    EXPECT_EQ(scroll->autoresizingMask(), UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);

    rt::Class* screen = rt::registerClass("RefreshingScreen");
    int refreshes = 0;
    rt::replaceMethod(screen,
                      "refreshWebViewWithRefreshControl:", [&](rt::Object&, rt::ObjectPtr) { ++refreshes; });
    auto target = rt::createInstance(screen);
    auto refresh = UIRefreshControl::make();
    refresh->addTarget(target, "refreshWebViewWithRefreshControl:", UIControlEventValueChanged);
    view->scrollView()->addSubview(refresh);
    EXPECT_EQ(refresh->superview(), scroll);
    EXPECT_TRUE(refresh->isDescendantOfView(*view));
    EXPECT_TRUE(sim::App::pullToRefresh());
    EXPECT_EQ(refreshes, 1);
}

TEST_F(WebViewTest, BothWebViewsKeepTheirPageInAScrollViewOfTheirOwn) {
    const CGRect frame{{0, 20}, {320, 480}};
    {
        SCOPED_TRACE("WKWebView");
        expectOwnScrollView(WKWebView::make(frame));
    }
    {
        SCOPED_TRACE("UIWebView");
        expectOwnScrollView(UIWebView::make(frame));
    }
    EXPECT_NE(WKWebView::make(frame)->scrollView(), WKWebView::make(frame)->scrollView());
}

} // namespace
} // namespace plat::test
