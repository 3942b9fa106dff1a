#pragma once
// The app's class load hooks, in the order the platform runs them before the entry point: the delegate
// class, the service clients' classes and the main storyboard's scenes.

#include "platform/runtime/LoadHooks.hpp"

#include <span>

std::span<const plat::rt::LoadHook> appLoadHooks();
