#pragma once
// The controls the app uses: UIControl's target-action (fired by the driver: sim::App::tapButton and
// sim::App::pullToRefresh), the button, the pull-to-refresh control and the activity indicator.

#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/Sel.hpp"
#include "platform/uikit/UIView.hpp"

namespace plat {

class UIControl : public UIView {
public:
    explicit UIControl(rt::Class* cls, CGRect frame = {});
    static rt::Class* runtimeClass();

    // The target is held weakly. An action ending in ':' receives the control (as rt::ObjectPtr). The action
    // is sent through the runtime, so a method added or exchanged at run time is the one that runs.
    void addTarget(const rt::ObjectPtr& target, rt::Sel action, uint64_t controlEvents);
    // A null target or action removes every target or action for those events.
    void removeTarget(const rt::ObjectPtr& target, rt::Sel action, uint64_t controlEvents);
    void sendActionsForControlEvents(uint64_t controlEvents);
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }

private:
    struct Target {
        std::weak_ptr<rt::Object> target;
        rt::Sel action;
        uint64_t events;
    };
    std::vector<Target> targets_;
    bool enabled_ = true;
};

class UIButton : public UIControl {
public:
    explicit UIButton(rt::Class* cls, CGRect frame = {});
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIButton> make(CGRect frame = {});

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

private:
    std::string title_;
};

class UIActivityIndicatorView : public UIView {
public:
    explicit UIActivityIndicatorView(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIActivityIndicatorView> make();

    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return animating_; }
    bool hidesWhenStopped() const { return hidesWhenStopped_; }
    void setHidesWhenStopped(bool hides);

private:
    bool animating_ = false;
    bool hidesWhenStopped_ = true;
};

class UIRefreshControl : public UIControl {
public:
    explicit UIRefreshControl(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIRefreshControl> make();

    void beginRefreshing();
    void endRefreshing();
    bool isRefreshing() const { return refreshing_; }

private:
    bool refreshing_ = false;
};

} // namespace plat
