#include "platform/device/DeviceFactsProvider.hpp"

#include "platform/device/DeviceProfile.hpp"
#include "platform/device/DeviceState.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/usernotifications/SimNotifications.hpp"

namespace plat::detail {

namespace {

class ProfileFacts final : public DeviceFacts {
public:
    std::string systemName() const override { return DeviceProfile::systemName(); }
    std::string systemVersion() const override { return DeviceProfile::systemVersion(); }
    std::string model() const override { return DeviceProfile::model(); }
    std::string name() const override { return DeviceProfile::name(); }
    std::optional<UUID> identifierForVendor() const override { return DeviceProfile::identifierForVendor(); }
    // The two orientation kinds share their numbers (a device turned to landscape-left shows the interface
    // landscape-right), so the value carries over unchanged.
    UIDeviceOrientation orientation() const override {
        return static_cast<UIDeviceOrientation>(static_cast<int64_t>(DeviceProfile::orientation()));
    }
    int64_t userInterfaceIdiom() const override { return static_cast<int64_t>(DeviceProfile::idiom()); }
    CGRect screenBounds() const override {
        const ScreenInfo s = DeviceProfile::screen();
        return CGRect{{0, 0}, {s.width, s.height}};
    }
    double screenScale() const override { return DeviceProfile::screen().scale; }
};

} // namespace

std::shared_ptr<const DeviceFacts> deviceFacts() {
    return std::make_shared<ProfileFacts>();
}

void installNotificationPrompts() {
    sim::App::setLegacyNotificationPrompt([](uint64_t requested) {
        bool first = false;
        {
            std::lock_guard lock(deviceState().mutex);
            first = !deviceState().legacyPromptShown;
            deviceState().legacyPromptShown = true;
        }
        if (first)
            sim::Device::recordPrompt(PromptKind::legacyNotifications, requested);
        return sim::Device::answers().legacyTypes & requested;
    });
    // The user answers the notification prompt when the main queue reaches the work queued after the prompt
    // showed (after the answer's delay): the answer then runs on the centre's queue while the main thread
    // waits for it, so the app's own hand-over of the answer to the main queue lands at the same place in
    // every run instead of racing the main queue's launch work.
    sim::Notifications::setPromptDelivery([](double delay, std::function<void()> answerNow) {
        if (delay > 0) {
            (void)DispatchQueue::main()->asyncAfter(delay, std::move(answerNow));
        } else {
            DispatchQueue::main()->async(std::move(answerNow));
        }
    });
    sim::Notifications::setPromptSource([](uint64_t options) {
        sim::Device::recordPrompt(PromptKind::notifications, options);
        const NotificationPromptAnswer a = sim::Device::answers().notifications;
        return sim::AuthorizationAnswer{a.granted, a.error, a.delay};
    });
}

} // namespace plat::detail
