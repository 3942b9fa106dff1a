// The push client against the push service played by devserver over HTTPS, with real TLS verification:
// what the service receives, and how a stopped server, a late reply and a dropped connection end.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "devserver/PushRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/TempAppHome.hpp"

#include "RadIrivozSDK/tests/TestAppId.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

namespace {

using plat::Virtual;

using radirivoz_test::kAppId;

struct Outcome {
    std::mutex mutex;
    int successes = 0;
    std::optional<plat::Value> reply;
    std::vector<plat::Error> failures;
    int calls() {
        std::lock_guard lock(mutex);
        return successes + static_cast<int>(failures.size());
    }
};

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

class PushServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        service = devserver::installPushRoutes(server);
        ASSERT_TRUE(server.start()) << server.error();
        const std::string ca = plat::FileManager::defaultManager().temporaryDirectory() + "/push-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kPushHost));
        RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, ONE_S_LOG_LEVEL::ONE_S_LL_NONE);
    }
    void TearDown() override { server.stop(); }

    static bool waitFor(const std::function<bool()>& done) { return Virtual::runUntil(done, 20); }

    void send(RadIrivozRequestPtr request, Outcome& outcome) {
        RadIrivozClient::sharedClient().executeRequest(
            std::move(request),
            [&outcome](const std::optional<plat::Value>& reply) {
                std::lock_guard lock(outcome.mutex);
                ++outcome.successes;
                outcome.reply = reply;
            },
            [&outcome](const plat::Error& error) {
                std::lock_guard lock(outcome.mutex);
                outcome.failures.push_back(error);
            });
    }
    plat::Value sendAndWait(RadIrivozRequestPtr request) {
        Outcome outcome;
        send(std::move(request), outcome);
        EXPECT_TRUE(waitFor([&] { return outcome.calls() > 0; }));
        std::lock_guard lock(outcome.mutex);
        EXPECT_EQ(outcome.successes, 1) << (outcome.failures.empty() ? "" : outcome.failures[0].description());
        return outcome.reply.value_or(plat::Value());
    }
    // Sends, then lets each scheduled re-attempt run, until the caller heard once.
    void sendThroughReattempts(RadIrivozRequestPtr request, Outcome& outcome, const plat::sim::ConsoleCapture& console,
                               size_t expectedReschedules) {
        send(std::move(request), outcome);
        for (size_t i = 1; i <= expectedReschedules; ++i) {
            ASSERT_TRUE(waitFor([&] { return count(console.nslog(), "Re-scheduling request") >= i; }))
                << console.nslog();
            Virtual::advanceBy(RadIrivozClient::kReattemptDelay);
        }
        ASSERT_TRUE(waitFor([&] { return outcome.calls() > 0; }));
    }

    plat::test::TempAppHome home;
    devserver::Server server;
    std::shared_ptr<devserver::PushService> service;
};

TEST_F(PushServiceTest, APlayerRoundTripReachesTheServiceWithJsonHeadersAndBodies) {
    auto created = sendAndWait(RIRequestRegisterUser::withData(
        plat::Dictionary{{"app_id", kAppId}, {"device_type", 0}, {"identifier", "tok"}}, std::nullopt));
    ASSERT_TRUE(created["id"].isString());
    const std::string id = created["id"].asString();

    sendAndWait(RIRequestSendTagsToServer::withUserId(id, std::string(kAppId),
                                                      plat::Dictionary{{"level", "3"}, {"team", "blue"}},
                                                      plat::Value(0), std::nullopt));
    sendAndWait(RIRequestSendTagsToServer::withUserId(id, std::string(kAppId), plat::Dictionary{{"team", ""}},
                                                      plat::Value(0), std::nullopt));
    auto tags = sendAndWait(RIRequestGetTags::withUserId(id, std::string(kAppId)));
    EXPECT_EQ(tags, plat::Value(plat::Dictionary{{"tags", plat::Dictionary{{"level", "3"}}}}));

    auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 4u);
    for (const auto& r : recorded) {
        EXPECT_EQ(r.host, devserver::kPushHost);
        EXPECT_EQ(r.header("content-type"), "application/json") << r.method << " " << r.path;
        EXPECT_EQ(r.header("accept"), "application/json");
    }
    EXPECT_EQ(recorded[0].path, "/api/v1/players");
    auto body = plat::JSONSerialization::jsonObject(recorded[0].body);
    ASSERT_TRUE(body.ok()) << recorded[0].body;
    EXPECT_EQ((*body)["identifier"], plat::Value("tok"));
    EXPECT_NE(recorded[0].body.find('\n'), std::string::npos) << "pretty-printed";
    EXPECT_EQ(recorded[3].method, "GET");
    EXPECT_EQ(recorded[3].query, std::string("app_id=") + kAppId);
    EXPECT_TRUE(recorded[3].body.empty());
    EXPECT_NE(service->player(id)->find("\"level\":\"3\""), std::string::npos);
}

TEST_F(PushServiceTest, AStoppedServerGivesStatusZeroAndTwoReattemptsThenTheTransportError) {
    server.stop();
    plat::sim::ConsoleCapture console;
    Outcome outcome;
    sendThroughReattempts(RIRequestGetTags::withUserId(std::string("p"), std::string(kAppId)), outcome, console, 2);

    EXPECT_EQ(count(console.nslog(), "due to failed HTTP request with status code 0"), 2u);
    std::lock_guard lock(outcome.mutex);
    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_EQ(outcome.failures[0].domain, "RadIrivozError");
    EXPECT_EQ(outcome.failures[0].code, 0);
    EXPECT_TRUE(outcome.failures[0].userInfoValue("error"));
}

TEST_F(PushServiceTest, AReplyPastTheTimeOutIsReattemptedAndTheLateOneTouchesNothing) {
    RadIrivozClient::sharedClient().setRequestTimeout(1);
    service->scriptNext("POST", "players", devserver::Reply::json(200, R"({"id":"late"})")
                                               .after(std::chrono::milliseconds(3000)));
    plat::sim::ConsoleCapture console;
    Outcome outcome;
    sendThroughReattempts(RIRequestRegisterUser::withData(plat::Dictionary{{"app_id", kAppId}}, std::nullopt),
                          outcome, console, 1);
    // Long enough for the late answer to have been written, had the connection stayed.
    Virtual::runUntil([] { return false; }, 2.5);

    std::lock_guard lock(outcome.mutex);
    EXPECT_EQ(outcome.successes, 1);
    EXPECT_TRUE(outcome.failures.empty());
    ASSERT_TRUE(outcome.reply);
    EXPECT_NE((*outcome.reply)["id"], plat::Value("late"));
    EXPECT_EQ(service->playerIds().size(), 1u);
}

TEST_F(PushServiceTest, ADroppedConnectionIsReattempted) {
    service->scriptNext("", "players/", devserver::Reply::dropped());
    plat::sim::ConsoleCapture console;
    Outcome outcome;
    sendThroughReattempts(RIRequestGetTags::withUserId(std::string("nobody"), std::string(kAppId)), outcome,
                          console, 1);

    std::lock_guard lock(outcome.mutex);
    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_EQ(outcome.failures[0].code, 404) << "the second send reached the service";
    EXPECT_EQ(server.requests().size(), 2u);
}

} // namespace
