#include "testing/Bytes.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Zavorida/Source/MultipartFormData.hpp"
#include "platform/foundation/Faults.hpp"

namespace Zavorida {
namespace {

namespace fs = std::filesystem;
using EncodingReason = ZVError::MultipartEncodingFailureReason;

using plat::test::bytes;
using plat::test::text;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class MultipartFormDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zavorida-multipart-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path file(const std::string& name, std::string_view contents) {
        fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
    plat::URL url(const fs::path& path) { return plat::URL::file(path.string()); }

    EncodingReason::Case thrownReason(const std::function<void()>& body) {
        try {
            body();
        } catch (const ZVError& e) {
            if (e.multipartEncodingReason()) {
                return e.multipartEncodingReason()->kase();
            }
        }
        ADD_FAILURE() << "expected a multipart encoding error";
        return EncodingReason::Case::bodyPartURLInvalid;
    }

    fs::path dir_;
};

TEST_F(MultipartFormDataTest, BoundaryAndContentType) {
    MultipartFormData a, b;
    ASSERT_EQ(a.boundary().size(), 34u);
    EXPECT_EQ(a.boundary().substr(0, 18), "zavorida.boundary.");
    EXPECT_EQ(a.boundary().find_first_not_of("0123456789abcdef", 18), std::string::npos) << a.boundary();
    EXPECT_NE(a.boundary(), b.boundary());
    EXPECT_EQ(a.contentType(), "multipart/form-data; boundary=" + a.boundary());
    a.setContentType("multipart/mixed");
    EXPECT_EQ(a.contentType(), "multipart/mixed");
}

TEST_F(MultipartFormDataTest, EncodesOnePartByteForByte) {
    MultipartFormData form;
    form.appendData(bytes("abc"), "n");
    const std::string b = form.boundary();
    EXPECT_EQ(text(form.encodeToData()),
              "--" + b + "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\nabc\r\n--" + b + "--\r\n");
    EXPECT_EQ(form.contentLength(), 3u);
}

TEST_F(MultipartFormDataTest, EncodesSeveralPartsByteForByte) {
    MultipartFormData form;
    form.appendDataWithMimeType(bytes("{}"), "meta", "application/json");
    form.appendDataWithFileName(bytes("hello"), "upload", "a.txt", "text/plain");
    form.appendData(bytes(""), "empty");
    const std::string b = form.boundary();
    const std::string expected =
        "--" + b +
        "\r\nContent-Disposition: form-data; name=\"meta\"\r\nContent-Type: application/json\r\n\r\n{}" +
        "\r\n--" + b +
        "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"a.txt\"\r\nContent-Type: "
        "text/plain\r\n\r\n"
        "hello" +
        "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"empty\"\r\n\r\n" + "\r\n--" + b + "--\r\n";
    EXPECT_EQ(text(form.encodeToData()), expected);
    EXPECT_EQ(form.contentLength(), 7u);
    // The parts' streams are spent: a second encoding must fail rather than send empty bodies.
    EXPECT_EQ(thrownReason([&] { form.encodeToData(); }), EncodingReason::Case::inputStreamReadFailed);
}

TEST_F(MultipartFormDataTest, StreamsAreReadToTheirEndWhateverLengthWasDeclared) {
    // The declared length is the caller's word only: memory follows what the stream holds.
    for (const std::uint64_t declared : {std::uint64_t{1} << 40, std::uint64_t{0}, std::uint64_t{1}}) {
        SCOPED_TRACE(declared);
        MultipartFormData form;
        form.appendStream(plat::InputStream::withData(bytes("abc")), declared,
                          MultipartFormData::contentHeaders("n", std::nullopt, std::nullopt));
        const std::string b = form.boundary();
        EXPECT_EQ(text(form.encodeToData()),
                  "--" + b + "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\nabc\r\n--" + b +
                      "--\r\n");
        EXPECT_EQ(form.contentLength(), declared);
    }
}

TEST_F(MultipartFormDataTest, EmptyFormEncodesToNothing) {
    MultipartFormData form;
    EXPECT_TRUE(form.encodeToData().empty());
    EXPECT_EQ(form.contentLength(), 0u);
}

TEST_F(MultipartFormDataTest, NamesCannotBreakOutOfTheirQuotes) {
    MultipartFormData form;
    form.appendDataWithFileName(bytes("x"), "a\"\r\nX-Injected: 1", "f\"\n.txt", "text/plain");
    const std::string encoded = text(form.encodeToData());
    EXPECT_NE(encoded.find("name=\"a%22%0D%0AX-Injected: 1\"; filename=\"f%22%0A.txt\""), std::string::npos);
    EXPECT_EQ(encoded.find("\r\nX-Injected"), std::string::npos);
}

TEST_F(MultipartFormDataTest, UnsafeCallerHeadersAreRecordedAndTheirPartDropped) {
    for (const auto& headers : {HeaderDictionary{{"X-A", "1\r\nX-B: 2"}}, HeaderDictionary{{"X-A\n", "1"}},
                                HeaderDictionary{{"X-A", std::string("1\0", 2)}}}) {
        MultipartFormData form;
        form.appendStream(plat::InputStream::withData(bytes("x")), 1, headers);
        EXPECT_TRUE(form.bodyParts().empty());
        EXPECT_EQ(thrownReason([&] { form.encodeToData(); }), EncodingReason::Case::bodyPartHeaderInvalid);
    }
    MultipartFormData mime;
    mime.appendDataWithMimeType(bytes("x"), "n", "text/plain\r\nX-B: 2");
    EXPECT_EQ(thrownReason([&] { mime.encodeToData(); }), EncodingReason::Case::bodyPartHeaderInvalid);
}

TEST_F(MultipartFormDataTest, AppendsAFileWithItsNameTypeAndSize) {
    const fs::path path = file("photo.png", "PNGDATA");
    MultipartFormData form;
    form.appendFile(url(path), "image");
    ASSERT_EQ(form.bodyParts().size(), 1u);
    EXPECT_EQ(form.bodyParts()[0].bodyContentLength, 7u);
    const std::string b = form.boundary();
    EXPECT_EQ(text(form.encodeToData()),
              "--" + b + "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"photo.png\"\r\n" +
                  "Content-Type: image/png\r\n\r\nPNGDATA\r\n--" + b + "--\r\n");
}

TEST_F(MultipartFormDataTest, MimeTypesOfExtensions) {
    EXPECT_EQ(MultipartFormData::mimeTypeForExtension("json"), "application/json");
    EXPECT_EQ(MultipartFormData::mimeTypeForExtension("png"), "image/png");
    EXPECT_EQ(MultipartFormData::mimeTypeForExtension("unknownext"), "application/octet-stream");
}

TEST_F(MultipartFormDataTest, FileAppendFailuresAreRecordedAndTheFirstWins) {
    struct Case {
        const char* name;
        std::function<plat::URL()> url;
        EncodingReason::Case reason;
    };
    const std::vector<Case> cases = {
        {"no extension", [&] { return url(file("noext", "x")); }, EncodingReason::Case::bodyPartFilenameInvalid},
        {"directory", [&] { return url(dir_ / "sub.d"); }, EncodingReason::Case::bodyPartFileIsDirectory},
        {"web address", [] { return *plat::URL::parse("https://h.test/a.txt"); },
         EncodingReason::Case::bodyPartURLInvalid},
        {"missing file", [&] { return url(dir_ / "missing.txt"); },
         EncodingReason::Case::bodyPartFileNotReachableWithError},
    };
    fs::create_directory(dir_ / "sub.d");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MultipartFormData form;
        form.appendFile(c.url(), "f");
        EXPECT_TRUE(form.bodyParts().empty());
        form.appendData(bytes("later"), "ok");
        EXPECT_EQ(form.bodyParts().size(), 1u);
        EXPECT_EQ(thrownReason([&] { form.encodeToData(); }), c.reason);
    }

    MultipartFormData twice;
    twice.appendFile(url(dir_ / "sub.d"), "dir");
    twice.appendFile(*plat::URL::parse("https://h.test/a.txt"), "web");
    EXPECT_EQ(thrownReason([&] { twice.encodeToData(); }), EncodingReason::Case::bodyPartFileIsDirectory);
    EXPECT_EQ(twice.bodyPartError()->failingFileURL(), url(dir_ / "sub.d"));
}

TEST_F(MultipartFormDataTest, AFileThatVanishesBeforeEncodingIsAnErrorNotAnEmptyPart) {
    const fs::path path = file("gone.txt", "data");
    MultipartFormData form;
    form.appendFile(url(path), "f");
    fs::remove(path);
    EXPECT_EQ(thrownReason([&] { form.encodeToData(); }), EncodingReason::Case::inputStreamReadFailed);
}

TEST_F(MultipartFormDataTest, StreamReadErrorsThrowInputStreamReadFailed) {
    int calls = 0;
    auto failing = plat::InputStream::withCallback([&](uint8_t* buffer, size_t) -> ssize_t {
        if (calls++ == 0) {
            buffer[0] = 'x';
            return 1;
        }
        errno = EIO;
        return -1;
    });
    MultipartFormData form;
    form.appendStream(failing, 2, MultipartFormData::contentHeaders("s", std::nullopt, std::nullopt));
    EXPECT_EQ(thrownReason([&] { form.encodeToData(); }), EncodingReason::Case::inputStreamReadFailed);
}

TEST_F(MultipartFormDataTest, WritesTheSameBytesToANewFile) {
    const fs::path source = file("data.json", "{\"a\":1}");
    std::string boundary;
    auto makeForm = [&] {
        auto form = std::make_unique<MultipartFormData>();
        form->appendData(bytes("abc"), "n");
        form->appendFile(url(source), "doc");
        boundary = form->boundary();
        return form;
    };
    const std::string inMemory = text(makeForm()->encodeToData());
    const std::string memoryBoundary = boundary;
    const fs::path target = dir_ / "body.out";
    makeForm()->writeEncodedDataToFile(url(target));
    std::string written = readFile(target);
    for (std::size_t at = written.find(boundary); at != std::string::npos; at = written.find(boundary, at)) {
        written.replace(at, boundary.size(), memoryBoundary);
    }
    EXPECT_EQ(written, inMemory);
    EXPECT_NE(inMemory.find("\r\n\r\n{\"a\":1}\r\n"), std::string::npos);
}

TEST_F(MultipartFormDataTest, LargeBodiesAreCopiedWhole) {
    std::string big(1024 * 70 + 13, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    const fs::path source = file("big.bin", big);
    MultipartFormData form;
    form.appendFile(url(source), "big");
    const fs::path target = dir_ / "big.out";
    form.writeEncodedDataToFile(url(target));
    const std::string b = form.boundary();
    EXPECT_EQ(readFile(target),
              "--" + b + "\r\nContent-Disposition: form-data; name=\"big\"; filename=\"big.bin\"\r\n" +
                  "Content-Type: application/octet-stream\r\n\r\n" + big + "\r\n--" + b + "--\r\n");
}

TEST_F(MultipartFormDataTest, AnExistingTargetIsNeverTouched) {
    const fs::path target = file("exists.out", "keep me");
    MultipartFormData form;
    form.appendData(bytes("abc"), "n");
    EXPECT_EQ(thrownReason([&] { form.writeEncodedDataToFile(url(target)); }),
              EncodingReason::Case::outputStreamFileAlreadyExists);
    EXPECT_EQ(readFile(target), "keep me");
}

TEST_F(MultipartFormDataTest, WriteChecksComeInOrder) {
    MultipartFormData failed;
    failed.appendFile(url(dir_ / "noext"), "f");
    const fs::path target = dir_ / "never.out";
    EXPECT_EQ(thrownReason([&] { failed.writeEncodedDataToFile(url(target)); }),
              EncodingReason::Case::bodyPartFilenameInvalid);
    EXPECT_FALSE(fs::exists(target));

    MultipartFormData form;
    form.appendData(bytes("abc"), "n");
    EXPECT_EQ(thrownReason([&] { form.writeEncodedDataToFile(*plat::URL::parse("https://h.test/out")); }),
              EncodingReason::Case::outputStreamURLInvalid);
    EXPECT_EQ(thrownReason([&] { form.writeEncodedDataToFile(url(dir_ / "no-such-folder" / "out")); }),
              EncodingReason::Case::outputStreamCreationFailed);
}

TEST_F(MultipartFormDataTest, AShortOrFailedWriteThrowsAndRemovesThePartialFile) {
    struct Case {
        const char* name;
        std::size_t after;
    };
    for (const Case& c :
         {Case{"error at once", 0}, Case{"cut inside a boundary", 10}, Case{"cut inside a body", 200}}) {
        SCOPED_TRACE(c.name);
        plat::sim::Faults::reset();
        const fs::path target = dir_ / (std::string("short-") + std::to_string(c.after) + ".out");
        plat::sim::Faults::failStreamWriteAfter(target.string(), c.after, ENOSPC);
        MultipartFormData form;
        form.appendData(plat::Data(4096, 'x'), "payload");
        try {
            form.writeEncodedDataToFile(url(target));
            FAIL() << "a truncated body must not pass as written";
        } catch (const ZVError& e) {
            ASSERT_NE(e.multipartEncodingReason(), nullptr);
            EXPECT_EQ(e.multipartEncodingReason()->kase(), EncodingReason::Case::outputStreamWriteFailed);
            ASSERT_NE(e.wrappedError(), nullptr);
        }
        EXPECT_FALSE(fs::exists(target));
    }
}

} // namespace
} // namespace Zavorida
