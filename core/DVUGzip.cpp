#include "core/DVUGzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <string>

namespace {

constexpr std::size_t kChunk = 1024;
constexpr std::uint64_t kMaxInput = 0xffffffffULL; // one zlib stream counts its input in 32 bits

void fail(plat::Error* error, std::int64_t code, plat::Dictionary userInfo = {}) {
    if (error) {
        *error = plat::Error(DVUNSDataZlibErrorDomain, code, std::move(userInfo));
    }
}

void failZlib(plat::Error* error, int zlibCode, const char* message = nullptr) {
    plat::Dictionary info{{DVUNSDataZlibErrorKey, plat::Value(static_cast<std::int64_t>(zlibCode))}};
    if (message) {
        info.set(plat::NSLocalizedDescriptionKey, plat::Value(message));
    }
    fail(error, DVUNSDataZlibErrorInternal, std::move(info));
}

// Gives out the next chunk of the output buffer to zlib and trims what it left unused afterwards.
struct ChunkedOutput {
    plat::Data& out;
    std::size_t before = 0;

    void open(z_stream& stream) {
        before = out.size();
        out.resize(before + kChunk);
        stream.next_out = out.data() + before;
        stream.avail_out = static_cast<uInt>(kChunk);
    }
    void close(const z_stream& stream) { out.resize(before + (kChunk - stream.avail_out)); }
};

// One deflate state per thread, reset between uses: setting up a fresh one allocates and clears a quarter
// of a megabyte, which costs more than compressing a typical upload.
class ThreadDeflater {
public:
    ThreadDeflater() { status_ = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY); }
    ~ThreadDeflater() {
        if (status_ == Z_OK) {
            deflateEnd(&stream_);
        }
    }
    ThreadDeflater(const ThreadDeflater&) = delete;
    ThreadDeflater& operator=(const ThreadDeflater&) = delete;

    // A stream ready for new input, or none with the zlib status in *status.
    z_stream* acquire(int* status) {
        if (status_ == Z_OK) {
            status_ = deflateReset(&stream_);
        }
        *status = status_;
        return status_ == Z_OK ? &stream_ : nullptr;
    }

private:
    z_stream stream_{};
    int status_ = Z_STREAM_ERROR;
};

} // namespace

std::optional<plat::Data> dvu_dataByGzippingData(std::span<const std::uint8_t> data, plat::Error* error) {
    if (data.empty()) {
        return std::nullopt;
    }
    if (data.size() > kMaxInput) {
        fail(error, DVUNSDataZlibErrorGreaterThan32BitsToCompress);
        return std::nullopt;
    }
    thread_local ThreadDeflater deflater;
    int status = Z_OK;
    z_stream* stream = deflater.acquire(&status);
    if (!stream) {
        failZlib(error, status);
        return std::nullopt;
    }
    plat::Data out;
    out.reserve(data.size() / 4);
    stream->next_in = const_cast<Bytef*>(data.data());
    stream->avail_in = static_cast<uInt>(data.size());
    ChunkedOutput chunk{out};
    do {
        chunk.open(*stream);
        status = deflate(stream, Z_FINISH);
        chunk.close(*stream);
    } while (status == Z_OK);
    if (status != Z_STREAM_END) {
        failZlib(error, status);
        return std::nullopt;
    }
    return out;
}

std::optional<plat::Data> dvu_dataByInflatingGzippedData(std::span<const std::uint8_t> data, plat::Error* error,
                                                         std::size_t limit) {
    if (data.empty() || data.size() > kMaxInput) {
        return std::nullopt;
    }
    z_stream stream{};
    int status = inflateInit2(&stream, 47);
    if (status != Z_OK) {
        failZlib(error, status);
        return std::nullopt;
    }
    plat::Data out;
    out.reserve(std::min(data.size() * 4, limit));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    ChunkedOutput chunk{out};
    do {
        chunk.open(stream);
        status = inflate(&stream, Z_NO_FLUSH);
        chunk.close(stream);
        if (out.size() > limit) {
            inflateEnd(&stream);
            const std::string message = "inflated data exceeds the limit of " + std::to_string(limit) + " bytes";
            failZlib(error, Z_MEM_ERROR, message.c_str());
            return std::nullopt;
        }
    } while (status == Z_OK);
    if (status != Z_STREAM_END) {
        failZlib(error, status, stream.msg);
        inflateEnd(&stream);
        return std::nullopt;
    }
    const uInt remaining = stream.avail_in;
    inflateEnd(&stream);
    if (remaining > 0) {
        fail(error, DVUNSDataZlibErrorDataRemaining,
             {{DVUNSDataZlibRemainingBytesKey, plat::Value(static_cast<std::uint64_t>(remaining))}});
        return std::nullopt;
    }
    return out;
}
