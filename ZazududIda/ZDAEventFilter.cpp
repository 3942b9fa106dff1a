#include "ZazududIda/ZDAEventFilter.hpp"

#include "ZazududIda/ZDAConstants.hpp"

#include "platform/foundation/String.hpp"

#include <set>

bool ZDAEventFilter::shouldDiscardEvent(const ZDAEvent* event, const std::optional<std::string>& betaToken,
                                        const std::optional<std::string>& installationID, int64_t factor) const {
    if (!event) {
        return true;
    }
    if (betaToken) {
        return false;
    }
    if (!samplingEnabledForEventType(event->name())) {
        return false;
    }
    return shouldDiscardEventWithInstallationID(installationID, factor);
}

bool ZDAEventFilter::samplingEnabledForEventType(std::string_view name) const {
    static const std::set<std::string, std::less<>> sampled{
        zda::kAppLaunched,          zda::kAppTerminated,         zda::kAppCrashed,        zda::kAppMemoryWarning,
        zda::kAppEnteredBackground, zda::kAppEnteredForeground, zda::kAppBecameInactive, zda::kAppBecameActive,
    };
    return sampled.find(name) != sampled.end();
}

bool ZDAEventFilter::shouldDiscardEventWithInstallationID(const std::optional<std::string>& installationID,
                                                          int64_t factor) const {
    if (!installationID || factor < 2) {
        return false;
    }
    // The hash keeps its sign when widened, so a negative hash leaves a negative or zero remainder; only an
    // exact multiple of the factor keeps the events.
    const int64_t hash = javaHashCodeForString(*installationID);
    return hash % factor != 0;
}

int32_t ZDAEventFilter::javaHashCodeForString(std::string_view text) {
    uint32_t h = 0;
    for (char16_t unit : plat::String::utf16(text)) {
        h = h * 31u + static_cast<uint32_t>(unit);
    }
    return static_cast<int32_t>(h);
}
