// The network client against devserver over HTTPS with real TLS verification (its test CA trusted through
// the extra CA file): anchor pinning refuses what is not pinned before any HTTP request is made, the debug
// argument turns pinning off, and the default headers, a retried dropped connection and the download
// family are seen as the server saw them.

#include "kit_host/ZUVNetworkClient.hpp"
#include "kit_host/ZUVNetworkOperation.hpp"
#include "kit_host/tests/PemCertificate.hpp"
#include "kit_host/tests/ShimTestSupport.hpp"

#include "deployment/Deployment.hpp"
#include "devserver/Server.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

namespace {

using plat::Virtual;

constexpr const char* kServerHost = "api.example.test";

struct ServerChain {
    std::atomic<int> calls{0};
    std::optional<plat::Data> data;
    std::optional<plat::URL> file;
    std::string fileBody;
    std::shared_ptr<const plat::HTTPURLResponse> response;
    std::optional<plat::Error> error;
    ZUVNetworkClient::DataCompletion dataBlock() {
        return [this](std::optional<plat::Data> d, std::shared_ptr<const plat::HTTPURLResponse> r, std::optional<plat::Error> e) {
            data = std::move(d);
            response = std::move(r);
            error = std::move(e);
            calls.fetch_add(1);
        };
    }
    ZUVNetworkClient::DownloadCompletion downloadBlock() {
        return [this](std::optional<plat::URL> f, std::shared_ptr<const plat::HTTPURLResponse> r, std::optional<plat::Error> e) {
            if (f) {
                std::ifstream in(f->path());
                fileBody.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            file = std::move(f);
            response = std::move(r);
            error = std::move(e);
            calls.fetch_add(1);
        };
    }
};

class NetworkClientServerTest : public ::testing::Test {
protected:
    void SetUp() override { shim_test::bootDevice(home); }
    void TearDown() override { server.stop(); }

    void startServer(devserver::CertificateMode mode = devserver::CertificateMode::Trusted) {
        server.stop();
        devserver::Options options;
        options.certificateMode = mode;
        ASSERT_TRUE(server.start(options)) << server.error();
        const std::string ca = home.root() + "/devserver-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(kServerHost));
    }
    // Lets real I/O in; when nothing arrives for a while, moves virtual time to the next timer (a retry).
    static bool waitForChain(const ServerChain& chain) {
        for (int step = 0; step < 40; ++step) {
            if (Virtual::runUntil([&] { return chain.calls.load() > 0; }, 1.0))
                return true;
            auto pending = Virtual::pendingTimers();
            if (!pending.empty())
                Virtual::advanceTo(pending.front().deadline);
        }
        return chain.calls.load() > 0;
    }
    static plat::URLRequest request(const std::string& path = "/thing") {
        auto op = ZUVNetworkOperation::initWithAPIKey("api-key-1");
        auto r = op->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(*plat::URL::parse(std::string("https://") + kServerHost + path));
        r.setValue("application/json", "Accept");
        return r;
    }

    plat::test::TempAppHome home;
    devserver::Server server;
};

TEST_F(NetworkClientServerTest, ThePinnedRootsRefuseTheTestServerBeforeAnyRequest) {
    server.route("GET", "/thing", devserver::Reply::json(200, "{}"));
    startServer();
    auto client = ZUVNetworkClient::initWithQueue(nullptr, ZUVPinnedCertificates());
    ASSERT_TRUE(client && client->certPinner());
    ServerChain chain;
    client->startDataTaskWithRequest(request(), 1, chain.dataBlock());
    ASSERT_TRUE(waitForChain(chain));
    EXPECT_EQ(chain.calls.load(), 1);
    ASSERT_TRUE(chain.error);
    EXPECT_TRUE(chain.error->is("ZUVNetworkError", -6)) << chain.error->displayText() << ": the cancelled challenge (-999) is retried";
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(NetworkClientServerTest, PinningTheTestCAAcceptsOnlyItsRightHostCertificate) {
    server.route("GET", "/thing", devserver::Reply::json(200, "{\"ok\":true}"));
    struct Case {
        devserver::CertificateMode mode;
        bool succeeds;
    };
    const Case cases[] = {{devserver::CertificateMode::Trusted, true},
                          {devserver::CertificateMode::WrongHost, false},
                          {devserver::CertificateMode::SelfSigned, false}};
    for (const auto& c : cases) {
        startServer(c.mode);
        server.clearRequests();
        auto ca = pemCertificate(server.caPem());
        ASSERT_TRUE(ca);
        auto client = ZUVNetworkClient::initWithQueue(nullptr, {ca});
        ServerChain chain;
        client->startDataTaskWithRequest(request(), 0, chain.dataBlock());
        ASSERT_TRUE(waitForChain(chain));
        EXPECT_EQ(!chain.error, c.succeeds) << static_cast<int>(c.mode) << " " << (chain.error ? chain.error->displayText() : "");
        EXPECT_EQ(server.requestCount(), c.succeeds ? 1u : 0u);
        if (c.succeeds) {
            EXPECT_EQ(chain.response->statusCode(), 200);
            EXPECT_EQ(chain.data, (plat::Data{'{', '"', 'o', 'k', '"', ':', 't', 'r', 'u', 'e', '}'}));
        }
    }
}

TEST_F(NetworkClientServerTest, TheDebugArgumentLeavesServerTrustToTheDefaultHandling) {
    plat::sim::Process::setArguments({"portal-app", "-DAVDebugEnabled"});
    server.route("GET", "/thing", devserver::Reply::json(200, "{}"));
    startServer();
    auto client = ZUVNetworkClient::initWithQueue(nullptr, ZUVPinnedCertificates());
    ServerChain chain;
    client->startDataTaskWithRequest(request(), 0, chain.dataBlock());
    ASSERT_TRUE(waitForChain(chain));
    EXPECT_FALSE(chain.error) << chain.error->displayText();
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(NetworkClientServerTest, TheServerReceivesTheDefaultHeaders) {
    server.route("GET", "/thing", devserver::Reply::json(200, "{}"));
    startServer();
    auto client = ZUVNetworkClient::init();
    ServerChain chain;
    client->startDataTaskWithRequest(request(), chain.dataBlock());
    ASSERT_TRUE(waitForChain(chain));
    ASSERT_FALSE(chain.error) << chain.error->displayText();
    ASSERT_EQ(server.requestCount(), 1u);
    // The server keeps header names sorted; the order on the wire is checked on the scripted network.
    const auto recorded = server.requests()[0];
    const std::pair<const char*, std::string> expected[] = {
        {"User-Agent", "ro.darazo.rev.ara/1.8.0 (71)"},
        {"Accept-Charset", "utf-8"},
        {"Accept-Language", ZUVNetworkOperation::localeIdentifier()},
        {"Content-Language", ZUVNetworkOperation::localeIdentifier()},
        {"X-Vuzidorazav-Developer-Token", std::string(deployment::kKitDeveloperToken)},
        {"X-Vuzidorazav-API-Client-Id", "ro.darazo.rev.ara"},
        {"X-Vuzidorazav-API-Client-Display-Version", "1.8.0"},
        {"X-Vuzidorazav-API-Client-Build-Version", "71"},
        {"X-Vuzidorazav-API-Key", "api-key-1"},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(recorded.header(name), value) << name;
}

TEST_F(NetworkClientServerTest, ADroppedConnectionIsRetried) {
    std::atomic<int> seen{0};
    server.route("GET", "/thing", [&seen](const devserver::RecordedRequest&) {
        return seen.fetch_add(1) == 0 ? devserver::Reply::dropped() : devserver::Reply::json(200, "{}");
    });
    startServer();
    auto client = ZUVNetworkClient::init();
    ServerChain chain;
    client->startDataTaskWithRequest(request(), 3, chain.dataBlock());
    ASSERT_TRUE(waitForChain(chain));
    EXPECT_FALSE(chain.error) << chain.error->displayText();
    EXPECT_EQ(seen.load(), 2);
}

TEST_F(NetworkClientServerTest, TheDownloadFamilyHandsOverAReadableFile) {
    server.route("GET", "/file", devserver::Reply::json(200, "{\"settings\":1}"));
    startServer();
    auto client = ZUVNetworkClient::init();
    ServerChain chain;
    client->startDownloadTaskWithRequest(request("/file"), 1, chain.downloadBlock());
    ASSERT_TRUE(waitForChain(chain));
    ASSERT_FALSE(chain.error) << chain.error->displayText();
    ASSERT_TRUE(chain.file);
    EXPECT_EQ(chain.fileBody, "{\"settings\":1}");
    EXPECT_EQ(chain.response->statusCode(), 200);
}

} // namespace
