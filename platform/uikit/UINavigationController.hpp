#pragma once
// UINavigationController: a stack of screens of which the top one is shown; push and pop run the appearance
// calls in the device's order when the stack is on screen.

#include <memory>
#include <vector>

#include "platform/uikit/UIViewController.hpp"

namespace plat {

class UINavigationController : public UIViewController {
public:
    explicit UINavigationController(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UINavigationController> make(const std::shared_ptr<UIViewController>& root);

    std::vector<std::shared_ptr<UIViewController>> viewControllers() const { return childViewControllers(); }
    void setViewControllers(const std::vector<std::shared_ptr<UIViewController>>& controllers, bool animated);
    std::shared_ptr<UIViewController> topViewController() const;
    // The top screen, or what it presents.
    std::shared_ptr<UIViewController> visibleViewController() const;

    void pushViewController(const std::shared_ptr<UIViewController>& vc, bool animated);
    // Null when only the root is left.
    std::shared_ptr<UIViewController> popViewControllerAnimated(bool animated);
    std::vector<std::shared_ptr<UIViewController>>
    popToViewController(const std::shared_ptr<UIViewController>& vc, bool animated);
    std::vector<std::shared_ptr<UIViewController>> popToRootViewControllerAnimated(bool animated);

    bool isNavigationBarHidden() const { return barHidden_; }
    void setNavigationBarHidden(bool hidden, bool animated);

    void loadView() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidDisappear(bool animated) override;

private:
    // Replaces the shown top screen by `to` with the appearance calls, when the stack is on screen.
    void switchTop(const std::shared_ptr<UIViewController>& from, const std::shared_ptr<UIViewController>& to,
                   bool animated);
    bool barHidden_ = false;
};

} // namespace plat
