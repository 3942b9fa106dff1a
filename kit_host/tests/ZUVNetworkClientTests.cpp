// The network client in virtual time on the scripted network: retries wait the jittered back-off (the
// random draw fixed so the jitter is 1), the retry limit ends a chain with -6, the delay is capped, and
// every chain completes exactly once.

#include "kit_host/ZUVNetworkClient.hpp"
#include "kit_host/ZUVNetworkOperation.hpp"
#include "kit_host/tests/ShimTestSupport.hpp"

#include "platform/dispatch/Clock.hpp"

#include <gtest/gtest.h>

namespace {

using plat::Virtual;

// The draw in the middle of [0, 1): jitter 0.9 + 0.2 × 0.5 = 1.
class FixedJitterClient : public ZUVNetworkClient {
protected:
    double randomUnit() const override { return 0.5; }
};

struct ChainResult {
    int calls = 0;
    std::optional<plat::Data> data;
    std::shared_ptr<const plat::HTTPURLResponse> response;
    std::optional<plat::Error> error;
    ZUVNetworkClient::DataCompletion block() {
        return [this](std::optional<plat::Data> d, std::shared_ptr<const plat::HTTPURLResponse> r, std::optional<plat::Error> e) {
            ++calls;
            data = std::move(d);
            response = std::move(r);
            error = std::move(e);
        };
    }
};

class NetworkClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        shim_test::bootDevice(home);
        client = std::make_shared<FixedJitterClient>();
        ASSERT_TRUE(client->setUp(VZRURLSessionConfiguration::defaultSessionConfiguration(), nullptr, {}));
    }
    // Records the virtual time of each request and answers from `replies` in turn (the last one repeats).
    void script(std::vector<plat::ScriptedReply> replies) {
        net.route("GET", kURL, [this, replies](const plat::ScriptedRequest&) {
            times.push_back(plat::Clock::uptime() - start);
            return replies[std::min(times.size(), replies.size()) - 1];
        });
    }
    // Runs the chain through its waits, one due timer at a time, until it completed.
    void runChain(ChainResult& result, double horizon = 100000) {
        start = plat::Clock::uptime();
        client->startDataTaskWithRequest(request(), limit, result.block());
        while (result.calls == 0 && plat::Clock::uptime() - start < horizon) {
            Virtual::runUntilIdle();
            if (result.calls)
                break;
            auto pending = Virtual::pendingTimers();
            if (pending.empty())
                break;
            Virtual::advanceTo(pending.front().deadline);
        }
        Virtual::runUntilIdle();
    }
    static plat::URLRequest request() { return plat::URLRequest(plat::URL::parse(kURL)); }
    static plat::ScriptedReply unavailable(const char* retryAfter) {
        return plat::ScriptedReply::text(503, "busy").withHeader("Retry-After", retryAfter);
    }

    static constexpr const char* kURL = "https://api.example.test/spi/v2/thing";
    plat::test::TempAppHome home;
    plat::ScriptedTransport& net = plat::sim::Network::useScripted();
    std::shared_ptr<FixedJitterClient> client;
    std::vector<double> times;
    double start = 0;
    uint64_t limit = 10;
};

TEST_F(NetworkClientTest, ThreeUnavailableThenSuccessWaitFiveFiveAndTwentyFive) {
    script({unavailable("5"), unavailable("5"), unavailable("5"), plat::ScriptedReply::text(200, "{}", "application/json")});
    ChainResult result;
    runChain(result);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_NEAR(times[1] - times[0], 5, 1e-6);
    EXPECT_NEAR(times[2] - times[1], 5, 1e-6);
    EXPECT_NEAR(times[3] - times[2], 25, 1e-6);
    EXPECT_EQ(result.calls, 1);
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.response->statusCode(), 200);
    EXPECT_EQ(result.data, (plat::Data{'{', '}'}));
}

TEST_F(NetworkClientTest, LimitOneGivesTwoAttemptsThenTheRetryLimitError) {
    limit = 1;
    script({plat::ScriptedReply::text(429, "slow down")});
    ChainResult result;
    runChain(result);
    EXPECT_EQ(times.size(), 2u);
    ASSERT_EQ(times.size(), 2u);
    EXPECT_NEAR(times[1] - times[0], 2, 1e-6) << "no Retry-After waits 2 s";
    EXPECT_EQ(result.calls, 1);
    ASSERT_TRUE(result.error);
    EXPECT_TRUE(result.error->is("ZUVNetworkError", -6));
    EXPECT_EQ(result.error->userInfoValue("retryLimit")->unsignedLongLongValue(), 1u);
    EXPECT_EQ(result.error->userInfoValue(plat::NSURLErrorFailingURLErrorKey)->stringValue(), kURL);
    EXPECT_FALSE(result.response);
    EXPECT_FALSE(result.data);
}

TEST_F(NetworkClientTest, EveryDelayIsCappedAtAnHour) {
    script({unavailable("1e300"), unavailable("100"), unavailable("100"), plat::ScriptedReply::text(204, "")});
    ChainResult result;
    runChain(result);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_NEAR(times[1] - times[0], 3600, 1e-6) << "a huge Retry-After waits an hour, not forever";
    EXPECT_NEAR(times[2] - times[1], 100, 1e-6);
    EXPECT_NEAR(times[3] - times[2], 3600, 1e-6) << "100^2 s is past the cap";
    EXPECT_EQ(result.calls, 1);
    EXPECT_FALSE(result.error);

    EXPECT_EQ(client->computeDelayForResponse(nullptr, 5000), 3600);
    EXPECT_EQ(client->computeDelayForResponse(nullptr, 0), 2);
    EXPECT_EQ(client->computeDelayForResponse(nullptr, 3), 8);
}

TEST_F(NetworkClientTest, FinalAnswersAndTransportErrorsEndTheChainOnce) {
    struct Case {
        plat::ScriptedReply reply;
        size_t requests;
        std::optional<int64_t> code;
        const char* domain;
    };
    limit = 2;
    const Case cases[] = {
        {plat::ScriptedReply::text(404, "no"), 1, -5, "ZUVNetworkError"},
        {plat::ScriptedReply::text(203, "hm"), 1, -4, "ZUVNetworkError"},
        {plat::ScriptedReply::error(plat::WireFailure::serverCertificateUntrusted), 1, -1202, plat::NSURLErrorDomain},
        {plat::ScriptedReply::error(plat::WireFailure::timedOut), 3, -6, "ZUVNetworkError"},
    };
    for (const auto& c : cases) {
        net.clearRoutes();
        times.clear();
        script({c.reply});
        ChainResult result;
        runChain(result);
        EXPECT_EQ(times.size(), c.requests) << c.reply.status;
        EXPECT_EQ(result.calls, 1);
        ASSERT_TRUE(result.error);
        EXPECT_TRUE(result.error->is(c.domain, *c.code)) << result.error->displayText();
    }
}

TEST_F(NetworkClientTest, TheDefaultHeadersGoOnTheWireInOrder) {
    script({plat::ScriptedReply::text(200, "{}", "application/json")});
    auto op = ZUVNetworkOperation::initWithAPIKey("k");
    ChainResult result;
    client->startDataTaskWithRequest(op->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(*plat::URL::parse(kURL)),
                                     result.block());
    ASSERT_TRUE(Virtual::runUntil([&] { return result.calls > 0; }, 10));
    const auto requests = net.requests();
    ASSERT_EQ(requests.size(), 1u);
    std::vector<std::string> names;
    for (const auto& [name, value] : requests[0].headers)
        if (name.rfind("X-Vuzidorazav-", 0) == 0 || name == "User-Agent" || (name.rfind("Accept-", 0) == 0 && name != "Accept-Encoding") ||
            name == "Content-Language")
            names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"User-Agent", "Accept-Charset", "Accept-Language", "Content-Language",
                                               "X-Vuzidorazav-Developer-Token", "X-Vuzidorazav-API-Client-Id",
                                               "X-Vuzidorazav-API-Client-Display-Version",
                                               "X-Vuzidorazav-API-Client-Build-Version", "X-Vuzidorazav-API-Key"}));
}

TEST_F(NetworkClientTest, WithoutATaskTheChainEndsWithNoTaskError) {
    client->invalidateAndCancel();
    ChainResult result;
    client->startDataTaskWithRequest(request(), result.block());
    EXPECT_EQ(result.calls, 1);
    ASSERT_TRUE(result.error);
    EXPECT_TRUE(result.error->is("ZUVNetworkError", -3));

    EXPECT_FALSE(ZUVNetworkClient::initWithSessionConfiguration(nullptr, nullptr, {}));
}

TEST_F(NetworkClientTest, ReleasingTheClientInvalidatesItsSession) {
    auto made = ZUVNetworkClient::init();
    ASSERT_TRUE(made);
    auto session = made->session();
    ASSERT_TRUE(session->delegate());
    made.reset();
    EXPECT_FALSE(session->delegate());
    EXPECT_TRUE(session->platformSession()->isInvalidated() || !session->delegate());
}

TEST_F(NetworkClientTest, APendingRetryAfterInvalidationEndsWithNoTaskError) {
    script({unavailable("5")});
    ChainResult result;
    start = plat::Clock::uptime();
    client->startDataTaskWithRequest(request(), result.block());
    ASSERT_TRUE(Virtual::runUntil([&] { return times.size() == 1; }, 10));
    Virtual::runUntilIdle();
    client->invalidateAndCancel();
    Virtual::advanceBy(10);
    Virtual::runUntilIdle();
    EXPECT_EQ(times.size(), 1u);
    EXPECT_EQ(result.calls, 1);
    ASSERT_TRUE(result.error);
    EXPECT_TRUE(result.error->is("ZUVNetworkError", -3));
}

} // namespace
