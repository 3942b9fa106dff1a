#pragma once
// Turns a processed report directory into one upload body in the "prepared" stage: a multipart file with
// the API key, the report identifier and every file of the report, each compressed with gzip.

#include "crash/VZRFileManager.hpp"
#include "crash/VZRReport.hpp"

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"

#include "platform/dispatch/Operation.hpp"
#include "platform/foundation/Value.hpp"

#include <zlib.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class VZRPackageReportOperation : public plat::Operation {
public:
    VZRPackageReportOperation(std::shared_ptr<VZRInternalReport> report, std::shared_ptr<VZRFileManager> fileManager);
    static std::shared_ptr<VZRPackageReportOperation> initWithReport(std::shared_ptr<VZRInternalReport> report,
                                                                     std::shared_ptr<VZRFileManager> fileManager);

    const std::shared_ptr<VZRInternalReport>& report() const { return report_; }
    const std::shared_ptr<VZRFileManager>& fileManager() const { return fileManager_; }
    const std::optional<std::string>& finalPath() const { return finalPath_; }
    void setFinalPath(std::optional<std::string> path) { finalPath_ = std::move(path); }
    std::string reportPath() const { return report_->path(); }
    std::string destinationDirectory() const { return fileManager_->preparedPath(); }
    std::string packagedPathWithName(const std::string& name) const;

    // Tests: the boundary (and so the package's name); a generated one by default.
    std::function<std::string()> boundaryGenerator = &ZUVMultipartMimeStreamEncoder::generateBoundary;

    // Builds the package; `finalPath` is set only when it is complete. A cancelled operation leaves none.
    void main() override;
    // One file part: the gzip of `data` beside `path`, or the file itself as text when that fails.
    void encode(ZUVMultipartMimeStreamEncoder& encoder, const plat::Data& data, const std::string& path);
    bool compressData(const plat::Data& data, const std::string& path);
    bool writeBytes(const uint8_t* bytes, size_t length, gzFile file);

private:
    std::shared_ptr<VZRInternalReport> report_;
    std::shared_ptr<VZRFileManager> fileManager_;
    std::optional<std::string> finalPath_;
};
