#pragma once
// UIWindow: the view at the root of a screen tree, with the root view controller. The key window is the one
// the user sees; the application keeps its windows.

#include <memory>

#include "platform/uikit/UIView.hpp"
#include "platform/uikit/UIViewController.hpp"

namespace plat {

class UIWindow : public UIView {
public:
    explicit UIWindow(rt::Class* cls, CGRect frame = mainScreenBounds());
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIWindow> make(CGRect frame = mainScreenBounds());

    std::shared_ptr<UIViewController> rootViewController() const { return root_; }
    // Releases the old root; while the window is visible the new root's view loads at once and the two
    // screens get their appearance calls.
    void setRootViewController(const std::shared_ptr<UIViewController>& root);
    // Makes this the application's key window (the previous key window resigns) and shows the root screen.
    void makeKeyAndVisible();
    bool isKeyWindow() const;
    bool isVisible() const { return visible_; }

    // Called by the application when another window becomes key.
    void resignKeyWindow();
    // Called when the screen turns: the window takes the screen's bounds and, when that changes its size
    // while it shows a root screen, runs a layout pass over the screens it shows.
    void resizeToScreen();

private:
    void installRootView(UIViewController& root);

    std::shared_ptr<UIViewController> root_;
    bool visible_ = false;
};

} // namespace plat
