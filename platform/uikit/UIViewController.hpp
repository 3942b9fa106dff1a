#pragma once
// UIViewController: a screen with a lazily loaded view, appearance and layout calls sent through the runtime
// (so hooks installed on "viewDidAppear:" and the others see them), child controllers and modal presentation.
// Subclass it in C++ and register the subclass with rt::registerClass<T>(name,
// UIViewController::runtimeClass()).

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/Object.hpp"
#include "platform/uikit/UIBarButtonItem.hpp"
#include "platform/uikit/UIResponder.hpp"
#include "platform/uikit/UIView.hpp"

namespace plat {

class UINavigationController;
class UIStoryboard;
class UITabBarController;

class UIViewController : public UIResponder {
public:
    explicit UIViewController(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIViewController> make();

    // Loads the view on first access: loadView, then "viewDidLoad" through the runtime.
    std::shared_ptr<UIView> view();
    bool isViewLoaded() const { return view_ != nullptr; }
    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    // What a navigation controller's bar shows while this screen is on top.
    UINavigationItem& navigationItem() { return navigationItem_; }
    // 0 cover vertical (the default), 1 flip horizontal, 2 cross dissolve.
    int64_t modalTransitionStyle() const { return modalTransitionStyle_; }
    void setModalTransitionStyle(int64_t style) { modalTransitionStyle_ = style; }

    // Overridden by screens; called by the runtime methods of the same name.
    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool) {}
    virtual void viewDidAppear(bool) {}
    virtual void viewWillDisappear(bool) {}
    virtual void viewDidDisappear(bool) {}
    virtual void viewDidLayoutSubviews() {}

    std::shared_ptr<UIViewController> parentViewController() const { return parent_.lock(); }
    const std::vector<std::shared_ptr<UIViewController>>& childViewControllers() const { return children_; }
    void addChildViewController(const std::shared_ptr<UIViewController>& child);
    void removeFromParentViewController();
    // The nearest navigation controller up the parent chain.
    std::shared_ptr<UINavigationController> navigationController() const;
    // The nearest tab-bar controller up the parent chain.
    std::shared_ptr<UITabBarController> tabBarController() const;

    std::shared_ptr<UIViewController> presentedViewController() const { return presented_; }
    std::shared_ptr<UIViewController> presentingViewController() const { return presenting_.lock(); }
    bool isBeingPresented() const { return beingPresented_; }
    // Shows vc over this screen. Refused (with a [device] warning, completion not called) when this screen's
    // view is not in a window or it already presents another; returns whether it was shown.
    bool presentViewController(const std::shared_ptr<UIViewController>& vc, bool animated,
                               std::function<void()> completion = {});
    // Dismisses what this screen presents, or this screen when it is presented.
    void dismissViewControllerAnimated(bool animated, std::function<void()> completion = {});

    std::shared_ptr<UIStoryboard> storyboard() const { return storyboard_; }
    void setStoryboard(const std::shared_ptr<UIStoryboard>& s) { storyboard_ = s; }

    // Whether the screen is on screen (between viewDidAppear and viewWillDisappear's counterpart).
    bool isAppeared() const { return appeared_; }

    // Appearance calls in the device's order for a switch from one screen to another (either may be null):
    // old viewWillDisappear, new viewWillAppear, old viewDidDisappear, new viewDidAppear.
    static void transition(UIViewController* from, UIViewController* to, bool animated);
    static void sendWillAppear(UIViewController& vc, bool animated);
    static void sendDidAppear(UIViewController& vc, bool animated);
    static void sendWillDisappear(UIViewController& vc, bool animated);
    static void sendDidDisappear(UIViewController& vc, bool animated);
    // A layout pass over a screen whose view is in a window, as the device runs one after the view is put
    // in place and whenever the window's size changes: "viewDidLayoutSubviews" through the runtime, then the
    // same for the child screens shown inside its view and for the screen it presents.
    static void layoutPass(UIViewController& vc);

protected:
    // Whether presenting vc hides this screen (full-screen) rather than showing over it (alerts).
    virtual bool coversPresenter() const { return true; }
    void setViewDirect(std::shared_ptr<UIView> v) { view_ = std::move(v); }
    // Shows a child's view filling this controller's view (loading both), as the stock containers do.
    void embedChildView(UIViewController& child);
    // For containers that show one child at a time: puts `to`'s view into this controller's view in place of
    // `from`'s, with the appearance calls when this controller is on screen. Nothing happens before this
    // controller's view is loaded (it adds the shown child's view when it loads).
    void replaceShownChild(const std::shared_ptr<UIViewController>& from,
                           const std::shared_ptr<UIViewController>& to, bool animated);

private:
    std::shared_ptr<UIView> view_;
    std::string title_;
    UINavigationItem navigationItem_;
    int64_t modalTransitionStyle_ = 0;
    std::weak_ptr<UIViewController> parent_;
    std::vector<std::shared_ptr<UIViewController>> children_;
    std::shared_ptr<UIViewController> presented_;
    std::weak_ptr<UIViewController> presenting_;
    std::shared_ptr<UIStoryboard> storyboard_;
    bool beingPresented_ = false;
    bool appeared_ = false;
    bool loading_ = false;
};

} // namespace plat
