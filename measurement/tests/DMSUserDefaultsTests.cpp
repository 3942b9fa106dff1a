// Preference suites: the back end chosen by the Info.plist, the key and value rules, the coalesced flush on a
// timer of its own, and the backup exclusion of a suite's file.

#include "measurement/storage/DMSUserDefaults.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr const char* kDMSTestSuite = "com.razoza.rmp.measurement.test";

class DMSUserDefaultsTest : public ::testing::Test {
protected:
    // The I-ACS codes written to the utility logger since the last call.
    std::vector<std::string> loggedCodes() {
        plat::Virtual::runUntilIdle();
        std::vector<std::string> codes;
        for (const auto& text : capture.texts()) {
            auto at = text.find("<VivEduzavedovo>[I-ACS");
            if (at != std::string::npos) {
                codes.push_back(text.substr(at + 17, 11));
            }
        }
        plat::sim::SystemLog::clearCaptured();
        return codes;
    }

    std::string suiteFile() const { return home.home() + "/Library/Preferences/" + kDMSTestSuite + ".plist"; }

    std::optional<plat::Dictionary> suiteFileContents() const {
        auto bytes = plat::FileManager::defaultManager().contentsAtPath(suiteFile());
        if (!bytes) {
            return std::nullopt;
        }
        auto dictionary = plat::PropertyListSerialization::dictionary(*bytes);
        return dictionary ? std::optional<plat::Dictionary>(*dictionary) : std::nullopt;
    }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture capture;
};

} // namespace

TEST_F(DMSUserDefaultsTest, MissingInfoPlistEntrySelectsThePreferenceFunctions) {
    DMSUserDefaults suite(kDMSTestSuite);
    EXPECT_TRUE(suite.useCFPreferencesLibrary());
    suite.setObject(plat::Value("v"), "/k");
    // Both front ends share the platform's one store.
    EXPECT_EQ(plat::UserDefaults(kDMSTestSuite).string("/k"), std::optional<std::string>("v"));
}

TEST_F(DMSUserDefaultsTest, InfoPlistNoSelectsTheUserDefaultsObject) {
    plat::test::FixtureBundle app(home.root() + "/Portal.app",
                                  plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example.portal")},
                                                   {"UseCFPreferencesLibrary", plat::Value(false)}});
    app.makeMain();
    DMSUserDefaults suite(kDMSTestSuite);
    EXPECT_FALSE(suite.useCFPreferencesLibrary());
    suite.setInteger(5, "/n");
    EXPECT_EQ(suite.integerForKey("/n"), 5);
    EXPECT_EQ(plat::UserDefaults(kDMSTestSuite).integer("/n"), 5);
    suite.setInteger(6, "/gone");
    plat::Virtual::advanceBy(1);
    ASSERT_TRUE(suiteFileContents()->contains("/gone"));
    // A removal through this back end reaches the disk too.
    suite.removeObjectForKey("/gone");
    plat::Virtual::advanceBy(1);
    EXPECT_FALSE(suiteFileContents()->contains("/gone"));
    suite.clearAllData();
    EXPECT_EQ(suite.objectForKey("/n"), std::nullopt);

    suite.setUseCFPreferencesLibrary(true);
    suite.setBool(true, "/b");
    EXPECT_TRUE(suite.boolForKey("/b"));
}

TEST_F(DMSUserDefaultsTest, BadKeysAndValuesChangeNothing) {
    DMSUserDefaults suite(kDMSTestSuite);
    suite.setObject(plat::Value("kept"), "/k");
    loggedCodes();

    EXPECT_EQ(suite.objectForKey(""), std::nullopt);
    EXPECT_EQ(suite.objectForKey(plat::Value(5)), std::nullopt);
    suite.setObject(plat::Value("x"), "");
    suite.setObject(plat::Value("x"), plat::Value(5));
    // No null inside a property list: the device refuses such a value whole.
    suite.setObject(plat::Value(plat::Array{plat::Value("a"), plat::Value()}), "/k");
    EXPECT_EQ(loggedCodes(), (std::vector<std::string>{"I-ACS041001", "I-ACS041001", "I-ACS041002",
                                                       "I-ACS041002", "I-ACS041003"}));
    EXPECT_EQ(suite.stringForKey("/k"), std::optional<std::string>("kept"));

    // Typed reads of absent keys, and of a key that holds another kind.
    EXPECT_EQ(suite.integerForKey("/absent"), 0);
    EXPECT_EQ(suite.doubleForKey("/absent"), 0.0);
    EXPECT_FALSE(suite.boolForKey("/absent"));
    EXPECT_EQ(suite.integerForKey("/k"), 0);
    EXPECT_EQ(suite.arrayForKey("/k"), std::nullopt);

    suite.setObject(std::nullopt, "/k");
    EXPECT_EQ(suite.objectForKey("/k"), std::nullopt);
}

TEST_F(DMSUserDefaultsTest, BurstOfWritesEndsInOneFlushASecondAfterTheLast) {
    DMSUserDefaults suite(kDMSTestSuite);
    for (int i = 0; i < 10; ++i) {
        suite.setInteger(i, "/counter");
        plat::Virtual::advanceBy(0.05);
    }
    // The tenth write was 0.05 s ago.
    plat::Virtual::advanceBy(0.9);
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSTestSuite), 0);
    plat::Virtual::advanceBy(0.1);
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSTestSuite), 1);
    plat::Virtual::advanceBy(5);
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSTestSuite), 1);

    auto contents = suiteFileContents();
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->find("/counter")->integerValue(), 9);
    EXPECT_TRUE(plat::FileManager::defaultManager().isExcludedFromBackup(suiteFile()));
    EXPECT_TRUE(suite.isPreferenceFileExcluded());
}

TEST_F(DMSUserDefaultsTest, WritesFromASerialQueueAreFlushed) {
    DMSUserDefaults suite(kDMSTestSuite);
    auto queue = plat::DispatchQueue::makeSerial("DMSTestWriter");
    queue->async([&suite] { suite.setObject(plat::Value("from a queue"), "/q"); });
    plat::Virtual::advanceBy(1.0);
    auto contents = suiteFileContents();
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->find("/q")->asString(), "from a queue");
}

TEST_F(DMSUserDefaultsTest, PendingWritesAreFlushedWhenTheObjectGoesAway) {
    {
        DMSUserDefaults suite(kDMSTestSuite);
        suite.setDouble(1.5, "/d");
    }
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSTestSuite), 1);
    auto contents = suiteFileContents();
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->find("/d")->doubleValue(), 1.5);
    // The cancelled timer never flushes again.
    plat::Virtual::advanceBy(2);
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSTestSuite), 1);
}

TEST_F(DMSUserDefaultsTest, BackupExclusionIsRetriedUntilItSucceedsThenNeverAgain) {
    DMSUserDefaults suite(kDMSTestSuite);
    plat::sim::Faults::fail("file.xattr", "", 5 /* EIO */, plat::sim::Faults::kAlways);
    suite.setInteger(1, "/a");
    plat::Virtual::advanceBy(1);
    EXPECT_EQ(plat::sim::Faults::firedCount("file.xattr"), 1);
    EXPECT_EQ(loggedCodes(), std::vector<std::string>{"I-ACS041000"});
    EXPECT_FALSE(suite.isPreferenceFileExcluded());

    suite.setInteger(2, "/a");
    plat::Virtual::advanceBy(1);
    EXPECT_EQ(plat::sim::Faults::firedCount("file.xattr"), 2);
    EXPECT_EQ(loggedCodes(), std::vector<std::string>{"I-ACS041000"});

    plat::sim::Faults::reset();
    suite.setInteger(3, "/a");
    plat::Virtual::advanceBy(1);
    EXPECT_TRUE(suite.isPreferenceFileExcluded());
    EXPECT_TRUE(plat::FileManager::defaultManager().isExcludedFromBackup(suiteFile()));

    plat::sim::Faults::fail("file.xattr", "", 5, plat::sim::Faults::kAlways);
    suite.setInteger(4, "/a");
    plat::Virtual::advanceBy(1);
    EXPECT_EQ(plat::sim::Faults::firedCount("file.xattr"), 0);
    EXPECT_TRUE(loggedCodes().empty());
}

TEST_F(DMSUserDefaultsTest, FailedSynchronizeIsReported) {
    DMSUserDefaults suite(kDMSTestSuite);
    plat::sim::Faults::fail("defaults.synchronize", kDMSTestSuite, 1);
    suite.setInteger(1, "/a");
    plat::Virtual::advanceBy(1);
    EXPECT_EQ(loggedCodes(), std::vector<std::string>{"I-ACS041004"});
    // Nothing is lost: the next flush writes it.
    suite.synchronize();
    auto contents = suiteFileContents();
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->find("/a")->integerValue(), 1);
}

TEST_F(DMSUserDefaultsTest, TheStandardSuiteFileIsNeverExcluded) {
    auto& standard = DMSUserDefaults::standardUserDefaults();
    EXPECT_TRUE(standard.isPreferenceFileExcluded());
    standard.setBool(true, "/razoza/measurement/debug_mode");
    plat::Virtual::advanceBy(1);
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(plat::PreferenceStore::standardDomainName()), 1);
    auto& files = plat::FileManager::defaultManager();
    std::string folder = home.home() + "/Library/Preferences/";
    auto names = files.contentsOfDirectory(folder).valueOr({});
    EXPECT_FALSE(names.empty());
    for (const auto& name : names) {
        EXPECT_FALSE(files.isExcludedFromBackup(folder + name)) << name;
    }
}

TEST_F(DMSUserDefaultsTest, ClearingRemovesEveryKeyAndAnEmptySuiteIsLeftAlone) {
    DMSUserDefaults suite(kDMSTestSuite);
    suite.clearAllData();
    plat::Virtual::advanceBy(2);
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSTestSuite), 0);

    suite.setInteger(1, "/a");
    suite.setObject(plat::Value(plat::Array{plat::Value("x")}), "/b");
    suite.clearAllData();
    EXPECT_EQ(suite.objectForKey("/a"), std::nullopt);
    EXPECT_EQ(suite.objectForKey("/b"), std::nullopt);
    plat::Virtual::advanceBy(1);
    auto contents = suiteFileContents();
    ASSERT_TRUE(contents);
    EXPECT_TRUE(contents->empty());
}
