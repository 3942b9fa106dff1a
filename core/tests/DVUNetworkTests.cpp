// The utility network client against devserver over HTTPS: what a POST and a GET send, how answers and
// failures reach the caller (once, on its queue), the temporary files of background uploads, the refused
// trust, the fetcher map and the background events after a relaunch.

#include "core/DVUGzip.hpp"
#include "core/DVUNetwork.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/net/URL.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using devserver::Reply;

struct NetOutcome {
    bool called = false;
    int calls = 0;
    bool onMain = false;
    std::shared_ptr<const plat::HTTPURLResponse> response;
    std::optional<plat::Data> data;
    std::optional<plat::Error> error;
};

struct RecordingNetworkLogger : DVUNetworkLoggerDelegate {
    std::vector<std::string> lines;
    void DVUNetwork_logWithLevel(long level, long code, const std::optional<std::string>& message,
                                 const std::vector<plat::Value>& contexts) override {
        std::string line = std::to_string(level) + " " + std::to_string(code) + " " + message.value_or("");
        for (const auto& c : contexts) {
            line += " | " + c.description();
        }
        lines.push_back(line);
    }
    void DVUNetwork_logWithLevel(long level, long code, const std::optional<std::string>& message,
                                 const plat::Value& context) override {
        DVUNetwork_logWithLevel(level, code, message, std::vector<plat::Value>{context});
    }
    void DVUNetwork_logWithLevel(long level, long code, const std::optional<std::string>& message) override {
        DVUNetwork_logWithLevel(level, code, message, std::vector<plat::Value>{});
    }
    bool has(long code) const {
        for (const auto& l : lines) {
            if (l.find(" " + std::to_string(code) + " ") != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

class NetworkClientTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(); }

    void startServer(devserver::Options options = {}) {
        ASSERT_TRUE(server.start(options)) << server.error();
        const std::string ca = plat::AppHome::tmp() + "/dvu-test-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry("measurement.example.test"));
        plat::sim::Network::setReachability(2);
        network = DVUNetwork::initWithReachabilityHost("measurement.example.test");
        ASSERT_TRUE(network);
    }

    static std::optional<plat::URL> url(const std::string& path) {
        return plat::URL::parse("https://measurement.example.test" + path);
    }

    DVUNetworkRequestCompletion recorder(const std::shared_ptr<NetOutcome>& out) {
        return [out](auto response, auto data, auto error) {
            out->called = true;
            ++out->calls;
            out->onMain = plat::DispatchQueue::main()->isMain() &&
                          plat::DispatchQueue::currentLabel() == plat::DispatchQueue::main()->label();
            out->response = std::move(response);
            out->data = std::move(data);
            out->error = std::move(error);
        };
    }

    std::shared_ptr<NetOutcome> post(const std::string& path, std::string_view body, bool background = false) {
        auto out = std::make_shared<NetOutcome>();
        lastID = network->postURL(url(path), plat::Data(body.begin(), body.end()), nullptr, background,
                                  recorder(out));
        return out;
    }

    static bool waitFor(const std::function<bool()>& done, double seconds = 20) {
        return plat::Virtual::runUntil(done, seconds);
    }

    static std::string gunzipped(const std::string& body) {
        auto out = dvu_dataByInflatingGzippedData(std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
        return out ? std::string(out->begin(), out->end()) : std::string("<not gzip>");
    }

    std::string tempDir() const { return plat::AppHome::applicationSupport() + "/DVU/Network/DVUNetworkTemporaryDirectory"; }

    plat::test::TempAppHome home;
    devserver::Server server;
    std::shared_ptr<DVUNetwork> network;
    std::optional<std::string> lastID;
};

TEST_F(NetworkClientTest, APostSendsTheGzippedBodyWithItsThreeHeadersAndAnswersOnMain) {
    server.route("POST", "/upload", Reply::text(200, "thanks"));
    auto out = post("/upload", "hello");
    ASSERT_TRUE(lastID);
    EXPECT_EQ(lastID->rfind("com.dvu.network.background-upload-", 0), 0u);
    EXPECT_TRUE(network->hasUploadInProgress());
    ASSERT_TRUE(waitFor([&] { return out->called; }));
    ASSERT_TRUE(out->response);
    EXPECT_EQ(out->response->statusCode(), 200);
    EXPECT_FALSE(out->error);
    EXPECT_TRUE(out->onMain);
    EXPECT_FALSE(network->hasUploadInProgress());

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.host, "measurement.example.test");
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.header("Content-Encoding"), "gzip");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(gunzipped(r.body), "hello");
}

TEST_F(NetworkClientTest, StatusesReachTheCallerAsTheyAreAndRedirectsAreNotFollowed) {
    server.route("POST", "/fail", Reply::text(500, "no"));
    server.route("POST", "/moved", Reply::redirect(302, "https://measurement.example.test/elsewhere"));
    server.route("POST", "/elsewhere", Reply::text(200, "should not be reached"));
    server.route("POST", "/empty", Reply::text(200, ""));
    struct Case {
        const char* path;
        const char* body;
        int status;
    };
    for (const Case& c : {Case{"/fail", "x", 500}, Case{"/moved", "x", 302}, Case{"/empty", "", 200}}) {
        auto out = post(c.path, c.body);
        ASSERT_TRUE(waitFor([&] { return out->called; })) << c.path;
        ASSERT_TRUE(out->response) << c.path;
        EXPECT_EQ(out->response->statusCode(), c.status) << c.path;
        EXPECT_FALSE(out->error) << c.path;
    }
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].path, "/moved");
    EXPECT_EQ(requests[2].path, "/empty");
    EXPECT_EQ(requests[2].header("Content-Length"), "0");
    EXPECT_TRUE(requests[2].body.empty());
}

// Foreground requests of one front end share its session: a request rides the connection an earlier one
// opened, and a new time-out starts a fresh session.
TEST_F(NetworkClientTest, ForegroundRequestsShareTheFrontEndsSession) {
    server.route("POST", "/upload", Reply::text(200, "ok"));
    server.route("GET", "/config", Reply::text(200, "{}"));
    auto get = [&] {
        auto out = std::make_shared<NetOutcome>();
        network->getURL(url("/config"), {}, nullptr, false, recorder(out));
        EXPECT_TRUE(waitFor([&] { return out->called; }));
        EXPECT_EQ(out->calls, 1);
        EXPECT_TRUE(out->data && std::string(out->data->begin(), out->data->end()) == "{}");
    };
    auto sent = post("/upload", "hello");
    ASSERT_TRUE(waitFor([&] { return sent->called; }));
    get();
    get();
    network->setTimeoutInterval(30);
    get();
    sent = post("/upload", "again");
    ASSERT_TRUE(waitFor([&] { return sent->called; }));
    ASSERT_TRUE(sent->response);
    EXPECT_EQ(sent->response->statusCode(), 200);
    EXPECT_FALSE(network->hasUploadInProgress());

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);
    const uint64_t expected[] = {1, 2, 3, 1, 2};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(requests[i].onConnection, expected[i]) << i << " " << requests[i].method;
    }
}

TEST_F(NetworkClientTest, TransportFailuresReachTheCallerOnceWithTheirErrorAndTheirLine) {
    plat::sim::ConsoleCapture console;
    plat::sim::SystemLogCapture log;
    // Cut off after the headers: a response exists, but the task failed.
    Reply cut = Reply::stalled(1000, "partial");
    cut.stallFor = std::chrono::milliseconds(200);
    server.route("POST", "/cut", cut);
    server.route("POST", "/dropped", Reply::dropped());
    for (const char* path : {"/cut", "/dropped"}) {
        auto out = post(path, "x");
        ASSERT_TRUE(waitFor([&] { return out->called; }, 90)) << path;
        plat::Virtual::runUntilIdle();
        EXPECT_EQ(out->calls, 1) << path;
        EXPECT_TRUE(out->error) << path;
        if (std::string(path) == "/cut") {
            ASSERT_TRUE(out->response);
            EXPECT_EQ(out->response->statusCode(), 200);
        }
        EXPECT_FALSE(network->hasUploadInProgress());
    }

    // Nobody listening.
    server.stop();
    auto out = post("/any", "x");
    ASSERT_TRUE(waitFor([&] { return out->called; }));
    ASSERT_TRUE(out->error);
    EXPECT_FALSE(out->response);
    plat::Virtual::runUntilIdle();
    const std::string prefix = "[DVUNetwork][I-NET901017] <Razoza/Utilities/Network/ERROR> Encounter network "
                               "error. Code, error: " + std::to_string(out->error->code) + ", ";
    bool found = false;
    for (const auto& line : log.texts()) {
        found = found || line.find(prefix) != std::string::npos;
    }
    EXPECT_TRUE(found);
    EXPECT_NE(console.nslog().find("<Razoza/Utilities/Network/ERROR> Encounter network error. Code, error: "),
              std::string::npos);
}

TEST_F(NetworkClientTest, BadRequestsFailOnTheCallersQueueAndAReleasedFrontEndCallsNothing) {
    auto queue = plat::DispatchQueue::makeSerial("dvu.test.caller");
    auto out = std::make_shared<NetOutcome>();
    std::string label;
    auto id = network->postURL(std::nullopt, plat::Data{1}, queue, false, [&, out](auto, auto, auto error) {
        label = plat::DispatchQueue::currentLabel();
        out->called = true;
        out->error = error;
    });
    EXPECT_FALSE(id);
    plat::Virtual::runUntilIdle();
    ASSERT_TRUE(out->called);
    EXPECT_EQ(label, "dvu.test.caller");
    EXPECT_EQ(out->error->domain, "com.dvu.network.ErrorDomain");
    EXPECT_EQ(out->error->code, 1);
    EXPECT_EQ(out->error->userInfo["Context"].stringValue(), "Failed to create network request");

    server.route("POST", "/slow", Reply::text(200, "late").after(std::chrono::milliseconds(200)));
    auto late = post("/slow", "x");
    network.reset();
    ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1; }));
    plat::Virtual::runUntil([] { return false; }, 1.0);
    EXPECT_FALSE(late->called);
}

TEST_F(NetworkClientTest, BackgroundUploadsGoThroughAPrivateFileThatIsGoneAfterwards) {
    server.route("POST", "/bg", Reply::text(200, "ok").after(std::chrono::milliseconds(300)));
    auto out = post("/bg", "background body", true);
    ASSERT_TRUE(lastID);
    const std::string file = tempDir() + "/DVUUpload_temp_" + *lastID;
    auto& fm = plat::FileManager::defaultManager();
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(tempDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(fm.isExcludedFromBackup(file));
    EXPECT_TRUE(fm.isExcludedFromBackup(tempDir()));

    ASSERT_TRUE(waitFor([&] { return out->called; }));
    EXPECT_EQ(out->response->statusCode(), 200);
    EXPECT_FALSE(fm.fileExists(file));
    EXPECT_EQ(gunzipped(server.requests().at(0).body), "background body");
}

TEST_F(NetworkClientTest, AnUnwritableTempFolderFallsBackToTheForeground) {
    // A file where the folder should be: it can be neither reached nor made.
    auto& fm = plat::FileManager::defaultManager();
    ASSERT_TRUE(fm.createDirectory(plat::AppHome::applicationSupport() + "/DVU", true));
    ASSERT_TRUE(plat::writeData(plat::AppHome::applicationSupport() + "/DVU/Network", plat::Data{1}));
    auto logger = std::make_shared<RecordingNetworkLogger>();
    network->setLoggerDelegate(logger);
    server.route("POST", "/fg", Reply::text(200, "ok"));
    auto out = post("/fg", "fallback", true);
    ASSERT_TRUE(lastID);
    ASSERT_TRUE(waitFor([&] { return out->called; }));
    EXPECT_EQ(out->response->statusCode(), 200);
    EXPECT_FALSE(out->error);
    EXPECT_TRUE(logger->has(901015));
    EXPECT_EQ(gunzipped(server.requests().at(0).body), "fallback");
}

TEST_F(NetworkClientTest, AGetReplacesTheHeadersAndBringsBackTheBody) {
    server.route("GET", "/config", Reply::json(200, R"({"a":1})"));
    for (bool background : {false, true}) {
        auto out = std::make_shared<NetOutcome>();
        auto id = network->getURL(url("/config"), plat::Dictionary{{"X-Client", plat::Value("dvu")}}, nullptr,
                                  background, recorder(out));
        ASSERT_TRUE(id);
        ASSERT_TRUE(waitFor([&] { return out->called; }));
        ASSERT_TRUE(out->data) << background;
        EXPECT_EQ(std::string(out->data->begin(), out->data->end()), R"({"a":1})");
        EXPECT_EQ(out->response->statusCode(), 200);
    }
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("X-Client"), "dvu");
    EXPECT_FALSE(requests[0].hasHeader("Content-Encoding"));
}

TEST_F(NetworkClientTest, AServerOfAnotherNameIsRefused) {
    server.stop();
    devserver::Options options;
    options.certificateMode = devserver::CertificateMode::WrongHost;
    network.reset();
    startServer(options);
    auto logger = std::make_shared<RecordingNetworkLogger>();
    network->setLoggerDelegate(logger);
    server.route("POST", "/upload", Reply::text(200, "ok"));
    auto out = post("/upload", "secret");
    ASSERT_TRUE(waitFor([&] { return out->called; }));
    EXPECT_TRUE(out->error);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(logger->has(901017));
}

TEST_F(NetworkClientTest, LoggerDelegatesAndTheDefaultOutput) {
    plat::sim::SystemLogCapture log;
    plat::sim::ConsoleCapture console;
    network->setLoggerDelegate(std::make_shared<std::string>("no logger"));
    network->setLoggerDelegate(std::shared_ptr<RecordingNetworkLogger>());
    plat::Virtual::runUntilIdle();
    const std::string refused = " - [DVUNetwork][I-NET900002] Cannot set the network logger delegate: delegate does "
                                "not conform to the network logger protocol.";
    EXPECT_EQ(log.texts(), (std::vector<std::string>{refused, refused}));
    plat::sim::SystemLog::clearCaptured();

    // Without a delegate, DEBUG lines need debug mode; the others are written.
    network->DVUNetwork_logWithLevel(7, 900000, std::string("Uploading data. Host"), plat::Value("u"));
    network->DVUNetwork_logWithLevel(6, 901019, std::string());
    network->DVUNetwork_logWithLevel(4, 1, std::nullopt, std::vector<plat::Value>{plat::Value(), plat::Value(int64_t(3))});
    network->setDebugModeEnabled(true);
    network->DVUNetwork_logWithLevel(7, 900000, std::string("Uploading data. Host"), plat::Value("u"));
    plat::Virtual::runUntilIdle();
    // The console has every line written; the utility logger keeps to its own level (Notice).
    const std::string nslog = console.nslog();
    EXPECT_NE(nslog.find("<Razoza/Utilities/Network/INFO> (Message was empty)\n"), std::string::npos);
    EXPECT_NE(nslog.find("<Razoza/Utilities/Network/WARNING> (Message was nil): (nil), 3\n"), std::string::npos);
    EXPECT_NE(nslog.find("<Razoza/Utilities/Network/DEBUG> Uploading data. Host: u\n"), std::string::npos);
    EXPECT_EQ(nslog.find("DEBUG"), nslog.rfind("DEBUG"));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{" - [DVUNetwork][I-NET000001] <Razoza/Utilities/Network/WARNING> "
                                                     "(Message was nil): (nil), 3"}));

    auto logger = std::make_shared<RecordingNetworkLogger>();
    network->setLoggerDelegate(logger);
    network->DVUNetwork_logWithLevel(7, 900000, std::string("Uploading data. Host"), plat::Value("u"));
    EXPECT_EQ(logger->lines, std::vector<std::string>{"7 900000 Uploading data. Host | u"});
}

TEST_F(NetworkClientTest, TheFetcherMapKeepsOneFetcherPerIDAndHoldsItWeakly) {
    auto byDefault = DVUNetwork::init();
    ASSERT_TRUE(byDefault);
    EXPECT_EQ(byDefault->reachability()->host(), "measurement.example.test");
    EXPECT_EQ(byDefault->timeoutInterval(), 60);

    auto logger = std::make_shared<RecordingNetworkLogger>();
    auto first = DVUNetworkURLSession::initWithNetworkLoggerDelegate(logger);
    auto second = DVUNetworkURLSession::initWithNetworkLoggerDelegate(logger);
    DVUNetworkURLSession::setSessionInFetcherMap(first, "com.dvu.network.background-upload-same");
    DVUNetworkURLSession::setSessionInFetcherMap(second, "com.dvu.network.background-upload-same");
    EXPECT_EQ(DVUNetworkURLSession::sessionFromFetcherMapForSessionID("com.dvu.network.background-upload-same"),
              second);
    EXPECT_EQ(logger->lines, std::vector<std::string>{"6 901019 Discarding session: " + first->sessionID()});
    second.reset();
    EXPECT_FALSE(DVUNetworkURLSession::sessionFromFetcherMapForSessionID("com.dvu.network.background-upload-same"));

    // An ID of ours with no fetcher gets a new one; any other ID gets none.
    auto rebuilt = DVUNetworkURLSession::fetcherWithSessionIdentifier("com.dvu.network.background-upload-x");
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->sessionID(), "com.dvu.network.background-upload-x");
    EXPECT_FALSE(DVUNetworkURLSession::fetcherWithSessionIdentifier("com.other.session"));
}

TEST_F(NetworkClientTest, BackgroundEventsCompleteTheSystemsHandlerOnce) {
    // An app delegate that hands background events to the network client, as the analytics client does.
    plat::rt::Class* cls = plat::rt::registerClass("AppDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"});
    plat::rt::addMethod(cls, "application:handleEventsForBackgroundURLSession:completionHandler:",
                        [](plat::rt::Object&, plat::rt::ObjectPtr, std::string id, std::function<void()> done) {
                            DVUNetwork::handleEventsForBackgroundURLSessionID(id, done);
                        });
    plat::sim::App::launch("AppDelegate");

    server.route("POST", "/bg", Reply::text(200, "ok").after(std::chrono::milliseconds(300)));
    auto out = post("/bg", "events", true);
    ASSERT_TRUE(lastID);
    int systemDone = 0;
    plat::sim::App::backgroundURLSessionEvents(*lastID, [&] { ++systemDone; });
    ASSERT_TRUE(waitFor([&] { return out->called && systemDone > 0; }));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(systemDone, 1);

    // Another library's session is none of ours: its handler is left to its owner.
    int otherDone = 0;
    DVUNetwork::handleEventsForBackgroundURLSessionID("com.other.session", [&] { ++otherDone; });
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(otherDone, 0);
}

} // namespace
