#pragma once
// WKWebView: the web view of the simulated device (runtime class "WKWebView", a UIView). Loads run on the
// simulated engine (WebEngine); the view turns its events into the delegate calls below. Main queue only.
//
// Delegates. The navigation and UI delegates are runtime objects held weakly (the app shell's
// ViewController is one). The view calls a delegate method only when rt::respondsTo answers yes, and then
// through rt::msgSend, so a method added or exchanged at run time takes effect as on the device. An
// implementation is registered with rt::addMethod on the delegate's class and must have exactly these
// parameters after the receiver (`webView` is the sending WKWebView as rt::ObjectPtr):
//
//   webView:decidePolicyForNavigationAction:decisionHandler:
//       void(rt::ObjectPtr webView, WKNavigationAction, WKNavigationActionDecisionHandler)
//   webView:decidePolicyForNavigationResponse:decisionHandler:
//       void(rt::ObjectPtr, WKNavigationResponse, WKNavigationResponseDecisionHandler)
//   webView:didStartProvisionalNavigation:, webView:didReceiveServerRedirectForProvisionalNavigation:,
//   webView:didCommitNavigation:, webView:didFinishNavigation:
//       void(rt::ObjectPtr, WKNavigationPtr)
//   webView:didFailProvisionalNavigation:withError:, webView:didFailNavigation:withError:
//       void(rt::ObjectPtr, WKNavigationPtr, Error)
//   webView:createWebViewWithConfiguration:forNavigationAction:windowFeatures:
//       rt::ObjectPtr(rt::ObjectPtr, WKWebViewConfiguration, WKNavigationAction, WKWindowFeatures)
//   webViewDidClose:
//       void(rt::ObjectPtr)
//   webView:runJavaScriptAlertPanelWithMessage:initiatedByFrame:completionHandler:
//       void(rt::ObjectPtr, std::string, WKFrameInfo, std::function<void()>)
//   webView:runJavaScriptConfirmPanelWithMessage:initiatedByFrame:completionHandler:
//       void(rt::ObjectPtr, std::string, WKFrameInfo, std::function<void(bool)>)
//   webView:runJavaScriptTextInputPanelWithPrompt:defaultText:initiatedByFrame:completionHandler:
//       void(rt::ObjectPtr, std::string, std::optional<std::string>, WKFrameInfo,
//            std::function<void(std::optional<std::string>)>)
//
// Without a policy method every navigation is allowed. Without a UI method: an alert is dismissed, a
// confirm answers false, a text input answers none, and no window opens. Decision and panel handlers must
// be called exactly once; a second call or none is recorded in sim::WebRecorder (and ignored).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/uikit/UIScrollView.hpp"
#include "platform/uikit/UIView.hpp"
#include "platform/webkit/WKTypes.hpp"
#include "platform/webkit/WKWebViewConfiguration.hpp"
#include "platform/webkit/WebEngine.hpp"

namespace plat {

using WKNavigationActionDecisionHandler = std::function<void(WKNavigationActionPolicy)>;
using WKNavigationResponseDecisionHandler = std::function<void(WKNavigationResponsePolicy)>;

namespace WKSelector {
inline constexpr const char* decidePolicyForNavigationAction =
    "webView:decidePolicyForNavigationAction:decisionHandler:";
inline constexpr const char* decidePolicyForNavigationResponse =
    "webView:decidePolicyForNavigationResponse:decisionHandler:";
inline constexpr const char* didStartProvisionalNavigation = "webView:didStartProvisionalNavigation:";
inline constexpr const char* didReceiveServerRedirect =
    "webView:didReceiveServerRedirectForProvisionalNavigation:";
inline constexpr const char* didCommitNavigation = "webView:didCommitNavigation:";
inline constexpr const char* didFinishNavigation = "webView:didFinishNavigation:";
inline constexpr const char* didFailProvisionalNavigation = "webView:didFailProvisionalNavigation:withError:";
inline constexpr const char* didFailNavigation = "webView:didFailNavigation:withError:";
inline constexpr const char* createWebView =
    "webView:createWebViewWithConfiguration:forNavigationAction:windowFeatures:";
inline constexpr const char* webViewDidClose = "webViewDidClose:";
inline constexpr const char* runAlertPanel =
    "webView:runJavaScriptAlertPanelWithMessage:initiatedByFrame:completionHandler:";
inline constexpr const char* runConfirmPanel =
    "webView:runJavaScriptConfirmPanelWithMessage:initiatedByFrame:completionHandler:";
inline constexpr const char* runTextInputPanel =
    "webView:runJavaScriptTextInputPanelWithPrompt:defaultText:initiatedByFrame:completionHandler:";
} // namespace WKSelector

class WKWebView : public UIView, public WebEngineClient {
public:
    // The plain initialiser: a zero frame and a default configuration.
    explicit WKWebView(rt::Class* cls);
    WKWebView(rt::Class* cls, CGRect frame, WKWebViewConfiguration configuration);
    static rt::Class* runtimeClass();
    static std::shared_ptr<WKWebView> make(CGRect frame = {}, WKWebViewConfiguration configuration = {});

    const WKWebViewConfiguration& configuration() const { return configuration_; }
    rt::ObjectPtr navigationDelegate() const { return navigationDelegate_.lock(); }
    void setNavigationDelegate(const rt::ObjectPtr& delegate);
    rt::ObjectPtr UIDelegate() const { return uiDelegate_.lock(); }
    void setUIDelegate(const rt::ObjectPtr& delegate);

    // None when the request has no URL.
    WKNavigationPtr load(const URLRequest& request);
    WKNavigationPtr loadHTMLString(const std::string& html, const std::optional<URL>& baseURL);
    // None when there is nothing to reload or go back to.
    WKNavigationPtr reload();
    WKNavigationPtr goBack();
    WKNavigationPtr goForward();
    void stopLoading();
    bool canGoBack();
    bool canGoForward();
    // The platform's URL property.
    std::optional<URL> url();
    std::string title();
    bool isLoading();
    std::vector<WebHistoryItem> backForwardList();

    // The scroll view the page sits in (the refresh control goes there).
    std::shared_ptr<UIScrollView> scrollView();
    bool allowsBackForwardNavigationGestures() const { return allowsGestures_; }
    void setAllowsBackForwardNavigationGestures(bool allows) { allowsGestures_ = allows; }

    // "document.title" answers the page's title; other scripts what the driver scripted (default null).
    // The completion runs later on the main queue.
    void evaluateJavaScript(const std::string& script,
                            std::function<void(Value, std::optional<Error>)> completion);

    // The engine, for the driver (sim::Web).
    std::shared_ptr<WebEngine> engine();

    // WebEngineClient.
    void decidePolicy(const WKNavigationAction& action,
                      std::function<void(WKNavigationActionPolicy)> decide) override;
    bool decidesResponses() override;
    void decideResponse(const WKNavigationResponse& response,
                        std::function<void(WKNavigationResponsePolicy)> decide) override;
    void didStartProvisional(const WKNavigationPtr& nav) override;
    void didReceiveServerRedirect(const WKNavigationPtr& nav) override;
    void didCommit(const WKNavigationPtr& nav) override;
    void didFinish(const WKNavigationPtr& nav) override;
    void didFailProvisional(const WKNavigationPtr& nav, const Error& error) override;
    void didFail(const WKNavigationPtr& nav, const Error& error) override;
    bool canRunAlert() override;
    bool canRunConfirm() override;
    bool canRunPrompt() override;
    void runAlert(const std::string& message, const WKFrameInfo& frame, std::function<void()> done) override;
    void runConfirm(const std::string& message, const WKFrameInfo& frame,
                    std::function<void(bool)> done) override;
    void runPrompt(const std::string& prompt, const std::optional<std::string>& defaultText,
                   const WKFrameInfo& frame, std::function<void(std::optional<std::string>)> done) override;
    std::shared_ptr<WebEngine> createWindow(const WKNavigationAction& action) override;
    void closeWindow() override;
    bool scriptMessage(const std::string& name, const Value& body) override;
    std::vector<WKUserScript> userScripts() override;

private:
    rt::ObjectPtr self() { return shared_from_this(); }
    void sendNavigation(const char* selector, const WKNavigationPtr& nav);
    void sendFailure(const char* selector, const WKNavigationPtr& nav, const Error& error);
    bool uiResponds(const char* selector) const;

    WKWebViewConfiguration configuration_;
    std::weak_ptr<rt::Object> navigationDelegate_;
    std::weak_ptr<rt::Object> uiDelegate_;
    std::shared_ptr<WebEngine> engine_;
    OwnedScrollView scrollView_;
    bool allowsGestures_ = false;
};

} // namespace plat
