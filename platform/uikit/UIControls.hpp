#pragma once
// The two controls the app uses: the activity indicator and the pull-to-refresh control (target/action,
// fired by the driver's sim::App::pullToRefresh).

#include <memory>
#include <vector>

#include "platform/runtime/Sel.hpp"
#include "platform/uikit/UIView.hpp"

namespace plat {

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

class UIRefreshControl : public UIView {
public:
    explicit UIRefreshControl(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIRefreshControl> make();

    // The target is held weakly. An action ending in ':' receives the control (as rt::ObjectPtr).
    void addTarget(const rt::ObjectPtr& target, rt::Sel action, uint64_t controlEvents);
    void sendActionsForControlEvents(uint64_t controlEvents);
    void beginRefreshing();
    void endRefreshing();
    bool isRefreshing() const { return refreshing_; }

private:
    struct Target {
        std::weak_ptr<rt::Object> target;
        rt::Sel action;
        uint64_t events;
    };
    std::vector<Target> targets_;
    bool refreshing_ = false;
};

} // namespace plat
