// With real threads: completions run on the centre's own thread, never the main thread, and a scheduled
// request arrives in real time on the main queue.

#include <gtest/gtest.h>

#include <atomic>

#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

namespace plat {
namespace {

TEST(UNThreaded, CompletionsRunOffTheMainThreadAndRequestsFireInRealTime) {
    ASSERT_TRUE(Thread::isMainThread());
    auto center = UNUserNotificationCenter::currentNotificationCenter();
    sim::Notifications::setAuthorizationStatus(UNAuthorizationStatus::authorized, 7);

    DispatchSemaphore answered(0);
    std::atomic<bool> onMain{true};
    std::atomic<bool> onQueue{false};
    center->getNotificationSettingsWithCompletionHandler([&](UNNotificationSettings) {
        onMain = Thread::isMainThread();
        onQueue = center->queue()->isCurrent();
        answered.signal();
    });
    ASSERT_TRUE(answered.wait(10));
    EXPECT_FALSE(onMain);
    EXPECT_TRUE(onQueue);

    auto content = UNMutableNotificationContent::make();
    content->setBody("soon");
    center->addNotificationRequest(UNNotificationRequest::requestWithIdentifier(
        "soon", content.get(), UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(0.05, false)));
    EXPECT_EQ(sim::Notifications::fireDueRequests(), 0u) << "not due yet";
    EXPECT_TRUE(
        MainLoop::runUntil([] { return sim::Notifications::deliveredNotification("soon") != nullptr; }, 10));
}

} // namespace
} // namespace plat
