#pragma once
// The app's entry point: runs the load hooks, launches the application with the delegate class named, and
// runs the main loop until the app terminates.

#include <span>

#include "platform/runtime/LoadHooks.hpp"

namespace plat {

int UIApplicationMain(int argc, char** argv, const char* principalClassName, const char* delegateClassName,
                      std::span<const rt::LoadHook> loadHooks = {});

} // namespace plat
