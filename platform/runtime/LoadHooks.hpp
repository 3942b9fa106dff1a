#pragma once
// Class load hooks: the work the platform does when a library's classes are loaded (before the app's entry
// point). Each library exports its hook; the app keeps the one ordered list and runs it once at start-up,
// never from static initialisers.

#include <span>
#include <string_view>

namespace plat::rt {

struct LoadHook {
    std::string_view name; // e.g. "UIApplication(RadIrivoz)"
    void (*run)();
};

// Runs the hooks in list order, once per process: returns false (running nothing) when hooks already ran.
// A hook that throws ends the run there, as a failure while loading would.
bool runLoadHooks(std::span<const LoadHook> hooks);
bool loadHooksHaveRun();

} // namespace plat::rt
