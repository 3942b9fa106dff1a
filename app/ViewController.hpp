#pragma once
// The shell's one screen (runtime class "ViewController"): shows the portal in a web view (its own
// WKWebView from OS 10.0, the storyboard's UIWebView below), keeps the spinner, the refresh control and
// the connection-lost view in step with page loads, and as the web views' delegate decides every navigation,
// shows the page's JavaScript panels and opens and closes the page's windows.

#include "app/ASConfigService.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UIViewController.hpp"
#include "platform/webkit/UIWebView.hpp"
#include "platform/webkit/WKWebView.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ViewController : public plat::UIViewController {
public:
    // Builds the storyboard scene's views into the root view when the view loads and connects the outlets.
    using SceneBuilder = std::function<void(ViewController&, plat::UIView& root)>;

    // Runs the initialiser: the fields take their starting values, the outlets stay empty.
    explicit ViewController(plat::rt::Class* cls);
    // The runtime class with the screen's selectors, registered on first use.
    static plat::rt::Class* runtimeClass();
    // A screen without storyboard outlets.
    static std::shared_ptr<ViewController> make();

    // The platform's initialisers ("initWithNibName:bundle:", "initWithCoder:"): both put the fields back
    // to their starting values and answer the screen itself.
    plat::rt::ObjectPtr initWithNibName(const std::optional<std::string>& nibName,
                                        const plat::rt::ObjectPtr& bundle);
    plat::rt::ObjectPtr initWithCoder(const plat::rt::ObjectPtr& coder);

    // Outlets, connected by the storyboard.
    std::shared_ptr<plat::UIView> connectionLostView() const { return connectionLostView_; }
    void setConnectionLostView(std::shared_ptr<plat::UIView> view) { connectionLostView_ = std::move(view); }
    std::shared_ptr<plat::UIWebView> webView() const { return webView_; }
    void setWebView(std::shared_ptr<plat::UIWebView> view) { webView_ = std::move(view); }
    std::shared_ptr<plat::UIActivityIndicatorView> activityIndicatorView() const {
        return activityIndicatorView_;
    }
    void setActivityIndicatorView(std::shared_ptr<plat::UIActivityIndicatorView> view) {
        activityIndicatorView_ = std::move(view);
    }

    // What the screen loads when its view loads and on pull-to-refresh at the start of the history; a
    // creator sets it before the view loads.
    virtual plat::URLRequest request() const { return request_; }
    virtual void setRequest(plat::URLRequest request) { request_ = std::move(request); }
    // Whether viewWillAppear: hides the navigation bar; the first screen's viewDidLoad decides it.
    virtual bool shouldHideNavBar() const { return shouldHideNavBar_; }
    virtual void setShouldHideNavBar(bool hide) { shouldHideNavBar_ = hide; }

    std::shared_ptr<plat::WKWebView> wkWebView() const { return wkWebView_; }
    void setWkWebView(std::shared_ptr<plat::WKWebView> view) { wkWebView_ = std::move(view); }
    std::shared_ptr<plat::UIRefreshControl> refreshControl() const { return refreshControl_; }
    void setRefreshControl(std::shared_ptr<plat::UIRefreshControl> control) {
        refreshControl_ = std::move(control);
    }
    std::shared_ptr<plat::WKProcessPool> processPool() const { return processPool_; }
    void setProcessPool(std::shared_ptr<plat::WKProcessPool> pool) { processPool_ = std::move(pool); }
    // The web view viewDidLoad installs; the new-window handler replaces it before the view loads.
    std::shared_ptr<plat::WKWebView> initialWebview() const { return initialWebview_; }
    void setInitialWebview(std::shared_ptr<plat::WKWebView> view) { initialWebview_ = std::move(view); }
    ASConfigService& configService() const { return *configService_; }
    void setConfigService(ASConfigService& service) { configService_ = &service; }

    void setSceneBuilder(SceneBuilder builder) { sceneBuilder_ = std::move(builder); }

    void loadView() override;
    void viewDidLoad() override;
    void viewDidLayoutSubviews() override;
    void viewWillAppear(bool animated) override;

    // Loads the request (none: the configured base URL) into the active web view; does nothing at all while
    // no base URL is configured.
    void load(std::optional<plat::URLRequest> request);
    // Pull-to-refresh: reloads the page, or at the start of the history loads `request` again.
    virtual void refreshWebViewWithRefreshControl(const plat::rt::ObjectPtr& refreshControl);
    // The connection-lost view's reload button; does nothing while the network is unreachable.
    virtual void reloadButtonAction();

    // ---- navigation policy (ViewControllerNavigation.cpp) ----
    // Whether the URL's text contains any entry of the list.
    static bool matches(const plat::URL& url, const std::vector<std::string>& list);
    // Whether the host is the portal's home host or one of its sub-domains.
    static bool isHomeHost(const std::string& host, const std::string& homeHost);
    // Whether the URL is on the same origin (scheme, host, port) as an entry of the list.
    static bool matchesOrigin(const plat::URL& url, const std::vector<std::string>& list);
    void openInSystem(const plat::URL& url);
    void openExternally(const plat::URL& url);

    // WKNavigationDelegate.
    void
    webView_decidePolicyForNavigationAction(const plat::rt::ObjectPtr& webView,
                                            const plat::WKNavigationAction& action,
                                            const plat::WKNavigationActionDecisionHandler& decisionHandler);
    void webView_didCommitNavigation(const plat::rt::ObjectPtr& webView,
                                     const plat::WKNavigationPtr& navigation);
    void webView_didFinishNavigation(const plat::rt::ObjectPtr& webView,
                                     const plat::WKNavigationPtr& navigation);
    // Also the provisional failure: both share this.
    void webView_didFailNavigation(const plat::rt::ObjectPtr& webView,
                                   const plat::WKNavigationPtr& navigation, const plat::Error& error);

    // WKUIDelegate.
    plat::rt::ObjectPtr
    webView_createWebViewWithConfiguration(const plat::rt::ObjectPtr& webView,
                                           const plat::WKWebViewConfiguration& configuration,
                                           const plat::WKNavigationAction& action);
    void webViewDidClose(const plat::rt::ObjectPtr& webView);
    void webView_runJavaScriptAlertPanelWithMessage(const plat::rt::ObjectPtr& webView,
                                                    const std::string& message,
                                                    const plat::WKFrameInfo& frame,
                                                    std::function<void()> completionHandler);
    void webView_runJavaScriptConfirmPanelWithMessage(const plat::rt::ObjectPtr& webView,
                                                      const std::string& message,
                                                      const plat::WKFrameInfo& frame,
                                                      std::function<void(bool)> completionHandler);

    // UIWebViewDelegate (below OS 10.0).
    void webViewDidStartLoad(const plat::rt::ObjectPtr& webView);
    void webViewDidFinishLoad(const plat::rt::ObjectPtr& webView);
    void webView_didFailLoadWithError(const plat::rt::ObjectPtr& webView, const plat::Error& error);
    bool webView_shouldStartLoadWithRequest(const plat::rt::ObjectPtr& webView,
                                            const plat::URLRequest& request, int64_t navigationType);

private:
    void initialise();
    // The web view the page shows in: the WKWebView when set, else the storyboard's UIWebView.
    bool activeCanGoBack();
    void reloadActive();
    // The steps every finish and failure callback starts with.
    void stopLoadingIndicators();
    // The controller an alert goes on: this screen, or the top of what it presents.
    std::shared_ptr<plat::UIViewController> alertPresenter();
    // Shows the alert; false when it could not be shown.
    bool presentPanel(const std::shared_ptr<plat::UIAlertController>& alert);

    std::shared_ptr<plat::UIView> connectionLostView_;
    std::shared_ptr<plat::UIWebView> webView_;
    std::shared_ptr<plat::UIActivityIndicatorView> activityIndicatorView_;
    plat::URLRequest request_;
    bool shouldHideNavBar_ = false;
    std::shared_ptr<plat::WKWebView> wkWebView_;
    std::shared_ptr<plat::UIRefreshControl> refreshControl_;
    std::shared_ptr<plat::WKProcessPool> processPool_;
    std::shared_ptr<plat::WKWebView> initialWebview_;
    ASConfigService* configService_ = nullptr;

    SceneBuilder sceneBuilder_;
};
