#include "platform/uikit/UIBarButtonItem.hpp"

#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIView.hpp"

namespace plat {

rt::Class* UIBarButtonItem::runtimeClass() {
    static rt::Class* const cls = rt::registerClass<UIBarButtonItem>("UIBarButtonItem");
    return cls;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::makeSystemItem(UIBarButtonSystemItem item,
                                                                 const rt::ObjectPtr& target, std::string action) {
    auto made = std::make_shared<UIBarButtonItem>(runtimeClass());
    made->systemItem_ = item;
    made->target_ = target;
    made->action_ = std::move(action);
    return made;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::makeWithCustomView(std::shared_ptr<UIView> view) {
    auto made = std::make_shared<UIBarButtonItem>(runtimeClass());
    made->customView_ = std::move(view);
    return made;
}

} // namespace plat
