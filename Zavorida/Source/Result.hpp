#pragma once
// The outcome of serializing a response: a value, or the error that the request or the serialization
// ended with (any error type, held as AnyError).

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "Zavorida/Source/AnyError.hpp"
#include "Zavorida/Source/Describe.hpp"

namespace Zavorida {

template <class Value> class Result {
public:
    using ValueType = Value;

    static Result success(Value value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(AnyError error) { return Result(std::in_place_index<1>, std::move(error)); }

    // Runs `body`; what it returns is the success, what it throws the failure.
    template <class F> static Result catching(F&& body) {
        try {
            return success(std::forward<F>(body)());
        } catch (...) {
            return failure(AnyError::current());
        }
    }

    bool isSuccess() const { return state_.index() == 0; }
    bool isFailure() const { return !isSuccess(); }

    std::optional<Value> value() const {
        return isSuccess() ? std::optional<Value>(std::get<0>(state_)) : std::nullopt;
    }
    // The failure's own error object, not a copy.
    std::optional<AnyError> error() const {
        return isFailure() ? std::optional<AnyError>(std::get<1>(state_)) : std::nullopt;
    }

    // The success value; a failure throws its error.
    const Value& get() const {
        if (isFailure()) {
            std::get<1>(state_).raise();
        }
        return std::get<0>(state_);
    }

    template <class F> auto map(F&& transform) const -> Result<std::invoke_result_t<F, const Value&>> {
        using R = Result<std::invoke_result_t<F, const Value&>>;
        if (isFailure()) {
            return R::failure(std::get<1>(state_));
        }
        return R::success(std::invoke(std::forward<F>(transform), std::get<0>(state_)));
    }

    // As map; an error the transform throws becomes the failure.
    template <class F> auto tryMap(F&& transform) const -> Result<std::invoke_result_t<F, const Value&>> {
        using R = Result<std::invoke_result_t<F, const Value&>>;
        if (isFailure()) {
            return R::failure(std::get<1>(state_));
        }
        try {
            return R::success(std::invoke(std::forward<F>(transform), std::get<0>(state_)));
        } catch (...) {
            return R::failure(AnyError::current());
        }
    }

    // `transform` takes the AnyError and returns an error value (an ErrorBase type, AnyError or a platform
    // error).
    template <class F> Result mapError(F&& transform) const {
        if (isSuccess()) {
            return *this;
        }
        return failure(AnyError(std::invoke(std::forward<F>(transform), std::get<1>(state_))));
    }

    template <class F> Result tryMapError(F&& transform) const {
        if (isSuccess()) {
            return *this;
        }
        try {
            return failure(AnyError(std::invoke(std::forward<F>(transform), std::get<1>(state_))));
        } catch (...) {
            return failure(AnyError::current());
        }
    }

    template <class F> const Result& inspectValue(F&& body) const {
        if (isSuccess()) {
            std::invoke(std::forward<F>(body), std::get<0>(state_));
        }
        return *this;
    }
    template <class F> const Result& inspectError(F&& body) const {
        if (isFailure()) {
            std::invoke(std::forward<F>(body), std::get<1>(state_));
        }
        return *this;
    }
    template <class F> const Result& onSuccess(F&& body) const {
        if (isSuccess()) {
            std::invoke(std::forward<F>(body));
        }
        return *this;
    }
    template <class F> const Result& onFailure(F&& body) const {
        if (isFailure()) {
            std::invoke(std::forward<F>(body));
        }
        return *this;
    }

    std::string description() const { return isSuccess() ? "SUCCESS" : "FAILURE"; }
    std::string debugDescription() const {
        return isSuccess() ? "SUCCESS: " + textualDescription(std::get<0>(state_))
                           : "FAILURE: " + std::get<1>(state_).description();
    }

private:
    template <std::size_t I, class Payload>
    Result(std::in_place_index_t<I> tag, Payload&& payload) : state_(tag, std::forward<Payload>(payload)) {}

    std::variant<Value, AnyError> state_;
};

} // namespace Zavorida
