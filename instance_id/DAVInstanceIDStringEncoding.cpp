#include "instance_id/DAVInstanceIDStringEncoding.hpp"

#include "platform/foundation/Format.hpp"

#include <numeric>

namespace {

constexpr std::string_view kWebsafeBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::int32_t kNotInAlphabet = -1;
constexpr std::int32_t kPaddingMark = -2;

bool isPowerOfTwoAlphabetLength(std::size_t n) {
    return n >= 2 && n <= 128 && (n & (n - 1)) == 0;
}

} // namespace

std::unique_ptr<DAVInstanceIDStringEncoding> DAVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding() {
    auto encoding = stringEncodingWithString(kWebsafeBase64Alphabet);
    encoding->setPaddingChar('=');
    encoding->setDoPad(true);
    return encoding;
}

std::unique_ptr<DAVInstanceIDStringEncoding> DAVInstanceIDStringEncoding::stringEncodingWithString(
    std::string_view alphabet) {
    if (!isPowerOfTwoAlphabetLength(alphabet.size())) {
        return nullptr;
    }
    std::array<bool, 128> seen{};
    for (char c : alphabet) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 128 || seen[code]) {
            return nullptr;
        }
        seen[code] = true;
    }
    return std::make_unique<DAVInstanceIDStringEncoding>(Key(), alphabet);
}

DAVInstanceIDStringEncoding::DAVInstanceIDStringEncoding(Key, std::string_view alphabet)
    : charMapData_(alphabet.begin(), alphabet.end()) {
    reverseCharMap_.fill(kNotInAlphabet);
    for (std::size_t i = 0; i < charMapData_.size(); ++i) {
        reverseCharMap_[charMapData_[i]] = static_cast<std::int32_t>(i);
    }
    while ((std::size_t{1} << shift_) < charMapData_.size()) {
        ++shift_;
    }
    mask_ = (std::uint32_t{1} << shift_) - 1;
    padLen_ = std::lcm(8, shift_) / shift_;
}

void DAVInstanceIDStringEncoding::setPaddingChar(char c) {
    paddingChar_ = c;
    const auto code = static_cast<unsigned char>(c);
    if (code < 128) {
        reverseCharMap_[code] = kPaddingMark;
    }
}

std::string DAVInstanceIDStringEncoding::description() const {
    return plat::format("<Base%d StringEncoder: %@>", 1 << shift_, plat::Value(charMapData_));
}

std::string DAVInstanceIDStringEncoding::encode(const plat::Data& data) const {
    if (data.empty()) {
        return {};
    }
    const std::size_t bits = data.size() * 8;
    std::size_t length = (bits + static_cast<std::size_t>(shift_) - 1) / static_cast<std::size_t>(shift_);
    if (doPad_) {
        const auto block = static_cast<std::size_t>(padLen_);
        length = (length + block - 1) / block * block;
    }
    std::string out;
    out.reserve(length);
    std::uint32_t buffer = 0;
    int buffered = 0;
    for (std::uint8_t byte : data) {
        buffer = (buffer << 8) | byte;
        buffered += 8;
        while (buffered >= shift_) {
            buffered -= shift_;
            out.push_back(static_cast<char>(charMapData_[(buffer >> buffered) & mask_]));
        }
        buffer &= (std::uint32_t{1} << buffered) - 1;
    }
    if (buffered > 0) {
        out.push_back(static_cast<char>(charMapData_[(buffer << (shift_ - buffered)) & mask_]));
    }
    while (doPad_ && out.size() < length) {
        out.push_back(paddingChar_);
    }
    return out;
}

std::optional<plat::Data> DAVInstanceIDStringEncoding::decode(std::string_view text) const {
    plat::Data out;
    out.reserve(text.size() * static_cast<std::size_t>(shift_) / 8);
    std::uint32_t buffer = 0;
    int buffered = 0;
    bool padding = false;
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 128) {
            return std::nullopt;
        }
        const std::int32_t value = reverseCharMap_[code];
        if (value == kPaddingMark) {
            padding = true;
            continue;
        }
        if (value == kNotInAlphabet || padding) {
            return std::nullopt;
        }
        buffer = (buffer << shift_) | static_cast<std::uint32_t>(value);
        buffered += shift_;
        if (buffered >= 8) {
            buffered -= 8;
            out.push_back(static_cast<std::uint8_t>(buffer >> buffered));
            buffer &= (std::uint32_t{1} << buffered) - 1;
        }
    }
    if (buffer != 0) {
        return std::nullopt;
    }
    return out;
}
