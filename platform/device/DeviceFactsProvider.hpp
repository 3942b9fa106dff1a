#pragma once
// What the booted device tells UIDevice, UIScreen and the notification prompts (internal to platform/device):
// boot installs these into uikit and the notification centre.

#include <memory>

#include "platform/uikit/UIDevice.hpp"

namespace plat::detail {

// UIDevice and UIScreen answers read from the device configuration and profile at each call, so later
// driver changes (rotation, OS updates) show.
std::shared_ptr<const DeviceFacts> deviceFacts();

// Installs the permission prompts of OS 8-9 (uikit) and OS 10 and later (the notification centre): each
// records the prompt and answers from the device's prompt answers.
void installNotificationPrompts();

} // namespace plat::detail
