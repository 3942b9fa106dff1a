#include "crash/Vuzidorazav.hpp"

#include "crash/capture/VZRCrashHandlers.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/runtime/Runtime.hpp"

#include <string>

plat::rt::Class* Vuzidorazav::runtimeClass() {
    namespace rt = plat::rt;
    static rt::Class* const cls = [] {
        // Class load comes before the platform's first thread, which must already get its alternate stack.
        VZRCrashHandlersLoad();
        rt::Class* c = rt::registerClass<Vuzidorazav>("Vuzidorazav", rt::rootClass(), {"ZUVKit"});
        rt::Class* meta = rt::metaclass(c);
        rt::replaceMethod(meta, "bundleIdentifier",
                          [](rt::Object&) -> std::string { return kBundleIdentifier; });
        rt::replaceMethod(meta, "kitDisplayVersion",
                          [](rt::Object&) -> std::string { return kDisplayVersion; });
        rt::replaceMethod(meta, "kitBuildVersion", [](rt::Object&) -> std::string { return kBuildVersion; });
        rt::replaceMethod(meta, "sharedInstance",
                          [](rt::Object&) -> rt::ObjectPtr { return sharedInstance(); });
        rt::replaceMethod(meta, "initializeIfNeeded", [](rt::Object&) { sharedInstance()->start(); });
        rt::replaceMethod(c, "start", [](Vuzidorazav& self) { self.start(); });
        return c;
    }();
    return cls;
}

std::shared_ptr<Vuzidorazav> Vuzidorazav::sharedInstance() {
    static const std::shared_ptr<Vuzidorazav> instance = plat::rt::make<Vuzidorazav>(runtimeClass());
    return instance;
}

void Vuzidorazav::start() {
    if (started_.exchange(true)) {
        return;
    }
    plat::NSLogText(std::string("[Vuzidorazav] Version ") + kDisplayVersion + " (" + kBuildVersion + ")");
}
