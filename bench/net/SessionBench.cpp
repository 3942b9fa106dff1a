// URLSession against raw libcurl on the same loopback devserver: one small GET at a time (latency, against
// a bare request and one with the session's headers), 200 at once (throughput) and a 100 MB download to a
// file.

#include "bench/common/ForkedServer.hpp"
#include "bench/common/Medians.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/net/URLSession.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::ForkedServer;

constexpr uint64_t kBigSize = 100ull * 1024 * 1024;

ForkedServer& server() {
    static ForkedServer instance;
    return instance;
}

std::string url(const char* path) {
    return "http://127.0.0.1:" + std::to_string(server().port()) + path;
}

std::shared_ptr<plat::URLSession> session() {
    static auto s = plat::URLSession::make(plat::URLSessionConfiguration::ephemeral());
    return s;
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

double timedSessionGet(const plat::URLRequest& request) {
    const auto start = bench::Clock::now();
    plat::DispatchSemaphore done(0);
    session()->dataTask(request, [&](auto, auto, auto) { done.signal(); })->resume();
    done.wait();
    return bench::microsSince(start);
}

double timedEasyGet(CURL* easy) {
    const auto start = bench::Clock::now();
    curl_easy_perform(easy);
    return bench::microsSince(start);
}

void BM_SessionSmallGet(benchmark::State& state) {
    const auto request = plat::URLRequest(*plat::URL::parse(url("/small")));
    std::vector<double> samples;
    for (auto _ : state)
        samples.push_back(timedSessionGet(request));
    bench::recordMedian(state, "session", samples);
}
BENCHMARK(BM_SessionSmallGet)->Iterations(1000)->UseRealTime();

void BM_CurlEasySmallGet(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    const std::string target = url("/small");
    curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    std::vector<double> samples;
    for (auto _ : state)
        samples.push_back(timedEasyGet(easy));
    curl_easy_cleanup(easy);
    bench::recordMedian(state, "easy", samples);
}
BENCHMARK(BM_CurlEasySmallGet)->Iterations(1000)->UseRealTime();

// The same, asking for what a session asks for. The session always offers gzip and deflate, and the
// server then compresses even a two-byte body; the bare request above skips that work on both ends.
struct SameHeadersEasy {
    SameHeadersEasy() : easy(curl_easy_init()), target(url("/small")) {
        headers = curl_slist_append(nullptr, "Accept: */*");
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    }
    ~SameHeadersEasy() {
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
    CURL* easy;
    std::string target;
    curl_slist* headers = nullptr;
};

void BM_CurlEasySmallGetSameHeaders(benchmark::State& state) {
    SameHeadersEasy same;
    std::vector<double> samples;
    for (auto _ : state)
        samples.push_back(timedEasyGet(same.easy));
    bench::recordMedian(state, "easy-same", samples);
}
BENCHMARK(BM_CurlEasySmallGetSameHeaders)->Iterations(1000)->UseRealTime();

// The goal's pair taken in turns, one request of each per iteration: a change of load on the shared machine
// then weighs on both alike, which back-to-back runs of 1000 each do not ensure.
void BM_InterleavedSmallGet(benchmark::State& state) {
    const auto request = plat::URLRequest(*plat::URL::parse(url("/small")));
    SameHeadersEasy same;
    std::vector<double> ours;
    std::vector<double> baseline;
    for (auto _ : state) {
        ours.push_back(timedSessionGet(request));
        baseline.push_back(timedEasyGet(same.easy));
    }
    bench::recordMedian(state, "session-interleaved", ours);
    bench::medians()["easy-same-interleaved"] = bench::median(baseline);
    state.counters["baseline_median_us"] = bench::median(baseline);
}
BENCHMARK(BM_InterleavedSmallGet)->Iterations(1000)->UseRealTime();

void BM_Session200Concurrent(benchmark::State& state) {
    const auto request = plat::URLRequest(*plat::URL::parse(url("/small")));
    for (auto _ : state) {
        plat::DispatchSemaphore done(0);
        std::atomic<int> left{200};
        for (int i = 0; i < 200; ++i)
            session()
                ->dataTask(request,
                           [&](auto, auto, auto) {
                               if (--left == 0)
                                   done.signal();
                           })
                ->resume();
        done.wait();
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_Session200Concurrent)->Iterations(20)->UseRealTime();

void BM_CurlMulti200Concurrent(benchmark::State& state) {
    const std::string target = url("/small");
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 4L);
    for (auto _ : state) {
        std::vector<CURL*> handles;
        for (int i = 0; i < 200; ++i) {
            CURL* e = curl_easy_init();
            curl_easy_setopt(e, CURLOPT_URL, target.c_str());
            curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &discard);
            curl_multi_add_handle(multi, e);
            handles.push_back(e);
        }
        int running = 1;
        while (running) {
            curl_multi_perform(multi, &running);
            if (running)
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        for (CURL* e : handles) {
            curl_multi_remove_handle(multi, e);
            curl_easy_cleanup(e);
        }
    }
    curl_multi_cleanup(multi);
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_CurlMulti200Concurrent)->Iterations(20)->UseRealTime();

void BM_SessionDownload100MB(benchmark::State& state) {
    const auto request = plat::URLRequest(*plat::URL::parse(url("/big")));
    for (auto _ : state) {
        plat::DispatchSemaphore done(0);
        auto task = session()->downloadTask(request, [&](auto, auto, auto) { done.signal(); });
        task->resume();
        done.wait();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_SessionDownload100MB)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CurlDownload100MBToFile(benchmark::State& state) {
    const std::string target = url("/big");
    const std::string path = plat::AppHome::tmp() + "/bench-download.bin";
    for (auto _ : state) {
        FILE* f = std::fopen(path.c_str(), "wb");
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, f);
        curl_easy_perform(easy);
        curl_easy_cleanup(easy);
        std::fclose(f);
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_CurlDownload100MBToFile)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // First, while this process has no thread yet.
    const bool serving = server().start([](devserver::Server& s) {
        s.route("GET", "/small", devserver::Reply::text(200, "ok"));
        s.route("GET", "/big", devserver::Reply::generated(kBigSize));
    });
    if (!serving)
        return 1;
    char home[] = "/tmp/portal-bench-XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    plat::AppHome::configure(std::string(home) + "/home");
    (void)plat::AppHome::createFolders();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::printLatencyRatios("session", "URLSession");
    return 0;
}
