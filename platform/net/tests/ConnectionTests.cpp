// URLConnection against a loopback devserver: the blocking load and the delegate's callbacks on the main
// queue, both riding on the session machinery.

#include "platform/dispatch/Thread.hpp"
#include "platform/net/URLConnection.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/tests/SessionTestSupport.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat::test {
namespace {

using devserver::Reply;

// A loopback port with nothing listening on it.
std::string closedPortURL() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x";
}

// What a delegate heard; kept apart from the delegate, which the connection releases when it ends.
struct Heard {
    std::vector<std::string> events;
    std::string body;
    bool ended = false;
    bool allOnMain = true;
};

class Recorder : public URLConnectionDelegate {
public:
    explicit Recorder(std::shared_ptr<Heard> heard) : heard_(std::move(heard)) {}

    void didReceiveResponse(URLConnection&, const HTTPURLResponse& response) override {
        note("response:" + std::to_string(response.statusCode()));
    }
    void didReceiveData(URLConnection&, const Data& data) override {
        if (heard_->events.empty() || heard_->events.back() != "data")
            note("data");
        heard_->body.append(data.begin(), data.end());
    }
    void didFinishLoading(URLConnection&) override {
        note("finish");
        heard_->ended = true;
    }
    void didFailWithError(URLConnection&, const Error& e) override {
        note("fail:" + std::to_string(e.code));
        heard_->ended = true;
    }

private:
    void note(std::string event) {
        heard_->allOnMain = heard_->allOnMain && Thread::isMainThread();
        heard_->events.push_back(std::move(event));
    }
    std::shared_ptr<Heard> heard_;
};

class ConnectionTest : public SessionFixture {};

TEST_F(ConnectionTest, SynchronousLoadReturnsTheResponseAndBodyAlsoForAnHTTPError) {
    startServer();
    server.route("GET", "/hello", Reply::text(200, "hello world"));
    server.route("GET", "/missing", Reply::text(404, "no such page"));

    const auto ok = URLConnection::sendSynchronousRequest(URLRequest(url("/hello")));
    ASSERT_FALSE(ok.error) << ok.error->description();
    ASSERT_TRUE(ok.response);
    EXPECT_EQ(ok.response->statusCode(), 200);
    EXPECT_EQ(text(ok.data), "hello world");

    // An HTTP status is an answer, not a failure.
    const auto missing = URLConnection::sendSynchronousRequest(URLRequest(url("/missing")));
    EXPECT_FALSE(missing.error);
    ASSERT_TRUE(missing.response);
    EXPECT_EQ(missing.response->statusCode(), 404);
    EXPECT_EQ(text(missing.data), "no such page");
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(ConnectionTest, SynchronousLoadLetsItsOwnTrustHandlerDecideTheServerChain) {
    startServer();
    server.route("GET", "/hello", Reply::text(200, "hello world"));
    struct Case {
        URLSessionAuthChallengeDisposition disposition;
        int64_t errorCode; // 0: the load succeeds
        size_t requestsAfter;
    };
    const Case cases[] = {
        {URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge, NSURLErrorCancelled, 0},
        // The default evaluation trusts the test CA.
        {URLSessionAuthChallengeDisposition::performDefaultHandling, 0, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> asked;
        const auto out = URLConnection::sendSynchronousRequest(
            URLRequest(url("/hello")),
            [&asked, &c](const URLAuthenticationChallenge& challenge, URLSessionDelegate::ChallengeCompletion done) {
                asked.push_back(challenge.protectionSpace.authenticationMethod + " " + challenge.protectionSpace.host);
                EXPECT_TRUE(challenge.protectionSpace.serverTrust);
                done(c.disposition, std::nullopt);
            });
        ASSERT_EQ(asked.size(), 1u) << static_cast<int>(c.disposition);
        EXPECT_EQ(asked[0], std::string(NSURLAuthenticationMethodServerTrust) + " portal.example.test");
        if (c.errorCode != 0) {
            ASSERT_TRUE(out.error);
            EXPECT_EQ(out.error->code, c.errorCode);
            EXPECT_FALSE(out.response);
        } else {
            ASSERT_FALSE(out.error) << out.error->description();
            EXPECT_EQ(text(out.data), "hello world");
        }
        EXPECT_EQ(server.requests().size(), c.requestsAfter);
    }
    // A later load without a handler is not asked through an earlier load's handler.
    const auto plain = URLConnection::sendSynchronousRequest(URLRequest(url("/hello")));
    EXPECT_FALSE(plain.error);
    EXPECT_EQ(server.requests().size(), 2u);
}

// A kept-alive connection that the default evaluation accepted must not carry a load whose own handler would
// refuse the server: that load gets a handshake of its own, and nothing reaches the server.
TEST_F(ConnectionTest, ALoadWithItsOwnTrustHandlerNeverRidesAConnectionAcceptedForAnother) {
    startServer();
    server.route("POST", "/report", Reply::text(200, "stored"));
    URLRequest post(url("/report"));
    post.setHTTPMethod("POST");
    post.setHTTPBody(Data{'x'});
    const auto plain = URLConnection::sendSynchronousRequest(post);
    ASSERT_FALSE(plain.error) << plain.error->description();
    ASSERT_EQ(server.requests().size(), 1u);

    int asked = 0;
    const auto refused = URLConnection::sendSynchronousRequest(
        post, [&asked](const URLAuthenticationChallenge&, URLSessionDelegate::ChallengeCompletion done) {
            ++asked;
            done(URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge, std::nullopt);
        });
    EXPECT_EQ(asked, 1);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, NSURLErrorCancelled);
    EXPECT_EQ(server.requests().size(), 1u);

    // Nor does a later plain load ride a connection that only a load's own handler accepted.
    const auto accepted = URLConnection::sendSynchronousRequest(
        post, [](const URLAuthenticationChallenge&, URLSessionDelegate::ChallengeCompletion done) {
            done(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        });
    ASSERT_FALSE(accepted.error) << accepted.error->description();
    const auto after = URLConnection::sendSynchronousRequest(post);
    ASSERT_FALSE(after.error) << after.error->description();
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(ConnectionTest, SynchronousLoadToAClosedPortFailsWithCannotConnect) {
    startServer();
    const std::string target = closedPortURL();
    const auto out = URLConnection::sendSynchronousRequest(URLRequest(*URL::parse(target)));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->domain, NSURLErrorDomain);
    EXPECT_EQ(out.error->code, NSURLErrorCannotConnectToHost);
    EXPECT_EQ(out.error->userInfoValue(NSURLErrorFailingURLStringErrorKey)->stringValue(), target);
    EXPECT_FALSE(out.data);
    EXPECT_FALSE(out.response);
}

TEST_F(ConnectionTest, DelegateHearsResponseDataThenFinishOnTheMainQueue) {
    startServer();
    server.route("GET", "/data", Reply::text(200, std::string(200000, 'x')));
    auto heard = std::make_shared<Heard>();
    auto delegate = std::make_shared<Recorder>(heard);
    std::weak_ptr<Recorder> watch = delegate;
    {
        URLConnection connection(URLRequest(url("/data")), std::move(delegate));
    } // the running load keeps itself and its delegate alive
    ASSERT_TRUE(waitFor([&] { return heard->ended; }));
    EXPECT_EQ(heard->events, (std::vector<std::string>{"response:200", "data", "finish"}));
    EXPECT_EQ(heard->body.size(), 200000u);
    EXPECT_TRUE(heard->allOnMain);
    EXPECT_TRUE(watch.expired()); // released once the load ended
}

TEST_F(ConnectionTest, FailureReachesOnlyDidFailAndCancelSilencesTheDelegate) {
    startServer();
    auto failing = std::make_shared<Heard>();
    URLConnection refused(URLRequest(*URL::parse(closedPortURL())), std::make_shared<Recorder>(failing));
    ASSERT_TRUE(waitFor([&] { return failing->ended; }));
    EXPECT_EQ(failing->events, (std::vector<std::string>{"fail:-1004"}));
    EXPECT_TRUE(failing->allOnMain);

    server.route("GET", "/stalled", Reply::stalled(100, "part"));
    auto cancelled = std::make_shared<Heard>();
    auto delegate = std::make_shared<Recorder>(cancelled);
    std::weak_ptr<Recorder> watch = delegate;
    URLConnection connection(URLRequest(url("/stalled")), std::move(delegate));
    ASSERT_TRUE(waitFor([&] { return !cancelled->events.empty(); })); // the response arrived
    // The partial body may or may not have been delivered by now; nothing may follow the cancel.
    connection.cancel();
    const auto heardBeforeCancel = cancelled->events;
    EXPECT_TRUE(watch.expired()); // released by the cancel
    Virtual::runUntil([] { return false; }, 0.2);
    EXPECT_EQ(cancelled->events, heardBeforeCancel);
    EXPECT_EQ(cancelled->events.front(), "response:200");
    EXPECT_FALSE(cancelled->ended);
}

} // namespace
} // namespace plat::test
