#include "Zavorida/Source/MultipartFormData.hpp"

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <sys/stat.h>

#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Mime.hpp"
#include "platform/foundation/Random.hpp"

namespace Zavorida {

namespace {

using EncodingReason = ZVError::MultipartEncodingFailureReason;

[[noreturn]] void fail(EncodingReason reason) {
    throw ZVError::multipartEncodingFailed(std::move(reason));
}

bool isSafeHeaderText(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == text.npos;
}

std::string escapeQuotedName(const std::string& name) {
    std::string escaped;
    escaped.reserve(name.size());
    for (char c : name) {
        switch (c) {
        case '"':
            escaped += "%22";
            break;
        case '\r':
            escaped += "%0D";
            break;
        case '\n':
            escaped += "%0A";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

void append(plat::Data& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

// The stream's own error, or one that says why it stopped taking bytes when it gave none.
plat::Error writeError(const plat::OutputStream& output, int fallbackErrno) {
    if (auto error = output.streamError()) {
        return *error;
    }
    return plat::Error::posix(fallbackErrno);
}

// Writes every byte or throws outputStreamWriteFailed: a stream with no space left, a write of nothing or
// a failed write must never end the body early without telling the caller.
void writeAll(plat::OutputStream& output, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        if (!output.hasSpaceAvailable()) {
            fail(EncodingReason::outputStreamWriteFailed(writeError(output, ENOSPC)));
        }
        const ssize_t written = output.write(bytes, length);
        if (written < 0 || output.streamError()) {
            fail(EncodingReason::outputStreamWriteFailed(writeError(output, EIO)));
        }
        if (written == 0) {
            fail(EncodingReason::outputStreamWriteFailed(writeError(output, ENOSPC)));
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

void writeAll(plat::OutputStream& output, std::string_view text) {
    writeAll(output, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Opens a part's stream for its one reading. A stream that was opened before (the form was encoded already)
// would read as empty, which must not pass as an empty body.
void openForReading(plat::InputStream& stream) {
    if (stream.streamStatus() != plat::StreamStatus::NotOpen) {
        plat::Dictionary userInfo;
        userInfo.set(plat::NSLocalizedDescriptionKey,
                     "The body part's stream was already read and cannot be read again.");
        fail(EncodingReason::inputStreamReadFailed(
            plat::Error(plat::NSCocoaErrorDomain, plat::NSFileReadUnknownError, std::move(userInfo))));
    }
    stream.open();
    // A stream that cannot even open (its file vanished since the append) must not pass as an empty body.
    if (auto error = stream.streamError()) {
        stream.close();
        fail(EncodingReason::inputStreamReadFailed(*error));
    }
}

// Closes a part's input stream however its reading ends.
struct InputStreamCloser {
    plat::InputStream& stream;
    ~InputStreamCloser() { stream.close(); }
};

} // namespace

// Boundaries

std::string MultipartFormData::BoundaryGenerator::randomBoundary() {
    char text[40];
    std::snprintf(text, sizeof text, "zavorida.boundary.%08x%08x", static_cast<unsigned>(plat::Random::u32()),
                  static_cast<unsigned>(plat::Random::u32()));
    return text;
}

std::string MultipartFormData::BoundaryGenerator::boundaryText(BoundaryType type,
                                                               const std::string& boundary) {
    switch (type) {
    case BoundaryType::initial:
        return "--" + boundary + EncodingCharacters::crlf;
    case BoundaryType::encapsulated:
        return std::string(EncodingCharacters::crlf) + "--" + boundary + EncodingCharacters::crlf;
    case BoundaryType::final:
        return std::string(EncodingCharacters::crlf) + "--" + boundary + "--" + EncodingCharacters::crlf;
    }
    return {};
}

// Properties

MultipartFormData::MultipartFormData() : boundary_(BoundaryGenerator::randomBoundary()) {}

std::string MultipartFormData::contentType() {
    if (!contentType_) {
        contentType_ = "multipart/form-data; boundary=" + boundary_;
    }
    return *contentType_;
}

void MultipartFormData::setContentType(std::string contentType) {
    contentType_ = std::move(contentType);
}

std::uint64_t MultipartFormData::contentLength() const {
    std::uint64_t total = 0;
    for (const auto& part : bodyParts_) {
        total += part.bodyContentLength;
    }
    return total;
}

// Appending

HeaderDictionary MultipartFormData::contentHeaders(const std::string& name,
                                                   const std::optional<std::string>& fileName,
                                                   const std::optional<std::string>& mimeType) {
    std::string disposition = "form-data; name=\"" + escapeQuotedName(name) + "\"";
    if (fileName) {
        disposition += "; filename=\"" + escapeQuotedName(*fileName) + "\"";
    }
    HeaderDictionary headers{{"Content-Disposition", disposition}};
    if (mimeType) {
        headers.emplace("Content-Type", *mimeType);
    }
    return headers;
}

std::string MultipartFormData::mimeTypeForExtension(const std::string& extension) {
    return plat::Mime::typeForExtension(extension);
}

void MultipartFormData::appendDataPart(const plat::Data& data, const HeaderDictionary& headers) {
    const std::size_t before = bodyParts_.size();
    appendStream(plat::InputStream::withData(data), data.size(), headers);
    if (bodyParts_.size() > before) {
        bodyParts_.back().lengthIsExact = true;
    }
}

void MultipartFormData::appendData(const plat::Data& data, const std::string& name) {
    appendDataPart(data, contentHeaders(name, std::nullopt, std::nullopt));
}

void MultipartFormData::appendDataWithMimeType(const plat::Data& data, const std::string& name,
                                               const std::string& mimeType) {
    appendDataPart(data, contentHeaders(name, std::nullopt, mimeType));
}

void MultipartFormData::appendDataWithFileName(const plat::Data& data, const std::string& name,
                                               const std::string& fileName, const std::string& mimeType) {
    appendDataPart(data, contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::appendFile(const plat::URL& fileURL, const std::string& name) {
    const std::string fileName = fileURL.lastPathComponent();
    const std::string extension = fileURL.pathExtension();
    if (fileName.empty() || extension.empty()) {
        recordBodyPartError(EncodingReason::bodyPartFilenameInvalid(fileURL));
        return;
    }
    appendFileWithFileName(fileURL, name, fileName, mimeTypeForExtension(extension));
}

void MultipartFormData::appendFileWithFileName(const plat::URL& fileURL, const std::string& name,
                                               const std::string& fileName, const std::string& mimeType) {
    HeaderDictionary headers = contentHeaders(name, fileName, mimeType);
    if (!fileURL.isFileURL()) {
        recordBodyPartError(EncodingReason::bodyPartURLInvalid(fileURL));
        return;
    }
    const std::string path = fileURL.path();

    // Reachability: asking about an item that is not there is itself an error on the platform.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        recordBodyPartError(EncodingReason::bodyPartFileNotReachableWithError(
            fileURL, plat::fileError(plat::FileOperation::Read, errno, path)));
        return;
    }

    bool isDirectory = false;
    auto& fileManager = plat::FileManager::defaultManager();
    if (!fileManager.fileExists(path, &isDirectory) || isDirectory) {
        recordBodyPartError(EncodingReason::bodyPartFileIsDirectory(fileURL));
        return;
    }

    auto attributes = fileManager.attributesOfItem(path);
    if (!attributes) {
        recordBodyPartError(EncodingReason::bodyPartFileSizeQueryFailedWithError(fileURL, attributes.error()));
        return;
    }
    const plat::Value* size = attributes->find(plat::NSFileSize);
    if (!size || !size->isNumber()) {
        recordBodyPartError(EncodingReason::bodyPartFileSizeNotAvailable(fileURL));
        return;
    }

    auto stream = plat::InputStream::withFile(path);
    if (!stream) {
        recordBodyPartError(EncodingReason::bodyPartInputStreamCreationFailed(fileURL));
        return;
    }
    appendStream(std::move(stream), size->unsignedLongLongValue(), headers);
}

void MultipartFormData::appendStreamWithFileName(std::shared_ptr<plat::InputStream> stream,
                                                 std::uint64_t length, const std::string& name,
                                                 const std::string& fileName, const std::string& mimeType) {
    appendStream(std::move(stream), length, contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::appendStream(std::shared_ptr<plat::InputStream> stream, std::uint64_t length,
                                     const HeaderDictionary& headers) {
    for (const auto& [field, value] : headers) {
        if (!isSafeHeaderText(field) || !isSafeHeaderText(value)) {
            recordBodyPartError(EncodingReason::bodyPartHeaderInvalid(field));
            return;
        }
    }
    bodyParts_.emplace_back(headers, std::move(stream), length);
}

void MultipartFormData::recordBodyPartError(ZVError::MultipartEncodingFailureReason reason) {
    if (!bodyPartError_) {
        bodyPartError_ = ZVError::multipartEncodingFailed(std::move(reason));
    }
}

// Encoding

std::string MultipartFormData::encodeHeaders(const BodyPart& part) const {
    std::string text;
    for (const auto& [field, value] : part.headers) {
        text += field;
        text += ": ";
        text += value;
        text += EncodingCharacters::crlf;
    }
    text += EncodingCharacters::crlf;
    return text;
}

void MultipartFormData::markBoundaries() {
    bodyParts_.front().hasInitialBoundary = true;
    bodyParts_.back().hasFinalBoundary = true;
}

void MultipartFormData::encodeBodyStream(plat::InputStream& stream, plat::Data& out) {
    openForReading(stream);
    InputStreamCloser closer{stream};
    while (stream.hasBytesAvailable()) {
        const std::size_t start = out.size();
        // Within what was reserved, as far as it goes: a chunk past it would move the whole buffer.
        const std::size_t room = out.capacity() - start;
        const std::size_t chunk = room > 0 ? std::min(room, streamBufferSize) : streamBufferSize;
        out.resize(start + chunk);
        const ssize_t count = stream.read(out.data() + start, chunk);
        if (auto error = stream.streamError()) {
            out.resize(start);
            fail(EncodingReason::inputStreamReadFailed(*error));
        }
        out.resize(start + static_cast<std::size_t>(count > 0 ? count : 0));
        if (count <= 0) {
            break;
        }
    }
}

plat::Data MultipartFormData::encodeToData() {
    if (bodyPartError_) {
        throw *bodyPartError_;
    }
    plat::Data encoded;
    if (bodyParts_.empty()) {
        return encoded;
    }
    // Only the parts held in memory are reserved for: a caller's declared length need not match its
    // stream, and a large one would ask for memory the body never uses. The rest grows from what is read.
    markBoundaries();
    std::size_t known = 0;
    for (const auto& part : bodyParts_) {
        known += part.lengthIsExact ? static_cast<std::size_t>(part.bodyContentLength) : 0;
        known += 2 * boundary_.size() + 256; // boundaries and a typical head
    }
    encoded.reserve(known);
    for (auto& part : bodyParts_) {
        using Type = BoundaryGenerator::BoundaryType;
        append(encoded, BoundaryGenerator::boundaryText(
                            part.hasInitialBoundary ? Type::initial : Type::encapsulated, boundary_));
        append(encoded, encodeHeaders(part));
        encodeBodyStream(*part.bodyStream, encoded);
        if (part.hasFinalBoundary) {
            append(encoded, BoundaryGenerator::boundaryText(Type::final, boundary_));
        }
    }
    return encoded;
}

// Writing to a file

void MultipartFormData::writeBodyStream(plat::InputStream& stream, plat::OutputStream& output) {
    openForReading(stream);
    InputStreamCloser closer{stream};
    std::vector<std::uint8_t> buffer(streamBufferSize);
    while (stream.hasBytesAvailable()) {
        const ssize_t count = stream.read(buffer.data(), buffer.size());
        if (auto error = stream.streamError()) {
            fail(EncodingReason::inputStreamReadFailed(*error));
        }
        if (count <= 0) {
            break;
        }
        writeAll(output, buffer.data(), static_cast<std::size_t>(count));
    }
}

void MultipartFormData::writeBodyPart(BodyPart& part, plat::OutputStream& output) {
    using Type = BoundaryGenerator::BoundaryType;
    writeAll(output, BoundaryGenerator::boundaryText(
                         part.hasInitialBoundary ? Type::initial : Type::encapsulated, boundary_));
    writeAll(output, encodeHeaders(part));
    writeBodyStream(*part.bodyStream, output);
    if (part.hasFinalBoundary) {
        writeAll(output, BoundaryGenerator::boundaryText(Type::final, boundary_));
    }
}

void MultipartFormData::writeEncodedDataToFile(const plat::URL& fileURL) {
    if (bodyPartError_) {
        throw *bodyPartError_;
    }
    const std::string path = fileURL.path();
    if (plat::FileManager::defaultManager().fileExists(path)) {
        fail(EncodingReason::outputStreamFileAlreadyExists(fileURL));
    }
    if (!fileURL.isFileURL()) {
        fail(EncodingReason::outputStreamURLInvalid(fileURL));
    }

    // The file is created exclusively, so a file that appeared after the check above is never overwritten;
    // the stream then appends to the empty file that this call owns.
    plat::WriteOptions exclusive;
    exclusive.withoutOverwriting = true;
    if (auto created = plat::writeData(path, {}, exclusive); !created) {
        if (created.error().is(plat::NSCocoaErrorDomain, plat::NSFileWriteFileExistsError)) {
            fail(EncodingReason::outputStreamFileAlreadyExists(fileURL));
        }
        fail(EncodingReason::outputStreamCreationFailed(fileURL));
    }
    auto output = plat::OutputStream::toFile(path, true);
    if (!output) {
        (void)plat::FileManager::defaultManager().removeItem(path);
        fail(EncodingReason::outputStreamCreationFailed(fileURL));
    }

    output->open();
    try {
        if (!bodyParts_.empty()) {
            markBoundaries();
        }
        for (auto& part : bodyParts_) {
            writeBodyPart(part, *output);
        }
    } catch (...) {
        // A partial body must not be uploaded as if it were whole.
        output->close();
        (void)plat::FileManager::defaultManager().removeItem(path);
        throw;
    }
    output->close();
}

} // namespace Zavorida
