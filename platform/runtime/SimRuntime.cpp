#include "platform/runtime/SimRuntime.hpp"

#include "platform/runtime/Registry.hpp"
#include "platform/runtime/Runtime.hpp"

namespace plat::sim {

using rt::Registry;

rt::Class* Runtime::registerClass(std::string_view name, std::string_view superName) {
    auto& reg = Registry::shared();
    {
        std::unique_lock lock(reg.mutex);
        if (auto it = reg.byName.find(name); it != reg.byName.end()) {
            return it->second;
        }
        if (auto it = reg.removed.find(name); it != reg.removed.end()) {
            rt::Class* cls = it->second;
            reg.registerLocked(cls);
            return cls;
        }
    }
    rt::Class* super = rt::getClass(superName);
    return super ? rt::registerClass(name, super) : nullptr;
}

bool Runtime::unregisterClass(std::string_view name) {
    auto& reg = Registry::shared();
    std::unique_lock lock(reg.mutex);
    auto it = reg.byName.find(name);
    if (it == reg.byName.end()) {
        return false;
    }
    reg.unregisterLocked(it->second);
    return true;
}

void Runtime::recordSends(rt::Sel sel) {
    auto& reg = Registry::shared();
    std::lock_guard lock(reg.logMutex);
    reg.recordedSelectors.insert(sel);
    reg.recording.store(true, std::memory_order_release);
}

std::vector<SentMessage> Runtime::sendLog() {
    auto& reg = Registry::shared();
    std::lock_guard lock(reg.logMutex);
    return reg.sendLog;
}

void Runtime::clearSendLog() {
    auto& reg = Registry::shared();
    std::lock_guard lock(reg.logMutex);
    reg.sendLog.clear();
}

} // namespace plat::sim
