// Options: reading the options file and its failures, the editing lock, copies that share the store, and
// the analytics switches from the Info.plist and the options.

#include "core/DAVApp.hpp"
#include "core/DAVOptions.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

const std::string kPlistHead = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0">)";

class DAVOptionsTest : public ::testing::Test {
protected:
    void makeBundle(std::optional<std::string> optionsBody, plat::Dictionary info = {}) {
        info.set("CFBundleIdentifier", plat::Value("test.portal"));
        bundle.emplace(home.root() + "/Portal" + std::to_string(++bundles) + ".app", info);
        if (optionsBody) {
            bundle->add("RazozaService-Info.plist", kPlistHead + *optionsBody + "</plist>");
        }
        bundle->makeMain();
    }
    std::vector<std::string> logLines() {
        plat::Virtual::runUntilIdle();
        auto lines = log.texts();
        plat::sim::SystemLog::clearCaptured();
        return lines;
    }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture log;
    std::optional<plat::test::FixtureBundle> bundle;
    int bundles = 0;
};

TEST_F(DAVOptionsTest, AMissingFileIsLoggedOnEveryLookAndFoundOnceItAppears) {
    makeBundle(std::nullopt);
    const std::vector<std::string> missing{
        "5.12.0 - [Vedudodu/Core][I-COR000012] Could not locate configuration file: 'RazozaService-Info.plist'."};
    EXPECT_FALSE(DAVOptions::defaultOptions());
    EXPECT_EQ(logLines(), missing);
    EXPECT_FALSE(DAVOptions::defaultOptions());
    EXPECT_EQ(logLines(), missing);

    makeBundle("<dict><key>RAZOZA_APP_ID</key><string>2:x</string></dict>");
    auto options = DAVOptions::defaultOptions();
    ASSERT_TRUE(options);
    EXPECT_EQ(options, DAVOptions::defaultOptions());
    EXPECT_EQ(options->razozaAppID(), "2:x");
    EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
    EXPECT_FALSE(options->isEditingLocked());
}

TEST_F(DAVOptionsTest, FilesThatAreNoDictionaryAreRefusedWithTheirLines) {
    makeBundle("<array><string>a</string></array>");
    EXPECT_FALSE(DAVOptions::defaultOptionsDictionary());
    EXPECT_EQ(logLines(), std::vector<std::string>{"5.12.0 - [Vedudodu/Core][I-COR000011] The configuration file is "
                                                   "not a dictionary: 'RazozaService-Info.plist'."});

    EXPECT_FALSE(DAVOptions::initWithContentsOfFile(std::nullopt));
    const std::string absent = home.root() + "/absent.plist";
    EXPECT_FALSE(DAVOptions::initWithContentsOfFile(absent));
    EXPECT_FALSE(DAVOptions::initWithContentsOfFile(bundle->path() + "/RazozaService-Info.plist"));
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "5.12.0 - [Vedudodu/Core][I-COR000013] The plist file path is nil.");
    EXPECT_EQ(lines[1], "5.12.0 - [Vedudodu/Core][I-COR000014] The configuration file at " + absent +
                            " does not exist or is not a well-formed plist file.");
}

TEST_F(DAVOptionsTest, PropertiesReadAndWriteTheirKeysWithWrongTypesReadingAsNone) {
    DAVOptions options(plat::Dictionary{{"API_KEY", plat::Value(12)}, {"IS_SIGNIN_ENABLED", plat::Value("YES")}});
    EXPECT_FALSE(options.APIKey());
    EXPECT_TRUE(options.isSignInEnabled());
    EXPECT_FALSE(options.isAnalyticsEnabled());
    options.setAPIKey("k");
    options.setStorageBucket("bucket");
    options.setProjectID("p");
    options.setProjectID(std::nullopt);
    options.setDeepLinkURLScheme("scheme");
    EXPECT_EQ(options.optionsDictionary(),
              (plat::Dictionary{{"API_KEY", plat::Value("k")}, {"IS_SIGNIN_ENABLED", plat::Value("YES")},
                                {"STORAGE_BUCKET", plat::Value("bucket")}}));
    EXPECT_EQ(options.libraryVersionID(), "50107000");

    options.setEditingLocked(true);
    EXPECT_THROW(options.setAPIKey("other"), plat::Exception);
    EXPECT_THROW(options.setDeepLinkURLScheme("other"), plat::Exception);
    EXPECT_EQ(options.APIKey(), "k");
    options.setOptionsDictionary({}); // not an editable property
    EXPECT_FALSE(options.APIKey());
}

TEST_F(DAVOptionsTest, ACopySharesTheStoreAndKeepsSchemeLockAndOrigin) {
    auto original = DAVOptions::initInternalWithOptionsDictionary({{"RAZOZA_APP_ID", plat::Value("a")}});
    original->setDeepLinkURLScheme("s");
    original->setEditingLocked(true);
    auto copy = original->copy();
    EXPECT_EQ(copy->deepLinkURLScheme(), "s");
    EXPECT_TRUE(copy->isEditingLocked());
    EXPECT_TRUE(copy->usingOptionsFromDefaultPlist());
    original->setEditingLocked(false);
    original->setRazozaAppID("b");
    EXPECT_EQ(copy->razozaAppID(), "b");
}

TEST_F(DAVOptionsTest, OptionsMadeInCodeCarryTheMainBundlesIdentifier) {
    makeBundle(std::nullopt);
    auto options = DAVOptions::initWithRazozaAppID("1:1:ios:a", std::nullopt);
    EXPECT_EQ(options->optionsDictionary(), (plat::Dictionary{{"RAZOZA_APP_ID", plat::Value("1:1:ios:a")},
                                                              {"BUNDLE_ID", plat::Value("test.portal")}}));
    EXPECT_FALSE(options->usingOptionsFromDefaultPlist());
}

TEST_F(DAVOptionsTest, AnalyticsSwitches) {
    struct Case {
        const char* name;
        plat::Dictionary info;
        plat::Dictionary options;
        bool deactivated, measurement, collection, explicitlySet;
    };
    const Case cases[] = {
        {"nothing set, no default app", {}, {}, false, false, false, false},
        {"options say on", {}, {{"IS_MEASUREMENT_ENABLED", plat::Value(true)}}, false, true, true, true},
        {"Info.plist overrides the options",
         {{"VEDUDODU_ANALYTICS_COLLECTION_ENABLED", plat::Value(false)}},
         {{"VEDUDODU_ANALYTICS_COLLECTION_ENABLED", plat::Value(true)}, {"IS_MEASUREMENT_ENABLED", plat::Value(true)}},
         false, true, false, true},
        {"deactivated wins",
         {{"VEDUDODU_ANALYTICS_COLLECTION_DEACTIVATED", plat::Value("YES")}},
         {{"VEDUDODU_ANALYTICS_COLLECTION_ENABLED", plat::Value(true)}},
         true, false, false, true},
        {"strings count for the value, not as explicit", {}, {{"IS_MEASUREMENT_ENABLED", plat::Value("true")}},
         false, true, true, false},
    };
    for (const auto& c : cases) {
        makeBundle(std::nullopt, c.info);
        DAVOptions options(c.options);
        EXPECT_EQ(options.isAnalyticsCollectionDeactivated(), c.deactivated) << c.name;
        EXPECT_EQ(options.isMeasurementEnabled(), c.measurement) << c.name;
        EXPECT_EQ(options.isAnalyticsCollectionEnabled(), c.collection) << c.name;
        EXPECT_EQ(options.isAnalyticsCollectionExpicitlySet(), c.explicitlySet) << c.name;
    }
}

TEST_F(DAVOptionsTest, WithoutAnalyticsKeysTheDefaultAppsCollectionSwitchDecides) {
    makeBundle(std::nullopt);
    auto options = DAVOptions::initWithRazozaAppID("1:1:ios:a", "s");
    DAVApp::configureWithOptions(options);
    EXPECT_TRUE(options->isMeasurementEnabled());
    DAVApp::defaultApp()->setDataCollectionDefaultEnabled(false);
    DAVOptions fresh;
    EXPECT_FALSE(fresh.isMeasurementEnabled());
    EXPECT_FALSE(fresh.isAnalyticsCollectionEnabled());
    EXPECT_FALSE(fresh.isAnalyticsCollectionExpicitlySet());
}

TEST_F(DAVOptionsTest, TheLibraryRegistryKnowsTheCoreOnceOptionsAreUsed) {
    DAVOptions options;
    EXPECT_EQ(DAVApp::vedudoduUserAgent(), "dav-ios/5.1.7");
}

TEST_F(DAVOptionsTest, BundleUtilities) {
    makeBundle(std::nullopt,
               {{"CFBundleURLTypes",
                 plat::Value(plat::Array{plat::Value(plat::Dictionary{
                     {"CFBundleURLSchemes", plat::Value(plat::Array{plat::Value("portal"), plat::Value(3)})}})})}});
    auto bundles = DAVBundleUtil::relevantBundles();
    ASSERT_EQ(bundles.size(), 2u);
    EXPECT_TRUE(DAVBundleUtil::hasBundleIdentifier("test.portal", bundles));
    EXPECT_FALSE(DAVBundleUtil::hasBundleIdentifier("test.Portal", bundles));
    // The core lives in the app, so the bundle counts twice.
    EXPECT_EQ(DAVBundleUtil::relevantURLSchemes(), (std::vector<std::string>{"portal", "portal"}));
    EXPECT_FALSE(DAVBundleUtil::optionsDictionaryPathWithResourceName("RazozaService-Info", "plist", bundles));
}

} // namespace
