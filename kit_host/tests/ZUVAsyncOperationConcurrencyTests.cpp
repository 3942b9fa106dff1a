// The compound operation under real threads: sub-operations that end on threads of their own, in any
// order and also while the compound operation is cancelled, give exactly one completion.

#include "kit_host/ZUVAsyncOperation.hpp"
#include "kit_host/tests/ScriptedOperation.hpp"

#include "platform/dispatch/OperationQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct CompoundRun {
    std::shared_ptr<ZUVCompoundOperation> compound = ZUVCompoundOperation::create();
    std::vector<std::shared_ptr<ScriptedOperation>> subs;
    std::atomic<int> completions{0};
    std::atomic<int64_t> lastCode{1};

    explicit CompoundRun(int count) {
        std::vector<std::shared_ptr<ZUVAsyncOperation>> ops;
        for (int i = 0; i < count; ++i) {
            subs.push_back(ScriptedOperation::waiting());
            ops.push_back(subs.back());
        }
        compound->setOperations(ops);
        compound->setAsyncCompletion([this](const std::optional<plat::Error>& e) {
            lastCode.store(e ? e->code : 0);
            completions.fetch_add(1);
        });
    }
    void waitUntilSubsRun() {
        for (auto& s : subs)
            while (s->mainRuns.load() == 0 && !s->isFinished())
                std::this_thread::yield();
    }
};

TEST(ZUVAsyncOperationConcurrency, SubOperationsEndingOnManyThreadsCompleteOnce) {
    auto queue = plat::OperationQueue::create();
    for (int round = 0; round < 40; ++round) {
        CompoundRun run(6);
        queue->addOperation(run.compound);
        run.waitUntilSubsRun();
        std::vector<std::thread> threads;
        for (size_t i = 0; i < run.subs.size(); ++i)
            threads.emplace_back([&run, i] {
                run.subs[i]->finishWithError(i % 3 == 0 ? std::optional(plat::Error("sub", int64_t(i))) : std::nullopt);
            });
        for (auto& t : threads)
            t.join();
        run.compound->waitUntilFinished();
        queue->waitUntilAllOperationsAreFinished();
        EXPECT_EQ(run.completions.load(), 1) << "round " << round;
        EXPECT_EQ(run.lastCode.load(), -3);
        EXPECT_EQ(run.compound->errors().size(), 2u);
    }
}

TEST(ZUVAsyncOperationConcurrency, CancellingWhileSubOperationsEndCompletesOnce) {
    auto queue = plat::OperationQueue::create();
    for (int round = 0; round < 40; ++round) {
        CompoundRun run(4);
        queue->addOperation(run.compound);
        run.waitUntilSubsRun();
        std::vector<std::thread> threads;
        for (size_t i = 0; i < run.subs.size(); ++i)
            threads.emplace_back([&run, i] { run.subs[i]->finishWithError(std::nullopt); });
        threads.emplace_back([&run] { run.compound->cancel(); });
        for (auto& t : threads)
            t.join();
        run.compound->waitUntilFinished();
        queue->waitUntilAllOperationsAreFinished();
        EXPECT_EQ(run.completions.load(), 1) << "round " << round;
        EXPECT_TRUE(run.lastCode.load() == 0 || run.lastCode.load() == -2) << run.lastCode.load();
    }
}

} // namespace
