#include "platform/webkit/WKWebView.hpp"

#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/webkit/WebKitClasses.hpp"

namespace plat {

WKWebView::WKWebView(rt::Class* cls) : WKWebView(cls, CGRect{}, WKWebViewConfiguration{}) {}

WKWebView::WKWebView(rt::Class* cls, CGRect frame, WKWebViewConfiguration configuration)
    : UIView(cls, frame), configuration_(std::move(configuration)) {}

rt::Class* WKWebView::runtimeClass() {
    return webkitClasses().wkWebView;
}

std::shared_ptr<WKWebView> WKWebView::make(CGRect frame, WKWebViewConfiguration configuration) {
    requireMainThread("-[WKWebView initWithFrame:configuration:]");
    return rt::make<WKWebView>(runtimeClass(), frame, std::move(configuration));
}

std::shared_ptr<WebEngine> WKWebView::engine() {
    if (!engine_) {
        std::shared_ptr<WebEngineClient> client = std::static_pointer_cast<WKWebView>(shared_from_this());
        auto store = configuration_.websiteDataStore ? configuration_.websiteDataStore
                                                     : WKWebsiteDataStore::defaultDataStore();
        engine_ = std::make_shared<WebEngine>(client, store->cookieStorage());
    }
    return engine_;
}

void WKWebView::setNavigationDelegate(const rt::ObjectPtr& delegate) {
    requireMainThread("-[WKWebView setNavigationDelegate:]");
    navigationDelegate_ = delegate;
}

void WKWebView::setUIDelegate(const rt::ObjectPtr& delegate) {
    requireMainThread("-[WKWebView setUIDelegate:]");
    uiDelegate_ = delegate;
}

WKNavigationPtr WKWebView::load(const URLRequest& request) {
    requireMainThread("-[WKWebView loadRequest:]");
    return engine()->navigate(request, WKNavigationType::other);
}

WKNavigationPtr WKWebView::loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) {
    requireMainThread("-[WKWebView loadHTMLString:baseURL:]");
    return engine()->loadHTML(html, baseURL);
}

WKNavigationPtr WKWebView::reload() {
    requireMainThread("-[WKWebView reload]");
    return engine()->reload();
}

WKNavigationPtr WKWebView::goBack() {
    requireMainThread("-[WKWebView goBack]");
    return engine()->goBack();
}

WKNavigationPtr WKWebView::goForward() {
    requireMainThread("-[WKWebView goForward]");
    return engine()->goForward();
}

void WKWebView::stopLoading() {
    requireMainThread("-[WKWebView stopLoading]");
    engine()->stopLoading();
}

bool WKWebView::canGoBack() {
    return engine()->canGoBack();
}
bool WKWebView::canGoForward() {
    return engine()->canGoForward();
}
std::optional<URL> WKWebView::url() {
    return engine()->url();
}
std::string WKWebView::title() {
    return engine()->title();
}
bool WKWebView::isLoading() {
    return engine()->isLoading();
}
std::vector<WebHistoryItem> WKWebView::backForwardList() {
    return engine()->backForwardList();
}

std::shared_ptr<UIScrollView> WKWebView::scrollView() {
    return scrollView_.get(*this);
}

void WKWebView::evaluateJavaScript(const std::string& script,
                                   std::function<void(Value, std::optional<Error>)> completion) {
    requireMainThread("-[WKWebView evaluateJavaScript:completionHandler:]");
    engine()->evaluate(script, std::move(completion));
}

// ---- delegate calls ----

void WKWebView::decidePolicy(const WKNavigationAction& action,
                             std::function<void(WKNavigationActionPolicy)> decide) {
    auto delegate = navigationDelegate();
    const rt::Sel sel = rt::sel(WKSelector::decidePolicyForNavigationAction);
    if (delegate && rt::respondsTo(delegate, sel)) {
        rt::msgSend<void>(*delegate, sel, self(), action,
                          WKNavigationActionDecisionHandler(std::move(decide)));
        return;
    }
    decide(WKNavigationActionPolicy::allow);
}

bool WKWebView::decidesResponses() {
    auto delegate = navigationDelegate();
    return delegate && rt::respondsTo(delegate, rt::sel(WKSelector::decidePolicyForNavigationResponse));
}

void WKWebView::decideResponse(const WKNavigationResponse& response,
                               std::function<void(WKNavigationResponsePolicy)> decide) {
    auto delegate = navigationDelegate();
    const rt::Sel sel = rt::sel(WKSelector::decidePolicyForNavigationResponse);
    if (delegate && rt::respondsTo(delegate, sel)) {
        rt::msgSend<void>(*delegate, sel, self(), response,
                          WKNavigationResponseDecisionHandler(std::move(decide)));
        return;
    }
    decide(WKNavigationResponsePolicy::allow);
}

void WKWebView::sendNavigation(const char* selector, const WKNavigationPtr& nav) {
    auto delegate = navigationDelegate();
    const rt::Sel sel = rt::sel(selector);
    if (delegate && rt::respondsTo(delegate, sel)) {
        rt::msgSend<void>(*delegate, sel, self(), nav);
    }
}

void WKWebView::sendFailure(const char* selector, const WKNavigationPtr& nav, const Error& error) {
    auto delegate = navigationDelegate();
    const rt::Sel sel = rt::sel(selector);
    if (delegate && rt::respondsTo(delegate, sel)) {
        rt::msgSend<void>(*delegate, sel, self(), nav, error);
    }
}

void WKWebView::didStartProvisional(const WKNavigationPtr& nav) {
    sendNavigation(WKSelector::didStartProvisionalNavigation, nav);
}
void WKWebView::didReceiveServerRedirect(const WKNavigationPtr& nav) {
    sendNavigation(WKSelector::didReceiveServerRedirect, nav);
}
void WKWebView::didCommit(const WKNavigationPtr& nav) {
    sendNavigation(WKSelector::didCommitNavigation, nav);
}
void WKWebView::didFinish(const WKNavigationPtr& nav) {
    sendNavigation(WKSelector::didFinishNavigation, nav);
}
void WKWebView::didFailProvisional(const WKNavigationPtr& nav, const Error& error) {
    sendFailure(WKSelector::didFailProvisionalNavigation, nav, error);
}
void WKWebView::didFail(const WKNavigationPtr& nav, const Error& error) {
    sendFailure(WKSelector::didFailNavigation, nav, error);
}

bool WKWebView::uiResponds(const char* selector) const {
    auto delegate = UIDelegate();
    return delegate && rt::respondsTo(delegate, rt::sel(selector));
}

bool WKWebView::canRunAlert() {
    return uiResponds(WKSelector::runAlertPanel);
}
bool WKWebView::canRunConfirm() {
    return uiResponds(WKSelector::runConfirmPanel);
}
bool WKWebView::canRunPrompt() {
    return uiResponds(WKSelector::runTextInputPanel);
}

void WKWebView::runAlert(const std::string& message, const WKFrameInfo& frame, std::function<void()> done) {
    if (auto delegate = UIDelegate()) {
        rt::msgSend<void>(*delegate, rt::sel(WKSelector::runAlertPanel), self(), message, frame,
                          std::move(done));
    }
}

void WKWebView::runConfirm(const std::string& message, const WKFrameInfo& frame,
                           std::function<void(bool)> done) {
    if (auto delegate = UIDelegate()) {
        rt::msgSend<void>(*delegate, rt::sel(WKSelector::runConfirmPanel), self(), message, frame,
                          std::move(done));
    }
}

void WKWebView::runPrompt(const std::string& prompt, const std::optional<std::string>& defaultText,
                          const WKFrameInfo& frame, std::function<void(std::optional<std::string>)> done) {
    if (auto delegate = UIDelegate()) {
        rt::msgSend<void>(*delegate, rt::sel(WKSelector::runTextInputPanel), self(), prompt, defaultText,
                          frame, std::move(done));
    }
}

std::shared_ptr<WebEngine> WKWebView::createWindow(const WKNavigationAction& action) {
    auto delegate = UIDelegate();
    const rt::Sel sel = rt::sel(WKSelector::createWebView);
    if (!delegate || !rt::respondsTo(delegate, sel)) {
        return nullptr;
    }
    WKWebViewConfiguration configuration = configuration_;
    auto made = rt::msgSend<rt::ObjectPtr>(*delegate, sel, self(), configuration, action, WKWindowFeatures{});
    auto view = std::dynamic_pointer_cast<WKWebView>(made);
    return view ? view->engine() : nullptr;
}

void WKWebView::closeWindow() {
    auto delegate = UIDelegate();
    const rt::Sel sel = rt::sel(WKSelector::webViewDidClose);
    if (delegate && rt::respondsTo(delegate, sel)) {
        rt::msgSend<void>(*delegate, sel, self());
    }
}

bool WKWebView::scriptMessage(const std::string& name, const Value& body) {
    if (!configuration_.userContentController) {
        return false;
    }
    return configuration_.userContentController->deliver(WKScriptMessage{name, body, engine()->mainFrame()});
}

std::vector<WKUserScript> WKWebView::userScripts() {
    return configuration_.userContentController ? configuration_.userContentController->userScripts()
                                                : std::vector<WKUserScript>{};
}

} // namespace plat
