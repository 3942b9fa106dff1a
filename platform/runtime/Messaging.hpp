#pragma once
// msgSend: a message dispatched through the receiver's class (isa), so implementations added, replaced or
// exchanged at run time take effect exactly as on the device.

#include <memory>
#include <type_traits>
#include <utility>

#include "platform/runtime/Imp.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/runtime/Sel.hpp"

namespace plat::rt {

namespace detail {
// The implementation a message to the receiver runs. An unknown selector, or a method without body,
// raises the platform's NSInvalidArgumentException ("unrecognized selector").
Imp implementationForMessage(const Object& receiver, Sel sel);
} // namespace detail

// Sends sel with the arguments; R and the canonical argument types must match the implementation's
// signature (std::logic_error otherwise). Arguments are passed in canonical form: text as std::string,
// objects (also of a subclass type) as ObjectPtr, integers as int64_t / uint64_t; everything else as its own
// type.
template <class R = void, class... A> R msgSend(Object& receiver, Sel sel, A&&... args) {
    Imp imp = detail::implementationForMessage(receiver, sel);
    return imp.call<R>(receiver, std::forward<A>(args)...);
}

// A message to a null object does nothing and gives a value-initialised R, as a message to nil does.
template <class R = void, class T, class... A>
requires std::is_base_of_v<Object, T> R msgSend(const std::shared_ptr<T>& receiver, Sel sel, A&&... args) {
    if (!receiver) {
        if constexpr (std::is_void_v<R>) {
            return;
        } else {
            return R{};
        }
    }
    return msgSend<R>(static_cast<Object&>(*receiver), sel, std::forward<A>(args)...);
}

} // namespace plat::rt
