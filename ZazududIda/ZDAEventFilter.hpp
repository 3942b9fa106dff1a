#pragma once
// Sampling of lifecycle events: an installation keeps all or none of them, by the hash of its installation
// ID against the settings' sampling factor. Beta testers, predefined, custom and install events are never
// sampled away.

#include "ZazududIda/ZDAEvent.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class ZDAEventFilter {
public:
    // A null event is discarded.
    bool shouldDiscardEvent(const ZDAEvent* event, const std::optional<std::string>& betaToken,
                            const std::optional<std::string>& installationID, int64_t factor) const;
    bool samplingEnabledForEventType(std::string_view name) const;
    bool shouldDiscardEventWithInstallationID(const std::optional<std::string>& installationID,
                                              int64_t factor) const;
    // h = h * 31 + unit over the UTF-16 units, wrapping in 32 bits; 0 for an empty string.
    static int32_t javaHashCodeForString(std::string_view text);
};
