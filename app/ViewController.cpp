#include "app/ViewController.hpp"

#include "app/Helper.hpp"
#include "app/Strings.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UINavigationController.hpp"

#include <atomic>

namespace {

// Only the first screen of the process hides the navigation bar; it passes from true to false once, in the
// first viewDidLoad, and never returns.
std::atomic<bool>& shouldHideNavBarOnce() {
    static std::atomic<bool> flag{true};
    return flag;
}

bool usesWKWebView() {
    return plat::ProcessInfo::processInfo().isOperatingSystemAtLeast(plat::OperatingSystemVersion{10, 0, 0});
}

plat::URLRequest startRequest(const plat::URL& url) {
    return plat::URLRequest(url, plat::URLRequestCachePolicy::useProtocolCachePolicy, 60);
}

plat::rt::Class* registerRuntimeClass() {
    using namespace plat;
    using rt::ObjectPtr;
    rt::Class* cls = rt::registerClass<ViewController>(Strings::ViewController::identifier,
                                                       UIViewController::runtimeClass());

    rt::addMethod(cls, rt::sel("initWithNibName:bundle:"),
                  [](ViewController& self, std::optional<std::string> nib, ObjectPtr bundle) {
                      return self.initWithNibName(nib, bundle);
                  });
    rt::addMethod(cls, rt::sel("initWithCoder:"),
                  [](ViewController& self, ObjectPtr coder) { return self.initWithCoder(coder); });

    rt::addMethod(cls, rt::sel("connectionLostView"),
                  [](ViewController& self) -> ObjectPtr { return self.connectionLostView(); });
    rt::addMethod(cls, rt::sel("setConnectionLostView:"), [](ViewController& self, ObjectPtr view) {
        self.setConnectionLostView(std::dynamic_pointer_cast<UIView>(view));
    });
    rt::addMethod(cls, rt::sel("webView"), [](ViewController& self) -> ObjectPtr { return self.webView(); });
    rt::addMethod(cls, rt::sel("setWebView:"), [](ViewController& self, ObjectPtr view) {
        self.setWebView(std::dynamic_pointer_cast<UIWebView>(view));
    });
    rt::addMethod(cls, rt::sel("activityIndicatorView"),
                  [](ViewController& self) -> ObjectPtr { return self.activityIndicatorView(); });
    rt::addMethod(cls, rt::sel("setActivityIndicatorView:"), [](ViewController& self, ObjectPtr view) {
        self.setActivityIndicatorView(std::dynamic_pointer_cast<UIActivityIndicatorView>(view));
    });

    rt::addMethod(
        cls, rt::sel("refreshWebViewWithRefreshControl:"),
        [](ViewController& self, ObjectPtr control) { self.refreshWebViewWithRefreshControl(control); });
    rt::addMethod(cls, rt::sel("reloadButtonAction"),
                  [](ViewController& self) { self.reloadButtonAction(); });

    rt::addMethod(cls, rt::sel(WKSelector::decidePolicyForNavigationAction),
                  [](ViewController& self, ObjectPtr webView, WKNavigationAction action,
                     WKNavigationActionDecisionHandler decisionHandler) {
                      self.webView_decidePolicyForNavigationAction(webView, action, decisionHandler);
                  });
    rt::addMethod(cls, rt::sel(WKSelector::didCommitNavigation),
                  [](ViewController& self, ObjectPtr webView, WKNavigationPtr navigation) {
                      self.webView_didCommitNavigation(webView, navigation);
                  });
    rt::addMethod(cls, rt::sel(WKSelector::didFinishNavigation),
                  [](ViewController& self, ObjectPtr webView, WKNavigationPtr navigation) {
                      self.webView_didFinishNavigation(webView, navigation);
                  });
    for (const char* failure : {WKSelector::didFailNavigation, WKSelector::didFailProvisionalNavigation}) {
        rt::addMethod(cls, rt::sel(failure),
                      [](ViewController& self, ObjectPtr webView, WKNavigationPtr navigation, Error error) {
                          self.webView_didFailNavigation(webView, navigation, error);
                      });
    }
    rt::addMethod(cls, rt::sel(WKSelector::createWebView),
                  [](ViewController& self, ObjectPtr webView, WKWebViewConfiguration configuration,
                     WKNavigationAction action, WKWindowFeatures) -> ObjectPtr {
                      return self.webView_createWebViewWithConfiguration(webView, configuration, action);
                  });
    rt::addMethod(cls, rt::sel(WKSelector::webViewDidClose),
                  [](ViewController& self, ObjectPtr webView) { self.webViewDidClose(webView); });
    rt::addMethod(cls, rt::sel(WKSelector::runAlertPanel),
                  [](ViewController& self, ObjectPtr webView, std::string message, WKFrameInfo frame,
                     std::function<void()> completionHandler) {
                      self.webView_runJavaScriptAlertPanelWithMessage(webView, message, frame,
                                                                      std::move(completionHandler));
                  });
    rt::addMethod(cls, rt::sel(WKSelector::runConfirmPanel),
                  [](ViewController& self, ObjectPtr webView, std::string message, WKFrameInfo frame,
                     std::function<void(bool)> completionHandler) {
                      self.webView_runJavaScriptConfirmPanelWithMessage(webView, message, frame,
                                                                        std::move(completionHandler));
                  });

    rt::addMethod(cls, rt::sel(UIWebViewSelector::didStartLoad),
                  [](ViewController& self, ObjectPtr webView) { self.webViewDidStartLoad(webView); });
    rt::addMethod(cls, rt::sel(UIWebViewSelector::didFinishLoad),
                  [](ViewController& self, ObjectPtr webView) { self.webViewDidFinishLoad(webView); });
    rt::addMethod(cls, rt::sel(UIWebViewSelector::didFailLoad),
                  [](ViewController& self, ObjectPtr webView, Error error) {
                      self.webView_didFailLoadWithError(webView, error);
                  });
    rt::addMethod(cls, rt::sel(UIWebViewSelector::shouldStartLoad),
                  [](ViewController& self, ObjectPtr webView, URLRequest request, int64_t navigationType) {
                      return self.webView_shouldStartLoadWithRequest(webView, request, navigationType);
                  });
    return cls;
}

} // namespace

ViewController::ViewController(plat::rt::Class* cls) : plat::UIViewController(cls) {
    initialise();
}

plat::rt::Class* ViewController::runtimeClass() {
    static plat::rt::Class* const cls = registerRuntimeClass();
    return cls;
}

std::shared_ptr<ViewController> ViewController::make() {
    return std::static_pointer_cast<ViewController>(plat::rt::createInstance(runtimeClass()));
}

void ViewController::initialise() {
    connectionLostView_.reset();
    webView_.reset();
    activityIndicatorView_.reset();
    // The login page constant is a valid address by construction.
    request_ = startRequest(*plat::URL::parse(Strings::Endpoint::login));
    shouldHideNavBar_ = false;
    wkWebView_.reset();
    refreshControl_.reset();
    processPool_ = std::make_shared<plat::WKProcessPool>();
    initialWebview_ = plat::WKWebView::make();
    configService_ = &ASConfigService::shared();
}

plat::rt::ObjectPtr ViewController::initWithNibName(const std::optional<std::string>&,
                                                    const plat::rt::ObjectPtr&) {
    initialise();
    return shared_from_this();
}

plat::rt::ObjectPtr ViewController::initWithCoder(const plat::rt::ObjectPtr&) {
    initialise();
    return shared_from_this();
}

void ViewController::loadView() {
    plat::UIViewController::loadView();
    if (sceneBuilder_) {
        sceneBuilder_(*this, *view());
    }
}

void ViewController::viewDidLoad() {
    plat::UIViewController::viewDidLoad();

    setShouldHideNavBar(shouldHideNavBarOnce().exchange(false));

    if (activityIndicatorView_) {
        activityIndicatorView_->startAnimating();
    }
    if (connectionLostView_) {
        connectionLostView_->setHidden(true);
    }
    if (webView_) {
        webView_->setHidden(false);
    }

    if (usesWKWebView()) {
        wkWebView_ = initialWebview_;
        if (wkWebView_) {
            auto self = shared_from_this();
            wkWebView_->setNavigationDelegate(self);
            wkWebView_->setUIDelegate(self);
            wkWebView_->setAllowsBackForwardNavigationGestures(true);
            if (webView_) {
                webView_->setAutoresizingMask(plat::UIViewAutoresizingFlexibleWidth |
                                              plat::UIViewAutoresizingFlexibleHeight);
            }
            // On top of the storyboard's views; the placeholder only lends its frame.
            view()->addSubview(wkWebView_);
        }
    } else {
        wkWebView_.reset();
    }

    load(request());

    refreshControl_ = plat::UIRefreshControl::make();
    refreshControl_->addTarget(shared_from_this(), plat::rt::sel("refreshWebViewWithRefreshControl:"),
                               plat::UIControlEventValueChanged);
    if (wkWebView_) {
        wkWebView_->scrollView()->addSubview(refreshControl_);
    } else if (webView_) {
        webView_->scrollView()->addSubview(refreshControl_);
    }
}

void ViewController::viewDidLayoutSubviews() {
    plat::UIViewController::viewDidLayoutSubviews();
    if (wkWebView_ && webView_) {
        wkWebView_->setFrame(webView_->frame());
    }
}

void ViewController::viewWillAppear(bool animated) {
    plat::UIViewController::viewWillAppear(animated);
    if (auto navigation = navigationController()) {
        navigation->setNavigationBarHidden(shouldHideNavBar(), true);
    }
}

void ViewController::load(std::optional<plat::URLRequest> request) {
    const std::optional<plat::URL> baseURL = configService().baseURL();
    if (!baseURL) {
        return;
    }
    const plat::URLRequest toLoad = request ? std::move(*request) : startRequest(*baseURL);
    if (wkWebView_) {
        wkWebView_->load(toLoad);
    } else if (webView_) {
        webView_->loadRequest(toLoad);
    }
}

bool ViewController::activeCanGoBack() {
    if (wkWebView_) {
        return wkWebView_->canGoBack();
    }
    return webView_ && webView_->canGoBack();
}

void ViewController::reloadActive() {
    if (wkWebView_) {
        wkWebView_->reload();
    } else if (webView_) {
        webView_->reload();
    }
}

void ViewController::refreshWebViewWithRefreshControl(const plat::rt::ObjectPtr&) {
    if (activeCanGoBack()) {
        reloadActive();
    } else {
        load(request());
    }
}

void ViewController::reloadButtonAction() {
    if (!Helper::checkNetworkReachable()) {
        return;
    }
    // When even the first page never arrived there is nothing to reload, and the button would leave the
    // user on the offline view for good: the screen's own request is loaded instead.
    if (wkWebView_) {
        wkWebView_->setHidden(false);
        if (!wkWebView_->reload()) {
            load(request());
        }
    } else if (webView_) {
        webView_->setHidden(false);
        if (webView_->url()) {
            webView_->reload();
        } else {
            load(request());
        }
    }
}
