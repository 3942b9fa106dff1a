// The SDK log: its own formatter against the exact bytes of "sdk.log", the level threshold, and writers on
// several threads at once.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "crash/capture/VZRSDKLog.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using crashtest::CrashContextTest;

TEST_F(CrashContextTest, FormatsEachConversionAndWritesOtherFormsAsText) {
    ASSERT_TRUE(initialize());
    struct Case {
        std::function<void()> log;
        std::string expected;
    };
    const size_t total = 548864 + 20480 + 3 * 4096;
    const Case cases[] = {
        {[&] {
             VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] Mapping: %p %p %p, total: %zu K\n", "create", 42,
                       reinterpret_cast<void*>(0x7f0000001000), reinterpret_cast<void*>(0xabc000), nullptr,
                       total / 1024);
         },
         "INFO  [create:42] Mapping: 0x7f0000001000 0xabc000 0x0, total: %zu K\n"},
        {[] { VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] %d %d %d\n", "f", 1, INT_MIN, INT_MAX, 0); },
         "ERROR [f:1] -2147483648 2147483647 0\n"},
        {[] { VZRSDKLog(VZRLogLevelWarn, "%u %x %x\n", 4294967295u, 0xdeadbeefu, 0u); }, "4294967295 deadbeef 0\n"},
        {[] { VZRSDKLog(VZRLogLevelWarn, "[%s] [%s]\n", static_cast<const char*>(nullptr), "text"); },
         "[(null)] [text]\n"},
        // The unknown forms take no argument: the 5 goes to the %d after them.
        {[] { VZRSDKLog(VZRLogLevelWarn, "100%% %02x %llu %d\n", 5); }, "100%% %02x %llu 5\n"},
        {[] { VZRSDKLog(VZRLogLevelWarn, "ends in %"); }, "ends in %"},
        {[] { VZRSDKLog(VZRLogLevelDebug, "debug %d\n", -7); }, "debug -7\n"},
    };
    for (const Case& c : cases) {
        const size_t before = sdkLog().size();
        c.log();
        EXPECT_EQ(sdkLog().substr(before), c.expected);
    }
}

TEST_F(CrashContextTest, MessagesBelowTheThresholdNeitherWriteNorCreateTheFile) {
    ASSERT_TRUE(initialize());
    ASSERT_FALSE(crashtest::exists(path("sdk.log")));
    VZRSharedContext().writable.load()->logThreshold.store(VZRLogLevelWarn);
    VZRSDKLog(VZRLogLevelInfo, "INFO  [%s:%d] hidden\n", VZR_HERE);
    EXPECT_FALSE(crashtest::exists(path("sdk.log")));
    VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] shown\n", "here", 3);
    EXPECT_EQ(sdkLog(), "WARN  [here:3] shown\n");
}

TEST(SDKLogWithoutContext, WritesNothing) {
    VZRSDKLog(VZRLogLevelError, "ERROR [%s:%d] nowhere\n", VZR_HERE); // must not fault
    EXPECT_EQ(VZRSharedContext().writable.load(), nullptr);
}

TEST_F(CrashContextTest, LinesFromEightThreadsAtOnceLoseNoBytes) {
    ASSERT_TRUE(initialize());
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] thread %d line %d\n", "worker", t, t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();

    // Pieces of different lines may interleave; every byte of every line must be there.
    std::string expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i)
            expected += "WARN  [worker:" + std::to_string(t) + "] thread " + std::to_string(t) + " line " +
                        std::to_string(i) + "\n";
    }
    std::string written = sdkLog();
    ASSERT_EQ(written.size(), expected.size());
    std::sort(written.begin(), written.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(written, expected);
}

TEST_F(CrashContextTest, ABatchWritesItsLinesInOrderWhenItClosesAndLeavesOtherThreadsAlone) {
    ASSERT_TRUE(initialize());
    VZRSDKLog(VZRLogLevelWarn, "before\n");
    std::string expected = "before\n";
    {
        VZRSDKLogBatchScope batch;
        VZRSDKLog(VZRLogLevelWarn, "first %d\n", 1);
        {
            VZRSDKLogBatchScope inner; // joins the outer batch: closing it writes nothing yet
            VZRSDKLog(VZRLogLevelWarn, "inner %d\n", 2);
        }
        EXPECT_EQ(sdkLog(), "before\n");
        // Another thread is not part of this thread's batch.
        std::thread([] { VZRSDKLog(VZRLogLevelWarn, "other thread\n"); }).join();
        EXPECT_EQ(sdkLog(), "before\nother thread\n");
        expected += "other thread\nfirst 1\ninner 2\n";
        // More than the batch holds, with a line longer than the formatter's own buffer: every line, in order.
        const std::string longText(3000, 'x');
        for (int i = 0; i < 200; ++i) {
            VZRSDKLog(VZRLogLevelWarn, "line %d %s\n", i, i % 50 == 7 ? longText.c_str() : "");
            expected += "line " + std::to_string(i) + " " + (i % 50 == 7 ? longText : "") + "\n";
        }
        VZRSDKLog(VZRLogLevelWarn, "last\n");
        expected += "last\n";
    }
    EXPECT_EQ(sdkLog(), expected);
    VZRSDKLog(VZRLogLevelWarn, "after\n");
    EXPECT_EQ(sdkLog(), expected + "after\n");
}

} // namespace
