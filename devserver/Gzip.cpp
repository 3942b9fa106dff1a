#include "devserver/Gzip.hpp"

#include <zlib.h>

namespace devserver {

namespace {
constexpr size_t kGunzipMaxInflated = 256u << 20;
} // namespace

std::optional<std::string> gunzip(std::string_view bytes) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    std::string out;
    char buffer[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (out.size() > kGunzipMaxInflated)
            status = Z_MEM_ERROR;
        if (status == Z_BUF_ERROR && stream.avail_in == 0)
            break;
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END || stream.avail_in != 0)
        return std::nullopt;
    return out;
}

} // namespace devserver
