#pragma once
// Builds a multipart/form-data body from parts (bytes, files, input streams) separated by a random boundary,
// either in memory or streamed into a new file. Problems found while appending are kept (the first one wins)
// and thrown when the form is encoded or written.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/RequestBuilding.hpp"
#include "platform/foundation/Stream.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"

namespace Zavorida {

class MultipartFormData {
public:
    struct EncodingCharacters {
        static constexpr const char* crlf = "\r\n";
    };

    struct BoundaryGenerator {
        enum class BoundaryType { initial, encapsulated, final };
        // "zavorida.boundary." and 16 lower-case hex digits from two random 32-bit values.
        static std::string randomBoundary();
        static std::string boundaryText(BoundaryType type, const std::string& boundary);
    };

    class BodyPart {
    public:
        BodyPart(HeaderDictionary headers, std::shared_ptr<plat::InputStream> bodyStream,
                 std::uint64_t bodyContentLength)
            : headers(std::move(headers)), bodyStream(std::move(bodyStream)),
              bodyContentLength(bodyContentLength) {}

        HeaderDictionary headers;
        std::shared_ptr<plat::InputStream> bodyStream;
        std::uint64_t bodyContentLength;
        bool hasInitialBoundary = false;
        bool hasFinalBoundary = false;
        bool lengthIsExact = false; // bytes held in memory: the stream gives exactly bodyContentLength
    };

    // The chunk size of every stream read, in bytes. Large enough that copying a big file part costs few
    // system calls (a 1 KiB chunk made the file path several times slower than a plain copy); small enough
    // that writing to a file keeps memory flat.
    static constexpr std::size_t streamBufferSize = 64 * 1024;

    MultipartFormData();
    virtual ~MultipartFormData() = default;
    MultipartFormData(const MultipartFormData&) = delete;
    MultipartFormData& operator=(const MultipartFormData&) = delete;

    // "multipart/form-data; boundary=<boundary>" unless a caller set another.
    virtual std::string contentType();
    virtual void setContentType(std::string contentType);
    // The sum of the parts' body lengths: the payload, without boundaries and header lines.
    virtual std::uint64_t contentLength() const;
    const std::string& boundary() const { return boundary_; }
    const std::vector<BodyPart>& bodyParts() const { return bodyParts_; }
    const std::optional<ZVError>& bodyPartError() const { return bodyPartError_; }

    virtual void appendData(const plat::Data& data, const std::string& name);
    virtual void appendDataWithMimeType(const plat::Data& data, const std::string& name,
                                        const std::string& mimeType);
    virtual void appendDataWithFileName(const plat::Data& data, const std::string& name,
                                        const std::string& fileName, const std::string& mimeType);
    // File name and MIME type come from the URL's last path component and extension.
    virtual void appendFile(const plat::URL& fileURL, const std::string& name);
    virtual void appendFileWithFileName(const plat::URL& fileURL, const std::string& name,
                                        const std::string& fileName, const std::string& mimeType);
    virtual void appendStreamWithFileName(std::shared_ptr<plat::InputStream> stream, std::uint64_t length,
                                          const std::string& name, const std::string& fileName,
                                          const std::string& mimeType);
    // Header lines go out as given; a name or value holding CR, LF or NUL is refused (recorded as an error).
    virtual void appendStream(std::shared_ptr<plat::InputStream> stream, std::uint64_t length,
                              const HeaderDictionary& headers);

    // The whole encoded body. Throws the first append error, else ZVError multipartEncodingFailed.
    virtual plat::Data encodeToData();
    // Streams the encoded body into a new file (never an existing one). On any failure the file is removed.
    virtual void writeEncodedDataToFile(const plat::URL& fileURL);

    virtual void recordBodyPartError(ZVError::MultipartEncodingFailureReason reason);

    // The MIME type of a file extension; "application/octet-stream" when the platform knows none.
    static std::string mimeTypeForExtension(const std::string& extension);
    // The Content-Disposition (and Content-Type) of a part. Quotes, CR and LF in the names are
    // percent-encoded so that a name cannot end its quoted string or start a header or part of its own.
    static HeaderDictionary contentHeaders(const std::string& name,
                                           const std::optional<std::string>& fileName,
                                           const std::optional<std::string>& mimeType);

private:
    std::string encodeHeaders(const BodyPart& part) const;
    void appendDataPart(const plat::Data& data, const HeaderDictionary& headers);
    void markBoundaries();
    void encodeBodyStream(plat::InputStream& stream, plat::Data& out);
    void writeBodyPart(BodyPart& part, plat::OutputStream& output);
    void writeBodyStream(plat::InputStream& stream, plat::OutputStream& output);

    std::optional<std::string> contentType_;
    std::string boundary_;
    std::vector<BodyPart> bodyParts_;
    std::optional<ZVError> bodyPartError_;
};

} // namespace Zavorida
