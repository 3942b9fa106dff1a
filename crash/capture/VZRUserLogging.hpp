#pragma once
// What the application tells the crash reporter before a crash, kept on disk in the active report folder and
// bounded: custom keys (a user and an internal key-value store), the free-text log, recorded errors and
// custom exceptions. All file work runs on the context's logging queue: writes synchronously, compaction and
// A/B swaps queued behind them.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/foundation/Value.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct VZRFile;

inline constexpr uint32_t kVZRKVCompactionThreshold = 64;
inline constexpr uint32_t kVZRInternalKVMaxEntries = 32;

// One key-value store: every write appends a "kv" line to the incremental file; every 64th folds both files
// into the compacted one.
struct VZRKVStoreDescriptor {
    const char* incrementalPath = nullptr;
    const char* compactedPath = nullptr;
    uint32_t maxEntries = 0;
    uint32_t compactionThreshold = kVZRKVCompactionThreshold;
};

// A log kept in two files: once the current one passes its limit (bytes, or entries), the other is deleted
// and becomes the current one, so at most the current file and the one before it remain.
struct VZRABLogDescriptor {
    const char* pathA = nullptr;
    const char* pathB = nullptr;
    uint32_t maxBytes = 0;
    uint32_t maxEntries = 0;
    bool limitBySize = false;
    std::atomic<uint32_t>* entryCount = nullptr;
};

// Fills the stores' and logs' descriptors of the context from its paths and limits; a set-up task of the
// context's initialisation.
void VZRUserLoggingInitialize();

// Custom keys. An absent key is refused ("User provided bad key"); a value is stored as its description and
// an absent value removes the key. Both wait for the write on the logging queue.
void VZRUserLoggingRecordUserKeyValue(const std::optional<std::string>& key, const std::optional<plat::Value>& value);
void VZRUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key,
                                          const std::optional<plat::Value>& value);
// The same for any store (a report's own files, for one), with its write counter.
void VZRUserLoggingRecordKeyValue(const std::optional<std::string>& key, const std::optional<plat::Value>& value,
                                  const VZRKVStoreDescriptor* store, std::atomic<uint32_t>* counter);
// The internal store's write on the caller's thread, for callers that already run serialised.
void VZRUserLoggingWriteInternalKeyValue(const std::string& key, const std::optional<std::string>& value);
// One "kv" line into the store's incremental file; queues a compaction at the threshold.
void VZRUserLoggingWriteKeyValue(const std::optional<std::string>& key, const std::optional<std::string>& value,
                                 const VZRKVStoreDescriptor* store, std::atomic<uint32_t>* counter);

// The store's live entries: the compacted file, then the incremental file on top (a null value removes the
// key). Hex-decoded with `decodeHex`, else the hex text as stored. Empty before the context is initialised.
plat::Dictionary VZRUserLoggingGetCompactedKVEntries(const VZRKVStoreDescriptor* store, bool decodeHex);
// Rewrites the compacted file from the live entries (at most the store's maximum) and then drops the
// incremental file. The new file is written beside the old one and renamed over it, so a failure or a crash
// at any step leaves every key readable.
void VZRUserLoggingCompactKVEntries(const VZRKVStoreDescriptor* store);

// The A/B writer: opens the current file, lets `writer` write one line, closes it and queues the swap check.
void VZRUserLoggingWriteAndCheckABFiles(const VZRABLogDescriptor* log, std::atomic<const char*>* currentFile,
                                        const std::function<void(VZRFile*)>& writer);
void VZRUserLoggingCheckAndSwapABFiles(const VZRABLogDescriptor* log, std::atomic<const char*>* currentFile,
                                       uint64_t size);

// The free-text log. Absent does nothing; before initialisation it only warns on the console.
void VZRUserLoggingRecordUserLogMessage(const std::optional<std::string>& message);
template <class... Args> void VZRLog(std::string_view format, const Args&... args) {
    VZRUserLoggingRecordUserLogMessage(plat::format(format, args...));
}
// Silences the console warning about logging before initialisation.
void VZRUserLoggingDisableUninitializedKitMessaging();

// A non-fatal error with the calling thread's stack, the error's user info and the caller's extra info.
void VZRUserLoggingRecordError(const plat::Error& error, const plat::Dictionary* additionalInfo);

// The stores and logs of the running context; none before initialisation.
const VZRKVStoreDescriptor* VZRUserLoggingUserStore();
const VZRKVStoreDescriptor* VZRUserLoggingInternalStore();

// Tests: called between the steps of a compaction (1: new file written, 2: renamed over the old one).
void VZRUserLoggingSetCompactionStepHookForTesting(std::function<void(int step)> hook);
