#pragma once
// Writes a multipart/form-data body onto an output stream (memory or file), counting the bytes for
// "Content-Length". Every multipart body of the kit host and its kits is framed here:
//   "MIME-Version: 1.0" CRLF (no blank line after it), then per part "--" boundary CRLF, its headers, CRLF,
//   the bytes, CRLF, and last "--" boundary "--" CRLF.
// Invalid parts are logged and skipped; a failed write leaves the body short and `length` counts only the
// bytes the stream took.

#include "platform/foundation/Stream.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

class ZUVMultipartMimeStreamEncoder {
public:
    // A new upper-case UUID string.
    static std::string generateBoundary();
    // None without a stream, or for a boundary that is empty or holds CR or LF (it would break the framing).
    static std::shared_ptr<ZUVMultipartMimeStreamEncoder> encoderWithStream(std::shared_ptr<plat::OutputStream> stream,
                                                                            std::optional<std::string> boundary);
    ZUVMultipartMimeStreamEncoder(std::shared_ptr<plat::OutputStream> stream, std::string boundary);

    // "multipart/form-data; boundary=<boundary>".
    static std::string contentTypeHTTPHeaderValueWithBoundary(std::string_view boundary);
    std::string contentTypeHTTPHeaderValue() const;
    // `length` in decimal.
    std::string contentLengthHTTPHeaderValue() const;

    // Opens the stream and writes the header, runs `block` (which adds the parts), writes the footer and
    // closes the stream.
    void encode(const std::function<void()>& block);
    void beginEncoding();
    void endEncoding();

    // A text part; a number is written as its decimal text. Nothing for a missing or null value.
    void addValue(const std::optional<plat::Value>& value, std::string_view fieldName);
    void addValue(std::string_view value, std::string_view fieldName);
    // A file part; without a MIME type it is sent as "application/octet-stream". The bytes go to the stream
    // as they are, without another copy.
    void addFileData(std::span<const uint8_t> data, std::string_view fileName,
                     std::optional<std::string_view> mimeType, std::string_view fieldName);
    // Reads the file into memory and adds it as file data; an unreadable file counts as empty data.
    void addFile(const std::string& path, std::string_view fileName, std::optional<std::string_view> mimeType,
                 std::string_view fieldName);

    // Writes every byte it can; logs "Failed to write data to stream" when the stream takes fewer.
    void writeData(std::span<const uint8_t> data);
    // As writeData, with its own line; false when the stream took fewer bytes.
    bool writeBytes(const void* bytes, size_t length);

    uint64_t length() const { return length_; }
    void setLength(uint64_t length) { length_ = length; }
    const std::string& boundary() const { return boundary_; }
    void setBoundary(std::string boundary) { boundary_ = std::move(boundary); }
    const std::shared_ptr<plat::OutputStream>& outputStream() const { return outputStream_; }
    void setOutputStream(std::shared_ptr<plat::OutputStream> stream) { outputStream_ = std::move(stream); }

    // Encodes with a generated boundary into memory and sets the request's "Content-Type",
    // "Content-Length" and body from it.
    static void populateRequestWithDataFromEncoder(plat::URLRequest& request,
                                                   const std::function<void(ZUVMultipartMimeStreamEncoder&)>& block);

    // Whether a field or file name can stand in a part header: not empty, no quote, CR or LF.
    static bool isValidHeaderName(std::string_view name);

private:
    // Writes until everything went through or the stream stops taking bytes; the count it took.
    size_t writeFully(const uint8_t* bytes, size_t length);
    void writeText(std::string_view text);

    uint64_t length_ = 0;
    std::string boundary_;
    std::shared_ptr<plat::OutputStream> outputStream_;
};
