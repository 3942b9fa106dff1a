#pragma once
// The file stages a rotated event log passes through on the event queue: gzip compression into "<name>.gz"
// beside the log, packaging of the compressed log as the one part of a multipart file "<boundary>.multipartmime",
// and, at start-up, the clean-up that sorts what an earlier execution left into these stages.
// A stage that fails leaves no partial output behind and reports success() false, so its input is kept for
// the next start's clean-up instead of being thrown away with every event in it.

#include "platform/dispatch/Operation.hpp"
#include "platform/net/URL.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <set>
#include <string>
#include <vector>

class ZDACompressLogOperation : public plat::Operation {
public:
    ZDACompressLogOperation(plat::URL uncompressedLogURL, plat::URL compressedLogURL)
        : uncompressedLogURL_(std::move(uncompressedLogURL)), compressedLogURL_(std::move(compressedLogURL)) {}

    static plat::URL compressedURLForUncompressedURL(const plat::URL& url);

    const plat::URL& uncompressedLogURL() const { return uncompressedLogURL_; }
    const plat::URL& compressedLogURL() const { return compressedLogURL_; }
    // True once main() has left a compressed file that holds the whole log (also one that was there before).
    bool success() const { return success_->load(); }
    // The same answer, for a completion block that outlives the operation.
    std::shared_ptr<const std::atomic<bool>> successFlag() const { return success_; }

    void main() override;

protected:
    // The one gzip write of the whole log; tests make it fail. Returns the count the gzip writer took.
    virtual int64_t writeCompressed(void* gzipFile, const uint8_t* bytes, uint64_t length);

private:
    plat::URL uncompressedLogURL_;
    plat::URL compressedLogURL_;
    std::shared_ptr<std::atomic<bool>> success_ = std::make_shared<std::atomic<bool>>(false);
};

class ZDAPackageLogOperation : public plat::Operation {
public:
    static constexpr const char* kMimeType = "application/vnd.vuzidorazav.ios.events";

    ZDAPackageLogOperation(plat::URL compressedLogURL, plat::URL packagedLogURL, std::string multipartMimeBoundary)
        : compressedLogURL_(std::move(compressedLogURL)), packagedLogURL_(std::move(packagedLogURL)),
          boundary_(std::move(multipartMimeBoundary)) {}

    static plat::URL multipartURLForCompressedURL(const plat::URL& compressedURL, const std::string& boundary);

    const plat::URL& compressedLogURL() const { return compressedLogURL_; }
    const plat::URL& packagedLogURL() const { return packagedLogURL_; }
    const std::string& multipartMimeBoundary() const { return boundary_; }
    // True once main() has written the whole package.
    bool success() const { return success_->load(); }
    std::shared_ptr<const std::atomic<bool>> successFlag() const { return success_; }

    void main() override;

private:
    plat::URL compressedLogURL_;
    plat::URL packagedLogURL_;
    std::string boundary_;
    std::shared_ptr<std::atomic<bool>> success_ = std::make_shared<std::atomic<bool>>(false);
};

class ZDACleanupFilesOperation : public plat::Operation {
public:
    using SuccessBlock = std::function<void(const std::set<plat::URL>& logs, const std::set<plat::URL>& compressed,
                                            const std::set<plat::URL>& packages)>;

    ZDACleanupFilesOperation(plat::URL directoryUrl, int64_t maximumPendingMulitpartFiles)
        : directoryUrl_(std::move(directoryUrl)), maximum_(maximumPendingMulitpartFiles) {}

    const plat::URL& directoryUrl() const { return directoryUrl_; }
    int64_t maximumPendingMultipartFiles() const { return maximum_; }
    void setSuccessBlock(SuccessBlock block) { successBlock_ = std::move(block); }

    void main() override;

    // Keeps the `maximum` newest by creation date and removes the rest; a negative maximum keeps none.
    static std::vector<plat::URL> URLsByRemovingOldFiles(const std::vector<plat::URL>& urls, int64_t maximum);

private:
    plat::URL directoryUrl_;
    int64_t maximum_;
    SuccessBlock successBlock_;
};
