#pragma once
// UIPageViewController: shows one page (a child screen) at a time. Turning to another page while the
// controller is on screen runs the appearance calls in the device's order.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/uikit/UIViewController.hpp"

namespace plat {

enum class UIPageViewControllerNavigationDirection : int64_t { forward = 0, reverse = 1 };

class UIPageViewController : public UIViewController {
public:
    explicit UIPageViewController(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIPageViewController> make();

    // The pages shown (empty until the first setViewControllers).
    std::vector<std::shared_ptr<UIViewController>> viewControllers() const { return pages_; }
    // Exactly one page is required, as for the device's scrolling transition; another count raises
    // NSInvalidArgumentException. The completion gets true once the new page is shown.
    void setViewControllers(const std::vector<std::shared_ptr<UIViewController>>& controllers,
                            UIPageViewControllerNavigationDirection direction, bool animated,
                            std::function<void(bool)> completion = {});

    void loadView() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidDisappear(bool animated) override;

private:
    std::vector<std::shared_ptr<UIViewController>> pages_;
};

} // namespace plat
