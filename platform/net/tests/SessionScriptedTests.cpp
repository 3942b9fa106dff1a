// URLSession on the scripted transport: the same task machinery in virtual time, with recorded requests,
// delays, silence and network errors.

#include "platform/dispatch/Backend.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/URLSession.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace plat {
namespace {

struct Outcome {
    bool finished = false;
    std::optional<Data> data;
    std::shared_ptr<const HTTPURLResponse> response;
    std::optional<Error> error;
};

class SessionScriptedTest : public ::testing::Test {
protected:
    std::shared_ptr<Outcome> start(const URLRequest& request) {
        auto out = std::make_shared<Outcome>();
        session
            ->dataTask(request,
                       [out](auto data, auto response, auto error) {
                           out->data = std::move(data);
                           out->response = std::move(response);
                           out->error = std::move(error);
                           out->finished = true;
                       })
            ->resume();
        return out;
    }

    test::TempAppHome home;
    ScriptedTransport& script = sim::Network::useScripted();
    std::shared_ptr<URLSession> session =
        URLSession::make(URLSessionConfiguration::ephemeral(), nullptr, OperationQueue::main());
};

TEST_F(SessionScriptedTest, AnswersInVirtualTimeAndRecordsTheWireRequest) {
    script.route("POST", "https://api.example.test/v1/",
                 ScriptedReply::text(201, "created").withHeader("Set-Cookie", "k=v; Path=/").after(5));
    URLRequest request(*URL::parse("https://api.example.test/v1/items#frag"));
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    request.setHTTPBody(Data{'{', '}'});
    auto out = start(request);

    Virtual::advanceBy(4.9);
    EXPECT_FALSE(out->finished);
    Virtual::advanceBy(0.2);
    ASSERT_TRUE(out->finished);
    ASSERT_FALSE(out->error);
    EXPECT_EQ(out->response->statusCode(), 201);
    EXPECT_EQ(std::string(out->data->begin(), out->data->end()), "created");

    const auto requests = script.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].url, "https://api.example.test/v1/items");
    EXPECT_EQ(std::string(requests[0].body.begin(), requests[0].body.end()), "{}");
    const WireHeaders expected = {
        {"Content-Type", "application/json"}, {"Accept", "*/*"}, {"Accept-Encoding", "gzip, deflate"}};
    EXPECT_EQ(requests[0].headers, expected);

    // The cookie the script set goes back on the next request to that host.
    script.route("GET", "https://api.example.test/", ScriptedReply::text(200, "ok"));
    out = start(URLRequest(*URL::parse("https://api.example.test/v1/next")));
    Virtual::runUntilIdle();
    ASSERT_TRUE(out->finished);
    const auto next = script.requests().at(1);
    EXPECT_EQ(next.headers.front(), (WireHeaders::value_type{"Cookie", "k=v"}));
}

TEST_F(SessionScriptedTest, SilenceTimesOutAndNetworkErrorsMapToURLErrors) {
    script.route("", "https://slow.example.test/", ScriptedReply::silence());
    script.route("", "https://gone.example.test/", ScriptedReply::error(WireFailure::cannotFindHost));
    script.route("", "https://lost.example.test/", ScriptedReply::error(WireFailure::connectionLost));

    URLRequest slow(*URL::parse("https://slow.example.test/x"));
    slow.setTimeoutInterval(30);
    auto timedOut = start(slow);
    auto gone = start(URLRequest(*URL::parse("https://gone.example.test/x")));
    auto lost = start(URLRequest(*URL::parse("https://lost.example.test/x")));
    Virtual::runUntilIdle();
    ASSERT_TRUE(gone->finished && lost->finished);
    EXPECT_EQ(gone->error->code, NSURLErrorCannotFindHost);
    EXPECT_EQ(lost->error->code, NSURLErrorNetworkConnectionLost);
    EXPECT_FALSE(timedOut->finished);
    Virtual::advanceBy(30.5);
    ASSERT_TRUE(timedOut->finished);
    EXPECT_EQ(timedOut->error->code, NSURLErrorTimedOut);
}

TEST_F(SessionScriptedTest, UnroutedRequestsGetA404AndRedirectsAreFollowed) {
    script.route("GET", "https://www.example.test/old", ScriptedReply::redirect(301, "/new"));
    script.route("GET", "https://www.example.test/new", ScriptedReply::text(200, "moved here"));
    auto moved = start(URLRequest(*URL::parse("https://www.example.test/old")));
    auto missing = start(URLRequest(*URL::parse("https://www.example.test/nothing")));
    Virtual::runUntilIdle();
    ASSERT_TRUE(moved->finished && missing->finished);
    EXPECT_EQ(std::string(moved->data->begin(), moved->data->end()), "moved here");
    EXPECT_EQ(moved->response->url().absoluteString(), "https://www.example.test/new");
    EXPECT_EQ(missing->response->statusCode(), 404);
}

TEST_F(SessionScriptedTest, WithoutANetworkRequestsFailAsNotConnected) {
    script.route("GET", "https://www.example.test/", ScriptedReply::text(200, "ok"));
    script.route("GET", "http://127.0.0.1:8080/", ScriptedReply::text(200, "local"));
    script.clearRequests();

    // While the device has no interface up, nothing leaves it; its own loopback address still answers.
    sim::Network::setReachability(0);
    auto offline = start(URLRequest(*URL::parse("https://www.example.test/a")));
    auto local = start(URLRequest(*URL::parse("http://127.0.0.1:8080/x")));
    Virtual::runUntilIdle();
    ASSERT_TRUE(offline->finished && local->finished);
    ASSERT_TRUE(offline->error);
    EXPECT_EQ(offline->error->code, NSURLErrorNotConnectedToInternet);
    EXPECT_EQ(offline->error->userInfoValue(NSURLErrorFailingURLStringErrorKey)->stringValue(),
              "https://www.example.test/a");
    EXPECT_FALSE(local->error);
    ASSERT_EQ(script.requests().size(), 1u);
    EXPECT_EQ(script.requests()[0].url, "http://127.0.0.1:8080/x");

    // Back online, or with a connection that the request itself may bring up, the request goes out.
    for (uint32_t flags : {kReachabilityFlagsReachable, kReachabilityFlagsConnectionRequired}) {
        sim::Network::setReachability(flags);
        auto online = start(URLRequest(*URL::parse("https://www.example.test/a")));
        Virtual::runUntilIdle();
        ASSERT_TRUE(online->finished) << flags;
        EXPECT_FALSE(online->error) << flags;
    }
}

struct LostNetworkCase {
    const char* url;
    WireFailure failure;
    bool networkGoesDown;
    int64_t expected;
};

TEST_F(SessionScriptedTest, AFailureToReachAServerAfterTheNetworkWentDownIsNotConnected) {
    const LostNetworkCase cases[] = {
        {"https://gone.example.test/x", WireFailure::cannotFindHost, true, NSURLErrorNotConnectedToInternet},
        {"https://refused.example.test/x", WireFailure::cannotConnect, true,
         NSURLErrorNotConnectedToInternet},
        {"https://gone.example.test/x", WireFailure::cannotFindHost, false, NSURLErrorCannotFindHost},
        {"https://refused.example.test/x", WireFailure::cannotConnect, false, NSURLErrorCannotConnectToHost},
        // A lost connection stays what it is, and a loopback server needs no network.
        {"https://lost.example.test/x", WireFailure::connectionLost, true, NSURLErrorNetworkConnectionLost},
        {"http://127.0.0.1:9/x", WireFailure::cannotConnect, true, NSURLErrorCannotConnectToHost},
    };
    for (const auto& c : cases) {
        sim::Network::setReachability(kReachabilityFlagsReachable);
        script.clearRoutes();
        script.route("", c.url, ScriptedReply::error(c.failure).after(1));
        auto out = start(URLRequest(*URL::parse(c.url)));
        Virtual::runUntilIdle(); // sent while the network was up
        if (c.networkGoesDown)
            sim::Network::setReachability(0);
        Virtual::advanceBy(1.5);
        ASSERT_TRUE(out->finished) << c.url;
        ASSERT_TRUE(out->error) << c.url;
        EXPECT_EQ(out->error->code, c.expected) << c.url << " down=" << c.networkGoesDown;
    }
}

// A delegate that logs its data events and answers the cache question as told.
class CachingDelegate : public URLSessionDelegate {
public:
    bool respondsTo(std::string_view selector) const override {
        return selector == URLSessionSelector::didReceiveData ||
               selector == URLSessionSelector::didCompleteWithError ||
               (asks && selector == URLSessionSelector::willCacheResponse);
    }
    void didReceiveData(URLSession&, const TaskPtr&, const Data&) override { events.push_back("data"); }
    void willCacheResponse(URLSession&, const TaskPtr&, CachedURLResponse proposed,
                           CacheCompletion completion) override {
        events.push_back("willCache " + std::string(proposed.data.begin(), proposed.data.end()));
        if (keep) {
            completion(std::move(proposed));
        } else {
            completion(std::nullopt);
        }
    }
    void didCompleteWithError(URLSession&, const TaskPtr&, const std::optional<Error>&) override {
        events.push_back("complete");
    }

    bool asks = true;
    bool keep = true;
    std::vector<std::string> events;
};

TEST_F(SessionScriptedTest, TheDelegateDecidesWhatTheResponseCacheKeeps) {
    sim::Network::setReachability(kReachabilityFlagsReachable);
    script.route("GET", "https://api.example.test/", ScriptedReply::text(200, "body"));
    script.route("GET", "https://api.example.test/private",
                 ScriptedReply::text(200, "secret").withHeader("Cache-Control", "no-store"));
    script.route("POST", "https://api.example.test/", ScriptedReply::text(200, "posted"));
    struct Case {
        const char* name;
        bool withCache;
        bool asks;
        bool keep;
        const char* method;
        const char* path;
        std::vector<std::string> events;
        bool cached;
    };
    const Case cases[] = {
        {"kept", true, true, true, "GET", "/a", {"data", "willCache body", "complete"}, true},
        {"refused", true, true, false, "GET", "/a", {"data", "willCache body", "complete"}, false},
        {"not asked: the proposal is kept", true, false, true, "GET", "/a", {"data", "complete"}, true},
        {"no cache: never asked", false, true, true, "GET", "/a", {"data", "complete"}, false},
        {"a POST is not cached", true, true, true, "POST", "/a", {"data", "complete"}, false},
        {"no-store is not cached", true, true, true, "GET", "/private", {"data", "complete"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = URLSessionConfiguration::ephemeral();
        if (c.withCache) {
            config.urlCache = std::make_shared<URLCache>();
        }
        auto delegate = std::make_shared<CachingDelegate>();
        delegate->asks = c.asks;
        delegate->keep = c.keep;
        auto cachingSession = URLSession::make(config, delegate, OperationQueue::main());
        URLRequest request(*URL::parse(std::string("https://api.example.test") + c.path));
        request.setHTTPMethod(c.method);
        cachingSession->dataTask(request)->resume();
        Virtual::runUntilIdle();
        EXPECT_EQ(delegate->events, c.events);
        if (c.withCache) {
            const auto cached = config.urlCache->cachedResponse(request);
            ASSERT_EQ(cached.has_value(), c.cached);
            if (cached) {
                EXPECT_EQ(cached->response->statusCode(), 200);
                EXPECT_EQ(std::string(cached->data.begin(), cached->data.end()), "body");
            }
        }
        cachingSession->invalidateAndCancel();
        Virtual::runUntilIdle();
    }

    // A task with a completion block caches without asking.
    auto config = URLSessionConfiguration::ephemeral();
    config.urlCache = std::make_shared<URLCache>();
    session = URLSession::make(config, nullptr, OperationQueue::main());
    const URLRequest request(*URL::parse("https://api.example.test/b"));
    auto out = start(request);
    Virtual::runUntilIdle();
    ASSERT_TRUE(out->finished);
    EXPECT_EQ(config.urlCache->count(), 1u);
    EXPECT_EQ(config.urlCache->cachedResponse(request)->data, *out->data);
}

} // namespace
} // namespace plat
