#include "crash/capture/VZRMachException.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRProcess.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRSignal.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/Thread.hpp"
#include "kit_host/ZUVUtilities.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr const char* kServerName = "com.ruzovid.vuzidorazav.ios.MachExceptionServer";

VZRMachProductionBackend productionBackend;
std::atomic<VZRMachPortBackend*> currentBackend{&productionBackend};
std::atomic<VZRMachThreadStarter> machThreadStarter{&::pthread_create};

VZRMachPortBackend& backend() {
    return *currentBackend.load();
}

const char* exceptionName(int32_t exception) {
    switch (exception) {
    case 1:
        return "EXC_BAD_ACCESS";
    case 2:
        return "EXC_BAD_INSTRUCTION";
    case 3:
        return "EXC_ARITHMETIC";
    case 6:
        return "EXC_BREAKPOINT";
    case 12:
        return "EXC_GUARD";
    default:
        return nullptr;
    }
}

const char* exceptionCodeName(int32_t exception, const VZRMachExceptionRequest& request) {
    if (exception != 1 || request.codeCount < 1)
        return nullptr;
    if (request.codes[0] == 1)
        return "KERN_INVALID_ADDRESS";
    if (request.codes[0] == 2)
        return "KERN_PROTECTION_FAILURE";
    return nullptr;
}

bool registerPorts(VZRMachExceptionReadOnlyContext* context) {
    VZRMachPort port = 0;
    VZRKernReturn result = backend().allocate(&port);
    if (result != kVZRKernSuccess) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: mach_port_allocate failed %d\n", VZR_HERE, result);
        return false;
    }
    result = backend().insertSendRight(port);
    if (result != kVZRKernSuccess) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: mach_port_insert_right failed %d\n", VZR_HERE, result);
        backend().deallocate(port);
        return false;
    }
    const uint32_t mask = VZRMachExceptionMaskForMajorVersion(ZUVOSVersion().major, context->maskToLeaveOut);
    VZRMachSavedHandlers saved;
    result = backend().swapExceptionPorts(mask, port, kVZRExceptionDefault | kVZRMachExceptionCodes,
                                          kVZRThreadStateNone, &saved);
    if (result != kVZRKernSuccess) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: task_swap_exception_ports %d\n", VZR_HERE, result);
        return false;
    }
    if (saved.count > kVZRMachSavedHandlers)
        saved.count = kVZRMachSavedHandlers;
    for (uint32_t i = 0; i < saved.count; ++i)
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] original 0x%x 0x%x 0x%x 0x%x\n", VZR_HERE, saved.ports[i],
                  saved.masks[i], saved.behaviors[i], static_cast<unsigned>(saved.flavors[i]));
    context->serverPort = port;
    context->registeredMask = mask;
    context->savedHandlers = saved;
    return true;
}

bool recordException(VZRMachExceptionReadOnlyContext* context, const VZRMachExceptionRequest& request) {
    if (VZRContextMarkAndCheckIfCrashed()) {
        VZRSDKLog(VZRLogLevelWarn,
                  "WARN  [%s:%d] Error: aborting mach exception handler because crash has already occurred\n",
                  VZR_HERE);
        VZRProcessEndAfterRecording();
    }
    VZRFile file;
    if (!VZRFileInitWithPath(&file, context->path, false)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to open mach exception file\n", VZR_HERE);
        VZRProcessMarkRecordDone();
        return false;
    }
    const uint32_t codeCount = request.codeCount > 2 ? 2 : request.codeCount;
    VZRFileBeginSection(&file, "mach_exception");
    VZRFileBeginObject(&file);
    VZRFileWriteUnsignedField(&file, "exception", static_cast<uint64_t>(static_cast<int64_t>(request.exception)));
    VZRFileWriteKey(&file, "codes");
    VZRFileBeginArray(&file);
    for (uint32_t i = 0; i < codeCount; ++i)
        VZRFileAppendUnsigned(&file, static_cast<uint64_t>(request.codes[i]));
    VZRFileEndArray(&file);
    VZRFileWriteStringField(&file, "name", exceptionName(request.exception));
    VZRFileWriteStringField(&file, "code_name", exceptionCodeName(request.exception, request));
    VZRFileWriteUnsignedField(&file, "original_ports", context->savedHandlers.count);
    VZRFileWriteUnsignedField(&file, "time", static_cast<uint64_t>(plat::Clock::now()));
    VZRFileEndObject(&file);
    VZRFileEndSection(&file);
    VZRHandler(&file, request.thread, nullptr);
    VZRFileClose(&file);
    VZRProcessMarkRecordDone();
    return true;
}

VZRKernReturn dispatchMessage(VZRMachExceptionReadOnlyContext* context, const VZRMachExceptionRequest& request) {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Mach exception: 0x%x, count: %d, code: 0x%llx 0x%llx\n", VZR_HERE,
              static_cast<unsigned>(request.exception), static_cast<int>(request.codeCount));
    if (request.task != ::getpid()) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Mach exception task mis-match, returning failure\n", VZR_HERE);
        return kVZRKernFailure;
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unregistering handler\n", VZR_HERE);
    if (!VZRMachExceptionUnregister(&context->savedHandlers, context->registeredMask))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Failed to unregister\n", VZR_HERE);
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Restoring original signal handlers\n", VZR_HERE);
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (!VZRIsValidPointer(readonly) || !VZRSignalSafeInstallPreexistingHandlers(&readonly->signal))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Failed to restore signal handlers\n", VZR_HERE);
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Recording mach exception\n", VZR_HERE);
    if (!recordException(context, request)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Failed to record mach exception\n", VZR_HERE);
        return kVZRKernFailure;
    }
    return kVZRKernSuccess;
}

bool reply(const VZRMachExceptionRequest& request, VZRKernReturn code) {
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Sending exception reply\n", VZR_HERE);
    VZRMachExceptionReply message;
    message.bits = request.bits & 0x1F;
    message.size = sizeof(VZRMachExceptionReply);
    message.remotePort = request.replyPort;
    message.localPort = 0;
    message.id = request.id + 100;
    message.returnCode = code;
    const VZRKernReturn result = backend().send(message);
    if (result != kVZRKernSuccess) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] mach_msg reply failed (%d)\n", VZR_HERE, result);
        return false;
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Exception reply delivered\n", VZR_HERE);
    return true;
}

void* serverMain(void* argument) {
    auto* context = static_cast<VZRMachExceptionReadOnlyContext*>(argument);
    plat::ThreadLabels::setCurrent(kServerName);
    ::pthread_setname_np(::pthread_self(), "VZRMachServer"); // the kernel keeps 15 bytes of a thread name
    for (;;) {
        VZRMachExceptionRequest request;
        const VZRKernReturn received = backend().receive(context->serverPort, &request);
        if (received != kVZRKernSuccess) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error receving mach_msg (%d)\n", VZR_HERE, received);
            break;
        }
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Accepted mach exception message\n", VZR_HERE);
        if (!reply(request, dispatchMessage(context, request)))
            break;
    }
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Mach exception server thread exiting\n", VZR_HERE);
    plat::ThreadLabels::setCurrent(nullptr);
    return nullptr;
}

bool startServerThread(VZRMachExceptionReadOnlyContext* context, void* stack) {
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] pthread_attr_init %s\n", VZR_HERE, std::strerror(error));
        return false;
    }
    bool ok = false;
    if ((error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED)) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] pthread_attr_setdetachstate %s\n", VZR_HERE, std::strerror(error));
    } else if ((error = ::pthread_attr_setstack(&attributes, stack, kVZRHandlerStackSize)) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] pthread_attr_setstack %s\n", VZR_HERE, std::strerror(error));
    } else if ((error = machThreadStarter.load()(&context->serverThread, &attributes, &serverMain, context)) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] pthread_create %s\n", VZR_HERE, std::strerror(error));
    } else {
        ok = true;
    }
    ::pthread_attr_destroy(&attributes);
    return ok;
}

} // namespace

void VZRMachExceptionSetThreadStarterForTesting(VZRMachThreadStarter starter) {
    machThreadStarter.store(starter ? starter : &::pthread_create);
}

void VZRMachExceptionSetBackend(VZRMachPortBackend* backend) {
    currentBackend.store(backend ? backend : &productionBackend);
}

uint32_t VZRMachExceptionMaskForMajorVersion(int64_t major, uint32_t maskToLeaveOut) {
    const int64_t version = major >= 4 && major <= 14 ? major * 10000 : 0;
    uint32_t mask = kVZRExcMaskBadAccess | kVZRExcMaskBadInstruction | kVZRExcMaskArithmetic | kVZRExcMaskBreakpoint;
    if (version >= 60000)
        mask |= kVZRExcMaskGuard;
    return mask & ~(maskToLeaveOut & 0xFFFFu);
}

bool VZRMachExceptionUnregister(const VZRMachSavedHandlers* saved, uint32_t registeredMask) {
    uint32_t remaining = registeredMask;
    if (saved) {
        for (uint32_t i = 0; i < saved->count && i < kVZRMachSavedHandlers; ++i) {
            if (backend().setExceptionPorts(saved->masks[i], saved->ports[i], saved->behaviors[i], saved->flavors[i]) !=
                kVZRKernSuccess)
                VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] unable to restore original port: %d", VZR_HERE,
                          static_cast<int>(saved->ports[i]));
            remaining &= ~saved->masks[i];
        }
    }
    if (backend().setExceptionPorts(remaining, 0, kVZRExceptionDefault | kVZRMachExceptionCodes, kVZRThreadStateNone) !=
        kVZRKernSuccess) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] unable to unset unregistered mask: 0x%x", VZR_HERE, remaining);
        return false;
    }
    return true;
}

void VZRMachExceptionInit(VZRMachExceptionReadOnlyContext* context, uint32_t maskToLeaveOut) {
    if (!VZRIsValidPointer(context))
        return;
    if (!VZRUnlinkIfExists(context->path))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to reset the mach exception file %s\n", VZR_HERE,
                  context->path);
    context->maskToLeaveOut = maskToLeaveOut;
    if (!registerPorts(context)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to register mach exception handler\n", VZR_HERE);
        return;
    }
    VZRProcessInstallCaptureHandler();
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    void* stack = VZRIsValidPointer(readonly) ? readonly->machStack : nullptr;
    if (!VZRIsValidPointer(stack) || !startServerThread(context, stack)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to start thread\n", VZR_HERE);
        VZRMachExceptionUnregister(&context->savedHandlers, context->registeredMask);
    }
}

void VZRMachTestBackend::queueRequest(const VZRMachExceptionRequest& request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
}

bool VZRMachTestBackend::waitForReplies(size_t count, double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return replies_.size() >= count; });
}

std::vector<VZRMachExceptionReply> VZRMachTestBackend::replies() {
    std::lock_guard lock(mutex_);
    return replies_;
}

std::vector<VZRMachTestBackend::PortCall> VZRMachTestBackend::swaps() {
    std::lock_guard lock(mutex_);
    return swaps_;
}

std::vector<VZRMachTestBackend::PortCall> VZRMachTestBackend::sets() {
    std::lock_guard lock(mutex_);
    return sets_;
}

VZRKernReturn VZRMachTestBackend::allocate(VZRMachPort* port) {
    *port = serverPort();
    return kVZRKernSuccess;
}

VZRKernReturn VZRMachTestBackend::insertSendRight(VZRMachPort) {
    return kVZRKernSuccess;
}

void VZRMachTestBackend::deallocate(VZRMachPort) {}

VZRKernReturn VZRMachTestBackend::swapExceptionPorts(uint32_t mask, VZRMachPort port, uint32_t behavior,
                                                     int32_t flavor, VZRMachSavedHandlers* previous) {
    std::lock_guard lock(mutex_);
    swaps_.push_back({mask, port, behavior, flavor});
    *previous = previousHandlers;
    return kVZRKernSuccess;
}

VZRKernReturn VZRMachTestBackend::setExceptionPorts(uint32_t mask, VZRMachPort port, uint32_t behavior,
                                                    int32_t flavor) {
    std::lock_guard lock(mutex_);
    sets_.push_back({mask, port, behavior, flavor});
    return kVZRKernSuccess;
}

// The server waits here like a receive on its port: never with a lock a crash path needs.
VZRKernReturn VZRMachTestBackend::receive(VZRMachPort, VZRMachExceptionRequest* request) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !requests_.empty(); });
    *request = requests_.front();
    requests_.pop_front();
    return kVZRKernSuccess;
}

VZRKernReturn VZRMachTestBackend::send(const VZRMachExceptionReply& reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(reply);
    changed_.notify_all();
    return kVZRKernSuccess;
}
