#include "platform/runtime/LoadHooks.hpp"

#include <atomic>

namespace plat::rt {
namespace {
std::atomic<bool>& started() {
    static std::atomic<bool> flag{false};
    return flag;
}
} // namespace

bool runLoadHooks(std::span<const LoadHook> hooks) {
    if (started().exchange(true)) {
        return false;
    }
    for (const LoadHook& hook : hooks) {
        if (hook.run) {
            hook.run();
        }
    }
    return true;
}

bool loadHooksHaveRun() {
    return started().load();
}

} // namespace plat::rt
