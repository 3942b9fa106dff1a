#pragma once
// UIView: a node of the simulated view tree (frame, hidden flag, subviews). Views are runtime objects so
// values and hooks can hold them; the tree holds subviews strongly and superviews weakly.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/runtime/Object.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UIResponder.hpp"

namespace plat {

class UIWindow;

class UIView : public UIResponder {
public:
    explicit UIView(rt::Class* cls, CGRect frame = {});
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIView> make(CGRect frame = {});

    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden);
    CGRect frame() const { return frame_; }
    // A change of size resizes the subviews by their autoresizing masks.
    void setFrame(CGRect frame);
    CGRect bounds() const { return CGRect{{0, 0}, frame_.size}; }
    uint64_t autoresizingMask() const { return autoresizingMask_; }
    void setAutoresizingMask(uint64_t mask) { autoresizingMask_ = mask; }

    const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
    // Moves the view here from any previous superview; it goes on top.
    void addSubview(const std::shared_ptr<UIView>& view);
    void removeFromSuperview();
    std::shared_ptr<UIView> superview() const { return superview_.lock(); }
    // The window the view is in (a window is its own), or null.
    std::shared_ptr<UIWindow> window();
    bool isDescendantOfView(const UIView& ancestor) const;

private:
    void resizeSubviews(CGSize oldSize);

    CGRect frame_;
    bool hidden_ = false;
    uint64_t autoresizingMask_ = 0;
    std::vector<std::shared_ptr<UIView>> subviews_;
    std::weak_ptr<UIView> superview_;
};

// The screen the simulated device shows (bounds of its windows).
CGRect mainScreenBounds();

} // namespace plat
