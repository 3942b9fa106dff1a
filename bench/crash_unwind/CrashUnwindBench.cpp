// The crash-time unwinder on a real stack: a thread parked about 50 frames deep (a recursion, then the C
// library's qsort calling back), its registers taken by a signal handler as the crash handler takes them,
// walked to its end with "sdk.log" on (as at crash time) and off. And the FDE look-up through the
// ".eh_frame_hdr" binary-search table against a linear scan of the C library's ".eh_frame".

#include "bench/common/CrashContext.hpp"
#include "bench/common/Medians.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/unwind/VZRDwarf.hpp"
#include "crash/unwind/VZRUnwind.hpp"

#include "platform/dispatch/Backend.hpp"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> parked{false};
std::atomic<bool> releaseThread{false};
std::atomic<bool> captured{false};
ucontext_t capturedContext;
VZRThreadState capturedState;
void (*libcSort)(void*, size_t, size_t, int (*)(const void*, const void*)) = nullptr;

__attribute__((noinline)) void park() {
    parked.store(true);
    while (!releaseThread.load(std::memory_order_acquire))
        asm volatile("pause");
}

__attribute__((noinline)) int compare(const void* a, const void* b) {
    if (!parked.load())
        park();
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

__attribute__((noinline)) int recurse(int level) {
    int v = 0;
    if (level == 0) {
        int values[4] = {3, 1, 2, 0};
        libcSort(values, 4, sizeof values[0], compare);
        v = values[0];
    } else {
        v = recurse(level - 1);
    }
    asm volatile("" : "+r"(v));
    return v + 1;
}

void* threadBody(void*) {
    recurse(44);
    return nullptr;
}

void captureHandler(int, siginfo_t*, void* context) {
    std::memcpy(&capturedContext, context, sizeof capturedContext);
    captured.store(true);
}

size_t walk() {
    VZRUnwindCursor cursor;
    VZRUnwindInit(&cursor, &capturedState);
    size_t frames = 0;
    while (VZRUnwindNextFrame(&cursor))
        ++frames;
    return frames;
}

void setLogThreshold(int level) {
    VZRSharedContext().writable.load()->logThreshold.store(level);
}

size_t walkedFrames = 0;

void BM_UnwindWithLog(benchmark::State& state) {
    setLogThreshold(VZRLogLevelDebug);
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        walkedFrames = walk();
        samples.push_back(bench::microsSince(start));
    }
    state.counters["frames"] = static_cast<double>(walkedFrames);
    bench::recordMedian(state, "unwind-log", samples);
}

void BM_UnwindWithoutLog(benchmark::State& state) {
    setLogThreshold(VZRLogLevelError + 1);
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        benchmark::DoNotOptimize(walk());
        samples.push_back(bench::microsSince(start));
    }
    setLogThreshold(VZRLogLevelDebug);
    bench::recordMedian(state, "unwind", samples);
}

// Pcs spread over the C library's text, and its sections.
struct LibcImage {
    VZRBinaryImageNode node;
    std::vector<uintptr_t> pcs;
};

const LibcImage& libc() {
    static const LibcImage image = [] {
        LibcImage out;
        VZRBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(libcSort), &out.node);
        const uintptr_t text = out.node.loadAddress + out.node.textSize / 8;
        for (int i = 0; i < 64; ++i)
            out.pcs.push_back(text + (out.node.textSize * 7 / 8) * static_cast<uintptr_t>(i) / 64);
        return out;
    }();
    return image;
}

// Both look-ups read through a fresh window of pages, as the first frame of a walk in that image does.
bool findWithHeader(uintptr_t pc, VZRDwarfFDE* fde) {
    VZRMemoryWindow memory;
    uintptr_t address = 0;
    uintptr_t ehFrame = 0;
    return VZRDwarfFindFDEInHeader(VZRBinaryImageNodeEhFrameHdr(libc().node), pc, &address, &ehFrame, &memory) &&
           VZRDwarfParseFDERecord(ehFrame, address - ehFrame, fde, &memory);
}

// Every record from the section's start until the FDE that covers the pc (or the terminator).
bool findByScan(uintptr_t pc, VZRDwarfFDE* fde) {
    const uintptr_t ehFrame = VZRBinaryImageNodeEhFrame(libc().node);
    VZRMemoryWindow memory;
    uintptr_t at = ehFrame;
    for (;;) {
        VZRDwarfCursor cursor{at, 0, &memory};
        uint64_t length = 0;
        uint32_t id = 0;
        if (!VZRDwarfReadInitialLength(&cursor, &length) || length == 0)
            return false;
        const uintptr_t next = cursor.position + length;
        if (VZRDwarfReadU32(&cursor, &id) && id != 0 && VZRDwarfParseFDERecord(ehFrame, at - ehFrame, fde, &memory) &&
            pc >= fde->pcBegin && pc - fde->pcBegin < fde->addressRange)
            return true;
        at = next;
    }
}

void lookUp(benchmark::State& state, bool (*find)(uintptr_t, VZRDwarfFDE*), const char* name) {
    setLogThreshold(VZRLogLevelError + 1);
    std::vector<double> samples;
    size_t found = 0;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        for (uintptr_t pc : libc().pcs) {
            VZRDwarfFDE fde;
            found += find(pc, &fde) ? 1 : 0;
        }
        samples.push_back(bench::microsSince(start) / static_cast<double>(libc().pcs.size()));
    }
    setLogThreshold(VZRLogLevelDebug);
    state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
    bench::recordMedian(state, name, samples);
}

void BM_FDEThroughHeader(benchmark::State& state) {
    lookUp(state, findWithHeader, "header");
}

void BM_FDEByLinearScan(benchmark::State& state) {
    lookUp(state, findByScan, "scan");
}

BENCHMARK(BM_UnwindWithLog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnwindWithoutLog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FDEThroughHeader)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FDEByLinearScan)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    if (!bench::startCrashContext("bench_crash_unwind", nullptr)) {
        std::fprintf(stderr, "cannot start the crash-time context\n");
        return 1;
    }
    void* handle = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    libcSort = handle ? reinterpret_cast<decltype(libcSort)>(dlsym(handle, "qsort")) : nullptr;
    if (!libcSort)
        return 1;
    struct sigaction action {};
    action.sa_sigaction = captureHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGUSR1, &action, nullptr);
    pthread_t thread;
    pthread_create(&thread, nullptr, threadBody, nullptr);
    while (!parked.load())
        std::this_thread::yield();
    pthread_kill(thread, SIGUSR1);
    while (!captured.load())
        std::this_thread::yield();
    VZRThreadStateFromUContext(&capturedContext, &capturedState);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    releaseThread.store(true);
    pthread_join(thread, nullptr);
    auto& m = bench::medians();
    if (m.count("unwind-log") && m.count("unwind") && m.count("header") && m.count("scan")) {
        std::printf("one thread of %zu frames: %.1f us with sdk.log on, %.1f us with it off (goal <= 1000 us)\n",
                    walkedFrames, m["unwind-log"], m["unwind"]);
        std::printf("FDE look-up in the C library: %.2f us through .eh_frame_hdr, %.1f us by linear scan: %.0fx "
                    "(goal >= 50x)\n",
                    m["header"], m["scan"], m["scan"] / m["header"]);
    }
    return 0;
}
