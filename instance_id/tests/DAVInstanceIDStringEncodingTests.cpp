// The base-2^n encoder: alphabets it accepts, known vectors, strict decoding and round trips.

#include "instance_id/DAVInstanceIDStringEncoding.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/foundation/Random.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

plat::Data bytesOfText(std::string_view s) {
    return plat::Data(s.begin(), s.end());
}

std::unique_ptr<DAVInstanceIDStringEncoding> websafe(bool pad) {
    auto encoding = DAVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
    encoding->setDoPad(pad);
    return encoding;
}

TEST(DAVInstanceIDStringEncoding, WebsafeVectorsWithAndWithoutPadding) {
    struct Case {
        const char* input;
        const char* padded;
        const char* unpadded;
    };
    const Case cases[] = {
        {"", "", ""},
        {"f", "Zg==", "Zg"},
        {"fo", "Zm8=", "Zm8"},
        {"foo", "Zm9v", "Zm9v"},
        {"foob", "Zm9vYg==", "Zm9vYg"},
        {"fooba", "Zm9vYmE=", "Zm9vYmE"},
        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
        {"\xfb\xff", "-_8=", "-_8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(websafe(true)->encode(bytesOfText(c.input)), c.padded);
        EXPECT_EQ(websafe(false)->encode(bytesOfText(c.input)), c.unpadded);
        EXPECT_EQ(websafe(true)->decode(c.padded), bytesOfText(c.input));
        EXPECT_EQ(websafe(true)->decode(c.unpadded), bytesOfText(c.input));
    }
    const plat::Data zeros(8, 0);
    EXPECT_EQ(DAVInstanceIDWebSafeBase64(zeros), "AAAAAAAAAAA");
    EXPECT_EQ(websafe(true)->encode(zeros), "AAAAAAAAAAA=");
}

TEST(DAVInstanceIDStringEncoding, AlphabetsThatMakeAnEncoderAndThoseThatDoNot) {
    const std::string base64(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    std::string ascii128;
    for (int c = 0; c < 128; ++c) {
        ascii128.push_back(static_cast<char>(c));
    }
    struct Case {
        std::string alphabet;
        bool made;
        int shift, mask, padLen;
    };
    const Case cases[] = {
        {base64, true, 6, 63, 4},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", true, 5, 31, 8},
        {"01", true, 1, 1, 8},
        {"0123456789abcdef", true, 4, 15, 2},
        {ascii128, true, 7, 127, 8},
        {base64.substr(0, 63), false, 0, 0, 0},
        {ascii128 + "A", false, 0, 0, 0},
        {"0123456789abcdeA" + base64.substr(16, 15) + "A", false, 0, 0, 0},
        {"0", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"ab\xc3\xa9", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.alphabet.size());
        auto encoding = DAVInstanceIDStringEncoding::stringEncodingWithString(c.alphabet);
        ASSERT_EQ(encoding != nullptr, c.made);
        if (encoding) {
            EXPECT_EQ(encoding->shift(), c.shift);
            EXPECT_EQ(encoding->mask(), static_cast<std::uint32_t>(c.mask));
            EXPECT_EQ(encoding->padLen(), c.padLen);
        }
    }
    // The base-32 alphabet pads to blocks of eight.
    auto base32 = DAVInstanceIDStringEncoding::stringEncodingWithString("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
    base32->setPaddingChar('=');
    base32->setDoPad(true);
    EXPECT_EQ(base32->encode(bytesOfText("foobar")), "MZXW6YTBOI======");
    EXPECT_EQ(base32->decode("MZXW6YTBOI======"), bytesOfText("foobar"));
    EXPECT_EQ(websafe(true)->description(),
              "<Base64 StringEncoder: <41424344 45464748 494a4b4c 4d4e4f50 51525354 55565758 595a6162 63646566 "
              "6768696a 6b6c6d6e 6f707172 73747576 7778797a 30313233 34353637 38392d5f>>");
}

TEST(DAVInstanceIDStringEncoding, DecodingRejectsMalformedText) {
    for (const char* bad : {"Zg=a", "Zg==Zg", "Zh", "Zm9=", "Zm+v", "Zm/v", "Zm9v\xc3\xa9", "Zm 9v"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(websafe(true)->decode(bad));
    }
    EXPECT_EQ(websafe(true)->decode(""), plat::Data{});
    // Without a padding character set, "=" is just a character outside the alphabet.
    auto plain = DAVInstanceIDStringEncoding::stringEncodingWithString(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
    EXPECT_FALSE(plain->decode("Zg=="));
}

TEST(DAVInstanceIDStringEncoding, RoundTripsAndRandomInputNeverCrashes) {
    plat::Random::seed(30);
    const char* alphabets[] = {"01", "0123", "01234567", "0123456789abcdef",
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567",
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"};
    for (const char* alphabet : alphabets) {
        for (bool pad : {false, true}) {
            auto encoding = DAVInstanceIDStringEncoding::stringEncodingWithString(alphabet);
            encoding->setPaddingChar('=');
            encoding->setDoPad(pad);
            for (int i = 0; i < 40; ++i) {
                plat::Data data = *plat::Random::bytes(plat::Random::uniform(70));
                const std::string text = encoding->encode(data);
                ASSERT_EQ(encoding->decode(text), data) << alphabet << " " << text;
            }
        }
    }
    auto encoding = websafe(true);
    for (int i = 0; i < 2000; ++i) {
        std::string text;
        const auto length = plat::Random::uniform(24);
        for (std::uint32_t j = 0; j < length; ++j) {
            text.push_back(static_cast<char>(plat::Random::uniform(256)));
        }
        (void)encoding->decode(text);
    }
}

} // namespace
