// Behaviour particular to the threaded backend: real worker threads, their start hook, and mutual
// exclusion on serial queues under load from many threads.

#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/dispatch/Thread.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace plat;

thread_local bool hookRan = false;

TEST(ThreadedBackend, StartHookRunsOnEveryWorkerBeforeItsWork) {
    setThreadStartHook([] { hookRan = true; });
    auto q = DispatchQueue::makeSerial("hooked");
    std::atomic<int> sawHook{-1};
    std::atomic<bool> differentThread{false};
    auto testThread = std::this_thread::get_id();
    q->async([&] {
        differentThread = std::this_thread::get_id() != testThread;
        sawHook = hookRan ? 1 : 0;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return sawHook.load() != -1; }, 5));
    EXPECT_EQ(sawHook.load(), 1);
    EXPECT_TRUE(differentThread);
    std::atomic<bool> spawned{false};
    auto t = spawnThread("io", [&] { spawned = hookRan; });
    t.join();
    EXPECT_TRUE(spawned);
}

TEST(ThreadedBackend, SerialQueueExcludesConcurrentProducersAndSyncCallers) {
    auto q = DispatchQueue::makeSerial("contended");
    long counter = 0; // guarded by q only
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                if (i % 50 == 0) {
                    q->sync([&] { ++counter; });
                } else {
                    q->async([&] { ++counter; });
                }
            }
        });
    }
    for (auto& p : producers) {
        p.join();
    }
    long seen = q->sync([&] { return counter; });
    EXPECT_EQ(seen, kThreads * kEach);
}

TEST(ThreadedBackend, GlobalQueueWorkRunsConcurrently) {
    // Two items that each wait for the other can only finish if the pool runs them side by side.
    std::atomic<int> arrived{0};
    DispatchGroup group;
    for (int i = 0; i < 2; ++i) {
        group.async(DispatchQueue::global(), [&] {
            ++arrived;
            while (arrived.load() < 2) {
                std::this_thread::yield();
            }
        });
    }
    EXPECT_TRUE(group.wait(10));
}

TEST(ThreadedBackend, WallDeadlineFires) {
    auto q = DispatchQueue::makeSerial("wall");
    std::atomic<bool> fired{false};
    q->asyncAt(Clock::now() + 0.02, [&] { fired = true; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return fired.load(); }, 5));
}

} // namespace
