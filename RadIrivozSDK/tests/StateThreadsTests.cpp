// The states answered from several threads at once, as the settings queue, the registration queue and the
// network completions do: every field under the state's lock, every observer called outside it (an observer
// that reads the state it was told about would otherwise deadlock).

#include "RadIrivozSDK/Source/RISubscriptionState.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct ReadingObserver final : RIPermissionStateObserver {
    std::atomic<int> notices = 0;
    void onChanged(const std::shared_ptr<RIPermissionState>& state) override {
        // Reads take the state's lock: called under it, this would never return.
        EXPECT_FALSE(state->description().empty());
        ++notices;
    }
};

TEST(StateThreadsTest, ChangesFromManyThreadsReachObserversThatReadTheState) {
    plat::test::TempAppHome home;
    auto permission = RIPermissionState::initAsTo();
    auto subscription = RISubscriptionState::initAsToWithPermision(false);
    subscription->setUserId("player-1");
    subscription->setPushToken("abcd");
    auto reader = std::make_shared<ReadingObserver>();
    permission->observable().addObserver(reader);
    permission->observable().addObserver(subscription);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                permission->setAccepted((i + t) % 2 == 0);
                permission->setProvisional(i % 3 == 0);
                (void)subscription->toDictionary();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_GT(reader->notices.load(), 0);
    permission->setAccepted(false);
    permission->setAccepted(true);
    EXPECT_TRUE(subscription->accpeted()) << "the subscription follows the last answer";
    EXPECT_TRUE(subscription->subscribed());
}

} // namespace
