// Events uploads against devserver over HTTPS: the request as the server sees it, what a finished, failed
// and retried upload leaves behind, the uploader's own errors, one task per unique name, the session's
// power-dependent settings, and pinning when the kit host is not in debug mode.

#include "ZazududIda/ZDADidivarController.hpp"
#include "ZazududIda/ZDAUploader.hpp"
#include "ZazududIda/tests/ZDAKitTestSupport.hpp"

#include "deployment/Deployment.hpp"
#include "kit_host/Zuvadu.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Clock.hpp"

#include <chrono>

namespace {

using plat::Dictionary;
using plat::Value;
using zda_test::kitFilesWithExtension;

Dictionary uploadSettings() {
    return Dictionary{{"analytics", Value(Dictionary{{"url", Value("https://events.example.test/spi/v2/events")}})}};
}

class ZDAUploadTest : public ::testing::Test {
protected:
    void SetUp() override { zda_test::bootKitDevice(home_, true); }
    void TearDown() override { server_.reset(); }

    void startServer() {
        server_ = std::make_unique<zda_test::KitEventServer>(home_);
        ASSERT_TRUE(server_->started) << server_->server.error();
    }
    std::shared_ptr<ZDADidivarController> start() {
        controller_ = ZDADidivarController::initWithBetaToken(std::nullopt, root());
        plat::Virtual::runUntilIdle();
        return controller_;
    }
    std::string root() const { return home_.root() + "/kit"; }
    std::string events() const { return root() + "/events"; }
    std::vector<plat::URL> packages() const { return kitFilesWithExtension(events(), "multipartmime"); }
    bool logged(const std::string& text) const { return console_.nslog().find(text) != std::string::npos; }

    plat::test::TempAppHome home_;
    plat::sim::ConsoleCapture console_;
    std::unique_ptr<zda_test::KitEventServer> server_;
    std::shared_ptr<ZDADidivarController> controller_;
};

TEST_F(ZDAUploadTest, APackageWaitsForValidSettingsThenArrivesWithItsHeadersAndRecords) {
    startServer();
    start();
    const auto waiting = packages();
    ASSERT_EQ(waiting.size(), 1u) << "the install log, packaged before the settings";
    const std::string boundary = ZDAFileUtils::baseName(waiting[0]);
    const auto onDisk = zda_test::kitReadPackage(waiting[0]);
    const std::string packageSize = std::to_string(zda_test::kitReadFile(waiting[0].path()).size());
    EXPECT_EQ(server_->uploads(), 0u);

    const double before = plat::Clock::now();
    controller_->initializeSettingsIfNeededWithVizezeSettings(uploadSettings());
    ASSERT_TRUE(zda_test::runKitUntil([&] { return packages().empty() && logged("Finished transmission of '" + boundary + "'."); }));
    const auto received = server_->service->received();
    ASSERT_EQ(received.size(), 1u);
    const auto& upload = received[0];
    ASSERT_TRUE(upload.decoded);
    EXPECT_EQ(upload.log, onDisk.log);
    EXPECT_EQ(zda_test::recordNames(upload.records), (std::vector<std::string>{"metadata", "app_installed"}));
    for (const auto& record : upload.records) {
        EXPECT_TRUE(record.lengthMatches) << record.name;
    }
    EXPECT_EQ(upload.partContentType, "application/vnd.vuzidorazav.ios.events");
    EXPECT_EQ(upload.partName, upload.partFilename);
    EXPECT_EQ(upload.partName.size(), 39u) << "<UUID>.gz";

    // The ten fields of the kit as the server got them (it keeps no order), in the order of the request.
    const std::vector<std::string> kitFields{"content-type",
                                             "content-length",
                                             "user-agent",
                                             "x-vuzidorazav-developer-token",
                                             "x-vuzidorazav-api-client-type",
                                             "x-vuzidorazav-api-client-version",
                                             "x-vuzidorazav-api-client-display-version",
                                             "x-vuzidorazav-api-client-build-version",
                                             "x-vuzidorazav-api-key",
                                             "x-vuzidorazav-api-client-packaged-timestamp"};
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& name : kitFields) {
        for (const auto& header : upload.headers) {
            if (header.first == name) {
                fields.push_back(header);
            }
        }
    }
    ASSERT_EQ(fields.size(), kitFields.size());
    ZDAUploadOperation operation(nullptr, plat::URL::parse("https://events.example.test/spi/v2/events"),
                                 std::string("demo-key"), plat::URL::file(home_.root() + "/none"), boundary);
    std::vector<std::string> requestOrder;
    const auto request = operation.request();
    ASSERT_TRUE(request);
    for (const auto& field : request->allHTTPHeaderFields()) {
        std::string lower = field.first;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        requestOrder.push_back(lower);
    }
    EXPECT_EQ(requestOrder, kitFields);
    EXPECT_EQ(fields[1].second, packageSize);
    EXPECT_EQ(fields[0].second, "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(fields[2].second, "Zuvidir iOS SDK/1.4.0");
    EXPECT_EQ(fields[3].second, deployment::kKitDeveloperToken);
    EXPECT_EQ(fields[4].second, "Zuvidir iOS SDK");
    EXPECT_EQ(fields[5].second, "31");
    EXPECT_EQ(fields[6].second, "1.4.0");
    EXPECT_EQ(fields[7].second, "31");
    EXPECT_EQ(fields[8].second, "demo-key");
    const double stamp = std::stod(fields[9].second);
    EXPECT_GE(stamp, std::floor(before));
    EXPECT_LE(stamp, plat::Clock::now());
}

TEST_F(ZDAUploadTest, AServerThatKeepsFailingIsRetriedElevenTimesThenTheUploadIsGivenUp) {
    startServer();
    for (int i = 0; i < 12; ++i) {
        server_->service->scriptNext(devserver::Reply::json(503, "{}"));
    }
    start();
    const std::string boundary = ZDAFileUtils::baseName(packages().at(0));
    controller_->initializeSettingsIfNeededWithVizezeSettings(uploadSettings());
    ASSERT_TRUE(zda_test::runKitUntil([&] { return logged("Finished transmission of '" + boundary + "'."); }, 200));
    EXPECT_EQ(server_->uploads(), 12u);
    EXPECT_TRUE(logged("Scheduling retry for '" + boundary + "'."));
    EXPECT_TRUE(logged("Failed to upload '" + boundary + "': ")) << console_.nslog();
    EXPECT_TRUE(logged("ZUVNetworkError")) << console_.nslog();
    EXPECT_TRUE(packages().empty()) << "a given-up upload removes its package";
}

TEST_F(ZDAUploadTest, ServerAnswersThatEndTheUploadAtOnce) {
    struct Case {
        int status;
        bool failed;
    };
    startServer();
    start();
    controller_->initializeSettingsIfNeededWithVizezeSettings(uploadSettings());
    ASSERT_TRUE(zda_test::runKitUntil([&] { return packages().empty(); }));
    for (const Case& c : {Case{413, true}, Case{202, false}}) {
        plat::sim::Console::clearCaptured();
        server_->service->scriptNext(devserver::Reply::json(c.status, "{}"));
        const auto before = server_->uploads();
        controller_->logEvent(std::make_shared<ZDACustomEvent>(std::string("x"), std::nullopt));
        controller_->rotateAndSubmitCurrentLog();
        ASSERT_TRUE(zda_test::runKitUntil([&] { return server_->uploads() == before + 1 && packages().empty(); }))
            << c.status;
        EXPECT_EQ(logged("Failed to upload"), c.failed) << c.status;
    }
}

// Records what the uploader reports; every completed request is final.
class ZDARecordingUploaderDelegate : public ZDAUploaderDelegate {
public:
    explicit ZDARecordingUploaderDelegate(std::string directory) : directory_(std::move(directory)) {}
    std::string filePathForUniqueName(ZDAUploader&, const std::string& name) override {
        return directory_ + "/" + name + ".multipartmime";
    }
    void didFinishUploadWithUniqueName(ZDAUploader&, const std::string& name,
                                       const std::optional<plat::Error>& error) override {
        finished.emplace_back(name, error);
    }
    void completedRequest(ZDAUploader&, const plat::URLRequest&, const plat::HTTPURLResponse* response,
                          const std::string&, const std::optional<plat::Error>& error,
                          RetryCompletion completion) override {
        statuses.push_back(response ? response->statusCode() : 0);
        completion(false, error);
    }
    std::vector<std::pair<std::string, std::optional<plat::Error>>> finished;
    std::vector<int> statuses;

private:
    std::string directory_;
};

TEST_F(ZDAUploadTest, TheUploadersOwnErrorsNameThePackage) {
    auto queue = plat::OperationQueue::create("zda.upload.test");
    queue->setMaxConcurrentOperationCount(1);
    auto delegate = std::make_shared<ZDARecordingUploaderDelegate>(home_.root());
    auto uploader = ZDAUploader::make(queue, delegate);
    plat::URLRequest request(plat::URL::parse("https://events.example.test/spi/v2/events"));
    struct Case {
        const char* what;
        std::optional<plat::URLRequest> request;
        std::string path;
        std::string name;
        int64_t code;
        const char* pathInfo;
        const char* nameInfo;
    };
    const std::string missing = home_.root() + "/gone.multipartmime";
    const Case cases[] = {
        {"missing package", request, missing, "gone", -8, nullptr, "gone"},
        {"empty name", request, missing, "", -2, nullptr, "(null)"},
        {"empty path", request, "", "p", -2, "(null)", "p"},
        {"no request", std::nullopt, missing, "q", -2, nullptr, "q"},
    };
    for (const auto& c : cases) {
        delegate->finished.clear();
        uploader->startUploadRequest(c.request, c.path, c.name);
        EXPECT_TRUE(delegate->finished.empty()) << c.what << ": never inside the call";
        plat::Virtual::runUntilIdle();
        ASSERT_EQ(delegate->finished.size(), 1u) << c.what;
        const auto& [name, error] = delegate->finished[0];
        EXPECT_EQ(name, c.name);
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->domain, "ZUVNetworkError");
        EXPECT_EQ(error->code, c.code) << c.what;
        EXPECT_EQ(error->userInfoValue("NSFilePath")->stringValue(), c.pathInfo ? c.pathInfo : c.path) << c.what;
        EXPECT_EQ(error->userInfoValue("ZDAUploaderUniqueName")->stringValue(), c.nameInfo) << c.what;
    }
    EXPECT_TRUE(delegate->statuses.empty()) << "nothing was sent";
}

TEST_F(ZDAUploadTest, OneTaskPerUniqueName) {
    startServer();
    server_->service->scriptNext(devserver::Reply::json(200, "{}").after(std::chrono::milliseconds(1500)));
    auto queue = plat::OperationQueue::create("zda.upload.test");
    queue->setMaxConcurrentOperationCount(1);
    auto delegate = std::make_shared<ZDARecordingUploaderDelegate>(home_.root());
    auto uploader = ZDAUploader::make(queue, delegate);
    const std::string path = home_.root() + "/B.multipartmime";
    ASSERT_TRUE(plat::FileManager::defaultManager().createFile(path, std::vector<uint8_t>{'x'}));
    ZDAUploadOperation operation(uploader, plat::URL::parse("https://events.example.test/spi/v2/events"),
                                 std::string("k"), plat::URL::file(path), "B");
    queue->addOperation(std::make_shared<ZDAUploadOperation>(uploader, operation.didivarURL(), operation.apiKey(),
                                                             operation.multipartURL(), "B"));
    ASSERT_TRUE(zda_test::runKitUntil([&] { return logged("Transmitting packaged events for 'B'."); }));
    plat::Virtual::runUntilIdle();
    uploader->startUploadRequest(operation.request(), path, "B");
    ASSERT_TRUE(zda_test::runKitUntil([&] { return logged("A task currently exists for 'B', skipping"); }));
    EXPECT_NE(console_.nslog().find("[Zuvidir:ZDAUploader] A task currently exists for 'B', skipping"), std::string::npos);
    ASSERT_TRUE(zda_test::runKitUntil([&] { return !delegate->finished.empty(); }));
    EXPECT_EQ(delegate->statuses, std::vector<int>{200});
    EXPECT_EQ(server_->uploads(), 1u);
}

// The clean-up and the arrival of the settings can both queue the same package: two starts whose task checks
// are answered before either task exists still send it once, and the name is free again once it has ended.
TEST_F(ZDAUploadTest, TwoStartsQueuedTogetherSendThePackageOnce) {
    startServer();
    auto queue = plat::OperationQueue::create("zda.upload.test");
    queue->setMaxConcurrentOperationCount(1);
    auto delegate = std::make_shared<ZDARecordingUploaderDelegate>(home_.root());
    auto uploader = ZDAUploader::make(queue, delegate);
    const std::string path = home_.root() + "/B.multipartmime";
    const auto url = plat::URL::parse("https://events.example.test/spi/v2/events");
    auto send = [&] {
        ASSERT_TRUE(plat::FileManager::defaultManager().createFile(path, std::vector<uint8_t>{'x'}));
        queue->addOperations({std::make_shared<ZDAUploadOperation>(uploader, url, std::string("k"),
                                                                   plat::URL::file(path), "B"),
                              std::make_shared<ZDAUploadOperation>(uploader, url, std::string("k"),
                                                                   plat::URL::file(path), "B")},
                             false);
    };
    send();
    ASSERT_TRUE(zda_test::runKitUntil([&] { return !delegate->finished.empty(); }));
    plat::Virtual::runUntilIdle();
    EXPECT_NE(console_.nslog().find("A task currently exists for 'B', skipping"), std::string::npos);
    EXPECT_EQ(delegate->statuses, std::vector<int>{200});
    EXPECT_EQ(server_->uploads(), 1u);
    EXPECT_FALSE(uploader->hasTasksInFlight());

    send();
    ASSERT_TRUE(zda_test::runKitUntil([&] { return delegate->finished.size() == 2; }));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(server_->uploads(), 2u);
}

TEST_F(ZDAUploadTest, LowPowerModeChangesTheNextSession) {
    auto queue = plat::OperationQueue::create("zda.upload.test");
    auto delegate = std::make_shared<ZDARecordingUploaderDelegate>(home_.root());
    auto uploader = ZDAUploader::make(queue, delegate);
    uploader->setDefaultUploadTimeout(21600);
    uploader->setLowPowerUploadTimeout(3600);
    plat::Virtual::runUntilIdle();
    auto first = uploader->session();
    ASSERT_TRUE(first && first->platformSession());
    EXPECT_EQ(first->platformSession()->configuration().timeoutIntervalForResource, 21600);
    EXPECT_TRUE(first->platformSession()->configuration().allowsCellularAccess);
    EXPECT_EQ(uploader->session(), first) << "kept while nothing changes";

    plat::sim::Device::setLowPower(true);
    plat::Virtual::runUntilIdle();
    auto second = uploader->session();
    ASSERT_TRUE(second && second->platformSession());
    EXPECT_NE(second, first);
    EXPECT_EQ(second->platformSession()->configuration().timeoutIntervalForResource, 3600);
    EXPECT_FALSE(second->platformSession()->configuration().allowsCellularAccess);
    EXPECT_FALSE(ZDAUploader::supportsBackgroundRequests());
}

class ZDAPinnedUploadTest : public ZDAUploadTest {
protected:
    void SetUp() override { zda_test::bootKitDevice(home_, false); }
};

TEST_F(ZDAPinnedUploadTest, WithoutDebugModeThePinnedRootsRefuseTheServer) {
    startServer();
    start();
    ASSERT_FALSE(Zuvadu::sharedSDK().debug());
    controller_->initializeSettingsIfNeededWithVizezeSettings(uploadSettings());
    ASSERT_TRUE(zda_test::runKitUntil([&] { return logged("Error transmitting '"); }));
    EXPECT_EQ(server_->server.requestCount(), 0u) << "cancelled in the TLS challenge, before any request";
}

} // namespace
