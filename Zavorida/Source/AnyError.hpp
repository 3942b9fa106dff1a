#pragma once
// The error values the library carries and throws: a polymorphic base every error type adopts (ZVError,
// AdaptError, wrapped platform errors, a caller's own), and AnyError, a shared handle to one of them that
// Result and the response records hold.

#include <concepts>
#include <exception>
#include <memory>
#include <string>

#include "platform/foundation/Error.hpp"

namespace Zavorida {

class ErrorBase : public std::exception {
public:
    // The text string interpolation gives the value.
    virtual std::string description() const = 0;
    // The text the error shows when bridged to a platform error.
    virtual std::string localizedDescription() const = 0;
    // Throws a copy of the value with its own dynamic type, so callers can catch it by that type.
    [[noreturn]] virtual void raise() const = 0;
    virtual std::shared_ptr<const ErrorBase> shared() const = 0;

    const char* what() const noexcept override { return "Zavorida error"; }
};

// Adopted by every concrete error type, as `struct MyError : ErrorConformance<MyError>`.
template <class Derived> class ErrorConformance : public ErrorBase {
public:
    [[noreturn]] void raise() const override { throw static_cast<const Derived&>(*this); }
    std::shared_ptr<const ErrorBase> shared() const override {
        return std::make_shared<const Derived>(static_cast<const Derived&>(*this));
    }
};

// A platform error travelling through the library as it came (session, file system, serializers).
class PlatformError final : public ErrorConformance<PlatformError> {
public:
    explicit PlatformError(plat::Error error) : error_(std::move(error)) {}
    const plat::Error& error() const { return error_; }
    std::string description() const override { return error_.description(); }
    std::string localizedDescription() const override { return error_.localizedDescription(); }

private:
    plat::Error error_;
};

// A foreign C++ exception thrown by a caller's closure, kept with its what() text.
class ForeignError final : public ErrorConformance<ForeignError> {
public:
    explicit ForeignError(std::string message) : message_(std::move(message)) {}
    std::string description() const override { return message_; }
    std::string localizedDescription() const override { return message_; }

private:
    std::string message_;
};

class AnyError {
public:
    explicit AnyError(std::shared_ptr<const ErrorBase> error);
    template <class E>
    requires std::derived_from<E, ErrorBase> AnyError(E error)
        : error_(std::make_shared<const E>(std::move(error))) {}
    AnyError(plat::Error error) : AnyError(PlatformError(std::move(error))) {}

    // Inside a catch block: the error being handled. ErrorBase values keep their type, platform errors
    // are wrapped, other std::exceptions keep their text; anything else is rethrown.
    static AnyError current();

    const ErrorBase& operator*() const { return *error_; }
    const ErrorBase* operator->() const { return error_.get(); }
    const std::shared_ptr<const ErrorBase>& pointer() const { return error_; }

    template <class E> const E* as() const { return dynamic_cast<const E*>(error_.get()); }
    // The platform error inside, when this is one.
    const plat::Error* platformError() const;

    std::string description() const { return error_->description(); }
    std::string localizedDescription() const { return error_->localizedDescription(); }
    [[noreturn]] void raise() const {
        error_->raise();
        std::terminate(); // every raise() throws; this only tells the compiler so
    }

    // Whether both handles share one error object.
    bool isSameObject(const AnyError& other) const { return error_ == other.error_; }

private:
    std::shared_ptr<const ErrorBase> error_;
};

} // namespace Zavorida
