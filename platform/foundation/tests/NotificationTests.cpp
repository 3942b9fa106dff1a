#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/NotificationQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace plat;

namespace {

int senderA, senderB;

TEST(NotificationCenterTest, DeliversByNameAndSenderInRegistrationOrder) {
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver(std::string("N"), nullptr, nullptr,
                       [&](const Notification&) { calls.push_back("name"); });
    center.addObserver(std::nullopt, &senderA, nullptr,
                       [&](const Notification&) { calls.push_back("senderA"); });
    center.addObserver(std::nullopt, nullptr, nullptr,
                       [&](const Notification& n) { calls.push_back("any:" + n.name); });
    center.addObserver(std::string("N"), &senderB, nullptr,
                       [&](const Notification&) { calls.push_back("N+B"); });

    center.post("N", &senderA, Dictionary{{"k", Value(1)}});
    EXPECT_EQ(calls, (std::vector<std::string>{"name", "senderA", "any:N"}));
    calls.clear();
    center.post("M", &senderB);
    EXPECT_EQ(calls, (std::vector<std::string>{"any:M"}));
    calls.clear();
    center.post("N", &senderB);
    EXPECT_EQ(calls, (std::vector<std::string>{"name", "any:N", "N+B"}));
}

TEST(NotificationCenterTest, UserInfoReachesTheObserver) {
    NotificationCenter center;
    Dictionary seen;
    center.addObserver(std::string("N"), nullptr, nullptr, [&](const Notification& n) { seen = n.userInfo; });
    center.post("N", nullptr, Dictionary{{"k", Value("v")}});
    EXPECT_EQ(seen.find("k")->asString(), "v");
}

TEST(NotificationCenterTest, RemovalDuringAPostTakesEffectAtOnce) {
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::Token second, self;
    self = center.addObserver(std::string("N"), nullptr, nullptr, [&](const Notification&) {
        calls.push_back("first");
        center.removeObserver(self);   // itself
        center.removeObserver(second); // one later in this very post
    });
    second = center.addObserver(std::string("N"), nullptr, nullptr,
                                [&](const Notification&) { calls.push_back("second"); });
    center.addObserver(std::string("N"), nullptr, nullptr,
                       [&](const Notification&) { calls.push_back("third"); });
    center.post("N");
    center.post("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "third", "third"}));
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, ObserversMayAddAndPostReentrantly) {
    NotificationCenter center;
    std::vector<std::string> calls;
    bool added = false;
    center.addObserver(std::string("outer"), nullptr, nullptr, [&](const Notification&) {
        calls.push_back("outer");
        if (!added) {
            added = true;
            // Joins from the next post on, not this one.
            center.addObserver(std::string("outer"), nullptr, nullptr,
                               [&](const Notification&) { calls.push_back("late"); });
        }
        center.post("inner");
    });
    center.addObserver(std::string("inner"), nullptr, nullptr,
                       [&](const Notification&) { calls.push_back("inner"); });
    center.post("outer");
    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner"}));
    calls.clear();
    center.post("outer");
    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner", "late"}));
}

TEST(NotificationCenterTest, OwnerKeyedObserversAreRemovedTogether) {
    NotificationCenter center;
    int owner1, owner2;
    std::vector<std::string> calls;
    center.addObserver(&owner1, std::string("A"), nullptr,
                       [&](const Notification&) { calls.push_back("1A"); });
    center.addObserver(&owner1, std::string("B"), nullptr,
                       [&](const Notification&) { calls.push_back("1B"); });
    center.addObserver(&owner1, std::string("B"), &senderA,
                       [&](const Notification&) { calls.push_back("1B@A"); });
    center.addObserver(&owner2, std::string("A"), nullptr,
                       [&](const Notification&) { calls.push_back("2A"); });

    center.removeObserver(&owner1, std::string("B"), &senderA);
    center.post("B", &senderA);
    EXPECT_EQ(calls, (std::vector<std::string>{"1B"}));
    calls.clear();
    center.removeObserver(&owner1);
    center.post("A");
    center.post("B");
    EXPECT_EQ(calls, (std::vector<std::string>{"2A"}));
}

TEST(NotificationCenterTest, QueueObserversRunOnTheirQueueBeforePostReturns) {
    NotificationCenter center;
    auto queue = OperationQueue::create("observer-queue");
    std::shared_ptr<OperationQueue> ranOn;
    bool ran = false;
    center.addObserver(std::string("N"), nullptr, queue, [&](const Notification&) {
        ran = true;
        ranOn = OperationQueue::current();
    });
    center.post("N");
    EXPECT_TRUE(ran);
    EXPECT_EQ(ranOn, queue);

    // Posting from the observer's own queue runs it inline instead of waiting on itself.
    int inner = 0;
    center.addObserver(std::string("inner"), nullptr, queue, [&](const Notification&) { ++inner; });
    queue->addOperationWithBlock([&] { center.post("inner"); });
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(inner, 1);
}

TEST(NotificationCenterTest, MainQueueObserverPostedFromMainRunsInline) {
    NotificationCenter center;
    int calls = 0;
    center.addObserver(std::string("N"), nullptr, OperationQueue::main(),
                       [&](const Notification&) { ++calls; });
    center.post("N");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, ConcurrentAddRemoveAndPostAreSafe) {
    NotificationCenter center;
    std::atomic<int> delivered{0};
    auto stable =
        center.addObserver(std::string("N"), nullptr, nullptr, [&](const Notification&) { ++delivered; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&center, t] {
            for (int i = 0; i < 300; ++i) {
                if (t % 2 == 0) {
                    auto token =
                        center.addObserver(std::string("N"), nullptr, nullptr, [](const Notification&) {});
                    center.removeObserver(token);
                } else {
                    center.post("N");
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(delivered.load(), 600);
    center.removeObserver(stable);
    EXPECT_EQ(center.observerCount(), 0u);
}

class NotificationQueueTest : public ::testing::Test {
protected:
    NotificationCenter center;
    NotificationQueue queue{center};
    std::vector<std::string> posted;
    void SetUp() override {
        center.addObserver(std::nullopt, nullptr, nullptr, [this](const Notification& n) {
            std::string entry = n.name;
            if (const Value* v = n.userInfo.find("v"))
                entry += "=" + v->stringValue();
            posted.push_back(entry);
        });
    }
};

TEST_F(NotificationQueueTest, AsapPostsOnTheNextTurnOfTheMainLoop) {
    queue.enqueue({"A", nullptr, {}}, PostingStyle::asap, NotificationNoCoalescing);
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(queue.pendingCount(), 1u);
    Virtual::runUntilIdle();
    EXPECT_EQ(posted, (std::vector<std::string>{"A"}));
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST_F(NotificationQueueTest, CoalescingKeepsOneOfTheMatchingNotifications) {
    for (int i = 1; i <= 3; ++i)
        queue.enqueue({"Same", &senderA, {{"v", Value(i)}}}, PostingStyle::asap,
                      NotificationCoalescingOnName);
    queue.enqueue({"Other", &senderA, {}}, PostingStyle::asap, NotificationCoalescingOnName);
    // On sender: a different name from the same sender replaces the queued ones of that sender.
    queue.enqueue({"FromB", &senderB, {}}, PostingStyle::asap, NotificationNoCoalescing);
    queue.enqueue({"FromB2", &senderB, {}}, PostingStyle::asap, NotificationCoalescingOnSender);
    // Name and sender together: only an exact match coalesces.
    queue.enqueue({"Both", &senderA, {{"v", Value(1)}}}, PostingStyle::asap, NotificationNoCoalescing);
    queue.enqueue({"Both", &senderB, {{"v", Value(2)}}}, PostingStyle::asap);
    queue.enqueue({"Both", &senderB, {{"v", Value(3)}}}, PostingStyle::asap);
    Virtual::runUntilIdle();
    EXPECT_EQ(posted, (std::vector<std::string>{"Same=3", "Other", "FromB2", "Both=1", "Both=3"}));
}

TEST_F(NotificationQueueTest, WhenIdleComesAfterAsapAndNowIsImmediateOnMain) {
    queue.enqueue({"idle", nullptr, {}}, PostingStyle::whenIdle);
    queue.enqueue({"asap", nullptr, {}}, PostingStyle::asap);
    queue.enqueue({"now", nullptr, {}}, PostingStyle::now);
    EXPECT_EQ(posted, (std::vector<std::string>{"now"}));
    Virtual::runUntilIdle();
    EXPECT_EQ(posted, (std::vector<std::string>{"now", "asap", "idle"}));
}

TEST_F(NotificationQueueTest, DequeueDropsWhatIsPending) {
    queue.enqueue({"A", nullptr, {}}, PostingStyle::asap);
    queue.enqueue({"B", nullptr, {}}, PostingStyle::whenIdle);
    queue.dequeueNotificationsMatching({"A", nullptr, {}}, NotificationCoalescingOnName);
    Virtual::runUntilIdle();
    EXPECT_EQ(posted, (std::vector<std::string>{"B"}));
}

} // namespace
