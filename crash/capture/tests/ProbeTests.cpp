// The crash-time context in a separate process on real threads: the metadata it leaves, the allocator's
// layout and "Mapping" line on 4096-byte pages, and writes into guard pages and the protected region, which
// must end the process by SIGSEGV.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {

using crashtest::readFile;

struct ProbeRun {
    int status = -1;
    std::string out;
    bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool killedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
};

class ProbeTest : public ::testing::Test {
protected:
    ProbeRun run(const std::string& command) {
        ProbeRun result;
        const std::string line = "exec " + std::string(CRASH_PROBE) + " " + home.home() + " " + command + " 2>/dev/null";
        FILE* pipe = ::popen(line.c_str(), "r");
        if (!pipe)
            return result;
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            result.out.append(buffer, n);
        result.status = ::pclose(pipe);
        return result;
    }
    std::string report(const char* name) const { return home.home() + "/report/" + name; }

    plat::test::TempAppHome home;
};

TEST_F(ProbeTest, InitialisationOnRealThreadsLeavesTheMetadata) {
    const ProbeRun probe = run("init");
    ASSERT_TRUE(probe.exited(0)) << probe.status;
    std::istringstream lines(readFile(report("metadata.vzrrecord")));
    std::string line;
    std::vector<std::string> sections;
    while (std::getline(lines, line)) {
        const auto parsed = nlohmann::json::parse(line);
        ASSERT_EQ(parsed.size(), 1u);
        sections.push_back(parsed.begin().key());
        if (sections.back() == "identity") {
            EXPECT_EQ(parsed["identity"]["api_key"], "0123456789abcdef0123456789abcdef01234567");
            EXPECT_EQ(parsed["identity"]["session_id"], "s1");
            EXPECT_EQ(parsed["identity"]["install_id"], "I1");
        }
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"identity", "host", "application", "executable"}));
    EXPECT_EQ(readFile(report("sdk.log")).find("Delayed"), std::string::npos);
}

TEST_F(ProbeTest, FourKilobytePagesGiveTheCapacitiesAndTheMappingLine) {
    if (::sysconf(_SC_PAGESIZE) != 4096)
        GTEST_SKIP() << "the host's pages are not 4096 bytes";
    const ProbeRun probe = run("allocator");
    ASSERT_TRUE(probe.exited(0)) << probe.status;
    std::istringstream out(probe.out);
    std::string word, mapping, writable, readOnly;
    size_t w = 0, r = 0, page = 0, kilobytes = 0;
    out >> word >> w >> word >> r >> word >> page >> word >> mapping >> writable >> readOnly >> kilobytes;
    EXPECT_EQ(w, 548864u);
    EXPECT_EQ(r, 20480u);
    EXPECT_EQ(page, 4096u);
    EXPECT_EQ(kilobytes, (548864u + 20480u + 3 * 4096u) / 1024);
    const std::string expected = "] Mapping: " + mapping + " " + writable + " " + readOnly + ", total: %zu K\n";
    const std::string log = readFile(report("sdk.log"));
    const size_t at = log.find(expected);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.rfind("INFO  [VZRAllocatorCreate:", at), log.rfind('\n', at) + 1);
}

TEST_F(ProbeTest, WritesIntoGuardPagesAndTheProtectedRegionFault) {
    for (const char* command : {"guard 0", "guard 1", "guard 2", "below-stack", "write-readonly"}) {
        const ProbeRun probe = run(command);
        EXPECT_TRUE(probe.killedBy(SIGSEGV)) << command << ": status " << probe.status;
    }
}

// A process that dies inside a compaction, at either step, leaves every key readable at the next launch.
TEST_F(ProbeTest, DyingInsideACompactionLosesNoKey) {
    for (int step : {1, 2}) {
        SCOPED_TRACE(step);
        ASSERT_TRUE(run("compact-die " + std::to_string(step)).exited(9));
        EXPECT_TRUE(crashtest::exists(report("user_incremental_kv.vzrrecord")));
        // The next launch reads the earlier report's store.
        const std::string incremental = report("user_incremental_kv.vzrrecord");
        const std::string compacted = report("user_compacted_kv.vzrrecord");
        const VZRKVStoreDescriptor store{incremental.c_str(), compacted.c_str(), 16, 64};
        if (!VZRContextIsInitialized()) {
            VZRContextInitData config = crashtest::fixedConfig();
            const std::string next = home.root() + "/next";
            ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(next, true));
            config.activeDirectory = next.c_str();
            ASSERT_TRUE(VZRContextInitialize(&config));
            plat::Virtual::runUntilIdle();
        }
        const plat::Dictionary keys = VZRUserLoggingGetCompactedKVEntries(&store, true);
        EXPECT_EQ(keys.size(), 7u);
        EXPECT_EQ(keys.find("old")->asString(), "kept");
        EXPECT_EQ(keys.find("a0")->asString(), "60");
        EXPECT_EQ(keys.find("b2")->asString(), "62");
        for (const char* name : {"user_incremental_kv.vzrrecord", "user_compacted_kv.vzrrecord",
                                 "user_compacted_kv.vzrrecord.tmp", "sdk.log", "metadata.vzrrecord"})
            ::unlink(report(name).c_str());
    }
}

} // namespace
