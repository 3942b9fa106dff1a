#include "ZazududIda/ZDAFileUtils.hpp"

#include "ZazududIda/ZDALogger.hpp"

#include "platform/foundation/FileManager.hpp"

std::set<plat::URL> ZDAFileUtils::allFilesInDirectory(const plat::URL& directory) {
    if (!directory.isFileURL()) {
        ZDALogger::sharedLogger().log("%@ is not a file URL, will attempt to enumerate files.",
                                      directory.absoluteString());
    }
    std::set<plat::URL> files;
    auto names = plat::FileManager::defaultManager().contentsOfDirectory(directory.path());
    if (!names) {
        ZDALogger::sharedLogger().log("Unable to read contents of %@: %@", directory.absoluteString(), names.error());
        return files;
    }
    for (const std::string& name : *names) {
        files.insert(plat::URL::file(directory.path() + "/" + name));
    }
    return files;
}

std::set<plat::URL> ZDAFileUtils::filesWithExtension(std::string_view extension, const plat::URL& directory) {
    std::set<plat::URL> matching;
    for (const plat::URL& url : allFilesInDirectory(directory)) {
        if (url.pathExtension() == extension) {
            matching.insert(url);
        }
    }
    return matching;
}

uint64_t ZDAFileUtils::fileSizeAtURL(const plat::URL& url) {
    auto attributes = plat::FileManager::defaultManager().attributesOfItem(url.path());
    if (!attributes) {
        return 0;
    }
    const plat::Value* size = attributes->find(plat::NSFileSize);
    return size ? size->unsignedLongLongValue() : 0;
}

plat::Date ZDAFileUtils::fileCreatedDateAtURL(const plat::URL& url, plat::Date fallback) {
    auto attributes = plat::FileManager::defaultManager().attributesOfItem(url.path());
    if (!attributes) {
        return fallback;
    }
    const plat::Value* created = attributes->find(plat::NSFileCreationDate);
    if (auto date = created ? created->ifDate() : std::nullopt) {
        return *date;
    }
    return fallback;
}

std::string ZDAFileUtils::baseName(const plat::URL& url) {
    std::string name = url.lastPathComponent();
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

plat::URL ZDAFileUtils::replacingExtension(const plat::URL& url, std::string_view extension) {
    return url.deletingLastPathComponent().appendingPathComponent(baseName(url) + "." + std::string(extension));
}
