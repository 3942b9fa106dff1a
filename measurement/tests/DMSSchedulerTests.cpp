// The worker queue (order, nil blocks, exceptions caught and reported) and named one-shot alarms on virtual
// time.

#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

class DMSSchedulerTest : public ::testing::Test {
protected:
    // The alarm codes (2000-2004) seen since the last call.
    std::vector<int64_t> alarmCodes() {
        std::vector<int64_t> codes;
        for (int64_t code : monitor.codes()) {
            if (code >= 2000 && code <= 2004) {
                codes.push_back(code);
            }
        }
        monitor.clear();
        return codes;
    }

    plat::test::TempAppHome home;
    dms::test::MonitorRecorder monitor;
    DMSScheduler scheduler{"com.razoza.dava.worker"};
};

} // namespace

TEST_F(DMSSchedulerTest, AsynchronousBlocksRunInOrderAndExceptionsStayOnTheQueue) {
    EXPECT_EQ(scheduler.workerQueue()->label(), "com.razoza.dava.worker");
    std::vector<int> ran;
    scheduler.scheduleOnWorkerQueueBlockID("DMSMeasurement:1", [&] { ran.push_back(1); });
    scheduler.scheduleOnWorkerQueueBlockID("DMSMeasurement:2", [] {
        plat::Exception::raise("NSInternalInconsistencyException", "broken");
    });
    scheduler.scheduleOnWorkerQueueBlockID("DMSMeasurement:3", [] { throw std::runtime_error("lost"); });
    scheduler.scheduleOnWorkerQueueBlockID("DMSMeasurement:4", [] { throw 7; });
    scheduler.scheduleOnWorkerQueueBlockID("DMSMeasurement:5", nullptr);
    scheduler.scheduleOnWorkerQueueBlockID("DMSMeasurement:6", [&] { ran.push_back(6); });
    EXPECT_TRUE(ran.empty());
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(ran, (std::vector<int>{1, 6}));

    auto calls = monitor.calls();
    ASSERT_EQ(calls.size(), 4u);
    // The nil block is reported at once, on the caller's thread.
    EXPECT_EQ(calls[0].code, 30005);
    EXPECT_EQ(calls[0].message, std::optional<std::string>(
                                    "Nil block dispatched asynchronously on worker queue. Block ID=DMSMeasurement:5."));
    const char* expectedNames[] = {"NSInternalInconsistencyException", "std::runtime_error", "int"};
    for (int i = 0; i < 3; ++i) {
        const auto& call = calls[i + 1];
        EXPECT_EQ(call.level, 1);
        EXPECT_EQ(call.code, 30000);
        EXPECT_EQ(call.message, std::optional<std::string>("Exception on worker queue. Block ID=DMSMeasurement:" +
                                                           std::to_string(i + 2) + ". Exception"));
        ASSERT_EQ(call.contexts.size(), 1u);
        EXPECT_EQ(std::get<DMSExceptionInfo>(call.contexts[0]).name, expectedNames[i]);
    }
}

TEST_F(DMSSchedulerTest, SynchronousBlocksReportExceptionsAndTheUnfinishedTask) {
    int value = 0;
    scheduler.dispatchSyncOnWorkerQueueBlockID("DMSMeasurement:10", [&] { value = 42; });
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(monitor.calls().empty());

    scheduler.dispatchSyncOnWorkerQueueBlockID("DMSMeasurement:11", [] { throw std::logic_error("sync"); });
    auto calls = monitor.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].code, 30003);
    EXPECT_EQ(calls[0].level, 1);
    EXPECT_EQ(calls[0].message,
              std::optional<std::string>(
                  "Exception on worker queue when processing sync block. Block ID=DMSMeasurement:11. Exception"));
    EXPECT_EQ(calls[1].code, 30004);
    EXPECT_EQ(calls[1].level, 4);
    EXPECT_EQ(calls[1].message, std::optional<std::string>("Synchronous task failed. Block ID=DMSMeasurement:11"));

    monitor.clear();
    scheduler.dispatchSyncOnWorkerQueueBlockID("DMSMeasurement:12", nullptr);
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{30002});
}

TEST_F(DMSSchedulerTest, BackgroundThreadCheck) {
    EXPECT_FALSE(DMSScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
    EXPECT_FALSE(DMSScheduler::checkOnBackgroundThreadWithMethodName(""));
    auto calls = monitor.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].code, 30001);
    EXPECT_EQ(calls[0].message, std::optional<std::string>("Method uploadData should execute on background thread"));
    ASSERT_EQ(calls[0].contexts.size(), 1u);
    EXPECT_TRUE(std::get<plat::Value>(calls[0].contexts[0]).isNull());
    EXPECT_EQ(calls[1].message,
              std::optional<std::string>("Method <empty method name> should execute on background thread"));

    monitor.clear();
    bool onWorker = false;
    // A synchronous block runs on the caller's thread, as on the device; an asynchronous one does not.
    scheduler.scheduleOnWorkerQueueBlockID("DMSMeasurement:20", [&] {
        onWorker = DMSScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    });
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(onWorker);
    EXPECT_TRUE(monitor.calls().empty());
}

TEST_F(DMSSchedulerTest, AlarmFiresOnceAndIsIdleBeforeItsBlockRuns) {
    auto alarm = DMSAlarm::initWithDispatchQueue(scheduler.workerQueue(), "Measurement timer");
    alarm->cancel();
    EXPECT_TRUE(alarmCodes().empty());

    double start = plat::Clock::now();
    int fired = 0;
    std::optional<plat::Date> timestampInBlock = plat::Date(-1);
    alarm->runAfterDelay(5, [&] {
        ++fired;
        timestampInBlock = alarm->scheduledTimestamp();
    });
    EXPECT_EQ(alarmCodes(), std::vector<int64_t>{2002});
    EXPECT_EQ(alarm->scheduledTimestamp(), std::optional<plat::Date>(plat::Date(start + 5)));
    EXPECT_TRUE(alarm->hasActiveTimer());

    plat::Virtual::advanceBy(4.9);
    EXPECT_EQ(fired, 0);
    plat::Virtual::advanceBy(0.1);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timestampInBlock, std::nullopt);
    EXPECT_EQ(alarmCodes(), (std::vector<int64_t>{2001, 2003}));
    plat::Virtual::advanceBy(60);
    EXPECT_EQ(fired, 1);

    auto calls = monitor.calls();
    EXPECT_TRUE(calls.empty());
    alarm->runAfterDelay(1, [] {});
    auto scheduled = monitor.calls();
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].message, std::optional<std::string>("Measurement timer scheduled to fire in approx. (s)"));
    EXPECT_EQ(std::get<plat::Value>(scheduled[0].contexts[0]).doubleValue(), 1.0);
}

TEST_F(DMSSchedulerTest, ReschedulingWithinTheDelayFiresOnceAtTheSecondTime) {
    auto alarm = DMSAlarm::initWithDispatchQueue(scheduler.workerQueue(), "");
    EXPECT_EQ(alarm->name(), "Timer");
    std::vector<double> firedAt;
    alarm->runAfterDelay(5, [&] { firedAt.push_back(plat::Clock::now()); });
    double start = plat::Clock::now();
    plat::Virtual::advanceBy(2);
    alarm->runAfterDelay(5, [&] { firedAt.push_back(plat::Clock::now()); });
    EXPECT_EQ(alarmCodes(), (std::vector<int64_t>{2002, 2003, 2002}));
    plat::Virtual::advanceBy(10);
    ASSERT_EQ(firedAt.size(), 1u);
    EXPECT_DOUBLE_EQ(firedAt[0], start + 7);
}

TEST_F(DMSSchedulerTest, NilBlockLeavesTheScheduledTimerAlone) {
    auto alarm = DMSAlarm::initWithDispatchQueue(scheduler.workerQueue(), "Session timer");
    int fired = 0;
    alarm->runAfterDelay(3, [&] { ++fired; });
    alarm->runAfterDelay(1, nullptr);
    auto calls = monitor.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].code, 2000);
    EXPECT_EQ(calls[1].message, std::optional<std::string>("Session timer tried to schedule an empty block"));
    EXPECT_TRUE(alarm->hasActiveTimer());
    plat::Virtual::advanceBy(3);
    EXPECT_EQ(fired, 1);
}

TEST_F(DMSSchedulerTest, ABlockMayRearmItsOwnAlarmAndDelayZeroFiresOnTheNextTurn) {
    int fired = 0;
    {
        auto alarm = DMSAlarm::initWithDispatchQueue(scheduler.workerQueue(), "Engagement timer");
        std::weak_ptr<DMSAlarm> weak = alarm;
        alarm->runAfterDelay(0, [&fired, weak] {
            if (++fired < 3) {
                weak.lock()->runAfterDelay(2, [&fired] { ++fired; });
            }
        });
        // Nobody else holds the alarm now: the pending timer keeps it alive.
    }
    EXPECT_EQ(fired, 0);
    // Due at once: no virtual time has to pass.
    plat::Virtual::advanceBy(0);
    EXPECT_EQ(fired, 1);
    plat::Virtual::advanceBy(2);
    EXPECT_EQ(fired, 2);
    plat::Virtual::advanceBy(10);
    EXPECT_EQ(fired, 2);
}

TEST_F(DMSSchedulerTest, CancelStopsAScheduledAlarm) {
    auto alarm = DMSAlarm::initWithDispatchQueue(scheduler.workerQueue(), "Search Ad campaign report alarm");
    int fired = 0;
    alarm->runAfterDelay(1, [&] { ++fired; });
    alarm->cancel();
    alarm->cancel();
    EXPECT_EQ(alarmCodes(), (std::vector<int64_t>{2002, 2003}));
    EXPECT_FALSE(alarm->hasActiveTimer());
    EXPECT_EQ(alarm->scheduledTimestamp(), std::nullopt);
    plat::Virtual::advanceBy(5);
    EXPECT_EQ(fired, 0);

    // Releasing a scheduled alarm's last outside reference does not cancel it; releasing an idle one logs
    // nothing.
    alarm.reset();
    EXPECT_TRUE(alarmCodes().empty());
}

TEST_F(DMSSchedulerTest, AnAlarmWithoutATimerReportsItIsNotActive) {
    // Not made through initWithDispatchQueue, so nothing can keep it alive for a pending timer.
    DMSAlarm alarm(scheduler.workerQueue(), "Unowned");
    int fired = 0;
    alarm.runAfterDelay(1, [&] { ++fired; });
    EXPECT_TRUE(alarm.scheduledTimestamp().has_value());
    EXPECT_FALSE(alarm.hasActiveTimer());
    alarm.cancel();
    EXPECT_EQ(alarmCodes(), (std::vector<int64_t>{2002, 2003, 2004}));
    plat::Virtual::advanceBy(2);
    EXPECT_EQ(fired, 0);
}
