// The asynchronous operation base and the compound operation on the virtual backend: flag changes and
// their notifications, cancellation before start, the lock's name, and how a compound operation of
// several sub-operations completes once with the right aggregated error.

#include "kit_host/ZUVAsyncOperation.hpp"
#include "kit_host/tests/ScriptedOperation.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using plat::Virtual;

struct CompletionLog {
    std::vector<std::optional<plat::Error>> calls;
    ZUVAsyncOperation::AsyncCompletion block() {
        return [this](const std::optional<plat::Error>& e) { calls.push_back(e); };
    }
};

TEST(ZUVAsyncOperation, FlagNotificationsComeInOrderAndMayReadTheFlags) {
    auto op = ScriptedOperation::waiting();
    std::vector<std::string> seen;
    for (const char* key : {"isExecuting", "isFinished"}) {
        op->observe(key, [&seen, op = op.get()](plat::Operation&, const plat::KeyChange& change) {
            if (change.prior)
                return;
            // Re-entering the recursive lock from the notifying thread must work.
            const bool value = change.key == "isExecuting" ? op->isExecuting() : op->isFinished();
            seen.push_back(change.key + "=" + (value ? "true" : "false"));
        });
    }
    auto queue = plat::OperationQueue::create();
    queue->addOperation(op);
    Virtual::runUntilIdle();
    EXPECT_EQ(op->mainRuns.load(), 1);
    EXPECT_TRUE(op->isExecuting());
    EXPECT_FALSE(op->isFinished());
    EXPECT_EQ(queue->operationCount(), 1u) << "main returned, but the operation has not reported its end";

    op->finishWithError(std::nullopt);
    Virtual::runUntilIdle();
    EXPECT_EQ(seen, (std::vector<std::string>{"isExecuting=true", "isExecuting=false", "isFinished=true"}));
    EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(ZUVAsyncOperation, CancelledBeforeStartFinishesWithoutMainOrCompletion) {
    auto op = ScriptedOperation::succeeding();
    CompletionLog log;
    op->setAsyncCompletion(log.block());
    op->cancel();
    op->start();
    EXPECT_TRUE(op->isFinished());
    EXPECT_FALSE(op->isExecuting());
    EXPECT_EQ(op->mainRuns.load(), 0);
    EXPECT_TRUE(log.calls.empty());
}

TEST(ZUVAsyncOperation, FinishWithErrorCallsTheCompletionFirstAndWorksWithoutOne) {
    auto op = ScriptedOperation::waiting();
    op->start();
    bool finishedWhenCalled = true;
    op->setAsyncCompletion([&](const std::optional<plat::Error>& e) {
        finishedWhenCalled = op->isFinished();
        EXPECT_EQ(e->code, 7);
    });
    op->finishWithError(plat::Error("d", 7));
    EXPECT_FALSE(finishedWhenCalled);
    EXPECT_TRUE(op->isFinished());

    auto bare = ScriptedOperation::waiting();
    bare->start();
    bare->finishWithError(plat::Error("d", 1));
    EXPECT_TRUE(bare->isFinished());
    EXPECT_FALSE(bare->isExecuting());
}

TEST(ZUVAsyncOperation, TheLockIsNamedAfterTheClass) {
    ScriptedOperation op(true, std::nullopt, "ZUVOnboardingOperation");
    EXPECT_EQ(op.lockObject().name(), "com.ruzovid.ZUVOnboardingOperation-lock");
    EXPECT_EQ(ZUVAsyncOperation().lockObject().name(), "com.ruzovid.ZUVAsyncOperation-lock");
    EXPECT_TRUE(op.isAsynchronous());
    EXPECT_TRUE(op.isConcurrent());
}

class CompoundOperationTest : public ::testing::Test {
protected:
    std::shared_ptr<ZUVCompoundOperation> compound = ZUVCompoundOperation::create();
    std::shared_ptr<plat::OperationQueue> queue = plat::OperationQueue::create();
    CompletionLog log;

    void SetUp() override {
        compound->setName("group");
        compound->setAsyncCompletion(log.block());
    }
};

TEST_F(CompoundOperationTest, OneFailureGivesOneAggregatedErrorAfterTheLastSubOperation) {
    auto a = ScriptedOperation::succeeding();
    auto b = ScriptedOperation::failing(plat::Error("sub", 42, plat::Dictionary{{"k", plat::Value("v")}}));
    auto c = ScriptedOperation::waiting();
    std::vector<std::string> previous;
    b->setAsyncCompletion([&](const std::optional<plat::Error>& e) {
        previous.push_back(e ? "b failed" : "b ok");
        EXPECT_TRUE(compound->countingQueue()->isCurrent());
    });
    compound->setOperations({a, b, c});
    queue->addOperation(compound);
    Virtual::runUntilIdle();
    EXPECT_TRUE(log.calls.empty()) << "the third sub-operation is still running";
    EXPECT_EQ(previous, std::vector<std::string>{"b failed"});

    c->finishWithError(std::nullopt);
    Virtual::runUntilIdle();
    ASSERT_EQ(log.calls.size(), 1u);
    ASSERT_TRUE(log.calls[0]);
    const plat::Error& e = *log.calls[0];
    EXPECT_EQ(e.domain, "com.ruzovid.ZUVCompoundOperation.error");
    EXPECT_EQ(e.code, -3);
    auto underlying = ZUVCompoundOperation::underlyingErrors(e);
    ASSERT_EQ(underlying.size(), 1u);
    EXPECT_TRUE(underlying[0].is("sub", 42));
    EXPECT_EQ(underlying[0].userInfoValue("k")->stringValue(), "v");
    EXPECT_TRUE(compound->isFinished());
    EXPECT_EQ(compound->completedOperations(), 2u);
}

TEST_F(CompoundOperationTest, AllSucceedingGivesNilOnce) {
    compound->setOperations({ScriptedOperation::succeeding(), ScriptedOperation::succeeding(),
                             ScriptedOperation::succeeding()});
    queue->addOperation(compound);
    Virtual::runUntilIdle();
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_FALSE(log.calls[0]);
    EXPECT_TRUE(compound->isFinished());
}

TEST_F(CompoundOperationTest, AnEmptyListFinishesAtOnceWithoutError) {
    queue->addOperation(compound);
    Virtual::runUntilIdle();
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_FALSE(log.calls[0]);
    EXPECT_TRUE(compound->isFinished());
}

TEST_F(CompoundOperationTest, CancelledBeforeStartRunsNoSubOperationWork) {
    auto a = ScriptedOperation::succeeding();
    auto b = ScriptedOperation::succeeding();
    compound->setOperations({a, b});
    compound->cancel();
    Virtual::runUntilIdle();
    EXPECT_TRUE(a->isFinished());
    EXPECT_TRUE(b->isFinished());
    EXPECT_EQ(a->mainRuns.load() + b->mainRuns.load(), 0);

    queue->addOperation(compound);
    Virtual::runUntilIdle();
    EXPECT_TRUE(compound->isFinished());
    EXPECT_TRUE(log.calls.empty()) << "a cancelled operation that is started calls no completion";
}

TEST_F(CompoundOperationTest, CancelledWhileRunningCompletesOnceWithTheCancelledError) {
    auto a = ScriptedOperation::succeeding();
    auto b = ScriptedOperation::waiting();
    auto c = ScriptedOperation::waiting();
    compound->setOperations({a, b, c});
    queue->addOperation(compound);
    Virtual::runUntilIdle();
    ASSERT_TRUE(b->isExecuting());

    compound->cancel();
    Virtual::runUntilIdle();
    EXPECT_TRUE(log.calls.empty()) << "b and c have not ended yet";

    b->finishWithError(std::nullopt);
    c->finishWithError(plat::Error("sub", 1));
    Virtual::runUntilIdle();
    ASSERT_EQ(log.calls.size(), 1u);
    ASSERT_TRUE(log.calls[0]);
    EXPECT_TRUE(log.calls[0]->is("com.ruzovid.ZUVCompoundOperation.error", -2));
    EXPECT_EQ(log.calls[0]->userInfoValue(plat::NSLocalizedDescriptionKey)->stringValue(), "group cancelled");
    EXPECT_TRUE(compound->isFinished());
}

} // namespace
