// A crash, the relaunch and the upload, across real processes: the app probe crashes in one launch, and the
// next launch on the same app home hands the report to its delegate and sends it to devserver's report
// service over HTTPS, while the event kit sends the crash event of the previous session to the events service.

#include "devserver/CrashReportRoutes.hpp"
#include "devserver/DefaultRoutes.hpp"
#include "devserver/EventRoutes.hpp"
#include "devserver/Server.hpp"

#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <signal.h>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RelaunchRun {
    int status = 0; // as waitpid gives it
    std::string output;
    std::string line(const std::string& prefix) const {
        size_t at = output.find(prefix);
        if (at == std::string::npos)
            return {};
        size_t end = output.find('\n', at);
        return output.substr(at + prefix.size(), end == std::string::npos ? std::string::npos : end - at - prefix.size());
    }
};

class CrashRelaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        devserver::installDefaultRoutes(server);
        reports = devserver::installCrashReportRoutes(server);
        events = devserver::installEventRoutes(server);
        ASSERT_TRUE(server.start()) << server.error();
        ca = home.root() + "/devserver-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        for (const auto& host : devserver::servedHosts())
            resolve += (resolve.empty() ? "" : ",") + server.resolveEntry(host);
    }
    void TearDown() override { server.stop(); }

    // A fresh app (bundle and home) per case.
    std::string makeApp(const std::string& name) {
        const std::string dir = home.root() + "/" + name;
        plat::test::FixtureBundle bundle(
            dir + "/App.app",
            plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example.relaunch")},
                             {"Zuvadu", plat::Value(plat::Dictionary{
                                            {"APIKey", plat::Value("0123456789abcdef0123456789abcdef01234567")}})}});
        return dir;
    }
    std::string reportRoot(const std::string& app) const {
        return app + "/home/Library/Caches/com.vuzidorazav.data/com.example.relaunch/v3";
    }
    FILE* launch(const std::string& app, const std::string& command) {
        const std::string line = "PORTAL_APP_RESOLVE='" + resolve + "' PORTAL_APP_CA_FILE='" + ca + "' exec " +
                                 CRASH_APP_PROBE + " " + app + " " + command + " 2>" + app + "/" + command + ".err";
        return ::popen(line.c_str(), "r");
    }
    static RelaunchRun finish(FILE* pipe) {
        RelaunchRun run;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            run.output.append(buffer, n);
        run.status = ::pclose(pipe);
        return run;
    }
    RelaunchRun crash(const std::string& app, const std::string& command) { return finish(launch(app, command)); }
    // The next launch, kept up until `done` holds (or 30 s passed).
    RelaunchRun relaunchUntil(const std::string& app, const std::function<bool()>& done) {
        FILE* pipe = launch(app, "upload");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ofstream(app + "/stop").flush();
        RelaunchRun run = finish(pipe);
        fs::remove(app + "/stop");
        return run;
    }
    // The "time" of the crash record's section, read from the report launch 1 left behind.
    static std::optional<long long> recordTime(const std::string& path, const std::string& section) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            auto json = nlohmann::json::parse(line, nullptr, false);
            if (json.is_object() && json.contains(section) && json[section].contains("time"))
                return json[section]["time"].get<long long>();
        }
        return std::nullopt;
    }
    static std::vector<std::string> partNames(const devserver::CrashReportService::Report& report) {
        std::vector<std::string> names;
        for (const auto& part : report.parts)
            names.push_back(part.fieldName);
        return names;
    }
    static bool has(const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    plat::test::TempAppHome home;
    devserver::Server server;
    std::shared_ptr<devserver::CrashReportService> reports;
    std::shared_ptr<devserver::EventService> events;
    std::string ca;
    std::string resolve;
};

TEST_F(CrashRelaunchTest, EachFaultIsReportedAtTheNextLaunch) {
    struct Case {
        const char* command;
        int signal;
        const char* extraPart;
    };
    const Case cases[] = {
        {"segv", SIGSEGV, nullptr}, {"abort", SIGABRT, nullptr},           {"bus", SIGBUS, nullptr},
        {"fpe", SIGFPE, nullptr},   {"ill", SIGILL, nullptr},              {"cxx", SIGABRT, "exception.vzrrecord"},
        {"overflow", SIGSEGV, nullptr},
    };
    size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string app = makeApp(c.command);
        const RelaunchRun first = crash(app, c.command);
        ASSERT_TRUE(WIFSIGNALED(first.status)) << first.status << " " << first.output;
        EXPECT_EQ(WTERMSIG(first.status), c.signal);
        const std::string execution = first.line("execution ");
        ASSERT_FALSE(execution.empty());
        const auto crashedAt = recordTime(reportRoot(app) + "/active/" + execution + "/signal.vzrrecord", "signal");
        ASSERT_TRUE(crashedAt);

        const std::string prepared = reportRoot(app) + "/prepared";
        const RelaunchRun second = relaunchUntil(app, [&] {
            return reports->reports().size() > seen && fs::exists(prepared) && fs::is_empty(prepared);
        });
        ASSERT_EQ(reports->reports().size(), seen + 1) << second.output;
        const auto report = reports->reports()[seen++];
        EXPECT_EQ(report.status, 200);
        EXPECT_EQ(report.reportId, execution);
        const auto names = partNames(report);
        EXPECT_TRUE(has(names, "signal.vzrrecord"));
        EXPECT_TRUE(has(names, "signal.vzrrecord.symbolicated"));
        if (c.extraPart) {
            EXPECT_TRUE(has(names, c.extraPart));
        }
        EXPECT_EQ(second.line("report " + execution + " crashed "), std::to_string(*crashedAt));
        EXPECT_TRUE(fs::is_empty(reportRoot(app) + "/prepared"));
    }
}

// The crash reaches the event kit right after it starts, while the launch event's write is still queued: the
// crash event must still go in a log of its own, headed by the crashed session's metadata.
TEST_F(CrashRelaunchTest, ThePreviousSessionsCrashReachesTheEventsServiceInAnUploadOfItsOwn) {
    const std::string app = makeApp("events");
    const RelaunchRun first = crash(app, "segv");
    ASSERT_TRUE(WIFSIGNALED(first.status));
    const std::string execution = first.line("execution ");
    const auto crashedAt = recordTime(reportRoot(app) + "/active/" + execution + "/signal.vzrrecord", "signal");
    ASSERT_TRUE(crashedAt);
    auto find = [&](const std::string& name) -> std::optional<devserver::ReceivedEventUpload> {
        for (const auto& upload : events->received())
            for (const auto& record : upload.records)
                if (record.name == name)
                    return upload;
        return std::nullopt;
    };
    relaunchUntil(app, [&] { return find("app_crashed") && find("app_launched"); });
    const auto crashed = find("app_crashed");
    ASSERT_TRUE(crashed);
    ASSERT_EQ(crashed->records.size(), 2u) << crashed->log;
    EXPECT_EQ(crashed->records[0].name, "metadata");
    EXPECT_EQ(nlohmann::json::parse(crashed->records[0].json).value("session_id", ""), execution);
    EXPECT_EQ(crashed->records[1].time, std::to_string(*crashedAt * 1000));
    const auto payload = nlohmann::json::parse(crashed->records[1].json);
    EXPECT_EQ(payload.value("crash_state", ""), "unknown");
    EXPECT_TRUE(payload.contains("eventId"));
    const auto launched = find("app_launched");
    ASSERT_TRUE(launched);
    for (const auto& record : launched->records)
        EXPECT_NE(record.name, "app_crashed");
}

TEST_F(CrashRelaunchTest, APackageRefusedByTheServiceIsSentAtTheLaunchAfter) {
    const std::string app = makeApp("refused");
    const RelaunchRun first = crash(app, "segv");
    ASSERT_TRUE(WIFSIGNALED(first.status));
    const std::string execution = first.line("execution ");
    devserver::Reply unavailable;
    unavailable.status = 503;
    unavailable.headers = {{"Retry-After", "3600"}};
    reports->scriptNext(unavailable);
    relaunchUntil(app, [&] { return !reports->reports().empty(); });
    ASSERT_EQ(reports->reports().size(), 1u);
    EXPECT_EQ(reports->reports()[0].reportId, execution);
    // Kept for a later launch.
    EXPECT_EQ(std::distance(fs::directory_iterator(reportRoot(app) + "/prepared"), fs::directory_iterator()), 1);
    const std::string prepared = reportRoot(app) + "/prepared";
    relaunchUntil(app, [&] { return reports->reports().size() > 1 && fs::is_empty(prepared); });
    ASSERT_EQ(reports->reports().size(), 2u);
    EXPECT_EQ(reports->reports()[1].status, 200);
    EXPECT_EQ(reports->reports()[1].reportId, execution);
    EXPECT_TRUE(fs::is_empty(reportRoot(app) + "/prepared"));
}

} // namespace
