#include "platform/uikit/UIDevice.hpp"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"

namespace plat {
namespace {

struct FactsSlot {
    std::mutex mutex;
    std::shared_ptr<const DeviceFacts> facts = std::make_shared<DeviceFacts>();
    std::atomic<UIInterfaceOrientation> interfaceOrientation{UIInterfaceOrientation::portrait};
};

FactsSlot& slot() {
    static NeverDestroyed<FactsSlot> instance;
    return *instance;
}

// A copy of the pointer, so a provider replaced meanwhile stays alive for the call.
std::shared_ptr<const DeviceFacts> facts() {
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    return s.facts;
}

} // namespace

std::string DeviceFacts::systemVersion() const {
    return ProcessInfo::processInfo().operatingSystemVersion().text();
}

std::optional<UUID> DeviceFacts::identifierForVendor() const {
    static const UUID id = UUID::random();
    return id;
}

UIDevice& UIDevice::currentDevice() {
    static NeverDestroyed<UIDevice> instance;
    return *instance;
}

bool UIDevice::isMultitaskingSupported() const {
    return facts()->multitaskingSupported();
}

std::string UIDevice::systemName() const {
    return facts()->systemName();
}
std::string UIDevice::systemVersion() const {
    return facts()->systemVersion();
}
std::string UIDevice::model() const {
    return facts()->model();
}
std::string UIDevice::name() const {
    return facts()->name();
}
std::optional<UUID> UIDevice::identifierForVendor() const {
    return facts()->identifierForVendor();
}
UIDeviceOrientation UIDevice::orientation() const {
    return facts()->orientation();
}
int64_t UIDevice::userInterfaceIdiom() const {
    return facts()->userInterfaceIdiom();
}

UIScreen& UIScreen::mainScreen() {
    static NeverDestroyed<UIScreen> instance;
    return *instance;
}

CGRect UIScreen::bounds() const {
    CGRect bounds = facts()->screenBounds();
    const auto o = slot().interfaceOrientation.load();
    const bool landscape =
        o == UIInterfaceOrientation::landscapeLeft || o == UIInterfaceOrientation::landscapeRight;
    // The facts describe the screen held upright; a screen turned on its side is wider than tall.
    if (landscape && bounds.size.height > bounds.size.width) {
        std::swap(bounds.size.width, bounds.size.height);
    }
    return bounds;
}
double UIScreen::scale() const {
    return facts()->screenScale();
}

namespace sim {
void setDeviceFacts(std::shared_ptr<const DeviceFacts> provider) {
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    s.facts = provider ? std::move(provider) : std::make_shared<DeviceFacts>();
}

void setInterfaceOrientation(UIInterfaceOrientation orientation) {
    slot().interfaceOrientation.store(orientation);
}
} // namespace sim

} // namespace plat
