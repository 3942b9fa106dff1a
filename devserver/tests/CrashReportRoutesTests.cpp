// The crash report service over real TLS: packages read back part by part with their gzip parts decoded,
// bodies that are not packages, and scripted answers.

#include "devserver/CrashReportRoutes.hpp"
#include "devserver/DefaultRoutes.hpp"
#include "devserver/Server.hpp"
#include "devserver/tests/CurlClient.hpp"
#include "devserver/tests/GzipTestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace devserver {
namespace {

using testing::Call;
using testing::Client;

struct CrashRoutesPart {
    std::string field;
    std::string fileName; // empty: a value part
    std::string type;
    std::string bytes;
};

std::string crashRoutesPackage(const std::vector<CrashRoutesPart>& parts) {
    std::string body = "MIME-Version: 1.0\r\n";
    for (const auto& p : parts) {
        body += "--B\r\nContent-Disposition: form-data; name=\"" + p.field + "\"";
        if (p.fileName.empty())
            body += "\r\nContent-Type: text/plain\r\n\r\n";
        else
            body += "; filename=\"" + p.fileName + "\"\r\nContent-Type: " + p.type +
                    "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
        body += p.bytes + "\r\n";
    }
    return body + "--B--\r\n";
}

class CrashReportRoutesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "crash-routes-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        installDefaultRoutes(server_);
        service_ = installCrashReportRoutes(server_);
        ASSERT_TRUE(server_.start()) << server_.error();
        ASSERT_TRUE(server_.writeCa((dir_ / "ca.pem").string()));
    }
    void TearDown() override {
        server_.stop();
        std::filesystem::remove_all(dir_);
    }

    testing::Result post(const std::string& body, const std::string& contentType = "multipart/form-data; boundary=B",
                         const std::string& bundle = "com.example%2Fapp") {
        Client client({server_.resolveEntry(kCrashReportsHost)}, (dir_ / "ca.pem").string());
        Call c = Call::to("POST", std::string("https://") + kCrashReportsHost + kCrashReportsPathPrefix + bundle +
                                      "/reports")
                     .timeout(10000);
        c.header("Content-Type: " + contentType);
        c.header("X-Vuzidorazav-API-Key: K");
        c.send(body);
        return client.perform(c);
    }

    std::filesystem::path dir_;
    Server server_;
    std::shared_ptr<CrashReportService> service_;
};

TEST_F(CrashReportRoutesTest, KeepsEachPackagePartByPartWithGzipPartsDecoded) {
    const std::string record = "{\"signal\":{\"number\":11}}\n";
    const auto result = post(crashRoutesPackage({
        {"api_key", "", "", "K"},
        {"report_id", "", "", "s1"},
        {"signal.vzrrecord", "signal.vzrrecord.gz", "application/x-gzip", test::gzipForTest(record)},
        {"sdk.log", "sdk.log.gz", "text/plain", "plain\x01\xff"},
    }));
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, "{}");
    EXPECT_NE(result.headers.find("application/json"), std::string::npos);
    const auto reports = service_->reports();
    ASSERT_EQ(reports.size(), 1u);
    const auto& report = reports[0];
    EXPECT_EQ(report.bundle, "com.example/app");
    EXPECT_EQ(report.apiKey, "K");
    EXPECT_EQ(report.reportId, "s1");
    ASSERT_EQ(report.parts.size(), 4u);
    const auto* signal = report.part("signal.vzrrecord");
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->fileName, "signal.vzrrecord.gz");
    EXPECT_EQ(signal->contentType, "application/x-gzip");
    EXPECT_EQ(signal->bytes, record);
    ASSERT_TRUE(report.part("sdk.log"));
    EXPECT_EQ(report.part("sdk.log")->bytes, "plain\x01\xff");
    bool sawKey = false;
    for (const auto& [name, value] : report.headers)
        sawKey = sawKey || (name == "x-vuzidorazav-api-key" && value == "K");
    EXPECT_TRUE(sawKey);
}

TEST_F(CrashReportRoutesTest, RefusesBodiesThatAreNotPackages) {
    struct Case {
        const char* name;
        std::string body;
        std::string contentType;
    };
    const std::vector<Case> cases{
        {"no boundary", crashRoutesPackage({{"report_id", "", "", "s1"}}), "multipart/form-data"},
        {"not multipart", "{}", "application/json"},
        {"gzip part that is not gzip",
         crashRoutesPackage({{"signal.vzrrecord", "signal.vzrrecord.gz", "application/x-gzip", "plain"}}),
         "multipart/form-data; boundary=B"},
        {"cut short", crashRoutesPackage({{"report_id", "", "", "s1"}}).substr(0, 60), "multipart/form-data; boundary=B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(post(c.body, c.contentType).status, 400);
    }
    const auto reports = service_->reports();
    ASSERT_EQ(reports.size(), cases.size());
    for (const auto& report : reports)
        EXPECT_FALSE(report.problem.empty());
}

TEST_F(CrashReportRoutesTest, ScriptedAnswersComeInOrderAndTheReportIsStillKept) {
    const std::string body = crashRoutesPackage({{"report_id", "", "", "s1"}});
    service_->scriptNext(Reply::json(503, "{}").withHeader("Retry-After", "1"));
    service_->scriptNext(Reply::text(200, "<html></html>", "text/html"));
    service_->scriptNext(Reply::dropped());
    const auto unavailable = post(body);
    EXPECT_EQ(unavailable.status, 503);
    EXPECT_NE(unavailable.headers.find("Retry-After: 1"), std::string::npos) << unavailable.headers;
    const auto html = post(body);
    EXPECT_EQ(html.status, 200);
    EXPECT_NE(html.headers.find("text/html"), std::string::npos);
    EXPECT_EQ(post(body).status, 0); // dropped: no answer at all
    EXPECT_EQ(post(body).status, 200);
    const auto reports = service_->reports();
    ASSERT_EQ(reports.size(), 4u);
    for (const auto& report : reports)
        EXPECT_EQ(report.reportId, "s1");
    EXPECT_EQ(reports[0].status, 503);
    EXPECT_EQ(reports[2].status, 0);
}

} // namespace
} // namespace devserver
