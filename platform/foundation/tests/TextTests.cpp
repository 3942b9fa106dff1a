#include <gtest/gtest.h>
#include <set>

#include "platform/foundation/Base64.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/foundation/String.hpp"
#include "platform/foundation/StringEncoding.hpp"
#include "platform/foundation/UUID.hpp"

using namespace plat;

namespace {
Data bytes(std::string_view s) {
    return Data(s.begin(), s.end());
}
std::string text(const Data& d) {
    return std::string(d.begin(), d.end());
}
} // namespace

TEST(String, LengthsCountUTF16UnitsAndCodePoints) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // a é € 😀
    EXPECT_EQ(String::utf16Length(s), 5u);
    EXPECT_EQ(String::codePoints(s), std::u32string(U"a\u00e9\u20ac\U0001F600"));
    EXPECT_EQ(String::fromUTF16(String::utf16(s)), s);
    EXPECT_EQ(String::prefixUTF16(s, 4), "a\xC3\xA9\xE2\x82\xAC"); // never half an emoji
    EXPECT_EQ(String::prefixUTF16(s, 5), s);
}

TEST(String, FromUTF8RejectsWhatTheDeviceCannotHold) {
    const char* invalid[] = {"\xff", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                             "\xC3", "a\x80"};
    for (const char* s : invalid) {
        EXPECT_FALSE(String::fromUTF8(std::string_view(s)).has_value()) << s;
    }
    EXPECT_EQ(String::fromUTF8(std::string_view("ok \xF0\x9F\x98\x80")).value(), "ok \xF0\x9F\x98\x80");
}

TEST(String, TrimmingAndCaseInsensitiveCompare) {
    EXPECT_EQ(String::trimming("\u00a0 \t hi there \n", CharacterSet::whitespaceAndNewlines()), "hi there");
    EXPECT_EQ(String::trimming(" x\n", CharacterSet::whitespace()), "x\n");
    EXPECT_EQ(String::trimming("   ", CharacterSet::whitespace()), "");
    EXPECT_EQ(String::caseInsensitiveCompare("Stra\xC3\x9F"
                                             "e",
                                             "STRASSE"),
              0); // full folding: ß = ss
    EXPECT_EQ(String::caseInsensitiveCompare("abc", "ABD"), -1);
    EXPECT_EQ(String::caseInsensitiveCompare("b", "A"), 1);
    EXPECT_EQ(String::lowercased("\xC3\x84"
                                 "BC"),
              "\xC3\xA4"
              "bc");
}

TEST(String, ASCIIHelpersLeaveOtherBytesAlone) {
    // Protocol tokens fold only A-Z; the bytes of non-ASCII characters pass through untouched.
    EXPECT_EQ(String::lowercasedASCII("Content-TYPE \xC3\x84"), "content-type \xC3\x84");
    EXPECT_EQ(String::uppercasedASCII("post \xC3\xA4"), "POST \xC3\xA4");
    EXPECT_TRUE(String::equalsIgnoringASCIICase("Set-Cookie", "set-COOKIE"));
    EXPECT_FALSE(String::equalsIgnoringASCIICase("\xC3\x84", "\xC3\xA4"));
    EXPECT_FALSE(String::equalsIgnoringASCIICase("abc", "abcd"));
    EXPECT_EQ(String::trimmingSpacesAndTabs(" \t a b\t "), "a b");
    EXPECT_EQ(String::trimmingSpacesAndTabs("\r\nx\n"), "\r\nx\n");
    EXPECT_EQ(String::trimmingASCIIWhitespace("\v\f\r\n x \t"), "x");
    EXPECT_EQ(String::trimmingASCIIWhitespace(" \n "), "");
    const std::pair<char, int> hex[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'F', 15},
                                        {'g', -1}, {'G', -1}, {' ', -1}};
    for (const auto& [c, want] : hex) {
        EXPECT_EQ(String::hexDigitValue(c), want) << c;
    }
}

TEST(String, DecodeAndAppendUTF8RoundTripAndReplaceBadBytes) {
    const std::string s = "a\xC3\xA9\xF0\x9F\x98\x80\xFF\xE2\x82"; // a é 😀, a stray byte, a cut-off €
    std::u32string got;
    std::string again;
    for (size_t i = 0; i < s.size();) {
        const char32_t cp = String::decodeUTF8(s, i);
        got += cp;
        String::appendUTF8(again, cp);
    }
    EXPECT_EQ(got, std::u32string(U"a\u00e9\U0001F600\uFFFD\uFFFD\uFFFD")); // one U+FFFD per bad byte
    EXPECT_EQ(again, "a\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(String, UnicodeClasses) {
    EXPECT_TRUE(String::isLetter(U'\u00e9'));
    EXPECT_TRUE(String::isLetter(U'\u4e2d'));
    EXPECT_FALSE(String::isLetter(U'1'));
    EXPECT_TRUE(String::isDecimalDigit(U'\u0663')); // Arabic-Indic three
    EXPECT_FALSE(String::isDecimalDigit(U'\u00bd'));
    EXPECT_TRUE(String::isAlphanumeric(U'\u00bd'));
    EXPECT_FALSE(String::isAlphanumeric(U'_'));
}

TEST(String, PathHelpers) {
    struct Case {
        const char* path;
        const char* last;
        const char* ext;
        const char* noExt;
        const char* parent;
    } cases[] = {
        {"/a/b/file.tar.gz", "file.tar.gz", "gz", "/a/b/file.tar", "/a/b"},
        {"/a/b/", "b", "", "/a/b", "/a"},
        {"name", "name", "", "name", ""},
        {"/", "/", "", "/", "/"},
        {"/top", "top", "", "/top", "/"},
        {"dir/.hidden", ".hidden", "", "dir/.hidden", "dir"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String::lastPathComponent(c.path), c.last) << c.path;
        EXPECT_EQ(String::pathExtension(c.path), c.ext) << c.path;
        EXPECT_EQ(String::deletingPathExtension(c.path), c.noExt) << c.path;
        EXPECT_EQ(String::deletingLastPathComponent(c.path), c.parent) << c.path;
    }
    EXPECT_EQ(String::appendingPathComponent("/a/", "/b"), "/a/b");
    EXPECT_EQ(String::appendingPathComponent("", "b"), "b");
    EXPECT_EQ(String::appendingPathComponent("/", "b"), "/b");
    EXPECT_EQ(String::appendingPathExtension("/a/f", "plist"), "/a/f.plist");
}

TEST(String, PercentEncodingWithTheURLSets) {
    const std::string s = "a b/c?d=e&f#g[h]@\xC3\xA9~";
    EXPECT_EQ(String::addingPercentEncoding(s, CharacterSet::urlQueryAllowed()).value(),
              "a%20b/c?d=e&f%23g%5Bh%5D@%C3%A9~");
    EXPECT_EQ(String::addingPercentEncoding(s, CharacterSet::urlPathAllowed()).value(),
              "a%20b/c%3Fd=e&f%23g%5Bh%5D@%C3%A9~");
    EXPECT_EQ(String::addingPercentEncoding(s, CharacterSet::urlHostAllowed()).value(),
              "a%20b%2Fc%3Fd=e&f%23g[h]%40%C3%A9~");
    EXPECT_EQ(String::addingPercentEncoding(s, CharacterSet::alphanumericASCII()).value(),
              "a%20b%2Fc%3Fd%3De%26f%23g%5Bh%5D%40%C3%A9%7E");
    EXPECT_FALSE(String::addingPercentEncoding("\xff", CharacterSet::urlQueryAllowed()).has_value());

    EXPECT_EQ(String::removingPercentEncoding("a%20b%C3%A9%2f").value(), "a b\xC3\xA9/");
    for (const char* bad : {"%", "%2", "%zz", "%C3", "%FF"}) {
        EXPECT_FALSE(String::removingPercentEncoding(bad).has_value()) << bad;
    }
}

TEST(Encoding, IANANamesAndConversions) {
    EXPECT_EQ(Encoding::encodingForIANAName("UTF-8"), UTF8StringEncoding);
    EXPECT_EQ(Encoding::encodingForIANAName(" iso-8859-1 "), ISOLatin1StringEncoding);
    EXPECT_EQ(Encoding::encodingForIANAName("\"Shift_JIS\""), ShiftJISStringEncoding);
    EXPECT_EQ(Encoding::encodingForIANAName("no-such-charset"), InvalidStringEncoding);

    EXPECT_FALSE(Encoding::decode(bytes("abc"), InvalidStringEncoding).has_value());
    // Latin-1 decodes every byte.
    Data all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    }
    auto latin = Encoding::decode(all, ISOLatin1StringEncoding);
    ASSERT_TRUE(latin.has_value());
    EXPECT_EQ(String::utf16Length(*latin), 256u);

    EXPECT_EQ(Encoding::decode(bytes("\x80"), WindowsCP1252StringEncoding).value(), "\xE2\x82\xAC");
    EXPECT_FALSE(Encoding::decode(bytes("\xff"), UTF8StringEncoding).has_value());
    EXPECT_FALSE(Encoding::decode(bytes("\x80"), ASCIIStringEncoding).has_value());
    EXPECT_EQ(Encoding::decode(bytes("\x82\xa0"), ShiftJISStringEncoding).value(), "\xE3\x81\x82"); // あ
    EXPECT_EQ(Encoding::decode(bytes(std::string("\xFF\xFE"
                                                 "a\0",
                                                 4)),
                               UTF16StringEncoding)
                  .value(),
              "a");
    EXPECT_EQ(Encoding::decode(bytes(std::string("\0a", 2)), UTF16StringEncoding).value(), "a");
    EXPECT_FALSE(Encoding::decode(bytes(std::string("\0", 1)), UTF16BigEndianStringEncoding).has_value());

    EXPECT_EQ(text(Encoding::encode("\xC3\xA9", ISOLatin1StringEncoding).value()), "\xE9");
    EXPECT_FALSE(Encoding::encode("\xE2\x82\xAC", ISOLatin1StringEncoding).has_value()); // no euro in Latin-1
    EXPECT_EQ(text(Encoding::encode("a", UTF16BigEndianStringEncoding).value()), std::string("\0a", 2));
    auto jis = Encoding::encode("\xE3\x81\x82", ISO2022JPStringEncoding);
    ASSERT_TRUE(jis.has_value());
    EXPECT_EQ(Encoding::decode(*jis, ISO2022JPStringEncoding).value(), "\xE3\x81\x82");
    EXPECT_EQ(Encoding::localizedName(UTF8StringEncoding), "Unicode (UTF-8)");
}

TEST(Base64, EncodeDecodeAndOptions) {
    struct Case {
        const char* plain;
        const char* encoded;
    } cases[] = {{"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
                 {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe", "//4="}};
    for (const auto& c : cases) {
        EXPECT_EQ(base64Encode(std::string_view(c.plain)), c.encoded);
        EXPECT_EQ(text(base64Decode(c.encoded).value()), c.plain);
    }
    for (const char* bad : {"Zg", "Zg=", "Z===", "Zm9v!", "Zm 9v", "Zg==Zg==", "=Zg="}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
    }
    EXPECT_EQ(text(base64Decode("Zm 9v\r\n!", Base64DecodingIgnoreUnknownCharacters).value()), "foo");

    std::string sixty(60, 'x');
    std::string encoded = base64Encode(std::string_view(sixty), Base64Encoding64CharacterLineLength);
    EXPECT_EQ(encoded.substr(64, 2), "\r\n");
    EXPECT_EQ(encoded.size(), 80u + 2);
    EXPECT_EQ(base64Encode(std::string_view(sixty),
                           Base64Encoding76CharacterLineLength | Base64EncodingEndLineWithLineFeed)
                  .find('\n'),
              76u);
    EXPECT_EQ(text(base64Decode(encoded, Base64DecodingIgnoreUnknownCharacters).value()), sixty);

    Data raw{0xfb, 0xff, 0xbf};
    EXPECT_EQ(base64URLEncode(raw), "-_-_");
    EXPECT_EQ(base64URLDecode("-_-_").value(), raw);
    EXPECT_EQ(text(base64URLDecode("Zm8").value()), "fo");
    EXPECT_FALSE(base64URLDecode("Z").has_value());
}

TEST(Hex, EncodeDecode) {
    Data d{0x00, 0xab, 0x10, 0xff};
    EXPECT_EQ(hexLower(d), "00ab10ff");
    EXPECT_EQ(hexUpper(d), "00AB10FF");
    EXPECT_EQ(hexDecode("00Ab10fF").value(), d);
    EXPECT_EQ(hexDecode("").value(), Data{});
    EXPECT_FALSE(hexDecode("abc").has_value());
    EXPECT_FALSE(hexDecode("zz").has_value());
    EXPECT_FALSE(hexDecode("0x12").has_value());
}

TEST(Digest, KnownVectors) {
    EXPECT_EQ(hexLower(Digest::md5("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hexLower(Digest::sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hexLower(Digest::sha256("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Digest d(Digest::Algorithm::SHA256);
    d.update("a");
    d.update("bc");
    EXPECT_EQ(d.finish(), Digest::sha256("abc"));
    EXPECT_EQ(d.finish(), Digest::sha256("")); // starts over
}

TEST(UUID, FormatParseAndVersion) {
    Random::seed(7);
    UUID u = UUID::random();
    std::string s = u.uuidString();
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');
    EXPECT_NE(std::string("89AB").find(s[19]), std::string::npos);
    EXPECT_EQ(s, String::uppercased(s));
    EXPECT_EQ(UUID::parse(s), u);
    EXPECT_EQ(UUID::parse(String::lowercased(s)), u);
    for (const char* bad : {"", "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8C36C495A93FC0C247A3E6E5F",
                            "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
                            "E621E1F8-C36C-495A-93FC_0C247A3E6E5F"}) {
        EXPECT_FALSE(UUID::parse(bad).has_value()) << bad;
    }
    EXPECT_NE(UUID::random(), u);
}

TEST(Random, SeededSequencesRepeatAndStayInRange) {
    Random::seed(42);
    uint64_t a1 = Random::u64();
    uint32_t a2 = Random::u32();
    Random::seed(42);
    EXPECT_EQ(Random::u64(), a1);
    EXPECT_EQ(Random::u32(), a2);

    std::set<uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        uint32_t r = Random::uniform(10);
        ASSERT_LT(r, 10u);
        seen.insert(r);
        double u = Random::unit();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
    EXPECT_EQ(seen.size(), 10u);
    EXPECT_EQ(Random::uniform(0), 0u);
    EXPECT_EQ(Random::uniform(1), 0u);
    EXPECT_EQ(Random::bytes(33)->size(), 33u);

    Random::unseed();
    EXPECT_NE(Random::bytes(16).value(), Random::bytes(16).value());
}

TEST(Random, BytesFailWhenTheFaultIsArmed) {
    sim::Faults::fail("random.bytes", "", -25291);
    auto r = Random::bytes(8);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, NSOSStatusErrorDomain);
    EXPECT_EQ(r.error().code, -25291);
    EXPECT_TRUE(Random::bytes(8).ok()); // armed once
}
