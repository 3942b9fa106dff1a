#pragma once
// plat::Error (domain, code, user info) as failures travel on the platform, plat::Result<T>
// (a value or an Error), and plat::Exception for the few places the platform raises.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Value.hpp"

namespace plat {

// User-info keys.
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* NSLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* NSFilePathErrorKey = "NSFilePath";
inline constexpr const char* NSDebugDescriptionErrorKey = "NSDebugDescription";
inline constexpr const char* NSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* NSURLSessionDownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";

// Domains.
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr const char* UNErrorDomain = "UNErrorDomain";
inline constexpr const char* kCLErrorDomain = "kCLErrorDomain";
inline constexpr const char* SKErrorDomain = "SKErrorDomain";
inline constexpr const char* WKErrorDomain = "WKErrorDomain";

// NSCocoaErrorDomain codes the stand-ins give.
inline constexpr int64_t NSFileNoSuchFileError = 4;
inline constexpr int64_t NSFileReadUnknownError = 256;
inline constexpr int64_t NSFileReadNoPermissionError = 257;
inline constexpr int64_t NSFileReadNoSuchFileError = 260;
inline constexpr int64_t NSFileWriteUnknownError = 512;
inline constexpr int64_t NSFileWriteNoPermissionError = 513;
inline constexpr int64_t NSFileWriteFileExistsError = 516;
inline constexpr int64_t NSFileWriteOutOfSpaceError = 640;
inline constexpr int64_t NSFormattingError = 2048;
inline constexpr int64_t NSPropertyListReadCorruptError = 3840;
inline constexpr int64_t NSPropertyListWriteInvalidError = 3852;

struct Error {
    std::string domain;
    int64_t code = 0;
    Dictionary userInfo;
    // The platform keeps this under NSUnderlyingError in the user info; it is an
    // error, not a plain value, so it has its own slot.
    std::shared_ptr<const Error> underlyingError;

    Error() = default;
    Error(std::string domain, int64_t code, Dictionary userInfo = {},
          std::shared_ptr<const Error> underlying = {})
        : domain(std::move(domain)), code(code), userInfo(std::move(userInfo)),
          underlyingError(std::move(underlying)) {}

    // An error that carries NSDebugDescription, as the serialisers give.
    static Error withDebugDescription(std::string domain, int64_t code, std::string debugDescription);
    // What the JSON and property-list serialisers report for input they cannot read and for a
    // value the format cannot hold (NSCocoaErrorDomain, with NSDebugDescription).
    static Error propertyListReadCorrupt(std::string debugDescription);
    static Error propertyListWriteInvalid(std::string debugDescription);
    // NSPOSIXErrorDomain with errno's code.
    static Error posix(int errnoValue);

    bool is(std::string_view d, int64_t c) const noexcept { return domain == d && code == c; }
    const Value* userInfoValue(std::string_view key) const noexcept { return userInfo.find(key); }

    // NSLocalizedDescription, else the device's own text for the domain and code (standardDescription),
    // else "The operation couldn’t be completed. (<domain> error <code>.)".
    std::string localizedDescription() const;
    // The device's text for the file and data codes of NSCocoaErrorDomain (naming the file of NSFilePath)
    // and for the URL-loading codes (naming the host of the failing URL); none for other codes.
    std::optional<std::string> standardDescription() const;
    // What a person reads: "<localizedDescription> (<domain> <code>[, <path>][; <debug description>])".
    std::string displayText() const;
    // The device's text for an NSURLErrorDomain code; `host` fills the texts that name the server.
    static std::string urlLoadingDescription(int64_t code, std::string_view host = {});
    std::optional<std::string> localizedFailureReason() const;
    // Error Domain=<d> Code=<c> "<localizedDescription>" UserInfo={<k>=<v>, ...}
    std::string description() const;

    // Same domain, code and user info (the underlying error included).
    bool operator==(const Error& other) const noexcept;
};

template <class T> class Result;
template <class T, class U>
concept ResultValue = std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Error> &&
                      !std::is_same_v<std::remove_cvref_t<U>, Result<T>>;

// A value or an Error. GCC 12 has no std::expected.
template <class T> class [[nodiscard]] Result {
public:
    template <class U = T>
    requires ResultValue<T, U> Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Reading the value of a failed result is a programming fault: std::logic_error.
    T& value() & { return std::get<0>(checked()); }
    const T& value() const& { return std::get<0>(checked()); }
    T&& value() && { return std::get<0>(std::move(checked())); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T valueOr(T fallback) const& { return ok() ? std::get<0>(v_) : std::move(fallback); }

    // Reading the error of a successful result is a programming fault: std::logic_error.
    const Error& error() const {
        if (ok()) {
            throw std::logic_error("Result::error() on a successful result");
        }
        return std::get<1>(v_);
    }

private:
    std::variant<T, Error>& checked() {
        if (!ok()) {
            throw std::logic_error("Result::value() on a failure: " + std::get<1>(v_).description());
        }
        return v_;
    }
    const std::variant<T, Error>& checked() const {
        if (!ok()) {
            throw std::logic_error("Result::value() on a failure: " + std::get<1>(v_).description());
        }
        return v_;
    }
    std::variant<T, Error> v_;
};

// Success or an Error.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}
    static Result success() { return Result(); }

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const {
        if (ok()) {
            throw std::logic_error("Result::error() on a successful result");
        }
        return *error_;
    }

private:
    std::optional<Error> error_;
};

// Exception names the platform uses.
inline constexpr const char* NSInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* NSInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* NSRangeException = "NSRangeException";
inline constexpr const char* NSGenericException = "NSGenericException";

// What the platform raises. The call stack is captured where the exception is made.
class Exception : public std::exception {
public:
    Exception(std::string name, std::string reason, Dictionary userInfo = {});

    [[noreturn]] static void raise(std::string name, std::string reason, Dictionary userInfo = {});

    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }
    const Dictionary& userInfo() const noexcept { return userInfo_; }
    const std::vector<void*>& callStackReturnAddresses() const noexcept { return stack_; }
    // One line per frame, as backtrace_symbols prints them.
    std::vector<std::string> callStackSymbols() const;
    // "<name>: <reason>"
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
    std::vector<void*> stack_;
    std::string what_;
};

using UncaughtExceptionHandler = void (*)(const Exception&);

// The process slot for uncaught exceptions: an Exception that leaves the program
// calls the handler, then the process terminates as before.
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) noexcept;
UncaughtExceptionHandler uncaughtExceptionHandler() noexcept;

} // namespace plat
