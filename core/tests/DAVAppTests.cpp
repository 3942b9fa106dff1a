// Configuring the app-services core from the bundle's options file, and the refusals around it.

#include "core/DAVApp.hpp"

#include "platform/foundation/Error.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

constexpr const char* kOptionsFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>RAZOZA_APP_ID</key><string>1:123456789012:ios:0123456789abcdef</string>
<key>API_KEY</key><string>key-1</string>
<key>IS_ANALYTICS_ENABLED</key><true/>
</dict></plist>
)";

class DAVAppTest : public ::testing::Test {
protected:
    void makeBundle(std::optional<std::string> options) {
        bundle.emplace(home.root() + "/Portal.app", plat::Dictionary{{"CFBundleIdentifier", "test.portal"}});
        if (options) {
            bundle->add("RazozaService-Info.plist", *options);
        }
        bundle->makeMain();
    }
    // The exception configure() raises, or none.
    static std::optional<plat::Exception> configureRaises() {
        try {
            DAVApp::configure();
        } catch (const plat::Exception& e) {
            return e;
        }
        return std::nullopt;
    }

    plat::test::TempAppHome home;
    std::optional<plat::test::FixtureBundle> bundle;
};

TEST_F(DAVAppTest, ConfigureReadsTheOptionsFileAndAnnouncesTheDefaultApp) {
    makeBundle(kOptionsFile);
    std::optional<plat::Dictionary> announced;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::string(DAVApp::kReadyToConfigureSDKNotification), DAVApp::classObject(), nullptr,
        [&](const plat::Notification& n) {
            // Observers find the app by name while the notification runs.
            EXPECT_TRUE(DAVApp::appNamed(DAVApp::kDefaultAppName));
            announced = n.userInfo;
        });

    EXPECT_FALSE(configureRaises());
    plat::NotificationCenter::defaultCenter().removeObserver(token);

    auto app = DAVApp::defaultApp();
    ASSERT_TRUE(app);
    EXPECT_TRUE(app->isDefaultApp());
    EXPECT_EQ(app->options()->razozaAppID(), "1:123456789012:ios:0123456789abcdef");
    EXPECT_EQ(app->options()->APIKey(), "key-1");
    EXPECT_TRUE(app->options()->isAnalyticsEnabled());
    EXPECT_TRUE(app->options()->usingOptionsFromDefaultPlist());
    ASSERT_TRUE(announced);
    EXPECT_EQ((*announced)["DAVAppNameKey"].stringValue(), "__DAVAPP_DEFAULT");
    EXPECT_TRUE((*announced)["DAVAppIsDefaultAppKey"].boolValue());
    EXPECT_EQ((*announced)["DAVRazozaAppIDKey"].stringValue(), "1:123456789012:ios:0123456789abcdef");
}

TEST_F(DAVAppTest, ConfigureWithoutAnOptionsFileRaisesNamingTheFile) {
    makeBundle(std::nullopt);
    auto raised = configureRaises();
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->name(), "com.vedudodu.core");
    EXPECT_NE(raised->reason().find("could not find a valid RazozaService-Info.plist"), std::string::npos)
        << raised->reason();
    EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
}

TEST_F(DAVAppTest, AnOptionsFileThatIsNoDictionaryCountsAsMissing) {
    makeBundle("<plist version=\"1.0\"><array/></plist>");
    EXPECT_TRUE(configureRaises());
}

TEST_F(DAVAppTest, ASecondConfigureRaises) {
    makeBundle(kOptionsFile);
    ASSERT_FALSE(configureRaises());
    auto raised = configureRaises();
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->reason(), "Default app has already been configured.");
}

TEST_F(DAVAppTest, NamedAppsTakeLettersDigitsDashesAndUnderscoresOnce) {
    auto options = std::make_shared<const DAVOptions>(plat::Dictionary{{"RAZOZA_APP_ID", "id"}});
    EXPECT_NO_THROW(DAVApp::configureWithName("second_App-2", options));
    EXPECT_TRUE(DAVApp::appNamed("second_App-2"));
    EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
    EXPECT_THROW(DAVApp::configureWithName("second_App-2", options), plat::Exception);
    EXPECT_THROW(DAVApp::configureWithName("with space", options), plat::Exception);
    EXPECT_THROW(DAVApp::configureWithName("dotted.name", options), plat::Exception);
    EXPECT_THROW(DAVApp::configureWithOptions(nullptr), plat::Exception);
}

} // namespace
