#include "instance_id/DAVInstanceIDBackupExcludedPlist.hpp"

#include "instance_id/DAVInstanceIDLogger.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/String.hpp"

namespace {

std::string userDirectory(plat::SearchPathDirectory directory) {
    const auto urls = plat::FileManager::defaultManager().urls(directory, plat::UserDomainMask);
    return urls.empty() ? std::string() : urls.back();
}

std::string describeFileError(const plat::Error& error) {
    return error.description();
}

} // namespace

DAVInstanceIDBackupExcludedPlist::DAVInstanceIDBackupExcludedPlist(std::string fileName,
                                                                   std::string applicationSupportSubDirectory)
    : fileName_(std::move(fileName)), applicationSupportSubDirectory_(std::move(applicationSupportSubDirectory)) {
    fileInApplicationSupport_ = moveToApplicationSupportSubDirectory(applicationSupportSubDirectory_);
}

bool DAVInstanceIDBackupExcludedPlist::moveToApplicationSupportSubDirectory() {
    return moveToApplicationSupportSubDirectory(applicationSupportSubDirectory_);
}

bool DAVInstanceIDBackupExcludedPlist::moveToApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    auto& files = plat::FileManager::defaultManager();
    const std::string subDirectory =
        userDirectory(plat::SearchPathDirectory::ApplicationSupport) + "/" + subDirectoryName;
    if (!files.fileExists(subDirectory)) {
        return false;
    }
    if (!doesFileExistInDirectory(DAVInstanceIDPlistDirectoryDocuments)) {
        return true;
    }
    // Both copies present: the one in Documents stays in use, nothing is overwritten.
    if (doesFileExistInDirectory(DAVInstanceIDPlistDirectoryApplicationSupport)) {
        return false;
    }
    const std::string oldPath = plistPathInDirectory(DAVInstanceIDPlistDirectoryDocuments);
    const std::string newPath = plistPathInDirectory(DAVInstanceIDPlistDirectoryApplicationSupport);
    const auto moved = files.moveItem(oldPath, newPath);
    if (!moved) {
        DAVInstanceIDLoggerError(6002, "Failed to move file %@ from %@ to %@. Error: %@", fileName_, oldPath,
                                 newPath, describeFileError(moved.error()));
        return false;
    }
    return true;
}

DAVInstanceIDPlistDirectory DAVInstanceIDBackupExcludedPlist::plistDirectory() const {
    return fileInApplicationSupport_ ? DAVInstanceIDPlistDirectoryApplicationSupport
                                     : DAVInstanceIDPlistDirectoryDocuments;
}

std::string DAVInstanceIDBackupExcludedPlist::plistPathInDirectory(long directory) const {
    return pathWithName(fileName_, directory);
}

std::string DAVInstanceIDBackupExcludedPlist::pathWithName(const std::string& fileName, long directory) const {
    const std::string plistName = plat::format("%@.plist", fileName);
    switch (directory) {
    case DAVInstanceIDPlistDirectoryDocuments:
        return userDirectory(plat::SearchPathDirectory::Document) + "/" + plistName;
    case DAVInstanceIDPlistDirectoryApplicationSupport:
        return userDirectory(plat::SearchPathDirectory::ApplicationSupport) + "/" +
               applicationSupportSubDirectory_ + "/" + plistName;
    default:
        DAVInstanceIDLoggerError(6003, "Invalid plist directory type: %zd", directory);
        return {};
    }
}

bool DAVInstanceIDBackupExcludedPlist::doesFileExistInDirectory(long directory) const {
    const std::string path = plistPathInDirectory(directory);
    return !path.empty() && plat::FileManager::defaultManager().fileExists(path);
}

bool DAVInstanceIDBackupExcludedPlist::doesFileExist() const {
    return doesFileExistInDirectory(plistDirectory());
}

bool DAVInstanceIDBackupExcludedPlist::writeDictionary(const plat::Dictionary& dict, DAVInstanceIDErrorSlot* error) {
    const std::string path = plistPathInDirectory(plistDirectory());
    const auto bytes =
        plat::PropertyListSerialization::data(plat::Value(dict), plat::PropertyListSerialization::Format::XML);
    if (!bytes || !plat::writeData(path, *bytes, plat::WriteOptions().setAtomic())) {
        DAVInstanceIDLoggerError(6000, "Failed to write to %@.plist", fileName_);
        return false;
    }
    cachedPlistContents_ = dict;
    DAVInstanceIDClearError(error);
    auto& files = plat::FileManager::defaultManager();
    if (!files.isExcludedFromBackup(path)) {
        const auto excluded = files.setExcludedFromBackup(path, true);
        if (!excluded) {
            DAVInstanceIDSetError(error, excluded.error());
            DAVInstanceIDLoggerError(6001, "Error excluding %@ from backup, %@", plat::String::lastPathComponent(path),
                                     error ? describeFileError(excluded.error()) : std::string());
            return false;
        }
    }
    return true;
}

bool DAVInstanceIDBackupExcludedPlist::deleteFile(DAVInstanceIDErrorSlot* error) {
    cachedPlistContents_.reset();
    if (!doesFileExist()) {
        return true;
    }
    const auto removed = plat::FileManager::defaultManager().removeItem(plistPathInDirectory(plistDirectory()));
    if (!removed) {
        DAVInstanceIDSetError(error, removed.error());
        return false;
    }
    return true;
}

std::optional<plat::Dictionary> DAVInstanceIDBackupExcludedPlist::contentAsDictionary() {
    if (!cachedPlistContents_ && doesFileExist()) {
        const auto data = plat::readData(plistPathInDirectory(plistDirectory()));
        if (data) {
            auto dict = plat::PropertyListSerialization::dictionary(std::span<const std::uint8_t>(*data));
            if (dict) {
                cachedPlistContents_ = std::move(*dict);
            }
        }
    }
    return cachedPlistContents_;
}
