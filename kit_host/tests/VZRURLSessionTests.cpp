// The URL-session shim: with the platform's classes present it hands out the platform's session and
// configurations; on a device without them it hands out the connection-based session, whose tasks report
// in order, open one connection each, merge configuration headers, and hand over download files that
// exist exactly while the caller may read them.

#include "kit_host/VZRURLSession.hpp"
#include "kit_host/tests/ShimTestSupport.hpp"

#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace {

using plat::Virtual;
using shim_test::RecordingSessionDelegate;

plat::URLRequest getRequest(const std::string& url) {
    return plat::URLRequest(plat::URL::parse(url));
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(VZRURLSession, WithThePlatformClassesTheShimHandsOutThePlatformObjects) {
    plat::test::TempAppHome home;
    shim_test::bootDevice(home);
    ASSERT_TRUE(VZRURLSession::NSURLSessionShouldBeUsed());
    auto configuration = VZRURLSessionConfiguration::defaultSessionConfiguration();
    ASSERT_TRUE(configuration->platformConfiguration());
    auto background = VZRURLSessionConfiguration::backgroundSessionConfiguration("com.example.bg");
    ASSERT_TRUE(background);
    EXPECT_EQ(background->platformConfiguration()->identifier(), "com.example.bg");
    auto session = VZRURLSession::sessionWithConfiguration(configuration, std::make_shared<RecordingSessionDelegate>());
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->platformSession());
    EXPECT_FALSE(std::dynamic_pointer_cast<VZRURLSession>(session));
    session->invalidateAndCancel();
}

class ConnectionSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        shim_test::bootDevice(home, {"NSURLSession"});
        ASSERT_FALSE(VZRURLSession::NSURLSessionShouldBeUsed());
    }
    VZRSessionPtr makeSession(plat::Dictionary headers = {}) {
        auto configuration = VZRURLSessionConfiguration::defaultSessionConfiguration();
        configuration->setHTTPAdditionalHeaders(std::move(headers));
        return VZRURLSession::sessionWithConfiguration(configuration, delegate);
    }
    static bool waitFor(const std::function<bool()>& done) { return Virtual::runUntil(done, 10); }

    plat::test::TempAppHome home;
    plat::ScriptedTransport& net = plat::sim::Network::useScripted();
    std::shared_ptr<RecordingSessionDelegate> delegate = std::make_shared<RecordingSessionDelegate>();
};

TEST_F(ConnectionSessionTest, FactoriesWithoutThePlatformClasses) {
    EXPECT_FALSE(VZRURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("id"));
    auto configuration = VZRURLSessionConfiguration::defaultSessionConfiguration();
    EXPECT_FALSE(configuration->platformConfiguration());
    EXPECT_FALSE(VZRURLSession::sessionWithConfiguration(nullptr, delegate));

    auto session = VZRURLSession::sessionWithConfiguration(configuration, delegate);
    ASSERT_TRUE(session);
    EXPECT_FALSE(session->platformSession());
    ASSERT_TRUE(session->delegateQueue());
    EXPECT_TRUE(std::regex_match(session->delegateQueue()->name(), std::regex("VZRURLSession 0x[0-9a-f]+")))
        << session->delegateQueue()->name();
    EXPECT_EQ(session->delegateQueue()->maxConcurrentOperationCount(), 1);

    auto withoutDelegate = VZRURLSession::sessionWithConfiguration(configuration);
    EXPECT_FALSE(withoutDelegate->delegateQueue());

    configuration->setHTTPAdditionalHeaders(plat::Dictionary{{"X-A", plat::Value("1")}});
    configuration->timeoutIntervalForRequest = 5;
    auto copy = configuration->copy();
    EXPECT_EQ(copy->HTTPAdditionalHeaders().find("X-A")->stringValue(), "1");
    EXPECT_EQ(copy->timeoutIntervalForRequest, 0) << "a copy carries only the headers";
}

TEST_F(ConnectionSessionTest, DelegateHearsResponseDataThenCompletionInOrder) {
    net.route("GET", "https://api.example.test/a", plat::ScriptedReply::text(200, "hello"));
    auto session = makeSession();
    auto task = session->dataTask(getRequest("https://api.example.test/a"));
    task->setTaskDescription("t1");
    task->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->events().size() >= 3; }));
    Virtual::runUntilIdle();
    EXPECT_EQ(delegate->events(), (std::vector<std::string>{"response t1 200", "data t1 hello", "complete t1"}));
    EXPECT_EQ(task->response()->statusCode(), 200);
    EXPECT_EQ(std::static_pointer_cast<VZRURLSession>(session)->liveTaskCount(), 0u);
}

TEST_F(ConnectionSessionTest, ACompletionHandlerTakesTheResultsAndResumingTwiceOpensOneConnection) {
    net.route("GET", "https://api.example.test/empty", plat::ScriptedReply::text(204, ""));
    auto session = makeSession();
    int calls = 0;
    std::optional<plat::Data> got = plat::Data{'x'};
    auto task = session->dataTask(getRequest("https://api.example.test/empty"),
                                  [&](std::optional<plat::Data> data, std::shared_ptr<const plat::HTTPURLResponse> response,
                                      std::optional<plat::Error> error) {
                                      ++calls;
                                      got = data;
                                      EXPECT_EQ(response->statusCode(), 204);
                                      EXPECT_FALSE(error);
                                  });
    task->resume();
    task->resume();
    ASSERT_TRUE(waitFor([&] { return calls > 0; }));
    task->resume();
    Virtual::runUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(got) << "no body gives no data";
    EXPECT_EQ(net.requests().size(), 1u);
    EXPECT_TRUE(delegate->events().empty());
}

TEST_F(ConnectionSessionTest, ConfigurationHeadersAreAddedBesideTheRequestsOwn) {
    net.route("GET", "https://api.example.test/h", plat::ScriptedReply::text(200, "ok"));
    auto session = makeSession(plat::Dictionary{{"X-Tag", plat::Value("from-session")}, {"X-Only", plat::Value("s")}});
    auto request = getRequest("https://api.example.test/h");
    request.setValue("from-request", "X-Tag");
    bool done = false;
    session->dataTask(request, [&](auto, auto, auto) { done = true; })->resume();
    ASSERT_TRUE(waitFor([&] { return done; }));
    ASSERT_EQ(net.requests().size(), 1u);
    std::vector<std::string> tags;
    std::string only;
    const auto requests = net.requests();
    for (const auto& [name, value] : requests[0].headers) {
        if (name == "X-Tag")
            tags.push_back(value);
        if (name == "X-Only")
            only = value;
    }
    ASSERT_FALSE(tags.empty());
    const std::string joined = tags.size() == 1 ? tags[0] : tags[0] + "," + tags[1];
    EXPECT_NE(joined.find("from-request"), std::string::npos) << joined;
    EXPECT_NE(joined.find("from-session"), std::string::npos) << joined;
    EXPECT_EQ(only, "s");
}

TEST_F(ConnectionSessionTest, GetTasksAnswersThreeEmptyListsOnTheDelegateQueue) {
    auto session = makeSession();
    session->dataTask(getRequest("https://api.example.test/never"));
    bool answered = false;
    session->getTasks([&](VZRSession::TaskList d, VZRSession::TaskList u, VZRSession::TaskList l) {
        answered = true;
        EXPECT_EQ(plat::OperationQueue::current(), session->delegateQueue());
        EXPECT_TRUE(d.empty() && u.empty() && l.empty());
    });
    ASSERT_TRUE(waitFor([&] { return answered; }));
}

TEST_F(ConnectionSessionTest, InvalidateAndCancelStopsRunningTasksWithoutReports) {
    net.route("GET", "https://api.example.test/slow", plat::ScriptedReply::text(200, "late").after(30));
    auto session = makeSession();
    int handlerCalls = 0;
    auto a = session->dataTask(getRequest("https://api.example.test/slow"), [&](auto, auto, auto) { ++handlerCalls; });
    auto b = session->dataTask(getRequest("https://api.example.test/slow"));
    b->setTaskDescription("b");
    a->resume();
    b->resume();
    ASSERT_TRUE(waitFor([&] { return net.requests().size() == 2; }));
    session->invalidateAndCancel();
    Virtual::advanceBy(120);
    Virtual::runUntilIdle();
    EXPECT_EQ(handlerCalls, 0);
    EXPECT_TRUE(delegate->events().empty());
    EXPECT_FALSE(session->delegate());
}

TEST_F(ConnectionSessionTest, FinishTasksAndInvalidateLetsRunningTasksEndWithoutTheDelegate) {
    net.route("GET", "https://api.example.test/slow", plat::ScriptedReply::text(200, "late").after(3));
    auto session = makeSession();
    int handlerCalls = 0;
    auto a = session->dataTask(getRequest("https://api.example.test/slow"), [&](auto, auto, auto) { ++handlerCalls; });
    auto b = session->dataTask(getRequest("https://api.example.test/slow"));
    a->resume();
    b->resume();
    ASSERT_TRUE(waitFor([&] { return net.requests().size() == 2; }));
    session->finishTasksAndInvalidate();
    EXPECT_FALSE(session->delegate());
    Virtual::advanceBy(5);
    ASSERT_TRUE(waitFor([&] { return handlerCalls == 1; }));
    Virtual::runUntilIdle();
    EXPECT_TRUE(delegate->events().empty());
    EXPECT_EQ(b->response()->statusCode(), 200);
}

TEST_F(ConnectionSessionTest, DownloadFileLivesUntilTheHandlerReturns) {
    net.route("GET", "https://api.example.test/file", plat::ScriptedReply::text(200, "file body"));
    auto session = makeSession();
    std::string path, body;
    auto task = session->downloadTask(getRequest("https://api.example.test/file"),
                                      [&](std::optional<plat::URL> location, auto, std::optional<plat::Error> error) {
                                          ASSERT_TRUE(location);
                                          EXPECT_FALSE(error);
                                          path = location->path();
                                          body = fileText(path);
                                      });
    task->resume();
    ASSERT_TRUE(waitFor([&] { return !path.empty(); }));
    Virtual::runUntilIdle();
    EXPECT_EQ(body, "file body");
    EXPECT_EQ(path.rfind(plat::FileManager::defaultManager().temporaryDirectory(), 0), 0u) << path;
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(path));
    EXPECT_TRUE(delegate->events().empty());
}

TEST_F(ConnectionSessionTest, DownloadThroughTheDelegateReportsTheFileThenCompletion) {
    net.route("GET", "https://api.example.test/file", plat::ScriptedReply::text(200, "via delegate"));
    auto session = makeSession();
    auto task = std::dynamic_pointer_cast<VZRURLSessionDownloadTask>(session->downloadTask(plat::URL::parse("https://api.example.test/file").value()));
    ASSERT_TRUE(task);
    task->setTaskDescription("d");
    task->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->events().size() >= 3; }));
    Virtual::runUntilIdle();
    EXPECT_EQ(delegate->events(), (std::vector<std::string>{"response d 200", "downloaded d via delegate", "complete d"}));
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(task->targetURL().path()));
}

TEST_F(ConnectionSessionTest, AStreamThatRefusesBytesEndsTheDownloadWithTheStreamErrorAndNoFile) {
    plat::ScriptedReply reply = plat::ScriptedReply::text(200, "");
    reply.chunks = {"0123456789", "abcdefghij", "KLMNOPQRST"};
    reply.headers = {{"Content-Type", "application/octet-stream"}};
    net.route("GET", "https://api.example.test/big", reply);
    plat::sim::Faults::failStreamWriteAfter("/tmp/", 15, ENOSPC);
    auto session = makeSession();
    std::optional<plat::Error> got;
    std::optional<plat::URL> location;
    int calls = 0;
    auto task = std::dynamic_pointer_cast<VZRURLSessionDownloadTask>(session->downloadTask(
        getRequest("https://api.example.test/big"), [&](std::optional<plat::URL> l, auto, std::optional<plat::Error> e) {
            ++calls;
            got = e;
            location = l;
        }));
    task->resume();
    ASSERT_TRUE(waitFor([&] { return calls > 0; }));
    Virtual::advanceBy(5);
    Virtual::runUntilIdle();
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->is("VZRURLSessionDownloadTaskError", -1)) << got->displayText();
    EXPECT_FALSE(location) << "no file to read after a failed write";
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(task->targetURL().path()));
}

} // namespace
