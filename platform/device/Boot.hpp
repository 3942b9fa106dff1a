#pragma once
// Starting the simulated device: once per process, before the app's entry point.

#include "platform/device/DeviceConfig.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/runtime/LoadHooks.hpp"

#include <span>

namespace plat {

// On the main thread: selects the dispatch backend (when the config or an earlier choice does not), creates
// the app home folders and the device folder (home, tmp and device folder 0700), sets the main bundle, the
// OS version, languages, locale, time zone, app groups and receipt name, installs the push registrar,
// registers the stand-in classes of the OS profile and runs the load hooks. A bad version text, an unknown
// time zone or folders that cannot be made fail before anything else changes where they can; a second boot
// in one process fails.
Result<void> boot(const DeviceConfig& config, std::span<const rt::LoadHook> loadHooks = {});

bool isBooted();

} // namespace plat
