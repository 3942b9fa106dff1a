// The measurement back end's own reading of uploads (headers, gzip, the wire format, bodies that are no
// batch) and its configuration answers, default and scripted.

#include "devserver/MeasurementRoutes.hpp"

#include "devserver/tests/GzipTestSupport.hpp"

#include <gtest/gtest.h>

namespace {

using devserver::MeasurementService;
using devserver::RecordedRequest;
using devserver::Reply;


// Wire bytes written by hand, field by field.
std::string measurementTestVarint(uint64_t value) {
    std::string out;
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
    return out;
}
std::string measurementTestInt(uint32_t tag, int64_t value) {
    return measurementTestVarint(uint64_t{tag} << 3) + measurementTestVarint(static_cast<uint64_t>(value));
}
std::string measurementTestLen(uint32_t tag, const std::string& bytes) {
    return measurementTestVarint((uint64_t{tag} << 3) | 2) + measurementTestVarint(bytes.size()) + bytes;
}

std::string measurementTestBatch() {
    const std::string param = measurementTestLen(1, "_o") + measurementTestLen(2, "auto");
    const std::string negative = measurementTestLen(1, "delta") + measurementTestInt(3, -5);
    const std::string event = measurementTestLen(1, param) + measurementTestLen(1, negative) +
                              measurementTestLen(2, "_f") + measurementTestInt(3, 1704103200000);
    const std::string attribute =
        measurementTestInt(1, 1704103200000) + measurementTestLen(2, "_fot") + measurementTestInt(4, 1704106800000);
    const std::string bundle = measurementTestInt(1, 1) + measurementTestLen(2, event) +
                               measurementTestLen(3, attribute) + measurementTestLen(8, "ios") +
                               measurementTestInt(23, 1) + measurementTestLen(29, "") + measurementTestInt(35, 7);
    return measurementTestLen(1, bundle) + measurementTestLen(1, bundle);
}

RecordedRequest measurementTestUpload(std::string body, std::string encoding = "gzip",
                                      std::string type = "application/x-www-form-urlencoded") {
    RecordedRequest request;
    request.method = "POST";
    request.host = devserver::kMeasurementHost;
    request.path = devserver::kMeasurementUploadPath;
    request.headers = {{"content-encoding", std::move(encoding)}, {"content-type", std::move(type)}};
    request.body = std::move(body);
    return request;
}

TEST(MeasurementRoutesTest, AnUploadIsReadWithTheBackEndsOwnReader) {
    const auto upload = devserver::decodeMeasurementUpload(measurementTestUpload(devserver::test::gzipForTest(measurementTestBatch())));
    ASSERT_TRUE(upload.problem.empty()) << upload.problem;
    ASSERT_EQ(upload.bundles.size(), 2u);
    const auto& bundle = upload.bundles[0];
    EXPECT_EQ(bundle.intTag(1), 1);
    EXPECT_EQ(bundle.textTag(8), "ios");
    EXPECT_EQ(bundle.intTag(23), 1);
    EXPECT_EQ(bundle.intTag(35), 7);
    EXPECT_EQ(bundle.audienceResults, 1u);
    EXPECT_EQ(bundle.eventNames(), std::vector<std::string>{"_f"});
    EXPECT_EQ(bundle.events[0].timestampMillis, 1704103200000);
    EXPECT_EQ(bundle.events[0].param("_o")->stringValue, "auto");
    EXPECT_EQ(bundle.events[0].param("delta")->intValue, -5);
    ASSERT_TRUE(bundle.attribute("_fot"));
    EXPECT_EQ(bundle.attribute("_fot")->intValue, 1704106800000);
}

// Audience results in both wire forms of a repeated integer: one field per word, or packed.
TEST(MeasurementRoutesTest, AudienceResultsAreReadWithTheirBitsWordsAndFlags) {
    const std::string current = measurementTestInt(1, 1) + measurementTestInt(1, 1) + measurementTestInt(2, 1) +
                                measurementTestInt(2, 1);
    const std::string packedPrevious =
        measurementTestLen(1, measurementTestVarint(3)) + measurementTestLen(2, measurementTestVarint(2));
    const std::string fresh = measurementTestInt(1, 4) + measurementTestLen(2, current) + measurementTestInt(4, 1);
    const std::string known = measurementTestInt(1, 5) + measurementTestLen(2, current) +
                              measurementTestLen(3, packedPrevious) + measurementTestInt(4, 0);
    const std::string bundle =
        measurementTestInt(1, 1) + measurementTestLen(29, fresh) + measurementTestLen(29, known);
    const auto upload = devserver::decodeMeasurementUpload(
        measurementTestUpload(devserver::test::gzipForTest(measurementTestLen(1, bundle))));
    ASSERT_TRUE(upload.problem.empty()) << upload.problem;
    const auto& audiences = upload.bundles.at(0).audiences;
    ASSERT_EQ(audiences.size(), 2u);
    EXPECT_EQ(upload.bundles[0].audienceResults, 2u);
    EXPECT_EQ(audiences[0].audienceID, 4);
    EXPECT_EQ(audiences[0].newAudience, true);
    ASSERT_TRUE(audiences[0].current);
    EXPECT_FALSE(audiences[0].previous);
    // Word 1 holds filter 64; filter 1 was never evaluated.
    EXPECT_EQ(audiences[0].current->status, (std::vector<uint64_t>{1, 1}));
    EXPECT_TRUE(audiences[0].current->evaluatedTrue(0));
    EXPECT_TRUE(audiences[0].current->evaluatedTrue(64));
    EXPECT_FALSE(audiences[0].current->evaluatedTrue(1));
    EXPECT_FALSE(audiences[0].current->evaluatedTrue(128));
    EXPECT_EQ(audiences[1].newAudience, false);
    ASSERT_TRUE(audiences[1].previous);
    EXPECT_FALSE(audiences[1].previous->evaluatedTrue(0));
    EXPECT_TRUE(audiences[1].previous->evaluatedTrue(1));

    const std::string brokenPacked = measurementTestInt(1, 4) + measurementTestLen(2, measurementTestLen(1, "\x80"));
    EXPECT_EQ(devserver::decodeMeasurementUpload(
                  measurementTestUpload(devserver::test::gzipForTest(measurementTestLen(
                      1, measurementTestInt(1, 1) + measurementTestLen(29, brokenPacked)))))
                  .problem,
              "the body is no measurement batch");
}

TEST(MeasurementRoutesTest, UploadsThatAreNoBatchAreRecordedAsSuchAndRefused) {
    std::string truncated = measurementTestBatch();
    truncated.resize(truncated.size() - 4);
    struct Case {
        const char* what;
        RecordedRequest request;
        const char* problem;
    };
    const Case cases[] = {
        {"no gzip header", measurementTestUpload(devserver::test::gzipForTest(measurementTestBatch()), "identity"),
         "Content-Encoding is not gzip"},
        {"another type", measurementTestUpload(devserver::test::gzipForTest(measurementTestBatch()), "gzip", "application/json"),
         "Content-Type is not application/x-www-form-urlencoded"},
        {"not gzip", measurementTestUpload(measurementTestBatch()), "the body does not inflate"},
        {"truncated batch", measurementTestUpload(devserver::test::gzipForTest(truncated)), "the body is no measurement batch"},
        {"random bytes", measurementTestUpload(devserver::test::gzipForTest(std::string("\xff\xff\xff\xff\xff\x0f", 6))),
         "the body is no measurement batch"},
        {"empty batch", measurementTestUpload(devserver::test::gzipForTest("")), "the batch holds no bundle"},
    };
    MeasurementService service;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(devserver::decodeMeasurementUpload(c.request).problem, c.problem);
        EXPECT_EQ(service.answerUpload(c.request).status, 400);
    }
    EXPECT_EQ(service.answerUpload(measurementTestUpload(devserver::test::gzipForTest(measurementTestBatch()))).status, 204);
}

TEST(MeasurementRoutesTest, TheConfigurationNamesTheRequestedAppIDUntilAScriptSaysOtherwise) {
    MeasurementService service;
    service.setConfiguration(7, {{"measurement.upload.interval", "120000"}});
    RecordedRequest request;
    request.method = "GET";
    request.path = std::string(devserver::kMeasurementConfigPath) + "1:1111:ios:abc%2Fdef";
    auto reply = service.answerConfig(request);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, devserver::encodeMeasurementConfig(7, "1:1111:ios:abc/def",
                                                              {{"measurement.upload.interval", "120000"}}));
    bool lastModified = false;
    for (const auto& [name, value] : reply.headers) {
        lastModified = lastModified || (name == "Last-Modified" && value == "Mon, 01 Jan 2024 10:00:00 GMT");
    }
    EXPECT_TRUE(lastModified);

    service.queueConfigReply(Reply::text(304, ""));
    service.queueConfigReply(Reply::dropped());
    service.setConfigReply(Reply::text(503, "").withHeader("Retry-After", "30"));
    EXPECT_EQ(service.answerConfig(request).status, 304);
    EXPECT_EQ(service.answerConfig(request).kind, Reply::Kind::Drop);
    EXPECT_EQ(service.answerConfig(request).status, 503);
    EXPECT_EQ(service.answerConfig(request).status, 503);
    service.setConfigReply(std::nullopt);
    EXPECT_EQ(service.answerConfig(request).status, 200);
}

} // namespace
