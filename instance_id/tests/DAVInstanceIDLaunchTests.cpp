// The client across launches of the iid_launch program on one app home against the back end: a token, then
// the app deleted and installed again (its files gone, the keychain kept), whose next launch unregisters the
// old credentials once; and the identity the measurement engine reads by class name, the same in every
// launch.

#include "devserver/InstanceIdRoutes.hpp"
#include "devserver/Server.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kLaunchSenderID = "123456789012";

struct LaunchRun {
    int status = -1;
    std::vector<std::string> lines;
    std::string log; // standard error: the device's and the client's lines
};

class DAVInstanceIDLaunchTest : public ::testing::Test {
protected:
    DAVInstanceIDLaunchTest() {
        bundle.emplace(folder.root() + "/Portal.app",
                       plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example.portal")},
                                        {"CFBundleShortVersionString", plat::Value("4.2")}});
        bundle->add("RazozaService-Info.plist",
                    std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                "<key>RAZOZA_APP_ID</key><string>1:123456789012:ios:0123456789abcdef</string>"
                                "<key>RCM_SENDER_ID</key><string>") +
                        kLaunchSenderID +
                        "</string><key>BUNDLE_ID</key><string>com.example.portal</string></dict></plist>");
        service = devserver::installInstanceIdRoutes(server);
        ready = server.start() && server.writeCa(folder.root() + "/ca.pem");
    }
    void SetUp() override { ASSERT_TRUE(ready) << server.error(); }

    LaunchRun launch(const std::string& requests) {
        const std::string errFile = folder.root() + "/launch-err.txt";
        const std::string command = "PORTAL_APP_RESOLVE='" + server.resolveEntry(devserver::kInstanceIdHost) +
                                    "' PORTAL_APP_CA_FILE='" + folder.root() + "/ca.pem' '" + IID_LAUNCH +
                                    "' --bundle '" + bundle->path() + "' --home '" + home() + "' " + requests +
                                    " 2>'" + errFile + "'";
        LaunchRun run;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) {
            ADD_FAILURE() << "cannot start " << command;
            return run;
        }
        char line[1024];
        while (std::fgets(line, sizeof line, pipe)) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            run.lines.push_back(text);
        }
        const int status = ::pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream err(errFile);
        std::stringstream text;
        text << err.rdbuf();
        run.log = text.str();
        return run;
    }
    std::string home() const { return folder.root() + "/home"; }
    std::vector<devserver::RecordedRequest> registerRequests() const {
        std::vector<devserver::RecordedRequest> out;
        for (const auto& request : server.requests()) {
            if (request.path == "/iid/register") {
                out.push_back(request);
            }
        }
        return out;
    }
    static std::string valueOf(const LaunchRun& run, const std::string& key) {
        for (const auto& line : run.lines) {
            if (line.rfind(key + "=", 0) == 0) {
                return line.substr(key.size() + 1);
            }
        }
        return "(missing " + key + ")";
    }

    // Only a place for the bundle and the home; the launches are other processes.
    plat::test::TempAppHome folder;
    std::optional<plat::test::FixtureBundle> bundle;
    devserver::Server server;
    std::shared_ptr<devserver::InstanceIdService> service;
    bool ready = false;
};

TEST_F(DAVInstanceIDLaunchTest, AReinstallUnregistersTheOldCredentialsOnceAndThenSendsNothing) {
    const LaunchRun first = launch(std::string("token ") + kLaunchSenderID + " '*'");
    ASSERT_EQ(first.status, 0) << first.log;
    ASSERT_EQ(service->registrations().size(), 1u);
    EXPECT_EQ(first.lines, (std::vector<std::string>{"token=" + service->registrations()[0].token}));
    ASSERT_EQ(service->devices().size(), 1u);
    const auto device = service->devices()[0];

    // Deleted and installed again: the app home goes, the device folder with the keychain stays.
    std::filesystem::remove_all(home());
    server.clearRequests();
    const LaunchRun reinstalled = launch("");
    ASSERT_EQ(reinstalled.status, 0) << reinstalled.log;
    const auto sent = registerRequests();
    ASSERT_EQ(sent.size(), 1u) << reinstalled.log;
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(sent[0].header("Authorization"),
              "AidLogin " + std::to_string(device.id) + ":" + std::to_string(device.securityToken));
    EXPECT_NE(sent[0].body.find("delete=true"), std::string::npos);
    EXPECT_EQ(sent[0].body.find("appid="), std::string::npos);
    const bool outcomeLogged = reinstalled.log.find("[I-IID014007]") != std::string::npos ||
                               reinstalled.log.find("[I-IID014006]") != std::string::npos;
    EXPECT_TRUE(outcomeLogged) << reinstalled.log;

    server.clearRequests();
    const LaunchRun after = launch("");
    ASSERT_EQ(after.status, 0) << after.log;
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DAVInstanceIDLaunchTest, TheIdentityByNameIsTheSameInEveryLaunchAndTheFirstRunGetsItsToken) {
    const LaunchRun first = launch("app-instance-id instance-id");
    ASSERT_EQ(first.status, 0) << first.log;
    const std::string identity = valueOf(first, "app-instance-id");
    EXPECT_EQ(identity.size(), 11u) << identity;
    ASSERT_EQ(service->registrations().size(), 1u);
    EXPECT_EQ(valueOf(first, "instance-id"), identity + " " + service->registrations()[0].token);

    server.clearRequests();
    const LaunchRun second = launch("app-instance-id get-id");
    ASSERT_EQ(second.status, 0) << second.log;
    EXPECT_EQ(valueOf(second, "app-instance-id"), identity);
    EXPECT_EQ(valueOf(second, "id"), identity);
    // The first launch stored no locale, so the second finds its default token stale once and fetches it
    // again; from then on the cached token serves get-id's fetch.
    server.clearRequests();
    const LaunchRun third = launch("get-id");
    ASSERT_EQ(third.status, 0) << third.log;
    EXPECT_EQ(valueOf(third, "id"), identity);
    EXPECT_TRUE(registerRequests().empty()) << third.log;

    const LaunchRun deleted = launch("delete-id get-id");
    ASSERT_EQ(deleted.status, 0) << deleted.log;
    EXPECT_EQ(valueOf(deleted, "delete-id"), "ok");
    EXPECT_NE(valueOf(deleted, "id"), identity);
}

} // namespace
