#pragma once
// One small dictionary in an XML property list that device backups leave out, kept in a sub-directory of
// Application Support; a copy an earlier layout left in Documents is moved there on first use.

#include "instance_id/DAVInstanceIDErrors.hpp"
#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>

enum DAVInstanceIDPlistDirectory : long {
    DAVInstanceIDPlistDirectoryDocuments = 1,
    DAVInstanceIDPlistDirectoryApplicationSupport = 2,
};

class DAVInstanceIDBackupExcludedPlist {
public:
    DAVInstanceIDBackupExcludedPlist(std::string fileName, std::string applicationSupportSubDirectory);

    bool moveToApplicationSupportSubDirectory();
    bool moveToApplicationSupportSubDirectory(const std::string& subDirectoryName);

    DAVInstanceIDPlistDirectory plistDirectory() const;
    std::string plistPathInDirectory(long directory) const;
    // An invalid kind logs 6003 and gives the empty path.
    std::string pathWithName(const std::string& fileName, long directory) const;
    bool doesFileExistInDirectory(long directory) const;
    bool doesFileExist() const;

    // The file and the cache hold the dictionary even when excluding it from backup fails (NO then).
    bool writeDictionary(const plat::Dictionary& dict, DAVInstanceIDErrorSlot* error);
    bool deleteFile(DAVInstanceIDErrorSlot* error);
    // The cached dictionary, read from the file on first use; none when the file is missing or unreadable.
    std::optional<plat::Dictionary> contentAsDictionary();

    bool fileInApplicationSupport() const { return fileInApplicationSupport_; }
    const std::string& fileName() const { return fileName_; }

private:
    bool fileInApplicationSupport_ = false;
    std::optional<plat::Dictionary> cachedPlistContents_;
    std::string fileName_;
    std::string applicationSupportSubDirectory_;
};
