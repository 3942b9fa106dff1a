#pragma once
// What a monitor message may carry behind its text: nothing (the null object), a value, an error or an
// exception. Errors add their monitor context to sampled data; exceptions are shown by their innermost
// measurement symbol.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <exception>
#include <string>
#include <variant>
#include <vector>

// An exception as the monitor sees it, whatever was thrown.
struct DMSExceptionInfo {
    std::string name;
    std::string reason;
    std::vector<std::string> callStackSymbols;

    // The exception currently being handled (call inside a catch block).
    static DMSExceptionInfo fromCurrentException();
    static DMSExceptionInfo fromException(const std::exception_ptr& exception);
    // "<name>: <reason>", as the platform describes an exception.
    std::string description() const;
};

// A null Value stands for the null object.
using DMSLogContext = std::variant<plat::Value, plat::Error, DMSExceptionInfo>;
using DMSLogContexts = std::vector<DMSLogContext>;
