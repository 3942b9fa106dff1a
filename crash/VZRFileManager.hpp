#pragma once
// The crash reporter's report store on disk: one root per application under Caches, and beneath it "v3" with
// the stage folders "active", "pending", "processing" and "prepared". Each launch gets a report folder in
// "active"; reports move through the stages to upload. Entries whose names begin with "." are never seen.
// Failures are false or none with a console line; nothing raises.

#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Object.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VZRInternalReport;

class VZRFileManager {
public:
    VZRFileManager();

    const std::string& rootPath() const { return rootPath_; }
    plat::FileManager& underlyingFileManager() const { return plat::FileManager::defaultManager(); }

    // Derived on every call.
    std::string pathNamespace() const;
    std::string structurePath() const;
    std::string activePath() const;
    std::string pendingPath() const;
    std::string processingPath() const;
    std::string preparedPath() const;

    // "active", "processing" and "prepared" (not "pending"), stopping at the first failure.
    bool prepareForNewLaunch();
    std::optional<std::string> setupNewPathForExecutionIdentifier(const std::string& identifier);
    // Earlier versions kept "sendable" under the root: the whole root goes.
    void removeLegacyDirectories();

    bool createDirectoryAtPath(const std::string& path);
    bool removeItemAtPath(const std::optional<std::string>& path);
    bool moveItemAtPath(const std::optional<std::string>& path, const std::string& directory);
    std::optional<uint64_t> fileSizeAtPath(const std::string& path);

    // The block gets each visible entry's full path and its extension, in listing order.
    void enumerateFilesInDirectory(const std::string& directory,
                                   const std::function<void(const std::string&, const std::string&)>& block);
    std::vector<std::string> contentsOfDirectory(const std::string& directory);
    std::vector<std::string> activePathContents() { return contentsOfDirectory(activePath()); }
    std::vector<std::string> processingPathContents() { return contentsOfDirectory(processingPath()); }
    std::vector<std::string> preparedPathContents() { return contentsOfDirectory(preparedPath()); }
    void enumerateFilesInActiveDirectory(const std::function<void(const std::string&, const std::string&)>& block) {
        enumerateFilesInDirectory(activePath(), block);
    }
    void enumerateFilesInPreparedDirectory(const std::function<void(const std::string&, const std::string&)>& block) {
        enumerateFilesInDirectory(preparedPath(), block);
    }
    // A report object for each entry of "processing" (none for one that cannot be read).
    void enumerateReportsInProcessingDirectory(
        const std::function<void(const std::shared_ptr<VZRInternalReport>&, const std::string&)>& block);

    // Stops at the first failed move, leaving the rest where they are.
    bool moveItemsFromDirectory(const std::string& source, const std::string& destination);
    bool movePendingToProcessing() { return moveItemsFromDirectory(pendingPath(), processingPath()); }
    bool moveProcessingContentsToPrepared() { return moveItemsFromDirectory(processingPath(), preparedPath()); }

    // Goes on after failures; true when every removal succeeded.
    bool removeContentsOfDirectoryAtPath(const std::string& directory);
    bool removeContentsOfProcessingPath() { return removeContentsOfDirectoryAtPath(processingPath()); }
    bool removeContentsOfPendingPath() { return removeContentsOfDirectoryAtPath(pendingPath()); }
    bool removeContentsOfAllPaths();

private:
    std::string rootPath_;
};

// Makes the platform's alert view, found by class name, unshown; none when the class is absent.
struct VZRAlert {
    static plat::rt::ObjectPtr alertWithTitle(const std::optional<std::string>& title,
                                              const std::optional<std::string>& message,
                                              const plat::rt::ObjectPtr& delegate,
                                              const std::optional<std::string>& cancelButtonTitle,
                                              const std::optional<std::string>& otherButtonTitle);
};
