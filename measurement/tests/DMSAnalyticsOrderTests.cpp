// Events logged from several real threads at once reach the controller in the order of their time stamps.

#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using dms::test::EngineFixture;

class DMSAnalyticsOrder : public EngineFixture {};

TEST_F(DMSAnalyticsOrder, EventsFromTwoThreadsArriveInTimestampOrder) {
    makeBundle();
    DMSAnalytics::startWithAppID(dms::test::kEngineAppID, "fa", {});
    DMSAnalytics::serialQueue()->sync([] {});
    // Touched only on the serial queue, where listeners run. The first open's own events are not counted.
    std::vector<double> timestamps;
    DMSAnalytics::addLogEventListener([&](const DMSEvent& event) {
        if (event.name() == "_one" || event.name() == "_two") {
            timestamps.push_back(event.timestamp());
        }
    });
    constexpr int kPerThread = 200;
    auto logMany = [](const std::string& name) {
        for (int i = 0; i < kPerThread; ++i) {
            DMSAnalytics::logInternalEventWithOrigin("vzx", name, {{"i", plat::Value(int64_t{i})}});
        }
    };
    std::thread first(logMany, "_one");
    std::thread second(logMany, "_two");
    first.join();
    second.join();
    DMSAnalytics::operationQueue()->waitUntilAllOperationsAreFinished();
    DMSAnalytics::serialQueue()->sync([] {});
    ASSERT_TRUE(DMSMeasurement::hasSharedInstance());
    DMSMeasurement::sharedInstance()->scheduler().dispatchSyncOnWorkerQueueBlockID("DMSAnalyticsOrder:1", [] {});
    ASSERT_EQ(timestamps.size(), static_cast<size_t>(2 * kPerThread));
    EXPECT_TRUE(std::is_sorted(timestamps.begin(), timestamps.end()));
}

} // namespace
