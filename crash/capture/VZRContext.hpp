#pragma once
// The crash reporter's process-wide crash-time context. Everything that crash-time code needs (record
// paths, handler stacks, saved handlers, log state) is made here at start-up, while the process is healthy,
// so that a crashing process only reads it and writes record files. Half of it is write-protected once
// start-up ends, so memory corruption before a crash cannot damage the paths and saved handlers.

#include "crash/capture/VZRAllocator.hpp"
#include "crash/capture/VZRBinaryImage.hpp"
#include "crash/capture/VZRUserLogging.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/runtime/Object.hpp"

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

struct VZRFile;

// What the crash reporting controller hands over once per launch.
struct VZRContextInitData {
    const char* apiKey = nullptr;
    plat::rt::ObjectPtr delegate; // told of a potentially submittable crash; always none from the controller
    bool firstInstall = false;
    plat::rt::ObjectPtr crashCallback; // sent the crash callback on the crashing thread
    const char* customBundleId = nullptr;
    const char* activeDirectory = nullptr; // the current report's folder
    const char* sessionId = nullptr;
    const char* installId = nullptr;
    const char* betaToken = nullptr;
    uint32_t machExceptionMask = 0; // exception types left to the signal handlers
    bool errorReportingEnabled = false;
    bool customExceptionsEnabled = false;
    uint32_t maxCustomExceptions = 0;
    uint32_t errorLogBufferSize = 0; // carried along; nothing here uses it
    uint32_t logBufferSize = 0;
    uint32_t maxCustomKeys = 0;
};

inline constexpr size_t kVZRHandlerStackSize = 0x40000;
inline constexpr int kVZRSignalCount = 7;

struct VZRHostReadOnlyContext {
    size_t pageSize = 0;
    const char* documentsPath = nullptr;
};

struct VZRSignalReadOnlyContext {
    const char* path = nullptr;
    struct sigaction originalActions[kVZRSignalCount] = {};
    stack_t originalStack = {};
};

struct VZRMachExceptionReadOnlyContext {
    const char* path = nullptr;
    uint32_t maskToLeaveOut = 0;
};

struct VZRExceptionReadOnlyContext {
    const char* path = nullptr;
    void (*originalTerminateHandler)() = nullptr;
};

struct VZRUserLoggingReadOnlyContext {
    const char* customExceptionPathA = nullptr;
    const char* customExceptionPathB = nullptr;
    const char* errorsPathA = nullptr;
    const char* errorsPathB = nullptr;
    const char* logPathA = nullptr;
    const char* logPathB = nullptr;
    const char* internalIncrementalKVPath = nullptr;
    const char* internalCompactedKVPath = nullptr;
    const char* userIncrementalKVPath = nullptr;
    const char* userCompactedKVPath = nullptr;
    bool errorReportingEnabled = false;
    bool customExceptionsEnabled = false;
    uint32_t maxCustomExceptions = 0;
    uint32_t logBufferSize = 0;
    uint32_t maxCustomKeys = 0;
    // Filled by the user-logging set-up task.
    VZRKVStoreDescriptor userKV;
    VZRKVStoreDescriptor internalKV;
    VZRABLogDescriptor log;
    VZRABLogDescriptor errors;
    VZRABLogDescriptor customExceptions;
};

// The key-value stores' write counts, the logs' current files and the count-limited logs' entry counts.
struct VZRUserLoggingWritableContext {
    std::atomic<uint32_t> userKVCount{0};
    std::atomic<uint32_t> internalKVCount{0};
    std::atomic<const char*> logCurrent{nullptr};
    std::atomic<const char*> errorsCurrent{nullptr};
    std::atomic<const char*> customExceptionsCurrent{nullptr};
    std::atomic<uint32_t> errorsCount{0};
    std::atomic<uint32_t> customExceptionsCount{0};
};

// Carved from the read-only region; write-protected once initialisation ends.
struct VZRReadOnlyContext {
    std::atomic<bool> initialized{false};
    bool debuggerAttached = false;
    std::atomic<const char*> logPath{nullptr}; // "sdk.log"
    void* signalStack = nullptr;               // kVZRHandlerStackSize bytes each, zeroed
    void* machStack = nullptr;
    plat::rt::Object* delegate = nullptr; // kept alive by the context's owner
    plat::rt::Object* crashCallback = nullptr;
    bool firstInstall = false;
    const char* binaryImagesPath = nullptr;
    const char* metadataPath = nullptr;
    VZRExceptionReadOnlyContext exception;
    VZRHostReadOnlyContext host;
    VZRSignalReadOnlyContext signal;
    VZRMachExceptionReadOnlyContext machException;
    VZRUserLoggingReadOnlyContext userLogging;
};

// Carved from the writable region; crash-time code may change it.
struct VZRWritableContext {
    std::atomic<int> logFd{-1};
    std::atomic<int> logThreshold{1};
    std::atomic<bool> crashOnce{false};
    VZRUserLoggingWritableContext userLogging;
    VZRBinaryImageNode binaryImages[kVZRBinaryImageNodeCount];
};

struct VZRContext {
    std::atomic<VZRReadOnlyContext*> readonly{nullptr};
    std::atomic<VZRWritableContext*> writable{nullptr};
    std::atomic<VZRAllocator*> allocator{nullptr};
};

// The one context of the process (constant-initialised, so signal handlers may read it at any time).
VZRContext& VZRSharedContext();

// Any pointer value below 4096 counts as absent in crash-time code.
inline bool VZRIsValidPointer(const void* p) {
    return reinterpret_cast<uintptr_t>(p) >= 4096;
}

// Builds the context and starts the set-up tasks; false without a configuration or an active directory.
// Waits up to five seconds for the tasks and returns true also when they take longer.
bool VZRContextInitialize(const VZRContextInitData* config);

// Writes "metadata.vzrrecord" ("identity", "host", "application", "executable").
void VZRContextRecordMetadata(const VZRContextInitData* config);

bool VZRContextIsInitialized();
// True when a crash was already recorded; otherwise marks this one (when the context is initialised) and
// answers false, so only the first crash is written.
bool VZRContextMarkAndCheckIfCrashed();

// The serial queues on which user logs, binary-image records and exception records are written; none until
// the context was initialised.
plat::DispatchQueuePtr VZRContextLoggingQueue();
plat::DispatchQueuePtr VZRContextBinaryImagesQueue();
plat::DispatchQueuePtr VZRContextExceptionQueue();

// The set-up tasks that the other crash-time parts contribute (user logging is always set up). Each runs once per initialisation on the
// default global queue, after the read-only context holds every path; the handler tasks are left out while a
// debugger is attached. A task that is not set is not run.
enum class VZRContextTask {
    binaryImages,
    signalHandlers,
    machExceptionHandlers,
    exceptionHandlers,
};
void VZRContextSetTask(VZRContextTask task, std::function<void(const VZRContextInitData&)> body);
// Writes the "executable" section of the metadata into the open writer; false when it could not.
void VZRContextSetExecutableMetadataWriter(std::function<bool(VZRFile*)> writer);
