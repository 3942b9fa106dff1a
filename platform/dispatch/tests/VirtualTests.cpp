// Behaviour particular to the virtual backend: time moves only when asked, all work runs on the
// main thread in submission order, and waits move time up to their deadline.

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainLoop.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace plat;

TEST(VirtualBackend, TimeMovesOnlyWhenAdvanced) {
    double wall = Clock::now(), up = Clock::uptime();
    auto nanos = Clock::monotonicNanos();
    DispatchQueue::global()->async([] {});
    Virtual::runUntilIdle();
    EXPECT_EQ(Clock::now(), wall);
    EXPECT_EQ(Clock::uptime(), up);
    Virtual::advanceBy(2.5);
    EXPECT_DOUBLE_EQ(Clock::now() - wall, 2.5);
    EXPECT_DOUBLE_EQ(Clock::uptime() - up, 2.5);
    EXPECT_NEAR(static_cast<double>(Clock::monotonicNanos() - nanos), 2.5e9, 1e3);
    Virtual::setUptimeUnknown();
    EXPECT_EQ(Clock::uptime(), -1);
}

TEST(VirtualBackend, WorkRunsInSubmissionOrderAcrossQueuesHonouringSuspension) {
    auto a = DispatchQueue::makeSerial("a");
    auto b = DispatchQueue::makeSerial("b");
    std::vector<std::string> log;
    a->async([&] { log.push_back("a1"); });
    DispatchQueue::main()->async([&] { log.push_back("main1"); });
    b->async([&] { log.push_back("b1"); });
    DispatchQueue::global()->async([&] { log.push_back("g1"); });
    a->async([&] { log.push_back("a2"); });
    b->suspend();
    b->async([&] { log.push_back("b2"); });
    // Suspension holds everything not yet started, also work added before it.
    EXPECT_EQ(Virtual::runUntilIdle(), 4u);
    EXPECT_EQ(log, (std::vector<std::string>{"a1", "main1", "g1", "a2"}));
    b->resume();
    EXPECT_EQ(Virtual::runUntilIdle(), 2u);
    EXPECT_EQ(log, (std::vector<std::string>{"a1", "main1", "g1", "a2", "b1", "b2"}));
}

TEST(VirtualBackend, TimersFireInDeadlineOrderEachAfterTheReadyWork) {
    auto a = DispatchQueue::makeSerial("timers.a");
    auto b = DispatchQueue::makeSerial("timers.b");
    std::vector<std::string> log;
    b->asyncAfter(3, [&] { log.push_back("b@3"); });
    a->asyncAfter(1, [&] {
        log.push_back("a@1");
        b->async([&] { log.push_back("b after a@1"); });
    });
    a->asyncAfter(2, [&] { log.push_back("a@2"); });
    double start = Virtual::uptime();
    auto pending = Virtual::pendingTimers();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[0].label, "timers.a");
    EXPECT_DOUBLE_EQ(pending[0].deadline, start + 1);
    EXPECT_EQ(pending[2].label, "timers.b");

    Virtual::advanceBy(2.5);
    EXPECT_EQ(log, (std::vector<std::string>{"a@1", "b after a@1", "a@2"}));
    EXPECT_EQ(Virtual::pendingTimers().size(), 1u);
    Virtual::advanceTo(start + 3);
    EXPECT_EQ(log.back(), "b@3");
    EXPECT_TRUE(Virtual::pendingTimers().empty());
}

TEST(VirtualBackend, WallDeadlinesFollowWallClockJumpsOnly) {
    auto q = DispatchQueue::makeSerial("wall");
    std::vector<std::string> log;
    double wall = Clock::now();
    double up = Clock::uptime();
    q->asyncAt(wall + 100, [&] { log.push_back("wall"); });
    q->asyncAfter(50, [&] { log.push_back("uptime"); });
    Virtual::setWall(wall + 200);
    EXPECT_EQ(Clock::uptime(), up) << "a wall jump leaves uptime alone";
    Virtual::runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"wall"}));
    Virtual::advanceBy(50);
    EXPECT_EQ(log, (std::vector<std::string>{"wall", "uptime"}));
}

TEST(VirtualBackend, WaitsRunOtherWorkAndMoveTimeOnlyAsFarAsNeeded) {
    auto q = DispatchQueue::makeSerial("answer");
    DispatchSemaphore sem(0);
    int answered = 0;
    q->asyncAfter(2, [&, sem] {
        answered = 1;
        sem.signal();
    });
    double start = Virtual::uptime();
    EXPECT_TRUE(sem.wait(10));
    EXPECT_EQ(answered, 1);
    EXPECT_DOUBLE_EQ(Virtual::uptime() - start, 2);

    EXPECT_FALSE(sem.wait(3));
    EXPECT_DOUBLE_EQ(Virtual::uptime() - start, 5);

    DispatchGroup group;
    group.async(q, [] {});
    EXPECT_TRUE(group.wait(0));
    EXPECT_DOUBLE_EQ(Virtual::uptime() - start, 5);
}

TEST(VirtualBackend, TheTestBodyHoldsTheMainQueueExceptWhileDrivingTheLoop) {
    DispatchSemaphore sem(0);
    bool mainWork = false;
    DispatchQueue::main()->async([&] { mainWork = true; });
    EXPECT_FALSE(sem.wait(1)) << "a blocked main thread runs no main-queue work";
    EXPECT_FALSE(mainWork);
    Virtual::runUntilIdle();
    EXPECT_TRUE(mainWork);
}

TEST(VirtualBackend, SyncFromARealThreadRunsOnTheMainThreadWhileItDrives) {
    auto q = DispatchQueue::makeSerial("io.sync");
    int value = 0; // main thread only
    std::thread io([&] {
        int v = q->sync([] { return 7; });
        Virtual::post([&value, v] { value = v; });
    });
    EXPECT_TRUE(Virtual::runUntil([&] { return value == 7; }, 10));
    io.join();
}

TEST(VirtualBackend, AnswersFromRealThreadsInFlightComeBeforeTimeMovesOn) {
    DispatchSemaphore answered(0);
    bool timedOut = false;
    DispatchQueue::main()->asyncAfter(1, [&] { timedOut = true; });
    auto q = DispatchQueue::makeSerial("delegate");
    double start = Virtual::uptime();
    auto inFlight = std::make_unique<ExternalActivity>();
    std::thread io([&, token = std::move(inFlight)]() mutable {
        q->async([answered] { answered.signal(); });
        token.reset();
    });
    EXPECT_TRUE(answered.wait(5));
    EXPECT_EQ(Virtual::uptime(), start);
    EXPECT_FALSE(timedOut);
    io.join();
    Virtual::advanceBy(1);
    EXPECT_TRUE(timedOut);
}

TEST(VirtualBackend, MainLoopRunAdvancesToTimersUntilStopped) {
    double start = Virtual::uptime();
    int ticks = 0;
    DispatchQueue::main()->asyncAfter(1, [&] { ++ticks; });
    DispatchQueue::main()->asyncAfter(5, [&] {
        ++ticks;
        MainLoop::stop();
    });
    MainLoop::run();
    EXPECT_EQ(ticks, 2);
    EXPECT_DOUBLE_EQ(Virtual::uptime() - start, 5);
}

TEST(VirtualBackend, DrainOnceRunsOnlyWhatWasReady) {
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        DispatchQueue::main()->async(again);
    };
    DispatchQueue::main()->async(again);
    EXPECT_EQ(MainLoop::drainOnce(), 1u);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(MainLoop::drainOnce(), 1u);
    EXPECT_EQ(runs, 2);
}

TEST(VirtualBackend, ControlsNeedTheMainThread) {
    EXPECT_DEATH(
        {
            std::thread t([] { Virtual::runUntilIdle(); });
            t.join();
        },
        "off the main thread");
}

} // namespace
