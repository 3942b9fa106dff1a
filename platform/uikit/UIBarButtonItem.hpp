#pragma once
// UIBarButtonItem and UINavigationItem: the buttons and title a screen shows in its navigation controller's
// bar. A system item or a custom view; a tap (sim::App::tapBarButtonItem) sends the action selector to the
// target with the item as sender, (rt::ObjectPtr sender) -> void.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/Object.hpp"

namespace plat {

class UIView;

enum class UIBarButtonSystemItem : int64_t { done = 0, cancel = 1, edit = 2, save = 3 };

class UIBarButtonItem final : public rt::Object {
public:
    explicit UIBarButtonItem(rt::Class* cls) : rt::Object(cls) {}
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIBarButtonItem> makeSystemItem(UIBarButtonSystemItem item, const rt::ObjectPtr& target,
                                                           std::string action);
    static std::shared_ptr<UIBarButtonItem> makeWithCustomView(std::shared_ptr<UIView> view);

    std::optional<UIBarButtonSystemItem> systemItem() const { return systemItem_; }
    const std::shared_ptr<UIView>& customView() const { return customView_; }
    rt::ObjectPtr target() const { return target_.lock(); }
    const std::string& action() const { return action_; }

private:
    std::optional<UIBarButtonSystemItem> systemItem_;
    std::shared_ptr<UIView> customView_;
    std::weak_ptr<rt::Object> target_; // weak, as on the device
    std::string action_;
};

struct UINavigationItem {
    std::string title;
    std::shared_ptr<UIBarButtonItem> leftBarButtonItem;
    std::shared_ptr<UIBarButtonItem> rightBarButtonItem;
};

} // namespace plat
