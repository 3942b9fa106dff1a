#pragma once
// The process-wide class registry behind the runtime functions (internal to platform/runtime). One
// reader-writer lock guards the class tables and every method table, so lookups run in parallel and a
// change is seen whole.

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Class.hpp"
#include "platform/runtime/Sel.hpp"
#include "platform/runtime/SimRuntime.hpp"

namespace plat::rt {

class Registry {
public:
    static Registry& shared();

    std::shared_mutex mutex;

    // All under `mutex`.
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, Class*, Hash, std::equal_to<>> byName;
    std::unordered_set<std::string, Hash, std::equal_to<>> pendingPairs;    // allocated, not yet registered
    std::unordered_map<std::string, Class*, Hash, std::equal_to<>> removed; // hidden by sim::Runtime
    std::vector<Class*> list;                                               // registration order
    std::vector<std::shared_ptr<Class>> owned; // every class ever made; classes are never destroyed

    Class* root = nullptr;

    // Makes a class and its metaclass (not registered). Caller holds `mutex` exclusively.
    Class* makeClassLocked(std::string_view name, Class* superclass, size_t instanceSize);
    void registerLocked(Class* cls);
    void unregisterLocked(Class* cls);

    static Method* ownMethodLocked(Class* cls, Sel sel);
    static Method* findMethodLocked(Class* cls, Sel sel);
    static std::unordered_map<Sel, std::unique_ptr<Method>>& methods(Class* cls) { return cls->methods_; }
    static std::vector<std::string>& protocols(Class* cls) { return cls->protocols_; }
    static Class::Factory& factory(Class* cls) { return cls->factory_; }
    static bool& registered(Class* cls) { return cls->registered_; }
    static Imp& imp(Method* m) { return m->imp_; }
    static std::string& types(Method* m) { return m->types_; }

    // Opt-in record of messages sent with chosen selectors (sim::Runtime).
    std::atomic<bool> recording{false};
    std::mutex logMutex;
    std::unordered_set<Sel> recordedSelectors;
    std::vector<sim::SentMessage> sendLog;
    void recordSend(const Object& receiver, Sel sel);

private:
    friend class plat::NeverDestroyed<Registry>;
    Registry();
};

// Access to Object internals for the runtime's own functions.
class ObjectAccess {
public:
    static std::atomic<Class*>& isa(Object& obj) { return obj.isa_; }
    static std::mutex& mutex(const Object& obj) { return obj.mutex_; }
    static auto& associations(Object& obj) { return obj.associations_; }
    static const auto& associations(const Object& obj) { return obj.associations_; }
    using Association = Object::Association;
};

} // namespace plat::rt
