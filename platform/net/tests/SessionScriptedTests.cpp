// URLSession on the scripted transport: the same task machinery in virtual time, with recorded requests,
// delays, silence and network errors.

#include "platform/dispatch/Backend.hpp"
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

} // namespace
} // namespace plat
