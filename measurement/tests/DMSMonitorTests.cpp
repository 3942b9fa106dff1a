// The monitor: level table, console lines through the utility logger, context encoding and rendering, the
// one-entry sample and its dispatch string, migration of stored data, and debug mode from launch arguments.

#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "core/DVULogger.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

constexpr const char* kDMSMonitorTestSuite = "com.razoza.rmp.measurement.monitor";
constexpr const char* kDMSHealthKey = "/razoza/measurement/health_monitor";

class DMSMonitorTest : public ::testing::Test {
protected:
    // The measurement lines written to the system log since the last call, without the version prefix.
    std::vector<std::string> consoleLines() {
        plat::Virtual::runUntilIdle();
        std::vector<std::string> lines;
        for (const auto& text : capture.texts()) {
            auto at = text.find(" - ");
            if (text.find("[I-ACS") != std::string::npos && at != std::string::npos) {
                lines.push_back(text.substr(at + 3));
            }
        }
        plat::sim::SystemLog::clearCaptured();
        return lines;
    }

    static plat::Array validEntry(const std::string& key, int64_t population) {
        return DMSMonitoringSampledData::sampledDataEntryWithKey(key, plat::Date(1000), "-", population);
    }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture capture;
};

DMSExceptionInfo dmsExceptionWithLines(std::vector<std::string> lines) {
    return DMSExceptionInfo{"NSInvalidArgumentException", "bad argument", std::move(lines)};
}

} // namespace

TEST(DMSMonitorLevels, LevelTable) {
    struct LevelRow {
        int64_t level;
        const char* description;
        long loggerLevel;
        bool silent;
        bool monitorable;
    };
    const LevelRow rows[] = {
        {0, "ERROR", 3, false, false},   {1, "ERROR", 3, false, true},   {2, "ERROR", 3, true, true},
        {3, "WARNING", 4, false, false}, {4, "WARNING", 4, false, true}, {5, "WARNING", 4, true, true},
        {6, "NOTICE", 5, false, false},  {7, "DEBUG", 7, false, false},  {8, "", 4, true, true},
        {42, "", 4, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.level);
        EXPECT_EQ(DMSMonitor::logLevelDescriptionFromLogLevel(row.level), row.description);
        EXPECT_EQ(DMSASLLogger::DVULoggerLevelFromLogLevel(row.level), row.loggerLevel);
        EXPECT_EQ(DMSMonitor::isSilentLevel(row.level), row.silent);
        EXPECT_EQ(DMSMonitor::isMonitorableLevel(row.level), row.monitorable);
    }
}

TEST(DMSMonitorContexts, EncodingKeepsOnlyMagnitudes) {
    struct EncodingRow {
        const char* label;
        DMSLogContext context;
        std::string expected;
    };
    const EncodingRow rows[] = {
        {"small number", plat::Value(42), "42"},
        {"-99", plat::Value(-99), "-99"},
        {"100", plat::Value(100), "100...999"},
        {"12345", plat::Value(12345), "10000...99999"},
        {"-250", plat::Value(-250), "-999...-100"},
        {"just below 10^18, where a floating logarithm rounds up", plat::Value(999999999999999999LL),
         "100000000000000000...999999999999999999"},
        {"10^18", plat::Value(1000000000000000000LL), "1000000000000000000...9223372036854775807"},
        {"most negative", plat::Value(std::numeric_limits<int64_t>::min()),
         "-9223372036854775808...-1000000000000000000"},
        {"largest unsigned", plat::Value(std::numeric_limits<uint64_t>::max()),
         "9223372036854775807...9223372036854775807"},
        {"a double by its integer value", plat::Value(1234.9), "1000...9999"},
        {"a string", plat::Value("jane.doe@example.test"), "-"},
        {"the null object", plat::Value(), ""},
        {"a date", plat::Value(plat::Date(5)), "?"},
        {"an error", plat::Error("NSCocoaErrorDomain", 4), "NSCocoaErrorDomain"},
        {"an error without domain", plat::Error("", 4), "-"},
        {"an exception without measurement symbol", dmsExceptionWithLines({}), "-"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(DMSMonitor::encodedStringWithContextObject(row.context), row.expected);
    }
    DMSLogContexts contexts{plat::Value("x"), plat::Value(42), plat::Value(12345)};
    EXPECT_EQ(DMSMonitor::encodedStringWithContextArray(contexts, false), "-,42,10000...99999");
    EXPECT_EQ(DMSMonitor::encodedStringWithContextArray(contexts, true), "-, 42, 10000...99999");
    EXPECT_EQ(DMSMonitor::encodedStringWithContextArray({}, true), "");
}

TEST(DMSMonitorContexts, InnermostMeasurementSymbolOfAnException) {
    // Call-stack lines of the device's shape: index, image, address, symbol, "+", offset.
    std::vector<std::string> lines = {
        "0   CoreFoundation  0x0000000184b2a5f0 -[DMSNotThisOne frame:] + 228",
        "1   libobjc.A.dylib 0x0000000183d38bcc objc_exception_throw + 56",
        "2   Portal          0x0000000100f1c2a4 helper_function + 12",
        "3   Portal          0x0000000100f1c2a4 -[DMSMeasurement startWithOptions:] + 120",
        "4   Portal          0x0000000100f1c3b0 DMSLogErrorEvent + 40",
    };
    EXPECT_EQ(DMSMonitor::lastAPMSymbolFromException(dmsExceptionWithLines(lines)),
              "-[DMSMeasurement startWithOptions:]");
    lines.erase(lines.begin() + 3);
    EXPECT_EQ(DMSMonitor::lastAPMSymbolFromException(dmsExceptionWithLines(lines)), "DMSLogErrorEvent");
    // A case-insensitive match.
    EXPECT_EQ(DMSMonitor::lastAPMSymbolFromException(dmsExceptionWithLines(
                  {"0 a 0x1 f + 1", "1 a 0x1 g + 1", "2 Portal 0x1 dmsHelper + 4"})),
              "dmsHelper");
    // Two lines or fewer, or no qualifying line (the platform's own Linux-shaped lines): the name.
    EXPECT_EQ(DMSMonitor::lastAPMSymbolFromException(dmsExceptionWithLines({lines[0], lines[1]})),
              "NSInvalidArgumentException");
    EXPECT_EQ(DMSMonitor::lastAPMSymbolFromException(
                  dmsExceptionWithLines({"./prog(+0x1234) [0x55]", "./prog(DMSThing+0x10) [0x56]",
                                         "/lib/libc.so.6(+0x29d90) [0x7f]"})),
              "NSInvalidArgumentException");

    DMSLogContexts withException{dmsExceptionWithLines({"0 a 0x1 f + 1", "1 a 0x1 g + 1",
                                                        "2 Portal 0x1 DMSLogErrorEvent + 4"})};
    EXPECT_EQ(DMSMonitor::stringWithLogMessage("Exception", 1, withException, false),
              "Exception: DMSLogErrorEvent: NSInvalidArgumentException: bad argument");
    EXPECT_EQ(DMSMonitor::encodedStringWithContextArray(withException, true), "DMSLogErrorEvent");
}

TEST(DMSMonitorContexts, ConsoleTextRendersOrEncodesContexts) {
    DMSLogContexts contexts{plat::Value("name"), plat::Value(), plat::Value(12345)};
    EXPECT_EQ(DMSMonitor::stringWithLogMessage("Message", 4, contexts, false), "Message: name, (nil), 12345");
    EXPECT_EQ(DMSMonitor::stringWithLogMessage("Message", 4, contexts, true), "Message: -, , 10000...99999");
    EXPECT_EQ(DMSMonitor::stringWithLogMessage(std::nullopt, 4, {}, false), "(Message was nil)");
    EXPECT_EQ(DMSMonitor::stringWithLogMessage("", 4, {}, false), "(Message was empty)");
    EXPECT_EQ(DMSMonitor::monitoringDataKeyWithMessage("Failed", 1, 50300), "1E_50300:Failed");
    EXPECT_EQ(DMSMonitor::monitoringDataKeyWithMessage("Slow", 5, 50300), "1W_50300:Slow");
    EXPECT_EQ(DMSMonitor::monitoringDataKeyWithMessage("Odd", 9, 50300), "1?_50300:Odd");
}

TEST_F(DMSMonitorTest, ConsoleLinesGoThroughTheUtilityLogger) {
    DMSMonitor monitor(50300);
    monitor.logWithLevel(1, 42, "Failed %d at 100%", 5);
    monitor.logWithLevel(4, 1234, std::nullopt);
    monitor.logWithLevel(3, 7, "");
    monitor.logWithLevel(6, 8, "Notice %@ kept");
    monitor.logWithLevel(7, 9, "Debug dropped while debug mode is off");
    monitor.logWithLevel(2, 10, "Silent");
    monitor.setLogTag("[Vedudodu/Analytics]");
    monitor.logWithLevel(0, 999999, "Tagged");
    EXPECT_EQ(consoleLines(), (std::vector<std::string>{
                                  "<VivEduzavedovo>[I-ACS000042] Failed %d at 100%: 5",
                                  "<VivEduzavedovo>[I-ACS001234] (Message was nil)",
                                  "<VivEduzavedovo>[I-ACS000007] (Message was empty)",
                                  "<VivEduzavedovo>[I-ACS000008] Notice %@ kept",
                                  "[Vedudodu/Analytics][I-ACS999999] Tagged",
                              }));
}

TEST_F(DMSMonitorTest, SilentLevelsAreSampledAndErrorLevelZeroIsOnlyPrinted) {
    DMSMonitor monitor(50300);
    monitor.logWithLevel(2, 1, "Sampled only");
    EXPECT_TRUE(consoleLines().empty());
    auto entry = monitor.sampledData();
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)[2].asString(), "1E_50300:Sampled only");

    monitor.clearMonitoringData();
    monitor.logWithLevel(0, 2, "Printed only");
    EXPECT_EQ(consoleLines().size(), 1u);
    EXPECT_EQ(monitor.sampledData(), std::nullopt);
}

TEST_F(DMSMonitorTest, TwoHundredMessagesLeaveOneSampleOfPopulationTwoHundred) {
    plat::Random::seed(2024);
    DMSMonitor monitor(50300);
    for (int i = 0; i < 200; ++i) {
        monitor.logWithLevel(5, 100 + i, "Message " + std::to_string(i), "private text", i);
    }
    auto entry = monitor.sampledData();
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)[1].integerValue(), 200);
    EXPECT_EQ((*entry)[2].asString().rfind("1W_50300:Message ", 0), 0u);
    EXPECT_EQ((*entry)[0].asString().rfind("-,", 0), 0u);
    // The reservoir replaced the first message at least once over 200 draws.
    EXPECT_NE((*entry)[2].asString(), "1W_50300:Message 0");

    // The sample is kept in the monitor's own suite, on disk.
    plat::UserDefaults stored{std::string(kDMSMonitorTestSuite)};
    auto onDisk = stored.array(kDMSHealthKey);
    ASSERT_TRUE(onDisk);
    EXPECT_EQ((*onDisk)[1].integerValue(), 200);
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(home.home() + "/Library/Preferences/" +
                                                               kDMSMonitorTestSuite + ".plist"));
}

TEST_F(DMSMonitorTest, DispatchStringsAfterTheSamplePeriod) {
    DMSMonitor monitor(50300);
    double start = plat::Clock::now();
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(100, 0), std::nullopt);
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(100, start - 50), std::nullopt);
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(100, start - 101), std::optional<std::string>("0:"));

    monitor.logWithLevel(1, 1, "Failed", "user name", 42, 12345);
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(100, start - 101), std::nullopt);
    plat::Virtual::advanceBy(101);
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(100, 0),
              std::optional<std::string>("1:1E_50300:Failed:-,42,10000...99999"));
    // The entry was dispatched and dropped, on disk too.
    EXPECT_EQ(monitor.sampledData(), std::nullopt);
    EXPECT_EQ(plat::UserDefaults(std::string(kDMSMonitorTestSuite)).object(kDMSHealthKey), std::nullopt);

    // No context: the short form; measurement errors add their monitor context.
    monitor.logWithLevel(4, 2, "Plain");
    plat::Virtual::advanceBy(101);
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(100, 0), std::optional<std::string>("1:1W_50300:Plain"));
    monitor.logWithLevel(1, 3, "Db", dms_errorWithCode(5, "closed", "12003"));
    plat::Virtual::advanceBy(101);
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(100, 0),
              std::optional<std::string>("1:1E_50300:Db:com.razoza.rmp.measurement.ErrorDomain,12003"));
}

TEST_F(DMSMonitorTest, StoredSamplesOfTheWrongShapeAreDiscarded) {
    struct StoredRow {
        const char* label;
        plat::Value stored;
        bool kept;
    };
    const StoredRow rows[] = {
        {"valid", plat::Value(validEntry("1E_50300:Old", 3)), true},
        {"three elements", plat::Value(plat::Array{plat::Value("-"), plat::Value(3), plat::Value("k")}), false},
        {"population not a number",
         plat::Value(plat::Array{plat::Value("-"), plat::Value("3"), plat::Value("k"), plat::Value(plat::Date(1))}),
         false},
        {"not an array", plat::Value("1:1E_50300:Old"), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        plat::UserDefaults suite{std::string(kDMSMonitorTestSuite)};
        suite.set("/razoza/measurement/monitor_migration_state", plat::Value(2));
        suite.set(kDMSHealthKey, row.stored);
        DMSMonitor monitor(50300);
        EXPECT_EQ(monitor.sampledData().has_value(), row.kept);
    }
}

TEST_F(DMSMonitorTest, MigrationMovesTheSampleOutOfTheStandardSuiteOnce) {
    auto& standard = plat::UserDefaults::standardUserDefaults();
    plat::UserDefaults suite{std::string(kDMSMonitorTestSuite)};

    // State 0: copied, then removed from the standard suite.
    standard.set(kDMSHealthKey, plat::Value(validEntry("1E_50300:FromStandard", 7)));
    {
        DMSMonitor monitor(50300);
        auto entry = monitor.sampledData();
        ASSERT_TRUE(entry);
        EXPECT_EQ((*entry)[2].asString(), "1E_50300:FromStandard");
    }
    EXPECT_EQ(standard.object(kDMSHealthKey), std::nullopt);
    EXPECT_EQ(suite.integer("/razoza/measurement/monitor_migration_state"), 2);

    // State 0 with a value already in the monitor suite: that one stays.
    suite.set("/razoza/measurement/monitor_migration_state", plat::Value(0));
    suite.set(kDMSHealthKey, plat::Value(validEntry("1E_50300:AlreadyThere", 1)));
    standard.set(kDMSHealthKey, plat::Value(validEntry("1E_50300:FromStandard", 7)));
    {
        DMSMonitor monitor(50300);
        EXPECT_EQ((*monitor.sampledData())[2].asString(), "1E_50300:AlreadyThere");
    }
    EXPECT_EQ(standard.object(kDMSHealthKey), std::nullopt);

    // State 1: only the removal is left to do.
    suite.set("/razoza/measurement/monitor_migration_state", plat::Value(1));
    suite.remove(kDMSHealthKey);
    standard.set(kDMSHealthKey, plat::Value(validEntry("1E_50300:FromStandard", 7)));
    {
        DMSMonitor monitor(50300);
        EXPECT_EQ(monitor.sampledData(), std::nullopt);
    }
    EXPECT_EQ(standard.object(kDMSHealthKey), std::nullopt);

    // State 2: the standard suite is no longer looked at.
    standard.set(kDMSHealthKey, plat::Value(validEntry("1E_50300:FromStandard", 7)));
    {
        DMSMonitor monitor(50300);
        EXPECT_EQ(monitor.sampledData(), std::nullopt);
    }
    EXPECT_TRUE(standard.object(kDMSHealthKey).has_value());
}

TEST_F(DMSMonitorTest, DebugModeFromLaunchArgumentsAndTheStoredSwitch) {
    struct DebugRow {
        std::vector<std::string> arguments;
        bool storedBefore;
        bool expectedOn;
        // 24000 on, 24001 off; none when nothing switched the mode.
        std::vector<int64_t> expectedCodes;
    };
    const DebugRow rows[] = {
        {{}, false, false, {}},
        {{"-DAVAnalyticsDebugEnabled"}, false, true, {24000}},
        {{"-DMSAnalyticsDebugEnabled"}, false, true, {24000}},
        {{"-DAVDebugEnabled"}, false, true, {24000}},
        {{}, true, true, {24000}},
        {{"-DAVAnalyticsDebugEnabled", "-noDAVAnalyticsDebugEnabled"}, true, false, {24001}},
        {{"-noAPMAnalyticsDebugEnabled"}, true, false, {24001}},
        {{"-DAVDebugDisabled", "-DAVDebugEnabled"}, false, false, {24001}},
    };
    auto& standard = plat::UserDefaults::standardUserDefaults();
    for (const auto& row : rows) {
        std::string label;
        for (const auto& argument : row.arguments) {
            label += argument + " ";
        }
        SCOPED_TRACE(label + (row.storedBefore ? "(stored on)" : "(nothing stored)"));
        std::vector<std::string> arguments{"portal-app"};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        plat::sim::Process::setArguments(arguments);
        if (row.storedBefore) {
            standard.setBool("/razoza/measurement/debug_mode", true);
        } else {
            standard.remove("/razoza/measurement/debug_mode");
        }
        DVULoggerChangeLevel(DVULoggerLevelNotice);

        dms::test::MonitorRecorder recorder;
        DMSMonitor monitor(50300);
        EXPECT_EQ(monitor.isDebugModeEnabled(), row.expectedOn);
        EXPECT_EQ(monitor.logLevel(), row.expectedOn ? 7 : 6);
        EXPECT_EQ(DVULoggerIsLoggable(DVULoggerLevelDebug), row.expectedOn);
        EXPECT_EQ(standard.boolean("/razoza/measurement/debug_mode"), row.expectedOn);
        EXPECT_EQ(recorder.codes(), row.expectedCodes);
    }
}

TEST_F(DMSMonitorTest, ObserverSeesFilteredCallsAndClearingForgetsEverything) {
    dms::test::MonitorRecorder recorder;
    DMSMonitor monitor(50300);
    monitor.logWithLevel(7, 1, "Filtered", 1, "two");
    ASSERT_EQ(recorder.calls().size(), 1u);
    EXPECT_EQ(recorder.calls()[0].contexts.size(), 2u);
    EXPECT_TRUE(consoleLines().empty());

    monitor.setDebugModeEnabled(true);
    monitor.logWithLevel(1, 2, "Sampled");
    EXPECT_TRUE(monitor.sampledData().has_value());
    monitor.clearMonitoringData();
    EXPECT_EQ(monitor.sampledData(), std::nullopt);
    EXPECT_EQ(DMSUserDefaults::standardUserDefaults().objectForKey("/razoza/measurement/debug_mode"), std::nullopt);
    EXPECT_EQ(plat::UserDefaults(std::string(kDMSMonitorTestSuite)).object(kDMSHealthKey), std::nullopt);
}
