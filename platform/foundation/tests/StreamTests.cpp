#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Stream.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace plat;
using plat::sim::Faults;

namespace {

std::string drain(InputStream& in, size_t chunk = 3) {
    std::string out;
    std::vector<uint8_t> buffer(chunk);
    while (true) {
        ssize_t n = in.read(buffer.data(), buffer.size());
        if (n <= 0)
            break;
        out.append(buffer.begin(), buffer.begin() + n);
    }
    return out;
}

ssize_t writeText(OutputStream& out, std::string_view s) {
    return out.write(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(StreamTest, MemoryInputWalksThroughItsStates) {
    auto in = InputStream::withData(Data{'h', 'e', 'l', 'l', 'o'});
    uint8_t b[4];
    EXPECT_EQ(in->streamStatus(), StreamStatus::NotOpen);
    EXPECT_EQ(in->read(b, sizeof b), -1);
    std::vector<unsigned> events;
    in->setDelegate([&](Stream&, StreamEvent e) { events.push_back(e); });
    in->open();
    EXPECT_EQ(in->streamStatus(), StreamStatus::Open);
    EXPECT_TRUE(in->hasBytesAvailable());
    EXPECT_EQ(drain(*in), "hello");
    EXPECT_EQ(in->streamStatus(), StreamStatus::AtEnd);
    EXPECT_FALSE(in->hasBytesAvailable());
    EXPECT_EQ(in->read(b, sizeof b), 0);
    EXPECT_EQ(events, (std::vector<unsigned>{StreamEventOpenCompleted | StreamEventHasBytesAvailable,
                                             StreamEventEndEncountered}));
    in->close();
    EXPECT_EQ(in->streamStatus(), StreamStatus::Closed);
    EXPECT_EQ(in->read(b, sizeof b), -1);
}

TEST(StreamTest, CallbackInputReportsItsErrors) {
    int calls = 0;
    auto in = InputStream::withCallback([&](uint8_t* buf, size_t) -> ssize_t {
        if (++calls == 1) {
            buf[0] = 'x';
            return 1;
        }
        errno = ECONNRESET;
        return -1;
    });
    in->open();
    uint8_t b[8];
    EXPECT_EQ(in->read(b, sizeof b), 1);
    EXPECT_EQ(in->read(b, sizeof b), -1);
    EXPECT_EQ(in->streamStatus(), StreamStatus::Error);
    ASSERT_TRUE(in->streamError());
    EXPECT_TRUE(in->streamError()->is(NSPOSIXErrorDomain, ECONNRESET));
}

class FileStreamTest : public ::testing::Test {
protected:
    test::TempAppHome home;
    std::string path = AppHome::documents() + "/stream.bin";
};

TEST_F(FileStreamTest, FileRoundTripAndAppend) {
    auto out = OutputStream::toFile(path, false);
    out->open();
    ASSERT_EQ(out->streamStatus(), StreamStatus::Open);
    EXPECT_TRUE(out->hasSpaceAvailable());
    EXPECT_EQ(writeText(*out, "abc"), 3);
    out->close();
    auto more = OutputStream::toFile(path, true);
    more->open();
    EXPECT_EQ(writeText(*more, "def"), 3);
    more->close();
    auto in = InputStream::withFile(path);
    in->open();
    EXPECT_EQ(drain(*in, 2), "abcdef");

    auto replace = OutputStream::toFile(path, false);
    replace->open();
    writeText(*replace, "Z");
    replace->close();
    auto again = InputStream::withFile(path);
    again->open();
    EXPECT_EQ(drain(*again), "Z");
}

TEST_F(FileStreamTest, OpenFailuresSurfaceAsStreamErrors) {
    auto in = InputStream::withFile(AppHome::documents() + "/missing");
    in->open();
    EXPECT_EQ(in->streamStatus(), StreamStatus::Error);
    ASSERT_TRUE(in->streamError());
    EXPECT_EQ(in->streamError()->code, ENOENT);
    auto out = OutputStream::toFile(AppHome::documents() + "/no/such/folder", false);
    out->open();
    EXPECT_EQ(out->streamStatus(), StreamStatus::Error);
    EXPECT_EQ(writeText(*out, "x"), -1);
}

TEST_F(FileStreamTest, InjectedShortWriteThenError) {
    Faults::failStreamWriteAfter("stream.bin", 5, ENOSPC);
    auto out = OutputStream::toFile(path, false);
    std::vector<unsigned> events;
    out->setDelegate([&](Stream&, StreamEvent e) { events.push_back(e); });
    out->open();
    EXPECT_EQ(writeText(*out, "abc"), 3);
    EXPECT_EQ(writeText(*out, "defg"), 2); // cut short at the limit
    EXPECT_EQ(writeText(*out, "h"), -1);
    EXPECT_EQ(out->streamStatus(), StreamStatus::Error);
    EXPECT_TRUE(out->streamError()->is(NSPOSIXErrorDomain, ENOSPC));
    EXPECT_EQ(events.back(), StreamEventErrorOccurred);
    EXPECT_EQ(out->bytesWritten(), 5u);
    auto in = InputStream::withFile(path);
    in->open();
    EXPECT_EQ(drain(*in), "abcde");
}

TEST(StreamTest, MemoryOutputCollectsAndCanBeFailed) {
    auto out = OutputStream::toMemory();
    out->open();
    EXPECT_EQ(writeText(*out, "12"), 2);
    EXPECT_EQ(writeText(*out, ""), 0);
    EXPECT_EQ(out->dataWrittenToMemory(), (Data{'1', '2'}));
    Faults::fail("stream.write", "memory", EPIPE);
    EXPECT_EQ(writeText(*out, "3"), -1);
    EXPECT_EQ(out->streamError()->code, EPIPE);
    EXPECT_EQ(out->dataWrittenToMemory(), (Data{'1', '2'}));
}

} // namespace
