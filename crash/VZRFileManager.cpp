#include "crash/VZRFileManager.hpp"

#include "crash/VZRReport.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIAlert.hpp"

namespace {

bool isHidden(const std::string& name) {
    return !name.empty() && name[0] == '.';
}

} // namespace

VZRFileManager::VZRFileManager() {
    const auto caches = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Caches);
    const std::string base = caches.empty() ? std::string() : caches.back();
    rootPath_ = plat::String::appendingPathComponent(plat::String::appendingPathComponent(base, "com.vuzidorazav.data"),
                                             pathNamespace());
}

std::string VZRFileManager::pathNamespace() const {
    return ZUVAppEscapedBundleIdentifier();
}

std::string VZRFileManager::structurePath() const {
    return plat::String::appendingPathComponent(rootPath_, "v3");
}

std::string VZRFileManager::activePath() const {
    return plat::String::appendingPathComponent(structurePath(), "active");
}

std::string VZRFileManager::pendingPath() const {
    return plat::String::appendingPathComponent(structurePath(), "pending");
}

std::string VZRFileManager::processingPath() const {
    return plat::String::appendingPathComponent(structurePath(), "processing");
}

std::string VZRFileManager::preparedPath() const {
    return plat::String::appendingPathComponent(structurePath(), "prepared");
}

bool VZRFileManager::prepareForNewLaunch() {
    return createDirectoryAtPath(activePath()) && createDirectoryAtPath(processingPath()) &&
           createDirectoryAtPath(preparedPath());
}

std::optional<std::string> VZRFileManager::setupNewPathForExecutionIdentifier(const std::string& identifier) {
    const std::string path = plat::String::appendingPathComponent(activePath(), identifier);
    if (!createDirectoryAtPath(path))
        return std::nullopt;
    return path;
}

void VZRFileManager::removeLegacyDirectories() {
    if (!underlyingFileManager().fileExists(plat::String::appendingPathComponent(rootPath_, "sendable")))
        return;
    if (auto removed = underlyingFileManager().removeItem(rootPath_); !removed)
        plat::NSLogText("[Vuzidorazav:FileManager] Unable to remove legacy directory structure " +
                        removed.error().description());
    plat::NSLogText("[Vuzidorazav:FileManager] Removed legacy structure at " + rootPath_);
}

bool VZRFileManager::createDirectoryAtPath(const std::string& path) {
    auto created = underlyingFileManager().createDirectory(
        path, true, plat::Dictionary{{plat::NSFilePosixPermissions, plat::Value(int64_t{0755})}});
    if (!created) {
        plat::NSLogText("[FileManager] Unable to create directory " + created.error().description());
        return false;
    }
    return true;
}

bool VZRFileManager::removeItemAtPath(const std::optional<std::string>& path) {
    if (!path) {
        plat::NSLogText("[FileManager] Failed to remove file '(null)' : (null)");
        return false;
    }
    if (auto removed = underlyingFileManager().removeItem(*path); !removed) {
        plat::NSLogText("[FileManager] Failed to remove file '" + *path + "' : " + removed.error().description());
        return false;
    }
    return true;
}

bool VZRFileManager::moveItemAtPath(const std::optional<std::string>& path, const std::string& directory) {
    const std::string name = path ? plat::String::lastPathComponent(*path) : std::string();
    if (!path || name.empty() || directory.empty()) {
        plat::NSLogText("[FileManager] Failed to move file, inputs invalid");
        return false;
    }
    if (auto moved = underlyingFileManager().moveItem(*path, plat::String::appendingPathComponent(directory, name)); !moved) {
        plat::NSLogText("[FileManager] Failed to move file: " + moved.error().description());
        return false;
    }
    return true;
}

std::optional<uint64_t> VZRFileManager::fileSizeAtPath(const std::string& path) {
    auto attributes = underlyingFileManager().attributesOfItem(path);
    if (!attributes) {
        plat::NSLogText("[Client] Unable to read file size: " + attributes.error().description());
        return std::nullopt;
    }
    const plat::Value* size = attributes.value().find(plat::NSFileSize);
    if (!size)
        return std::nullopt;
    return size->unsignedLongLongValue();
}

void VZRFileManager::enumerateFilesInDirectory(
    const std::string& directory, const std::function<void(const std::string&, const std::string&)>& block) {
    auto names = underlyingFileManager().contentsOfDirectory(directory);
    if (!names)
        return;
    for (const std::string& name : names.value()) {
        if (isHidden(name))
            continue;
        const std::string path = plat::String::appendingPathComponent(directory, name);
        block(path, plat::String::pathExtension(path));
    }
}

std::vector<std::string> VZRFileManager::contentsOfDirectory(const std::string& directory) {
    std::vector<std::string> out;
    enumerateFilesInDirectory(directory, [&](const std::string& path, const std::string&) { out.push_back(path); });
    return out;
}

void VZRFileManager::enumerateReportsInProcessingDirectory(
    const std::function<void(const std::shared_ptr<VZRInternalReport>&, const std::string&)>& block) {
    enumerateFilesInDirectory(processingPath(), [&](const std::string& path, const std::string&) {
        block(VZRInternalReport::reportWithPath(path), path);
    });
}

bool VZRFileManager::moveItemsFromDirectory(const std::string& source, const std::string& destination) {
    for (const std::string& path : contentsOfDirectory(source)) {
        if (!moveItemAtPath(path, destination))
            return false;
    }
    return true;
}

bool VZRFileManager::removeContentsOfDirectoryAtPath(const std::string& directory) {
    bool all = true;
    for (const std::string& path : contentsOfDirectory(directory))
        all = removeItemAtPath(path) && all;
    return all;
}

bool VZRFileManager::removeContentsOfAllPaths() {
    bool all = removeContentsOfProcessingPath();
    all = removeContentsOfPendingPath() && all;
    all = removeContentsOfDirectoryAtPath(preparedPath()) && all;
    all = removeContentsOfDirectoryAtPath(activePath()) && all;
    return all;
}

plat::rt::ObjectPtr VZRAlert::alertWithTitle(const std::optional<std::string>& title,
                                             const std::optional<std::string>& message,
                                             const plat::rt::ObjectPtr& delegate,
                                             const std::optional<std::string>& cancelButtonTitle,
                                             const std::optional<std::string>& otherButtonTitle) {
    // Looked up by name, as the alert class is not linked directly where it may be absent.
    plat::rt::Class* cls = plat::rt::getClass("UIAlertView");
    if (!cls || !plat::rt::isSubclassOf(cls, plat::UIAlertView::runtimeClass()))
        return nullptr;
    std::vector<std::string> others;
    if (otherButtonTitle)
        others.push_back(*otherButtonTitle);
    return plat::UIAlertView::make(title.value_or(""), message.value_or(""), delegate, cancelButtonTitle,
                                   std::move(others));
}
