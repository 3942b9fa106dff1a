#pragma once
// The analytics facade. So far only the entry the error events use; events reach whoever listens.

#include "platform/foundation/Value.hpp"

#include <functional>
#include <string>

class DMSAnalytics {
public:
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const plat::Dictionary& parameters);

    using InternalEventListener =
        std::function<void(const std::string& origin, const std::string& name, const plat::Dictionary& parameters)>;
    // Test control: sees every internal event handed to the facade (none: stop listening).
    static void setInternalEventListenerForTesting(InternalEventListener listener);
};
