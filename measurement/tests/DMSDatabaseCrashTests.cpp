// A process killed in the middle of writing never costs the database file, a committed transaction or a
// part of one.

#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

TEST(DMSDatabaseCrashTest, KilledWritersLeaveEveryCommitAndNoPartOfTheRest) {
    plat::test::TempAppHome home;
    dms::test::MonitorRecorder monitor;
    std::mt19937 random(20261211);
    std::set<int64_t> printed;
    for (int round = 1; round <= 20; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::string program = PORTAL_MEASUREMENT_DATABASE_CRASH_HELPER;
        std::string homePath = home.home();
        std::string roundText = std::to_string(round);
        char* args[] = {program.data(), homePath.data(), roundText.data(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, args, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        FILE* output = ::fdopen(fds[0], "r");
        ASSERT_TRUE(output);
        int wanted = std::uniform_int_distribution<int>(1, 25)(random);
        char line[128];
        int seen = 0;
        while (seen < wanted && std::fgets(line, sizeof line, output)) {
            long long n = 0;
            if (std::sscanf(line, "committed %lld", &n) == 1) {
                printed.insert(n);
                ++seen;
            }
        }
        ::kill(pid, SIGKILL);
        while (std::fgets(line, sizeof line, output)) {
            long long n = 0;
            if (std::sscanf(line, "committed %lld", &n) == 1) {
                printed.insert(n);
            }
        }
        std::fclose(output);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) == 0) << "round " << round;
        ASSERT_EQ(seen, wanted) << "round " << round << ": the writer stopped early";
    }

    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    for (auto code : monitor.codes()) {
        EXPECT_TRUE(code != 34001 && code != 34002 && code != 12002) << code;
    }
    plat::Error error;
    auto groups = database->sqliteStore()->recordsForQuery(
        "SELECT metadata_fingerprint, count(1) AS n FROM raw_events GROUP BY metadata_fingerprint", {}, &error);
    ASSERT_TRUE(groups) << error.description();
    std::set<int64_t> stored;
    for (auto& group : *groups) {
        stored.insert(group["metadata_fingerprint"].asInt64());
        EXPECT_EQ(group["n"].asInt64(), 20) << group["metadata_fingerprint"].asInt64();
    }
    for (auto n : printed) {
        EXPECT_TRUE(stored.contains(n)) << n;
    }
}

} // namespace
