#include "platform/webkit/UIWebView.hpp"

#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/webkit/WKWebsiteDataStore.hpp"
#include "platform/webkit/WebKitClasses.hpp"

namespace plat {

UIWebView::UIWebView(rt::Class* cls, CGRect frame) : UIView(cls, frame) {}

rt::Class* UIWebView::runtimeClass() {
    return webkitClasses().uiWebView;
}

std::shared_ptr<UIWebView> UIWebView::make(CGRect frame) {
    requireMainThread("-[UIWebView initWithFrame:]");
    return rt::make<UIWebView>(runtimeClass(), frame);
}

std::shared_ptr<WebEngine> UIWebView::engine() {
    if (!engine_) {
        // The legacy view loads with the app's shared cookie jar, as it did on the device.
        std::shared_ptr<WebEngineClient> client = std::static_pointer_cast<UIWebView>(shared_from_this());
        engine_ = std::make_shared<WebEngine>(client, HTTPCookieStorage::sharedPointer());
    }
    return engine_;
}

void UIWebView::setDelegate(const rt::ObjectPtr& delegate) {
    requireMainThread("-[UIWebView setDelegate:]");
    delegate_ = delegate;
}

void UIWebView::loadRequest(const URLRequest& request) {
    requireMainThread("-[UIWebView loadRequest:]");
    engine()->navigate(request, WKNavigationType::other);
}

void UIWebView::loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) {
    requireMainThread("-[UIWebView loadHTMLString:baseURL:]");
    engine()->loadHTML(html, baseURL);
}

void UIWebView::reload() {
    requireMainThread("-[UIWebView reload]");
    engine()->reload();
}

void UIWebView::goBack() {
    requireMainThread("-[UIWebView goBack]");
    engine()->goBack();
}

bool UIWebView::canGoBack() {
    return engine()->canGoBack();
}
bool UIWebView::isLoading() {
    return engine()->isLoading();
}
std::optional<URL> UIWebView::url() {
    return engine()->url();
}

std::shared_ptr<UIScrollView> UIWebView::scrollView() {
    return scrollView_.get(*this);
}

std::string UIWebView::stringByEvaluatingJavaScriptFromString(const std::string& script) {
    requireMainThread("-[UIWebView stringByEvaluatingJavaScriptFromString:]");
    // The legacy call answers at once; evaluate records the script, answerFor gives the same answer.
    engine()->evaluate(script, nullptr);
    return engine()->answerFor(script).stringValue();
}

void UIWebView::decidePolicy(const WKNavigationAction& action,
                             std::function<void(WKNavigationActionPolicy)> decide) {
    auto d = delegate();
    const rt::Sel sel = rt::sel(UIWebViewSelector::shouldStartLoad);
    if (!d || !rt::respondsTo(d, sel)) {
        decide(WKNavigationActionPolicy::allow);
        return;
    }
    int64_t type = static_cast<int64_t>(action.navigationType);
    if (action.navigationType == WKNavigationType::other) {
        type = static_cast<int64_t>(UIWebViewNavigationType::other);
    }
    const bool allowed = rt::msgSend<bool>(*d, sel, rt::ObjectPtr(shared_from_this()), action.request, type);
    decide(allowed ? WKNavigationActionPolicy::allow : WKNavigationActionPolicy::cancel);
}

void UIWebView::send(const char* selector) {
    auto d = delegate();
    const rt::Sel sel = rt::sel(selector);
    if (d && rt::respondsTo(d, sel)) {
        rt::msgSend<void>(*d, sel, rt::ObjectPtr(shared_from_this()));
    }
}

void UIWebView::didStartProvisional(const WKNavigationPtr&) {
    send(UIWebViewSelector::didStartLoad);
}
void UIWebView::didFinish(const WKNavigationPtr&) {
    send(UIWebViewSelector::didFinishLoad);
}

void UIWebView::didFailProvisional(const WKNavigationPtr& nav, const Error& error) {
    didFail(nav, error);
}

void UIWebView::didFail(const WKNavigationPtr&, const Error& error) {
    auto d = delegate();
    const rt::Sel sel = rt::sel(UIWebViewSelector::didFailLoad);
    if (d && rt::respondsTo(d, sel)) {
        rt::msgSend<void>(*d, sel, rt::ObjectPtr(shared_from_this()), error);
    }
}

} // namespace plat
