// The parts of the crash handlers that run in a healthy process: names and masks, frames and demangling, and
// the exceptions the application reports (not crashes: no process record, only the custom-exception log).

#include "crash/capture/VZRException.hpp"
#include "crash/capture/VZRMachException.hpp"
#include "crash/capture/VZRSignal.hpp"
#include "crash/capture/VZRStackFrame.hpp"
#include "crash/capture/tests/CrashContextFixture.hpp"

#include <nlohmann/json.hpp>

#include <signal.h>

#include <optional>
#include <sstream>
#include <string>

namespace {

using crashtest::readFile;

TEST(CrashHandlerNames, SignalNamesFollowTheSymbolicSignal) {
    const struct {
        int signal;
        const char* name;
        const char* codeName;
    } cases[] = {
        {SIGILL, "SIGILL", nullptr}, {SIGTRAP, "SIGTRAP", nullptr}, {SIGABRT, "SIGABRT", "ABORT"},
        {SIGFPE, "SIGFPE", nullptr}, {SIGBUS, "SIGBUS", nullptr},   {SIGSEGV, "SIGSEGV", nullptr},
        {SIGSYS, "SIGSYS", nullptr}, {SIGKILL, "UNKNOWN", nullptr}, {SIGUSR1, "UNKNOWN", nullptr},
        {12, "UNKNOWN", nullptr}, // the device's number for SIGSYS is SIGUSR2 here
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        EXPECT_STREQ(VZRSignalNameForSignal(c.signal), c.name);
        EXPECT_EQ(VZRSignalCodeNameForSignal(c.signal) == nullptr, c.codeName == nullptr);
        if (c.codeName) {
            EXPECT_STREQ(VZRSignalCodeNameForSignal(c.signal), c.codeName);
        }
    }
}

TEST(CrashHandlerNames, TheExceptionMaskDependsOnTheMajorVersionAndLeavesOutTheControllersBits) {
    const struct {
        int64_t major;
        uint32_t leaveOut;
        uint32_t mask;
    } cases[] = {
        {3, 0, 0x4E},  {4, 0, 0x4E},    {5, 0, 0x4E},      {6, 0, 0x104E},        {14, 0, 0x104E},
        {15, 0, 0x4E}, {12, 0x2, 0x104C}, {12, 0x1040, 0x0E}, {12, 0x10002, 0x104C}, // only the low 16 bits count
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.major);
        EXPECT_EQ(VZRMachExceptionMaskForMajorVersion(c.major, c.leaveOut), c.mask);
    }
}

TEST(CrashStackFrame, DemanglingTakesCppAndBlockInvokeNamesOnly) {
    const struct {
        const char* symbol;
        std::optional<std::string> demangled;
    } cases[] = {
        {"_Z3foov", "foo()"},
        {"_ZN2ns3BarC2Ei", "ns::Bar::Bar(int)"},
        {"__Z3foov_block_invoke", "foo()_block_invoke"},
        {"__Z3foov_block_invoke_2", "foo()_block_invoke_2"},
        {"__Z_block_invoke", std::nullopt}, // the marker below position 5
        {"__Zjunk_block_invoke", std::nullopt},
        {"__Z3foov", std::nullopt}, // no marker
        {"main", std::nullopt},
        {"_Znotmangled", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.symbol ? c.symbol : "(null)");
        EXPECT_EQ(VZRDemangleOperation::demangleSymbol(c.symbol), c.demangled);
    }
    EXPECT_EQ(VZRDemangleOperation::demangleCppSymbol("5MyErr"), "MyErr");
    EXPECT_EQ(VZRDemangleOperation::demangleCppSymbol("i"), "int");
}

TEST(CrashStackFrame, DescriptionShowsTheFileOnlyWhenThereIsOne) {
    VZRStackFrame frame = VZRStackFrame::stackFrameWithSymbol("foo()");
    frame.address = 0x1f;
    frame.lineNumber = 7;
    EXPECT_EQ(frame.description(), "{[0x1f + 7] foo()}");
    frame.fileName = "a.cpp";
    EXPECT_EQ(frame.description(), "{[0x1f] a.cpp - foo():7}");
    EXPECT_EQ(frame.rawSymbol, frame.symbol);
    EXPECT_EQ(VZRStackFrame::stackFrameWithAddress(5).symbol, std::nullopt);
}

class ReportedExceptionTest : public crashtest::CrashContextTest {
protected:
    std::vector<nlohmann::ordered_json> customExceptions() const {
        std::vector<nlohmann::ordered_json> lines;
        std::istringstream in(readFile(path("custom_exception_a.vzrrecord")));
        std::string line;
        while (std::getline(in, line))
            lines.push_back(nlohmann::ordered_json::parse(line));
        return lines;
    }
};

TEST_F(ReportedExceptionTest, CustomAndScriptExceptionsGoToTheCustomLogWithTheirFrames) {
    VZRExceptionRecord(VZRExceptionTypeCustom, "early", "ignored", {}, false); // before initialisation: nothing
    VZRContextInitData config = crashtest::fixedConfig();
    config.maxCustomExceptions = 2;
    ASSERT_TRUE(initialize(config));
    EXPECT_FALSE(crashtest::exists(path("custom_exception_a.vzrrecord")));

    VZRStackFrame frame = VZRStackFrame::stackFrameWithSymbol("run");
    frame.address = 4096;
    frame.offset = 3;
    frame.library = "app";
    frame.lineNumber = 12;
    VZRExceptionRecord(VZRExceptionTypeCustom, "Err", "why", {frame, VZRStackFrame::stackFrameWithAddress(8192)}, false);
    VZRExceptionRecord(VZRExceptionTypeJavascript, "TypeError", "", {}, false);
    plat::Virtual::runUntilIdle();
    const auto lines = customExceptions();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].dump(), R"({"exception":{"type":"custom","name":"457272","reason":"776879","time":)" +
                                   lines[0]["exception"]["time"].dump() +
                                   R"(,"frames":[{"pc":4096,"symbol":"72756e","offset":3,"library":"617070","line":12},)"
                                   R"({"pc":8192,"offset":0,"line":0}]}})");
    EXPECT_EQ(lines[1]["exception"]["type"], "javascript");
    EXPECT_FALSE(lines[1]["exception"].contains("frames"));
    // Not crashes: no crash record, no process state.
    EXPECT_FALSE(crashtest::exists(path("exception.vzrrecord")));
}

TEST_F(ReportedExceptionTest, NoCustomExceptionIsKeptWhenTheLimitIsZero) {
    VZRContextInitData config = crashtest::fixedConfig();
    config.maxCustomExceptions = 0;
    ASSERT_TRUE(initialize(config));
    VZRExceptionRecord(VZRExceptionTypeCustom, "Err", "why", {}, false);
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(crashtest::exists(path("custom_exception_a.vzrrecord")));
    EXPECT_FALSE(crashtest::exists(path("custom_exception_b.vzrrecord")));
}

} // namespace
