#pragma once
// UIScrollView: the view a web view keeps its page in; the app adds its pull-to-refresh control to it.
// OwnedScrollView is the slot a host view keeps its one scroll view in, made on first use.

#include <memory>

#include "platform/uikit/UIView.hpp"

namespace plat {

class UIScrollView : public UIView {
public:
    explicit UIScrollView(rt::Class* cls, CGRect frame = {});
    static rt::Class* runtimeClass();
    static std::shared_ptr<UIScrollView> make(CGRect frame = {});
};

class OwnedScrollView {
public:
    // The host's scroll view: on first use one that fills the host, resizes with it and is its subview.
    std::shared_ptr<UIScrollView> get(UIView& host);

private:
    std::shared_ptr<UIScrollView> view_;
};

} // namespace plat
