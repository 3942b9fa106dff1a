#include "crash/VZRPackageReportOperation.hpp"

#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRSDKLog.hpp"

#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Stream.hpp"
#include "platform/foundation/String.hpp"

#include <cerrno>
#include <cstring>
#include <span>

VZRPackageReportOperation::VZRPackageReportOperation(std::shared_ptr<VZRInternalReport> report,
                                                     std::shared_ptr<VZRFileManager> fileManager)
    : report_(std::move(report)), fileManager_(std::move(fileManager)) {}

std::shared_ptr<VZRPackageReportOperation> VZRPackageReportOperation::initWithReport(
    std::shared_ptr<VZRInternalReport> report, std::shared_ptr<VZRFileManager> fileManager) {
    return std::make_shared<VZRPackageReportOperation>(std::move(report), std::move(fileManager));
}

std::string VZRPackageReportOperation::packagedPathWithName(const std::string& name) const {
    return plat::String::appendingPathComponent(destinationDirectory(), name) + ".multipartmime";
}

void VZRPackageReportOperation::main() {
    finalPath_.reset();
    if (!report_ || !fileManager_)
        return;
    const std::string boundary = boundaryGenerator ? boundaryGenerator() : ZUVMultipartMimeStreamEncoder::generateBoundary();
    const std::string packagePath = packagedPathWithName(boundary);
    const std::string identifier = report_->identifier();
    const std::optional<std::string> apiKey = report_->APIKey();

    auto encoder =
        ZUVMultipartMimeStreamEncoder::encoderWithStream(plat::OutputStream::toFile(packagePath, false), boundary);
    if (!encoder)
        return;
    encoder->encode([&] {
        if (apiKey)
            encoder->addValue(std::string_view(*apiKey), "api_key");
        if (!identifier.empty())
            encoder->addValue(std::string_view(identifier), "report_id");
        fileManager_->enumerateFilesInDirectory(reportPath(), [&](const std::string& path, const std::string& extension) {
            if (isCancelled() || extension == "gz")
                return;
            auto data = plat::readData(path);
            if (data.ok() && !data->empty()) {
                encode(*encoder, *data, path);
            } else {
                const std::string name = plat::String::lastPathComponent(path);
                VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: unable to read data for compression: %s\n", VZR_HERE,
                          name.c_str());
            }
        });
    });
    if (isCancelled()) {
        fileManager_->removeItemAtPath(packagePath);
        return;
    }
    finalPath_ = packagePath;
}

void VZRPackageReportOperation::encode(ZUVMultipartMimeStreamEncoder& encoder, const plat::Data& data,
                                       const std::string& path) {
    if (path.empty()) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: path is invalid\n", VZR_HERE);
        return;
    }
    const std::string gzPath = path + ".gz";
    const std::string gzName = plat::String::lastPathComponent(gzPath);
    const std::string fieldName = plat::String::lastPathComponent(path);
    if (compressData(data, gzPath)) {
        encoder.addFile(gzPath, gzName, "application/x-gzip", fieldName);
        return;
    }
    VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: compression failed for %s\n", VZR_HERE, gzName.c_str());
    encoder.addFile(path, gzName, "text/plain", fieldName);
}

bool VZRPackageReportOperation::compressData(const plat::Data& data, const std::string& path) {
    gzFile file = ::gzopen(path.c_str(), "w");
    if (!file) {
        VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: unable to open file for compression %s\n", VZR_HERE,
                  std::strerror(errno));
        return false;
    }
    bool result = !data.empty();
    ZUVEnumerateDataByteRanges(data, [&](const uint8_t* bytes, ZUVByteRange range, bool& stop) {
        if (!writeBytes(bytes + range.location, range.length, file)) {
            result = false;
            stop = true;
        }
    });
    // A failed close (the last bytes not reaching the disk) leaves an incomplete file: not a success.
    if (::gzclose(file) != Z_OK)
        result = false;
    return result;
}

bool VZRPackageReportOperation::writeBytes(const uint8_t* bytes, size_t length, gzFile file) {
    if (!bytes || length == 0 || !file)
        return false;
    size_t remaining = length;
    for (int attempt = 0; attempt < kVZRFileMaxWriteCalls && remaining > 0; ++attempt) {
        const size_t chunk = remaining > UINT32_MAX ? UINT32_MAX : remaining;
        const int written = ::gzwrite(file, bytes + (length - remaining), static_cast<unsigned>(chunk));
        if (written <= 0) {
            int code = 0;
            const char* text = ::gzerror(file, &code);
            VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] Error: failed to write compressed bytes %d, %s, %s \n", VZR_HERE,
                      code, text, std::strerror(errno));
            return false;
        }
        if (static_cast<size_t>(written) > remaining)
            return false;
        remaining -= static_cast<size_t>(written);
    }
    return remaining == 0;
}
