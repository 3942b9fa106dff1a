// The user-defaults store: refusals of bad keys and values, typed reads, and when writes reach disk.

#include "core/DVUUserDefaults.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    // Lines written so far; without the core the version at their head is empty.
    std::vector<std::string> logged() {
        plat::Virtual::runUntilIdle();
        auto texts = capture.texts();
        plat::sim::SystemLog::clearCaptured();
        return texts;
    }
    static int syncs(const char* suite) { return plat::sim::Preferences::synchronizeCount(suite); }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture capture;
};

TEST_F(UserDefaultsTest, BadKeysAndValuesAreRefusedWithTheirLineAndStoreNothing) {
    DVUUserDefaults defaults("dvu.defaults.refusals");
    defaults.setObject(plat::Value("v"), "");
    EXPECT_EQ(logged(), std::vector<std::string>{" - [RazozaUtilities/UserDefaults][I-DVU000002] Cannot set "
                                                 "object for invalid user default key."});
    EXPECT_FALSE(defaults.objectForKey(""));
    EXPECT_EQ(logged(), std::vector<std::string>{
                            " - <RazozaUtilities>[I-DVU000001] Cannot get object for invalid user default key."});

    // A null object is no property-list value: it is refused, not taken as a removal.
    defaults.setObject(plat::Value("kept"), "k");
    defaults.setObject(plat::Value(), "k");
    auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(" - [RazozaUtilities/UserDefaults][I-DVU000003] Cannot set invalid object to "
                             "user defaults. Must be a string, number, array, dictionary, date, or data. Value: ",
                             0),
              0u);
    EXPECT_EQ(defaults.objectForKey("k")->asString(), "kept");
    EXPECT_EQ(plat::PreferenceStore::domain("dvu.defaults.refusals")->keys(), std::vector<std::string>{"k"});

    defaults.removeObjectForKey("k");
    EXPECT_FALSE(defaults.objectForKey("k"));
}

TEST_F(UserDefaultsTest, TypedReadsAndWritesAndSharedSuites) {
    DVUUserDefaults a("dvu.defaults.shared");
    DVUUserDefaults b("dvu.defaults.shared");
    a.setBool(true, "flag");
    a.setInteger(42, "count");
    a.setDouble(2.5, "ratio");
    a.setFloat(1.5f, "f");
    EXPECT_TRUE(b.boolForKey("flag"));
    EXPECT_EQ(b.integerForKey("count"), 42);
    EXPECT_DOUBLE_EQ(b.doubleForKey("ratio"), 2.5);
    EXPECT_FLOAT_EQ(b.floatForKey("f"), 1.5f);
    EXPECT_EQ(b.integerForKey("missing"), 0);
    EXPECT_FALSE(b.boolForKey("missing"));
    EXPECT_EQ(b.doubleForKey("missing"), 0.0);
    // The string getter hands back what is stored, whatever its kind.
    EXPECT_EQ(b.stringForKey("count")->integerValue(), 42);

    DVUUserDefaults standard;
    EXPECT_EQ(standard.appNameRef(), "kCFPreferencesCurrentApplication");
    EXPECT_EQ(DVUUserDefaults("").appNameRef(), "kCFPreferencesCurrentApplication");
}

TEST_F(UserDefaultsTest, ABurstOfWritesSynchronizesOnceASecondAfterTheLastFromAnyThread) {
    for (bool fromWorker : {false, true}) {
        const char* suite = fromWorker ? "dvu.defaults.worker" : "dvu.defaults.main";
        DVUUserDefaults defaults(suite);
        for (int i = 0; i < 10; ++i) {
            if (fromWorker) {
                std::thread([&] { defaults.setInteger(i, "n" + std::to_string(i)); }).join();
            } else {
                defaults.setInteger(i, "n" + std::to_string(i));
            }
            plat::Virtual::advanceBy(0.09);
        }
        EXPECT_EQ(syncs(suite), 0) << suite;
        // The last write was 0.09 s ago.
        plat::Virtual::advanceBy(0.9);
        EXPECT_EQ(syncs(suite), 0) << suite;
        plat::Virtual::advanceBy(0.02);
        EXPECT_EQ(syncs(suite), 1) << suite;
        plat::Virtual::advanceBy(5);
        EXPECT_EQ(syncs(suite), 1) << suite;
    }
}

TEST_F(UserDefaultsTest, ClearAllDataRemovesEveryKeyAndSchedulesOnlyWhenThereWasOne) {
    DVUUserDefaults defaults("dvu.defaults.clear");
    defaults.clearAllData();
    plat::Virtual::advanceBy(2);
    EXPECT_EQ(syncs("dvu.defaults.clear"), 0);

    defaults.setObject(plat::Value("x"), "a");
    defaults.setObject(plat::Value::emptyArray(), "b");
    plat::Virtual::advanceBy(2);
    ASSERT_EQ(syncs("dvu.defaults.clear"), 1);
    defaults.clearAllData();
    EXPECT_FALSE(defaults.objectForKey("a"));
    EXPECT_FALSE(defaults.objectForKey("b"));
    plat::Virtual::advanceBy(2);
    EXPECT_EQ(syncs("dvu.defaults.clear"), 2);
}

TEST_F(UserDefaultsTest, AStoreGoneBeforeItsDelayStillWritesItsChanges) {
    {
        DVUUserDefaults defaults("dvu.defaults.released");
        defaults.setObject(plat::Value("v"), "k");
    }
    EXPECT_EQ(syncs("dvu.defaults.released"), 1);
    plat::Virtual::advanceBy(2);
    EXPECT_EQ(syncs("dvu.defaults.released"), 1);
}

} // namespace
