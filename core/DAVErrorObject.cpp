#include "core/DAVErrorObject.hpp"

#include "platform/runtime/Runtime.hpp"

namespace rt = plat::rt;

namespace {

rt::Class* errorClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass("NSError");
        rt::replaceMethod(c, "description", [](DAVErrorObject& self) -> std::string {
            return self.error().description();
        });
        return c;
    }();
    return cls;
}

} // namespace

plat::Value DAVErrorObject::valueWithError(plat::Error error) {
    return plat::Value(rt::ObjectPtr(rt::make<DAVErrorObject>(errorClass(), std::move(error))));
}

std::optional<plat::Error> DAVErrorObject::errorFromValue(const plat::Value& value) {
    if (!value.isObject() || !value.asObject()) {
        return std::nullopt;
    }
    auto* holder = dynamic_cast<const DAVErrorObject*>(value.asObject().get());
    return holder ? std::optional<plat::Error>(holder->error()) : std::nullopt;
}
