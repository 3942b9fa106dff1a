#include "kit_host/Zuvadu.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

Zuvadu& Zuvadu::sharedSDK() {
    // Never destroyed: kits read it until the process ends.
    static plat::NeverDestroyed<Zuvadu> instance;
    return *instance;
}

Zuvadu& Zuvadu::with(const std::vector<plat::rt::Class*>& kits) {
    Zuvadu& sdk = sharedSDK();
    if (sdk.withCalled_.exchange(true)) {
        plat::NSLogText(
            "[Zuvadu] [Zuvadu +with] called multiple times. Only the first call is honored, please "
            "pass all kits you wish to initialize");
        return sdk;
    }
    std::vector<plat::rt::Class*> classes;
    for (plat::rt::Class* kit : kits) {
        if (kit) {
            classes.push_back(kit);
        }
    }
    validateFABKitConformance(classes);
    {
        std::lock_guard lock(sdk.mutex_);
        sdk.kitClasses_ = classes;
    }
    for (plat::rt::Class* kit : classes) {
        initializeKit(kit);
    }
    return sdk;
}

std::vector<plat::rt::Class*> Zuvadu::kitClasses() const {
    std::lock_guard lock(mutex_);
    return kitClasses_;
}

void Zuvadu::validateFABKitConformance(const std::vector<plat::rt::Class*>& kits) {
    for (plat::rt::Class* kit : kits) {
        if (!plat::rt::conformsTo(kit, "ZUVKit")) {
            plat::Exception::raise(kExceptionName,
                                   "[Zuvadu] It appears that \"" + kit->name() +
                                       "\" is not a valid Zuvadu Kit. Please make sure you only "
                                       "pass Zuvadu Kits to [Zuvadu with:].");
        }
    }
}

void Zuvadu::initializeKit(plat::rt::Class* kit) {
    if (plat::rt::respondsTo(*kit, "initializeIfNeeded")) {
        plat::rt::msgSend(*kit, "initializeIfNeeded");
    }
}
