#include "RadIrivozSDK/Source/RINotification.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/uikit/UIApplication.hpp"

RINotification::RINotification(std::shared_ptr<const RINotificationPayload> payload,
                               RIInFocusDisplayType displayType)
    : payload_(std::move(payload)), displayType_(displayType) {
    if (payload_) {
        const plat::Value raw(payload_->rawPayload());
        silentNotification_ = RadIrivozHelper::isRemoteSilentNotification(payload_->rawPayload());
        // Unlike the payload's own flag, a present 0 means no mutable content here.
        const plat::Value* mutableContent = raw["aps"].find("mutable-content");
        mutableContent_ = mutableContent && mutableContent->isNumber() && mutableContent->integerValue() == 1;
    }
    auto application = plat::UIApplication::sharedApplication();
    isAppInFocus_ = application && application->applicationState() == plat::UIApplicationState::active;
    if (silentNotification_) {
        shown_ = false;
    } else if (isAppInFocus_ &&
               RadIrivoz::inFocusDisplayType() == RIInFocusDisplayType::RIInFocusDisplayNone) {
        shown_ = false;
    }
}
