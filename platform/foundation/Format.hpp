#pragma once
// plat::format: the platform's printf-style formatter for log texts, with %@ for values.
// Arguments are checked against the conversions: a wrong count or type throws
// std::logic_error instead of reading garbage. Argument text is never taken as a format.

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/foundation/Value.hpp"

namespace plat {

template <class T>
concept FormatInteger = std::is_integral_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>;
template <class T>
concept FormatEnum = std::is_enum_v<T>;
// Types other than Value that describe themselves, e.g. plat::Error.
template <class T>
concept Describable = !std::is_convertible_v<const T&, const Value&> && requires(const T& t) {
    { t.description() } -> std::convertible_to<std::string>;
};

// One argument of plat::format, typed so the conversions can be checked.
class FormatArg {
public:
    enum class Type { Signed, Unsigned, Double, Char, String, Described, Pointer, Null };

    template <FormatInteger T> FormatArg(T n) {
        if constexpr (std::is_signed_v<T>) {
            type_ = Type::Signed, i_ = n;
        } else {
            type_ = Type::Unsigned, u_ = n;
        }
    }
    template <FormatEnum T> FormatArg(T e) : FormatArg(static_cast<std::underlying_type_t<T>>(e)) {}
    FormatArg(bool b) : type_(Type::Signed), i_(b ? 1 : 0) {}
    FormatArg(char c) : type_(Type::Char), i_(static_cast<unsigned char>(c)) {}
    FormatArg(double d) : type_(Type::Double), d_(d) {}
    FormatArg(float f) : type_(Type::Double), d_(f) {}
    FormatArg(const char* s) : type_(s ? Type::String : Type::Null), s_(s ? s : "") {}
    FormatArg(char* s) : FormatArg(static_cast<const char*>(s)) {}
    FormatArg(const std::string& s) : type_(Type::String), s_(s) {}
    FormatArg(std::string_view s) : type_(Type::String), s_(s) {}
    FormatArg(std::nullptr_t) : type_(Type::Null) {}
    FormatArg(const Value& v) : type_(Type::Described), s_(v.description()) {}
    FormatArg(const Value* v) : type_(v ? Type::Described : Type::Null), s_(v ? v->description() : "") {}
    FormatArg(const std::optional<Value>& v)
        : type_(v ? Type::Described : Type::Null), s_(v ? v->description() : "") {}
    template <NonCharPointee T>
    FormatArg(T* p) : type_(p ? Type::Pointer : Type::Null), p_(reinterpret_cast<uintptr_t>(p)) {}
    // For %@.
    template <Describable T> FormatArg(const T& t) : type_(Type::Described), s_(t.description()) {}

    Type type() const { return type_; }
    int64_t i() const { return i_; }
    uint64_t u() const { return u_; }
    double d() const { return d_; }
    const std::string& s() const { return s_; }
    uintptr_t p() const { return p_; }

private:
    Type type_ = Type::Null;
    int64_t i_ = 0;
    uint64_t u_ = 0;
    double d_ = 0;
    std::string s_;
    uintptr_t p_ = 0;
};

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args);

template <class... Args> std::string format(std::string_view fmt, const Args&... args) {
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(nullptr)};
    return formatArgs(fmt, std::span<const FormatArg>(list, sizeof...(Args)));
}

} // namespace plat
