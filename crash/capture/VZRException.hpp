#pragma once
// Uncaught exceptions and the exceptions the application reports. A process-wide terminate handler records
// an uncaught platform exception (as "objective-c") or C++ exception (as "c++") with the process record into
// "exception.vzrrecord", then lets the process abort, which the signal handler records as well. JavaScript
// and custom exceptions are not crashes: each goes into the custom-exception A/B log.

#include "crash/capture/VZRStackFrame.hpp"

#include <atomic>
#include <cstdint>
#include <vector>

namespace plat {
class Exception;
}

struct VZRExceptionReadOnlyContext;

enum VZRExceptionType : uint32_t {
    VZRExceptionTypeObjectiveC = 1,
    VZRExceptionTypeCpp = 2,
    VZRExceptionTypeJavascript = 3,
    VZRExceptionTypeCustom = 4,
};

// The set-up task: resets "exception.vzrrecord", installs the terminate handler keeping the one before, and
// resets the custom-exception count.
void VZRExceptionInitialize(VZRExceptionReadOnlyContext* context, std::atomic<uint32_t>* customExceptionCounter);

// Does nothing before the context is initialised.
void VZRExceptionRecord(uint32_t type, const char* name, const char* reason, const std::vector<VZRStackFrame>& frames,
                        bool notifyDelegate);
void VZRExceptionRecordNSException(const plat::Exception& exception);
// Raises the platform exception "VuzidorazavTestException".
[[noreturn]] void VZRExceptionRaiseTestException();
// Tells on the console when the terminate handler or the uncaught-exception handler is someone else's.
void VZRExceptionCheckHandlers();

void VZRTerminateHandler();
