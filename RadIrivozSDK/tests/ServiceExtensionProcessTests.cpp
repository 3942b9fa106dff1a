// The notification service extension as the device runs it: the radirivoz-service-extension program, booted
// with an ".appex" bundle inside the app bundle, in processes of its own. This test process plays the app: it
// shares the app group's preferences (and so the badge count) with every extension process.

#include "RadIrivozSDK/Source/RadIrivozNotificationServiceExtensionHandler.hpp"
#include "devserver/MediaRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/device/DeviceConfig.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kExtensionGroup = "group.test.example.portal.radirivoz";

// One run of the program: its exit status and the JSON lines it printed.
struct ExtensionRun {
    pid_t pid = -1;
    std::string outFile;
    int status = -1;
    std::vector<plat::Value> lines;
};

class ServiceExtensionProcess : public ::testing::Test {
protected:
    void SetUp() override {
        const plat::Value groups(plat::Array{plat::Value(kExtensionGroup)});
        app_.emplace(home_.root() + "/Portal.app",
                     plat::Dictionary{{"CFBundleIdentifier", plat::Value("test.example.portal")},
                                      {plat::kAppGroupsInfoKey, groups}});
        // The extension's own identifier differs; the group name comes from the app that contains it.
        plat::test::FixtureBundle(
            app_->path() + "/PlugIns/Service.appex",
            plat::Dictionary{{"CFBundleIdentifier", plat::Value("test.example.portal.service")},
                             {plat::kAppGroupsInfoKey, groups},
                             {"NSExtension",
                              plat::Value(plat::Dictionary{{"NSExtensionPrincipalClass", plat::Value("NotificationService")}})}});
        app_->makeMain();
        plat::sim::Preferences::setAppGroups({kExtensionGroup});
    }

    std::string extensionBundle() const { return app_->path() + "/PlugIns/Service.appex"; }

    // Starts the program without waiting for it; its standard output goes to a file of its own.
    ExtensionRun start(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
        ExtensionRun run;
        run.outFile = home_.root() + "/extension-" + std::to_string(runs_++) + ".out";
        std::vector<std::string> argv = {PORTAL_SERVICE_EXTENSION_PROGRAM, "--bundle", extensionBundle(), "--home",
                                         home_.home()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargs;
        for (auto& a : argv)
            cargs.push_back(a.data());
        cargs.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> cenv;
        for (auto& e : env)
            cenv.push_back(e.data());
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, run.outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        EXPECT_EQ(::posix_spawn(&run.pid, cargs[0], &actions, nullptr, cargs.data(), cenv.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }

    static void finish(ExtensionRun& run) {
        int status = 0;
        ASSERT_EQ(::waitpid(run.pid, &status, 0), run.pid);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream in(run.outFile);
        std::string line;
        while (std::getline(in, line)) {
            auto parsed = plat::JSONSerialization::jsonObject(line);
            ASSERT_TRUE(parsed) << "not a JSON line: " << line;
            run.lines.push_back(*parsed);
        }
    }

    ExtensionRun runToEnd(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
        ExtensionRun run = start(std::move(args), extraEnv);
        finish(run);
        return run;
    }

    plat::test::TempAppHome home_;
    std::optional<plat::test::FixtureBundle> app_;
    int runs_ = 0;
};

// Two extension processes add to the shared count at the same time as each other; every increment sees the
// count the one before left, so the badges they hand back are 1..2N, each once, and the app reads 2N.
TEST_F(ServiceExtensionProcess, TwoProcessesIncrementingTheSharedBadgeEndAtTheSumOfBoth) {
    constexpr int kEach = 25;
    RadIrivozExtensionBadgeHandler::updateCachedBadgeValue(0);
    const std::string push = R"({"aps":{"alert":"x","mutable-content":1},"custom":{"i":"m-1","badge_inc":1}})";
    ExtensionRun a = start({"--repeat", std::to_string(kEach), push});
    ExtensionRun b = start({"--repeat", std::to_string(kEach), push});
    finish(a);
    finish(b);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(b.status, 0);
    ASSERT_EQ(a.lines.size(), static_cast<size_t>(kEach));
    ASSERT_EQ(b.lines.size(), static_cast<size_t>(kEach));
    std::multiset<int64_t> badges;
    for (const auto* run : {&a, &b}) {
        for (const auto& line : run->lines) {
            EXPECT_TRUE(line["handled"].boolValue());
            badges.insert(line["badge"].integerValue());
        }
    }
    std::multiset<int64_t> expected;
    for (int n = 1; n <= 2 * kEach; ++n)
        expected.insert(n);
    EXPECT_EQ(badges, expected);
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::currentCachedBadgeValue(), 2 * kEach);
}

// The extension starts from the count the app stored, adds the buttons and fetches the media from the network;
// when its time runs out first, it hands back the buttons only, and the increment it started still lands.
TEST_F(ServiceExtensionProcess, TheExtensionAddsButtonsAndMediaOnTheAppsCountOrButtonsOnlyWhenTimeRunsOut) {
    devserver::Server server;
    devserver::installMediaRoutes(server);
    ASSERT_TRUE(server.start()) << server.error();
    const std::string ca = home_.root() + "/media-ca.pem";
    ASSERT_TRUE(server.writeCa(ca));
    const std::vector<std::string> network = {"PORTAL_APP_RESOLVE=" + server.resolveEntry(devserver::kMediaHost),
                                              "PORTAL_APP_CA_FILE=" + ca};
    auto push = [](const std::string& media) {
        return R"({"aps":{"alert":"News","mutable-content":1},"custom":{"i":"m-2","badge_inc":2},)"
               R"("buttons":[{"n":"Yes","i":"y"},{"n":"No","i":"n"}],"att":{"pic":"https://www.example.test/media/)" +
               media + R"("}})";
    };
    RadIrivozExtensionBadgeHandler::updateCachedBadgeValue(4);

    ExtensionRun full = runToEnd({push("img.png")}, network);
    ASSERT_EQ(full.status, 0);
    ASSERT_EQ(full.lines.size(), 1u);
    const plat::Value& shown = full.lines[0];
    EXPECT_EQ(shown["title"].stringValue(), "");
    EXPECT_EQ(shown["body"].stringValue(), "News");
    EXPECT_EQ(shown["badge"].integerValue(), 6);
    EXPECT_EQ(shown["category"].stringValue(), "__dynamic__");
    ASSERT_EQ(shown["attachments"].asArray().size(), 1u);
    const std::string file = shown["attachments"].asArray()[0]["file"].stringValue();
    EXPECT_TRUE(std::regex_search(file, std::regex(R"(/Library/Caches/[A-Za-z0-9]{10}\.png$)"))) << file;
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(file));
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::currentCachedBadgeValue(), 6);

    ExtensionRun late = runToEnd({"--expire", push("slow/img.png?delay=1500")}, network);
    ASSERT_EQ(late.status, 0);
    ASSERT_EQ(late.lines.size(), 1u);
    EXPECT_EQ(late.lines[0]["category"].stringValue(), "__dynamic__");
    EXPECT_TRUE(late.lines[0]["attachments"].asArray().empty());
    EXPECT_TRUE(late.lines[0]["badge"].isNull()) << "the content keeps the badge the push carried";
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::currentCachedBadgeValue(), 8);
    server.stop();
}

TEST_F(ServiceExtensionProcess, BadArgumentsAndBundlesAreRefusedBeforeTheDeviceBoots) {
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::string push = R"({"aps":{"alert":"x"}})";
    plat::test::FixtureBundle(home_.root() + "/Other.appex",
                              plat::Dictionary{{"CFBundleIdentifier", plat::Value("test.example.other")}});
    const Case cases[] = {
        {{"[1, 2]"}, 2},
        {{"{not json"}, 2},
        {{"--repeat", "0", push}, 2},
        {{"--bundle", home_.root() + "/Portal.app", push}, 2},
        {{"--unknown", push}, 2},
        // An extension bundle that names no service class: nothing to run the push.
        {{"--bundle", home_.root() + "/Other.appex", push}, 1},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        ExtensionRun run = runToEnd(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(run.lines.empty());
    }
}

} // namespace
