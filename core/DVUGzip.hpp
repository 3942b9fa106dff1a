#pragma once
// gzip compression and decompression of byte buffers (zlib), for the log-collection upload and the
// analytics client's stored bundles. Failures are errors of the domain "com.razoza.DVUNSDataZlibErrorDomain":
// 1024 input too large, 1025 zlib failed (or the inflated data passed its limit), 1026 input left over
// after the end of the stream.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr const char* DVUNSDataZlibErrorDomain = "com.razoza.DVUNSDataZlibErrorDomain";
inline constexpr const char* DVUNSDataZlibErrorKey = "DVUNSDataZlibErrorKey";
inline constexpr const char* DVUNSDataZlibRemainingBytesKey = "DVUNSDataZlibRemainingBytesKey";
inline constexpr std::int64_t DVUNSDataZlibErrorGreaterThan32BitsToCompress = 1024;
inline constexpr std::int64_t DVUNSDataZlibErrorInternal = 1025;
inline constexpr std::int64_t DVUNSDataZlibErrorDataRemaining = 1026;

// A small hostile stream can inflate to any size; callers that expect more raise the limit.
inline constexpr std::size_t kDVUDefaultInflateLimit = 32u * 1024 * 1024;

// A complete gzip stream (header, deflate data, trailer). Empty input gives none without an error; on a
// failure, none and *error set (error may be null).
std::optional<plat::Data> dvu_dataByGzippingData(std::span<const std::uint8_t> data, plat::Error* error = nullptr);

// Accepts gzip and zlib-wrapped input. Empty input gives none without an error. Output beyond `limit`
// bytes fails with 1025.
std::optional<plat::Data> dvu_dataByInflatingGzippedData(std::span<const std::uint8_t> data,
                                                         plat::Error* error = nullptr,
                                                         std::size_t limit = kDVUDefaultInflateLimit);
