#pragma once
// Alerts: UIAlertController with its actions (presented like any screen, over the presenter) and the legacy
// UIAlertView (shown on its own; taps reach its delegate on the main queue). The driver taps them
// (sim::App::tapAlertAction, tapAlertButton).
//
// UIAlertView delegate methods: alertView:clickedButtonAtIndex: and alertView:didDismissWithButtonIndex:,
// both (rt::ObjectPtr alertView, int64_t buttonIndex) -> void.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/UIViewController.hpp"

namespace plat {

enum class UIAlertControllerStyle : int64_t { actionSheet = 0, alert = 1 };
enum class UIAlertActionStyle : int64_t { defaultStyle = 0, cancel = 1, destructive = 2 };

class UIAlertAction {
public:
    using Handler = std::function<void(const UIAlertAction&)>;
    static std::shared_ptr<UIAlertAction> actionWithTitle(std::string title, UIAlertActionStyle style,
                                                          Handler handler = {});
    const std::string& title() const { return title_; }
    UIAlertActionStyle style() const { return style_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    const Handler& handler() const { return handler_; }

    UIAlertAction(std::string title, UIAlertActionStyle style, Handler handler)
        : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}

private:
    std::string title_;
    UIAlertActionStyle style_;
    Handler handler_;
    bool enabled_ = true;
};

class UIAlertController : public UIViewController {
public:
    explicit UIAlertController(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIAlertController> alertControllerWithTitle(std::string title, std::string message,
                                                                       UIAlertControllerStyle style);

    const std::string& message() const { return message_; }
    UIAlertControllerStyle preferredStyle() const { return style_; }
    void addAction(std::shared_ptr<UIAlertAction> action);
    const std::vector<std::shared_ptr<UIAlertAction>>& actions() const { return actions_; }

protected:
    bool coversPresenter() const override { return false; }

private:
    std::string message_;
    UIAlertControllerStyle style_ = UIAlertControllerStyle::alert;
    std::vector<std::shared_ptr<UIAlertAction>> actions_;
};

class UIAlertView : public UIView {
public:
    explicit UIAlertView(rt::Class* cls);
    static rt::Class* runtimeClass();
    // Buttons: the cancel button first (index 0) when given, then the others in order.
    static std::shared_ptr<UIAlertView> make(std::string title, std::string message,
                                             const rt::ObjectPtr& delegate,
                                             std::optional<std::string> cancelButtonTitle,
                                             std::vector<std::string> otherButtonTitles = {});

    const std::string& title() const { return title_; }
    const std::string& message() const { return message_; }
    rt::ObjectPtr delegate() const { return delegate_.lock(); }
    void setDelegate(const rt::ObjectPtr& d) { delegate_ = d; }
    int64_t addButtonWithTitle(std::string title);
    int64_t numberOfButtons() const { return static_cast<int64_t>(buttons_.size()); }
    std::string buttonTitleAtIndex(int64_t index) const;
    int64_t cancelButtonIndex() const { return cancelIndex_; }
    bool isVisible() const { return visible_; }
    void show();
    // Hides the alert and, on the main queue, tells the delegate of the click, then of the dismissal.
    void dismissWithClickedButtonIndex(int64_t index, bool animated);

private:
    std::string title_;
    std::string message_;
    std::weak_ptr<rt::Object> delegate_;
    std::vector<std::string> buttons_;
    int64_t cancelIndex_ = -1;
    bool visible_ = false;
};

} // namespace plat
