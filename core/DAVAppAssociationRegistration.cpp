#include "core/DAVAppAssociationRegistration.hpp"

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/runtime/Runtime.hpp"

#include <mutex>

namespace rt = plat::rt;

namespace {

// The association key: the address of this variable, as the selector's address is on the device.
constexpr char kAssociationKey = 0;

std::recursive_mutex& classLock() {
    static std::recursive_mutex lock;
    return lock;
}

// Stored while the creation block for a key runs, so a request from inside the block is recognised.
const plat::Value& marker() {
    static const plat::Value value(plat::Data{'r', 'e', 'g', 'i', 's', 't', 'e', 'r', 'i', 'n', 'g'});
    return value;
}

plat::Dictionary registrations(rt::Object& host) {
    auto stored = rt::getAssociated(host, &kAssociationKey);
    return stored && stored->isDictionary() ? stored->asDictionary() : plat::Dictionary();
}

void store(rt::Object& host, const std::string& key, const plat::Value& value) {
    plat::Dictionary table = registrations(host);
    if (value.isNull()) {
        table.erase(key);
    } else {
        table.set(key, value);
    }
    rt::setAssociated(host, &kAssociationKey, plat::Value(std::move(table)), rt::AssociationPolicy::RetainNonatomic);
}

} // namespace

rt::ObjectPtr DAVAppAssociationRegistration::registeredObjectWithHost(
    rt::Object& host, const std::string& key, const std::function<rt::ObjectPtr()>& creationBlock) {
    std::lock_guard lock(classLock());
    const plat::Dictionary table = registrations(host);
    if (const plat::Value* existing = table.find(key)) {
        if (*existing == marker()) {
            plat::Exception::raise("Reentering registeredObjectWithHost:key:creationBlock: not allowed",
                                   plat::format("host: %@ key: %@", rt::describe(host), key));
        }
        return existing->isObject() ? existing->asObject() : nullptr;
    }
    store(host, key, marker());
    rt::ObjectPtr made;
    try {
        made = creationBlock ? creationBlock() : nullptr;
    } catch (...) {
        // A failed block must not leave the key looking busy for ever.
        store(host, key, plat::Value());
        throw;
    }
    store(host, key, made ? plat::Value(made) : plat::Value());
    return made;
}
