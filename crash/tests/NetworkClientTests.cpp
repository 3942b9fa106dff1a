// The report network client against devserver's report service over HTTPS (devserver's CA trusted through the
// extra CA file, verification on; the kit host's debug argument set, as devserver's CA is no pinned root):
// outcomes to the delegate, restarts after the server's delay, refused packages and de-duplicated tasks.

#include "crash/VZRFileManager.hpp"
#include "crash/VZRNetworkClient.hpp"

#include "crash/tests/ReportServiceFixture.hpp"

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/URLError.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <vector>

namespace {

using plat::Virtual;

struct NetworkClientOutcome {
    std::string path;
    std::optional<plat::Error> error;
};

class NetworkClientRecorder : public VZRNetworkClientDelegate {
public:
    bool background = true;
    bool networkClientCanUseBackgroundSessions(VZRNetworkClient&) override { return background; }
    void networkClientDidFinishUploadWithPath(VZRNetworkClient&, const std::string& path,
                                              const std::optional<plat::Error>& error) override {
        std::lock_guard lock(mutex);
        outcomes.push_back({path, error});
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return outcomes.size();
    }
    std::mutex mutex;
    std::vector<NetworkClientOutcome> outcomes;
};

class NetworkClientTest : public ::testing::Test, protected crashtest::ReportServiceFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(start());
        recorder = std::make_shared<NetworkClientRecorder>();
        package = files->preparedPath() + "/B.multipartmime";
        std::ofstream(package, std::ios::binary)
            << "MIME-Version: 1.0\r\n--B\r\nContent-Disposition: form-data; name=\"report_id\"\r\n"
               "Content-Type: text/plain\r\n\r\ns1\r\n--B--\r\n";
    }
    plat::URLRequest request() const {
        plat::URLRequest r(*plat::URL::parse(std::string("https://") + devserver::kCrashReportsHost +
                                             devserver::kCrashReportsPathPrefix + "com.example.app/reports"),
                           plat::URLRequestCachePolicy::reloadIgnoringLocalCacheData, 10);
        r.setHTTPMethod("POST");
        r.setValue("application/json", "Accept");
        r.setValue(ZUVMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary("B"), "Content-Type");
        std::ifstream in(package, std::ios::binary | std::ios::ate);
        r.setValue(std::to_string(static_cast<long long>(in.tellg())), "Content-Length");
        return r;
    }

    bool waitForOutcomes(size_t count) {
        return waitForCount([this] { return recorder->count(); }, count);
    }

    std::shared_ptr<VZRNetworkClient> makeClient() { return VZRNetworkClient::initWithQueue(queue, files, recorder); }

    std::shared_ptr<NetworkClientRecorder> recorder;
    std::string package;
};

TEST_F(NetworkClientTest, TheOutcomeOfEachReplyReachesTheDelegateAfterAnyRestarts) {
    struct Case {
        const char* name;
        std::vector<devserver::Reply> script;
        size_t posts;
        double minimumDelay; // virtual seconds between the first and the last post
        std::optional<int64_t> errorCode;
    };
    const std::vector<Case> cases{
        {"200 JSON", {}, 1, 0, std::nullopt},
        {"503 with Retry-After 1", {devserver::Reply::json(503, "{}").withHeader("Retry-After", "1")}, 2, 1, std::nullopt},
        {"503 without Retry-After", {devserver::Reply::json(503, "{}")}, 2, 2, std::nullopt},
        {"200 HTML", {devserver::Reply::text(200, "<html></html>", "text/html")}, 1, 0, -4},
        {"404", {devserver::Reply::json(404, "{}")}, 1, 0, -5},
        {"dropped connection", {devserver::Reply::dropped()}, 2, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder->outcomes.clear();
        const size_t before = service->reports().size();
        for (const auto& reply : c.script)
            service->scriptNext(reply);
        const double start = plat::Clock::uptime();
        auto client = makeClient();
        client->startUploadRequest(request(), package, false);
        ASSERT_TRUE(waitForOutcomes(1));
        EXPECT_EQ(recorder->outcomes[0].path, package);
        if (c.errorCode) {
            ASSERT_TRUE(recorder->outcomes[0].error);
            EXPECT_TRUE(recorder->outcomes[0].error->is("ZUVNetworkError", *c.errorCode))
                << recorder->outcomes[0].error->description();
        } else {
            EXPECT_FALSE(recorder->outcomes[0].error) << recorder->outcomes[0].error->description();
        }
        const auto reports = service->reports();
        ASSERT_EQ(reports.size() - before, c.posts);
        for (size_t i = before; i < reports.size(); ++i) {
            EXPECT_EQ(reports[i].reportId, "s1");
            EXPECT_EQ(reports[i].body, reports[before].body);
        }
        EXPECT_GE(plat::Clock::uptime() - start, c.minimumDelay);
    }
}

TEST_F(NetworkClientTest, RefusedPackagesReachTheDelegateWithTheirPath) {
    auto client = makeClient();
    const std::string gone = files->preparedPath() + "/gone.multipartmime";
    const std::string outside = home.root() + "/elsewhere.multipartmime";
    std::ofstream(outside) << "x";
    client->startUploadRequest(request(), gone, false);
    client->startUploadRequest(request(), outside, false);
    ASSERT_TRUE(waitForOutcomes(2));
    std::vector<std::string> paths;
    for (const auto& outcome : recorder->outcomes) {
        ASSERT_TRUE(outcome.error);
        EXPECT_TRUE(outcome.error->is("VZRNetworkError", -2));
        const plat::Value* path = outcome.error->userInfo.find("path");
        ASSERT_TRUE(path);
        paths.push_back(path->asString());
        EXPECT_EQ(path->asString(), outcome.path);
    }
    std::vector<std::string> expected{gone, outside};
    std::sort(paths.begin(), paths.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(paths, expected);
    EXPECT_EQ(service->reports().size(), 0u);
    EXPECT_EQ(client->relativeTaskPathForAbsolutePath(package), "v3/prepared/B.multipartmime");
    EXPECT_EQ(client->absolutePathForRelativeTaskPath("v3/prepared/B.multipartmime"), package);
}

TEST_F(NetworkClientTest, ASecondUploadWhileTheFirstTaskLivesIsSkipped) {
    plat::sim::ConsoleCapture console;
    service->scriptNext(devserver::Reply::json(200, "{}").after(std::chrono::seconds(3)));
    auto client = makeClient();
    client->startUploadRequest(request(), package, false);
    // The server holds its answer back, so the first task still lives when the second upload asks.
    // runUntil looks at its predicate when work arrives; the server's side is polled in short steps.
    for (int step = 0; step < 400 && service->reports().empty(); ++step)
        Virtual::runUntil([] { return false; }, 0.025);
    ASSERT_EQ(service->reports().size(), 1u);
    client->startUploadRequest(request(), package, false);
    ASSERT_TRUE(Virtual::runUntil(
        [&] { return console.nslog().find("A task currently exists for this upload, skipping") != std::string::npos; },
        10.0))
        << console.nslog();
    ASSERT_TRUE(waitForOutcomes(1));
    EXPECT_EQ(service->reports().size(), 1u);
    EXPECT_EQ(recorder->count(), 1u);
}

TEST_F(NetworkClientTest, WithoutDebugModeThePinnedRootsRefuseTheServiceBeforeAnyRequest) {
    plat::sim::Process::setArguments({"portal-app"});
    auto client = makeClient();
    client->startUploadRequest(request(), package, false);
    ASSERT_TRUE(waitForOutcomes(1));
    // Refused once is final: a restart would be refused the same way, every two seconds for the life of the
    // process. The delegate hears of the cancelled transfer, and no later attempt follows.
    for (int attempt = 0; attempt < 4; ++attempt) {
        Virtual::runUntil([] { return false; }, 0.5);
        auto pending = Virtual::pendingTimers();
        if (!pending.empty())
            Virtual::advanceTo(pending.front().deadline);
    }
    ASSERT_EQ(recorder->count(), 1u);
    EXPECT_EQ(recorder->outcomes[0].path, package);
    ASSERT_TRUE(recorder->outcomes[0].error);
    EXPECT_TRUE(recorder->outcomes[0].error->is(plat::NSURLErrorDomain, plat::NSURLErrorCancelled))
        << recorder->outcomes[0].error->description();
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(service->reports().empty());
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(package));

    // The synchronous path is pinned the same way: nothing sent, nothing reported, the package kept.
    recorder->background = false;
    auto urgent = makeClient();
    ASSERT_FALSE(urgent->supportsBackgroundRequests());
    urgent->startUploadRequest(request(), package, true);
    EXPECT_EQ(recorder->count(), 1u);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(package));
}

TEST_F(NetworkClientTest, AnUrgentUploadWithoutBackgroundSupportGivesUpAtItsTimeOutAndReportsNothing) {
    recorder->background = false;
    service->scriptNext(devserver::Reply::json(200, "{}").after(std::chrono::seconds(3)));
    auto client = makeClient();
    ASSERT_FALSE(client->supportsBackgroundRequests());
    plat::URLRequest urgent = request();
    urgent.setTimeoutInterval(2);
    client->startUploadRequest(urgent, package, true);
    EXPECT_EQ(recorder->count(), 0u);
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(package));

    // The same path on a reply in time reports success on the calling thread.
    client->startUploadRequest(request(), package, true);
    ASSERT_EQ(recorder->count(), 1u);
    EXPECT_FALSE(recorder->outcomes[0].error);
    EXPECT_EQ(service->reports().size(), 2u);
}

} // namespace
