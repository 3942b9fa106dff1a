// URLSession through an HTTP proxy named in the configuration: requests in absolute form to the proxy, and
// its 407 challenges (Basic and Digest) answered from the delegate or the credential store. A plain-HTTP
// devserver plays the proxy.

#include "platform/foundation/Base64.hpp"
#include "platform/net/URLCredentialStorage.hpp"
#include "platform/net/tests/SessionTestSupport.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

namespace plat::test {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;

// The origin is never resolved: only the proxy can reach it.
constexpr const char* kOrigin = "http://origin.example.test/private";

std::string basic(const std::string& user, const std::string& password) {
    return "Basic " + base64Encode(user + ":" + password);
}

// RFC 2617 without qop, as offered below.
bool proxyDigestMatches(const RecordedRequest& r, const std::string& password) {
    return digestMatches(r, "proxy-authorization", "proxy", password);
}

Reply proxyChallenge(bool digest) {
    return Reply::text(407, "proxy says no")
        .withHeader("Proxy-Authenticate",
                    digest ? "Digest realm=\"proxy\", nonce=\"n0nce\"" : "Basic realm=\"proxy\"");
}

// A CONNECT proxy on loopback: it refuses a tunnel without the expected Proxy-Authorization (407, then
// closes), and otherwise relays bytes to `targetPort` whatever host was asked for.
class TunnelProxy {
public:
    TunnelProxy(int targetPort, std::string expectedAuthorization)
        : target_(targetPort), expected_(std::move(expectedAuthorization)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listen_, 16);
        socklen_t len = sizeof addr;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        (void)::pipe2(stop_, O_CLOEXEC);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~TunnelProxy() {
        (void)::write(stop_[1], "x", 1);
        acceptor_.join();
        for (auto& t : connections_)
            t.join();
        ::close(listen_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    TunnelProxy(const TunnelProxy&) = delete;
    TunnelProxy& operator=(const TunnelProxy&) = delete;

    int port() const { return port_; }
    int refused() const { return refused_; }
    int opened() const { return opened_; }

private:
    // Waits for `fd` or the stop pipe; false once stopping.
    bool wait(int fd) const {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return ::poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN);
    }

    void acceptLoop() {
        while (wait(listen_)) {
            const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                connections_.emplace_back([this, client] { serve(client); });
        }
    }

    void serve(int client) {
        std::string head;
        char buffer[16384];
        while (head.find("\r\n\r\n") == std::string::npos && wait(client)) {
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0)
                break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string needle = "\r\nProxy-Authorization: " + expected_ + "\r\n";
        if (head.rfind("CONNECT ", 0) != 0 || head.find(needle) == std::string::npos) {
            ++refused_;
            const std::string reply = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                      "Proxy-Authenticate: Basic realm=\"tunnel\"\r\n"
                                      "Content-Length: 0\r\nConnection: close\r\n\r\n";
            (void)::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
            return;
        }
        ++opened_;
        const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(target_));
        if (::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            const std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
            (void)::send(client, ok.data(), ok.size(), MSG_NOSIGNAL);
            relay(client, upstream);
        }
        ::close(upstream);
        ::close(client);
    }

    void relay(int a, int b) {
        char buffer[16384];
        for (;;) {
            pollfd fds[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 3, -1) <= 0 || (fds[2].revents & POLLIN))
                return;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0)
                    return;
                if (::send(fds[1 - i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
                    return;
            }
        }
    }

    int target_;
    std::string expected_;
    int listen_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::atomic<int> refused_{0};
    std::atomic<int> opened_{0};
    std::thread acceptor_;
    std::vector<std::thread> connections_; // acceptor thread only, until joined
};

class SessionProxyTest : public SessionFixture {
protected:
    void SetUp() override {
        devserver::Options options;
        options.tls = false;
        startServer(options);
    }

    URLSessionConfiguration proxied() {
        auto config = URLSessionConfiguration::ephemeral();
        config.connectionProxyDictionary.set("HTTPEnable", Value(int64_t{1}));
        config.connectionProxyDictionary.set("HTTPProxy", Value("127.0.0.1"));
        config.connectionProxyDictionary.set("HTTPPort", Value(int64_t{server.port()}));
        return config;
    }

    // The proxy answers for the origin in absolute form, once the right Proxy-Authorization comes.
    void routeProxy(std::function<bool(const RecordedRequest&)> authorized, bool digest) {
        server.route("GET", kOrigin, [authorized, digest](const RecordedRequest& r) {
            return authorized(r) ? Reply::text(200, "via proxy") : proxyChallenge(digest);
        });
    }

    // Records each HTTP challenge and answers with the next credential of `answers` (none: default); server
    // trust gets default handling.
    std::shared_ptr<RecordingDelegate> answering(std::vector<std::optional<URLCredential>> answers) {
        auto delegate = std::make_shared<RecordingDelegate>();
        delegate->implement({URLSessionSelector::taskDidReceiveChallenge});
        auto left = std::make_shared<std::vector<std::optional<URLCredential>>>(std::move(answers));
        auto next = std::make_shared<std::optional<URLCredential>>();
        delegate->onChallenge = [this, left, next](const URLAuthenticationChallenge& c) {
            next->reset();
            if (c.protectionSpace.authenticationMethod == NSURLAuthenticationMethodServerTrust)
                return URLSessionAuthChallengeDisposition::performDefaultHandling;
            challenges.push_back(c);
            next->reset();
            if (!left->empty()) {
                *next = left->front();
                left->erase(left->begin());
            }
            return *next ? URLSessionAuthChallengeDisposition::useCredential
                         : URLSessionAuthChallengeDisposition::performDefaultHandling;
        };
        delegate->credentialFor = [next](const URLAuthenticationChallenge&) { return *next; };
        return delegate;
    }

    std::vector<URLAuthenticationChallenge> challenges;
};

URLCredential credential(const char* user, const char* password) {
    return URLCredential(user, password, URLCredentialPersistence::none);
}

TEST_F(SessionProxyTest, BasicChallengeOfTheProxyGoesToTheTaskWithItsFailureCount) {
    routeProxy(
        [](const RecordedRequest& r) { return r.header("proxy-authorization") == basic("puser", "right"); },
        false);
    auto delegate = answering({credential("puser", "wrong"), credential("puser", "right")});
    const auto out = load(session(delegate, proxied()), URLRequest(*URL::parse(kOrigin)));
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(out.response->statusCode(), 200);
    EXPECT_EQ(text(out.data), "via proxy");

    ASSERT_EQ(challenges.size(), 2u);
    for (std::size_t i = 0; i < challenges.size(); ++i) {
        const auto& space = challenges[i].protectionSpace;
        EXPECT_EQ(challenges[i].previousFailureCount, static_cast<int64_t>(i));
        EXPECT_TRUE(space.isProxy());
        EXPECT_EQ(space.proxyType, NSURLProtectionSpaceHTTPProxy);
        EXPECT_EQ(space.host, "127.0.0.1");
        EXPECT_EQ(space.port, server.port());
        EXPECT_EQ(space.realm, "proxy");
        EXPECT_EQ(space.authenticationMethod, NSURLAuthenticationMethodHTTPBasic);
        ASSERT_TRUE(challenges[i].failureResponse);
        EXPECT_EQ(challenges[i].failureResponse->statusCode(), 407);
    }

    const auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(recorded[0].path, kOrigin); // absolute form: the request went to the proxy
    EXPECT_EQ(recorded[0].host, "origin.example.test");
    EXPECT_FALSE(recorded[0].hasHeader("proxy-authorization"));
    EXPECT_EQ(recorded[1].header("proxy-authorization"), basic("puser", "wrong"));
    EXPECT_FALSE(recorded[2].hasHeader("authorization")); // proxy credentials never go to the server
}

TEST_F(SessionProxyTest, DigestChallengeOfTheProxyIsAnsweredWithADigest) {
    routeProxy([](const RecordedRequest& r) { return proxyDigestMatches(r, "secret"); }, true);
    // Digest quotes the user name, so a colon in it is the user's, not the start of the password.
    auto delegate = answering({credential("corp:puser", "secret")});
    const auto out = load(session(delegate, proxied()), URLRequest(*URL::parse(kOrigin)));
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(text(out.data), "via proxy");
    ASSERT_EQ(challenges.size(), 1u);
    EXPECT_EQ(challenges[0].protectionSpace.authenticationMethod, NSURLAuthenticationMethodHTTPDigest);
    const auto recorded = server.requests();
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(digestFields(recorded.back().header("proxy-authorization"))["username"], "corp:puser");
}

TEST_F(SessionProxyTest, DefaultHandlingUsesTheStoredProxyCredentialElseDeliversThe407) {
    routeProxy(
        [](const RecordedRequest& r) { return r.header("proxy-authorization") == basic("stored", "pw"); },
        false);
    URLProtectionSpace proxySpace;
    proxySpace.host = "127.0.0.1";
    proxySpace.port = server.port();
    proxySpace.realm = "proxy";
    proxySpace.authenticationMethod = NSURLAuthenticationMethodHTTPBasic;
    proxySpace.proxyType = NSURLProtectionSpaceHTTPProxy;
    URLProtectionSpace serverSpace = proxySpace; // the same place, but as a server
    serverSpace.proxyType.reset();
    serverSpace.protocol = NSURLProtectionSpaceHTTP;

    // A credential for the server's space is no answer to the proxy.
    const URLCredential stored("stored", "pw", URLCredentialPersistence::forSession);
    auto config = proxied();
    config.urlCredentialStorage->setDefaultCredential(stored, serverSpace);
    auto out = load(session(nullptr, config), URLRequest(*URL::parse(kOrigin)));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(out.response->statusCode(), 407);
    EXPECT_EQ(text(out.data), "proxy says no");

    // The proxy's own default is proposed and used, without and with a delegate that defers.
    config.urlCredentialStorage->setDefaultCredential(stored, proxySpace);
    out = load(session(nullptr, config), URLRequest(*URL::parse(kOrigin)));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(text(out.data), "via proxy");
    out = load(session(answering({std::nullopt}), config), URLRequest(*URL::parse(kOrigin)));
    EXPECT_EQ(text(out.data), "via proxy");
    ASSERT_EQ(challenges.size(), 1u);
    ASSERT_TRUE(challenges[0].proposedCredential);
    EXPECT_EQ(challenges[0].proposedCredential->user(), "stored");
}

TEST_F(SessionProxyTest, ProxyAndServerCredentialsAreKeptApart) {
    server.route("GET", kOrigin, [](const RecordedRequest& r) {
        if (r.header("proxy-authorization") != basic("puser", "ppass"))
            return proxyChallenge(false);
        if (r.header("authorization") != basic("suser", "spass"))
            return Reply::text(401, "server says no").withHeader("WWW-Authenticate", "Basic realm=\"site\"");
        return Reply::text(200, "both");
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::taskDidReceiveChallenge});
    delegate->onChallenge = [](const URLAuthenticationChallenge&) {
        return URLSessionAuthChallengeDisposition::useCredential;
    };
    delegate->credentialFor = [](const URLAuthenticationChallenge& c) {
        return c.protectionSpace.isProxy() ? credential("puser", "ppass") : credential("suser", "spass");
    };
    const auto out = load(session(delegate, proxied()), URLRequest(*URL::parse(kOrigin)));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(text(out.data), "both");
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(SessionProxyTest, A407FromAServerReachedDirectlyIsJustAResponse) {
    server.route("GET", "/direct", proxyChallenge(false));
    auto delegate = answering({credential("puser", "ppass")});
    const auto out = load(session(delegate), URLRequest(url("/direct")));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(out.response->statusCode(), 407);
    EXPECT_TRUE(challenges.empty());
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(SessionProxyTest, AnUnusableProxyEntryMeansADirectConnection) {
    server.route("GET", "/direct", Reply::text(200, "direct"));
    const std::vector<std::pair<const char*, Value>> broken = {
        {"HTTPEnable", Value(int64_t{0})},
        {"HTTPPort", Value(int64_t{70000})},
        {"HTTPProxy", Value("evil.test/#")},
    };
    for (const auto& [key, value] : broken) {
        auto config = proxied();
        config.connectionProxyDictionary.set(key, value);
        const auto out = load(session(nullptr, config), URLRequest(url("/direct")));
        ASSERT_FALSE(out.error) << key;
        EXPECT_EQ(text(out.data), "direct") << key;
        EXPECT_EQ(server.requests().back().path, "/direct") << key;
    }
}

TEST_F(SessionProxyTest, HttpsGoesThroughAnAuthenticatedTunnel) {
    server.stop();
    startServer(); // TLS, trusted through the test CA
    server.route("GET", "/secret", Reply::text(200, "tunnelled"));
    TunnelProxy proxy(server.port(), basic("tuser", "tpass"));
    auto config = URLSessionConfiguration::ephemeral();
    config.connectionProxyDictionary.set("HTTPSEnable", Value(int64_t{1}));
    config.connectionProxyDictionary.set("HTTPSProxy", Value("127.0.0.1"));
    config.connectionProxyDictionary.set("HTTPSPort", Value(int64_t{proxy.port()}));

    // Without an answer the proxy's 407 is the response, and no byte reached the server.
    auto out = load(session(nullptr, config), URLRequest(url("/secret")));
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(out.response->statusCode(), 407);
    EXPECT_EQ(out.response->value("Proxy-Authenticate"), "Basic realm=\"tunnel\"");
    EXPECT_EQ(server.requestCount(), 0u);

    auto delegate = answering({credential("tuser", "wrong"), credential("tuser", "tpass")});
    out = load(session(delegate, config), URLRequest(url("/secret")));
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(text(out.data), "tunnelled");
    ASSERT_EQ(challenges.size(), 2u);
    EXPECT_EQ(challenges[1].previousFailureCount, 1);
    EXPECT_EQ(challenges[1].protectionSpace.proxyType, NSURLProtectionSpaceHTTPSProxy);
    EXPECT_EQ(challenges[1].protectionSpace.port, proxy.port());
    EXPECT_EQ(challenges[1].protectionSpace.realm, "tunnel");
    EXPECT_EQ(proxy.refused(), 3);
    EXPECT_EQ(proxy.opened(), 1);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/secret"); // inside the tunnel the server sees an ordinary request
    EXPECT_FALSE(server.requests()[0].hasHeader("proxy-authorization"));
}

} // namespace
} // namespace plat::test
