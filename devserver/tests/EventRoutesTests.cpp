// The events service's reading of an upload: the multipart framing, the gunzipped log split into records,
// and the mark on a record whose length field lies about its payload.

#include "devserver/EventRoutes.hpp"

#include "devserver/tests/GzipTestSupport.hpp"

#include <gtest/gtest.h>

namespace {

using devserver::EventService;


TEST(EventRoutesTest, AnUploadIsReadIntoItsRecords) {
    const std::string log = "1500\tmetadata\t2\t{}\n"
                            "1500\tcustom\t13\t{\"eventId\":1}\n"
                            "1600\tapp_launched\t99\t{\"\xc3\xa9\":1}\n";
    const std::string body = "MIME-Version: 1.0\r\n--B\r\n"
                             "Content-Disposition: form-data; name=\"L.gz\"; filename=\"L.gz\"\r\n"
                             "Content-Type: application/vnd.vuzidorazav.ios.events\r\n"
                             "Content-Transfer-Encoding: binary\r\n\r\n" +
                             devserver::test::gzipForTest(log) + "\r\n--B--\r\n";
    devserver::RecordedRequest request;
    request.headers = {{"content-type", "multipart/form-data; boundary=B"}, {"x-a", "1"}};
    request.body = body;
    const auto upload = EventService::decode(request);
    ASSERT_TRUE(upload.decoded);
    EXPECT_EQ(upload.partName, "L.gz");
    EXPECT_EQ(upload.partFilename, "L.gz");
    EXPECT_EQ(upload.partContentType, "application/vnd.vuzidorazav.ios.events");
    EXPECT_EQ(upload.log, log);
    ASSERT_EQ(upload.records.size(), 3u);
    struct Expected {
        const char* time;
        const char* name;
        bool lengthMatches;
    };
    const Expected expected[] = {{"1500", "metadata", true}, {"1500", "custom", true}, {"1600", "app_launched", false}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(upload.records[i].time, expected[i].time);
        EXPECT_EQ(upload.records[i].name, expected[i].name);
        EXPECT_EQ(upload.records[i].lengthMatches, expected[i].lengthMatches) << i;
    }
    EXPECT_EQ(upload.records[1].json, "{\"eventId\":1}");
}

TEST(EventRoutesTest, BodiesThatAreNotOneGzipPartAreKeptUndecoded) {
    struct Case {
        const char* what;
        std::string contentType;
        std::string body;
    };
    const Case cases[] = {
        {"no multipart type", "application/json", "{}"},
        {"other boundary", "multipart/form-data; boundary=C", "--B\r\nA: b\r\n\r\nx\r\n--B--\r\n"},
        {"unterminated part", "multipart/form-data; boundary=B", "--B\r\nA: b\r\n\r\nx"},
        {"part not gzip", "multipart/form-data; boundary=\"B\"", "--B\r\nA: b\r\n\r\nplain\r\n--B--\r\n"},
    };
    for (const auto& c : cases) {
        devserver::RecordedRequest request;
        request.headers = {{"content-type", c.contentType}};
        request.body = c.body;
        EXPECT_FALSE(EventService::decode(request).decoded) << c.what;
    }
}

} // namespace
