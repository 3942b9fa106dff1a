// Behaviour particular to the threaded backend: real worker threads, their start hook, and mutual
// exclusion on serial queues under load from many threads.

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/dispatch/Thread.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
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

TEST(ThreadedBackend, SyncBlocksRunExclusivelyAndAfterTheCallersEarlierWork) {
    // Sync callers on plain threads, async submitters and the queue's own worker all touch the same
    // unguarded state; any overlap shows as inFlight > 1 (and as a race under the thread sanitizer).
    auto q = DispatchQueue::makeSerial("contended-sync");
    constexpr int kThreads = 4, kRounds = 300;
    int inFlight = 0;
    int overlaps = 0;
    std::vector<int> applied(kThreads, 0); // per submitter: async blocks that ran
    int syncBehind = 0;                    // sync blocks that ran before the caller's own earlier async
    auto enter = [&] {
        if (++inFlight > 1) {
            ++overlaps;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 1; i <= kRounds; ++i) {
                q->async([&, t] {
                    enter();
                    ++applied[t];
                    --inFlight;
                });
                if (i % 3 == 0) {
                    q->sync([&, t, i] {
                        enter();
                        if (applied[t] != i) {
                            ++syncBehind;
                        }
                        --inFlight;
                    });
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    q->sync([&] {
        EXPECT_EQ(overlaps, 0);
        EXPECT_EQ(syncBehind, 0);
        EXPECT_EQ(applied, std::vector<int>(kThreads, kRounds));
    });
}

TEST(ThreadedBackend, SyncWaitsForTheBlockTheWorkerIsRunning) {
    // Nothing is queued while the worker runs its last block, yet the queue is not idle.
    auto q = DispatchQueue::makeSerial("running");
    DispatchSemaphore started(0), release(0), syncDone(0);
    std::vector<std::string> log; // guarded by q
    q->async([&] {
        started.signal();
        release.wait();
        log.push_back("running block");
    });
    ASSERT_TRUE(started.wait(5));
    std::thread caller([&] {
        q->sync([&] { log.push_back("sync block"); });
        syncDone.signal();
    });
    EXPECT_FALSE(syncDone.wait(0.05));
    release.signal();
    EXPECT_TRUE(syncDone.wait(5));
    caller.join();
    EXPECT_EQ(q->sync([&] { return log; }), (std::vector<std::string>{"running block", "sync block"}));
}

TEST(ThreadedBackend, SyncOntoAnIdleQueueStaysOnThePlainThreadThatCalls) {
    auto q = DispatchQueue::makeSerial("idle-sync");
    std::atomic<bool> warmed{false};
    q->async([&] { warmed = true; }); // the worker exists and is idle
    ASSERT_TRUE(MainLoop::runUntil([&] { return warmed.load(); }, 5));
    std::thread::id inside;
    bool onQueue = false, mainThread = true;
    std::string labelAfter = "unset";
    std::thread caller([&] {
        q->sync([&] {
            inside = std::this_thread::get_id();
            onQueue = q->isCurrent();
            mainThread = Thread::isMainThread();
        });
        labelAfter = DispatchQueue::currentLabel();
    });
    auto callerId = caller.get_id();
    caller.join();
    EXPECT_EQ(inside, callerId);
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(mainThread);
    EXPECT_EQ(labelAfter, "");
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

TEST(ThreadedBackend, BurstWakesAsManyPoolWorkersAsItHasItems) {
    // Each item waits until all have started, so one wake-up too few leaves them stuck: a burst posted at
    // once while the pool sleeps must wake one worker per item, not count a pending wake-up twice.
    const int n = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> arrived{0};
        DispatchGroup group;
        for (int i = 0; i < n; ++i) {
            group.async(DispatchQueue::global(), [&] {
                ++arrived;
                auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (arrived.load() < n && std::chrono::steady_clock::now() < giveUp) {
                    std::this_thread::yield();
                }
            });
        }
        ASSERT_TRUE(group.wait(15));
        EXPECT_EQ(arrived.load(), n) << "round " << round;
    }
}

TEST(ThreadedBackend, PoolRunsEveryItemFromConcurrentProducersAcrossIdleSpells) {
    // Producers race workers that are falling asleep, waking and finishing; a lost wake-up strands items.
    constexpr int kProducers = 4, kWaves = 20, kEach = 25;
    std::atomic<int> ran{0};
    for (int wave = 0; wave < kWaves; ++wave) {
        DispatchGroup group;
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&] {
                for (int i = 0; i < kEach; ++i) {
                    group.async(DispatchQueue::global(), [&] { ++ran; });
                }
            });
        }
        for (auto& t : producers) {
            t.join();
        }
        ASSERT_TRUE(group.wait(10)) << "wave " << wave;
    }
    EXPECT_EQ(ran.load(), kProducers * kWaves * kEach);
}

TEST(ThreadedBackend, WallDeadlineFires) {
    auto q = DispatchQueue::makeSerial("wall");
    std::atomic<bool> fired{false};
    q->asyncAt(Clock::now() + 0.02, [&] { fired = true; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return fired.load(); }, 5));
}

TEST(ThreadedBackend, SkippingTheClockFiresWhatFallsDueInOrderAndNothingLater) {
    const auto realStart = std::chrono::steady_clock::now();
    const double uptime0 = Clock::uptime();
    const double wall0 = Clock::now();
    const std::int64_t mono0 = Clock::monotonicNanos();
    auto q = DispatchQueue::makeSerial("skipped");
    std::mutex m;
    std::vector<std::pair<std::string, double>> fired; // what fired, with the uptime it read
    auto record = [&](std::string what) {
        return [&, what] {
            std::lock_guard lock(m);
            fired.emplace_back(what, Clock::uptime());
        };
    };
    auto count = [&] {
        std::lock_guard lock(m);
        return fired.size();
    };
    DispatchQueue::main()->asyncAfter(5, record("cancelled")).cancel();
    (void)q->asyncAfter(1799, record("1799 s"));
    (void)q->asyncAt(wall0 + 900, record("wall +900 s"));
    (void)DispatchQueue::main()->asyncAfter(1801, record("1801 s"));

    auto next = ClockSkip::nextDeadline();
    ASSERT_TRUE(next);
    EXPECT_NEAR(*next, uptime0 + 900, 0.5) << "the cancelled timer no longer counts";

    ClockSkip::skipBy(1800);
    ASSERT_TRUE(MainLoop::runUntil([&] { return count() >= 2; }, 5));
    MainLoop::runUntil([] { return false; }, 0.05); // a later fire would show by now
    {
        std::lock_guard lock(m);
        ASSERT_EQ(fired.size(), 2u);
        EXPECT_EQ(fired[0].first, "wall +900 s");
        EXPECT_EQ(fired[1].first, "1799 s");
    }
    EXPECT_GE(Clock::uptime() - uptime0, 1800);
    EXPECT_GE(Clock::now() - wall0, 1800);
    EXPECT_GE(Clock::monotonicNanos() - mono0, std::int64_t{1800} * 1000000000);
    EXPECT_GE(ClockSkip::skipped(), 1800 - 0.5);

    // Skipped to a timer's deadline, the timer reads its own due time.
    next = ClockSkip::nextDeadline();
    ASSERT_TRUE(next);
    EXPECT_NEAR(*next, uptime0 + 1801, 0.5);
    ClockSkip::skipTo(*next);
    ASSERT_TRUE(MainLoop::runUntil([&] { return count() == 3; }, 5));
    {
        std::lock_guard lock(m);
        EXPECT_EQ(fired[2].first, "1801 s");
        EXPECT_NEAR(fired[2].second, *next, 0.25);
    }
    EXPECT_FALSE(ClockSkip::nextDeadline());
    ClockSkip::skipTo(Clock::uptime() - 100);
    EXPECT_GE(Clock::uptime(), *next) << "the clock never goes back";
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(1));
}

} // namespace
