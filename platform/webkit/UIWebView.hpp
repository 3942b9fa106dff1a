#pragma once
// UIWebView: the legacy web view (runtime class "UIWebView", a UIView) over the same simulated engine as
// WKWebView. Its delegate is a runtime object held weakly, called through rt::respondsTo then
// rt::msgSend with these parameters after the receiver (`webView` is the sending view):
//
//   webView:shouldStartLoadWithRequest:navigationType:  bool(rt::ObjectPtr webView, URLRequest, int64_t type)
//       types: LinkClicked 0, FormSubmitted 1, BackForward 2, Reload 3, FormResubmitted 4, Other 5
//   webViewDidStartLoad:, webViewDidFinishLoad:         void(rt::ObjectPtr)
//   webView:didFailLoadWithError:                       void(rt::ObjectPtr, Error)
//
// Without a delegate method every load is allowed. Pages raise no panels and open no windows here.

#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/Object.hpp"
#include "platform/uikit/UIScrollView.hpp"
#include "platform/uikit/UIView.hpp"
#include "platform/webkit/WebEngine.hpp"

namespace plat {

enum class UIWebViewNavigationType : int64_t {
    linkClicked = 0,
    formSubmitted = 1,
    backForward = 2,
    reload = 3,
    formResubmitted = 4,
    other = 5,
};

namespace UIWebViewSelector {
inline constexpr const char* shouldStartLoad = "webView:shouldStartLoadWithRequest:navigationType:";
inline constexpr const char* didStartLoad = "webViewDidStartLoad:";
inline constexpr const char* didFinishLoad = "webViewDidFinishLoad:";
inline constexpr const char* didFailLoad = "webView:didFailLoadWithError:";
} // namespace UIWebViewSelector

class UIWebView : public UIView, public WebEngineClient {
public:
    explicit UIWebView(rt::Class* cls, CGRect frame = {});
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIWebView> make(CGRect frame = {});

    rt::ObjectPtr delegate() const { return delegate_.lock(); }
    void setDelegate(const rt::ObjectPtr& delegate);

    void loadRequest(const URLRequest& request);
    // Shows the HTML text as the page (relative links resolved against baseURL).
    void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL);
    void reload();
    void goBack();
    bool canGoBack();
    bool isLoading();
    std::optional<URL> url();
    std::shared_ptr<UIScrollView> scrollView();
    // "document.title" answers the page's title; other scripts what the driver scripted, else "".
    std::string stringByEvaluatingJavaScriptFromString(const std::string& script);

    std::shared_ptr<WebEngine> engine();

    // WebEngineClient.
    void decidePolicy(const WKNavigationAction& action,
                      std::function<void(WKNavigationActionPolicy)> decide) override;
    void didStartProvisional(const WKNavigationPtr& nav) override;
    void didReceiveServerRedirect(const WKNavigationPtr&) override {}
    void didCommit(const WKNavigationPtr&) override {}
    void didFinish(const WKNavigationPtr& nav) override;
    void didFailProvisional(const WKNavigationPtr& nav, const Error& error) override;
    void didFail(const WKNavigationPtr& nav, const Error& error) override;
    Value defaultScriptAnswer() override { return Value(""); }

private:
    void send(const char* selector);

    std::weak_ptr<rt::Object> delegate_;
    std::shared_ptr<WebEngine> engine_;
    OwnedScrollView scrollView_;
};

} // namespace plat
