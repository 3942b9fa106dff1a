#pragma once
// What a request costs besides time, for the latency benchmarks: heap allocations (every malloc, calloc and
// realloc of the process: libcurl's, the C++ library's and ours alike) and context switches of all the
// process's threads: voluntary ones (a thread waits: the hand-offs) apart from involuntary ones (a thread
// preempted, which grows with the machine's load). Include in exactly one source file of a program: it replaces
// the allocator's entry points with counting ones. The server runs in a child process, which is not counted.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

extern "C" {
void* __libc_malloc(std::size_t size) noexcept;
void* __libc_calloc(std::size_t count, std::size_t size) noexcept;
void* __libc_realloc(void* pointer, std::size_t size) noexcept;
}

namespace bench {

inline std::atomic<std::uint64_t>& allocationCount() {
    static std::atomic<std::uint64_t> count{0};
    return count;
}

class RequestCosts {
public:
    RequestCosts() : allocations_(allocationCount().load()), switches_(contextSwitches()) {}

    // Sets the per-request counters for `requests` requests since construction.
    void report(benchmark::State& state, double requests) const {
        state.counters["allocs_per_req"] =
            static_cast<double>(allocationCount().load() - allocations_) / requests;
        const Switches now = contextSwitches();
        state.counters["csw_per_req"] = static_cast<double>(now.voluntary - switches_.voluntary) / requests;
        state.counters["preempted_per_req"] =
            static_cast<double>(now.involuntary - switches_.involuntary) / requests;
    }

private:
    struct Switches {
        long voluntary;
        long involuntary;
    };

    static Switches contextSwitches() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return {usage.ru_nvcsw, usage.ru_nivcsw};
    }

    std::uint64_t allocations_;
    Switches switches_;
};

} // namespace bench

extern "C" {
void* malloc(std::size_t size) noexcept {
    bench::allocationCount().fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    bench::allocationCount().fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) noexcept {
    bench::allocationCount().fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
}
