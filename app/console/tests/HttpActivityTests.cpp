// The console's view of the HTTP client: a request is running from its resume until it completes or is
// suspended, told apart by task identifier, whatever thread the notification comes from.

#include <gtest/gtest.h>

#include "Zavorida/Source/RequestBuilding.hpp"
#include "app/console/HttpActivity.hpp"
#include "platform/foundation/NotificationCenter.hpp"

#include <thread>

namespace console {
namespace {

void post(const char* name, int64_t task) {
    plat::Dictionary info;
    info.set(Zavorida::Notification::Key::task, plat::Value(task));
    plat::NotificationCenter::defaultCenter().post(name, nullptr, std::move(info));
}

TEST(HttpActivity, BusyFromResumeUntilEveryRequestCompletesOrIsSuspended) {
    namespace Name = Zavorida::Notification::Name::Task;
    HttpActivity activity;
    EXPECT_FALSE(activity.busy());

    post(Name::didResume, 1);
    post(Name::didResume, 2);
    EXPECT_TRUE(activity.busy());
    post(Name::didComplete, 1);
    EXPECT_TRUE(activity.busy()) << "task 2 still runs";
    // Completions arrive on the session's delegate queue, not the main thread.
    std::thread([] { post(Name::didSuspend, 2); }).join();
    EXPECT_FALSE(activity.busy()) << "a suspended request will not finish by itself";

    post(Name::didResume, 2);
    post(Name::didCancel, 2);
    EXPECT_TRUE(activity.busy()) << "a cancelled request still reports its completion";
    post(Name::didComplete, 2);
    EXPECT_FALSE(activity.busy());
    EXPECT_EQ(activity.changes(), 6u) << "every notification but the cancel counts as activity";
}

// The request posts its resume after asking the task to resume; a fast task can complete on the delegate
// queue before that, and the late resume must not leave the console waiting for a request that has ended.
TEST(HttpActivity, AResumePostedAfterItsTaskCompletedIsNotRunning) {
    namespace Name = Zavorida::Notification::Name::Task;
    HttpActivity activity;
    std::thread([] { post(Name::didComplete, 7); }).join();
    post(Name::didResume, 7);
    EXPECT_FALSE(activity.busy());
    post(Name::didResume, 8);
    EXPECT_TRUE(activity.busy()) << "another task still counts";
}

TEST(HttpActivity, StopsListeningWhenDestroyed) {
    const auto before = plat::NotificationCenter::defaultCenter().observerCount();
    { HttpActivity activity; }
    EXPECT_EQ(plat::NotificationCenter::defaultCenter().observerCount(), before);
}

} // namespace
} // namespace console
