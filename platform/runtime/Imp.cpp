#include "platform/runtime/Imp.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/runtime/Runtime.hpp"

namespace plat::rt::detail {

std::string demangle(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

void throwNullImplementation() {
    throw std::logic_error("call of a null method implementation (a marker)");
}

void throwSignatureMismatch(const std::type_info& have, const std::type_info& want) {
    throw std::logic_error("method signature mismatch: the implementation is " + demangle(have) +
                           ", the call is " + demangle(want));
}

void throwReceiverMismatch(const Object& receiver, const std::type_info& expected) {
    throw std::logic_error("method implementation expects a receiver of C++ type " + demangle(expected) +
                           ", got an instance of " + className(receiver));
}

} // namespace plat::rt::detail

namespace plat::rt {

std::string Imp::signatureName() const {
    return p_ ? detail::demangle(p_->signature) : "null";
}

} // namespace plat::rt
