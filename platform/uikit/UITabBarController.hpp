#pragma once
// UITabBarController: screens side by side of which the selected one is shown. Selecting another while the
// controller is on screen runs the appearance calls in the device's order.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/uikit/UIViewController.hpp"

namespace plat {

class UITabBarController : public UIViewController {
public:
    // selectedIndex with no tabs: the platform's NSNotFound (NSIntegerMax).
    static constexpr uint64_t noSelection = INT64_MAX;

    explicit UITabBarController(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UITabBarController>
    make(const std::vector<std::shared_ptr<UIViewController>>& controllers = {});

    std::vector<std::shared_ptr<UIViewController>> viewControllers() const { return childViewControllers(); }
    // Keeps the selected screen when it is still a tab, else selects the same index, else the first.
    void setViewControllers(const std::vector<std::shared_ptr<UIViewController>>& controllers,
                            bool animated = false);
    std::shared_ptr<UIViewController> selectedViewController() const;
    // Only a tab can be selected: anything else raises NSInvalidArgumentException, as on the device.
    void setSelectedViewController(const std::shared_ptr<UIViewController>& vc);
    uint64_t selectedIndex() const;
    // An index past the tabs is ignored.
    void setSelectedIndex(uint64_t index);

    void loadView() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidDisappear(bool animated) override;

private:
    void select(const std::shared_ptr<UIViewController>& to, bool animated);
    std::weak_ptr<UIViewController> selected_;
};

} // namespace plat
