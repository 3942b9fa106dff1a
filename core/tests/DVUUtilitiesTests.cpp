// The small utilities: gzip and inflate against zlib's own streams, the queue-guarded dictionary and the
// environment facts.

#include "core/DVUAppEnvironmentUtil.hpp"
#include "core/DVUGzip.hpp"
#include "core/DVUMutableDictionary.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/Random.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

plat::Data bytes(std::string_view s) {
    return plat::Data(s.begin(), s.end());
}

plat::Data zlibCompress(const plat::Data& in, int windowBits) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY), Z_OK);
    plat::Data out(deflateBound(&stream, in.size()) + 64);
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

TEST(GzipTest, EmptyInputGivesNothingAndNoError) {
    plat::Error error("untouched", 7);
    EXPECT_FALSE(dvu_dataByGzippingData({}, &error));
    EXPECT_FALSE(dvu_dataByInflatingGzippedData({}, &error));
    EXPECT_EQ(error.domain, "untouched");
    EXPECT_FALSE(dvu_dataByGzippingData({}, nullptr));
}

TEST(GzipTest, LargeRandomDataRoundTripsThroughAGzipStreamZlibAccepts) {
    plat::Random::seed(19);
    auto input = plat::Random::bytes(100 * 1024).value();
    auto zipped = dvu_dataByGzippingData(input);
    ASSERT_TRUE(zipped);
    ASSERT_GT(zipped->size(), 1024u); // assembled from many output chunks
    EXPECT_EQ((*zipped)[0], 0x1f);
    EXPECT_EQ((*zipped)[1], 0x8b);

    // zlib's own gzip reader takes it.
    plat::Data check(input.size());
    z_stream stream{};
    ASSERT_EQ(inflateInit2(&stream, 31), Z_OK);
    stream.next_in = zipped->data();
    stream.avail_in = static_cast<uInt>(zipped->size());
    stream.next_out = check.data();
    stream.avail_out = static_cast<uInt>(check.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    inflateEnd(&stream);
    EXPECT_EQ(check, input);

    EXPECT_EQ(dvu_dataByInflatingGzippedData(*zipped), input);
}

TEST(GzipTest, InflateAcceptsZlibWrappedAndGzipStreamsOfOtherWriters) {
    const plat::Data text = bytes(std::string(5000, 'a') + "tail");
    EXPECT_EQ(dvu_dataByInflatingGzippedData(zlibCompress(text, 15)), text);
    EXPECT_EQ(dvu_dataByInflatingGzippedData(zlibCompress(text, 31)), text);
}

TEST(GzipTest, TrailingBytesAreReportedWithTheirCount) {
    auto zipped = dvu_dataByGzippingData(bytes("abc"));
    ASSERT_TRUE(zipped);
    zipped->insert(zipped->end(), {'x', 'y', 'z'});
    plat::Error error;
    EXPECT_FALSE(dvu_dataByInflatingGzippedData(*zipped, &error));
    EXPECT_EQ(error.domain, "com.razoza.DVUNSDataZlibErrorDomain");
    EXPECT_EQ(error.code, 1026);
    EXPECT_EQ(error.userInfo["DVUNSDataZlibRemainingBytesKey"].integerValue(), 3);
}

TEST(GzipTest, BrokenStreamsFailWithZlibsCodeAndMessage) {
    auto zipped = dvu_dataByGzippingData(bytes(std::string(3000, 'q')));
    ASSERT_TRUE(zipped);
    const plat::Data truncated(zipped->begin(), zipped->begin() + static_cast<long>(zipped->size() / 2));
    struct Case {
        const char* name;
        plat::Data input;
        int zlibCode;
    };
    const Case cases[] = {
        {"garbage", bytes("this is not compressed at all"), Z_DATA_ERROR},
        {"truncated", truncated, Z_BUF_ERROR},
    };
    for (const auto& c : cases) {
        plat::Error error;
        EXPECT_FALSE(dvu_dataByInflatingGzippedData(c.input, &error)) << c.name;
        EXPECT_EQ(error.code, 1025) << c.name;
        EXPECT_EQ(error.userInfo["DVUNSDataZlibErrorKey"].integerValue(), c.zlibCode) << c.name;
    }
    plat::Error error;
    (void)dvu_dataByInflatingGzippedData(bytes("this is not compressed at all"), &error);
    EXPECT_FALSE(error.userInfo[plat::NSLocalizedDescriptionKey].stringValue().empty());
}

TEST(GzipTest, ABombStopsAtTheLimit) {
    // 1 GB of zeros, compressed by streaming so the test never holds it.
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    const plat::Data zeros(1 << 20, 0);
    plat::Data bomb;
    std::vector<uint8_t> chunk(1 << 16);
    for (int i = 0; i < 1024; ++i) {
        stream.next_in = const_cast<Bytef*>(zeros.data());
        stream.avail_in = static_cast<uInt>(zeros.size());
        const int flush = i == 1023 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = chunk.data();
            stream.avail_out = static_cast<uInt>(chunk.size());
            deflate(&stream, flush);
            bomb.insert(bomb.end(), chunk.data(), stream.next_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    ASSERT_LT(bomb.size(), 2u << 20);

    plat::Error error;
    EXPECT_FALSE(dvu_dataByInflatingGzippedData(bomb, &error));
    EXPECT_EQ(error.code, 1025);
    EXPECT_EQ(error.userInfo["DVUNSDataZlibErrorKey"].integerValue(), Z_MEM_ERROR);

    // A limit the data fits in lets it through.
    auto small = dvu_dataByGzippingData(plat::Data(4096, 0));
    ASSERT_TRUE(small);
    EXPECT_FALSE(dvu_dataByInflatingGzippedData(*small, nullptr, 4095));
    EXPECT_EQ(dvu_dataByInflatingGzippedData(*small, nullptr, 4096), plat::Data(4096, 0));
}

TEST(MutableDictionaryTest, WritesAreSeenByLaterReadsAndNullRemoves) {
    DVUMutableDictionary d;
    d.setObject(plat::Value("one"), "a");
    EXPECT_EQ(d.count(), 1u);
    EXPECT_EQ(d["a"], plat::Value("one"));
    d.setObject(plat::Value(2), "b");
    d.setObject(plat::Value(), "a");
    EXPECT_FALSE(d.objectForKey("a"));
    EXPECT_EQ(d.dictionary(), (plat::Dictionary{{"b", plat::Value(2)}}));
    d.removeObjectForKey("b");
    d.setObject(plat::Value(3), "c");
    d.removeAllObjects();
    EXPECT_EQ(d.count(), 0u);
}

TEST(EnvironmentTest, AppExtensionIsTheCaseSensitiveSuffix) {
    plat::test::TempAppHome home;
    for (auto [folder, expected] : {std::pair{"Share.appex", true}, {"Share.APPEX", false}, {"Portal.app", false}}) {
        plat::test::FixtureBundle(home.root() + "/" + folder, {}).makeMain();
        EXPECT_EQ(DVUAppEnvironmentUtil::isAppExtension(), expected) << folder;
    }
    plat::sim::Process::setOperatingSystemVersion({11, 2, 0});
    EXPECT_EQ(DVUAppEnvironmentUtil::systemVersion(), "11.2");
    EXPECT_TRUE(DVUAppEnvironmentUtil::deviceModel());
}

} // namespace
