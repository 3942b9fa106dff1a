// The screen as delegate of its web views: the navigation policy with the portal cookie hand-over, the
// load-state callbacks, the JavaScript panels and the page's windows.

#include "app/Helper.hpp"
#include "app/Network.hpp"
#include "app/Strings.hpp"
#include "app/ViewController.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIStoryboard.hpp"

#include <algorithm>
#include <cctype>

namespace {

using plat::WKNavigationActionPolicy;

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<int> effectivePort(const plat::URL& url, const std::string& scheme) {
    if (auto port = url.port()) {
        return port;
    }
    if (scheme == "https") {
        return 443;
    }
    if (scheme == "http") {
        return 80;
    }
    return std::nullopt;
}

void setNetworkActivityIndicatorVisible(bool visible) {
    if (auto application = plat::UIApplication::sharedApplication()) {
        application->setNetworkActivityIndicatorVisible(visible);
    }
}

} // namespace

// ---- policy helpers ----------------------------------------------------------------------------------

bool ViewController::matches(const plat::URL& url, const std::vector<std::string>& list) {
    const std::string& text = url.absoluteString();
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& entry) { return text.find(entry) != std::string::npos; });
}

bool ViewController::isHomeHost(const std::string& host, const std::string& homeHost) {
    // Host names compare without regard to case; a mere substring would let "portal.example.test.evil.net"
    // pass for the portal.
    const std::string h = lowercased(host);
    const std::string home = lowercased(homeHost);
    if (home.empty()) {
        return false;
    }
    return h == home || (h.size() > home.size() && h.ends_with(home) && h[h.size() - home.size() - 1] == '.');
}

bool ViewController::matchesOrigin(const plat::URL& url, const std::vector<std::string>& list) {
    const auto scheme = url.scheme();
    const auto host = url.host();
    if (!scheme || !host) {
        return false;
    }
    const std::string s = lowercased(*scheme);
    const std::string h = lowercased(*host);
    const auto port = effectivePort(url, s);
    return std::any_of(list.begin(), list.end(), [&](const std::string& entry) {
        const auto root = plat::URL::parse(entry);
        if (!root || !root->scheme() || !root->host()) {
            return false;
        }
        const std::string rootScheme = lowercased(*root->scheme());
        return rootScheme == s && lowercased(*root->host()) == h && effectivePort(*root, rootScheme) == port;
    });
}

void ViewController::openInSystem(const plat::URL& url) {
    auto application = plat::UIApplication::sharedApplication();
    if (!application) {
        return;
    }
    if (plat::ProcessInfo::processInfo().isOperatingSystemAtLeast(plat::OperatingSystemVersion{10, 0, 0})) {
        application->openURL(url.absoluteString(), plat::Dictionary{}, nullptr);
    } else {
        application->openURL(url.absoluteString());
    }
}

void ViewController::openExternally(const plat::URL& url) {
    if (url.absoluteString().find("http") == std::string::npos) {
        return;
    }
    auto again = plat::URL::parse(url.absoluteString());
    auto application = plat::UIApplication::sharedApplication();
    if (again && application && application->canOpenURL(again->absoluteString())) {
        application->openURL(again->absoluteString());
    }
}

// ---- navigation policy -------------------------------------------------------------------------------

void ViewController::webView_decidePolicyForNavigationAction(
    const plat::rt::ObjectPtr&, const plat::WKNavigationAction& action,
    const plat::WKNavigationActionDecisionHandler& decisionHandler) {
    // A pop below may release the last other owner of this screen.
    auto self = shared_from_this();

    // The portal session is handed over on every decision, whatever the decision; it does not wait.
    fetchWebViewCookies(std::nullopt, handleWebViewCookies);

    const std::optional<plat::URL>& url = action.request.url();
    if (!url) {
        decisionHandler(WKNavigationActionPolicy::cancel);
        return;
    }
    const bool userClicked = action.navigationType == plat::WKNavigationType::linkActivated;

    if (userClicked) {
        const std::string homeHost = configService().baseUrlHomeHost().value_or("");
        const std::optional<std::string> host = url->host();
        const bool portalLink = homeHost.empty() || (host && isHomeHost(*host, homeHost));
        if (!portalLink) {
            auto application = plat::UIApplication::sharedApplication();
            if (url->absoluteString().find("mailto:") != std::string::npos && application &&
                application->canOpenURL(url->absoluteString())) {
                openInSystem(*url);
                decisionHandler(WKNavigationActionPolicy::allow);
            } else if (matchesOrigin(*url, Strings::BaseUrls::urls())) {
                decisionHandler(WKNavigationActionPolicy::allow);
            } else {
                openExternally(*url);
                decisionHandler(WKNavigationActionPolicy::cancel);
            }
            return;
        }
    }

    plat::debugPrint("URL: " + url->absoluteString());
    plat::debugPrint("HOST: " + url->host().value_or("NoHostError"));
    plat::debugPrint(std::string("USER CLICKED: ") + (userClicked ? "true" : "false"));
    plat::debugPrint(std::string(73, '-'));

    if (matches(*url, Strings::ExternalLinks::links())) {
        if (auto navigation = navigationController()) {
            navigation->popViewControllerAnimated(true);
        }
        openExternally(*url);
        decisionHandler(WKNavigationActionPolicy::cancel);
        return;
    }
    decisionHandler(WKNavigationActionPolicy::allow);
}

// ---- load state --------------------------------------------------------------------------------------

void ViewController::stopLoadingIndicators() {
    if (activityIndicatorView_) {
        activityIndicatorView_->stopAnimating();
    }
    if (refreshControl_) {
        refreshControl_->endRefreshing();
    }
}

void ViewController::webView_didCommitNavigation(const plat::rt::ObjectPtr&, const plat::WKNavigationPtr&) {
    setNetworkActivityIndicatorVisible(true);
}

void ViewController::webView_didFinishNavigation(const plat::rt::ObjectPtr&, const plat::WKNavigationPtr&) {
    stopLoadingIndicators();
    if (connectionLostView_) {
        connectionLostView_->setHidden(true);
    }
    if (wkWebView_) {
        wkWebView_->setHidden(false);
    }
    setNetworkActivityIndicatorVisible(false);
}

void ViewController::webView_didFailNavigation(const plat::rt::ObjectPtr&, const plat::WKNavigationPtr&,
                                               const plat::Error&) {
    stopLoadingIndicators();
    if (connectionLostView_) {
        connectionLostView_->setHidden(Helper::checkNetworkReachable());
    }
    // Offline, the connection-lost view and its reload button are what the user sees.
    if (wkWebView_) {
        wkWebView_->setHidden(!Helper::checkNetworkReachable());
    }
    setNetworkActivityIndicatorVisible(false);
}

void ViewController::webViewDidStartLoad(const plat::rt::ObjectPtr&) {
    setNetworkActivityIndicatorVisible(true);
}

void ViewController::webViewDidFinishLoad(const plat::rt::ObjectPtr& webView) {
    stopLoadingIndicators();
    if (connectionLostView_) {
        connectionLostView_->setHidden(true);
    }
    if (auto reporting = std::dynamic_pointer_cast<plat::UIView>(webView)) {
        reporting->setHidden(false);
    }
    setNetworkActivityIndicatorVisible(false);
}

void ViewController::webView_didFailLoadWithError(const plat::rt::ObjectPtr&, const plat::Error&) {
    stopLoadingIndicators();
    if (connectionLostView_) {
        connectionLostView_->setHidden(Helper::checkNetworkReachable());
    }
    setNetworkActivityIndicatorVisible(false);
}

bool ViewController::webView_shouldStartLoadWithRequest(const plat::rt::ObjectPtr&, const plat::URLRequest&,
                                                        int64_t) {
    return true;
}

// ---- JavaScript panels -------------------------------------------------------------------------------

namespace {

std::string panelTitle(const plat::WKFrameInfo& frame) {
    const auto& url = frame.request.url();
    return url ? url->host().value_or("") : "";
}

} // namespace

std::shared_ptr<plat::UIViewController> ViewController::alertPresenter() {
    auto presenter = std::static_pointer_cast<plat::UIViewController>(shared_from_this());
    while (auto presented = presenter->presentedViewController()) {
        presenter = presented;
    }
    return presenter;
}

bool ViewController::presentPanel(const std::shared_ptr<plat::UIAlertController>& alert) {
    return alertPresenter()->presentViewController(alert, true);
}

void ViewController::webView_runJavaScriptAlertPanelWithMessage(const plat::rt::ObjectPtr&,
                                                                const std::string& message,
                                                                const plat::WKFrameInfo& frame,
                                                                std::function<void()> completionHandler) {
    auto alert = plat::UIAlertController::alertControllerWithTitle(panelTitle(frame), message,
                                                                   plat::UIAlertControllerStyle::alert);
    alert->addAction(plat::UIAlertAction::actionWithTitle(
        std::string(Strings::AlertAction::ok), plat::UIAlertActionStyle::defaultStyle,
        [completionHandler](const plat::UIAlertAction&) { completionHandler(); }));
    // A panel nobody can see would leave the page waiting for ever; it counts as dismissed.
    if (!presentPanel(alert)) {
        completionHandler();
    }
}

void ViewController::webView_runJavaScriptConfirmPanelWithMessage(
    const plat::rt::ObjectPtr&, const std::string& message, const plat::WKFrameInfo& frame,
    std::function<void(bool)> completionHandler) {
    auto alert = plat::UIAlertController::alertControllerWithTitle(panelTitle(frame), message,
                                                                   plat::UIAlertControllerStyle::alert);
    alert->addAction(plat::UIAlertAction::actionWithTitle(
        std::string(Strings::AlertAction::ok), plat::UIAlertActionStyle::defaultStyle,
        [completionHandler](const plat::UIAlertAction&) { completionHandler(true); }));
    alert->addAction(plat::UIAlertAction::actionWithTitle(
        std::string(Strings::AlertAction::cancel), plat::UIAlertActionStyle::defaultStyle,
        [completionHandler](const plat::UIAlertAction&) { completionHandler(false); }));
    // A confirm nobody can see is not confirmed.
    if (!presentPanel(alert)) {
        completionHandler(false);
    }
}

// ---- windows -----------------------------------------------------------------------------------------

plat::rt::ObjectPtr
ViewController::webView_createWebViewWithConfiguration(const plat::rt::ObjectPtr&,
                                                       const plat::WKWebViewConfiguration& configuration,
                                                       const plat::WKNavigationAction& action) {
    auto self = shared_from_this();
    auto created = plat::WKWebView::make(wkWebView_ ? wkWebView_->frame() : plat::CGRect{}, configuration);
    if (action.targetFrame) {
        return created;
    }

    std::shared_ptr<ViewController> screen;
    if (auto board = storyboard()) {
        screen = std::dynamic_pointer_cast<ViewController>(
            board->instantiateViewControllerWithIdentifier(std::string(Strings::ViewController::identifier)));
        if (screen) {
            screen->setRequest(action.request);
            screen->setInitialWebview(created);
        }
    }
    auto pool = std::make_shared<plat::WKProcessPool>();
    if (screen) {
        screen->setProcessPool(pool);
    }
    auto navigation = navigationController();
    if (navigation && screen) {
        navigation->pushViewController(screen, true);
    }
    return created;
}

void ViewController::webViewDidClose(const plat::rt::ObjectPtr& webView) {
    if (!wkWebView_ || webView.get() != static_cast<plat::rt::Object*>(wkWebView_.get())) {
        return;
    }
    // A screen outside a navigation controller has nothing to return to: the same as an empty stack.
    std::vector<std::shared_ptr<plat::UIViewController>> stack;
    if (auto navigation = navigationController()) {
        stack = navigation->viewControllers();
    }
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        auto earlier = std::dynamic_pointer_cast<ViewController>(*it);
        if (!earlier || earlier.get() == this) {
            continue;
        }
        std::weak_ptr<ViewController> weakSelf = std::static_pointer_cast<ViewController>(shared_from_this());
        plat::DispatchQueue::main()->async([weakSelf, earlier] {
            auto screen = weakSelf.lock();
            if (!screen) {
                return;
            }
            if (auto navigation = screen->navigationController()) {
                navigation->popToViewController(earlier, true);
            }
        });
        return;
    }
    load(std::nullopt);
}
