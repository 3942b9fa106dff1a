// The utility and core loggers: filtering by level before formatting, the line format, the launch switches
// of the core logger, and what a distribution build refuses. Lines are read from the captured system log.

#include "core/DAVLogger.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

class LoggerTest : public ::testing::Test {
protected:
    // The lines written since the last call, once the logging queue has run.
    Lines written() {
        plat::Virtual::runUntilIdle();
        auto texts = capture.texts();
        plat::sim::SystemLog::clearCaptured();
        return texts;
    }

    // For each line written so far: whether it was copied to standard error.
    std::vector<bool> copiedToStandardError() {
        plat::Virtual::runUntilIdle();
        std::vector<bool> copied;
        for (const auto& r : capture.records()) {
            copied.push_back(r.copiedToStandardError);
        }
        return copied;
    }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture capture;
};

TEST_F(LoggerTest, InvalidLevelsAreReportedOnceAndLeaveTheLevelAlone) {
    for (long level : {8L, 2L}) {
        DAVLoggerChangeLevel(level);
        EXPECT_EQ(written(), Lines{"5.12.0 - [DVULogger][I-COR000023] Invalid logger level, " +
                                   std::to_string(level)});
        EXPECT_TRUE(DVULoggerIsLoggable(DVULoggerLevelNotice));
        EXPECT_FALSE(DVULoggerIsLoggable(DVULoggerLevelInfo));
    }
}

TEST_F(LoggerTest, LevelFiltersUntilDebugModeLetsEverythingThrough) {
    DAVLoggerSetUpOnce();
    DVULoggerWriteInfo("[Test]", false, "I-TST000001", "dropped at %s", "Notice");
    DVULoggerWriteNotice("[Test]", false, "I-TST000002", "kept");
    EXPECT_EQ(written(), Lines{"5.12.0 - [Test][I-TST000002] kept"});

    DVULoggerChangeLevel(DVULoggerLevelError);
    DAVLoggerWriteWarning("[Test]", "I-TST000003", "dropped");
    DAVLoggerWriteError("[Test]", "I-TST000004", "error %ld", 42L);
    EXPECT_EQ(written(), Lines{"5.12.0 - [Test][I-TST000004] error 42"});

    DVULoggerEnableDebugMode();
    DVULoggerWriteInfo("[Test]", false, "I-TST000005", "info");
    DAVLoggerWriteDebug("[Test]", "I-TST000006", "debug");
    EXPECT_EQ(written(), (Lines{"5.12.0 - [Test][I-TST000005] info", "5.12.0 - [Test][I-TST000006] debug"}));
}

TEST_F(LoggerTest, AFilteredCallNeverFormats) {
    DAVLoggerSetUpOnce();
    // A mismatched argument would throw from the formatter; a filtered call must not get that far.
    EXPECT_NO_THROW(DVULoggerWriteDebug("[Test]", false, "I-TST000001", "%ld", "not a number"));
    EXPECT_TRUE(written().empty());
}

TEST_F(LoggerTest, MessageTextIsNeverTakenAsAFormat) {
    DAVLoggerWriteError("[Test]", "I-TST000001", "%@", std::string("100%s %n %@"));
    DAVLoggerWriteError("[Test]", "I-TST000002", "%@ and 50%%", plat::Value("%d"));
    EXPECT_EQ(written(), (Lines{"5.12.0 - [Test][I-TST000001] 100%s %n %@",
                                "5.12.0 - [Test][I-TST000002] %d and 50%"}));
}

TEST_F(LoggerTest, UtilityLinesWithoutTheCoreCarryAnEmptyVersion) {
    DVULoggerWriteError("[DVUNetwork]", false, "I-NET000001", "plain");
    EXPECT_EQ(written(), Lines{" - [DVUNetwork][I-NET000001] plain"});
}

TEST_F(LoggerTest, ADistributionBuildKeepsToWarningAndRefusesDebugMode) {
    dvu::sim::setDistributionBuild(true);
    plat::sim::Process::setArguments({"app", "-DAVDebugEnabled"});
    DAVLoggerChangeLevel(DVULoggerLevelDebug);
    EXPECT_FALSE(DVULoggerIsLoggable(DVULoggerLevelInfo));
    EXPECT_FALSE(DVULoggerIsLoggable(DVULoggerLevelDebug));
    // The switch is still remembered for a build that honours it.
    EXPECT_TRUE(plat::UserDefaults::standardUserDefaults().boolean("/razoza/vedudodu/debug_mode"));

    DVULoggerChangeLevel(DVULoggerLevelWarning);
    DAVLoggerWriteWarning("[Test]", "I-TST000001", "warning");
    DVULoggerWriteNotice("[Test]", false, "I-TST000002", "notice");
    EXPECT_EQ(written(), Lines{"5.12.0 - [Test][I-TST000001] warning"});
}

TEST_F(LoggerTest, ForceStandardErrorCopiesEveryLineToStandardError) {
    plat::sim::Process::setArguments({"app", "-DAVLoggerForceSTDERR"});
    plat::sim::Process::setOperatingSystemVersion({12, 4, 0});
    DAVLoggerWriteError("[Test]", "I-TST000001", "first");
    DAVLoggerWriteError("[Test]", "I-TST000002", "second");
    // The copy is switched on during the set-up, ahead of the first line.
    EXPECT_EQ(copiedToStandardError(), (std::vector<bool>{true, true}));
    EXPECT_EQ(capture.records()[0].facility, "com.razoza.utilities.logger");
    EXPECT_EQ(capture.records()[0].level, 3);
}

// The system version is read once per process, so each of these is a test of its own.
TEST_F(LoggerTest, BelowSystemVersionTenEveryLineReachesStandardError) {
    plat::sim::Process::setOperatingSystemVersion({9, 3, 0});
    DAVLoggerWriteError("[Test]", "I-TST000001", "old device");
    EXPECT_EQ(copiedToStandardError(), std::vector<bool>{true});
}

TEST_F(LoggerTest, ThePlainLaunchHasNoStandardErrorCopy) {
    plat::sim::Process::setOperatingSystemVersion({10, 0, 0});
    DAVLoggerWriteError("[Test]", "I-TST000001", "quiet");
    EXPECT_EQ(copiedToStandardError(), std::vector<bool>{false});
}

// Debug mode switched on by a launch argument survives launches without it, until a launch turns it off.
TEST(LoggerLaunchTest, DebugModePersistsAcrossLaunchesUntilDisabled) {
    plat::test::TempAppHome home;
    auto launch = [&](const std::string& arguments) {
        std::string command = std::string(PORTAL_CORE_LAUNCH_HELPER) + " '" + home.home() + "' " + arguments;
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        std::string out;
        char buffer[256];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) {
            out += buffer;
        }
        EXPECT_EQ(::pclose(pipe.release()), 0) << command;
        return out;
    };
    EXPECT_EQ(launch(""), "debug=0 stored=0\n");
    EXPECT_EQ(launch("-DAVDebugEnabled"), "debug=1 stored=1\n");
    EXPECT_EQ(launch(""), "debug=1 stored=1\n");
    EXPECT_EQ(launch("-DAVDebugEnabled -DAVDebugDisabled"), "debug=0 stored=0\n");
    EXPECT_EQ(launch(""), "debug=0 stored=0\n");
}

} // namespace
