#pragma once
// Message digests (MD5, SHA-1, SHA-256) of bytes, one-shot or incremental.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/foundation/Value.hpp"

namespace plat {

class Digest {
public:
    enum class Algorithm { MD5, SHA1, SHA256 };

    explicit Digest(Algorithm a);
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;

    void update(std::span<const uint8_t> bytes);
    void update(std::string_view bytes);
    // The digest of everything given so far; the object starts over afterwards.
    Data finish();

    static Data md5(std::span<const uint8_t> bytes);
    static Data sha1(std::span<const uint8_t> bytes);
    static Data sha256(std::span<const uint8_t> bytes);
    static Data md5(std::string_view bytes);
    static Data sha1(std::string_view bytes);
    static Data sha256(std::string_view bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace plat
