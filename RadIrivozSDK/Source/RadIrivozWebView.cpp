#include "RadIrivozSDK/Source/RadIrivozWebView.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/webkit/UIWebView.hpp"

namespace rt = plat::rt;

namespace {

// Made on the first showInApp and kept for the process: the navigation controller always wraps the first web
// view controller shown.
struct WebViewScreens {
    std::shared_ptr<plat::UINavigationController> navigation;
    std::shared_ptr<plat::UIViewController> presenting;
};

WebViewScreens& webViewScreens() {
    static plat::NeverDestroyed<WebViewScreens> screens;
    return *screens;
}

} // namespace

rt::Class* RadIrivozWebView::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<RadIrivozWebView>("RadIrivozWebView", plat::UIViewController::runtimeClass());
        rt::addMethod(c, "dismiss:", [](RadIrivozWebView& self, rt::ObjectPtr sender) { self.dismiss(sender); });
        rt::addMethod(c, plat::UIWebViewSelector::didStartLoad,
                      [](RadIrivozWebView& self, rt::ObjectPtr) { self.webViewDidStartLoad(); });
        rt::addMethod(c, plat::UIWebViewSelector::didFinishLoad,
                      [](RadIrivozWebView& self, rt::ObjectPtr) { self.webViewDidFinishLoad(); });
        rt::addMethod(c, plat::UIWebViewSelector::didFailLoad,
                      [](RadIrivozWebView& self, rt::ObjectPtr, plat::Error error) {
                          self.webViewDidFailLoadWithError(error);
                      });
        return c;
    }();
    return cls;
}

std::shared_ptr<RadIrivozWebView> RadIrivozWebView::make() {
    return std::static_pointer_cast<RadIrivozWebView>(rt::createInstance(runtimeClass()));
}

void RadIrivozWebView::viewDidLoad() {
    plat::UIViewController::viewDidLoad();
    auto self = shared_from_this();
    webView_ = plat::UIWebView::make();
    webView_->setDelegate(self);
    view()->addSubview(webView_);
    pinSubviewToMarginsWithSubview(webView_, view());
    navigationItem().leftBarButtonItem =
        plat::UIBarButtonItem::makeSystemItem(plat::UIBarButtonSystemItem::done, self, "dismiss:");
    uiBusy_ = plat::UIActivityIndicatorView::make();
    uiBusy_->setHidesWhenStopped(true);
    navigationItem().rightBarButtonItem = plat::UIBarButtonItem::makeWithCustomView(uiBusy_);
}

void RadIrivozWebView::pinSubviewToMarginsWithSubview(const std::shared_ptr<plat::UIView>& subview,
                                                      const std::shared_ptr<plat::UIView>& superview) {
    // The simulated views have frames only: pinning the four edges is the superview's bounds, laid out now.
    if (subview && superview) {
        subview->setFrame(superview->bounds());
    }
}

void RadIrivozWebView::viewDidAppear(bool animated) {
    plat::UIViewController::viewDidAppear(animated);
    loadURL();
}

void RadIrivozWebView::loadURL() {
    if (url_ && webView_) {
        webView_->loadRequest(plat::URLRequest(*url_));
    }
}

void RadIrivozWebView::showInApp() {
    auto& screens = webViewScreens();
    if (!screens.navigation) {
        screens.navigation =
            plat::UINavigationController::make(std::static_pointer_cast<plat::UIViewController>(shared_from_this()));
        screens.navigation->setModalTransitionStyle(0);
    }
    if (!screens.presenting) {
        screens.presenting = plat::UIViewController::make();
    }
    if (screens.navigation->isViewLoaded() && screens.navigation->view()->window()) {
        loadURL();
        return;
    }
    if (!screens.presenting->view()->superview()) {
        auto application = plat::UIApplication::sharedApplication();
        if (auto window = application ? application->keyWindow() : nullptr) {
            window->addSubview(screens.presenting->view());
        }
    }
    screens.presenting->presentViewController(screens.navigation, true);
}

void RadIrivozWebView::dismiss(const rt::ObjectPtr&) {
    auto& screens = webViewScreens();
    if (!screens.navigation) {
        return;
    }
    auto self = std::static_pointer_cast<RadIrivozWebView>(shared_from_this());
    screens.navigation->dismissViewControllerAnimated(true, [self] {
        // The old page must not flash up when the view shows next time.
        if (self->webView_) {
            self->webView_->loadHTMLString("", std::nullopt);
        }
        if (auto presenting = webViewScreens().presenting) {
            presenting->view()->removeFromSuperview();
        }
    });
}

void RadIrivozWebView::webViewDidStartLoad() {
    if (uiBusy_) {
        uiBusy_->startAnimating();
    }
}

void RadIrivozWebView::webViewDidFinishLoad() {
    const std::string title = webView_ ? webView_->stringByEvaluatingJavaScriptFromString("document.title") : "";
    setTitle(title);
    navigationItem().title = title;
    if (auto navigation = webViewScreens().navigation) {
        navigation->setTitle(title);
    }
    if (uiBusy_) {
        uiBusy_->stopAnimating();
    }
}

void RadIrivozWebView::webViewDidFailLoadWithError(const plat::Error& error) {
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, error.localizedDescription());
}

std::shared_ptr<plat::UINavigationController> RadIrivozWebView::presentedNavigationController() {
    return webViewScreens().navigation;
}
