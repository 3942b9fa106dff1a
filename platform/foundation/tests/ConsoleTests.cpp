#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <string>

using namespace plat;

namespace {

TEST(ConsoleTest, DebugDescriptionEscapesLikeTheDevice) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"it's", "\"it\\'s\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
        {std::string("nul\0end", 7), "\"nul\\0end\""},
        {"\x1b[0m", "\"\\u{1b}[0m\""},
        {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
        {"\xc2\x85", "\"\\u{85}\""}, // C1 control (NEL)
        {"Gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80",
         "\"Gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80\""}, // printable non-ASCII stays
        {"bad\xff", "\"bad\xef\xbf\xbd\""},          // not UTF-8: replacement character
    };
    for (const auto& c : cases)
        EXPECT_EQ(debugDescription(c.in), c.out) << c.in;
}

TEST(ConsoleTest, PrintsGoToStdoutAndDeviceLinesToStderr) {
    sim::ConsoleCapture capture;
    print("hello");
    debugPrint("a\"b");
    printDevice("page loaded");
    EXPECT_EQ(capture.out(), "hello\n\"a\\\"b\"\n");
    EXPECT_EQ(capture.err(), "[device] page loaded\n");
    EXPECT_EQ(capture.nslog(), "");
}

TEST(ConsoleTest, NSLogLineShape) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ProcessInfo::processInfo().setProcessName("portal-app");
    std::string line = nslogLine("started 5", 1700000000.25);
    std::string expectedStart =
        "2023-11-14 22:13:20.250000+0000 portal-app[" + std::to_string(::getpid()) + ":";
    EXPECT_EQ(line.substr(0, expectedStart.size()), expectedStart);
    EXPECT_TRUE(line.ends_with("] started 5")) << line;

    sim::ConsoleCapture capture;
    NSLog("%@ of %d", Value("one"), 2);
    // "YYYY-MM-DD HH:MM:SS.ffffff+ZZZZ " is 32 characters; digits everywhere but the separators.
    std::string logged = capture.nslog();
    ASSERT_GT(logged.size(), 32u);
    const std::string shape = "dddd-dd-dd dd:dd:dd.dddddd+dddd ";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd')
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(logged[i]))) << logged;
        else if (shape[i] == '+')
            EXPECT_TRUE(logged[i] == '+' || logged[i] == '-') << logged;
        else
            EXPECT_EQ(logged[i], shape[i]) << logged;
    }
    EXPECT_TRUE(logged.substr(32).starts_with("portal-app[" + std::to_string(::getpid()) + ":")) << logged;
    EXPECT_TRUE(logged.ends_with("] one of 2\n")) << logged;
    EXPECT_EQ(capture.err(), capture.nslog());
}

TEST(ConsoleTest, NSLogOffsetFollowsTheLocalZone) {
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    std::string line = nslogLine("x", 1700000000.0); // winter: +0100
    EXPECT_EQ(line.substr(0, 32), "2023-11-14 23:13:20.000000+0100 ");
}

} // namespace
