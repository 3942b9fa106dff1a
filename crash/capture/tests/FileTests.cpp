// Record files: the writer's exact bytes, its buffering and retrying write, escaping of plain strings, and
// the reader's line-by-line recovery.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "crash/capture/VZRFile.hpp"

#include "platform/foundation/Faults.hpp"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using crashtest::CrashContextTest;
using crashtest::readFile;

class RecordFileTest : public ::testing::Test {
protected:
    void SetUp() override { file = home.root() + "/test.vzrrecord"; }
    void TearDown() override { VZRFileSetWriteFunctionForTesting(nullptr); }

    // The bytes that `write` leaves in a fresh file through an unbuffered writer.
    std::string written(const std::function<void(VZRFile*)>& write) {
        ::unlink(file.c_str());
        VZRFile f;
        EXPECT_TRUE(VZRFileInitWithPath(&f, file.c_str(), false));
        write(&f);
        EXPECT_TRUE(VZRFileClose(&f));
        return readFile(file);
    }

    plat::test::TempAppHome home;
    std::string file;
};

TEST_F(RecordFileTest, SectionWithHexAndNullValues) {
    const std::string out = written([](VZRFile* f) {
        VZRFileBeginSection(f, "kv");
        VZRFileBeginObject(f);
        VZRFileWriteHexField(f, "key", "a\"b", 3);
        VZRFileWriteHexField(f, "value", nullptr, 0);
        VZRFileEndObject(f);
        VZRFileEndSection(f);
    });
    EXPECT_EQ(out, "{\"kv\":{\"key\":\"612262\",\"value\":null}}\n");
}

TEST_F(RecordFileTest, NestingCommasAndNumbers) {
    struct Case {
        const char* name;
        std::function<void(VZRFile*)> write;
        std::string expected;
    };
    const Case cases[] = {
        {"numbers",
         [](VZRFile* f) {
             VZRFileBeginSection(f, "n");
             VZRFileBeginObject(f);
             VZRFileWriteUnsignedField(f, "zero", 0);
             VZRFileWriteUnsignedField(f, "max", UINT64_MAX);
             VZRFileWriteSignedField(f, "neg", -42);
             VZRFileWriteSignedField(f, "min", INT64_MIN);
             VZRFileWriteSignedField(f, "pos", 7);
             VZRFileWriteBoolField(f, "yes", true);
             VZRFileWriteBoolField(f, "no", false);
             VZRFileEndObject(f);
             VZRFileEndSection(f);
         },
         "{\"n\":{\"zero\":0,\"max\":18446744073709551615,\"neg\":-42,\"min\":-9223372036854775808,\"pos\":7,"
         "\"yes\":true,\"no\":false}}\n"},
        {"nested arrays and objects",
         [](VZRFile* f) {
             VZRFileBeginSection(f, "threads");
             VZRFileBeginArray(f);
             for (int i = 0; i < 2; ++i) {
                 VZRFileBeginObject(f);
                 VZRFileWriteKey(f, "stacktrace");
                 VZRFileBeginArray(f);
                 VZRFileAppendUnsigned(f, 10 + i);
                 VZRFileAppendUnsigned(f, 20 + i);
                 VZRFileEndArray(f);
                 VZRFileWriteBoolField(f, "crashed", i == 1);
                 VZRFileEndObject(f);
             }
             VZRFileEndArray(f);
             VZRFileEndSection(f);
             VZRFileBeginSection(f, "names");
             VZRFileBeginArray(f);
             VZRFileAppendString(f, "main");
             VZRFileAppendString(f, nullptr);
             VZRFileAppendHex(f, "\x01\xff", 2);
             VZRFileEndArray(f);
             VZRFileEndSection(f);
         },
         "{\"threads\":[{\"stacktrace\":[10,20],\"crashed\":false},{\"stacktrace\":[11,21],\"crashed\":true}]}\n"
         "{\"names\":[\"main\",null,\"01ff\"]}\n"},
        {"empty text is written, empty NSString fields are not",
         [](VZRFile* f) {
             VZRFileBeginSection(f, "s");
             VZRFileBeginObject(f);
             VZRFileWriteNSStringField(f, "skipped", "");
             VZRFileWriteStringField(f, "empty", "");
             VZRFileWriteNSStringField(f, "kept", "v");
             VZRFileWriteHexField(f, "nohex", "", 0);
             VZRFileEndObject(f);
             VZRFileEndSection(f);
         },
         "{\"s\":{\"empty\":\"\",\"kept\":\"v\",\"nohex\":\"\"}}\n"},
    };
    for (const Case& c : cases) {
        const std::string out = written(c.write);
        EXPECT_EQ(out, c.expected) << c.name;
        EXPECT_TRUE(nlohmann::json::accept(out.substr(0, out.find('\n')))) << c.name;
    }
}

TEST_F(RecordFileTest, HexStringsLongerThanOneChunkAreWrittenWhole) {
    std::string bytes(100, '\0');
    std::string hex;
    for (int i = 0; i < 100; ++i) {
        bytes[i] = static_cast<char>(i * 7);
        const char* digits = "0123456789abcdef";
        hex += digits[(i * 7 & 0xff) >> 4];
        hex += digits[i * 7 & 0x0f];
    }
    const std::string out = written([&](VZRFile* f) {
        VZRFileBeginSection(f, "h");
        VZRFileBeginObject(f);
        VZRFileWriteHexField(f, "v", bytes.data(), bytes.size());
        VZRFileEndObject(f);
        VZRFileEndSection(f);
    });
    EXPECT_EQ(out, "{\"h\":{\"v\":\"" + hex + "\"}}\n");
    EXPECT_FALSE(VZRFileDecodeHexString(hex)) << "the bytes are not UTF-8";
}

TEST_F(RecordFileTest, PlainStringsSurviveQuotesBackslashesAndControlBytes) {
    const std::vector<std::string> values = {
        "a\"b",          "back\\slash",  "line\nbreak",       std::string("\x01 start", 7),
        "short",         "tab\tand\r",   "ends with quote\"", "a longer value without anything special",
        "caf\xc3\xa9 ok", "\xe2\x82\xac", "",
    };
    for (const std::string& value : values) {
        const std::string out = written([&](VZRFile* f) {
            VZRFileBeginSection(f, "s");
            VZRFileBeginObject(f);
            VZRFileWriteStringField(f, "v", value.c_str());
            VZRFileWriteStringField(f, value.c_str(), "as key");
            VZRFileEndObject(f);
            VZRFileEndSection(f);
        });
        ASSERT_EQ(out.back(), '\n');
        ASSERT_EQ(out.find('\n'), out.size() - 1) << "the value broke its line";
        const auto parsed = nlohmann::json::parse(out);
        EXPECT_EQ(parsed["s"]["v"], value);
        EXPECT_EQ(parsed["s"][value], "as key");
    }
}

TEST_F(RecordFileTest, BytesThatAreNotUtf8BecomeTheirCodePointsOnALineThatParses) {
    const std::string out = written([](VZRFile* f) {
        VZRFileBeginSection(f, "s");
        VZRFileBeginObject(f);
        VZRFileWriteStringField(f, "lone", "x\xc3");
        VZRFileWriteStringField(f, "cut", "\xe2\x82 and \xff\xfe");
        VZRFileWriteStringField(f, "surrogate", "\xed\xa0\x80");
        VZRFileEndObject(f);
        VZRFileEndSection(f);
    });
    EXPECT_NE(out.find("\"x\\u00c3\""), std::string::npos) << out;
    const auto parsed = nlohmann::json::parse(out);
    EXPECT_EQ(parsed["s"]["lone"], "x\xc3\x83"); // U+00C3
    EXPECT_EQ(parsed["s"]["cut"], "\xc3\xa2\xc2\x82 and \xc3\xbf\xc3\xbe");
    EXPECT_EQ(parsed["s"]["surrogate"], "\xc3\xad\xc2\xa0\xc2\x80");
}

std::vector<size_t> writeCalls;

ssize_t countingWrite(int fd, const void* bytes, size_t length) {
    writeCalls.push_back(length);
    return ::write(fd, bytes, length);
}

ssize_t oneByteWrite(int fd, const void* bytes, size_t) {
    writeCalls.push_back(1);
    return ::write(fd, bytes, 1);
}

TEST_F(RecordFileTest, BufferedWriterFlushesOneByteShortOfItsSizeAndTheRestAtClose) {
    VZRFileSetWriteFunctionForTesting(&countingWrite);
    writeCalls.clear();
    VZRFile f;
    ASSERT_TRUE(VZRFileInitWithPath(&f, file.c_str(), true));
    constexpr size_t piece = kVZRFileBufferSize - 1;
    const std::string payload(2 * piece + 502, 'x');
    VZRFileWriteBytes(&f, payload.data(), payload.size());
    EXPECT_EQ(writeCalls, (std::vector<size_t>{piece, piece}));
    EXPECT_EQ(f.bufferCount, 502u);
    uint64_t total = 0;
    ASSERT_TRUE(VZRFileCloseWithOffset(&f, &total));
    EXPECT_EQ(writeCalls, (std::vector<size_t>{piece, piece, 502}));
    EXPECT_EQ(total, payload.size());
    EXPECT_EQ(readFile(file), payload);
    EXPECT_EQ(f.fd, -1);
}

// Hex digits go straight into the buffer; a field longer than the buffer must come out whole and in order,
// whatever the buffer held before it.
TEST_F(RecordFileTest, BufferedHexFieldsLongerThanTheBufferMatchTheUnbufferedBytes) {
    std::string bytes(kVZRFileBufferSize + 777, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 37 + 11);
    auto write = [&](const std::string& path, bool buffered, size_t prefix) {
        VZRFile f;
        EXPECT_TRUE(VZRFileInitWithPath(&f, path.c_str(), buffered));
        const std::string filler(prefix, 'p');
        VZRFileBeginSection(&f, "log");
        VZRFileWriteStringField(&f, "pad", filler.c_str());
        VZRFileWriteHexField(&f, "msg", bytes.data(), bytes.size());
        VZRFileEndSection(&f);
        EXPECT_TRUE(VZRFileClose(&f));
        return readFile(path);
    };
    for (size_t prefix : {size_t{0}, size_t{1}, kVZRFileBufferSize - 30, kVZRFileBufferSize - 29}) {
        SCOPED_TRACE(prefix);
        const std::string plain = write(file + ".plain", false, prefix);
        EXPECT_EQ(write(file, true, prefix), plain);
        ::unlink(file.c_str());
        ::unlink((file + ".plain").c_str());
    }
}

TEST_F(RecordFileTest, RetryingWriteTakesShortWritesButGivesUpAfterFiftyCalls) {
    VZRFileSetWriteFunctionForTesting(&oneByteWrite);
    VZRFile f;
    ASSERT_TRUE(VZRFileInitWithPath(&f, file.c_str(), false));
    writeCalls.clear();
    const std::string fits(50, 'a');
    VZRFileWriteBytes(&f, fits.data(), fits.size());
    EXPECT_EQ(writeCalls.size(), 50u);
    EXPECT_EQ(f.totalBytes, 50u);

    writeCalls.clear();
    const std::string tooLong(51, 'b');
    VZRFileWriteBytes(&f, tooLong.data(), tooLong.size());
    EXPECT_EQ(writeCalls.size(), 50u);
    EXPECT_EQ(f.totalBytes, 50u) << "an incomplete write does not count";

    // Later writes still go out.
    VZRFileWriteBytes(&f, "c", 1);
    uint64_t total = 0;
    ASSERT_TRUE(VZRFileCloseWithOffset(&f, &total));
    EXPECT_EQ(total, 51u);
    EXPECT_EQ(readFile(file), fits + std::string(50, 'b') + "c");
}

ssize_t failingWrite(int, const void*, size_t) {
    errno = EIO;
    return -1;
}

TEST_F(RecordFileTest, FailedWritesAreNotCounted) {
    VZRFileSetWriteFunctionForTesting(&failingWrite);
    VZRFile f;
    ASSERT_TRUE(VZRFileInitWithPath(&f, file.c_str(), false));
    VZRFileBeginSection(&f, "x");
    uint64_t total = 1;
    EXPECT_TRUE(VZRFileCloseWithOffset(&f, &total));
    EXPECT_EQ(total, 0u);
}

TEST_F(RecordFileTest, AppendStartsTheTotalAtTheFileSizeTruncateAtZero) {
    ASSERT_TRUE(plat::writeData(file, plat::Data{'{', '}', '\n'}));
    VZRFile f;
    ASSERT_TRUE(VZRFileInitWithPathMode(&f, file.c_str(), true, false));
    EXPECT_EQ(f.totalBytes, 3u);
    VZRFileWriteBytes(&f, "ab", 2);
    uint64_t total = 0;
    ASSERT_TRUE(VZRFileCloseWithOffset(&f, &total));
    EXPECT_EQ(total, 5u);
    EXPECT_EQ(readFile(file), "{}\nab");

    ASSERT_TRUE(VZRFileInitWithPathMode(&f, file.c_str(), false, true));
    EXPECT_EQ(f.totalBytes, 0u);
    VZRFileWriteBytes(&f, "z", 1);
    ASSERT_TRUE(VZRFileCloseWithOffset(&f, &total));
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(readFile(file), "z");
}

TEST_F(CrashContextTest, OpenFailuresAreLoggedAndLeaveTheWriterClosed) {
    ASSERT_TRUE(initialize());
    VZRFile f;
    EXPECT_FALSE(VZRFileInitWithPath(&f, (directory + "/missing/x.vzrrecord").c_str(), false));
    EXPECT_FALSE(VZRFileIsOpen(&f));
    EXPECT_FALSE(VZRFileInitWithPath(&f, nullptr, false));
    EXPECT_FALSE(VZRFileInitWithPath(nullptr, path("x").c_str(), false));
    VZRFileBeginSection(&f, "ignored"); // a closed writer writes nothing and does not fault
    const std::string log = sdkLog();
    EXPECT_NE(log.find("] Error: Unable to open file No such file or directory\n"), std::string::npos) << log;
    const std::string invalid = "] Error: file descriptor invalid\n";
    EXPECT_NE(log.find(invalid), log.rfind(invalid)) << "once for each failed open";
    EXPECT_NE(log.find("WARN  [VZRFileInitWithPathMode:"), std::string::npos);
    EXPECT_NE(log.find("] Error: file is null\n"), std::string::npos);
}

class RecordReaderTest : public RecordFileTest {
protected:
    void put(std::string_view text) { ASSERT_TRUE(plat::writeData(file, plat::Data(text.begin(), text.end()))); }
};

TEST_F(RecordReaderTest, ACutLastLineCostsOnlyThatLine) {
    put("{\"a\":{\"L\":1}}\n{\"b\":{\"L\":");
    const auto sections = VZRFileReadSections(file.c_str(), false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 1u);
    EXPECT_EQ((*sections)[0].find("a")->find("L")->integerValue(), 1);
}

TEST_F(RecordReaderTest, LinesThatAreNotUtf8OrNotJsonAreSkippedAlone) {
    put("{\"a\":{}}\n{\"b\":{\"v\":\"\xc3\"}}\nnot json\n\n{\"c\":{}}\n[1]\n\"fragment\"\n");
    const auto sections = VZRFileReadSections(file.c_str(), true);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 3u);
    EXPECT_TRUE((*sections)[0].contains("a"));
    EXPECT_TRUE((*sections)[1].contains("c"));
    EXPECT_TRUE((*sections)[2].isArray());
    EXPECT_TRUE(crashtest::exists(file)) << "a readable file is never deleted";
}

TEST_F(RecordReaderTest, AnUnreadableFileIsDeletedWhenAskedAndGivesNone) {
    put("{\"a\":{}}\n");
    plat::sim::Faults::fail("file.read", file, EIO);
    EXPECT_FALSE(VZRFileReadSections(file.c_str(), false));
    EXPECT_TRUE(crashtest::exists(file));
    plat::sim::Faults::fail("file.read", file, EIO);
    EXPECT_FALSE(VZRFileReadSections(file.c_str(), true));
    EXPECT_FALSE(crashtest::exists(file));
    EXPECT_FALSE(VZRFileReadSections(file.c_str(), false)) << "missing";
    EXPECT_FALSE(VZRFileReadSections(nullptr, false));
}

TEST_F(RecordReaderTest, TheMapKeepsItsAnswersAndDropsNone) {
    put("{\"a\":{\"n\":1}}\n{\"b\":{\"n\":2}}\n{\"a\":{\"n\":3}}\n");
    const auto sections = VZRFileReadSections(file.c_str(), false, [](const plat::Value& v) -> std::optional<plat::Value> {
        if (const plat::Value* a = v.find("a"))
            return *a->find("n");
        return std::nullopt;
    });
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 2u);
    EXPECT_EQ((*sections)[0].integerValue(), 1);
    EXPECT_EQ((*sections)[1].integerValue(), 3);
}

TEST_F(RecordReaderTest, WhatTheWriterWritesTheReaderReadsBack) {
    VZRFile f;
    ASSERT_TRUE(VZRFileInitWithPath(&f, file.c_str(), true));
    const std::string name = "queue \"main\"\n\x01";
    for (int i = 0; i < 300; ++i) {
        VZRFileBeginSection(&f, "log");
        VZRFileBeginObject(&f);
        VZRFileWriteUnsignedField(&f, "time", static_cast<uint64_t>(i));
        VZRFileWriteStringField(&f, "name", name.c_str());
        VZRFileWriteHexField(&f, "msg", name.data(), name.size());
        VZRFileEndObject(&f);
        VZRFileEndSection(&f);
    }
    ASSERT_TRUE(VZRFileClose(&f));
    const auto sections = VZRFileReadSections(file.c_str(), false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 300u);
    const plat::Value& last = *(*sections)[299].find("log");
    EXPECT_EQ(last.find("time")->integerValue(), 299);
    EXPECT_EQ(last.find("name")->stringValue(), name);
    EXPECT_EQ(VZRFileDecodeHexString(last.find("msg")->stringValue()), name);
}

TEST(HexDecoding, PairsUpToTheFirstNonHexPair) {
    const struct {
        const char* text;
        std::optional<std::string> expected;
    } cases[] = {
        {"616263", "abc"}, {"", ""},       {"4A4b", "JK"},   {"616", "a"},     {"6", ""},
        {"61zz62", "a"},   {"6z61", ""},   {"zz", ""},       {"c3a9", "\xc3\xa9"},
        {"c3", std::nullopt}, {"ff61", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VZRFileDecodeHexString(c.text), c.expected) << c.text;
}

} // namespace
