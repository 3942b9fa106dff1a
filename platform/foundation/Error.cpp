#include "platform/foundation/Error.hpp"

#include <atomic>
#include <cstdlib>
#include <execinfo.h>
#include <mutex>

namespace plat {

Error Error::withDebugDescription(std::string domain, int64_t code, std::string debugDescription) {
    return Error(std::move(domain), code,
                 Dictionary{{NSDebugDescriptionErrorKey, Value(std::move(debugDescription))}});
}

Error Error::propertyListReadCorrupt(std::string debugDescription) {
    return withDebugDescription(NSCocoaErrorDomain, NSPropertyListReadCorruptError,
                                std::move(debugDescription));
}

Error Error::propertyListWriteInvalid(std::string debugDescription) {
    return withDebugDescription(NSCocoaErrorDomain, NSPropertyListWriteInvalidError,
                                std::move(debugDescription));
}

Error Error::posix(int errnoValue) {
    return Error(NSPOSIXErrorDomain, errnoValue);
}

std::string Error::localizedDescription() const {
    if (auto v = userInfo.find(NSLocalizedDescriptionKey); v && v->isString()) {
        return v->asString();
    }
    if (auto standard = standardDescription()) {
        return *standard;
    }
    return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const {
    if (auto v = userInfo.find(NSLocalizedFailureReasonErrorKey); v && v->isString()) {
        return v->asString();
    }
    return std::nullopt;
}

std::string Error::description() const {
    std::string out =
        "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription() + "\"";
    if (userInfo.empty() && !underlyingError) {
        return out;
    }
    out += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo) {
        if (!first) {
            out += ", ";
        }
        first = false;
        out += key + "=" + value.description();
    }
    if (underlyingError) {
        if (!first) {
            out += ", ";
        }
        out += std::string(NSUnderlyingErrorKey) + "=" + underlyingError->description();
    }
    out += "}";
    return out;
}

bool Error::operator==(const Error& other) const noexcept {
    if (domain != other.domain || code != other.code || !(userInfo == other.userInfo)) {
        return false;
    }
    if (!underlyingError || !other.underlyingError) {
        return !underlyingError && !other.underlyingError;
    }
    return *underlyingError == *other.underlyingError;
}

// ---- Exception ----------------------------------------------------------------

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {
    void* frames[128];
    int n = ::backtrace(frames, 128);
    stack_.assign(frames, frames + (n > 0 ? n : 0));
    what_ = name_ + ": " + reason_;
}

void Exception::raise(std::string name, std::string reason, Dictionary userInfo) {
    throw Exception(std::move(name), std::move(reason), std::move(userInfo));
}

std::vector<std::string> Exception::callStackSymbols() const {
    std::vector<std::string> out;
    if (stack_.empty()) {
        return out;
    }
    struct FreeDeleter {
        void operator()(char** p) const { std::free(p); }
    };
    std::unique_ptr<char*, FreeDeleter> symbols(
        ::backtrace_symbols(const_cast<void* const*>(stack_.data()), static_cast<int>(stack_.size())));
    out.reserve(stack_.size());
    for (size_t i = 0; i < stack_.size(); ++i) {
        out.emplace_back(symbols ? symbols.get()[i] : "?");
    }
    return out;
}

namespace {

std::atomic<UncaughtExceptionHandler> gUncaughtHandler{nullptr};
std::terminate_handler gPreviousTerminate = nullptr;
std::once_flag gTerminateInstalled;

[[noreturn]] void terminateWithUncaughtHandler() {
    if (auto handler = gUncaughtHandler.load()) {
        if (auto current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const Exception& e) {
                handler(e);
            } catch (...) {
            }
        }
    }
    if (gPreviousTerminate) {
        gPreviousTerminate();
    }
    std::abort();
}

} // namespace

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) noexcept {
    gUncaughtHandler.store(handler);
    std::call_once(gTerminateInstalled,
                   [] { gPreviousTerminate = std::set_terminate(terminateWithUncaughtHandler); });
}

UncaughtExceptionHandler uncaughtExceptionHandler() noexcept {
    return gUncaughtHandler.load();
}

} // namespace plat
