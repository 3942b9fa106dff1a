#include "crash/capture/VZRContext.hpp"

#include "crash/capture/VZRApplication.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRHost.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRSignal.hpp"
#include "crash/capture/VZRUtilities.hpp"
#include "crash/capture/VZRVersion.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace {

constexpr size_t kWritableSize = 544872;
constexpr size_t kReadOnlySize = 17056;
constexpr double kInitializationWait = 5.0;

// The parts of the context that live on the ordinary heap: the queues, the objects whose raw pointers the
// read-only context holds (kept alive here), and the set-up tasks of the other crash-time parts.
struct Services {
    std::mutex mutex;
    plat::DispatchQueuePtr logging;
    plat::DispatchQueuePtr binaryImages;
    plat::DispatchQueuePtr exception;
    plat::rt::ObjectPtr delegate;
    plat::rt::ObjectPtr crashCallback;
    std::map<VZRContextTask, std::function<void(const VZRContextInitData&)>> tasks;
    std::function<bool(VZRFile*)> executableWriter;
};

Services& services() {
    static plat::NeverDestroyed<Services> instance;
    return instance.get();
}

// The configuration with its own copies of the strings: set-up tasks may still run after initialisation
// returned (it waits five seconds at most), when the caller's strings are gone.
struct OwnedConfig {
    explicit OwnedConfig(const VZRContextInitData& in) : data(in) {
        data.apiKey = keep(apiKey, in.apiKey);
        data.customBundleId = keep(customBundleId, in.customBundleId);
        data.activeDirectory = keep(activeDirectory, in.activeDirectory);
        data.sessionId = keep(sessionId, in.sessionId);
        data.installId = keep(installId, in.installId);
        data.betaToken = keep(betaToken, in.betaToken);
    }
    OwnedConfig(const OwnedConfig&) = delete;
    OwnedConfig& operator=(const OwnedConfig&) = delete;

    static const char* keep(std::optional<std::string>& slot, const char* text) {
        if (!VZRIsValidPointer(text))
            return nullptr;
        slot = text;
        return slot->c_str();
    }

    VZRContextInitData data;
    std::optional<std::string> apiKey, customBundleId, activeDirectory, sessionId, installId, betaToken;
};

// The allocator's memory comes zeroed (a fresh anonymous mapping, or zeroed heap memory when it falls
// back), so nothing is cleared here: clearing the two handler stacks would touch their 128 pages, most of
// the context's start-up, for bytes that are zero already.
void* allocate(VZRAllocator* allocator, size_t size, int type) {
    return VZRAllocatorSafeAllocate(allocator, size, type);
}

// `directory` + "/" + `name`, copied into the read-only region.
const char* recordPath(const char* directory, const char* name) {
    std::string path(directory);
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += name;
    return VZRDuplicateString(path.c_str());
}

void buildRecordPaths(VZRReadOnlyContext* readonly, const VZRContextInitData& config) {
    const char* dir = config.activeDirectory;
    readonly->metadataPath = recordPath(dir, "metadata.vzrrecord");
    readonly->binaryImagesPath = recordPath(dir, "binary_images.vzrrecord");
    readonly->exception.path = recordPath(dir, "exception.vzrrecord");
    readonly->signal.path = recordPath(dir, "signal.vzrrecord");
    readonly->machException.path = recordPath(dir, "mach_exception.vzrrecord");
    readonly->machException.maskToLeaveOut = config.machExceptionMask;
    VZRUserLoggingReadOnlyContext& logs = readonly->userLogging;
    logs.customExceptionPathA = recordPath(dir, "custom_exception_a.vzrrecord");
    logs.customExceptionPathB = recordPath(dir, "custom_exception_b.vzrrecord");
    logs.errorsPathA = recordPath(dir, "errors_a.vzrrecord");
    logs.errorsPathB = recordPath(dir, "errors_b.vzrrecord");
    logs.logPathA = recordPath(dir, "log_a.vzrrecord");
    logs.logPathB = recordPath(dir, "log_b.vzrrecord");
    logs.internalIncrementalKVPath = recordPath(dir, "internal_incremental_kv.vzrrecord");
    logs.internalCompactedKVPath = recordPath(dir, "internal_compacted_kv.vzrrecord");
    logs.userIncrementalKVPath = recordPath(dir, "user_incremental_kv.vzrrecord");
    logs.userCompactedKVPath = recordPath(dir, "user_compacted_kv.vzrrecord");
    logs.errorReportingEnabled = config.errorReportingEnabled;
    logs.customExceptionsEnabled = config.customExceptionsEnabled;
    logs.maxCustomExceptions = config.maxCustomExceptions;
    logs.logBufferSize = config.logBufferSize;
    logs.maxCustomKeys = config.maxCustomKeys;
}

void addTask(plat::DispatchGroup& group, VZRContextTask task, const std::shared_ptr<OwnedConfig>& config) {
    std::function<void(const VZRContextInitData&)> body;
    {
        Services& s = services();
        std::lock_guard lock(s.mutex);
        auto found = s.tasks.find(task);
        if (found == s.tasks.end() || !found->second)
            return;
        body = found->second;
    }
    group.async(plat::DispatchQueue::global(plat::QueuePriority::defaultPriority),
                [body = std::move(body), config] { body(config->data); });
}

bool hasTask(VZRContextTask task) {
    Services& s = services();
    std::lock_guard lock(s.mutex);
    auto found = s.tasks.find(task);
    return found != s.tasks.end() && found->second;
}

void writeOptional(VZRFile* file, const char* key, const std::optional<std::string>& value) {
    VZRFileWriteStringField(file, key, value ? value->c_str() : nullptr);
}

} // namespace

VZRContext& VZRSharedContext() {
    static constinit VZRContext context;
    return context;
}

bool VZRContextInitialize(const VZRContextInitData* config) {
    if (!config)
        return false;
    VZRSafeReadPrepare();
    Services& s = services();
    {
        std::lock_guard lock(s.mutex);
        s.logging = plat::DispatchQueue::makeSerial("com.ruzovid.vuzidorazav.ios.logging");
        s.binaryImages = plat::DispatchQueue::makeSerial("com.ruzovid.vuzidorazav.ios.binary-images");
        s.exception = plat::DispatchQueue::makeSerial("com.ruzovid.vuzidorazav.ios.exception");
    }

    VZRContext& context = VZRSharedContext();
    VZRAllocator* allocator = VZRAllocatorCreate(kWritableSize, kReadOnlySize);
    context.allocator.store(allocator);
    auto* readonlyBytes = allocate(allocator, sizeof(VZRReadOnlyContext), VZRAllocationTypeReadOnly);
    void* signalStack = allocate(allocator, kVZRHandlerStackSize, VZRAllocationTypeWritable);
    void* machStack = allocate(allocator, kVZRHandlerStackSize, VZRAllocationTypeWritable);
    auto* writableBytes = allocate(allocator, sizeof(VZRWritableContext), VZRAllocationTypeWritable);
    if (!readonlyBytes || !writableBytes)
        return false;
    VZRReadOnlyContext* readonly = std::construct_at(static_cast<VZRReadOnlyContext*>(readonlyBytes));
    VZRWritableContext* writable = std::construct_at(static_cast<VZRWritableContext*>(writableBytes));
    readonly->signalStack = signalStack;
    readonly->machStack = machStack;
    readonly->initialized.store(false);
    context.readonly.store(readonly);
    context.writable.store(writable);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!VZRIsValidPointer(config->activeDirectory))
        return false;

    auto owned = std::make_shared<OwnedConfig>(*config);
    const VZRContextInitData& data = owned->data;

    const char* logPath = recordPath(data.activeDirectory, "sdk.log");
    readonly->logPath.store(logPath);
    if (!VZRUnlinkIfExists(logPath))
        plat::NSLogText(std::string("[Vuzidorazav:Crash] Unable to write initialize SDK write paths ") +
                        std::strerror(errno));
    buildRecordPaths(readonly, data);

    readonly->debuggerAttached = VZRProcessDebuggerAttached();
    {
        std::lock_guard lock(s.mutex);
        s.delegate = data.delegate;
        s.crashCallback = data.crashCallback;
    }
    readonly->delegate = data.delegate.get();
    readonly->crashCallback = data.crashCallback.get();
    readonly->firstInstall = data.firstInstall;

    const auto global = plat::DispatchQueue::global(plat::QueuePriority::defaultPriority);
    plat::DispatchGroup group;
    group.async(global, [] { VZRHostSetup(); });
    group.async(global, [] { VZRUserLoggingInitialize(); });
    group.async(global, [] { VZRBinaryImageInit(); });
    addTask(group, VZRContextTask::binaryImages, owned);
    if (readonly->debuggerAttached) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Debugger present - not installing handlers\n", VZR_HERE);
    } else {
        // Alternate stacks are per thread: this one is the initialising thread's; the platform's threads map
        // their own as they start.
        if (hasTask(VZRContextTask::signalHandlers))
            VZRSignalInstallAltStack(&readonly->signal, readonly->signalStack, kVZRHandlerStackSize);
        addTask(group, VZRContextTask::signalHandlers, owned);
        addTask(group, VZRContextTask::machExceptionHandlers, owned);
        addTask(group, VZRContextTask::exceptionHandlers, owned);
    }
    group.async(global, [owned] { VZRContextRecordMetadata(&owned->data); });
    group.notify(global, [readonly, allocator] {
        readonly->initialized.store(true);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!VZRAllocatorProtect(allocator))
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Memory protection failed\n", VZR_HERE);
    });

    // A wait that only ends after its deadline counts as a time-out too: under virtual time a task that
    // itself waits moves the clock past the deadline before this wait sees the group empty.
    const int64_t start = plat::Clock::monotonicNanos();
    const bool finished = group.wait(kInitializationWait);
    const double waited = static_cast<double>(plat::Clock::monotonicNanos() - start) / 1e9;
    if (!finished || waited > kInitializationWait)
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Delayed initialization\n", VZR_HERE);
    return true;
}

void VZRContextRecordMetadata(const VZRContextInitData* config) {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (!config || !VZRIsValidPointer(readonly))
        return;
    const char* path = readonly->metadataPath;
    if (!VZRUnlinkIfExists(path))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to unlink existing metadata file %s\n", VZR_HERE, path);
    VZRFile file;
    if (!VZRFileInitWithPath(&file, path, false)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to open metadata file %s\n", VZR_HERE, path);
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to record context metadata\n", VZR_HERE);
        return;
    }

    VZRFileBeginSection(&file, "identity");
    VZRFileBeginObject(&file);
    VZRFileWriteStringField(&file, "generator", kVZRGenerator);
    VZRFileWriteStringField(&file, "build_version", kVZRBuildVersion);
    VZRFileWriteStringField(&file, "display_version", kVZRDisplayVersion);
    VZRFileWriteStringField(&file, "api_key", config->apiKey);
    VZRFileWriteUnsignedField(&file, "started_at", static_cast<uint64_t>(plat::Clock::now()));
    VZRFileWriteStringField(&file, "session_id", config->sessionId);
    VZRFileWriteStringField(&file, "install_id", config->installId);
    VZRFileWriteStringField(&file, "beta_token", config->betaToken);
    VZRFileWriteBoolField(&file, "absolute_log_timestamps", true);
    VZRFileEndObject(&file);
    VZRFileEndSection(&file);

    if (!VZRHostWriteHost(&file))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to write out host metadata\n", VZR_HERE);

    const std::string bundleId = ZUVAppEscapedBundleIdentifier();
    VZRFileBeginSection(&file, "application");
    VZRFileBeginObject(&file);
    VZRFileWriteStringField(&file, "bundle_id", bundleId.empty() ? nullptr : bundleId.c_str());
    VZRFileWriteStringField(&file, "custom_bundle_id", config->customBundleId);
    writeOptional(&file, "build_version", ZUVAppBundleVersion());
    writeOptional(&file, "display_version", ZUVAppShortVersion());
    writeOptional(&file, "extension_id", VZRApplicationExtensionPointIdentifier());
    VZRFileEndObject(&file);
    VZRFileEndSection(&file);

    std::function<bool(VZRFile*)> executable;
    {
        Services& s = services();
        std::lock_guard lock(s.mutex);
        executable = s.executableWriter;
    }
    if (!executable)
        executable = VZRBinaryImageRecordExecutable;
    if (!executable(&file))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to write out executable metadata\n", VZR_HERE);
    VZRFileClose(&file);
}

bool VZRContextIsInitialized() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    return VZRIsValidPointer(readonly) && readonly->initialized.load();
}

bool VZRContextMarkAndCheckIfCrashed() {
    VZRWritableContext* writable = VZRSharedContext().writable.load();
    if (!VZRContextIsInitialized() || !VZRIsValidPointer(writable))
        return false;
    if (writable->crashOnce.exchange(true))
        return true;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return false;
}

plat::DispatchQueuePtr VZRContextLoggingQueue() {
    Services& s = services();
    std::lock_guard lock(s.mutex);
    return s.logging;
}

plat::DispatchQueuePtr VZRContextBinaryImagesQueue() {
    Services& s = services();
    std::lock_guard lock(s.mutex);
    return s.binaryImages;
}

plat::DispatchQueuePtr VZRContextExceptionQueue() {
    Services& s = services();
    std::lock_guard lock(s.mutex);
    return s.exception;
}

void VZRContextSetTask(VZRContextTask task, std::function<void(const VZRContextInitData&)> body) {
    Services& s = services();
    std::lock_guard lock(s.mutex);
    s.tasks[task] = std::move(body);
}

void VZRContextSetExecutableMetadataWriter(std::function<bool(VZRFile*)> writer) {
    Services& s = services();
    std::lock_guard lock(s.mutex);
    s.executableWriter = std::move(writer);
}
