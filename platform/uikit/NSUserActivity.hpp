#pragma once
// NSUserActivity (runtime class "NSUserActivity"): what a universal link or handoff hands the app through
// application:continueUserActivity:restorationHandler:.

#include <memory>
#include <string>

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"

namespace plat {

inline constexpr const char* NSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

class NSUserActivity : public rt::Object {
public:
    explicit NSUserActivity(rt::Class* cls);
    static rt::Class* runtimeClass();
    static std::shared_ptr<NSUserActivity> make(std::string activityType);

    const std::string& activityType() const { return type_; }
    const std::string& webpageURL() const { return url_; } // empty: none
    void setWebpageURL(std::string url) { url_ = std::move(url); }
    const Value& userInfo() const { return userInfo_; }
    void setUserInfo(Value info) { userInfo_ = std::move(info); }

    Value valueForKey(std::string_view key) override;

private:
    std::string type_;
    std::string url_;
    Value userInfo_;
};

} // namespace plat
