// The system log: per-client filters, the copy to standard error and the log file in the device folder.

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

using plat::SystemLogClient;

TEST(SystemLogTest, TheFilterDecidesPerClientWhichLevelsPass) {
    plat::sim::SystemLogCapture capture;
    auto quiet = SystemLogClient::open(std::nullopt, "a", 0);
    auto loud = SystemLogClient::open(std::nullopt, "b", SystemLogClient::kOptionStandardError);
    EXPECT_EQ(loud->setFilter(0xff), SystemLogClient::kDefaultFilter);
    for (int level : {3, 5, 6, 7}) {
        quiet->log(level, "q" + std::to_string(level));
        loud->log(level, "l" + std::to_string(level));
    }
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{"q3", "l3", "q5", "l5", "l6", "l7"}));
    auto records = capture.records();
    EXPECT_EQ(records[0].facility, "a");
    EXPECT_FALSE(records[0].copiedToStandardError);
    EXPECT_TRUE(records[1].copiedToStandardError);
    EXPECT_EQ(records[1].level, 3);
}

TEST(SystemLogTest, LinesReachTheDeviceFileAndStandardErrorOnceAdded) {
    plat::test::TempAppHome home;
    plat::sim::ConsoleCapture console;
    auto client = SystemLogClient::open(std::nullopt, "com.example.logger", 0);
    client->log(4, "first %s line"); // never a format
    EXPECT_FALSE(client->addLogFile(5));
    EXPECT_TRUE(client->addLogFile(STDERR_FILENO));
    client->log(3, "second line");
    client->log(7, "filtered");

    EXPECT_EQ(console.err(), "second line\n");
    auto bytes = plat::readData(plat::systemLogFilePath());
    ASSERT_TRUE(bytes);
    std::string file(bytes->begin(), bytes->end());
    EXPECT_NE(file.find("<Warning> com.example.logger: first %s line\n"), std::string::npos) << file;
    EXPECT_NE(file.find("<Error> com.example.logger: second line\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("filtered"), std::string::npos);
}

} // namespace
