#include "ZazududIda/ZDALogFileOperations.hpp"

#include "ZazududIda/ZDAFileUtils.hpp"
#include "ZazududIda/ZDALogger.hpp"

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Stream.hpp"

#include <zlib.h>

#include <algorithm>
#include <map>

namespace {
constexpr const char* kCleanupLabel = "CleanupOperation";

bool isPlainFile(const plat::URL& url) {
    bool isDirectory = false;
    return plat::FileManager::defaultManager().fileExists(url.path(), &isDirectory) && !isDirectory;
}
} // namespace

plat::URL ZDACompressLogOperation::compressedURLForUncompressedURL(const plat::URL& url) {
    return ZDAFileUtils::replacingExtension(url, "gz");
}

int64_t ZDACompressLogOperation::writeCompressed(void* gzipFile, const uint8_t* bytes, uint64_t length) {
    if (length > UINT32_MAX) {
        return -1; // gzwrite takes an unsigned int count: a larger log cannot go in one write
    }
    return gzwrite(static_cast<gzFile>(gzipFile), bytes, static_cast<unsigned>(length));
}

void ZDACompressLogOperation::main() {
    auto& files = plat::FileManager::defaultManager();
    if (!isPlainFile(uncompressedLogURL_)) {
        ZDALogger::sharedLogger().log("Error: attempting to compress nonexistent file: %@",
                                      uncompressedLogURL_.absoluteString());
        return;
    }
    const std::string compressedPath = compressedLogURL_.path();
    if (files.fileExists(compressedPath)) {
        *success_ = true; // packaged as it is
        return;
    }
    auto contents = files.contentsAtPath(uncompressedLogURL_.path());
    gzFile gz = contents ? gzopen(compressedPath.c_str(), "w") : nullptr;
    bool complete = false;
    if (gz) {
        const int64_t written = writeCompressed(gz, contents->data(), contents->size());
        complete = written >= 0 && static_cast<uint64_t>(written) == contents->size();
        // The trailer is written on close, so a failed close leaves no valid stream either.
        complete = gzclose(gz) == Z_OK && complete;
    }
    if (!complete) {
        ZDALogger::sharedLogger().log("Failed to compress file at %@", uncompressedLogURL_.absoluteString());
        // A short stream would be packaged and sent in place of the log; without it the log stays the source.
        (void)files.removeItem(compressedPath);
        return;
    }
    *success_ = true;
}

plat::URL ZDAPackageLogOperation::multipartURLForCompressedURL(const plat::URL& compressedURL,
                                                               const std::string& boundary) {
    return compressedURL.deletingLastPathComponent().appendingPathComponent(boundary + ".multipartmime");
}

void ZDAPackageLogOperation::main() {
    auto& files = plat::FileManager::defaultManager();
    if (!isPlainFile(compressedLogURL_)) {
        ZDALogger::sharedLogger().log("Error: attempting to package nonexistent file: %@",
                                      compressedLogURL_.absoluteString());
        return;
    }
    const std::string packagePath = packagedLogURL_.path();
    auto stream = plat::OutputStream::toFile(packagePath, false);
    auto encoder = ZUVMultipartMimeStreamEncoder::encoderWithStream(stream, boundary_);
    if (!encoder) {
        return;
    }
    const std::string compressedPath = compressedLogURL_.path();
    const std::string fileName = compressedLogURL_.lastPathComponent();
    const uint64_t compressedSize = ZDAFileUtils::fileSizeAtURL(compressedLogURL_);
    encoder->encode([&] {
        if (!compressedPath.empty() && files.fileExists(compressedPath)) {
            encoder->addFile(compressedPath, fileName, kMimeType, fileName);
        } else {
            ZDALogger::sharedLogger().log("Error packaging: %@ is an invalid path.", compressedPath);
        }
    });
    // Whole only when the stream took every byte and the part with the compressed log is in it.
    const bool complete = !stream->streamError() && compressedSize > 0 && encoder->length() > compressedSize &&
                          ZDAFileUtils::fileSizeAtURL(packagedLogURL_) == encoder->length();
    if (!complete) {
        // A short package would be sent and then removed; the compressed log stays for the next start instead.
        (void)files.removeItem(packagePath);
        return;
    }
    *success_ = true;
}

void ZDACleanupFilesOperation::main() {
    auto& files = plat::FileManager::defaultManager();
    std::map<std::string, plat::URL> logs;
    std::map<std::string, plat::URL> compressed;
    std::map<std::string, plat::URL> packages;
    for (const plat::URL& url : ZDAFileUtils::allFilesInDirectory(directoryUrl_)) {
        const std::string extension = url.pathExtension();
        auto* stage = extension == "log"             ? &logs
                      : extension == "gz"            ? &compressed
                      : extension == "multipartmime" ? &packages
                                                     : nullptr;
        if (!stage) {
            (void)files.removeItem(url.path());
            continue;
        }
        stage->emplace(ZDAFileUtils::baseName(url), url);
    }
    for (const auto& [base, log] : logs) {
        auto gz = compressed.find(base);
        if (gz == compressed.end()) {
            continue;
        }
        // The log is the complete source; it is compressed again.
        if (auto removed = files.removeItem(gz->second.path()); !removed) {
            ZDALogger::sharedLogger().logWithLabel(kCleanupLabel, "Failed to remove %@: %@",
                                                   gz->second.absoluteString(), removed.error());
        }
        compressed.erase(gz);
    }
    std::vector<plat::URL> packageList;
    for (const auto& entry : packages) {
        packageList.push_back(entry.second);
    }
    const std::vector<plat::URL> kept = URLsByRemovingOldFiles(packageList, maximum_);
    if (!successBlock_) {
        return;
    }
    std::set<plat::URL> logSet;
    std::set<plat::URL> compressedSet;
    for (const auto& entry : logs) {
        logSet.insert(entry.second);
    }
    for (const auto& entry : compressed) {
        compressedSet.insert(entry.second);
    }
    successBlock_(logSet, compressedSet, std::set<plat::URL>(kept.begin(), kept.end()));
}

std::vector<plat::URL> ZDACleanupFilesOperation::URLsByRemovingOldFiles(const std::vector<plat::URL>& urls,
                                                                       int64_t maximum) {
    if (maximum >= 0 && urls.size() <= static_cast<uint64_t>(maximum)) {
        return urls;
    }
    // A negative maximum keeps nothing, as 0 does, rather than counting from a negative position.
    const std::size_t keep = maximum > 0 ? static_cast<std::size_t>(maximum) : 0;
    std::vector<std::pair<plat::Date, plat::URL>> dated;
    for (const plat::URL& url : urls) {
        dated.emplace_back(ZDAFileUtils::fileCreatedDateAtURL(url, plat::Date::distantPast()), url);
    }
    std::stable_sort(dated.begin(), dated.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<plat::URL> kept;
    for (std::size_t i = 0; i < dated.size(); ++i) {
        if (i < keep) {
            kept.push_back(dated[i].second);
        } else {
            (void)plat::FileManager::defaultManager().removeItem(dated[i].second.path());
        }
    }
    return kept;
}
