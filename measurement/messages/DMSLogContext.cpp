#include "measurement/messages/DMSLogContext.hpp"

#include <cxxabi.h>

#include <memory>
#include <typeinfo>

namespace {

std::string dmsDemangledTypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

} // namespace

DMSExceptionInfo DMSExceptionInfo::fromCurrentException() {
    return fromException(std::current_exception());
}

DMSExceptionInfo DMSExceptionInfo::fromException(const std::exception_ptr& exception) {
    DMSExceptionInfo info;
    if (!exception) {
        info.name = "(unknown)";
        return info;
    }
    try {
        std::rethrow_exception(exception);
    } catch (const plat::Exception& e) {
        info.name = e.name();
        info.reason = e.reason();
        info.callStackSymbols = e.callStackSymbols();
    } catch (const std::exception& e) {
        info.name = dmsDemangledTypeName(typeid(e));
        info.reason = e.what();
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        info.name = type ? dmsDemangledTypeName(*type) : std::string("(unknown)");
    }
    return info;
}

std::string DMSExceptionInfo::description() const {
    return reason.empty() ? name : name + ": " + reason;
}
