#include "crash/capture/VZRException.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRProcess.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>

namespace {

const char* exceptionTypeName(uint32_t type) {
    switch (type) {
    case VZRExceptionTypeObjectiveC:
        return "objective-c";
    case VZRExceptionTypeCpp:
        return "c++";
    case VZRExceptionTypeJavascript:
        return "javascript";
    case VZRExceptionTypeCustom:
        return "custom";
    default:
        return "unknown";
    }
}

void writeOptionalHex(VZRFile* file, const char* key, const std::optional<std::string>& value) {
    if (value)
        VZRFileWriteHexField(file, key, value->data(), value->size());
}

void writeExceptionSection(VZRFile* file, uint32_t type, const char* name, const char* reason, uint64_t time,
                           const std::vector<VZRStackFrame>& frames) {
    VZRFileBeginSection(file, "exception");
    VZRFileBeginObject(file);
    VZRFileWriteStringField(file, "type", exceptionTypeName(type));
    VZRFileWriteHexField(file, "name", name, name ? std::strlen(name) : 0);
    VZRFileWriteHexField(file, "reason", reason, reason ? std::strlen(reason) : 0);
    VZRFileWriteUnsignedField(file, "time", time);
    if (!frames.empty()) {
        VZRFileWriteKey(file, "frames");
        VZRFileBeginArray(file);
        for (const VZRStackFrame& frame : frames) {
            VZRFileBeginObject(file);
            VZRFileWriteUnsignedField(file, "pc", frame.address);
            writeOptionalHex(file, "symbol", frame.symbol);
            VZRFileWriteUnsignedField(file, "offset", frame.offset);
            writeOptionalHex(file, "library", frame.library);
            writeOptionalHex(file, "file", frame.fileName);
            VZRFileWriteUnsignedField(file, "line", frame.lineNumber);
            VZRFileEndObject(file);
        }
        VZRFileEndArray(file);
    }
    VZRFileEndObject(file);
    VZRFileEndSection(file);
}

void notifyPotentiallySubmittableCrash() {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (!VZRIsValidPointer(readonly) || !VZRIsValidPointer(readonly->delegate))
        return;
    static constexpr const char* kNotice = "potentiallySubmittableCrashOccurred";
    if (plat::rt::respondsTo(*readonly->delegate, kNotice))
        plat::rt::msgSend<void>(*readonly->delegate, kNotice);
}

std::string demangledTypeName(const char* mangled) {
    return VZRDemangleOperation::demangleCppSymbol(mangled).value_or(mangled ? mangled : "");
}

void recordCpp(const std::string& name, const char* reason) {
    VZRExceptionRecord(VZRExceptionTypeCpp, name.c_str(), reason, {}, true);
}

void catchAndRecordActiveException() {
    std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] no active exception\n", VZR_HERE);
        return;
    }
    const char* mangled = type->name();
    if (!VZRIsValidPointer(mangled)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: invalid parameter\n", VZR_HERE);
        return;
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Recording exception of type '%s'\n", VZR_HERE, mangled);
    try {
        throw;
    } catch (const plat::Exception& exception) {
        VZRExceptionRecordNSException(exception);
    } catch (const char* text) {
        recordCpp("const char *", text);
    } catch (const std::string& text) {
        recordCpp("std::string", text.c_str());
    } catch (const std::exception& exception) {
        recordCpp(demangledTypeName(typeid(exception).name()), exception.what());
    } catch (const std::exception* exception) {
        recordCpp(exception ? demangledTypeName(typeid(*exception).name()) : demangledTypeName(mangled),
                  exception ? exception->what() : "");
    } catch (...) {
        recordCpp(demangledTypeName(mangled), "");
    }
}

} // namespace

void VZRExceptionInitialize(VZRExceptionReadOnlyContext* context, std::atomic<uint32_t>* customExceptionCounter) {
    if (!VZRIsValidPointer(context))
        return;
    if (!VZRUnlinkIfExists(context->path))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to reset the exception file %s\n", VZR_HERE,
                  std::strerror(errno));
    // The capture handler lets the record show every thread also when no signal handler is installed.
    VZRProcessInstallCaptureHandler();
    context->originalTerminateHandler = std::set_terminate(&VZRTerminateHandler);
    if (customExceptionCounter)
        customExceptionCounter->store(0);
}

void VZRExceptionRecord(uint32_t type, const char* name, const char* reason, const std::vector<VZRStackFrame>& frames,
                        bool notifyDelegate) {
    if (!VZRContextIsInitialized())
        return;
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    VZRWritableContext* writable = VZRSharedContext().writable.load();
    const bool fatal = type == VZRExceptionTypeObjectiveC || type == VZRExceptionTypeCpp;
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Recording an exception structure (%d, %d)\n", VZR_HERE,
              notifyDelegate ? 1 : 0, fatal ? 1 : 0);
    const auto time = static_cast<uint64_t>(plat::Clock::now());
    if (fatal) {
        // The thread that raised it is the crashed thread, whichever thread the queue runs the record on.
        const pid_t crashed = VZRCurrentTid();
        auto record = [&] {
            VZRFile file;
            if (!VZRFileInitWithPath(&file, readonly->exception.path, false)) {
                VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to open exception file\n", VZR_HERE);
                return;
            }
            writeExceptionSection(&file, type, name, reason, time, frames);
            VZRHandler(&file, crashed, nullptr);
            VZRFileClose(&file);
            if (notifyDelegate)
                notifyPotentiallySubmittableCrash();
        };
        const plat::DispatchQueuePtr queue = VZRContextExceptionQueue();
        if (queue && !queue->isCurrent())
            queue->sync(record);
        else
            record();
    } else {
        VZRUserLoggingWriteAndCheckABFiles(&readonly->userLogging.customExceptions,
                                           &writable->userLogging.customExceptionsCurrent, [&](VZRFile* file) {
                                               writeExceptionSection(file, type, name, reason, time, frames);
                                           });
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Finished recording an exception structure\n", VZR_HERE);
}

void VZRExceptionRecordNSException(const plat::Exception& exception) {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Recording an NSException\n", VZR_HERE);
    std::vector<VZRStackFrame> frames;
    for (void* address : exception.callStackReturnAddresses())
        frames.push_back(VZRStackFrame::stackFrameWithAddress(reinterpret_cast<uint64_t>(address)));
    VZRExceptionRecord(VZRExceptionTypeObjectiveC, exception.name().c_str(), exception.reason().c_str(), frames, true);
}

void VZRExceptionRaiseTestException() {
    plat::Exception::raise("VuzidorazavTestException", "This is an Objective-C exception using for testing.");
}

void VZRExceptionCheckHandlers() {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (VZRIsValidPointer(readonly) && readonly->debuggerAttached)
        return;
    auto warn = [](const char* what, const void* handler) {
        VZRDladdrNames(reinterpret_cast<uintptr_t>(handler), [what](const char* symbol, const char* path) {
            plat::NSLogText(std::string("[Vuzidorazav:Crash] Warning: ") + what + " is '" +
                            (symbol ? symbol : "unknown") + "' in '" + (path ? path : "unknown") + "'");
        });
    };
    const std::terminate_handler terminate = std::get_terminate();
    if (terminate != &VZRTerminateHandler)
        warn("std::get_terminate", reinterpret_cast<const void*>(terminate));
    if (const plat::UncaughtExceptionHandler uncaught = plat::uncaughtExceptionHandler())
        warn("NSUncaughtExceptionHandler", reinterpret_cast<const void*>(uncaught));
}

void VZRTerminateHandler() {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] C++ terminate handler invoked\n", VZR_HERE);
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    std::terminate_handler previous = VZRIsValidPointer(readonly) ? readonly->exception.originalTerminateHandler
                                                                  : nullptr;
    if (previous == &VZRTerminateHandler) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: original handler was set recursively\n", VZR_HERE);
        previous = nullptr;
    }
    if (previous) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] restoring pre-existing handler\n", VZR_HERE);
        if (std::set_terminate(previous) == previous) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] handler has already been restored, aborting\n", VZR_HERE);
            std::abort();
        }
    }
    catchAndRecordActiveException();
    if (previous) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] invoking pre-existing handler\n", VZR_HERE);
        previous();
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] aborting\n", VZR_HERE);
    std::abort();
}
