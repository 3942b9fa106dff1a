// The settings download and the onboarding against devserver's kit host back ends, in virtual time with the
// debug argument set (devserver's CA is no pinned root): the decision paths with their requests, lines and
// notification, the saved file, the onboarding form as the server parsed it, and the faults a back end can
// answer with.

#include "kit_host/ZUVSettingsOnboardingManager.hpp"
#include "kit_host/ZUVUtilities.hpp"
#include "kit_host/tests/ShimTestSupport.hpp"

#include "devserver/KitHostRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/PngFixture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace {

using plat::Dictionary;
using plat::Value;
using plat::Virtual;

constexpr const char* kOnboardingBundleID = "com.example.portal";
constexpr const char* kOnboardingAPIKey = "kit-api-key";

class SettingsOnboardingServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::sim::Process::setArguments({"portal-app", "-DAVDebugEnabled"});
        shim_test::bootDevice(home);
        makeBundle(true);
        service = devserver::installKitHostRoutes(server);
        // Every settings reply passes through here, so tests compare the saved file with what was sent.
        devserver::Route settings;
        settings.method = "GET";
        settings.host = devserver::kKitSettingsHost;
        settings.path = devserver::kKitSettingsPathPrefix;
        settings.match = devserver::PathMatch::Prefix;
        settings.handler = [this](const devserver::RecordedRequest& request) {
            auto reply = service->settings(request);
            std::lock_guard lock(repliesMutex);
            settingsReplies.push_back(reply.body);
            return reply;
        };
        server.route(std::move(settings));
        ASSERT_TRUE(server.start()) << server.error();
        const std::string ca = home.root() + "/devserver-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kKitSettingsHost) + "," +
                                       server.resolveEntry(devserver::kKitApiHost));
        observer = plat::NotificationCenter::defaultCenter().addObserver(
            std::optional<std::string>(ZUVSettingsOnboardingManager::kSettingsAvailableNotification), nullptr,
            std::shared_ptr<plat::OperationQueue>(),
            [this](const plat::Notification& n) {
                if (n.object == nullptr && n.userInfo.empty())
                    notifications.fetch_add(1);
                else
                    oddNotifications.fetch_add(1);
            });
    }
    void TearDown() override {
        plat::NotificationCenter::defaultCenter().removeObserver(observer);
        server.stop();
    }

    void makeBundle(bool withIcon, std::string identifier = kOnboardingBundleID) {
        Dictionary info{{"CFBundleIdentifier", Value(identifier)},
                        {"CFBundleVersion", Value("41")},
                        {"CFBundleShortVersionString", Value("2.3.0")},
                        {"CFBundleDisplayName", Value("Portal")}};
        if (withIcon)
            info.set("CFBundleIcons",
                     Value(Dictionary{{"CFBundlePrimaryIcon",
                                       Value(Dictionary{{"CFBundleIconFiles", Value(plat::Array{Value("Icon")})}})}}));
        plat::test::FixtureBundle bundle(home.root() + (withIcon ? "/App.app" : "/Plain.app"), info);
        if (withIcon) {
            iconBytes = plat::test::encodePng(120, 120);
            bundle.add("Icon@2x.png", std::string(iconBytes.begin(), iconBytes.end()));
        }
        bundle.makeMain();
    }

    std::shared_ptr<ZUVSettingsOnboardingManager> begin() {
        model = ZUVApplicationIdentiferModel::initWithInstallID("INSTALL-ID-1");
        auto manager = ZUVSettingsOnboardingManager::initWithApplicationIdentifierModel(model);
        manager->beginSettingsAndOnboardingOperationsWithAPIKey(
            kOnboardingAPIKey, {{"ro.darazo.rev.ara", Value("1.8.0")}, {"com.example.crash", Value("3.1.0")}});
        return manager;
    }

    // Lets real I/O in; when nothing happens for a while, moves virtual time to the next timer (a retry).
    static bool runUntilSessionEnds(const ZUVSettingsOnboardingManager& manager) {
        for (int step = 0; step < 120; ++step) {
            if (Virtual::runUntil([&] { return manager.networkClient()->isInvalidated(); }, 1.0)) {
                Virtual::runUntilIdle();
                return true;
            }
            auto pending = Virtual::pendingTimers();
            if (!pending.empty())
                Virtual::advanceTo(pending.front().deadline);
        }
        return false;
    }

    std::vector<std::string> requestLines() const {
        std::vector<std::string> lines;
        for (const auto& r : server.requests())
            lines.push_back(r.method + " " + r.host + r.path);
        return lines;
    }
    std::string settingsFileText() const {
        auto path = ZUVSettingsOnboardingManager::settingsDirectoryPath();
        auto bytes = plat::readData(*path + "/settings.json");
        return bytes.ok() ? std::string(bytes->begin(), bytes->end()) : std::string("<none>");
    }
    void registerThisApp(std::string build = "41") {
        service->registerApp({kOnboardingAPIKey, kOnboardingBundleID, model ? model->instanceIdentifier() : instance(),
                              std::move(build), "2.3.0"});
    }
    static std::string instance() { return ZUVApplicationIdentiferModel::initWithInstallID("x")->instanceIdentifier(); }
    std::string lastSettingsReply() {
        std::lock_guard lock(repliesMutex);
        return settingsReplies.empty() ? std::string() : settingsReplies.back();
    }

    plat::test::TempAppHome home;
    plat::sim::ConsoleCapture console;
    devserver::Server server;
    std::shared_ptr<devserver::KitHostService> service;
    std::shared_ptr<ZUVApplicationIdentiferModel> model;
    plat::Data iconBytes;
    std::mutex repliesMutex;
    std::vector<std::string> settingsReplies;
    plat::NotificationCenter::Token observer;
    std::atomic<int> notifications{0};
    std::atomic<int> oddNotifications{0};
};

bool hasLine(const std::string& log, const std::string& line) {
    return log.find(line + "\n") != std::string::npos;
}

TEST_F(SettingsOnboardingServerTest, ANewAppIsCreatedThenItsSettingsDownloadedAgain) {
    auto manager = begin();
    ASSERT_TRUE(runUntilSessionEnds(*manager));
    const std::string settings = std::string("settings.example.test/spi/v2/platforms/ios/apps/") + kOnboardingBundleID +
                                 "/settings";
    EXPECT_EQ(requestLines(), (std::vector<std::string>{"GET " + settings, "POST api.example.test/spi/v1/platforms/ios/apps",
                                                        "GET " + settings}));
    EXPECT_EQ(notifications.load(), 1);
    EXPECT_EQ(oddNotifications.load(), 0);
    EXPECT_TRUE(manager->hasAttemptedAppConfigure());
    EXPECT_EQ(manager->settingsModel()->appStatus(), "activated");

    // The file holds the second reply as it was sent, and the settings read from it.
    EXPECT_EQ(settingsFileText(), lastSettingsReply());
    ASSERT_TRUE(manager->settings());
    EXPECT_EQ((*manager->settings())["app"]["status"].stringValue(), "activated");

    const auto requests = server.requests();
    EXPECT_EQ(requests[0].query, "build_version=41&display_version=2.3.0&instance=" + model->instanceIdentifier() +
                                     "&source=1");
    EXPECT_EQ(requests[0].header("x-vuzidorazav-installation-id"), "INSTALL-ID-1");
    EXPECT_EQ(requests[0].header("accept"), "application/json");
    EXPECT_EQ(requests[0].header("x-vuzidorazav-api-client-version"), "1.8.0");
    EXPECT_EQ(requests[0].header("x-vuzidorazav-os-display-version"), ZUVOSDisplayVersion());
    EXPECT_EQ(requests[0].header("x-vuzidorazav-device-model"), ZUVHardwareMachine().value_or(""));
    EXPECT_EQ(requests[0].header("x-vuzidorazav-os-build-version"), ZUVOSBuildVersion().value_or(""));

    const std::string log = console.nslog();
    size_t at = 0;
    for (const char* line : {"[Zuvadu] settings downloaded successfully", "[Zuvadu] Starting onboarding with app create",
                             "[Zuvadu] completed configure", "[Zuvadu] settings downloaded successfully",
                             "[Zuvadu] App already onboarded in this run of the app",
                             "[Zuvadu] Settings are available for consumption"}) {
        at = log.find(std::string(line) + "\n", at);
        ASSERT_NE(at, std::string::npos) << line << " in order in\n" << log;
        ++at;
    }
}

TEST_F(SettingsOnboardingServerTest, TheOnboardingFormAsTheServerParsedIt) {
    auto manager = begin();
    ASSERT_TRUE(runUntilSessionEnds(*manager));
    const auto onboardings = service->onboardings();
    ASSERT_EQ(onboardings.size(), 1u);
    ASSERT_TRUE(onboardings[0].form) << onboardings[0].problem;
    EXPECT_EQ(onboardings[0].status, 201);
    const auto& parts = onboardings[0].form->parts;

    std::vector<std::pair<std::string, std::string>> expected = {
        {"app[identifier]", kOnboardingBundleID},
        {"app[instance_identifier]", model->instanceIdentifier()},
        {"app[name]", "Portal"},
        {"app[build_version]", "41"},
        {"app[display_version]", "2.3.0"},
        {"app[source]", "1"},
        {"app[minimum_sdk_version]", "0.0.0"},
        {"app[built_sdk_version]", "0.0.0"},
        {"app[build][libraries][com.example.crash]", "3.1.0"},
        {"app[build][libraries][ro.darazo.rev.ara]", "1.8.0"},
    };
    ASSERT_EQ(model->architectureUUIDMap().size(), 1u) << "the test executable is one slice";
    for (const auto& [architecture, uuid] : model->architectureUUIDMap()) {
        expected.emplace_back("app[slices][][arch]", architecture);
        expected.emplace_back("app[slices][][uuid]", uuid);
    }
    expected.emplace_back("app[icon][hash]", ZUVSHA1HexOfData(iconBytes));
    expected.emplace_back("app[icon][prerendered]", "false");
    expected.emplace_back("app[icon][width]", "120");
    expected.emplace_back("app[icon][height]", "120");
    expected.emplace_back("app[icon][data]", std::string(iconBytes.begin(), iconBytes.end()));
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& part : parts)
        got.emplace_back(part.name, part.body);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(parts.back().fileName, "icon.png");
    EXPECT_EQ(parts.back().header("Content-Type"), "image/png");
    EXPECT_EQ(parts.front().header("Content-Type"), "text/plain");
}

TEST_F(SettingsOnboardingServerTest, AnAppWithoutAnIconSendsNoIconParts) {
    makeBundle(false);
    auto manager = begin();
    ASSERT_TRUE(runUntilSessionEnds(*manager));
    const auto onboardings = service->onboardings();
    ASSERT_EQ(onboardings.size(), 1u);
    ASSERT_TRUE(onboardings[0].form);
    for (const auto& part : onboardings[0].form->parts)
        EXPECT_FALSE(part.name.starts_with("app[icon]")) << part.name;
    EXPECT_EQ(onboardings[0].form->parts.back().name, "app[slices][][uuid]");
    EXPECT_TRUE(hasLine(console.nslog(), "[Zuvadu] Unable to locate application icon"));
}

TEST_F(SettingsOnboardingServerTest, AnActivatedAppIsOnlyDownloadedOrUpdatedWhenRequired) {
    struct Case {
        std::string what;
        std::string registeredBuild;
        std::optional<devserver::Reply> updateReply;
        std::vector<std::string> methods;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"unchanged", "41", std::nullopt, {"GET"}, ""},
        {"changed build: one update", "40", std::nullopt, {"GET", "PUT"}, "[Zuvadu] completed application update"},
        {"changed build, update failing: tried twice", "40", devserver::Reply::json(503, "{}"), {"GET", "PUT", "PUT"},
         "[Zuvadu] unable to complete application update: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearRequests();
        plat::sim::Console::clearCaptured();
        notifications = 0;
        if (c.updateReply)
            server.route("PUT", std::string(devserver::kKitAppsPath) + "/" + kOnboardingBundleID, *c.updateReply);
        model = ZUVApplicationIdentiferModel::initWithInstallID("INSTALL-ID-1");
        registerThisApp(c.registeredBuild);
        auto manager = begin();
        ASSERT_TRUE(runUntilSessionEnds(*manager));
        std::vector<std::string> methods;
        for (const auto& r : server.requests())
            methods.push_back(r.method);
        EXPECT_EQ(methods, c.methods);
        EXPECT_EQ(notifications.load(), 1);
        if (!c.line.empty()) {
            EXPECT_NE(console.nslog().find(c.line), std::string::npos) << console.nslog();
        }
        if (methods.size() > 1) {
            EXPECT_EQ(server.requests()[1].path, std::string(devserver::kKitAppsPath) + "/" + kOnboardingBundleID);
        }
    }
}

TEST_F(SettingsOnboardingServerTest, ACreateThatNeverSucceedsIsTriedElevenTimes) {
    server.route("POST", devserver::kKitAppsPath, devserver::Reply::json(503, "{}").withHeader("Retry-After", "1"));
    auto manager = begin();
    ASSERT_TRUE(runUntilSessionEnds(*manager));
    size_t posts = 0;
    for (const auto& r : server.requests())
        posts += r.method == "POST";
    EXPECT_EQ(posts, 11u);
    EXPECT_EQ(server.requestCount(), 12u) << "one download, no second one";
    EXPECT_EQ(notifications.load(), 0);
    EXPECT_NE(console.nslog().find("[Zuvadu] unable to complete application configure: Error Domain=ZUVNetworkError Code=-6"),
              std::string::npos)
        << console.nslog();
}

TEST_F(SettingsOnboardingServerTest, FaultsOfTheSettingsServiceEndInALineAndAClosedSession) {
    using devserver::Reply;
    struct Case {
        std::string what;
        Reply reply;
        size_t requests;        // settings requests sent
        bool downloads;         // the reply is taken as settings
        std::string line;       // expected in the log
    };
    const std::string failed = "[Zuvadu] failed to download settings Error Domain=ZUVNetworkError Code=";
    const std::vector<Case> cases = {
        {"503 with Retry-After", Reply::json(503, "{}").withHeader("Retry-After", "3"), 2, false, failed + "-6"},
        {"429", Reply::json(429, "{}"), 2, false, failed + "-6"},
        {"500", Reply::json(500, "{}"), 2, false, failed + "-6"},
        {"401", Reply::json(401, "{}"), 1, false, failed + "-5"},
        {"200 text/html", Reply::text(200, "<html></html>", "text/html"), 1, false, failed + "-4"},
        {"dropped connections", Reply::dropped(), 2, false, "[Zuvadu] failed to download settings "},
        {"a stalled body", Reply::stalled(100, "{\"app\""), 2, false, "[Zuvadu] failed to download settings "},
        {"200 with a charset", Reply::text(200, R"({"app":{"status":"activated"}})", "application/json;charset=utf-8"),
         1, true, "[Zuvadu] Settings are available for consumption"},
        {"a delayed answer", Reply::json(200, R"({"app":{"status":"activated"}})").after(std::chrono::milliseconds(300)),
         1, true, "[Zuvadu] Settings are available for consumption"},
        {"a body that is no JSON", Reply::json(200, "not json"), 1, true,
         "[Zuvadu] Could not load settings with error: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearRequests();
        plat::sim::Console::clearCaptured();
        notifications = 0;
        server.route("GET", std::string(devserver::kKitSettingsPathPrefix) + kOnboardingBundleID + "/settings", c.reply);
        (void)plat::FileManager::defaultManager().removeItem(*ZUVSettingsOnboardingManager::settingsDirectoryPath());
        auto manager = begin();
        ASSERT_TRUE(runUntilSessionEnds(*manager));
        EXPECT_EQ(server.requestCount(), c.requests);
        EXPECT_NE(console.nslog().find(c.line), std::string::npos) << console.nslog();
        EXPECT_EQ(notifications.load(), c.downloads ? 1 : 0);
        EXPECT_FALSE(manager->hasAttemptedAppConfigure());
        if (c.what == "a body that is no JSON") {
            EXPECT_FALSE(manager->settings());
            EXPECT_EQ(settingsFileText(), "<none>") << "removed on the first read";
        } else if (c.downloads) {
            EXPECT_EQ(settingsFileText(), c.reply.body);
        } else {
            EXPECT_EQ(settingsFileText(), "<none>");
        }
    }
}

TEST_F(SettingsOnboardingServerTest, AFailedSaveKeepsTheLastSettings) {
    registerThisApp();
    auto first = begin();
    ASSERT_TRUE(runUntilSessionEnds(*first));
    const std::string saved = settingsFileText();
    ASSERT_NE(saved, "<none>");

    plat::sim::Faults::fail("file.rename", "settings.json.download", EIO);
    plat::sim::Console::clearCaptured();
    auto second = begin();
    ASSERT_TRUE(runUntilSessionEnds(*second));
    EXPECT_EQ(settingsFileText(), saved);
    EXPECT_TRUE(second->settings()) << "the kits still have settings";
    EXPECT_NE(console.nslog().find("[Zuvadu] Unable to complete settings download Error Domain="), std::string::npos);
    EXPECT_NE(console.nslog().find("[Zuvadu] failed to download settings "), std::string::npos);
}

TEST_F(SettingsOnboardingServerTest, ABundleIdentifierThatNamesNoFolderSavesNothing) {
    const std::string caches = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Caches).front();
    ASSERT_TRUE(plat::writeData(caches + "/keep.txt", plat::Data{'k'}).ok());
    for (const std::string identifier : {"..", ".", "", "a/b"}) {
        SCOPED_TRACE(identifier);
        makeBundle(false, identifier);
        EXPECT_FALSE(ZUVSettingsOnboardingManager::settingsDirectoryPath());
    }
    // "a/b" reaches the back end as "a_b"; its reply has nowhere to go.
    plat::sim::Console::clearCaptured();
    auto manager = begin();
    ASSERT_TRUE(runUntilSessionEnds(*manager));
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].path, std::string(devserver::kKitSettingsPathPrefix) + "a_b/settings");
    EXPECT_NE(console.nslog().find("[Zuvadu] Unable to complete settings download "), std::string::npos);
    EXPECT_NE(console.nslog().find("[Zuvadu] failed to download settings "), std::string::npos);
    EXPECT_FALSE(manager->settings());
    EXPECT_EQ(notifications.load(), 0);
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(caches + "/keep.txt"));
    auto left = plat::FileManager::defaultManager().contentsOfDirectory(caches);
    ASSERT_TRUE(left.ok());
    EXPECT_EQ(*left, std::vector<std::string>{"keep.txt"});
}

TEST_F(SettingsOnboardingServerTest, WithoutTheDebugArgumentThePinnedRootsRefuseTheBackEnd) {
    plat::sim::Process::setArguments({"portal-app"});
    auto manager = begin();
    ASSERT_TRUE(runUntilSessionEnds(*manager));
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_NE(console.nslog().find("[Zuvadu] failed to download settings "), std::string::npos);
    EXPECT_EQ(console.nslog().find("[Zuvadu] settings downloaded successfully"), std::string::npos);
}

} // namespace
