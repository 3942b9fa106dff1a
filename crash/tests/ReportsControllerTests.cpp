// A crashed probe's report from the active stage to devserver's report service over HTTPS: processed,
// packaged, its directory removed, uploaded with the upload's header fields, and its package removed once the
// network client says it arrived.

#include "crash/VZRFileManager.hpp"
#include "crash/VZRNetworkClient.hpp"
#include "crash/VZRReport.hpp"
#include "crash/VZRReportsController.hpp"

#include "crash/tests/ReportServiceFixture.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace {

struct ReportsAnalyticsEvent {
    std::string origin;
    std::string name;
    plat::Dictionary parameters;
};

std::vector<ReportsAnalyticsEvent>& reportsAnalyticsEvents() {
    static std::vector<ReportsAnalyticsEvent> events;
    return events;
}

// The analytics client's class as the crash reporter looks it up by name, recording the events it is sent.
void registerReportsAnalyticsFake() {
    namespace rt = plat::rt;
    rt::Class* meta = rt::metaclass(rt::registerClass("DAVAnalytics"));
    rt::replaceMethod(meta, "logInternalEventWithOrigin:name:parameters:",
                      [](rt::Object&, std::string origin, std::string name, plat::Dictionary parameters) {
                          reportsAnalyticsEvents().push_back({std::move(origin), std::move(name), std::move(parameters)});
                      });
    rt::replaceMethod(meta, "addLogEventListener:",
                      [](rt::Object&, std::function<void(rt::ObjectPtr)>) { return rt::ObjectPtr(); });
}

std::string reportsReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The crash reporting controller's part: answers for the settings and identity, and passes the network
// client's outcomes back to the reports controller.
class ReportsControllerHost : public VZRReportsControllerDelegate, public VZRNetworkClientDelegate {
public:
    std::shared_ptr<VZRReportsController> controller;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::optional<plat::Error>>> submissions;

    bool networkClientCanUseBackgroundSessions(VZRNetworkClient&) override { return true; }
    void networkClientDidFinishUploadWithPath(VZRNetworkClient&, const std::string& path,
                                              const std::optional<plat::Error>& error) override {
        controller->reportUploadAtPathCompletedWithError(path, error);
    }
    void reportsControllerDidCompletePackageSubmission(VZRReportsController&, const std::string& path,
                                                       const std::optional<plat::Error>& error) override {
        std::lock_guard lock(mutex);
        submissions.emplace_back(path, error);
    }
    void reportsControllerDidCompleteAllSubmissions(VZRReportsController&) override {}
    std::optional<plat::Dictionary> settings;
    VZRSettings settingsForReportsController(VZRReportsController&) override { return VZRSettings(settings); }
    std::string APIKeyForReportsController(VZRReportsController&) override { return "K"; }
    std::string bundleIdentifierForReportsController(VZRReportsController&) override { return "com.example.app"; }
    size_t count() {
        std::lock_guard lock(mutex);
        return submissions.size();
    }
};

class ReportsControllerTest : public ::testing::Test, protected crashtest::ReportServiceFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(start());
        // A crash of the probe (in an app home of its own) leaves the report directory this launch finds.
        const std::string crashed = home.root() + "/crashed";
        std::filesystem::create_directories(crashed);
        const std::string probe = CRASH_PROBE;
        std::system(("exec " + probe + " " + crashed + " chain 2>/dev/null").c_str());
        reportDir = files->activePath() + "/exec1";
        std::filesystem::copy(crashed + "/report", reportDir, std::filesystem::copy_options::recursive);
        for (const auto& entry : std::filesystem::directory_iterator(reportDir))
            original[entry.path().filename().string()] = reportsReadFile(entry.path().string());
        host = std::make_shared<ReportsControllerHost>();
        client = VZRNetworkClient::initWithQueue(queue, files, host);
        host->controller = std::make_shared<VZRReportsController>(queue, host, client, files);
    }
    bool waitForSubmissions(size_t count) {
        return waitForCount([this] { return host->count(); }, count);
    }

    std::shared_ptr<ReportsControllerHost> host;
    std::shared_ptr<VZRNetworkClient> client;
    std::string reportDir;
    std::map<std::string, std::string> original;
};

TEST_F(ReportsControllerTest, ACrashedProbesReportReachesTheServiceAndDecodesBackToItsFiles) {
    ASSERT_TRUE(original.count("signal.vzrrecord")) << "the probe left no crash record";
    auto report = VZRInternalReport::reportWithPath(reportDir);
    ASSERT_TRUE(report);
    ASSERT_TRUE(host->controller->prepareAndSubmitReport(report, false, true));
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(files->processingPath() + "/exec1"));
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(reportDir));
    ASSERT_TRUE(waitForSubmissions(1));
    EXPECT_FALSE(host->submissions[0].second) << host->submissions[0].second->description();
    EXPECT_TRUE(files->preparedPathContents().empty()) << "the sent package is removed";

    const auto reports = service->reports();
    ASSERT_EQ(reports.size(), 1u);
    const auto& received = reports[0];
    EXPECT_EQ(received.bundle, "com.example.app");
    EXPECT_EQ(received.reportId, "s1");
    for (const char* name : {"signal.vzrrecord", "metadata.vzrrecord", "binary_images.vzrrecord", "sdk.log"}) {
        SCOPED_TRACE(name);
        const auto* part = received.part(name);
        ASSERT_TRUE(part);
        EXPECT_EQ(part->contentType, "application/x-gzip");
        EXPECT_EQ(part->fileName, std::string(name) + ".gz");
        EXPECT_EQ(part->bytes, original[name]);
    }
    const auto* symbolicated = received.part("signal.vzrrecord.symbolicated");
    ASSERT_TRUE(symbolicated);
    EXPECT_EQ(symbolicated->bytes.rfind("{\"threads\":[[", 0), 0u) << symbolicated->bytes;

    // The upload's header fields: in order in the request the controller builds, and all of them on the wire
    // (among those the transport adds; the platform's transport sends fields in an order of its own).
    const std::vector<std::pair<std::string, std::string>> fields{
        {"user-agent", "Vuzidorazav iOS SDK/3.11.0"},
        {"accept", "application/json"},
        {"accept-charset", "utf-8"},
        {"accept-language", VZRReportsController::localeIdentifier()},
        {"content-language", VZRReportsController::localeIdentifier()},
        {"x-vuzidorazav-developer-token", "7d4f0a9c3e5b1d8f2a6c4e0b9d7f3a1c5e8b2d6f"},
        {"x-vuzidorazav-api-client-id", "com.ruzovid.vuzidorazav.ios"},
        {"x-vuzidorazav-api-client-display-version", "3.11.0"},
        {"x-vuzidorazav-api-client-build-version", "133"},
        {"x-vuzidorazav-api-key", "K"},
        {"content-type", "multipart/form-data; boundary=" + [&] {
             const std::string boundary = received.body.substr(received.body.find("--") + 2);
             return boundary.substr(0, boundary.find("\r\n"));
         }()},
        {"content-length", std::to_string(received.body.size())},
    };
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& header : received.headers)
        for (const auto& field : fields)
            if (header.first == field.first)
                seen.push_back(header);
    auto sortedFields = fields;
    std::sort(seen.begin(), seen.end());
    std::sort(sortedFields.begin(), sortedFields.end());
    EXPECT_EQ(seen, sortedFields);

    const std::string package = files->preparedPath() + "/" + fields[10].second.substr(30) + ".multipartmime";
    std::ofstream(package, std::ios::binary) << received.body;
    plat::URLRequest built = host->controller->mutableRequestWithURL(*host->controller->reportURL(), 10);
    ASSERT_TRUE(host->controller->fillInRequest(built, package));
    std::vector<std::pair<std::string, std::string>> order;
    for (const auto& [name, value] : built.allHTTPHeaderFields().fields()) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
        order.emplace_back(lower, value);
    }
    EXPECT_EQ(order, fields);
    ASSERT_TRUE(built.url());
    EXPECT_EQ(built.url()->absoluteString(), "https://reports.example.test/sdk-api/v1/platforms/ios/apps/com.example.app/reports");
    EXPECT_EQ(built.timeoutInterval(), 10);
}

TEST_F(ReportsControllerTest, SwitchedOffPackagingOrSubmissionEndsWithFalseAndItsLine) {
    struct Case {
        const char* variable;
        const char* line;
        bool packageLeft;
    };
    for (const Case& c : {Case{"VuzidorazavPackageReports", "[Vuzidorazav:Crash:Reports] Report packaging disabled", false},
                          Case{"VuzidorazavSubmitReports", "[Vuzidorazav:Crash:Reports] Submission disabled", true}}) {
        SCOPED_TRACE(c.variable);
        plat::sim::ConsoleCapture console;
        ::setenv(c.variable, "NO", 1);
        auto report = VZRInternalReport::reportWithPath(reportDir);
        ASSERT_TRUE(report);
        EXPECT_FALSE(host->controller->prepareAndSubmitReport(report, false, true));
        ::unsetenv(c.variable);
        EXPECT_NE(console.nslog().find(c.line), std::string::npos) << console.nslog();
        EXPECT_EQ(files->preparedPathContents().size(), c.packageLeft ? 1u : 0u);
        EXPECT_EQ(service->reports().size(), 0u);
        if (!c.packageLeft) // still in processing: bring it back for the next case
            std::filesystem::rename(files->processingPath() + "/exec1", reportDir);
    }
}

TEST_F(ReportsControllerTest, ACrashReportSendsOneCrashEventWithItsTimeAndAnErrorsOnlyReportNone) {
    registerReportsAnalyticsFake();
    reportsAnalyticsEvents().clear();
    host->settings = plat::Dictionary{{"features", plat::Value(plat::Dictionary{{"vedudodu_vuzidorazav_enabled",
                                                                                  plat::Value(true)}})}};
    // The crash time as the signal record has it, in seconds.
    const std::string signal = original["signal.vzrrecord"];
    const size_t at = signal.find("\"time\":", signal.find("{\"signal\":"));
    ASSERT_NE(at, std::string::npos) << signal;
    const int64_t crashTime = std::stoll(signal.substr(at + 7));

    // An errors-only copy of the same report, made first: the crash report's directory is gone once sent.
    const std::string errorsDir = files->activePath() + "/exec2";
    std::filesystem::copy(reportDir, errorsDir, std::filesystem::copy_options::recursive);
    std::filesystem::remove(errorsDir + "/signal.vzrrecord");
    std::ofstream(errorsDir + "/errors_a.vzrrecord") << "{\"error\":{\"domain\":\"44\",\"code\":1}}\n";

    auto crash = VZRInternalReport::reportWithPath(reportDir);
    ASSERT_TRUE(crash && crash->isCrash());
    ASSERT_TRUE(host->controller->prepareAndSubmitReport(crash, false, true));
    ASSERT_EQ(reportsAnalyticsEvents().size(), 1u);
    const ReportsAnalyticsEvent& event = reportsAnalyticsEvents()[0];
    EXPECT_EQ(event.origin, "vzx");
    EXPECT_EQ(event.name, "_ae");
    EXPECT_EQ(event.parameters,
              (plat::Dictionary{{"timestamp", plat::Value(crashTime * 1000)},
                                {"_r", plat::Value(int64_t{1})},
                                {"fatal", plat::Value(int64_t{1})}}));

    auto errorsOnly = VZRInternalReport::reportWithPath(errorsDir);
    ASSERT_TRUE(errorsOnly && !errorsOnly->isCrash());
    ASSERT_TRUE(host->controller->prepareAndSubmitReport(errorsOnly, false, true));
    EXPECT_EQ(reportsAnalyticsEvents().size(), 1u) << "no crash event for a report without a crash";
    ASSERT_TRUE(waitForSubmissions(2));
}

} // namespace
