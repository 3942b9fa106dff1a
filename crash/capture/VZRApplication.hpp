#pragma once
// What the crash reporter asks about the application hosting it: whether it runs as an app extension, the
// shared application, opening URLs and process activities.

#include "platform/runtime/Object.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plat {
class UIApplication;
}

// The Info.plist's NSExtension / NSExtensionPointIdentifier; none when absent or mal-formed (with a warning
// in the SDK log for the latter).
std::optional<std::string> VZRApplicationExtensionPointIdentifier();
bool VZRApplicationIsExtension();
// None in an extension.
std::shared_ptr<plat::UIApplication> VZRApplicationSharedApplication();
// With an extension context, its "openURL:completionHandler:"; otherwise the shared application's openURL:
// at once (main thread), its answer passed to `completion`. False when there is neither.
void VZRApplicationOpenURL(const std::string& url, const plat::rt::ObjectPtr& extensionContext,
                           const std::function<void(bool)>& completion);

// Process activities, which keep the system from throttling work the user waits for.
using VZRActivity = uint64_t;
VZRActivity VZRApplicationBeginActivity(uint64_t options, const std::string& reason);
void VZRApplicationEndActivity(VZRActivity activity);
void VZRApplicationActivity(uint64_t options, const std::string& reason, const std::function<void()>& block);
