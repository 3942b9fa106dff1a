#include "devserver/RequestLog.hpp"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

namespace devserver {

bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if ((c & 0xe0) == 0xc0) {
            length = 2, cp = c & 0x1f, min = 0x80;
        } else if ((c & 0xf0) == 0xe0) {
            length = 3, cp = c & 0x0f, min = 0x800;
        } else if ((c & 0xf8) == 0xf0) {
            length = 4, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (n - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xc0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(written));
    return out;
}

std::string logLine(const RecordedRequest& request) {
    nlohmann::ordered_json line;
    line["seq"] = request.seq;
    line["method"] = request.method;
    line["host"] = request.host;
    line["path"] = request.path;
    line["query"] = request.query;
    auto headers = nlohmann::ordered_json::object();
    for (const auto& [name, value] : request.headers) {
        // A repeated request header means the same as one with the values comma-joined.
        auto& slot = headers[name];
        slot = slot.is_null() ? value : slot.get<std::string>() + ", " + value;
    }
    line["headers"] = std::move(headers);
    switch (request.capture) {
    case BodyCapture::Record:
        if (isValidUtf8(request.body)) {
            line["body"] = request.body;
        } else {
            line["body_base64"] = base64Encode(request.body);
        }
        break;
    case BodyCapture::Hash:
        line["body_size"] = request.bodySize;
        line["body_sha256"] = request.bodySha256;
        break;
    case BodyCapture::Count:
        line["body_size"] = request.bodySize;
        break;
    }
    // Header values are not checked for UTF-8 by the server; replace stray bytes rather than throw.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool RequestLog::open(const std::string& path, std::string& error) {
    out_.open(path, std::ios::out | std::ios::app | std::ios::binary);
    if (!out_) {
        error = "cannot open log file " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void RequestLog::append(const RecordedRequest& request) {
    if (!out_.is_open()) {
        return;
    }
    // Flushed per line: readers tail the file while the server runs.
    out_ << logLine(request) << '\n' << std::flush;
}

void RequestLog::close() {
    if (out_.is_open()) {
        out_.close();
    }
}

} // namespace devserver
