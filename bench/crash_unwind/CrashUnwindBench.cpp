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
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

// Spins only until its registers are taken, then sleeps: a thread spinning beside the measured one would take
// half of its CPU when the run is pinned to one. The frames above this one do not change while it sleeps.
__attribute__((noinline)) void park() {
    parked.store(true);
    while (!captured.load(std::memory_order_acquire))
        asm volatile("pause");
    releaseThread.wait(false, std::memory_order_acquire);
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
        // The table's slices are cut on the binary-images queue after the image is added.
        for (int tries = 0; tries < 500; ++tries) {
            if (VZRBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(libcSort), &out.node) &&
                VZRBinaryImageNodePivots(out.node))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const uintptr_t text = out.node.loadAddress + out.node.textSize / 8;
        for (int i = 0; i < 64; ++i)
            out.pcs.push_back(text + (out.node.textSize * 7 / 8) * static_cast<uintptr_t>(i) / 64);
        return out;
    }();
    return image;
}

// Both look-ups read through a fresh window of pages, as the first frame of a walk in that image does, and
// both answer alike: the FDE that covers the pc, parsed with its CIE, or none. The header look-up uses what
// the image list recorded at the image's load, as the unwinder does; also without the table's slices, as it
// did before they were recorded.
bool findWithHeader(uintptr_t pc, VZRDwarfFDE* fde, uint32_t* reads = nullptr, bool slices = true) {
    VZRMemoryWindow memory;
    uintptr_t address = 0;
    uintptr_t ehFrame = 0;
    const VZRBinaryImageNode& node = libc().node;
    const bool found = VZRDwarfFindFDEInHeader(VZRBinaryImageNodeEhFrameHdr(node), pc, &address, &ehFrame, &memory,
                                               node.ehFrameHdrCount,
                                               slices ? VZRBinaryImageNodePivots(node) : nullptr) &&
                       VZRDwarfParseFDERecord(ehFrame, address - ehFrame, fde, &memory) &&
                       pc - fde->pcBegin < fde->addressRange;
    if (reads)
        *reads = memory.reads;
    return found;
}

// Every record from the section's start until the FDE that covers the pc (or the terminator), each read with
// the same record parser.
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

// Both ways must find the same record for every pc before either is timed.
uint32_t headerReads = 0;         // the safe reads of the 64 header look-ups together
uint32_t headerReadsNoSlices = 0; // the same without the table's slices

bool lookUpsAgree() {
    size_t found = 0;
    for (uintptr_t pc : libc().pcs) {
        VZRDwarfFDE byHeader;
        VZRDwarfFDE byScan;
        uint32_t reads = 0;
        const bool header = findWithHeader(pc, &byHeader, &reads);
        headerReads += reads;
        VZRDwarfFDE withoutSlices;
        if (findWithHeader(pc, &withoutSlices, &reads, false) != header ||
            (header && withoutSlices.address != byHeader.address)) {
            std::fprintf(stderr, "the look-ups with and without slices disagree at pc %#lx\n",
                         static_cast<unsigned long>(pc));
            return false;
        }
        headerReadsNoSlices += reads;
        const bool scan = findByScan(pc, &byScan);
        if (header != scan || (header && byHeader.address != byScan.address)) {
            std::fprintf(stderr, "the look-ups disagree at pc %#lx\n", static_cast<unsigned long>(pc));
            return false;
        }
        found += header ? 1 : 0;
    }
    return found > libc().pcs.size() / 2;
}

// The look-ups taken in turns, pc by pc, so that all see the same load on a shared machine; a sample is one
// side's mean over the 64 pcs of one round.
void BM_FDELookUpInTurns(benchmark::State& state) {
    setLogThreshold(VZRLogLevelError + 1);
    std::vector<double> header;
    std::vector<double> noSlices;
    std::vector<double> scan;
    const double n = static_cast<double>(libc().pcs.size());
    for (auto _ : state) {
        double headerTotal = 0;
        double noSlicesTotal = 0;
        double scanTotal = 0;
        for (uintptr_t pc : libc().pcs) {
            VZRDwarfFDE fde;
            auto start = bench::Clock::now();
            benchmark::DoNotOptimize(findWithHeader(pc, &fde));
            headerTotal += bench::microsSince(start);
            start = bench::Clock::now();
            benchmark::DoNotOptimize(findWithHeader(pc, &fde, nullptr, false));
            noSlicesTotal += bench::microsSince(start);
            start = bench::Clock::now();
            benchmark::DoNotOptimize(findByScan(pc, &fde));
            scanTotal += bench::microsSince(start);
        }
        header.push_back(headerTotal / n);
        noSlices.push_back(noSlicesTotal / n);
        scan.push_back(scanTotal / n);
    }
    setLogThreshold(VZRLogLevelDebug);
    bench::recordMedian(state, "scan", scan);
    bench::recordMedian(state, "header-no-slices", noSlices);
    bench::recordMedian(state, "header", header);
    state.counters["scan_us"] = bench::medians()["scan"];
}

// The measuring thread on one CPU of those the run may use, so that samples are not split across CPUs.
void pinToOneCpu() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_setaffinity(0, sizeof one, &one);
            return;
        }
    }
}

BENCHMARK(BM_UnwindWithLog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnwindWithoutLog)->Unit(benchmark::kMicrosecond);
// At least 40 rounds of 64 pcs: the scan takes about a millisecond per pc.
BENCHMARK(BM_FDELookUpInTurns)->Unit(benchmark::kMillisecond)->MinTime(3.0);

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
    pinToOneCpu();
    if (!lookUpsAgree())
        return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    releaseThread.store(true);
    releaseThread.notify_all();
    pthread_join(thread, nullptr);
    auto& m = bench::medians();
    if (m.count("unwind-log") && m.count("unwind"))
        std::printf("one thread of %zu frames: %.1f us with sdk.log on, %.1f us with it off (goal <= 1000 us)\n",
                    walkedFrames, m["unwind-log"], m["unwind"]);
    if (m.count("header") && m.count("header-no-slices") && m.count("scan")) {
        const double n = static_cast<double>(libc().pcs.size());
        std::printf("FDE look-up in the C library, taken in turns: %.2f us through .eh_frame_hdr (%.2f safe reads "
                    "each), %.1f us by linear scan: %.0fx (goal >= 50x); without the table's slices %.2f us (%.2f "
                    "safe reads each): %.0fx\n",
                    m["header"], headerReads / n, m["scan"], m["scan"] / m["header"], m["header-no-slices"],
                    headerReadsNoSlices / n, m["scan"] / m["header-no-slices"]);
    }
    return 0;
}
