// The controller: the enabled decision, the wipe after an app-ID change, a start that fails and is retried,
// the reset, and its user properties.

#include "core/DAVConfiguration.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/foundation/FileManager.hpp"

#include <gtest/gtest.h>

#include <sqlite3.h>

namespace {

using dms::test::EngineFixture;

class DMSMeasurementControllerTest : public EngineFixture {
protected:
    std::unique_ptr<DMSMeasurement> controller(bool enabledOption, bool deactivated) {
        auto scheduler = std::make_shared<DMSScheduler>(DMSMeasurement::kWorkerQueueLabel);
        auto alarm = DMSAlarm::initWithDispatchQueue(scheduler->workerQueue(), "Measurement timer");
        return DMSMeasurement::initWithDatabaseName(DMSDatabase::kDatabaseName, DMSPersistedConfig::sharedInstance(),
                                                    nullptr, scheduler, alarm, dms::test::kEngineAppID,
                                                    enabledOption, deactivated, std::nullopt);
    }
    // The properties the controller answers, once it has answered.
    plat::Dictionary userProperties(DMSMeasurement& measurement, bool includeInternal) {
        std::optional<plat::Dictionary> answer;
        measurement.userPropertiesIncludingInternal(includeInternal, [&](plat::Dictionary d) { answer = d; });
        settle();
        EXPECT_TRUE(answer);
        return answer.value_or(plat::Dictionary{});
    }
    void setProperty(DMSMeasurement& measurement, const std::string& origin, const std::string& name) {
        measurement.setUserAttribute(
            DMSUserAttribute::initWithOrigin(origin, name, DMSValue::initWithString("v"), 1000));
    }
};

struct EnabledCase {
    int64_t persistedState; // 0: none stored
    bool option;
    bool deactivated;
    bool expected;
};

TEST_F(DMSMeasurementControllerTest, TheStoredSwitchWinsOverTheOptionAndDeactivationOverBoth) {
    makeBundle();
    const std::vector<EnabledCase> cases = {
        {0, true, false, true},  {0, false, false, false}, {1, false, false, true},
        {2, true, false, false}, {1, true, true, false},
    };
    for (const auto& c : cases) {
        if (c.persistedState != 0) {
            DAVAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(c.persistedState == 1, true);
        }
        auto measurement = controller(c.option, c.deactivated);
        ASSERT_TRUE(measurement);
        EXPECT_EQ(measurement->shouldEnableMeasurement(), c.expected)
            << c.persistedState << " " << c.option << " " << c.deactivated;
        EXPECT_EQ(measurement->wasEnabledDuringInitialization(), c.expected);
        settle();
        // Enabling a deactivated controller is ignored.
        measurement->setEnabled(true);
        settle();
        EXPECT_EQ(measurement->isEnabled(), !c.deactivated);
    }
}

struct WipeCase {
    const char* appID;
    const char* rmp;
    const char* adNet;
    const char* persistedRMP;
    const char* persistedAdNet;
    bool wipe;
};

std::optional<std::string> controllerTestText(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

TEST(DMSMeasurementWipeDecision, AnAppIDChangeWipesTheStoredData) {
    const std::vector<WipeCase> cases = {
        {"a", "A", nullptr, "A", nullptr, false},   // same RMP ID
        {"a", "B", nullptr, "A", nullptr, true},    // RMP ID changed
        {"a", "B", "X", "A", "X", true},            // decided by the RMP IDs alone
        {"a", "A", "Y", "A", "X", false},           // ... even when the AdNet IDs differ
        {"a", "A", nullptr, nullptr, "X", true},    // AdNet-only install now has an RMP ID
        {"a", "A", "X", nullptr, "X", false},       // ... with the same AdNet ID
        {"a", "A", "Y", nullptr, "X", true},        // ... with another AdNet ID
        {"a", nullptr, "X", "A", nullptr, true},    // RMP install now AdNet only
        {"X", nullptr, "X", nullptr, "X", false},   // AdNet app ID unchanged
        {"Y", nullptr, nullptr, nullptr, "X", true}, // AdNet app ID changed
        {"a", nullptr, nullptr, nullptr, nullptr, false},
        {"a", "", "", "", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DMSMeasurement::shouldWipeDataWithAppID(controllerTestText(c.appID), controllerTestText(c.rmp),
                                                          controllerTestText(c.adNet),
                                                          controllerTestText(c.persistedRMP),
                                                          controllerTestText(c.persistedAdNet)),
                  c.wipe)
            << c.appID << " " << (c.rmp ? c.rmp : "-") << " " << (c.adNet ? c.adNet : "-") << " "
            << (c.persistedRMP ? c.persistedRMP : "-") << " " << (c.persistedAdNet ? c.persistedAdNet : "-");
    }
}

TEST_F(DMSMeasurementControllerTest, AnotherStoredAppIDDeletesTheOldFileAndKeepsThePreviousID) {
    makeBundle();
    DMSPersistedConfig::sharedInstance()->setAppIDFromRMP(std::string("1:1111:ios:old"));
    const std::string path = DMSMeasurementFilePath(DMSDatabase::kDatabaseName);
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(path.substr(0, path.rfind('/')), true).ok());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE left_behind (x INTEGER)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    auto measurement = controller(true, false);
    settle();
    ASSERT_TRUE(measurement->isEnabled());
    auto wiped = firstCall(23171);
    ASSERT_TRUE(wiped);
    EXPECT_EQ(wiped->level, 3);
    EXPECT_EQ(measurement->previousRMPAppID(), "1:1111:ios:old");
    EXPECT_EQ(DMSPersistedConfig::sharedInstance()->appIDFromRMP(), dms::test::kEngineAppID);
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_NE(sqlite3_exec(db, "SELECT x FROM left_behind", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// A database that cannot be opened twice in a row switches collection off; the next enable starts again.
TEST_F(DMSMeasurementControllerTest, AFailedStartSwitchesCollectionOffAndIsRetriedAtTheNextEnable) {
    makeBundle();
    const std::string path = DMSMeasurementFilePath(DMSDatabase::kDatabaseName);
    const std::string razoza = path.substr(0, path.rfind("/Measurement"));
    // A file where the folder must go: nothing below it can be made.
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(razoza.substr(0, razoza.rfind('/')), true).ok());
    const plat::Data blocker{uint8_t{1}};
    ASSERT_TRUE(plat::writeData(razoza, blocker).ok());
    auto measurement = controller(true, false);
    settle();
    EXPECT_FALSE(measurement->isEnabled());
    EXPECT_EQ(countOf(23011), 1u);
    EXPECT_FALSE(measurement->database());

    ASSERT_TRUE(plat::FileManager::defaultManager().removeItem(razoza).ok());
    measurement->setEnabled(true);
    settle();
    EXPECT_TRUE(measurement->isEnabled());
    EXPECT_TRUE(measurement->database());
    EXPECT_EQ(countOf(23016), 1u);
}

TEST_F(DMSMeasurementControllerTest, AResetGivesANewInstanceIDAndWaitsForCollectionForTheFirstOpen) {
    makeBundle();
    auto measurement = controller(false, false);
    settle();
    const auto before = DMSIdentity::sharedInstance()->appInstanceID();
    ASSERT_TRUE(before);
    measurement->resetAnalyticsData();
    EXPECT_EQ(countOf(23168), 1u);
    EXPECT_NE(DMSIdentity::sharedInstance()->appInstanceID(), before);
    EXPECT_TRUE(measurement->needFirstOpenAfterReset());
}

TEST_F(DMSMeasurementControllerTest, PublicPropertiesAndEachOriginsAreLimitedToTwentyFive) {
    makeBundle();
    auto measurement = controller(true, false);
    settle();
    dms::test::InternalEventRecorder recorder;
    // The first open set "_fi" and "_fot", two of the "auto" origin's.
    for (int i = 0; i < 25; ++i) {
        setProperty(*measurement, "app", "p" + std::to_string(i));
        if (i < 23) {
            setProperty(*measurement, "auto", "_a" + std::to_string(i));
        }
    }
    settle();
    EXPECT_EQ(countOf(23084), 0u);
    setProperty(*measurement, "app", "p25");
    setProperty(*measurement, "auto", "_a23");
    settle();
    EXPECT_EQ(countOf(23084), 2u);
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0].parameters.find("_err")->integerValue(), 9);
    // A stored name can always be set again, and another origin has a limit of its own.
    setProperty(*measurement, "app", "p3");
    setProperty(*measurement, "vcm", "_v0");
    settle();
    EXPECT_EQ(countOf(23084), 2u);
    EXPECT_EQ(userProperties(*measurement, false).size(), 25u);
    EXPECT_EQ(userProperties(*measurement, true).size(), 51u);

    int64_t max = 0;
    measurement->maxUserPropertiesForOrigin("fdl", [&](int64_t value) { max = value; });
    settle();
    EXPECT_EQ(max, 25);
    measurement->maxUserPropertiesForOrigin("", [&](int64_t) {});
    EXPECT_EQ(countOf(23093), 1u);
}

TEST_F(DMSMeasurementControllerTest, RemovingAPropertyOnlyTakesThatName) {
    makeBundle();
    auto measurement = controller(true, false);
    settle();
    setProperty(*measurement, "app", "keep");
    setProperty(*measurement, "app", "drop");
    measurement->removeUserAttribute(DMSUserAttribute::initWithOrigin("", "drop", DMSValue::initWithDouble(0), 0));
    measurement->removeUserAttribute(DMSUserAttribute::initWithOrigin("", "never", DMSValue::initWithDouble(0), 0));
    settle();
    EXPECT_EQ(userProperties(*measurement, false), (plat::Dictionary{{"keep", plat::Value("v")}}));
    EXPECT_EQ(countOf(23078), 2u);
}

// The settings keep their configuration in the database: one stored by an earlier run is in force from the start,
// and one applied now is written to the file.
TEST_F(DMSMeasurementControllerTest, TheSettingsReadAndStoreTheirConfigurationInTheDatabase) {
    makeBundle();
    DMSMeasurementConfigFields stored;
    stored.appID = dms::test::kEngineAppID;
    stored.settings = std::vector<DMSConfigSetting>{{"measurement.upload.max_public_events_per_day", "2"}};
    {
        auto earlier = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, DMSPersistedConfig::sharedInstance());
        ASSERT_TRUE(earlier);
        ASSERT_TRUE(earlier->updateRemoteConfig(stored, nullptr));
    }
    startEngine();
    for (const char* name : {"p1", "p2", "p3"}) {
        DMSAnalytics::logEventWithName(name, {});
    }
    settle();
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e", "p1", "p2", "_err"}));

    DMSMeasurement* measurement = DMSMeasurement::sharedInstance();
    DMSMeasurementConfigFields next = stored;
    next.settings = std::vector<DMSConfigSetting>{{"measurement.upload.max_public_events_per_day", "7"}};
    bool applied = false;
    measurement->scheduler().dispatchSyncOnWorkerQueueBlockID(
        "DMSMeasurementControllerTest:1", [&] { applied = DMSMeasurement::remoteConfig().updateMeasurementConfig(next); });
    ASSERT_TRUE(applied);
    EXPECT_EQ(DMSMeasurement::remoteConfig().maxPublicEventsPerDay(), 7);
    auto inFile = measurement->database()->queryMeasurementConfig(nullptr);
    ASSERT_TRUE(inFile && inFile->settings);
    ASSERT_EQ(inFile->settings->size(), 1u);
    EXPECT_EQ((*inFile->settings)[0].value, "7");
}

} // namespace
