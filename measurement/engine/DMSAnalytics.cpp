#include "measurement/engine/DMSAnalytics.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

#include <mutex>

namespace {

struct DMSAnalyticsListenerSlot {
    std::mutex mutex;
    DMSAnalytics::InternalEventListener listener;
};

DMSAnalyticsListenerSlot& dmsAnalyticsListenerSlot() {
    static plat::NeverDestroyed<DMSAnalyticsListenerSlot> slot;
    return *slot;
}

} // namespace

void DMSAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const plat::Dictionary& parameters) {
    InternalEventListener listener;
    {
        auto& slot = dmsAnalyticsListenerSlot();
        std::lock_guard lock(slot.mutex);
        listener = slot.listener;
    }
    if (listener) {
        listener(origin, name, parameters);
    }
}

void DMSAnalytics::setInternalEventListenerForTesting(InternalEventListener listener) {
    auto& slot = dmsAnalyticsListenerSlot();
    std::lock_guard lock(slot.mutex);
    slot.listener = std::move(listener);
}
