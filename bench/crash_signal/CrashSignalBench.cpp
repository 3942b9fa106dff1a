// The cost of a crash: the crash probe faults (SIGSEGV) with 1, 8 and 32 parked threads, each 30 frames deep,
// and the time runs from the instant before the fault (the probe writes the monotonic clock into a shared
// page) to the last byte of the record (the handler writes the clock there after closing its file), and on to
// the process's end as waitpid sees it. Runs alternate with the same probe under a minimal handler that
// writes one fixed 256-byte record to a descriptor opened beforehand and lets the signal kill the process.
// "sdk.log" is written as in production. The main-thread stack overflow, whose walk runs to the frame cap,
// is measured on its own.
//
//   bench_crash_signal [RUNS]     (default 15 per case)

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Sample {
    double recordMs = 0;
    double exitMs = 0;
    bool ok = false;
};

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One crash of the probe on a fresh home.
Sample crashOnce(const std::string& command, int threads, bool minimal, const std::string& root, int run) {
    namespace fs = std::filesystem;
    const std::string home = root + "/run" + std::to_string(run);
    fs::remove_all(home);
    fs::create_directories(home);
    const std::string stampPath = home + "/stamp";
    const int fd = ::open(stampPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, 4096) != 0)
        return {};
    auto* stamp = static_cast<volatile int64_t*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    ::close(fd);
    std::vector<std::string> words{CRASH_PROBE, home, command, "--threads", std::to_string(threads), "--depth", "30",
                                   "--stamp", stampPath};
    if (minimal)
        words.push_back("--minimal-handler");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    Sample sample;
    int status = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 && ::waitpid(pid, &status, 0) == pid) {
        const int64_t ended = plat::Clock::monotonicNanos();
        const int64_t before = stamp[0], recorded = stamp[1];
        sample.ok = WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV && before > 0 && recorded > before;
        sample.recordMs = static_cast<double>(recorded - before) / 1e6;
        sample.exitMs = static_cast<double>(ended - before) / 1e6;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::munmap(const_cast<int64_t*>(stamp), 4096);
    fs::remove_all(home);
    return sample;
}

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const char* tmp = std::getenv("TMPDIR");
    const std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_crash_signal." + std::to_string(::getpid());
    int run = 0;
    std::printf("%-8s %-8s %12s %12s %8s %12s %12s\n", "case", "threads", "record ms", "minimal ms", "ratio",
                "exit ms", "min. exit ms");
    for (const int threads : {1, 8, 32}) {
        std::vector<double> record, recordMinimal, exit, exitMinimal;
        int failed = 0;
        for (int i = 0; i < runs; ++i) {
            const Sample full = crashOnce("segv", threads, false, root, run++);
            const Sample minimal = crashOnce("segv", threads, true, root, run++);
            if (!full.ok || !minimal.ok) {
                ++failed;
                continue;
            }
            record.push_back(full.recordMs);
            exit.push_back(full.exitMs);
            recordMinimal.push_back(minimal.recordMs);
            exitMinimal.push_back(minimal.exitMs);
        }
        const double r = median(record), m = median(recordMinimal);
        std::printf("%-8s %-8d %12.3f %12.3f %7.1fx %12.3f %12.3f%s\n", "segv", threads, r, m, m > 0 ? r / m : 0,
                    median(exit), median(exitMinimal), failed ? "  (some runs failed)" : "");
    }
    std::vector<double> overflow, overflowExit;
    for (int i = 0; i < std::min(runs, 3); ++i) {
        const Sample sample = crashOnce("overflow", 0, false, root, run++);
        if (sample.ok) {
            overflow.push_back(sample.recordMs);
            overflowExit.push_back(sample.exitMs);
        }
    }
    std::printf("%-8s %-8d %12.3f %12s %8s %12.3f\n", "overflow", 0, median(overflow), "-", "-", median(overflowExit));
    std::filesystem::remove_all(root);
    return 0;
}
