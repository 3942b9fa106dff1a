#pragma once
// The HTTP methods a request can carry, with their tokens as they go on the wire.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Zavorida {

class HTTPMethod {
public:
    enum Case { options, get, head, post, put, patch, delete_, trace, connect };

    constexpr HTTPMethod(Case c) : case_(c) {}

    // Exact, case-sensitive match of a token: "get" or " GET" is not a method, which is what sends
    // a lower-case method's parameters into the body rather than the query.
    static std::optional<HTTPMethod> fromRawValue(std::string_view token);

    std::string rawValue() const;
    constexpr Case kase() const { return case_; }

    constexpr bool operator==(const HTTPMethod&) const = default;

private:
    Case case_;
};

} // namespace Zavorida

template <> struct std::hash<Zavorida::HTTPMethod> {
    std::size_t operator()(const Zavorida::HTTPMethod& m) const noexcept {
        return std::hash<std::string>{}(m.rawValue());
    }
};
