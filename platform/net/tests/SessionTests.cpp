// URLSession against a loopback devserver: what goes on the wire, the order of delegate events, redirects,
// cookies, authentication, server trust and the errors of a failing network.

#include "devserver/ConnectionRoutes.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/tests/SessionTestSupport.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat::test {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;

Reply echo(const RecordedRequest& r) {
    return Reply::text(200, r.method + " " + r.path + " " + r.body);
}

class SessionTest : public SessionFixture {};

TEST_F(SessionTest, GetOverHTTPSSendsMergedHeadersAndDeliversTheBody) {
    startServer();
    server.route("GET", "/hello", Reply::text(200, "hello world").withHeader("X-Reply", "1"));
    auto config = URLSessionConfiguration::ephemeral();
    config.httpAdditionalHeaders.set("X-Session", Value("session"));
    config.httpAdditionalHeaders.set("X-Both", Value("from-session"));
    auto s = session(nullptr, config);
    URLRequest request(url("/hello"));
    request.setValue("from-request", "X-Both");
    request.setValue("text/plain", "Accept");

    const auto out = load(s, request);
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(text(out.data), "hello world");
    ASSERT_TRUE(out.response);
    EXPECT_EQ(out.response->statusCode(), 200);
    EXPECT_EQ(out.response->value("X-Reply"), "1");

    const auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 1u);
    const auto& r = recorded[0];
    EXPECT_TRUE(r.tls);
    EXPECT_EQ(r.host, "portal.example.test");
    EXPECT_EQ(r.header("x-both"), "from-request");
    EXPECT_EQ(r.header("x-session"), "session");
    EXPECT_EQ(r.header("accept"), "text/plain");
    EXPECT_EQ(r.header("accept-encoding"), "gzip, deflate");
    EXPECT_FALSE(r.hasHeader("expect"));
    EXPECT_FALSE(r.hasHeader("user-agent"));
}

TEST_F(SessionTest, PostOverPlainHTTPCarriesTheBodyWithTheDefaultContentType) {
    devserver::Options options;
    options.tls = false;
    startServer(options);
    server.route("POST", "/form", echo);
    auto s = session();
    URLRequest request(url("/form"));
    request.setHTTPMethod("POST");
    const std::string body = "a=1&b=2";
    request.setHTTPBody(Data(body.begin(), body.end()));

    const auto out = load(s, request);
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(text(out.data), "POST /form a=1&b=2");
    const auto r = server.requests().at(0);
    EXPECT_FALSE(r.tls);
    EXPECT_EQ(r.header("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.header("content-length"), "7");
    EXPECT_FALSE(r.hasHeader("expect"));
}

// A connection kept alive in the pool may be gone by the time the next request goes down it. A request
// that is safe to repeat may then be sent again on a new connection; any other is sent once, and the
// failure is the caller's to retry or not.
TEST_F(SessionTest, OnlyRequestsSafeToRepeatAreSentAgainWhenAKeptAliveConnectionCloses) {
    startServer();
    server.route("", "/keep", devserver::closeKeptAliveConnectionOnNextRequest(Reply::text(200, "ok")));
    server.route("", "/gone", Reply::dropped());
    auto s = session();
    const auto sent = [&](const std::string& method, const std::string& path) {
        size_t count = 0;
        for (const auto& r : server.requests()) {
            count += r.method == method && r.path == path;
        }
        return count;
    };
    for (const char* method : {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE"}) {
        SCOPED_TRACE(method);
        const std::string name = method;
        const bool safe = name == "GET" || name == "HEAD";
        // The first request leaves a connection in the pool; the next one is sent down it.
        ASSERT_FALSE(load(s, URLRequest(url("/keep"))).error);
        server.clearRequests();
        URLRequest request(url("/keep"));
        request.setHTTPMethod(method);
        if (!safe) {
            request.setHTTPBody(Data{'x'});
        }
        const auto out = load(s, request);
        if (safe) {
            ASSERT_FALSE(out.error) << out.error->description();
            EXPECT_EQ(sent(method, "/keep"), 2u);
        } else {
            ASSERT_TRUE(out.error);
            EXPECT_EQ(out.error->domain, NSURLErrorDomain);
            EXPECT_EQ(out.error->code, NSURLErrorNetworkConnectionLost);
            EXPECT_EQ(sent(method, "/keep"), 1u);
        }
    }

    // Also where the answer never comes, the server sees the request once.
    ASSERT_FALSE(load(s, URLRequest(url("/keep"))).error);
    server.clearRequests();
    URLRequest post(url("/gone"));
    post.setHTTPMethod("POST");
    post.setHTTPBody(Data{'x'});
    const auto failed = load(s, post);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->domain, NSURLErrorDomain);
    EXPECT_EQ(sent("POST", "/gone"), 1u);
}

// A POST goes down a kept-alive connection the peer still holds open, as a GET does.
TEST_F(SessionTest, RequestsNotSafeToRepeatReuseALiveConnection) {
    devserver::Options options;
    options.tls = false;
    startServer(options);
    server.route("", "/count", [](const RecordedRequest& r) {
        return Reply::text(200, r.method + " " + std::to_string(r.onConnection));
    });
    auto s = session();
    ASSERT_FALSE(load(s, URLRequest(url("/count"))).error);
    for (int i = 2; i <= 4; ++i) {
        URLRequest post(url("/count"));
        post.setHTTPMethod(i == 3 ? "PUT" : "POST");
        post.setHTTPBody(Data{'x'});
        const auto out = load(s, post);
        ASSERT_FALSE(out.error) << out.error->description();
        EXPECT_EQ(text(out.data), post.httpMethod() + " " + std::to_string(i));
    }
}

TEST_F(SessionTest, DelegateHearsEveryEventInOrderAndTheResponseWaitsForItsAnswer) {
    startServer();
    server.route("GET", "/data", Reply::text(200, std::string(200000, 'x')));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::didReceiveResponse, URLSessionSelector::didReceiveData,
                         URLSessionSelector::didFinishCollectingMetrics,
                         URLSessionSelector::didCompleteWithError,
                         URLSessionSelector::didBecomeInvalidWithError});
    auto s = session(delegate);
    auto task = s->dataTask(URLRequest(url("/data")));
    EXPECT_EQ(task->state(), URLSessionTaskState::suspended);
    task->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->completed; }));

    EXPECT_EQ(delegate->events, (std::vector<std::string>{"response:200", "data", "metrics", "complete"}));
    EXPECT_EQ(delegate->body.size(), 200000u);
    EXPECT_EQ(task->state(), URLSessionTaskState::completed);
    EXPECT_EQ(task->countOfBytesReceived(), 200000);
    ASSERT_TRUE(task->response());
    EXPECT_EQ(task->response()->statusCode(), 200);

    s->finishTasksAndInvalidate();
    ASSERT_TRUE(waitFor([&] { return delegate->invalidated; }));
    EXPECT_EQ(delegate->events.back(), "invalid");
    EXPECT_EQ(s->delegate(), nullptr); // released once invalid
}

TEST_F(SessionTest, CancellingTheResponseEndsTheTaskWithCancelled) {
    startServer();
    server.route("GET", "/data", Reply::text(200, "body"));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::didReceiveResponse, URLSessionSelector::didReceiveData,
                         URLSessionSelector::didCompleteWithError});
    delegate->responseAnswer = URLSessionResponseDisposition::cancel;
    auto s = session(delegate);
    s->dataTask(URLRequest(url("/data")))->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->completed; }));
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"response:200", "complete:-999"}));
}

struct RedirectCase {
    int status;
    std::string method;
    std::string expectedMethod;
    std::string expectedBody;
};

TEST_F(SessionTest, RedirectsRewriteTheMethodAsTheStatusSays) {
    startServer();
    server.route("", "/target", echo);
    const std::vector<RedirectCase> cases = {
        {301, "POST", "GET", ""},       {302, "POST", "GET", ""},         {303, "POST", "GET", ""},
        {303, "PUT", "GET", ""},        {307, "POST", "POST", "payload"}, {308, "PUT", "PUT", "payload"},
        {302, "PUT", "PUT", "payload"},
    };
    auto s = session();
    for (const auto& c : cases) {
        server.route("", "/from" + std::to_string(c.status), Reply::redirect(c.status, "/target"));
        URLRequest request(url("/from" + std::to_string(c.status)));
        request.setHTTPMethod(c.method);
        request.setHTTPBody(Data{'p', 'a', 'y', 'l', 'o', 'a', 'd'});
        const auto out = load(s, request);
        ASSERT_FALSE(out.error) << c.status;
        EXPECT_EQ(text(out.data), c.expectedMethod + " /target " + c.expectedBody)
            << c.status << " " << c.method;
        EXPECT_EQ(out.response->url().absoluteString(), base + "/target");
    }
}

TEST_F(SessionTest, DelegateSeesEachHopAndMayRefuseARedirect) {
    startServer();
    server.route("GET", "/a", Reply::redirect(302, "/b"));
    server.route("GET", "/b", Reply::redirect(301, base + "/c").withHeader("X-Hop", "b"));
    server.route("GET", "/c", echo);
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::willPerformHTTPRedirection, URLSessionSelector::didReceiveData,
                         URLSessionSelector::didReceiveResponse, URLSessionSelector::didCompleteWithError});
    int hops = 0;
    delegate->onRedirect = [&](const HTTPURLResponse&, URLRequest next) -> std::optional<URLRequest> {
        if (++hops == 2)
            return std::nullopt;
        return next;
    };
    auto s = session(delegate);
    auto task = s->dataTask(URLRequest(url("/a")));
    task->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->completed; }));
    EXPECT_EQ(delegate->events,
              (std::vector<std::string>{"redirect:302", "redirect:301", "response:301", "complete"}));
    EXPECT_EQ(task->response()->value("X-Hop"), "b");
    EXPECT_EQ(task->currentRequest()->url()->absoluteString(), base + "/b");
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(SessionTest, MoreThanSixteenRedirectsFail) {
    startServer();
    server.route("GET", "/loop", Reply::redirect(302, "/loop"));
    auto s = session();
    const auto out = load(s, URLRequest(url("/loop")));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, NSURLErrorHTTPTooManyRedirects);
    EXPECT_EQ(server.requestCount(), 17u);
}

TEST_F(SessionTest, CookiesAreStoredAndSentOnlyWhereTheyMatch) {
    startServer();
    server.route("GET", "/login",
                 Reply::text(200, "ok")
                     .withHeader("Set-Cookie", "sid=abc; Path=/app; Expires=Wed, 21 Oct 2099 07:28:00 GMT")
                     .withHeader("Set-Cookie", "theme=dark; Domain=example.test; Path=/"));
    server.route("GET", "/app/page", Reply::text(200, "page"));
    server.route("GET", "/other", Reply::text(200, "other"));
    auto config = URLSessionConfiguration::ephemeral();
    config.httpCookieAcceptPolicy = HTTPCookieAcceptPolicy::always;
    auto s = session(nullptr, config);

    ASSERT_FALSE(load(s, URLRequest(url("/login"))).error);
    EXPECT_EQ(config.httpCookieStorage->cookies().size(), 2u);
    ASSERT_FALSE(load(s, URLRequest(url("/app/page"))).error);
    ASSERT_FALSE(load(s, URLRequest(url("/other"))).error);
    ASSERT_FALSE(load(s, URLRequest(*URL::parse("https://www.example.test/app/page"))).error);
    URLRequest noCookies(url("/app/page"));
    noCookies.setHTTPShouldHandleCookies(false);
    ASSERT_FALSE(load(s, noCookies).error);

    const auto r = server.requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_FALSE(r[0].hasHeader("cookie"));
    EXPECT_EQ(r[1].header("cookie"), "sid=abc; theme=dark");
    EXPECT_EQ(r[2].header("cookie"), "theme=dark");
    EXPECT_EQ(r[3].header("cookie"), "theme=dark"); // sid is host-only
    EXPECT_FALSE(r[4].hasHeader("cookie"));
}

TEST_F(SessionTest, ClosedPortFailsWithCannotConnect) {
    startServer();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    ::close(fd); // bound, never listening, now closed: nothing answers there

    auto s = session();
    const std::string target = "http://127.0.0.1:" + std::to_string(port) + "/x";
    const auto out = load(s, URLRequest(*URL::parse(target)));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->domain, NSURLErrorDomain);
    EXPECT_EQ(out.error->code, NSURLErrorCannotConnectToHost);
    EXPECT_EQ(out.error->userInfoValue(NSURLErrorFailingURLStringErrorKey)->stringValue(), target);
    EXPECT_EQ(out.error->userInfoValue(NSURLErrorFailingURLErrorKey)->stringValue(), target);
    ASSERT_TRUE(out.error->underlyingError);
    EXPECT_EQ(out.error->underlyingError->domain, PlatCurlErrorDomain);
    EXPECT_EQ(out.error->underlyingError->code, 7); // CURLE_COULDNT_CONNECT
}

TEST_F(SessionTest, NoRouteToTheNetworkFailsWithNotConnected) {
    // TCP to a multicast group has no route on Linux: the kernel answers ENETUNREACH at once.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(9);
    group.sin_addr.s_addr = htonl(0xE0000001); // 224.0.0.1
    const bool unreachable =
        ::connect(probe, reinterpret_cast<sockaddr*>(&group), sizeof group) != 0 && errno == ENETUNREACH;
    ::close(probe);
    if (!unreachable)
        GTEST_SKIP() << "this kernel routes TCP to 224.0.0.1";

    const auto out = load(session(), URLRequest(*URL::parse("http://224.0.0.1:9/x")));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, NSURLErrorNotConnectedToInternet);
    EXPECT_EQ(out.error->localizedDescription(), "The Internet connection appears to be offline.");
    ASSERT_TRUE(out.error->underlyingError);
    EXPECT_EQ(out.error->underlyingError->code, 7); // CURLE_COULDNT_CONNECT
}

TEST_F(SessionTest, WhileReachabilitySaysOfflineNothingIsSent) {
    startServer();
    server.route("GET", "/page", Reply::text(200, "page"));
    auto s = session();
    sim::Network::setReachability(0);
    auto out = load(s, URLRequest(url("/page")));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, NSURLErrorNotConnectedToInternet);
    EXPECT_EQ(server.requestCount(), 0u);

    sim::Network::setReachability(kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN);
    out = load(s, URLRequest(url("/page")));
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(text(out.data), "page");
}

TEST_F(SessionTest, StalledServerTimesOut) {
    startServer();
    server.route("GET", "/stall", Reply::stalled(1000, "partial"));
    auto s = session();
    URLRequest request(url("/stall"));
    request.setTimeoutInterval(1);
    const auto started = std::chrono::steady_clock::now();
    const auto out = load(s, request);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, NSURLErrorTimedOut);
}

TEST_F(SessionTest, UnparsableAndUnsupportedURLsFailWithoutTouchingTheNetwork) {
    startServer();
    auto s = session();
    EXPECT_EQ(load(s, URLRequest(*URL::parse("ftp://portal.example.test/file"))).error->code,
              NSURLErrorUnsupportedURL);
    EXPECT_EQ(load(s, URLRequest(*URL::parse("relative/path"))).error->code, NSURLErrorBadURL);
    EXPECT_EQ(load(s, URLRequest(std::nullopt)).error->code, NSURLErrorBadURL);
    EXPECT_EQ(server.requestCount(), 0u);
}

struct TrustCase {
    const char* name;
    devserver::CertificateMode mode;
};

TEST_F(SessionTest, DefaultTrustRefusesAnUntrustedOrMisnamedCertificate) {
    for (const TrustCase c : {TrustCase{"self-signed", devserver::CertificateMode::SelfSigned},
                              TrustCase{"wrong host", devserver::CertificateMode::WrongHost}}) {
        devserver::Options options;
        options.certificateMode = c.mode;
        server.stop();
        startServer(options);
        server.route("GET", "/secret", Reply::text(200, "secret"));
        auto s = session();
        const auto out = load(s, URLRequest(url("/secret")));
        ASSERT_TRUE(out.error) << c.name;
        EXPECT_EQ(out.error->code, NSURLErrorServerCertificateUntrusted) << c.name;
        EXPECT_EQ(server.requestCount(), 0u) << c.name;
    }
}

TEST_F(SessionTest, ServerTrustChallengeGoesToTheSessionFirstAndItsAnswerDecides) {
    devserver::Options options;
    options.certificateMode = devserver::CertificateMode::SelfSigned;
    startServer(options);
    server.route("GET", "/pinned", Reply::text(200, "pinned"));

    // Accepting the presented trust lets even a self-signed server through (the app's own pinning).
    auto accepting = std::make_shared<RecordingDelegate>();
    accepting->implement(
        {URLSessionSelector::didReceiveChallenge, URLSessionSelector::taskDidReceiveChallenge});
    std::string challengedHost;
    accepting->onChallenge = [&](const URLAuthenticationChallenge& c) {
        challengedHost = c.protectionSpace.host;
        EXPECT_TRUE(c.protectionSpace.serverTrust);
        return URLSessionAuthChallengeDisposition::useCredential;
    };
    auto out = load(session(accepting), URLRequest(url("/pinned")));
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(text(out.data), "pinned");
    EXPECT_EQ(challengedHost, "portal.example.test");
    EXPECT_EQ(accepting->events.at(0),
              std::string("sessionChallenge:") + NSURLAuthenticationMethodServerTrust);

    // Cancelling the challenge: -999, and the request never reaches the server.
    auto cancelling = std::make_shared<RecordingDelegate>();
    cancelling->implement({URLSessionSelector::taskDidReceiveChallenge});
    cancelling->onChallenge = [](const URLAuthenticationChallenge&) {
        return URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge;
    };
    out = load(session(cancelling), URLRequest(url("/pinned")));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, NSURLErrorCancelled);
    EXPECT_EQ(cancelling->events.at(0), std::string("taskChallenge:") + NSURLAuthenticationMethodServerTrust);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(SessionTest, BasicAuthenticationAsksTheTaskAndRetriesWithTheCredential) {
    startServer();
    server.route("GET", "/private", [](const RecordedRequest& r) {
        if (r.header("authorization") == "Basic dXNlcjpwYXNz") // user:pass
            return Reply::text(200, "welcome");
        return Reply::text(401, "denied").withHeader("WWW-Authenticate", "Basic realm=\"portal\"");
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::taskDidReceiveChallenge});
    std::vector<int64_t> failureCounts;
    std::string password = "wrong";
    delegate->onChallenge = [&](const URLAuthenticationChallenge& c) {
        if (c.protectionSpace.authenticationMethod == NSURLAuthenticationMethodServerTrust)
            return URLSessionAuthChallengeDisposition::performDefaultHandling;
        failureCounts.push_back(c.previousFailureCount);
        EXPECT_EQ(c.protectionSpace.realm, "portal");
        EXPECT_EQ(c.protectionSpace.authenticationMethod, NSURLAuthenticationMethodHTTPBasic);
        return URLSessionAuthChallengeDisposition::useCredential;
    };
    delegate->credentialFor = [&](const URLAuthenticationChallenge&) {
        auto c = URLCredential("user", password, URLCredentialPersistence::none);
        password = "pass";
        return c;
    };
    auto out = load(session(delegate), URLRequest(url("/private")));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(text(out.data), "welcome");
    EXPECT_EQ(failureCounts, (std::vector<int64_t>{0, 1}));

    // Without a delegate answer and no stored credential, the 401 itself is the response.
    out = load(session(), URLRequest(url("/private")));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(out.response->statusCode(), 401);
    EXPECT_EQ(text(out.data), "denied");
}

TEST_F(SessionTest, DigestAuthenticationAnswersWithADigestOfTheCredential) {
    startServer();
    server.route("", "/digest", [](const RecordedRequest& r) {
        if (digestMatches(r, "authorization", "site", "secret"))
            return Reply::text(200, "welcome");
        return Reply::text(401, "denied")
            .withHeader("WWW-Authenticate", "Digest realm=\"site\", nonce=\"n0nce\"");
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::taskDidReceiveChallenge});
    std::vector<std::string> methods;
    delegate->onChallenge = [&](const URLAuthenticationChallenge& c) {
        if (c.protectionSpace.authenticationMethod == NSURLAuthenticationMethodServerTrust)
            return URLSessionAuthChallengeDisposition::performDefaultHandling;
        methods.push_back(c.protectionSpace.authenticationMethod);
        return URLSessionAuthChallengeDisposition::useCredential;
    };
    // Digest quotes the user name, so a colon in it is the user's, not the start of the password.
    delegate->credentialFor = [](const URLAuthenticationChallenge&) {
        return URLCredential("corp:user", "secret", URLCredentialPersistence::none);
    };
    const auto out = load(session(delegate), URLRequest(url("/digest")));
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(text(out.data), "welcome");
    EXPECT_EQ(methods, std::vector<std::string>{NSURLAuthenticationMethodHTTPDigest});
    EXPECT_EQ(digestFields(server.requests().back().header("authorization"))["username"], "corp:user");

    // A POST is sent again with the answer to the challenge: that second copy is asked for, not a resend.
    server.clearRequests();
    URLRequest post(url("/digest"));
    post.setHTTPMethod("POST");
    post.setHTTPBody(Data{'x'});
    const auto posted = load(session(delegate), post);
    ASSERT_FALSE(posted.error) << posted.error->description();
    EXPECT_EQ(text(posted.data), "welcome");
    const auto posts = server.requests();
    ASSERT_FALSE(posts.empty());
    EXPECT_TRUE(digestMatches(posts.back(), "authorization", "site", "secret"));
    EXPECT_EQ(posts.back().body, "x");
}

TEST_F(SessionTest, ResponseOverTheSizeCapFailsCleanly) {
    startServer();
    server.route("GET", "/big", Reply::generated(300000));
    server.route("GET", "/big-chunked", Reply::generated(300000, true));
    auto config = URLSessionConfiguration::ephemeral();
    config.maximumResponseBodyBytes = 100000;
    auto s = session(nullptr, config);
    for (const char* path : {"/big", "/big-chunked"}) {
        const auto out = load(s, URLRequest(url(path)));
        ASSERT_TRUE(out.error) << path;
        EXPECT_EQ(out.error->code, NSURLErrorDataLengthExceedsMaximum) << path;
        EXPECT_FALSE(out.data) << path;
    }
}

TEST_F(SessionTest, InvalidateAndCancelCancelsRunningTasksThenReportsInvalid) {
    startServer();
    server.route("GET", "/stall", Reply::stalled(1000, "partial"));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement(
        {URLSessionSelector::didCompleteWithError, URLSessionSelector::didBecomeInvalidWithError});
    auto s = session(delegate);
    s->dataTask(URLRequest(url("/stall")))->resume();
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    s->invalidateAndCancel();
    EXPECT_TRUE(s->dataTask(URLRequest(url("/stall")))->state() != URLSessionTaskState::running);
    ASSERT_TRUE(waitFor([&] { return delegate->invalidated; }));
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"complete:-999", "invalid"}));
}

} // namespace
} // namespace plat::test
