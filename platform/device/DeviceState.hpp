#pragma once
// The process-wide state of the simulated device behind DeviceProfile and sim::Device (internal to
// platform/device). One mutex guards it; no device code is re-entered while it is held.

#include "platform/device/DeviceConfig.hpp"
#include "platform/device/PromptAnswers.hpp"
#include "platform/runtime/Imp.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace plat {

class PushRegistrar;

namespace detail {

struct DeviceState {
    std::mutex mutex;
    DeviceConfig config;
    bool booted = false;
    std::optional<UUID> vendorIdentifier; // cache of the device folder's copy
    PromptAnswers answers;
    std::vector<PromptRecord> prompts;
    bool legacyPromptShown = false; // OS 8-9 ask once; later registrations get the same answer
    // Remote notifications the device holds for a tap on OS 9 and earlier, by identifier.
    std::map<std::string, Value> legacyNotifications;
    std::shared_ptr<PushRegistrar> registrar;

    // Classes and methods the OS profile took away, so a later version can bring them back.
    std::set<std::string> hiddenClasses;
    std::map<std::pair<std::string, std::string>, rt::Imp> hiddenMethods;
};

DeviceState& deviceState();

// `<device>/identifierForVendor`.
std::string vendorIdentifierPath();

} // namespace detail
} // namespace plat
