#include "devserver/Gzip.hpp"
#include "devserver/Server.hpp"
#include "devserver/tests/CurlClient.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace devserver {
namespace {

using namespace std::chrono_literals;
using testing::Call;
using testing::Client;

constexpr const char* kPortal = "https://portal.example.test";

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "devserver-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override {
        server_.stop();
        std::filesystem::remove_all(dir_);
    }

    void start(Options options = {}) {
        ASSERT_TRUE(server_.start(options)) << server_.error();
        if (options.tls) {
            ASSERT_TRUE(server_.writeCa(caFile()));
        }
    }

    std::string caFile() const { return (dir_ / "ca.pem").string(); }

    Client client() const {
        return Client(
            {server_.resolveEntry("portal.example.test"), server_.resolveEntry("push.example.test")},
            server_.tls() ? caFile() : std::string());
    }

    testing::Result get(const std::string& url) { return client().perform(Call::to("GET", url)); }

    std::filesystem::path dir_;
    Server server_;
};

Options plainOr(bool tls) {
    Options options;
    options.tls = tls;
    return options;
}

Route route(std::string method, std::string path, Reply reply, PathMatch match = PathMatch::Exact,
            std::string host = {}, BodyCapture capture = BodyCapture::Record) {
    Route r;
    r.method = std::move(method);
    r.path = std::move(path);
    r.match = match;
    r.host = std::move(host);
    r.capture = capture;
    r.handler = [reply = std::move(reply)](const RecordedRequest&) { return reply; };
    return r;
}

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string sha256OfGenerated(uint64_t size) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr);
    std::string chunk(1 << 16, '\0');
    for (uint64_t offset = 0; offset < size; offset += chunk.size()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - offset));
        for (size_t i = 0; i < n; ++i) {
            chunk[i] = generatedByte(offset + i);
        }
        EVP_DigestUpdate(md.get(), chunk.data(), n);
    }
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_DigestFinal_ex(md.get(), digest, &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        static const char* digits = "0123456789abcdef";
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0xf];
    }
    return hex;
}

TEST_F(ServerTest, TrustedHttpsRequestThroughConnectToIsAnsweredAndRecorded) {
    start();
    EXPECT_GT(server_.port(), 0);
    EXPECT_EQ(server_.resolveEntry("portal.example.test"),
              "portal.example.test:443:127.0.0.1:" + std::to_string(server_.port()));
    server_.route("GET", "/hello", Reply::text(201, "hi").withHeader("X-Answer", "42"));

    const auto result = client().perform(
        Call::to("GET", std::string(kPortal) + "/hello?x=1&y=%20z").header("X-Custom-Header: Value One"));

    ASSERT_EQ(result.code, CURLE_OK) << curl_easy_strerror(result.code);
    EXPECT_EQ(result.status, 201);
    EXPECT_EQ(result.body, "hi");
    EXPECT_NE(result.headers.find("X-Answer: 42"), std::string::npos) << result.headers;
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.seq, 1u);
    EXPECT_TRUE(r.tls);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.host, "portal.example.test");
    EXPECT_EQ(r.path, "/hello");
    EXPECT_EQ(r.query, "x=1&y=%20z");
    EXPECT_EQ(r.header("X-CUSTOM-HEADER"), "Value One");
    EXPECT_EQ(r.header("host"), "portal.example.test");
    for (const auto& [name, value] : r.headers) {
        EXPECT_EQ(name, nlohmann::json(name).get<std::string>());
        EXPECT_TRUE(std::none_of(name.begin(), name.end(), [](char c) { return std::isupper(c); })) << name;
    }
    // Only what the client sent: no connection details the server library adds on its own.
    EXPECT_FALSE(r.hasHeader("remote_addr"));
    EXPECT_FALSE(r.hasHeader("local_port"));
}

TEST_F(ServerTest, CertificateModesDecideWhatAVerifyingClientAccepts) {
    struct Case {
        CertificateMode mode;
        std::vector<std::string> extraNames;
        std::string url; // "{port}" is replaced
        CURLcode expected;
    };
    const Case cases[] = {
        {CertificateMode::Trusted, {}, "https://portal.example.test/", CURLE_OK},
        {CertificateMode::Trusted, {}, "https://example.test/", CURLE_OK},
        {CertificateMode::Trusted, {"127.0.0.1", "extra.local"}, "https://127.0.0.1:{port}/", CURLE_OK},
        {CertificateMode::Trusted, {}, "https://127.0.0.1:{port}/", CURLE_PEER_FAILED_VERIFICATION},
        {CertificateMode::SelfSigned, {}, "https://portal.example.test/", CURLE_PEER_FAILED_VERIFICATION},
        {CertificateMode::WrongHost, {}, "https://portal.example.test/", CURLE_PEER_FAILED_VERIFICATION},
    };
    for (const auto& c : cases) {
        Server server;
        Options options;
        options.certificateMode = c.mode;
        options.extraNames = c.extraNames;
        ASSERT_TRUE(server.start(options)) << server.error();
        const std::string ca = (dir_ / "mode-ca.pem").string();
        ASSERT_TRUE(server.writeCa(ca));
        server.route("GET", "/", Reply::text(200, "ok"));
        std::string url = c.url;
        if (const auto at = url.find("{port}"); at != std::string::npos) {
            url.replace(at, 6, std::to_string(server.port()));
        }
        Client client({server.resolveEntry("portal.example.test"), server.resolveEntry("example.test")}, ca);

        const auto result = client.perform(Call::to("GET", url));

        EXPECT_EQ(result.code, c.expected)
            << url << " mode " << static_cast<int>(c.mode) << ": " << curl_easy_strerror(result.code);
        EXPECT_EQ(server.requestCount(), c.expected == CURLE_OK ? 1u : 0u) << url;
    }
}

TEST_F(ServerTest, RecordsMethodsAndRawBodiesInArrivalOrder) {
    start();
    server_.route(route("", "/", Reply::text(200, "ok"), PathMatch::Prefix));
    const std::string binary("a\0b\xff\xfe", 5);
    auto c = client();
    const auto send = [&](Call call) { ASSERT_EQ(c.perform(call).code, CURLE_OK) << call.url; };
    send(Call::to("POST", std::string(kPortal) + "/json")
             .send(R"({"a":1})")
             .header("Content-Type: application/json"));
    send(Call::to("PUT", std::string(kPortal) + "/bin").send(binary));
    // A coding the server library cannot undo, and a multipart form: both kept exactly as sent.
    send(Call::to("PATCH", std::string(kPortal) + "/coded")
             .send("not really zstd")
             .header("Content-Encoding: zstd"));
    const std::string multipart =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nvalue\r\n--XyZ--\r\n";
    send(Call::to("POST", std::string(kPortal) + "/form")
             .send(multipart)
             .header("Content-Type: multipart/form-data; boundary=XyZ"));
    send(Call::to("DELETE", std::string(kPortal) + "/item/7"));
    send(Call::to("OPTIONS", std::string(kPortal) + "/opt"));
    send(Call::to("HEAD", std::string(kPortal) + "/head"));

    ASSERT_TRUE(server_.waitForRequests(7, 5s));
    const auto r = server_.requests();
    ASSERT_EQ(r.size(), 7u);
    const std::vector<std::pair<std::string, std::string>> expected{{"POST", R"({"a":1})"},
                                                                    {"PUT", binary},
                                                                    {"PATCH", "not really zstd"},
                                                                    {"POST", multipart},
                                                                    {"DELETE", ""},
                                                                    {"OPTIONS", ""},
                                                                    {"HEAD", ""}};
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].seq, i + 1);
        EXPECT_EQ(r[i].method, expected[i].first);
        EXPECT_EQ(r[i].body, expected[i].second) << r[i].method << " " << r[i].path;
        EXPECT_EQ(r[i].bodySize, expected[i].second.size());
    }
    EXPECT_EQ(r[2].header("content-encoding"), "zstd");
    EXPECT_EQ(r[3].header("content-type"), "multipart/form-data; boundary=XyZ");

    server_.clearRequests();
    ASSERT_EQ(get(std::string(kPortal) + "/after").code, CURLE_OK);
    ASSERT_EQ(server_.requests().size(), 1u);
    EXPECT_EQ(server_.requests()[0].seq, 8u) << "sequence numbers keep counting after a clear";
}

// A client that accepts gzip gets large compressible replies compressed; a short one is not worth the
// deflate state on either end and goes out as it is.
TEST_F(ServerTest, OnlyRepliesOfSomeSizeAreCompressedForClientsThatAcceptGzip) {
    start();
    const std::string large = "{\"items\":\"" + std::string(4096, 'a') + "\"}";
    server_.route("POST", "/small", Reply::json(200, "{}"));
    server_.route("GET", "/large", Reply::json(200, large));
    server_.route("GET", "/edge", Reply::json(200, std::string(1023, ' ') + "1"));
    struct Case {
        Call call;
        std::string body;
        bool compressed;
    };
    const std::vector<Case> cases{
        {Call::to("POST", std::string(kPortal) + "/small").send("x").header("Accept-Encoding: gzip, deflate"), "{}",
         false},
        {Call::to("GET", std::string(kPortal) + "/large").header("Accept-Encoding: gzip, deflate"), large, true},
        {Call::to("GET", std::string(kPortal) + "/large"), large, false},
        {Call::to("GET", std::string(kPortal) + "/edge").header("Accept-Encoding: gzip"),
         std::string(1023, ' ') + "1", true},
    };
    auto c = client();
    for (const auto& [call, body, compressed] : cases) {
        SCOPED_TRACE(call.url);
        const auto result = c.perform(call);
        ASSERT_EQ(result.code, CURLE_OK);
        const bool coded = result.headers.find("Content-Encoding: gzip") != std::string::npos;
        EXPECT_EQ(coded, compressed) << result.headers;
        EXPECT_EQ(coded ? gunzip(result.body).value_or("<not gzip>") : result.body, body);
    }
    // The request is recorded as it was sent, Accept-Encoding included.
    EXPECT_EQ(server_.requests().at(0).header("accept-encoding"), "gzip, deflate");
}

TEST_F(ServerTest, BodyOfAGetOrOptionsIsRecordedNotTakenForTheNextRequest) {
    start();
    server_.route(route("", "/", Reply::text(200, "ok"), PathMatch::Prefix));
    auto c = client();
    const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: portal.example.test\r\n\r\n";

    const auto first = c.perform(Call::to("GET", std::string(kPortal) + "/first").send(smuggled));
    const auto options = c.perform(Call::to("OPTIONS", std::string(kPortal) + "/options").send(smuggled));
    const auto last = c.perform(Call::to("GET", std::string(kPortal) + "/last"));

    EXPECT_EQ(first.body, "ok");
    EXPECT_EQ(options.body, "ok");
    EXPECT_EQ(last.status, 200);
    const auto r = server_.requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].body, smuggled);
    EXPECT_FALSE(r[0].hasHeader("x-devserver-stashed-method"));
    EXPECT_EQ(r[1].method, "OPTIONS");
    EXPECT_EQ(r[1].body, smuggled);
    EXPECT_EQ(r[2].path, "/last");
}

TEST_F(ServerTest, LatestMatchingRouteAnswersByMethodHostAndPath) {
    start();
    server_.route("GET", "/a", Reply::text(200, "exact"));
    server_.route(route("GET", "/a/", Reply::text(200, "prefix"), PathMatch::Prefix));
    server_.route(route("GET", "/", Reply::text(200, "push"), PathMatch::Exact, "PUSH.example.test"));
    server_.route("POST", "/m", Reply::text(200, "post"));
    server_.route("GET", "/b", Reply::text(200, "first"));
    server_.route("GET", "/b", Reply::text(200, "second"));
    server_.route("get", "/redirect", Reply::redirect(302, "https://portal.example.test/a"));

    struct Case {
        std::string method;
        std::string url;
        long status;
        std::string body;
    };
    const Case cases[] = {
        {"GET", std::string(kPortal) + "/a", 200, "exact"},
        {"GET", std::string(kPortal) + "/a?q=1", 200, "exact"},
        {"GET", std::string(kPortal) + "/a/b/c", 200, "prefix"},
        {"GET", std::string(kPortal) + "/ab", 404, ""},
        {"GET", "https://push.example.test/", 200, "push"},
        {"GET", std::string(kPortal) + "/", 404, ""},
        {"GET", std::string(kPortal) + "/m", 404, ""},
        {"POST", std::string(kPortal) + "/m", 200, "post"},
        {"GET", std::string(kPortal) + "/b", 200, "second"},
        {"GET", std::string(kPortal) + "/redirect", 302, ""},
    };
    auto c = client();
    for (const auto& k : cases) {
        auto call = Call::to(k.method, k.url);
        if (k.method == "POST") {
            call.send("");
        }
        const auto result = c.perform(call);
        ASSERT_EQ(result.code, CURLE_OK) << k.url;
        EXPECT_EQ(result.status, k.status) << k.method << " " << k.url;
        if (k.status != 404) {
            EXPECT_EQ(result.body, k.body) << k.method << " " << k.url;
        }
    }
    EXPECT_EQ(server_.requestCount(), std::size(cases)) << "unrouted requests are recorded too";
    const auto redirect = c.perform(Call::to("GET", std::string(kPortal) + "/redirect"));
    EXPECT_NE(redirect.headers.find("Location: https://portal.example.test/a"), std::string::npos);
}

TEST_F(ServerTest, RangedRequestGetsExactlyWhatTheScriptAnswers) {
    start();
    server_.route("GET", "/file", [](const RecordedRequest& r) {
        return r.header("range") == "bytes=4-" ? Reply::text(206, "456789", "application/octet-stream")
                                                     .withHeader("Content-Range", "bytes 4-9/10")
                                               : Reply::text(200, "0123456789", "application/octet-stream");
    });

    const auto ranged =
        client().perform(Call::to("GET", std::string(kPortal) + "/file").header("Range: bytes=4-"));

    EXPECT_EQ(ranged.status, 206);
    EXPECT_EQ(ranged.body, "456789");
    EXPECT_NE(ranged.headers.find("Content-Range: bytes 4-9/10"), std::string::npos) << ranged.headers;
}

TEST_F(ServerTest, HandlersSeeTheRecordedRequestAndFailuresBecome500) {
    start();
    std::atomic<int> calls{0};
    server_.route("POST", "/echo", [&](const RecordedRequest& r) {
        return ++calls == 1
                   ? Reply::text(503, "busy").withHeader("Retry-After", "1")
                   : Reply::json(200, "{\"echo\":\"" + r.body + "\",\"seq\":" + std::to_string(r.seq) + "}");
    });
    server_.route("GET", "/boom",
                  [](const RecordedRequest&) -> Reply { throw std::runtime_error("broken"); });
    auto c = client();

    const auto first = c.perform(Call::to("POST", std::string(kPortal) + "/echo").send("x"));
    const auto second = c.perform(Call::to("POST", std::string(kPortal) + "/echo").send("y"));
    const auto boom = c.perform(Call::to("GET", std::string(kPortal) + "/boom"));

    EXPECT_EQ(first.status, 503);
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(second.body, R"({"echo":"y","seq":2})");
    EXPECT_NE(second.headers.find("Content-Type: application/json"), std::string::npos);
    EXPECT_EQ(boom.status, 500);
    EXPECT_NE(boom.body.find("broken"), std::string::npos);
}

TEST_F(ServerTest, DelayedReplyIsRecordedAtOnceAndAnsweredAfterTheDelay) {
    start();
    server_.route("GET", "/slow", Reply::text(200, "late").after(400ms));
    std::atomic<bool> answered{false};
    testing::Result result;
    const auto begin = std::chrono::steady_clock::now();
    std::thread caller([&] {
        result = get(std::string(kPortal) + "/slow");
        answered = true;
    });

    ASSERT_TRUE(server_.waitForRequests(1, 5s));
    EXPECT_FALSE(answered.load()) << "the request is recorded before its delayed answer";
    caller.join();
    EXPECT_EQ(result.code, CURLE_OK);
    EXPECT_EQ(result.body, "late");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 400ms);
}

TEST_F(ServerTest, StalledBodySendsHeadersThenNothing) {
    start();
    server_.route("GET", "/stall-length", Reply::stalled(1000, "head"));
    server_.route("GET", "/stall-chunked", Reply::stalled(0, "head"));
    auto shortStall = Reply::stalled(1000, "head");
    shortStall.stallFor = 200ms;
    server_.route("GET", "/stall-short", shortStall);
    auto c = client();

    for (const std::string path : {"/stall-length", "/stall-chunked"}) {
        const auto result = c.perform(Call::to("GET", std::string(kPortal) + path).timeout(500));
        EXPECT_EQ(result.code, CURLE_OPERATION_TIMEDOUT) << path << ": " << curl_easy_strerror(result.code);
        EXPECT_EQ(result.status, 200) << path;
        EXPECT_EQ(result.body, "head") << path;
    }
    // When the stall ends the server closes the connection short of the announced length.
    const auto closed = c.perform(Call::to("GET", std::string(kPortal) + "/stall-short").timeout(5000));
    EXPECT_EQ(closed.code, CURLE_PARTIAL_FILE) << curl_easy_strerror(closed.code);
    EXPECT_EQ(closed.body, "head");

    // Stalls still waiting on their (long) timer end at stop.
    const auto begin = std::chrono::steady_clock::now();
    server_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
}

TEST_F(ServerTest, DroppedConnectionGivesTheClientNoAnswer) {
    for (const bool tls : {true, false}) {
        Server server;
        ASSERT_TRUE(server.start(plainOr(tls))) << server.error();
        const std::string ca = (dir_ / "drop-ca.pem").string();
        if (tls) {
            ASSERT_TRUE(server.writeCa(ca));
        }
        server.route("POST", "/drop", Reply::dropped());
        Client client({server.resolveEntry("portal.example.test")}, tls ? ca : "");
        const std::string url = std::string(tls ? "https" : "http") + "://portal.example.test/drop";

        const auto result = client.perform(Call::to("POST", url).send("payload"));

        EXPECT_TRUE(result.code == CURLE_GOT_NOTHING || result.code == CURLE_RECV_ERROR)
            << "tls " << tls << ": " << curl_easy_strerror(result.code);
        EXPECT_EQ(result.status, 0);
        ASSERT_EQ(server.requestCount(), 1u);
        EXPECT_EQ(server.requests()[0].body, "payload");
    }
}

TEST_F(ServerTest, GeneratedBodyOf100MBIsStreamedWithoutBeingHeld) {
    start(plainOr(false));
    constexpr uint64_t size = 100ull * 1024 * 1024;
    server_.route("GET", "/big", Reply::generated(size));
    server_.route("GET", "/big-chunked", Reply::generated(3 * 65536 + 5, true));
    auto c = client();
    const long rssBefore = peakRssKiB();

    const auto big = c.perform(Call::to("GET", "http://portal.example.test/big").timeout(60000).countOnly());

    ASSERT_EQ(big.code, CURLE_OK) << curl_easy_strerror(big.code);
    EXPECT_EQ(big.received, size);
    EXPECT_TRUE(big.matchesPattern);
    EXPECT_NE(big.headers.find("Content-Length: 104857600"), std::string::npos);
    EXPECT_LT(peakRssKiB() - rssBefore, 40 * 1024) << "the body must not be built in memory";

    const auto chunked = c.perform(Call::to("GET", "http://portal.example.test/big-chunked").countOnly());
    ASSERT_EQ(chunked.code, CURLE_OK);
    EXPECT_EQ(chunked.received, 3u * 65536 + 5);
    EXPECT_TRUE(chunked.matchesPattern);
    EXPECT_NE(chunked.headers.find("Transfer-Encoding: chunked"), std::string::npos);
}

TEST_F(ServerTest, LargeUploadsAreCountedOrHashedWithoutBeingKept) {
    start(plainOr(false));
    constexpr uint64_t size = 100ull * 1024 * 1024;
    server_.route(
        route("POST", "/upload", Reply::text(200, "stored"), PathMatch::Exact, "", BodyCapture::Hash));
    server_.route(
        route("POST", "/count", Reply::text(200, "counted"), PathMatch::Exact, "", BodyCapture::Count));
    auto c = client();
    const long rssBefore = peakRssKiB();

    const auto upload =
        c.perform(Call::to("POST", "http://portal.example.test/upload").timeout(60000).upload(size));
    const auto count = c.perform(Call::to("POST", "http://portal.example.test/count").upload(12345));

    ASSERT_EQ(upload.code, CURLE_OK) << curl_easy_strerror(upload.code);
    EXPECT_EQ(upload.body, "stored");
    EXPECT_EQ(count.body, "counted");
    EXPECT_LT(peakRssKiB() - rssBefore, 40 * 1024) << "the upload must not be kept in memory";
    const auto r = server_.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].bodySize, size);
    EXPECT_TRUE(r[0].body.empty());
    EXPECT_EQ(r[0].bodySha256, sha256OfGenerated(size));
    EXPECT_EQ(r[1].bodySize, 12345u);
    EXPECT_TRUE(r[1].bodySha256.empty());
}

TEST_F(ServerTest, LogFileGetsOneJsonLinePerRequestAppended) {
    const auto logPath = dir_ / "requests.jsonl";
    std::ofstream(logPath) << "earlier line\n";
    Options options;
    options.logFile = logPath.string();
    start(options);
    server_.route(route("POST", "/api/", Reply::json(200, "{}"), PathMatch::Prefix));
    server_.route(route("PUT", "/hashed", Reply::text(200, "ok"), PathMatch::Exact, "", BodyCapture::Hash));
    auto c = client();
    // No Accept or User-Agent, so the header set is exactly known.
    const auto send = [&](Call call) {
        ASSERT_EQ(c.perform(call.header("Accept:")).code, CURLE_OK) << call.url;
    };
    send(Call::to("POST", std::string(kPortal) + "/api/radirivoz/register")
             .send(R"({"a":"é"})")
             .header("Content-Type: application/json"));
    send(Call::to("POST", std::string(kPortal) + "/api/bin?v=2")
             .send(std::string("\x00\xff\x80", 3))
             .header("Content-Type: application/octet-stream"));
    send(Call::to("PUT", std::string(kPortal) + "/hashed").send("abc"));
    server_.stop();

    std::ifstream in(logPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_EQ(
        lines[1],
        R"({"seq":1,"method":"POST","host":"portal.example.test","path":"/api/radirivoz/register","query":"",)"
        R"("headers":{"content-length":"10","content-type":"application/json","host":"portal.example.test"},)"
        R"("body":"{\"a\":\"é\"}"})");
    const auto binary = nlohmann::json::parse(lines[2]);
    EXPECT_EQ(binary["seq"], 2);
    EXPECT_EQ(binary["query"], "v=2");
    EXPECT_FALSE(binary.contains("body"));
    EXPECT_EQ(binary["body_base64"], "AP+A");
    const auto hashed = nlohmann::json::parse(lines[3]);
    EXPECT_FALSE(hashed.contains("body"));
    EXPECT_EQ(hashed["body_size"], 3);
    EXPECT_EQ(hashed["body_sha256"], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(ServerTest, StopEndsKeptAliveConnectionsAndTheServerCanStartAgain) {
    Options options;
    options.keepAliveTimeout = 30s;
    start(options);
    server_.route("GET", "/", Reply::text(200, "one"));
    auto c = client(); // keeps its connection open between requests
    ASSERT_EQ(c.perform(Call::to("GET", std::string(kPortal) + "/")).body, "one");
    const int port = server_.port();

    const auto begin = std::chrono::steady_clock::now();
    server_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_FALSE(server_.running());
    EXPECT_NE(c.perform(Call::to("GET", std::string(kPortal) + "/")).code, CURLE_OK);

    Options again;
    again.port = port;
    ASSERT_TRUE(server_.start(again)) << server_.error();
    EXPECT_EQ(server_.port(), port);
    ASSERT_TRUE(server_.writeCa(caFile())); // a new run has a new CA
    EXPECT_EQ(client().perform(Call::to("GET", std::string(kPortal) + "/")).body, "one")
        << "routes survive a restart";
    EXPECT_EQ(server_.requestCount(), 2u);
}

TEST_F(ServerTest, StartFailuresAreReportedNotHidden) {
    start();
    EXPECT_FALSE(server_.start()) << "already running";
    EXPECT_FALSE(server_.error().empty());

    Server taken;
    Options samePort;
    samePort.port = server_.port();
    EXPECT_FALSE(taken.start(samePort));
    EXPECT_NE(taken.error().find(std::to_string(server_.port())), std::string::npos) << taken.error();
    EXPECT_FALSE(taken.running());

    Server badLog;
    Options missingFolder;
    missingFolder.logFile = (dir_ / "missing" / "log.jsonl").string();
    EXPECT_FALSE(badLog.start(missingFolder));
    EXPECT_NE(badLog.error().find("log"), std::string::npos) << badLog.error();

    EXPECT_FALSE(server_.writeCa((dir_ / "missing" / "ca.pem").string()));
    Server neverStarted;
    EXPECT_FALSE(neverStarted.writeCa((dir_ / "none.pem").string())) << "no CA before a TLS start";
}

TEST_F(ServerTest, PlainHttpServesThroughPort80Entries) {
    start(plainOr(false));
    server_.route("GET", "/", Reply::text(200, "plain"));
    EXPECT_EQ(server_.resolveEntry("portal.example.test"),
              "portal.example.test:80:127.0.0.1:" + std::to_string(server_.port()));

    const auto result = get("http://portal.example.test/");

    EXPECT_EQ(result.body, "plain");
    ASSERT_EQ(server_.requestCount(), 1u);
    EXPECT_FALSE(server_.requests()[0].tls);
}

} // namespace
} // namespace devserver
