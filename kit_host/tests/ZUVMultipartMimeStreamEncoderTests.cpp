// The multipart writer's framing, byte for byte, into memory and into files; parts it refuses; and bodies
// cut short by the stream.

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>

namespace {

using plat::Value;

// The body of one text part "a" = "b" with boundary "B".
constexpr const char* kOnePartBody = "MIME-Version: 1.0\r\n"
                                     "--B\r\n"
                                     "Content-Disposition: form-data; name=\"a\"\r\n"
                                     "Content-Type: text/plain\r\n"
                                     "\r\n"
                                     "b\r\n"
                                     "--B--\r\n";

std::string memoryText(const ZUVMultipartMimeStreamEncoder& encoder) {
    auto data = encoder.outputStream()->dataWrittenToMemory();
    return std::string(data.begin(), data.end());
}

std::shared_ptr<ZUVMultipartMimeStreamEncoder> memoryEncoder(std::optional<std::string> boundary = "B") {
    return ZUVMultipartMimeStreamEncoder::encoderWithStream(plat::OutputStream::toMemory(), std::move(boundary));
}

TEST(ZUVMultipartMimeStreamEncoderTest, OneTextPartIsExactlyFramed) {
    auto encoder = memoryEncoder();
    ASSERT_TRUE(encoder);
    encoder->encode([&] { encoder->addValue(Value("b"), "a"); });
    const std::string expected = kOnePartBody;
    EXPECT_EQ(memoryText(*encoder), expected);
    EXPECT_EQ(expected.size(), 104u);
    EXPECT_EQ(encoder->length(), 104u);
    EXPECT_EQ(encoder->contentLengthHTTPHeaderValue(), "104");
    EXPECT_EQ(encoder->contentTypeHTTPHeaderValue(), "multipart/form-data; boundary=B");
    EXPECT_EQ(encoder->outputStream()->streamStatus(), plat::StreamStatus::Closed);
}

TEST(ZUVMultipartMimeStreamEncoderTest, FilePartsNumbersAndTheirHeaders) {
    auto encoder = memoryEncoder();
    const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x00, '\r', '\n'};
    encoder->encode([&] {
        encoder->addFileData(png, "icon.png", "image/png", "app[icon][data]");
        encoder->addFileData(png, "blob.bin", std::nullopt, "f");
        encoder->addValue(Value(int64_t{42}), "n");
    });
    const std::string fileHeader = "--B\r\n"
                                   "Content-Disposition: form-data; name=\"app[icon][data]\"; filename=\"icon.png\"\r\n"
                                   "Content-Type: image/png\r\n"
                                   "Content-Transfer-Encoding: binary\r\n"
                                   "\r\n";
    EXPECT_EQ(fileHeader.size(), 144u);
    const std::string pngText(std::begin(png), std::end(png));
    const std::string expected = "MIME-Version: 1.0\r\n" + fileHeader + pngText + "\r\n" +
                                 "--B\r\n"
                                 "Content-Disposition: form-data; name=\"f\"; filename=\"blob.bin\"\r\n"
                                 "Content-Type: application/octet-stream\r\n"
                                 "\r\n" +
                                 pngText + "\r\n" +
                                 "--B\r\n"
                                 "Content-Disposition: form-data; name=\"n\"\r\n"
                                 "Content-Type: text/plain\r\n"
                                 "\r\n"
                                 "42\r\n"
                                 "--B--\r\n";
    EXPECT_EQ(memoryText(*encoder), expected);
    EXPECT_EQ(encoder->length(), expected.size());
}

TEST(ZUVMultipartMimeStreamEncoderTest, InvalidPartsWriteNothingAndSayWhy) {
    struct Case {
        std::string what;
        std::function<void(ZUVMultipartMimeStreamEncoder&)> add;
        std::string line;
    };
    const uint8_t one[] = {1};
    const std::vector<Case> cases = {
        {"no value", [](auto& e) { e.addValue(std::nullopt, "a"); }, "[Zuvadu] name (a) or value ((null)) is invalid"},
        {"null value", [](auto& e) { e.addValue(Value(), "a"); }, "[Zuvadu] name (a) or value (<null>) is invalid"},
        {"empty field name", [](auto& e) { e.addValue(Value("v"), ""); }, "[Zuvadu] name () or value (v) is invalid"},
        {"quote in field name", [](auto& e) { e.addValue(Value("v"), "a\"; x=\"y"); },
         "[Zuvadu] name (a\"; x=\"y) or value (v) is invalid"},
        {"line break in field name", [](auto& e) { e.addValue(std::string_view("v"), "a\r\nX-Forged: 1"); },
         "[Zuvadu] name (a\r\nX-Forged: 1) or value (v) is invalid"},
        {"empty data", [](auto& e) { e.addFileData({}, "f.png", "image/png", "icon"); },
         "[Zuvadu] Unable to MIME encode data with zero length (icon)"},
        {"empty file name", [&](auto& e) { e.addFileData(one, "", "image/png", "icon"); },
         "[Zuvadu] name (icon) or fieldname () is invalid"},
        {"empty field name of a file", [&](auto& e) { e.addFileData(one, "f.png", std::nullopt, ""); },
         "[Zuvadu] name () or fieldname (f.png) is invalid"},
        {"line feed in file name", [&](auto& e) { e.addFileData(one, "f\n--B", std::nullopt, "icon"); },
         "[Zuvadu] name (icon) or fieldname (f\n--B) is invalid"},
        {"line break in MIME type", [&](auto& e) { e.addFileData(one, "f.png", "image/png\r\nX: y", "icon"); },
         "[Zuvadu] name (icon) or fieldname (f.png) is invalid"},
        {"unreadable file", [](auto& e) { e.addFile("/nonexistent/x.png", "x.png", "image/png", "icon"); },
         "[Zuvadu] Unable to MIME encode data with zero length (icon)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        plat::sim::ConsoleCapture console;
        plat::sim::Console::clearCaptured();
        auto encoder = memoryEncoder();
        encoder->encode([&] { c.add(*encoder); });
        EXPECT_EQ(memoryText(*encoder), "MIME-Version: 1.0\r\n--B--\r\n");
        EXPECT_EQ(encoder->length(), 26u);
        EXPECT_NE(console.nslog().find(c.line + "\n"), std::string::npos) << console.nslog();
    }
}

TEST(ZUVMultipartMimeStreamEncoderTest, GeneratedBoundaryAndRefusedEncoders) {
    auto encoder = memoryEncoder(std::nullopt);
    ASSERT_TRUE(encoder);
    EXPECT_TRUE(std::regex_match(encoder->boundary(),
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    EXPECT_NE(ZUVMultipartMimeStreamEncoder::generateBoundary(), ZUVMultipartMimeStreamEncoder::generateBoundary());
    EXPECT_FALSE(ZUVMultipartMimeStreamEncoder::encoderWithStream(nullptr, "B"));
    EXPECT_FALSE(memoryEncoder(""));
    EXPECT_FALSE(memoryEncoder("B\r\nX-Forged: 1"));
}

TEST(ZUVMultipartMimeStreamEncoderTest, FileStreamHoldsTheSameBytesAsMemory) {
    plat::test::TempAppHome home;
    const std::string source = home.root() + "/part.bin";
    std::string payload(70000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 31);
    ASSERT_TRUE(plat::writeData(source, plat::Data(payload.begin(), payload.end())).ok());

    const std::string target = home.root() + "/body";
    auto toFile = ZUVMultipartMimeStreamEncoder::encoderWithStream(plat::OutputStream::toFile(target, false), "B");
    auto toMemory = memoryEncoder();
    for (auto* encoder : {toFile.get(), toMemory.get()})
        encoder->encode([&] {
            encoder->addValue(std::string_view("x"), "t");
            encoder->addFile(source, "part.bin", std::nullopt, "file");
        });
    auto written = plat::readData(target);
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(std::string(written->begin(), written->end()), memoryText(*toMemory));
    EXPECT_EQ(toFile->length(), written->size());
    EXPECT_NE(memoryText(*toMemory).find(payload + "\r\n--B--\r\n"), std::string::npos);
}

TEST(ZUVMultipartMimeStreamEncoderTest, ACutStreamLeavesLengthAtTheBytesWritten) {
    plat::test::TempAppHome home;
    const std::string full = kOnePartBody;
    // Cut inside the header, at a part boundary and inside the footer, into memory and into a file.
    for (size_t after : {size_t{7}, size_t{19}, size_t{100}}) {
        for (bool file : {false, true}) {
            SCOPED_TRACE(std::to_string(after) + (file ? " file" : " memory"));
            plat::sim::Faults::reset();
            const std::string target = home.root() + "/cut-" + std::to_string(after);
            plat::sim::Faults::failStreamWriteAfter(file ? target : "memory", after, ENOSPC);
            auto stream = file ? plat::OutputStream::toFile(target, false) : plat::OutputStream::toMemory();
            auto encoder = ZUVMultipartMimeStreamEncoder::encoderWithStream(stream, "B");
            plat::sim::ConsoleCapture console;
            encoder->encode([&] { encoder->addValue(Value("b"), "a"); });
            EXPECT_EQ(encoder->length(), after);
            EXPECT_EQ(stream->bytesWritten(), after);
            EXPECT_NE(console.nslog().find("[Zuvadu] Failed to write data to stream\n"), std::string::npos);
            if (file) {
                auto written = plat::readData(target);
                ASSERT_TRUE(written.ok());
                EXPECT_EQ(std::string(written->begin(), written->end()), full.substr(0, after));
            }
        }
    }
    plat::sim::Faults::reset();
    plat::sim::Faults::failStreamWriteAfter("memory", 3, ENOSPC);
    auto encoder = memoryEncoder();
    plat::sim::ConsoleCapture console;
    encoder->outputStream()->open();
    EXPECT_FALSE(encoder->writeBytes("abcdef", 6));
    EXPECT_EQ(encoder->length(), 3u);
    EXPECT_NE(console.nslog().find("[Zuvadu] Failed to write bytes to stream\n"), std::string::npos);
}

TEST(ZUVMultipartMimeStreamEncoderTest, PopulateRequestSetsHeadersAndBody) {
    plat::URLRequest request(plat::URL::parse("https://api.example.test/x").value());
    ZUVMultipartMimeStreamEncoder::populateRequestWithDataFromEncoder(
        request, [](ZUVMultipartMimeStreamEncoder& e) { e.addValue(Value("b"), "a"); });
    const auto type = request.value("Content-Type");
    ASSERT_TRUE(type);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(*type, m, std::regex("multipart/form-data; boundary=([0-9A-F-]{36})")));
    const std::string boundary = m[1];
    const auto body = request.httpBody();
    ASSERT_TRUE(body);
    EXPECT_EQ(request.value("Content-Length"), std::to_string(body->size()));
    EXPECT_EQ(std::string(body->begin(), body->end()),
              "MIME-Version: 1.0\r\n--" + boundary +
                  "\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: text/plain\r\n\r\nb\r\n--" + boundary +
                  "--\r\n");
}

} // namespace
