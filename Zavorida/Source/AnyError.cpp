#include "Zavorida/Source/AnyError.hpp"

#include <stdexcept>

namespace Zavorida {

AnyError::AnyError(std::shared_ptr<const ErrorBase> error) : error_(std::move(error)) {
    if (!error_) {
        throw std::invalid_argument("AnyError needs an error");
    }
}

AnyError AnyError::current() {
    try {
        throw;
    } catch (const ErrorBase& e) {
        return AnyError(e.shared());
    } catch (const plat::Error& e) {
        return AnyError(e);
    } catch (const plat::Exception&) {
        // A raised platform exception is not an error value: it keeps unwinding towards its handler.
        throw;
    } catch (const std::exception& e) {
        return AnyError(ForeignError(e.what()));
    }
}

const plat::Error* AnyError::platformError() const {
    const auto* wrapped = as<PlatformError>();
    return wrapped ? &wrapped->error() : nullptr;
}

} // namespace Zavorida
