#include "platform/uikit/NSUserActivity.hpp"

#include "platform/runtime/Runtime.hpp"

namespace plat {

NSUserActivity::NSUserActivity(rt::Class* cls) : rt::Object(cls) {}

rt::Class* NSUserActivity::runtimeClass() {
    static rt::Class* cls = rt::registerClass<NSUserActivity>("NSUserActivity");
    return cls;
}

std::shared_ptr<NSUserActivity> NSUserActivity::make(std::string activityType) {
    auto activity = std::make_shared<NSUserActivity>(runtimeClass());
    activity->type_ = std::move(activityType);
    return activity;
}

Value NSUserActivity::valueForKey(std::string_view key) {
    if (key == "activityType") {
        return Value(type_);
    }
    if (key == "webpageURL") {
        return url_.empty() ? Value() : Value(url_);
    }
    if (key == "userInfo") {
        return userInfo_;
    }
    return rt::Object::valueForKey(key);
}

} // namespace plat
