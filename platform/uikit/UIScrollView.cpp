#include "platform/uikit/UIScrollView.hpp"

#include "platform/uikit/UIKitClasses.hpp"

namespace plat {

UIScrollView::UIScrollView(rt::Class* cls, CGRect frame) : UIView(cls, frame) {}

rt::Class* UIScrollView::runtimeClass() {
    return uikitClasses().scrollView;
}

std::shared_ptr<UIScrollView> UIScrollView::make(CGRect frame) {
    return std::make_shared<UIScrollView>(runtimeClass(), frame);
}

std::shared_ptr<UIScrollView> OwnedScrollView::get(UIView& host) {
    if (!view_) {
        view_ = UIScrollView::make(host.bounds());
        view_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
        host.addSubview(view_);
    }
    return view_;
}

} // namespace plat
