#pragma once
// An error carried inside a value (a notification's user info), as the platform's error objects travel in
// dictionaries. Receivers unwrap it with DAVErrorObject::errorFromValue.

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Object.hpp"

#include <optional>

class DAVErrorObject : public plat::rt::Object {
public:
    static plat::Value valueWithError(plat::Error error);
    // The error held by the value; none for any other value.
    static std::optional<plat::Error> errorFromValue(const plat::Value& value);

    DAVErrorObject(plat::rt::Class* cls, plat::Error error) : Object(cls), error_(std::move(error)) {}
    const plat::Error& error() const { return error_; }

private:
    plat::Error error_;
};
