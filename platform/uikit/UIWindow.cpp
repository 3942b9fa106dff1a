#include "platform/uikit/UIWindow.hpp"

#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIDevice.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace plat {

UIWindow::UIWindow(rt::Class* cls, CGRect frame) : UIView(cls, frame) {}

rt::Class* UIWindow::runtimeClass() {
    return uikitClasses().window;
}

std::shared_ptr<UIWindow> UIWindow::make(CGRect frame) {
    return std::make_shared<UIWindow>(runtimeClass(), frame);
}

void UIWindow::setRootViewController(const std::shared_ptr<UIViewController>& root) {
    requireMainThread("-[UIWindow setRootViewController:]");
    if (root == root_) {
        return;
    }
    std::shared_ptr<UIViewController> old = std::move(root_);
    root_ = root;
    if (root) {
        sim::UIRecorder::shared().windowRoot(rt::className(*root));
    }
    if (!visible_) {
        return;
    }
    if (root) {
        installRootView(*root);
    }
    UIViewController::transition(old ? old.get() : nullptr, root.get(), false);
    if (old && old->isViewLoaded()) {
        old->view()->removeFromSuperview();
    }
    // `old` is released here unless someone else keeps it.
}

void UIWindow::makeKeyAndVisible() {
    requireMainThread("-[UIWindow makeKeyAndVisible]");
    auto self = std::static_pointer_cast<UIWindow>(shared_from_this());
    const bool wasVisible = visible_;
    visible_ = true;
    if (auto app = UIApplication::sharedApplication()) {
        app->windowBecameKey(self);
    }
    if (!wasVisible && root_) {
        installRootView(*root_);
        UIViewController::transition(nullptr, root_.get(), false);
    }
    NotificationCenter::defaultCenter().post(UIWindowDidBecomeKeyNotification, this);
}

void UIWindow::installRootView(UIViewController& root) {
    auto rootView = root.view();
    addSubview(rootView);
    rootView->setFrame(bounds());
}

void UIWindow::resizeToScreen() {
    const CGRect screen = UIScreen::mainScreen().bounds();
    if (frame() == screen) {
        return;
    }
    setFrame(screen);
    if (!visible_ || !root_) {
        return;
    }
    // The root view follows the window whatever its autoresizing mask says, as on the device.
    if (root_->isViewLoaded()) {
        root_->view()->setFrame(bounds());
    }
    auto root = root_; // a layout method may replace the root
    UIViewController::layoutPass(*root);
}

bool UIWindow::isKeyWindow() const {
    auto app = UIApplication::sharedApplication();
    return app && app->keyWindow().get() == this;
}

void UIWindow::resignKeyWindow() {
    NotificationCenter::defaultCenter().post(UIWindowDidResignKeyNotification, this);
}

} // namespace plat
