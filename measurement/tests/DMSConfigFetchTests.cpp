// The configuration fetch on the scripted network: the conditional request, the answered statuses, refused
// bodies that leave the configuration in force, failures with back-off, and the app ID in the path.

#include "measurement/tests/MeasurementUploadFixture.hpp"

#include <gtest/gtest.h>

namespace {

using dms::test::kUploadT0;
using dms::test::UploadFixture;
using dms::test::uploadConfigBody;

class DMSConfigFetchTest : public UploadFixture {
protected:
    // The first launch has fetched version 7 with its "Last-Modified" and uploaded.
    void startWithVersion7() {
        batchReplies.push_back(plat::ScriptedReply::text(204, ""));
        start();
        advance(15);
        ASSERT_EQ(controller().ownRemoteConfig()->version(), 7);
        net->clearRequests();
    }
    void fetchWith(plat::ScriptedReply reply) {
        configReplies.clear();
        configReplies.push_back(std::move(reply));
        onWorker([] { controller().fetchRemoteConfig(); });
    }
    static double updateTime() { return controller().ownRemoteConfig()->lastRemoteConfigUpdateTimestamp(); }
};

TEST_F(DMSConfigFetchTest, ALaterRequestIsConditionalAndA304WithoutLastModifiedMakesTheNextOneUnconditional) {
    startWithVersion7();
    advance(100);
    fetchWith(configReply(304));
    auto gets = requests("GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(header(gets[0], "If-Modified-Since"), "Mon, 01 Jan 2024 10:00:00 GMT");
    EXPECT_EQ(countOf(23131), 1u);
    EXPECT_DOUBLE_EQ(updateTime(), plat::Clock::now());
    EXPECT_EQ(controller().ownRemoteConfig()->version(), 7);
    fetchWith(configReply(200, uploadConfigBody(8)));
    gets = requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_FALSE(header(gets[1], "If-Modified-Since"));
    EXPECT_EQ(controller().ownRemoteConfig()->version(), 8);
}

TEST_F(DMSConfigFetchTest, AnsweredStatusesRestartTheExpiryAndClearTheFailureTimes) {
    struct Case {
        int status;
        std::string body;
        int64_t version;
        int64_t code;
    };
    const Case cases[] = {
        {404, "", 7, 23130},
        {204, "", 7, 23133},
        {200, "", 7, 23133},
        {200, uploadConfigBody(9, {{"measurement.upload.interval", std::string("120000")}}), 9, 23133},
    };
    startWithVersion7();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        advance(10);
        persisted().setLastFailedUploadTimestamp(plat::Clock::now());
        persisted().setLastBackoffTimestamp(plat::Clock::now());
        monitor.clear();
        fetchWith(configReply(c.status, c.body));
        ASSERT_EQ(countOf(c.code), 1u);
        EXPECT_EQ(firstCall(c.code)->level, c.status == 404 ? 3 : 7);
        EXPECT_DOUBLE_EQ(updateTime(), plat::Clock::now());
        EXPECT_EQ(controller().ownRemoteConfig()->version(), c.version);
        EXPECT_DOUBLE_EQ(persisted().lastFailedUploadTimestamp(), 0);
        EXPECT_DOUBLE_EQ(persisted().lastBackoffTimestamp(), 0);
    }
    // Times are sent in milliseconds.
    EXPECT_DOUBLE_EQ(DMSMeasurement::remoteConfig().uploadingInterval(), 120);
}

// A refused body keeps the configuration in force and leaves no "Last-Modified" behind: otherwise every later
// request would be answered 304 and this configuration never fetched again.
TEST_F(DMSConfigFetchTest, RefusedBodiesKeepTheConfigurationAndTheNextRequestStaysUnconditional) {
    std::string truncated = uploadConfigBody(8);
    truncated.resize(truncated.size() - 3);
    std::string random;
    for (int i = 0; i < 64; ++i) {
        random += static_cast<char>((i * 73 + 11) & 0xff);
    }
    struct Case {
        const char* what;
        std::string body;
        int64_t code;
    };
    const Case cases[] = {
        {"truncated", truncated, 23135},
        {"random bytes", random, 23135},
        {"another app ID", uploadConfigBody(8, {}, "1:2222:ios:fedcba9876543210"), 23136},
        {"a string over 1 MiB", uploadConfigBody(8, {{"measurement.big", std::string(1048577, 'x')}}), 23135},
    };
    startWithVersion7();
    persisted().setConfigServerLastModifiedString(std::nullopt);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        monitor.clear();
        fetchWith(configReply(200, c.body, "Tue, 02 Jan 2024 10:00:00 GMT"));
        EXPECT_EQ(countOf(c.code), 1u);
        EXPECT_EQ(controller().ownRemoteConfig()->version(), 7);
        EXPECT_FALSE(persisted().configServerLastModifiedString());
    }
    // A good body stores its "Last-Modified" once it is applied.
    fetchWith(configReply(200, uploadConfigBody(8), "Tue, 02 Jan 2024 10:00:00 GMT"));
    EXPECT_EQ(controller().ownRemoteConfig()->version(), 8);
    EXPECT_EQ(persisted().configServerLastModifiedString(), plat::Value("Tue, 02 Jan 2024 10:00:00 GMT"));
}

TEST_F(DMSConfigFetchTest, FailuresSetTheFailureTimeAndBackOffOnlyFor429And503) {
    struct Case {
        std::optional<int> status;
        bool backoff;
    };
    const Case cases[] = {{500, false}, {503, true}, {429, true}, {401, false}, {std::nullopt, false}};
    startWithVersion7();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status.value_or(0));
        advance(10);
        persisted().setLastBackoffTimestamp(0);
        monitor.clear();
        fetchWith(c.status ? configReply(*c.status).withHeader("Retry-After", "1")
                           : plat::ScriptedReply::error(plat::WireFailure::connectionLost));
        EXPECT_EQ(countOf(23128), 1u);
        EXPECT_EQ(countOf(23129), 1u);
        EXPECT_DOUBLE_EQ(persisted().lastFailedUploadTimestamp(), plat::Clock::now());
        EXPECT_DOUBLE_EQ(persisted().lastBackoffTimestamp(), c.backoff ? plat::Clock::now() : 0);
        EXPECT_EQ(controller().ownRemoteConfig()->version(), 7);
        EXPECT_FALSE(controller().isNetworkRequestPending());
    }
}

// The app ID is one path segment: "/" and other reserved characters are escaped, ":" stays.
TEST_F(DMSConfigFetchTest, TheAppIDIsEscapedAsOnePathSegment) {
    struct Case {
        const char* appID;
        const char* path;
    };
    const Case cases[] = {
        {"1:1111:ios:0123456789abcdef", "1:1111:ios:0123456789abcdef"},
        {"a/b?c#d", "a%2Fb%3Fc%23d"},
        {"x y%", "x%20y%25"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.appID);
        auto url = DMSMeasurement::remoteConfigURLWithAppID(c.appID, std::string("id 1&2"), std::string("ios"), 50300);
        ASSERT_TRUE(url);
        EXPECT_EQ(*url, std::string(dms::test::kUploadConfigPrefix) + c.path +
                            "?app_instance_id=id%201%262&platform=ios&rmp_version=50300");
        EXPECT_TRUE(plat::URL::parse(*url));
    }
    EXPECT_FALSE(DMSMeasurement::remoteConfigURLWithAppID("a", std::nullopt, std::string("ios"), 1));
    EXPECT_EQ(countOf(29010), 1u);
}

// A failed store of the update time suspends uploads for an hour of uptime; with the uptime unknown that
// suspension would never end, so there is none.
TEST_F(DMSConfigFetchTest, AFailedUpdateTimeStoreSuspendsOnlyWithAKnownUptime) {
    startWithVersion7();
    onWorker([] {
        plat::Error error;
        controller().database()->sqliteStore()->executeSQL("DROP TABLE app_metadata", &error);
    });
    fetchWith(configReply(304));
    EXPECT_EQ(countOf(23132), 1u);
    EXPECT_GT(controller().suspendedUploadTimestamp(), 0);
    plat::Virtual::setUptimeUnknown();
    fetchWith(configReply(404));
    EXPECT_EQ(countOf(23132), 2u);
    EXPECT_DOUBLE_EQ(controller().suspendedUploadTimestamp(), 0);
}

} // namespace
