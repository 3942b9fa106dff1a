// Application services: the extension point from the Info.plist, the shared application, opening URLs and
// process activities.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "crash/capture/VZRApplication.hpp"

#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "testing/FixtureBundle.hpp"

#include <optional>
#include <string>
#include <vector>

namespace {

using crashtest::CrashContextTest;

void makeBundle(const std::string& folder, std::optional<plat::Value> extension) {
    plat::Dictionary info{{"CFBundleIdentifier", plat::Value("com.example.portal")}};
    if (extension)
        info.set("NSExtension", *extension);
    plat::test::FixtureBundle(folder, info).makeMain();
}

TEST_F(CrashContextTest, TheExtensionPointComesFromTheInfoPlist) {
    ASSERT_TRUE(initialize());
    const struct {
        const char* name;
        std::optional<plat::Value> extension;
        std::optional<std::string> identifier;
        const char* line; // the warning it leaves, if any
    } cases[] = {
        {"absent", std::nullopt, std::nullopt, nullptr},
        {"a string", plat::Value("com.apple.widget"), std::nullopt,
         "] Error: NSExtension Info.plist entry is mal-formed\n"},
        {"a dictionary without identifier", plat::Value(plat::Dictionary{{"Other", plat::Value(1)}}), std::nullopt,
         nullptr},
        {"a non-string identifier",
         plat::Value(plat::Dictionary{{"NSExtensionPointIdentifier", plat::Value(7)}}), std::nullopt,
         "] Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"},
        {"an identifier",
         plat::Value(plat::Dictionary{{"NSExtensionPointIdentifier", plat::Value("com.apple.share-services")}}),
         "com.apple.share-services", nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        makeBundle(home.root() + "/App" + std::to_string(n++) + ".app", c.extension);
        const size_t before = sdkLog().size();
        EXPECT_EQ(VZRApplicationExtensionPointIdentifier(), c.identifier) << c.name;
        EXPECT_EQ(VZRApplicationIsExtension(), c.identifier.has_value()) << c.name;
        const std::string logged = sdkLog().substr(before);
        if (c.line) {
            EXPECT_EQ(logged.rfind("WARN  [VZRApplicationExtensionPointIdentifier:", 0), 0u) << c.name << logged;
            EXPECT_NE(logged.find(c.line), std::string::npos) << c.name << logged;
        } else {
            EXPECT_EQ(logged, "") << c.name;
        }
    }
}

TEST(Application, NoSharedApplicationInAnExtension) {
    plat::test::TempAppHome home;
    makeBundle(home.root() + "/Ext.appex",
               plat::Value(plat::Dictionary{{"NSExtensionPointIdentifier", plat::Value("com.apple.widget")}}));
    EXPECT_EQ(VZRApplicationSharedApplication(), nullptr);
    bool answer = true;
    VZRApplicationOpenURL("https://www.example.test/", nullptr, [&](bool opened) { answer = opened; });
    EXPECT_FALSE(answer) << "nothing to open it with";
}

TEST(Application, OpenURLAnswersWithTheDevicesResult) {
    plat::test::TempAppHome home;
    makeBundle(home.root() + "/App.app", std::nullopt);
    ASSERT_NE(VZRApplicationSharedApplication(), nullptr);
    EXPECT_EQ(VZRApplicationSharedApplication(), plat::UIApplication::sharedApplication());
    for (bool scripted : {true, false}) {
        plat::sim::App::setCanOpenURL("itms-apps", scripted);
        std::optional<bool> answer;
        VZRApplicationOpenURL("itms-apps://apps.example.test/app/1", nullptr, [&](bool opened) { answer = opened; });
        EXPECT_EQ(answer, scripted);
    }
    const auto& opened = plat::sim::App::recorder().openedURLs();
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ(opened.back().url, "itms-apps://apps.example.test/app/1");
}

TEST(Application, AnExtensionContextOpensTheURLItself) {
    namespace rt = plat::rt;
    rt::Class* cls = rt::registerClass("TestExtensionContext");
    std::vector<std::string> asked;
    rt::replaceMethod(cls, "openURL:completionHandler:",
                      [&](rt::Object&, std::string url, std::function<void(bool)> done) {
                          asked.push_back(url);
                          done(true);
                      });
    const rt::ObjectPtr context = rt::createInstance(cls);
    bool answer = false;
    VZRApplicationOpenURL("https://www.example.test/x", context, [&](bool opened) { answer = opened; });
    EXPECT_EQ(asked, std::vector<std::string>{"https://www.example.test/x"});
    EXPECT_TRUE(answer);
}

TEST(Application, ActivitiesAreBegunWithOptionsAndReasonAndEnded) {
    bool ran = false;
    VZRApplicationActivity(0x00FFFFFF, "Submitting crash report", [&] {
        ran = true;
        const auto during = plat::sim::Process::activities();
        ASSERT_EQ(during.size(), 1u);
        EXPECT_FALSE(during[0].ended);
    });
    EXPECT_TRUE(ran);
    const auto after = plat::sim::Process::activities();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].options, 0x00FFFFFFu);
    EXPECT_EQ(after[0].reason, "Submitting crash report");
    EXPECT_TRUE(after[0].ended);
}

} // namespace
