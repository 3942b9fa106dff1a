#pragma once
// Imp is a method implementation: a typed callable taking the receiver (Object& or a C++ subclass of it)
// and the method's arguments. Calls check the signature, so a hook written against the wrong parameter
// types fails loudly instead of misreading its arguments. Imps compare by identity, as implementation
// pointers do on the platform; a null Imp is allowed as a marker that has no body.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace plat::rt {

class Object;
using ObjectPtr = std::shared_ptr<Object>;

namespace detail {

// Arguments travel in one canonical form so that call sites need not spell exact types: text as
// std::string, objects as rt::ObjectPtr, integers as int64_t or uint64_t (the platform's NSInteger and
// NSUInteger), so a literal 1 reaches an int64_t parameter.
template <class D>
inline constexpr bool isPlainInteger =
    std::is_integral_v<D> && !std::is_same_v<D, bool> && !std::is_same_v<D, char> &&
    !std::is_same_v<D, char8_t> && !std::is_same_v<D, char16_t> && !std::is_same_v<D, char32_t> &&
    !std::is_same_v<D, wchar_t>;

template <class D> struct Canonical {
    using type =
        std::conditional_t<isPlainInteger<D>, std::conditional_t<std::is_signed_v<D>, int64_t, uint64_t>, D>;
};
template <> struct Canonical<const char*> { using type = std::string; };
template <> struct Canonical<char*> { using type = std::string; };
template <class T> struct Canonical<std::shared_ptr<T>> {
    using type =
        std::conditional_t<std::is_base_of_v<Object, std::remove_cv_t<T>>, ObjectPtr, std::shared_ptr<T>>;
};
template <class A> using Arg = typename Canonical<std::decay_t<A>>::type;

struct ImpBase {
    explicit ImpBase(const std::type_info& sig) : signature(sig) {}
    virtual ~ImpBase() = default;
    const std::type_info& signature; // R(P...), the receiver left out
};

template <class R, class... P> struct ImpHolder final : ImpBase {
    explicit ImpHolder(std::function<R(Object&, P...)> f) : ImpBase(typeid(R(P...))), fn(std::move(f)) {}
    std::function<R(Object&, P...)> fn;
};

template <class... T> struct TypeList {};

template <class F> struct CallableTraits : CallableTraits<decltype(&std::remove_cvref_t<F>::operator())> {};
template <class R, class... A> struct CallableTraits<R (*)(A...)> {
    using Ret = R;
    using Args = TypeList<A...>;
};
template <class R, class... A> struct CallableTraits<R(A...)> : CallableTraits<R (*)(A...)> {};
template <class C, class R, class... A>
struct CallableTraits<R (C::*)(A...)> : CallableTraits<R (*)(A...)> {};
template <class C, class R, class... A>
struct CallableTraits<R (C::*)(A...) const> : CallableTraits<R (*)(A...)> {};
template <class C, class R, class... A>
struct CallableTraits<R (C::*)(A...) noexcept> : CallableTraits<R (*)(A...)> {};
template <class C, class R, class... A>
struct CallableTraits<R (C::*)(A...) const noexcept> : CallableTraits<R (*)(A...)> {};
template <class R, class... A> struct CallableTraits<R (*)(A...) noexcept> : CallableTraits<R (*)(A...)> {};

[[noreturn]] void throwNullImplementation();
[[noreturn]] void throwSignatureMismatch(const std::type_info& have, const std::type_info& want);
[[noreturn]] void throwReceiverMismatch(const Object& receiver, const std::type_info& expected);
std::string demangle(const std::type_info& type);

template <class Self> Self& receiverAs(Object& receiver) {
    if constexpr (std::is_same_v<std::remove_cv_t<Self>, Object>) {
        return receiver;
    } else {
        auto* p = dynamic_cast<Self*>(&receiver);
        if (!p) {
            throwReceiverMismatch(receiver, typeid(Self));
        }
        return *p;
    }
}

template <class R, class F, class SelfRef, class... P>
std::shared_ptr<const ImpBase> makeHolder(F&& f, TypeList<SelfRef, P...>) {
    using Self = std::remove_reference_t<SelfRef>;
    static_assert(std::is_lvalue_reference_v<SelfRef> && std::is_base_of_v<Object, std::remove_cv_t<Self>>,
                  "an implementation takes the receiver first, as Object& or a reference to a subclass");
    static_assert(
        (std::is_same_v<Arg<P>, std::decay_t<P>> && ...),
        "implementation parameters take text as std::string, objects as rt::ObjectPtr and integers as "
        "int64_t or uint64_t");
    static_assert(((!std::is_lvalue_reference_v<P> || std::is_const_v<std::remove_reference_t<P>>)&&...),
                  "implementation parameters are passed by value or const reference");
    return std::make_shared<const ImpHolder<R, std::decay_t<P>...>>(
        [fn = std::forward<F>(f)](Object& self, std::decay_t<P>... args) mutable -> R {
            return fn(receiverAs<Self>(self), std::move(args)...);
        });
}

} // namespace detail

class Imp {
public:
    Imp() noexcept = default;
    Imp(std::nullptr_t) noexcept {}

    // Any callable whose first parameter is the receiver, e.g.
    // `[](Object& self, ObjectPtr app, std::string url) -> bool { ... }`.
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, Imp> &&
             !std::is_same_v<std::remove_cvref_t<F>, std::nullptr_t>) Imp(F&& f) {
        using Traits = detail::CallableTraits<std::remove_cvref_t<F>>;
        p_ = detail::makeHolder<typename Traits::Ret>(std::forward<F>(f), typename Traits::Args{});
    }

    bool isNull() const noexcept { return !p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Whether calls as R(P...) would be accepted (receiver left out; parameters compared in canonical form,
    // the return type exactly).
    template <class R, class... P> bool hasSignature() const noexcept {
        return p_ && p_->signature == typeid(R(detail::Arg<P>...));
    }
    // The signature in readable form, e.g. "bool (std::string)"; "null" for a marker.
    std::string signatureName() const;

    // Runs the implementation on the receiver. A null Imp or a signature other than R(args...) throws
    // std::logic_error: both are porting faults, never behaviour of the device.
    template <class R = void, class... A> R call(Object& self, A&&... args) const {
        using Holder = detail::ImpHolder<R, detail::Arg<A>...>;
        if (!p_) {
            detail::throwNullImplementation();
        }
        if (p_->signature != typeid(R(detail::Arg<A>...))) {
            detail::throwSignatureMismatch(p_->signature, typeid(R(detail::Arg<A>...)));
        }
        return static_cast<const Holder&>(*p_).fn(self, detail::Arg<A>(std::forward<A>(args))...);
    }

    friend bool operator==(const Imp& a, const Imp& b) noexcept { return a.p_ == b.p_; }

private:
    std::shared_ptr<const detail::ImpBase> p_;
};

} // namespace plat::rt
