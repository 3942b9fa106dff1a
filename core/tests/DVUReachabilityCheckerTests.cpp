// The reachability checker: flags to status, one delegate call per change, start and stop against a fake
// service table, and the device's own service end to end.

#include "core/DVUReachabilityChecker.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/net/SimNetwork.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RecordingReachabilityDelegate : DVUReachabilityDelegate {
    std::vector<DVUReachabilityStatus> heard;
    void reachabilityStatusChanged(DVUReachabilityChecker&, DVUReachabilityStatus status) override {
        heard.push_back(status);
    }
};

// A stand-in service: one reference at a time, whose callback the test fires by hand.
struct FakeReachabilityService {
    static inline DVUReachabilityCallback callback;
    static inline std::vector<std::string> calls;
    static inline bool failSchedule = false;

    static DVUReachabilityRef create(const char* host) {
        calls.push_back(std::string("create ") + host);
        return std::make_shared<int>(1);
    }
    static bool setCallback(const DVUReachabilityRef&, DVUReachabilityCallback cb) {
        calls.push_back("setCallback");
        callback = std::move(cb);
        return true;
    }
    static bool schedule(const DVUReachabilityRef&) {
        calls.push_back("schedule");
        return !failSchedule;
    }
    static bool unschedule(const DVUReachabilityRef&) {
        calls.push_back("unschedule");
        return true;
    }
    static void release(const DVUReachabilityRef&) {
        calls.push_back("release");
        callback = {};
    }
};

constexpr DVUReachabilityApi kFakeReachabilityApi = {
    FakeReachabilityService::create, FakeReachabilityService::setCallback, FakeReachabilityService::schedule,
    FakeReachabilityService::unschedule, FakeReachabilityService::release,
};

class ReachabilityCheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeReachabilityService::calls.clear();
        FakeReachabilityService::callback = {};
        FakeReachabilityService::failSchedule = false;
        checker = DVUReachabilityChecker::initWithReachabilityDelegate(delegate, "measurement.example.test");
        ASSERT_TRUE(checker);
        checker->setReachabilityApi(&kFakeReachabilityApi);
    }
    std::vector<std::string> logged() {
        plat::Virtual::runUntilIdle();
        auto texts = capture.texts();
        plat::sim::SystemLog::clearCaptured();
        return texts;
    }

    plat::sim::SystemLogCapture capture;
    std::shared_ptr<RecordingReachabilityDelegate> delegate = std::make_shared<RecordingReachabilityDelegate>();
    std::shared_ptr<DVUReachabilityChecker> checker;
};

TEST(ReachabilityStatusTest, FlagsToStatus) {
    struct Case {
        uint32_t flags;
        DVUReachabilityStatus status;
    };
    const Case cases[] = {
        {0, 1},                      // nothing
        {2, 2},                      // reachable
        {2 | 262144, 3},             // reachable over the cellular network
        {2 | 4, 1},                  // a connection is required and nothing brings it up
        {2 | 4 | 32 | 16, 1},        // on demand, but the user must act
        {2 | 4 | 8, 2},              // on traffic
        {2 | 4 | 32, 2},             // on demand
        {2 | 4 | 8 | 262144, 3},     // on traffic, cellular
        {262144, 1},                 // cellular bit alone is no reachability
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DVUReachabilityChecker::statusForFlags(c.flags), c.status) << c.flags;
    }
}

TEST_F(ReachabilityCheckerTest, TheDelegateHearsEachChangeOnceAndNothingAfterStop) {
    ASSERT_TRUE(checker->start());
    EXPECT_TRUE(checker->isActive());
    EXPECT_EQ(FakeReachabilityService::calls,
              (std::vector<std::string>{"create measurement.example.test", "setCallback", "schedule"}));
    FakeReachabilityService::callback(2);
    FakeReachabilityService::callback(2 | 4 | 8); // the same status again
    FakeReachabilityService::callback(0);
    EXPECT_EQ(delegate->heard, (std::vector<DVUReachabilityStatus>{2, 1}));
    EXPECT_EQ(checker->reachabilityStatus(), 1);

    // A second start keeps the running reference.
    EXPECT_TRUE(checker->start());
    EXPECT_EQ(FakeReachabilityService::calls.size(), 3u);

    checker->stop();
    EXPECT_FALSE(checker->isActive());
    EXPECT_EQ(checker->reachabilityStatus(), 0);
    EXPECT_EQ(delegate->heard.size(), 2u);
    EXPECT_EQ(FakeReachabilityService::calls.back(), "release");

    // After a new start the delegate hears the status again, even when it is the one it heard last.
    ASSERT_TRUE(checker->start());
    FakeReachabilityService::callback(0);
    EXPECT_EQ(delegate->heard, (std::vector<DVUReachabilityStatus>{2, 1, 1}));
}

TEST_F(ReachabilityCheckerTest, RefusalsKeepTheOldStateAndWriteTheirLines) {
    logged();
    ASSERT_TRUE(checker->start());
    checker->setReachabilityApi(DVUDefaultReachabilityApi());
    EXPECT_EQ(checker->reachabilityApi(), &kFakeReachabilityApi);

    auto stranger = std::make_shared<std::string>("no delegate");
    checker->setReachabilityDelegate(stranger);
    EXPECT_EQ(checker->reachabilityDelegate(), delegate);
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            " - [DVUReachability][I-REA902000] Cannot change reachability API while reachability is "
                            "running. Call stop first.",
                            " - [DVUReachability][I-NET902005] Reachability delegate doesn't conform to "
                            "Reachability protocol."}));

    EXPECT_FALSE(DVUReachabilityChecker::initWithReachabilityDelegate(delegate, ""));
    EXPECT_EQ(logged(), std::vector<std::string>{" - [DVUReachability][I-REA902001] Invalid host specified"});

    // A service that cannot schedule: the reference is given back and the checker stays stopped.
    checker->stop();
    FakeReachabilityService::failSchedule = true;
    EXPECT_FALSE(checker->start());
    EXPECT_FALSE(checker->isActive());
    EXPECT_EQ(FakeReachabilityService::calls.back(), "release");
    EXPECT_EQ(logged(), std::vector<std::string>{" - [DVUReachability][I-REA902002] Failed to start reachability handle"});
}

TEST(ReachabilityDeviceTest, TheDevicesChangesReachTheDelegateOnMain) {
    auto delegate = std::make_shared<RecordingReachabilityDelegate>();
    plat::sim::Network::setReachability(2);
    auto checker = DVUReachabilityChecker::initWithReachabilityDelegate(delegate, "measurement.example.test");
    ASSERT_TRUE(checker && checker->start());
    plat::sim::Network::setReachability(0);
    plat::Virtual::runUntilIdle();
    plat::sim::Network::setReachability(2 | 262144);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(delegate->heard, (std::vector<DVUReachabilityStatus>{1, 3}));

    // Once the checker is gone its service reference is too: nothing reaches the delegate.
    checker.reset();
    plat::sim::Network::setReachability(2);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(delegate->heard.size(), 2u);
}

} // namespace
