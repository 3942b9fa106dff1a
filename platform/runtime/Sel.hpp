#pragma once
// Sel is an interned selector: the platform's method name text (e.g. "application:openURL:options:"),
// compared and hashed by identity so method tables stay cheap to search.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace plat::rt {

class Sel {
public:
    Sel() noexcept = default; // the null selector
    // Interns the text; the same text always yields the same selector.
    Sel(std::string_view name);
    Sel(const char* name) : Sel(std::string_view(name)) {}
    Sel(const std::string& name) : Sel(std::string_view(name)) {}

    std::string_view name() const noexcept { return name_ ? std::string_view(*name_) : std::string_view(); }
    const std::string& str() const noexcept;
    bool isNull() const noexcept { return name_ == nullptr; }

    friend bool operator==(Sel a, Sel b) noexcept { return a.name_ == b.name_; }

private:
    friend struct std::hash<Sel>;
    const std::string* name_ = nullptr;
};

inline Sel sel(std::string_view name) {
    return Sel(name);
}

} // namespace plat::rt

template <> struct std::hash<plat::rt::Sel> {
    size_t operator()(plat::rt::Sel s) const noexcept { return std::hash<const void*>{}(s.name_); }
};
