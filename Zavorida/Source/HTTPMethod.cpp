#include "Zavorida/Source/HTTPMethod.hpp"

#include <array>

namespace Zavorida {

namespace {
constexpr std::array<std::string_view, 9> kTokens = {"OPTIONS", "GET",    "HEAD",  "POST",   "PUT",
                                                     "PATCH",   "DELETE", "TRACE", "CONNECT"};
}

std::optional<HTTPMethod> HTTPMethod::fromRawValue(std::string_view token) {
    for (std::size_t i = 0; i < kTokens.size(); ++i) {
        if (kTokens[i] == token) {
            return HTTPMethod(static_cast<Case>(i));
        }
    }
    return std::nullopt;
}

std::string HTTPMethod::rawValue() const {
    return std::string(kTokens[static_cast<std::size_t>(case_)]);
}

} // namespace Zavorida
