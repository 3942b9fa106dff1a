// The worker queue, the monitor, the persisted configuration and the preference suites used from several real
// threads at once: work stays serial and in order, and nothing is lost.

#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kDMSThreadCount = 4;
constexpr int kDMSPerThread = 200;

void dmsRunOnThreads(const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kDMSThreadCount; ++t) {
        threads.emplace_back(body, t);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

} // namespace

TEST(DMSWorkerThreads, BlocksFromManyThreadsRunOneAtATimeInEachThreadsOrder) {
    plat::test::TempAppHome home;
    DMSScheduler scheduler("com.razoza.dava.worker");
    // Touched only on the worker queue, so it needs no lock of its own.
    std::vector<std::vector<int>> seen(kDMSThreadCount);
    int total = 0;
    dmsRunOnThreads([&](int t) {
        for (int i = 0; i < kDMSPerThread; ++i) {
            if (i % 10 == 0) {
                scheduler.dispatchSyncOnWorkerQueueBlockID("DMSWorkerThreads:1", [&, t, i] {
                    seen[t].push_back(i);
                    ++total;
                });
            } else {
                scheduler.scheduleOnWorkerQueueBlockID("DMSWorkerThreads:2", [&, t, i] {
                    seen[t].push_back(i);
                    ++total;
                });
            }
        }
    });
    scheduler.dispatchSyncOnWorkerQueueBlockID("DMSWorkerThreads:3", [] {});
    EXPECT_EQ(total, kDMSThreadCount * kDMSPerThread);
    for (const auto& one : seen) {
        ASSERT_EQ(one.size(), static_cast<size_t>(kDMSPerThread));
        for (int i = 0; i < kDMSPerThread; ++i) {
            EXPECT_EQ(one[i], i);
        }
    }
}

TEST(DMSWorkerThreads, MonitorCountsEveryMessageFromEveryThread) {
    plat::test::TempAppHome home;
    DMSMonitor monitor(50300);
    dmsRunOnThreads([&](int t) {
        for (int i = 0; i < kDMSPerThread; ++i) {
            monitor.logWithLevel(5, 100 + t, "Thread message", i, "text");
        }
    });
    auto entry = monitor.sampledData();
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)[1].integerValue(), kDMSThreadCount * kDMSPerThread);
}

TEST(DMSWorkerThreads, PersistedConfigAndSuitesKeepEveryWrite) {
    plat::test::TempAppHome home;
    {
        auto config = DMSPersistedConfig::initWithSuiteName("com.razoza.rmp.measurement");
        DMSUserDefaults suite(std::string("com.razoza.rmp.measurement.dates"));
        dmsRunOnThreads([&](int t) {
            for (int i = 0; i < kDMSPerThread; ++i) {
                config->setInt64(i, "/razoza/measurement/thread_" + std::to_string(t));
                suite.setObject(plat::Value(i), "/t" + std::to_string(t));
                (void)config->midnightOffset();
            }
        });
        for (int t = 0; t < kDMSThreadCount; ++t) {
            EXPECT_EQ(config->int64ForKey("/razoza/measurement/thread_" + std::to_string(t)), kDMSPerThread - 1);
        }
    }
    // Both went away with writes pending: those were flushed, not lost.
    for (const char* name : {"com.razoza.rmp.measurement", "com.razoza.rmp.measurement.dates"}) {
        EXPECT_GE(plat::sim::Preferences::synchronizeCount(name), 1) << name;
        EXPECT_FALSE(plat::PreferenceStore::domain(name)->hasPendingChanges()) << name;
    }
}
