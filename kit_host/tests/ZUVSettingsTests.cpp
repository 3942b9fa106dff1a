// The settings model over hostile documents, the settings URL and request, the settings folder's name, and
// where the endpoints come from.

#include "kit_host/ZUVDownloadAndSaveSettingsOperation.hpp"
#include "kit_host/ZUVOnboardingOperation.hpp"
#include "kit_host/ZUVSettings.hpp"
#include "kit_host/ZUVSettingsOnboardingManager.hpp"
#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace {

using plat::Dictionary;
using plat::Value;

struct ZUVSettingsTest : ::testing::Test {
    plat::test::TempAppHome home;
    std::string path() const { return home.root() + "/settings.json"; }
    void write(const std::string& text) const {
        ASSERT_TRUE(plat::writeData(path(), plat::Data(text.begin(), text.end())).ok());
    }
};

TEST_F(ZUVSettingsTest, MembersOfTheWrongTypeCountAsAbsent) {
    struct Case {
        std::string document;
        std::optional<std::string> status;
        bool needsOnboarding;
        bool updateRequired;
    };
    const std::vector<Case> cases = {
        {R"({"app":{"status":"new","update_required":false}})", "new", true, false},
        {R"({"app":{"status":"activated","update_required":true}})", "activated", false, true},
        {R"({"app":{"status":"activated","update_required":1}})", "activated", false, true},
        {R"({"app":{"status":"activated","update_required":"YES"}})", "activated", false, true},
        {R"({"app":{"status":"activated","update_required":"0"}})", "activated", false, false},
        {R"({"app":{"status":"activated","update_required":{"x":1}}})", "activated", false, false},
        {R"({"app":{"status":"activated","update_required":[1]}})", "activated", false, false},
        {R"({"app":{"status":"activated","update_required":null}})", "activated", false, false},
        {R"({"app":{"status":7,"update_required":true}})", std::nullopt, false, true},
        {R"({"app":{"status":["new"]}})", std::nullopt, false, false},
        {R"({"app":{"status":null}})", std::nullopt, false, false},
        {R"({"app":"new"})", std::nullopt, false, false},
        {R"({"app":["new"]})", std::nullopt, false, false},
        {R"({"app":null})", std::nullopt, false, false},
        {R"({})", std::nullopt, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        write(c.document);
        ZUVSettings settings(path());
        EXPECT_EQ(settings.appStatus(), c.status);
        EXPECT_EQ(settings.appNeedsOnboarding(), c.needsOnboarding);
        EXPECT_EQ(settings.appUpdateRequired(), c.updateRequired);
        EXPECT_TRUE(settings.settingsDictionary());
    }
}

TEST_F(ZUVSettingsTest, AFileThatIsNoSettingsIsRemovedOnTheFirstRead) {
    for (const std::string document : {"not json", "[1,2]", "\"text\"", ""}) {
        SCOPED_TRACE(document);
        write(document);
        plat::sim::ConsoleCapture console;
        plat::sim::Console::clearCaptured();
        ZUVSettings settings(path());
        EXPECT_FALSE(settings.settingsDictionary());
        EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(path()));
        EXPECT_NE(console.nslog().find("[Zuvadu] Could not load settings with error: "), std::string::npos);
        EXPECT_FALSE(settings.appStatus());
    }
    ZUVSettings missing(path());
    EXPECT_FALSE(missing.settingsDictionary());
}

TEST_F(ZUVSettingsTest, TheCacheHoldsUntilCleared) {
    write(R"({"app":{"status":"new"}})");
    ZUVSettings settings(path());
    EXPECT_EQ(settings.appStatus(), "new");
    write(R"({"app":{"status":"activated"}})");
    EXPECT_EQ(settings.appStatus(), "new");
    settings.clearSettingsDictionary();
    EXPECT_EQ(settings.appStatus(), "activated");
}

TEST_F(ZUVSettingsTest, SettingsURLLeavesOutMissingValuesAndEscapes) {
    plat::test::FixtureBundle(home.root() + "/A.app", {{"CFBundleIdentifier", Value("a/b c")},
                                                        {"CFBundleVersion", Value("1&x=2")}})
        .makeMain();
    auto url = ZUVSettings::settingsURLForEndpoint("https://settings.example.test", "abc");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(),
              "https://settings.example.test/spi/v2/platforms/ios/apps/a_b%20c/settings?build_version=1%26x%3D2&"
              "instance=abc&source=1");
    url = ZUVSettings::settingsURLForEndpoint("https://settings.example.test", std::nullopt);
    EXPECT_EQ(url->absoluteString(),
              "https://settings.example.test/spi/v2/platforms/ios/apps/a_b%20c/settings?build_version=1%26x%3D2&source=1");
}

TEST_F(ZUVSettingsTest, TheSettingsRequestHeadersFollowTheDefaultsInOrder) {
    auto operation = ZUVDownloadAndSaveSettingsOperation::initWithAPIKey(
        "key", {}, plat::URL::parse("https://settings.example.test/x"), "/d", "/d/settings.json", "INSTALL", {});
    ASSERT_TRUE(operation);
    const auto request = operation->settingsRequest();
    EXPECT_EQ(request.httpMethod(), "GET");
    EXPECT_EQ(request.timeoutInterval(), 10);
    std::vector<std::string> names;
    for (const auto& [name, value] : request.allHTTPHeaderFields())
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "User-Agent", "Accept-Charset", "Accept-Language", "Content-Language",
                         "X-Vuzidorazav-Developer-Token", "X-Vuzidorazav-API-Client-Id",
                         "X-Vuzidorazav-API-Client-Display-Version", "X-Vuzidorazav-API-Client-Build-Version",
                         "X-Vuzidorazav-API-Key", "Accept", "X-Vuzidorazav-Installation-ID",
                         "X-Vuzidorazav-Device-Model", "X-Vuzidorazav-OS-Build-Version",
                         "X-Vuzidorazav-OS-Display-Version", "X-Vuzidorazav-API-Client-Version"}));
    EXPECT_EQ(request.value("X-Vuzidorazav-Installation-ID"), "INSTALL");
    EXPECT_EQ(request.value("X-Vuzidorazav-API-Client-Version"), "1.8.0");
    EXPECT_FALSE(ZUVDownloadAndSaveSettingsOperation::initWithAPIKey(std::nullopt, {}, std::nullopt, std::nullopt,
                                                                     std::nullopt, std::nullopt, {}));
}

TEST_F(ZUVSettingsTest, TheSettingsFolderIsNamedByTheBundleIdentifierAsItIs) {
    const std::string caches = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Caches).front();
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"com.example.app", caches + "/ro.darazo.rev.ara.data/com.example.app"},
        {"a b", caches + "/ro.darazo.rev.ara.data/a b"},
        {"..", std::nullopt},
        {".", std::nullopt},
        {"", std::nullopt},
        {"a/b", std::nullopt},
    };
    for (const auto& [identifier, expected] : cases) {
        plat::test::FixtureBundle(home.root() + "/F.app", {{"CFBundleIdentifier", Value(identifier)}}).makeMain();
        EXPECT_EQ(ZUVSettingsOnboardingManager::settingsDirectoryPath(), expected) << identifier;
    }
}

TEST_F(ZUVSettingsTest, EndpointsComeFromTheEnvironmentThenInfoPlistThenTheDefaults) {
    struct Case {
        std::optional<std::string> environment;
        std::optional<Value> plist; // the "Vuzidorazav" entry
        std::string settings;
        std::string configure;
    };
    const std::vector<Case> cases = {
        {"https://env.test", Value(Dictionary{{"SettingsEndpoint", Value("https://plist.test")}}), "https://env.test",
         "https://api.example.test"},
        {std::nullopt, Value(Dictionary{{"SettingsEndpoint", Value("https://plist.test")},
                                        {"ConfigureEndpoint", Value("https://cfg.test")}}),
         "https://plist.test", "https://cfg.test"},
        {std::nullopt, Value(Dictionary{{"SettingsEndpoint", Value(5)}}), "https://settings.example.test",
         "https://api.example.test"},
        {std::nullopt, Value("not a dictionary"), "https://settings.example.test", "https://api.example.test"},
        {std::nullopt, std::nullopt, "https://settings.example.test", "https://api.example.test"},
    };
    auto manager = ZUVSettingsOnboardingManager::initWithApplicationIdentifierModel(nullptr);
    for (const auto& c : cases) {
        Dictionary info{{"CFBundleIdentifier", Value("com.example.app")}};
        if (c.plist)
            info.set("Vuzidorazav", *c.plist);
        plat::test::FixtureBundle(home.root() + "/C.app", info).makeMain();
        plat::sim::Process::setEnvironment("SettingsEndpoint", c.environment);
        EXPECT_EQ(manager->valueForConfigurationKey("SettingsEndpoint"), c.settings);
        EXPECT_EQ(manager->valueForConfigurationKey("ConfigureEndpoint"), c.configure);
    }
    plat::sim::Process::setEnvironment("SettingsEndpoint", std::nullopt);
}

// Records the onboarding callbacks it hears.
struct OnboardingCallsRecorder : ZUVOnboardingOperationDelegate {
    std::vector<std::string> calls;
    void onboardingOperationDidCompleteAppCreationWithError(ZUVOnboardingOperation&,
                                                           const std::optional<plat::Error>&) override {
        calls.push_back("create");
    }
    void onboardingOperationDidCompleteAppUpdateWithError(ZUVOnboardingOperation&,
                                                         const std::optional<plat::Error>&) override {
        calls.push_back("update");
    }
};

TEST_F(ZUVSettingsTest, OnboardingURLsAndAnOperationThatCannotEncode) {
    plat::test::FixtureBundle(home.root() + "/O.app", {{"CFBundleIdentifier", Value("a/b c")}}).makeMain();
    auto recorder = std::make_shared<OnboardingCallsRecorder>();
    auto create = ZUVOnboardingOperation::initWithDelegate(recorder, true, "key", {}, nullptr, "https://api.example.test", {});
    ASSERT_TRUE(create);
    EXPECT_EQ(create->appCreateURL()->absoluteString(), "https://api.example.test/spi/v1/platforms/ios/apps");
    EXPECT_EQ(create->appUpdateURL()->absoluteString(), "https://api.example.test/spi/v1/platforms/ios/apps/a_b%20c");
    EXPECT_EQ(create->onboardingRequestForAppCreate(true).httpMethod(), "POST");
    EXPECT_EQ(create->onboardingRequestForAppCreate(false).httpMethod(), "PUT");
    EXPECT_FALSE(ZUVOnboardingOperation::initWithDelegate(recorder, true, std::nullopt, {}, nullptr, "", {}));

    // Without the identity model there is no form to write: the operation ends with the encoder error and
    // the delegate hears nothing.
    plat::sim::ConsoleCapture console;
    std::optional<plat::Error> ended;
    create->setAsyncCompletion([&](const std::optional<plat::Error>& e) { ended = e; });
    create->start();
    EXPECT_TRUE(create->isFinished());
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->domain, "ZUVSDKOnboardingErrorDomain");
    EXPECT_EQ(ended->code, 0);
    EXPECT_EQ(ended->localizedDescription(), "Multipart mime encoder was nil");
    EXPECT_TRUE(recorder->calls.empty());
    EXPECT_NE(console.nslog().find("[Zuvadu] configure failed during onboarding\n"), std::string::npos);
}

} // namespace
