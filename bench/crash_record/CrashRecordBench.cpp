// A 64 KiB crash record of hex fields written through the record writer (buffered, as the log files are,
// and unbuffered, as the crash handlers write), against its natural baseline: one write() of the same
// bytes, formatted beforehand. Every variant opens, writes and closes the file, so the ratios show what the
// writer's formatting and its write calls cost on top of the bytes themselves.

#include "bench/common/Medians.hpp"

#include "crash/capture/VZRFile.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kRecordBytes = 64 * 1024;
constexpr size_t kMessageBytes = 48;

std::string recordPath() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_crash_record." + std::to_string(::getpid());
}

// The messages whose hex form fills the record: arbitrary bytes, as user log lines are.
const std::vector<std::string>& messages() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> out;
        size_t estimated = 0;
        for (unsigned i = 0; estimated < kRecordBytes; ++i) {
            std::string m(kMessageBytes, '\0');
            for (size_t j = 0; j < m.size(); ++j)
                m[j] = static_cast<char>((i * 131 + j * 7) & 0xff);
            out.push_back(m);
            estimated += 2 * kMessageBytes + 40; // hex text plus the line around it
        }
        return out;
    }();
    return all;
}

void writeRecord(VZRFile* file) {
    uint64_t time = 1700000000000;
    for (const std::string& m : messages()) {
        VZRFileBeginSection(file, "log");
        VZRFileBeginObject(file);
        VZRFileWriteUnsignedField(file, "time", time++);
        VZRFileWriteHexField(file, "msg", m.data(), m.size());
        VZRFileEndObject(file);
        VZRFileEndSection(file);
    }
}

// The same bytes, formatted once through the writer.
const std::string& preformatted() {
    static const std::string bytes = [] {
        const std::string path = recordPath() + ".pre";
        VZRFile file;
        VZRFileInitWithPathMode(&file, path.c_str(), false, true);
        writeRecord(&file);
        VZRFileClose(&file);
        std::string out;
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            char buffer[8192];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                out.append(buffer, n);
            std::fclose(f);
        }
        ::unlink(path.c_str());
        return out;
    }();
    return bytes;
}

void BM_Writer(benchmark::State& state, bool buffered, const char* name) {
    const std::string path = recordPath();
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        VZRFile file;
        VZRFileInitWithPathMode(&file, path.c_str(), false, buffered);
        writeRecord(&file);
        uint64_t total = 0;
        VZRFileCloseWithOffset(&file, &total);
        samples.push_back(bench::microsSince(start));
        benchmark::DoNotOptimize(total);
    }
    ::unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * preformatted().size()));
    bench::recordMedian(state, name, samples);
}

void BM_BufferedWriter(benchmark::State& state) {
    BM_Writer(state, true, "buffered");
}

void BM_UnbufferedWriter(benchmark::State& state) {
    BM_Writer(state, false, "unbuffered");
}

void BM_OneWrite(benchmark::State& state) {
    const std::string path = recordPath();
    const std::string& bytes = preformatted();
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        ::close(fd);
        samples.push_back(bench::microsSince(start));
        benchmark::DoNotOptimize(n);
    }
    ::unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    bench::recordMedian(state, "write", samples);
}

BENCHMARK(BM_OneWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BufferedWriter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnbufferedWriter)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& m = bench::medians();
    if (m.count("write") && m.count("buffered") && m.count("unbuffered")) {
        std::printf("record of %zu bytes: one write() %.1f us, buffered writer %.1f us, unbuffered writer %.1f us\n",
                    preformatted().size(), m["write"], m["buffered"], m["unbuffered"]);
        std::printf("ratio to one write(): buffered %.2fx (goal <= 1.5x), unbuffered %.2fx\n",
                    m["buffered"] / m["write"], m["unbuffered"] / m["write"]);
    }
    return 0;
}
