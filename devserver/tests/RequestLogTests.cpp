#include "devserver/RequestLog.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace devserver {
namespace {

TEST(RequestLogTest, Utf8CheckRejectsEverythingAJsonReaderWouldNot) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xc3\xa9t\xc3\xa9", true},     // é
        {"\xe2\x82\xac", true},          // €
        {"\xf0\x9f\x98\x80", true},      // U+1F600
        {"\xf4\x8f\xbf\xbf", true},      // U+10FFFF
        {std::string("a\0b", 3), true},  // NUL is a character like any other
        {"\xff", false},                 // never valid
        {"\x80", false},                 // lone continuation byte
        {"\xc3", false},                 // truncated sequence
        {"\xe2\x82", false},             // truncated sequence
        {"\xc0\xaf", false},             // overlong '/'
        {"\xe0\x80\xaf", false},         // overlong '/'
        {"\xed\xa0\x80", false},         // UTF-16 surrogate
        {"\xf4\x90\x80\x80", false},     // above U+10FFFF
        {"\xf8\x88\x80\x80\x80", false}, // five-byte form
        {"ok\xc3(", false},              // continuation byte missing
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidUtf8(c.text), c.valid) << "case " << base64Encode(c.text);
    }
}

TEST(RequestLogTest, Base64MatchesTheStandardVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(base64Encode(in), out);
    }
}

TEST(RequestLogTest, LineStaysValidJsonWhateverTheHeadersHold) {
    RecordedRequest r;
    r.seq = 3;
    r.method = "GET";
    r.host = "api.example.test";
    r.path = "/p";
    r.headers = {{"accept", "a/b"}, {"accept", "c/d"}, {"x-bytes", "\xff\xfe"}};

    const std::string line = logLine(r);

    // A stray byte in a header must not throw on a server thread; it is replaced.
    const auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["headers"]["accept"], "a/b, c/d");
    EXPECT_EQ(parsed["headers"]["x-bytes"], "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(parsed["body"], "");
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

} // namespace
} // namespace devserver
