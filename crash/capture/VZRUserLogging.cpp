#include "crash/capture/VZRUserLogging.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::atomic<bool> uninitializedMessagingDisabled{false};

std::mutex& compactionHookMutex() {
    static std::mutex m;
    return m;
}

std::function<void(int)>& compactionHook() {
    static std::function<void(int)> hook;
    return hook;
}

void runCompactionHook(int step) {
    std::function<void(int)> hook;
    {
        std::lock_guard lock(compactionHookMutex());
        hook = compactionHook();
    }
    if (hook)
        hook(step);
}

VZRReadOnlyContext* readonlyContext() {
    VZRReadOnlyContext* ro = VZRSharedContext().readonly.load();
    return VZRIsValidPointer(ro) ? ro : nullptr;
}

VZRWritableContext* writableContext() {
    VZRWritableContext* rw = VZRSharedContext().writable.load();
    return VZRIsValidPointer(rw) ? rw : nullptr;
}

// Runs `fn` on the logging queue and waits; on the queue itself it runs at once.
void onLoggingQueue(const std::function<void()>& fn) {
    plat::DispatchQueuePtr queue = VZRContextLoggingQueue();
    if (!queue)
        return;
    if (queue->isCurrent())
        fn();
    else
        queue->sync([&fn] { fn(); });
}

void laterOnLoggingQueue(std::function<void()> fn) {
    if (plat::DispatchQueuePtr queue = VZRContextLoggingQueue())
        queue->async(std::move(fn));
}

std::string hexOf(const std::string& text) {
    std::string out(2 * text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i)
        VZRHexFromByte(static_cast<uint8_t>(text[i]), out.data() + 2 * i);
    return out;
}

void writeKVLine(VZRFile* file, const char* keyHex, size_t keyHexLength, const char* valueHex, size_t valueHexLength,
                 bool hasValue) {
    // The entries read back from a store are already hex text: they are written as they stand.
    VZRFileBeginSection(file, "kv");
    VZRFileBeginObject(file);
    VZRFileWriteKey(file, "key");
    VZRFileWriteBytes(file, "\"", 1);
    VZRFileWriteBytes(file, keyHex, keyHexLength);
    VZRFileWriteBytes(file, "\"", 1);
    file->needsComma = true;
    VZRFileWriteKey(file, "value");
    if (hasValue) {
        VZRFileWriteBytes(file, "\"", 1);
        VZRFileWriteBytes(file, valueHex, valueHexLength);
        VZRFileWriteBytes(file, "\"", 1);
    } else {
        VZRFileWriteBytes(file, "null", 4);
    }
    file->needsComma = true;
    VZRFileEndObject(file);
    VZRFileEndSection(file);
}

// The "kv" objects of one file in order; a file that cannot be read is deleted and gives none.
plat::Array readKVLines(const char* path) {
    auto sections = VZRFileReadSections(path, true, [](const plat::Value& line) -> std::optional<plat::Value> {
        if (!line.isDictionary())
            return std::nullopt;
        if (const plat::Value* kv = line.asDictionary().find("kv"))
            return *kv;
        return std::nullopt;
    });
    return sections ? std::move(*sections) : plat::Array{};
}

// Applies the lines of one file to `entries`; a line without key or value is dropped.
void applyKVLines(const plat::Array& lines, plat::Dictionary& entries, bool decodeHex, bool incremental) {
    for (const plat::Value& line : lines) {
        const plat::Value* key = line.isDictionary() ? line.asDictionary().find("key") : nullptr;
        const plat::Value* value = line.isDictionary() ? line.asDictionary().find("value") : nullptr;
        std::optional<std::string> keyText;
        std::optional<plat::Value> valueOut;
        if (key && key->isString())
            keyText = decodeHex ? VZRFileDecodeHexString(key->asString()) : std::optional(key->asString());
        bool valueMissing = !value;
        if (value && value->isString()) {
            auto text = decodeHex ? VZRFileDecodeHexString(value->asString()) : std::optional(value->asString());
            if (text)
                valueOut = plat::Value(*text);
            else
                valueMissing = true;
        } else if (value && !value->isNull()) {
            valueMissing = true;
        }
        if (!keyText || valueMissing) {
            if (incremental)
                VZRSDKLog(VZRLogLevelError,
                          "ERROR [%s:%d] incremental key/value contains a nil and must be dropped\n", VZR_HERE);
            else
                VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] compacted key/value contains a nil and must be dropped\n",
                          VZR_HERE);
            continue;
        }
        if (valueOut)
            entries.set(*keyText, std::move(*valueOut));
        else
            entries.erase(*keyText);
    }
}

void unlinkLogged(const char* path, const char* format) {
    if (!VZRUnlinkIfExists(path))
        VZRSDKLog(VZRLogLevelWarn, format, VZR_HERE, std::strerror(errno));
}

} // namespace

void VZRUserLoggingInitialize() {
    VZRReadOnlyContext* ro = readonlyContext();
    VZRWritableContext* rw = writableContext();
    if (!ro || !rw)
        return;
    VZRUserLoggingReadOnlyContext& logs = ro->userLogging;
    VZRUserLoggingWritableContext& state = rw->userLogging;
    logs.userKV = {logs.userIncrementalKVPath, logs.userCompactedKVPath, logs.maxCustomKeys,
                   kVZRKVCompactionThreshold};
    logs.internalKV = {logs.internalIncrementalKVPath, logs.internalCompactedKVPath, kVZRInternalKVMaxEntries,
                       kVZRKVCompactionThreshold};
    logs.log = {logs.logPathA, logs.logPathB, logs.logBufferSize, 0, true, nullptr};
    logs.errors = {logs.errorsPathA, logs.errorsPathB, 0, logs.errorReportingEnabled ? logs.maxCustomExceptions : 0,
                   false, &state.errorsCount};
    logs.customExceptions = {logs.customExceptionPathA, logs.customExceptionPathB, 0, logs.maxCustomExceptions,
                             false, &state.customExceptionsCount};
    state.logCurrent.store(logs.logPathA);
    state.errorsCurrent.store(logs.errorsPathA);
    state.customExceptionsCurrent.store(logs.customExceptionPathA);
}

const VZRKVStoreDescriptor* VZRUserLoggingUserStore() {
    VZRReadOnlyContext* ro = readonlyContext();
    return ro && ro->userLogging.userKV.incrementalPath ? &ro->userLogging.userKV : nullptr;
}

const VZRKVStoreDescriptor* VZRUserLoggingInternalStore() {
    VZRReadOnlyContext* ro = readonlyContext();
    return ro && ro->userLogging.internalKV.incrementalPath ? &ro->userLogging.internalKV : nullptr;
}

void VZRUserLoggingSetCompactionStepHookForTesting(std::function<void(int)> hook) {
    std::lock_guard lock(compactionHookMutex());
    compactionHook() = std::move(hook);
}

void VZRUserLoggingWriteKeyValue(const std::optional<std::string>& key, const std::optional<std::string>& value,
                                 const VZRKVStoreDescriptor* store, std::atomic<uint32_t>* counter) {
    if (!store || !counter || !key) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Bad parameters\n", VZR_HERE);
        return;
    }
    VZRFile file;
    if (!VZRFileInitWithPath(&file, store->incrementalPath, true)) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Unable to open k-v file\n", VZR_HERE);
        return;
    }
    const std::string keyHex = hexOf(*key);
    const std::string valueHex = value ? hexOf(*value) : std::string();
    writeKVLine(&file, keyHex.data(), keyHex.size(), valueHex.data(), valueHex.size(), value.has_value());
    VZRFileClose(&file);
    if (counter->fetch_add(1) + 1 >= store->compactionThreshold) {
        // The count starts again now: later writes queue behind this compaction anyway. The compaction keeps
        // its own copy of the paths, as a report's store may be gone by the time it runs.
        counter->store(0);
        laterOnLoggingQueue([incremental = std::string(store->incrementalPath),
                             compacted = std::string(store->compactedPath), max = store->maxEntries,
                             threshold = store->compactionThreshold] {
            const VZRKVStoreDescriptor copy{incremental.c_str(), compacted.c_str(), max, threshold};
            VZRUserLoggingCompactKVEntries(&copy);
        });
    }
}

namespace {

// The context's counter of a store, or none for a store that is not the context's.
std::atomic<uint32_t>* counterOf(const VZRKVStoreDescriptor* store) {
    VZRReadOnlyContext* ro = readonlyContext();
    VZRWritableContext* rw = writableContext();
    if (!ro || !rw || !store)
        return nullptr;
    if (store == &ro->userLogging.userKV)
        return &rw->userLogging.userKVCount;
    if (store == &ro->userLogging.internalKV)
        return &rw->userLogging.internalKVCount;
    return nullptr;
}

} // namespace

void VZRUserLoggingRecordKeyValue(const std::optional<std::string>& key, const std::optional<plat::Value>& value,
                                  const VZRKVStoreDescriptor* store, std::atomic<uint32_t>* counter) {
    if (!key) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] User provided bad key\n", VZR_HERE);
        return;
    }
    if (!VZRContextIsInitialized())
        return;
    std::optional<std::string> text;
    if (value && !value->isNull())
        text = value->description();
    onLoggingQueue([&] { VZRUserLoggingWriteKeyValue(key, text, store, counter); });
}

void VZRUserLoggingRecordUserKeyValue(const std::optional<std::string>& key, const std::optional<plat::Value>& value) {
    const VZRKVStoreDescriptor* store = VZRUserLoggingUserStore();
    VZRUserLoggingRecordKeyValue(key, value, store, counterOf(store));
}

void VZRUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key,
                                          const std::optional<plat::Value>& value) {
    const VZRKVStoreDescriptor* store = VZRUserLoggingInternalStore();
    VZRUserLoggingRecordKeyValue(key, value, store, counterOf(store));
}

void VZRUserLoggingWriteInternalKeyValue(const std::string& key, const std::optional<std::string>& value) {
    const VZRKVStoreDescriptor* store = VZRUserLoggingInternalStore();
    VZRUserLoggingWriteKeyValue(key, value, store, counterOf(store));
}

plat::Dictionary VZRUserLoggingGetCompactedKVEntries(const VZRKVStoreDescriptor* store, bool decodeHex) {
    plat::Dictionary entries;
    if (!store || !store->incrementalPath || !store->compactedPath) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] storage invalid\n", VZR_HERE);
        return entries;
    }
    if (!VZRContextIsInitialized())
        return entries;
    applyKVLines(readKVLines(store->compactedPath), entries, decodeHex, false);
    applyKVLines(readKVLines(store->incrementalPath), entries, decodeHex, true);
    return entries;
}

void VZRUserLoggingCompactKVEntries(const VZRKVStoreDescriptor* store) {
    if (!store || !store->incrementalPath || !store->compactedPath) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: storage invalid\n", VZR_HERE);
        return;
    }
    const plat::Dictionary entries = VZRUserLoggingGetCompactedKVEntries(store, false);
    // The old compacted file stays until the new one has replaced it: keys only it holds survive any failure.
    const std::string temporary = std::string(store->compactedPath) + ".tmp";
    VZRFile file;
    if (!VZRFileInitWithPathMode(&file, temporary.c_str(), false, true)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to open compacted k-v file\n", VZR_HERE);
        return;
    }
    size_t count = entries.size();
    if (count > store->maxEntries) {
        VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Truncating KV set, which is above max %d\n", VZR_HERE,
                  static_cast<int>(store->maxEntries));
        count = store->maxEntries;
    }
    size_t written = 0;
    for (const auto& [key, value] : entries) {
        if (written++ == count)
            break;
        const std::string& hex = value.asString();
        writeKVLine(&file, key.data(), key.size(), hex.data(), hex.size(), true);
    }
    const bool complete = VZRFileFlush(&file);
    if (!VZRFileClose(&file) || !complete) {
        // A short file would lose keys: keep the old files and try again at the next threshold.
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to write compacted k-v file\n", VZR_HERE);
        VZRUnlinkIfExists(temporary.c_str());
        return;
    }
    runCompactionHook(1);
    const auto fault = plat::sim::Faults::check("file.rename", store->compactedPath);
    if (fault || ::rename(temporary.c_str(), store->compactedPath) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to replace compacted k-v file %s\n", VZR_HERE,
                  std::strerror(fault ? *fault : errno));
        VZRUnlinkIfExists(temporary.c_str());
        return;
    }
    runCompactionHook(2);
    unlinkLogged(store->incrementalPath,
                 "WARN  [%s:%d] Error: Unable to remove incremental KV store after compaction %s\n");
}

void VZRUserLoggingWriteAndCheckABFiles(const VZRABLogDescriptor* log, std::atomic<const char*>* currentFile,
                                        const std::function<void(VZRFile*)>& writer) {
    if (!log || !currentFile || !currentFile->load())
        return;
    if ((log->limitBySize ? log->maxBytes : log->maxEntries) == 0)
        return;
    onLoggingQueue([&] {
        VZRFile file;
        if (!VZRFileInitWithPath(&file, currentFile->load(), true)) {
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to open log file\n", VZR_HERE);
            return;
        }
        writer(&file);
        uint64_t size = 0;
        VZRFileCloseWithOffset(&file, &size);
        if (!log->limitBySize && log->entryCount)
            log->entryCount->fetch_add(1);
        laterOnLoggingQueue([log, currentFile, size] { VZRUserLoggingCheckAndSwapABFiles(log, currentFile, size); });
    });
}

void VZRUserLoggingCheckAndSwapABFiles(const VZRABLogDescriptor* log, std::atomic<const char*>* currentFile,
                                       uint64_t size) {
    if (!log || !currentFile)
        return;
    if (log->limitBySize) {
        if (size <= log->maxBytes)
            return;
    } else {
        if (!log->entryCount) {
            VZRSDKLog(VZRLogLevelError,
                      "ERROR [%s:%d] Error: storage has invalid pointer, but is restricted by entry count\n", VZR_HERE);
            return;
        }
        if (log->entryCount->load() < log->maxEntries)
            return;
        log->entryCount->store(0);
    }
    const char* current = currentFile->load();
    const char* other = current == log->pathA ? log->pathB : log->pathA;
    if (other && *other)
        VZRUnlinkIfExists(other);
    currentFile->store(other);
}

void VZRUserLoggingDisableUninitializedKitMessaging() {
    uninitializedMessagingDisabled.store(true);
}

void VZRUserLoggingRecordUserLogMessage(const std::optional<std::string>& message) {
    if (!message)
        return;
    if (!VZRContextIsInitialized()) {
        if (!uninitializedMessagingDisabled.load())
            plat::NSLogText("[Vuzidorazav:Crash] WARNING: VZRLog has been used before (or concurrently with) "
                            "Vuzidorazav initialization and cannot be recorded. The message was: \n" +
                            *message);
        return;
    }
    VZRReadOnlyContext* ro = readonlyContext();
    VZRWritableContext* rw = writableContext();
    if (!ro || !rw)
        return;
    const uint32_t limit = ro->userLogging.logBufferSize;
    std::string text = *message;
    if (text.size() > limit) {
        plat::NSLog("WARNING: Attempted to write %zd bytes, but %d is the maximum size of the log. Truncating to %d "
                    "bytes.\n",
                    static_cast<long>(text.size()), static_cast<int>(limit), static_cast<int>(limit));
        size_t cut = limit;
        // Never split a character: the cut text must still read back as UTF-8.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    const double now = plat::Clock::now();
    const double seconds = std::floor(now);
    const auto micros = static_cast<uint64_t>((now - seconds) * 1e6);
    const uint64_t time = static_cast<uint64_t>(seconds) * 1000 + micros / 1000;
    VZRUserLoggingWriteAndCheckABFiles(&ro->userLogging.log, &rw->userLogging.logCurrent, [&](VZRFile* file) {
        VZRFileBeginSection(file, "log");
        VZRFileBeginObject(file);
        VZRFileWriteHexField(file, "msg", text.data(), text.size());
        VZRFileWriteUnsignedField(file, "time", time);
        VZRFileEndObject(file);
        VZRFileEndSection(file);
    });
}

namespace {

void writeDescriptionPairs(VZRFile* file, const char* key, const plat::Dictionary& dictionary) {
    if (dictionary.empty())
        return;
    VZRFileWriteKey(file, key);
    VZRFileBeginArray(file);
    for (const auto& [k, v] : dictionary) {
        const std::string value = v.description();
        VZRFileBeginArray(file);
        VZRFileAppendHex(file, k.data(), k.size());
        VZRFileAppendHex(file, value.data(), value.size());
        VZRFileEndArray(file);
    }
    VZRFileEndArray(file);
}

} // namespace

void VZRUserLoggingRecordError(const plat::Error& error, const plat::Dictionary* additionalInfo) {
    if (!VZRContextIsInitialized())
        return;
    VZRReadOnlyContext* ro = readonlyContext();
    VZRWritableContext* rw = writableContext();
    if (!ro || !rw)
        return;
    const std::vector<std::uintptr_t> stack = plat::Thread::callStackReturnAddresses();
    const auto time = static_cast<uint64_t>(std::floor(plat::Clock::now()));
    VZRUserLoggingWriteAndCheckABFiles(&ro->userLogging.errors, &rw->userLogging.errorsCurrent, [&](VZRFile* file) {
        VZRFileBeginSection(file, "error");
        VZRFileBeginObject(file);
        VZRFileWriteHexField(file, "domain", error.domain.data(), error.domain.size());
        VZRFileWriteSignedField(file, "code", error.code);
        VZRFileWriteUnsignedField(file, "time", time);
        VZRFileWriteKey(file, "stacktrace");
        VZRFileBeginArray(file);
        for (std::uintptr_t address : stack)
            VZRFileAppendUnsigned(file, address);
        VZRFileEndArray(file);
        writeDescriptionPairs(file, "info", error.userInfo);
        if (additionalInfo)
            writeDescriptionPairs(file, "extra_info", *additionalInfo);
        VZRFileEndObject(file);
        VZRFileEndSection(file);
    });
}
