#pragma once
// The device's file manager over the app home: listings, folders, whole-file reads and writes (atomic or
// exclusive), copies and moves, attributes, backup exclusion and volume capacity.
// Faults (sim::Faults, subject = the path the caller named): reads check file.open then file.read; writes
// file.open, file.write and, when atomic, file.rename; createDirectory file.mkdir; removeItem file.remove;
// moveItem file.rename (subject: the destination); copyItem file.write (the destination); backup exclusion
// file.xattr; capacities file.statvfs.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

enum class SearchPathDirectory : int {
    Library = 5,
    Document = 9,
    Caches = 13,
    ApplicationSupport = 14,
};
inline constexpr int UserDomainMask = 1;

// Attribute keys and values of attributesOfItem().
inline constexpr const char* NSFileSize = "NSFileSize";
inline constexpr const char* NSFileType = "NSFileType";
inline constexpr const char* NSFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* NSFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* NSFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* NSFileTypeUnknown = "NSFileTypeUnknown";
inline constexpr const char* NSFileCreationDate = "NSFileCreationDate";
inline constexpr const char* NSFileModificationDate = "NSFileModificationDate";
inline constexpr const char* NSFilePosixPermissions = "NSFilePosixPermissions";
inline constexpr const char* NSFileImmutable = "NSFileImmutable";
inline constexpr const char* NSFileProtectionKey = "NSFileProtectionKey";
inline constexpr const char* NSFileProtectionNone = "NSFileProtectionNone";
inline constexpr const char* NSFileProtectionComplete = "NSFileProtectionComplete";
inline constexpr const char* NSFileProtectionCompleteUnlessOpen = "NSFileProtectionCompleteUnlessOpen";
inline constexpr const char* NSFileProtectionCompleteUntilFirstUserAuthentication =
    "NSFileProtectionCompleteUntilFirstUserAuthentication";

struct WriteOptions {
    // Write a temporary file in the same folder, fsync it and rename it over the target: readers see the old
    // file or the new one, never a part.
    bool atomic = false;
    // Fail with 516 when the target exists (O_EXCL, or an exclusive rename when atomic).
    bool withoutOverwriting = false;
    // Mode of a new file; 0644 when not given. An atomic rewrite of an existing file keeps that file's mode
    // unless a mode is given, so a secret stays 0600.
    std::optional<mode_t> permissions;

    // Chainable, for call sites: WriteOptions().setAtomic().setPermissions(0600).
    WriteOptions setAtomic(bool on = true) const {
        WriteOptions o = *this;
        o.atomic = on;
        return o;
    }
    WriteOptions setWithoutOverwriting(bool on = true) const {
        WriteOptions o = *this;
        o.withoutOverwriting = on;
        return o;
    }
    WriteOptions setPermissions(mode_t mode) const {
        WriteOptions o = *this;
        o.permissions = mode;
        return o;
    }
};

// Reads a whole file. Errors: 260 missing, 257 no permission, 256 other (a folder, a read error).
Result<Data> readData(std::string_view path);
// Writes a whole file. Errors: 4 missing folder, 513 no permission, 516 exists, 640 no space, 512 other.
Result<void> writeData(std::string_view path, std::span<const uint8_t> bytes,
                       const WriteOptions& options = {});

class FileManager {
public:
    static FileManager& defaultManager();

    // The app home's folder for a directory (the user domain holds exactly one).
    std::vector<std::string> urls(SearchPathDirectory directory, int domainMask = UserDomainMask) const;
    // `<home>/tmp/`, created 0700 on first use.
    std::string temporaryDirectory() const;

    bool fileExists(std::string_view path, bool* isDirectory = nullptr) const;
    bool isWritable(std::string_view path) const;
    // Names without `.` and `..`, sorted.
    Result<std::vector<std::string>> contentsOfDirectory(std::string_view path) const;
    // Folders are 0755 unless the attributes give NSFilePosixPermissions. An existing folder is success with
    // intermediates, 516 without; a file in the way is 516; a missing parent without intermediates is 4.
    Result<void> createDirectory(std::string_view path, bool withIntermediateDirectories,
                                 const Dictionary& attributes = {}) const;
    // Creates or replaces a file (atomically); NSFilePosixPermissions and NSFileProtectionKey are honoured.
    Result<void> createFile(std::string_view path, std::span<const uint8_t> contents,
                            const Dictionary& attributes = {}) const;
    Result<Data> contentsAtPath(std::string_view path) const { return readData(path); }

    // Recursive; a symlink is removed, never followed. 4 when nothing is there.
    Result<void> removeItem(std::string_view path) const;
    // 516 when the destination exists, 4 when the source is missing. Works across file systems.
    Result<void> moveItem(std::string_view from, std::string_view to) const;
    // Recursive; symlinks are copied as links. 516 when the destination exists, 260 when the source is
    // missing.
    Result<void> copyItem(std::string_view from, std::string_view to) const;

    // NSFileSize, NSFileType, NSFileCreationDate (birth time where the file system keeps it, else the
    // modification time), NSFileModificationDate, NSFilePosixPermissions, NSFileImmutable and, when one was
    // set, NSFileProtectionKey. A final symlink is not followed.
    Result<Dictionary> attributesOfItem(std::string_view path) const;
    // NSFilePosixPermissions, NSFileImmutable, NSFileProtectionKey, NSFileModificationDate.
    Result<void> setAttributes(const Dictionary& attributes, std::string_view path) const;

    // xattr `user.plat.exclude_from_backup`; where the file system has no user attributes the flag is kept in
    // a process table. 4 for a missing file.
    Result<void> setExcludedFromBackup(std::string_view path, bool excluded) const;
    bool isExcludedFromBackup(std::string_view path) const;
    // FS_IMMUTABLE_FL where the file system and the process allow it, else a process table.
    Result<void> setImmutable(std::string_view path, bool immutable) const;
    bool isImmutable(std::string_view path) const;
    // Recorded only: Linux has no data-protection classes.
    Result<void> setFileProtection(std::string_view path, std::string protectionClass) const;
    std::optional<std::string> fileProtection(std::string_view path) const;

    Result<uint64_t> volumeAvailableCapacity(std::string_view path) const;
    Result<uint64_t> volumeTotalCapacity(std::string_view path) const;

private:
    FileManager() = default;
    template <class> friend class NeverDestroyed;
};

} // namespace plat
