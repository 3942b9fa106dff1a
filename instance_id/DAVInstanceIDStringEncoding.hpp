#pragma once
// Base-2^n text encoding over any power-of-two ASCII alphabet (2 to 128 characters), with or without
// padding; the web-safe base64 of app identities is one instance.

#include "platform/foundation/Value.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class DAVInstanceIDStringEncoding {
public:
    // A new encoder each call: encoders are small and hold no shared state.
    static std::unique_ptr<DAVInstanceIDStringEncoding> rfc4648Base64WebsafeStringEncoding();
    // None when the alphabet is not ASCII, its length is not a power of two in 2...128, or a character
    // repeats.
    static std::unique_ptr<DAVInstanceIDStringEncoding> stringEncodingWithString(std::string_view alphabet);

    void setPaddingChar(char c);
    void setDoPad(bool doPad) { doPad_ = doPad; }
    bool doPad() const { return doPad_; }
    int shift() const { return shift_; }
    std::uint32_t mask() const { return mask_; }
    int padLen() const { return padLen_; }

    std::string description() const;
    std::string encode(const plat::Data& data) const;
    // None for non-ASCII text, characters outside the alphabet, data after padding, or left-over bits
    // that are not zero.
    std::optional<plat::Data> decode(std::string_view text) const;

    // Only the factories above make encoders; the key keeps the constructor theirs.
    class Key {
        friend class DAVInstanceIDStringEncoding;
        Key() = default;
    };
    DAVInstanceIDStringEncoding(Key, std::string_view alphabet);

private:

    plat::Data charMapData_;
    std::array<std::int32_t, 128> reverseCharMap_{};
    int shift_ = 0;
    std::uint32_t mask_ = 0;
    bool doPad_ = false;
    char paddingChar_ = '=';
    int padLen_ = 0;
};
