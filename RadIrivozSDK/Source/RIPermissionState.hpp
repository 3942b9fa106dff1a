#pragma once
// The notification permission as the push client last learned it: asked, answered, granted, provisional.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class RIPermissionState {
public:
    static std::shared_ptr<RIPermissionState> initAsTo();

    bool hasPrompted() const;
    void setHasPrompted(bool value);
    bool answeredPrompt() const;
    void setAnsweredPrompt(bool value);
    bool accepted() const;
    void setAccepted(bool value);
    bool provisional() const;
    void setProvisional(bool value);
    int32_t notificationTypes() const;
    void setNotificationTypes(int32_t types);

    // 2 granted, 1 denied (answered), 3 provisional, 0 not determined.
    int64_t status() const;
    std::string statusAsString() const;

    // {"hasPrompted", "status", "provisional"}
    plat::Dictionary toDictionary() const;
    std::string description() const;

private:
    mutable std::mutex mutex_;
    bool hasPrompted_ = false;
    bool answeredPrompt_ = false;
    bool accepted_ = false;
    bool provisional_ = false;
    int32_t notificationTypes_ = 0;
};
