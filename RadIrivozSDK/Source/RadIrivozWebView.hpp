#pragma once
// The in-app web view of a notification's launch URL: the page fills a screen presented modally under a
// navigation bar with Done on the left and a spinner on the right; the bar's title becomes the page's title.
// Shown again while on screen, it loads the current URL in place. Main thread only.

#include "platform/foundation/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/uikit/UIViewController.hpp"

#include <memory>
#include <optional>

namespace plat {
class UIActivityIndicatorView;
class UINavigationController;
class UIWebView;
} // namespace plat

class RadIrivozWebView final : public plat::UIViewController {
public:
    explicit RadIrivozWebView(plat::rt::Class* cls) : plat::UIViewController(cls) {}
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<RadIrivozWebView> make();

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;

    // Presents the screen, or reloads the page when it is already on screen.
    void showInApp();
    // The Done button.
    void dismiss(const plat::rt::ObjectPtr& sender);

    void webViewDidStartLoad();
    void webViewDidFinishLoad();
    void webViewDidFailLoadWithError(const plat::Error& error);
    void pinSubviewToMarginsWithSubview(const std::shared_ptr<plat::UIView>& subview,
                                        const std::shared_ptr<plat::UIView>& superview);

    const std::optional<plat::URL>& url() const { return url_; }
    void setUrl(std::optional<plat::URL> url) { url_ = std::move(url); }
    const std::shared_ptr<plat::UIWebView>& webView() const { return webView_; }
    void setWebView(std::shared_ptr<plat::UIWebView> webView) { webView_ = std::move(webView); }
    const std::shared_ptr<plat::UIActivityIndicatorView>& uiBusy() const { return uiBusy_; }
    void setUiBusy(std::shared_ptr<plat::UIActivityIndicatorView> busy) { uiBusy_ = std::move(busy); }

    // The navigation controller the first shown web view lives in, once there is one.
    static std::shared_ptr<plat::UINavigationController> presentedNavigationController();

private:
    void loadURL();

    std::optional<plat::URL> url_;
    std::shared_ptr<plat::UIWebView> webView_;
    std::shared_ptr<plat::UIActivityIndicatorView> uiBusy_;
};
