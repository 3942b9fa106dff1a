// Serial-queue hand-off throughput: DispatchQueue::async onto a serial queue, against the natural
// baseline of a bare std::mutex + std::condition_variable work queue between two threads; and a sync onto
// an idle serial queue (the block runs on the caller) against a call under a bare std::mutex.

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace {

constexpr int kBatch = 10000;

void BM_SerialQueueAsync(benchmark::State& state) {
    auto q = plat::DispatchQueue::makeSerial("bench.handoff");
    long counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            q->async([&counter] { ++counter; });
        }
        q->sync([] {}); // waits for the batch
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_SerialQueueAsync)->UseRealTime();

// The baseline: one consumer thread draining a deque of tasks guarded by a mutex.
class Baseline {
public:
    Baseline() : consumer_([this] { run(); }) {}
    ~Baseline() {
        post({});
        consumer_.join();
    }
    void post(std::function<void()> fn) {
        {
            std::lock_guard lock(m_);
            items_.push_back(std::move(fn));
        }
        cv_.notify_one();
    }
    void drain() {
        std::mutex doneMutex;
        std::condition_variable doneCv;
        bool done = false;
        post([&] {
            std::lock_guard lock(doneMutex);
            done = true;
            doneCv.notify_one();
        });
        std::unique_lock lock(doneMutex);
        doneCv.wait(lock, [&] { return done; });
    }

private:
    void run() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(m_);
                cv_.wait(lock, [&] { return !items_.empty(); });
                fn = std::move(items_.front());
                items_.pop_front();
            }
            if (!fn) {
                return;
            }
            fn();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> items_;
    std::thread consumer_;
};

void BM_MutexConditionVariableHandoff(benchmark::State& state) {
    Baseline baseline;
    long counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            baseline.post([&counter] { ++counter; });
        }
        baseline.drain();
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_MutexConditionVariableHandoff)->UseRealTime();

void BM_SerialQueueSyncOnIdleQueue(benchmark::State& state) {
    auto q = plat::DispatchQueue::makeSerial("bench.sync");
    q->sync([] {}); // the queue exists and is idle, as a long-lived manager queue would be
    long counter = 0;
    for (auto _ : state) {
        q->sync([&counter] { ++counter; });
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialQueueSyncOnIdleQueue)->UseRealTime();

void BM_MutexGuardedCall(benchmark::State& state) {
    std::mutex m;
    long counter = 0;
    std::function<void()> fn = [&counter] { ++counter; };
    for (auto _ : state) {
        std::lock_guard lock(m);
        fn();
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexGuardedCall)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
