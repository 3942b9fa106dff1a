#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"

#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"

namespace {

constexpr std::string_view kMultipartCRLF = "\r\n";

bool holdsLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

} // namespace

std::string ZUVMultipartMimeStreamEncoder::generateBoundary() {
    return ZUVCreateUUIDString();
}

std::shared_ptr<ZUVMultipartMimeStreamEncoder>
ZUVMultipartMimeStreamEncoder::encoderWithStream(std::shared_ptr<plat::OutputStream> stream,
                                                 std::optional<std::string> boundary) {
    if (!stream)
        return nullptr;
    std::string chosen = boundary ? std::move(*boundary) : generateBoundary();
    if (chosen.empty() || holdsLineBreak(chosen))
        return nullptr;
    return std::make_shared<ZUVMultipartMimeStreamEncoder>(std::move(stream), std::move(chosen));
}

ZUVMultipartMimeStreamEncoder::ZUVMultipartMimeStreamEncoder(std::shared_ptr<plat::OutputStream> stream,
                                                             std::string boundary)
    : boundary_(std::move(boundary)), outputStream_(std::move(stream)) {}

std::string ZUVMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(std::string_view boundary) {
    return "multipart/form-data; boundary=" + std::string(boundary);
}

std::string ZUVMultipartMimeStreamEncoder::contentTypeHTTPHeaderValue() const {
    return contentTypeHTTPHeaderValueWithBoundary(boundary_);
}

std::string ZUVMultipartMimeStreamEncoder::contentLengthHTTPHeaderValue() const {
    return std::to_string(length_);
}

void ZUVMultipartMimeStreamEncoder::encode(const std::function<void()>& block) {
    beginEncoding();
    if (block)
        block();
    endEncoding();
}

void ZUVMultipartMimeStreamEncoder::beginEncoding() {
    length_ = 0;
    outputStream_->open();
    writeText("MIME-Version: 1.0\r\n");
}

void ZUVMultipartMimeStreamEncoder::endEncoding() {
    writeText("--" + boundary_ + "--\r\n");
    outputStream_->close();
}

bool ZUVMultipartMimeStreamEncoder::isValidHeaderName(std::string_view name) {
    return !name.empty() && name.find_first_of("\"\r\n") == std::string_view::npos;
}

void ZUVMultipartMimeStreamEncoder::addValue(const std::optional<plat::Value>& value, std::string_view fieldName) {
    if (!value || value->isNull() || !isValidHeaderName(fieldName)) {
        plat::NSLogText("[Zuvadu] name (" + std::string(fieldName) + ") or value (" +
                        plat::Value::description(value) + ") is invalid");
        return;
    }
    addValue(std::string_view(value->description()), fieldName);
}

void ZUVMultipartMimeStreamEncoder::addValue(std::string_view value, std::string_view fieldName) {
    if (!isValidHeaderName(fieldName)) {
        plat::NSLogText("[Zuvadu] name (" + std::string(fieldName) + ") or value (" + std::string(value) +
                        ") is invalid");
        return;
    }
    std::string part;
    part.reserve(boundary_.size() + fieldName.size() + value.size() + 96);
    part.append("--").append(boundary_).append(kMultipartCRLF);
    part.append("Content-Disposition: form-data; name=\"").append(fieldName).append("\"\r\n");
    part.append("Content-Type: text/plain\r\n\r\n");
    part.append(value).append(kMultipartCRLF);
    writeText(part);
}

void ZUVMultipartMimeStreamEncoder::addFileData(std::span<const uint8_t> data, std::string_view fileName,
                                                std::optional<std::string_view> mimeType,
                                                std::string_view fieldName) {
    if (data.empty()) {
        plat::NSLogText("[Zuvadu] Unable to MIME encode data with zero length (" + std::string(fieldName) + ")");
        return;
    }
    // A MIME type with a line break would add headers of its own: it counts as a bad name.
    if (!isValidHeaderName(fieldName) || !isValidHeaderName(fileName) || (mimeType && holdsLineBreak(*mimeType))) {
        plat::NSLogText("[Zuvadu] name (" + std::string(fieldName) + ") or fieldname (" + std::string(fileName) +
                        ") is invalid");
        return;
    }
    std::string header;
    header.append("--").append(boundary_).append(kMultipartCRLF);
    header.append("Content-Disposition: form-data; name=\"").append(fieldName);
    header.append("\"; filename=\"").append(fileName).append("\"\r\n");
    if (mimeType && !mimeType->empty())
        header.append("Content-Type: ").append(*mimeType).append("\r\nContent-Transfer-Encoding: binary\r\n\r\n");
    else
        header.append("Content-Type: application/octet-stream\r\n\r\n");
    writeText(header);
    writeData(data);
    writeText(kMultipartCRLF);
}

void ZUVMultipartMimeStreamEncoder::addFile(const std::string& path, std::string_view fileName,
                                            std::optional<std::string_view> mimeType, std::string_view fieldName) {
    // An unreadable file counts as empty data, which is logged and skipped.
    auto data = plat::readData(path);
    addFileData(data.ok() ? std::span<const uint8_t>(*data) : std::span<const uint8_t>(), fileName, mimeType,
                fieldName);
}

size_t ZUVMultipartMimeStreamEncoder::writeFully(const uint8_t* bytes, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = outputStream_->write(bytes + done, length - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    length_ += done;
    return done;
}

void ZUVMultipartMimeStreamEncoder::writeData(std::span<const uint8_t> data) {
    if (writeFully(data.data(), data.size()) != data.size())
        plat::NSLogText("[Zuvadu] Failed to write data to stream");
}

bool ZUVMultipartMimeStreamEncoder::writeBytes(const void* bytes, size_t length) {
    if (writeFully(static_cast<const uint8_t*>(bytes), length) == length)
        return true;
    plat::NSLogText("[Zuvadu] Failed to write bytes to stream");
    return false;
}

void ZUVMultipartMimeStreamEncoder::writeText(std::string_view text) {
    writeData(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void ZUVMultipartMimeStreamEncoder::populateRequestWithDataFromEncoder(
    plat::URLRequest& request, const std::function<void(ZUVMultipartMimeStreamEncoder&)>& block) {
    auto stream = plat::OutputStream::toMemory();
    ZUVMultipartMimeStreamEncoder encoder(stream, generateBoundary());
    encoder.encode([&] {
        if (block)
            block(encoder);
    });
    request.setValue(encoder.contentTypeHTTPHeaderValue(), "Content-Type");
    request.setValue(encoder.contentLengthHTTPHeaderValue(), "Content-Length");
    request.setHTTPBody(stream->dataWrittenToMemory());
}
