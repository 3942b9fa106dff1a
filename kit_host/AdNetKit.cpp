#include "kit_host/AdNetKit.hpp"

#include "platform/runtime/Runtime.hpp"

#include <string>

plat::rt::Class* AdNetKit::runtimeClass() {
    namespace rt = plat::rt;
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass("AdNetKit", rt::rootClass(), {"ZUVKit"});
        rt::Class* meta = rt::metaclass(c);
        rt::replaceMethod(meta, rt::sel("sharedInstance"), [c](rt::Object&) -> rt::ObjectPtr {
            static const rt::ObjectPtr instance = rt::createInstance(c);
            return instance;
        });
        rt::replaceMethod(meta, rt::sel("bundleIdentifier"), [](rt::Object&) -> std::string { return kBundleIdentifier; });
        rt::replaceMethod(meta, rt::sel("kitDisplayVersion"), [](rt::Object&) -> std::string { return kDisplayVersion; });
        return c;
    }();
    return cls;
}
