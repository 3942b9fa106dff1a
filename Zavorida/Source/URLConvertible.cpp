#include "Zavorida/Source/URLConvertible.hpp"

#include "Zavorida/Source/ZVError.hpp"

namespace Zavorida {

plat::URL URLConvertible::makeURL() const {
    std::optional<plat::URL> url;
    if (const auto* text = std::get_if<std::string>(&value_)) {
        url = plat::URL::parse(*text);
    } else if (const auto* given = std::get_if<plat::URL>(&value_)) {
        url = *given;
    } else {
        url = std::get<plat::URLComponents>(value_).url();
    }
    if (!url) {
        throw ZVError::invalidURL(*this);
    }
    return *url;
}

std::string URLConvertible::description() const {
    if (const auto* text = std::get_if<std::string>(&value_)) {
        return *text;
    }
    if (const auto* url = std::get_if<plat::URL>(&value_)) {
        return url->description();
    }
    return std::get<plat::URLComponents>(value_).string();
}

URLRequestConvertible::URLRequestConvertible(plat::URLRequest request)
    : make_([request = std::move(request)] { return request; }) {}

std::optional<plat::URLRequest> URLRequestConvertible::optionalURLRequest() const {
    try {
        return makeURLRequest();
    } catch (...) {
        // Only error values are dropped; a raised platform exception keeps unwinding.
        AnyError::current();
        return std::nullopt;
    }
}

} // namespace Zavorida
