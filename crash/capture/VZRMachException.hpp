#pragma once
// The exception-port server. The device delivers hardware faults to a task's exception ports before they
// become signals; Linux has no such ports and delivers every fault as a signal (see VZRSignal). The port
// calls go through a backend: the production one cannot allocate a port, so nothing is registered and the
// SDK log says so; the test backend queues requests that name a thread of this process and keeps the replies,
// so the server thread, the mask, the unregistering, the record and the reply all run as they would.

#include <pthread.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

struct VZRMachExceptionReadOnlyContext;

using VZRMachPort = uint32_t;
using VZRKernReturn = int32_t;
inline constexpr VZRKernReturn kVZRKernSuccess = 0;
inline constexpr VZRKernReturn kVZRKernFailure = 5;

inline constexpr uint32_t kVZRExcMaskBadAccess = 1u << 1;
inline constexpr uint32_t kVZRExcMaskBadInstruction = 1u << 2;
inline constexpr uint32_t kVZRExcMaskArithmetic = 1u << 3;
inline constexpr uint32_t kVZRExcMaskBreakpoint = 1u << 6;
inline constexpr uint32_t kVZRExcMaskGuard = 1u << 12;
inline constexpr uint32_t kVZRExceptionDefault = 1;
inline constexpr uint32_t kVZRMachExceptionCodes = 0x80000000u;
inline constexpr int32_t kVZRThreadStateNone = 13;
inline constexpr int kVZRMachSavedHandlers = 14;

// A `mach_exception_raise` request as the server reads it: header, the faulting thread and its task (here a
// tid and a pid), the exception type and its 64-bit codes.
struct VZRMachExceptionRequest {
    uint32_t bits = 0;
    uint32_t size = 92;
    VZRMachPort replyPort = 0;
    VZRMachPort localPort = 0;
    uint32_t voucher = 0;
    int32_t id = 2405; // mach_exception_raise
    pid_t thread = 0;
    pid_t task = 0;
    int32_t exception = 0;
    uint32_t codeCount = 0;
    int64_t codes[2] = {};
};

// The 36-byte reply: header, NDR record, return code.
struct __attribute__((packed)) VZRMachExceptionReply {
    uint32_t bits = 0;
    uint32_t size = 0;
    VZRMachPort remotePort = 0;
    VZRMachPort localPort = 0;
    uint32_t voucher = 0;
    int32_t id = 0;
    uint8_t ndr[8] = {0, 0, 0, 0, 1, 0, 0, 0}; // little-endian integers, IEEE floats, ASCII
    int32_t returnCode = 0;
};
static_assert(sizeof(VZRMachExceptionReply) == 36);

// The previous handlers a swap of the exception ports gives back.
struct VZRMachSavedHandlers {
    uint32_t count = 0;
    uint32_t masks[kVZRMachSavedHandlers] = {};
    VZRMachPort ports[kVZRMachSavedHandlers] = {};
    uint32_t behaviors[kVZRMachSavedHandlers] = {};
    int32_t flavors[kVZRMachSavedHandlers] = {};
};

class VZRMachPortBackend {
public:
    virtual ~VZRMachPortBackend() = default;
    virtual VZRKernReturn allocate(VZRMachPort* port) = 0;
    virtual VZRKernReturn insertSendRight(VZRMachPort port) = 0;
    virtual void deallocate(VZRMachPort port) = 0;
    virtual VZRKernReturn swapExceptionPorts(uint32_t mask, VZRMachPort port, uint32_t behavior, int32_t flavor,
                                             VZRMachSavedHandlers* previous) = 0;
    virtual VZRKernReturn setExceptionPorts(uint32_t mask, VZRMachPort port, uint32_t behavior, int32_t flavor) = 0;
    // Blocks until a request arrives.
    virtual VZRKernReturn receive(VZRMachPort port, VZRMachExceptionRequest* request) = 0;
    virtual VZRKernReturn send(const VZRMachExceptionReply& reply) = 0;
};

// Linux: no exception ports; allocation fails.
class VZRMachProductionBackend final : public VZRMachPortBackend {
public:
    VZRKernReturn allocate(VZRMachPort*) override { return kVZRKernFailure; }
    VZRKernReturn insertSendRight(VZRMachPort) override { return kVZRKernFailure; }
    void deallocate(VZRMachPort) override {}
    VZRKernReturn swapExceptionPorts(uint32_t, VZRMachPort, uint32_t, int32_t, VZRMachSavedHandlers*) override {
        return kVZRKernFailure;
    }
    VZRKernReturn setExceptionPorts(uint32_t, VZRMachPort, uint32_t, int32_t) override { return kVZRKernFailure; }
    VZRKernReturn receive(VZRMachPort, VZRMachExceptionRequest*) override { return kVZRKernFailure; }
    VZRKernReturn send(const VZRMachExceptionReply&) override { return kVZRKernFailure; }
};

// Requests are queued by the test; replies and port calls are kept for it to read.
class VZRMachTestBackend final : public VZRMachPortBackend {
public:
    struct PortCall {
        uint32_t mask;
        VZRMachPort port;
        uint32_t behavior;
        int32_t flavor;
    };

    // The previous handlers the first swap gives back.
    VZRMachSavedHandlers previousHandlers;

    void queueRequest(const VZRMachExceptionRequest& request);
    // Waits (up to `seconds`) until `count` replies were sent.
    bool waitForReplies(size_t count, double seconds);
    std::vector<VZRMachExceptionReply> replies();
    std::vector<PortCall> swaps();
    std::vector<PortCall> sets();
    // A port no one else holds (the server's).
    VZRMachPort serverPort() const { return 0x1103; }

    VZRKernReturn allocate(VZRMachPort* port) override;
    VZRKernReturn insertSendRight(VZRMachPort port) override;
    void deallocate(VZRMachPort port) override;
    VZRKernReturn swapExceptionPorts(uint32_t mask, VZRMachPort port, uint32_t behavior, int32_t flavor,
                                     VZRMachSavedHandlers* previous) override;
    VZRKernReturn setExceptionPorts(uint32_t mask, VZRMachPort port, uint32_t behavior, int32_t flavor) override;
    VZRKernReturn receive(VZRMachPort port, VZRMachExceptionRequest* request) override;
    VZRKernReturn send(const VZRMachExceptionReply& reply) override;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<VZRMachExceptionRequest> requests_;
    std::vector<VZRMachExceptionReply> replies_;
    std::vector<PortCall> swaps_;
    std::vector<PortCall> sets_;
};

// The backend the server uses (the production one unless a test set another; it must outlive the server).
void VZRMachExceptionSetBackend(VZRMachPortBackend* backend);

// Tests: the call that starts the server thread (pthread_create unless replaced; null restores it), so that a
// failed start can be shown.
using VZRMachThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void VZRMachExceptionSetThreadStarterForTesting(VZRMachThreadStarter starter);

// The mask registered for an OS major version, less `maskToLeaveOut` (its low 16 bits).
uint32_t VZRMachExceptionMaskForMajorVersion(int64_t major, uint32_t maskToLeaveOut);

// The set-up task: resets "mach_exception.vzrrecord", registers the server port and starts the server thread.
void VZRMachExceptionInit(VZRMachExceptionReadOnlyContext* context, uint32_t maskToLeaveOut);
bool VZRMachExceptionUnregister(const VZRMachSavedHandlers* saved, uint32_t registeredMask);
