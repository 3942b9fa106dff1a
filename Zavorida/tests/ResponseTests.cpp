#include <gtest/gtest.h>

#include <string>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/Response.hpp"
#include "platform/foundation/ProcessInfo.hpp"

namespace Zavorida {
namespace {

const Timeline kTimeline(1, 2, 3, 4);
const std::string kTimelineText = kTimeline.debugDescription();
const AnyError kError = ZVError::responseSerializationFailed(
    ZVError::ResponseSerializationFailureReason::inputDataNilOrZeroLength());

plat::URLRequest request(std::optional<std::string> method) {
    plat::URLRequest r(plat::URL::parse("https://h.test/api?x=1"));
    r.setHTTPMethod(std::move(method));
    return r;
}

HTTPResponsePtr response() {
    return std::make_shared<const plat::HTTPURLResponse>(
        *plat::URL::parse("https://h.test/api"), 201, "HTTP/1.1",
        plat::HTTPHeaderFields{{"Content-Type", "text/plain"}});
}

TEST(DataResponse, DebugDescriptionWithoutRequestResponseOrData) {
    DataResponse<std::string> record(std::nullopt, nullptr, std::nullopt, Result<std::string>::success("v"),
                                     kTimeline);
    EXPECT_EQ(record.debugDescription(),
              "[Request]: nil\n[Response]: nil\n[Data]: 0 bytes\n[Result]: SUCCESS: v\n"
              "[Timeline]: " +
                  kTimelineText);
}

TEST(DataResponse, DebugDescriptionWithEverything) {
    DataResponse<int> record(request(std::nullopt), response(), plat::Data(5, 'x'),
                             Result<int>::failure(kError), kTimeline);
    const std::string text = record.debugDescription();
    // An unset method prints as GET.
    EXPECT_EQ(text.rfind("[Request]: GET https://h.test/api?x=1\n[Response]: <NSHTTPURLResponse: ", 0), 0u)
        << text;
    EXPECT_NE(text.find("{ URL: https://h.test/api } { Status Code: 201, Headers {"), std::string::npos);
    EXPECT_NE(text.find("\n[Data]: 5 bytes\n[Result]: FAILURE: " + kError.description() +
                        "\n[Timeline]: " + kTimelineText),
              std::string::npos);
    EXPECT_EQ(text.back(), '}');
    // The short text is the result's, not the record's.
    EXPECT_EQ(record.description(), "FAILURE: " + kError.description());
}

TEST(DownloadResponse, DebugDescriptionHasSevenLines) {
    DownloadResponse<std::string> empty(std::nullopt, nullptr, std::nullopt, std::nullopt, std::nullopt,
                                        Result<std::string>::success("f"), kTimeline);
    EXPECT_EQ(empty.debugDescription(),
              "[Request]: nil\n[Response]: nil\n[TemporaryURL]: nil\n[DestinationURL]: nil\n"
              "[ResumeData]: 0 bytes\n[Result]: SUCCESS: f\n[Timeline]: " +
                  kTimelineText);

    DownloadResponse<std::string> full(request("POST"), nullptr, plat::URL::file("/tmp/t.tmp"),
                                       plat::URL::file("/tmp/dest/file.bin"), plat::Data(12, 0),
                                       Result<std::string>::success("f"), kTimeline);
    EXPECT_EQ(full.debugDescription(), "[Request]: POST https://h.test/api?x=1\n[Response]: nil\n"
                                       "[TemporaryURL]: /tmp/t.tmp\n[DestinationURL]: /tmp/dest/file.bin\n"
                                       "[ResumeData]: 12 bytes\n[Result]: SUCCESS: f\n[Timeline]: " +
                                           kTimelineText);
}

TEST(DataResponse, ValueTransformsKeepEverythingElse) {
    DataResponse<int> source(request("GET"), response(), plat::Data{1, 2}, Result<int>::success(20),
                             kTimeline);
    source._setMetrics(std::string("metrics object"));

    auto mapped = source.mapValue([](int v) { return std::to_string(v * 2); });
    static_assert(std::is_same_v<decltype(mapped), DataResponse<std::string>>);
    EXPECT_EQ(mapped.resultValue(), "40");
    EXPECT_EQ(mapped.response(), source.response());
    EXPECT_EQ(mapped.data(), source.data());
    EXPECT_EQ(mapped.request()->url(), source.request()->url());
    EXPECT_EQ(mapped.timeline().debugDescription(), kTimelineText);
    EXPECT_EQ(std::any_cast<std::string>(mapped._metrics()), "metrics object");

    auto thrown = source.tryMapValue([](int) -> double { throw ZVError::invalidURL("x y"); });
    ASSERT_TRUE(thrown.resultError().has_value());
    EXPECT_NE(thrown.resultError()->as<ZVError>(), nullptr);
}

TEST(DataResponse, FailedRecordsSkipValueTransformsAndMapTheirFailure) {
    DataResponse<int> failed(request("GET"), response(), std::nullopt, Result<int>::failure(kError),
                             kTimeline);
    bool called = false;
    auto mapped = failed.mapValue([&](int v) {
        called = true;
        return v;
    });
    EXPECT_FALSE(called);
    EXPECT_TRUE(mapped.resultError()->isSameObject(kError));
    EXPECT_EQ(mapped.response(), failed.response());

    auto replaced = failed.mapFailure([](const AnyError&) { return plat::Error("Mapped", 9); });
    ASSERT_NE(replaced.resultError()->platformError(), nullptr);
    EXPECT_EQ(replaced.resultError()->platformError()->code, 9);

    auto tried = failed.tryMapFailure([](const AnyError&) -> plat::Error { throw plat::Error("Thrown", 1); });
    EXPECT_EQ(tried.resultError()->platformError()->domain, "Thrown");

    DownloadResponse<int> download(std::nullopt, nullptr, plat::URL::file("/tmp/a"), std::nullopt,
                                   std::nullopt, Result<int>::success(1), kTimeline);
    auto downloadMapped = download.mapValue([](int v) { return v + 1; });
    EXPECT_EQ(downloadMapped.resultValue(), 2);
    EXPECT_EQ(downloadMapped.temporaryURL(), download.temporaryURL());
}

TEST(Response, MetricsOnlyAttachWhenTheyAreTaskMetricsOnACapableOS) {
    DefaultDataResponse record(std::nullopt, nullptr, std::nullopt, std::nullopt);
    EXPECT_EQ(record.metrics(), nullptr);
    record.attachMetrics(std::any());
    EXPECT_FALSE(record._metrics().has_value());
    record.attachMetrics(std::string("not task metrics"));
    EXPECT_FALSE(record._metrics().has_value());

    const auto metrics = std::make_shared<plat::URLSessionTaskMetrics>();
    plat::sim::Process::setOperatingSystemVersion({9, 3, 0});
    record.attachMetrics(metrics);
    EXPECT_EQ(record.metrics(), nullptr);

    plat::sim::Process::setOperatingSystemVersion({12, 4, 0});
    record.attachMetrics(metrics);
    EXPECT_EQ(record.metrics(), metrics);
    // A later non-metrics object leaves the stored metrics in place.
    record.attachMetrics(std::string("other"));
    EXPECT_EQ(record.metrics(), metrics);
}

TEST(DefaultResponses, HoldTheirFields) {
    DefaultDataResponse data(request("GET"), response(), plat::Data{1}, kError, kTimeline);
    EXPECT_TRUE(data.error()->isSameObject(kError));
    EXPECT_EQ(data.data()->size(), 1u);
    DefaultDownloadResponse download(std::nullopt, nullptr, std::nullopt, plat::URL::file("/tmp/d"),
                                     plat::Data{7}, std::nullopt, kTimeline);
    EXPECT_EQ(download.destinationURL()->path(), "/tmp/d");
    EXPECT_FALSE(download.error().has_value());
    EXPECT_EQ(download.resumeData()->size(), 1u);
}

} // namespace
} // namespace Zavorida
