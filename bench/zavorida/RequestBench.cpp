// Small JSON POSTs through the shared session manager, from the caller to the serialized Result on the main
// queue, against raw libcurl on the same loopback devserver (plain HTTP):
// - one at a time: median latency against an easy handle, bare and sending the headers the manager sends,
//   in runs of their own and taken in turns with the latter;
// - 200 at once: throughput against curl_multi with the session's per-host connection limit;
// - the platform session alone in both (and, 200 at once, through a delegate as the HTTP client uses it), for
//   the share of the time that is not the HTTP client's.
// Ratios are printed at the end (latency: ours / baseline; throughput: ours / baseline).

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Zavorida/Source/SessionManager.hpp"
#include "bench/common/PerSecondReporter.hpp"
#include "bench/common/ForkedServer.hpp"
#include "bench/common/Medians.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/AppHome.hpp"

namespace {

using bench::Clock;
constexpr int kConcurrent = 200;
const std::string kBody = "{\"player-id\":\"3f1c2a9e-7b41-4c55-9e0d-5a8f6b2c1d00\"}";

bench::ForkedServer& server() {
    static bench::ForkedServer instance;
    return instance;
}

std::string url() {
    return "http://127.0.0.1:" + std::to_string(server().port()) + "/api/register";
}

Zavorida::ParameterDictionary parameters() {
    Zavorida::ParameterDictionary p;
    p.set("player-id", plat::Value("3f1c2a9e-7b41-4c55-9e0d-5a8f6b2c1d00"));
    return p;
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

using bench::medians;
using bench::recordMedian;

void sendThroughSharedManager(bool& done) {
    Zavorida::requestWithDefaultSession(url(), Zavorida::HTTPMethod::post, parameters(),
                                        Zavorida::JSONEncoding())
        ->addJSONResponseHandler(nullptr, 0, [&done](const Zavorida::DataResponse<plat::Value>& response) {
            if (!response.result().isSuccess()) {
                std::abort();
            }
            done = true;
        });
}

// One POST through the shared manager, from the call to the Result on the main queue, in microseconds.
double timedManagerPost() {
    const auto start = Clock::now();
    bool done = false;
    sendThroughSharedManager(done);
    if (!plat::MainLoop::runUntil([&] { return done; }, 10)) {
        std::abort();
    }
    return bench::microsSince(start);
}

void BM_SharedManagerJSONPost(benchmark::State& state) {
    std::vector<double> samples;
    for (auto _ : state) {
        samples.push_back(timedManagerPost());
    }
    recordMedian(state, "manager", samples);
}

// The platform session alone, with the shared manager's configuration and the same request, answered through
// a completion block: the share of the latency that is not the HTTP client's.
plat::URLSessionConfiguration sharedConfiguration() {
    auto configuration = plat::URLSessionConfiguration::defaultConfiguration();
    for (const auto& [name, value] : Zavorida::SessionManager::standardHeaders()) {
        configuration.httpAdditionalHeaders.set(name, plat::Value(value));
    }
    return configuration;
}

plat::URLRequest jsonPost() {
    plat::URLRequest request(*plat::URL::parse(url()));
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    request.setHTTPBody(plat::Data(kBody.begin(), kBody.end()));
    return request;
}

void BM_URLSessionJSONPost(benchmark::State& state) {
    const auto session = plat::URLSession::make(sharedConfiguration());
    const auto request = jsonPost();
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        plat::DispatchSemaphore done(0);
        session->dataTask(request, [&](auto, auto, auto) { done.signal(); })->resume();
        done.wait();
        samples.push_back(bench::microsSince(start));
    }
    session->invalidateAndCancel();
    recordMedian(state, "session", samples);
}

// The headers the shared manager sends (its standard headers and the JSON content type), so that the server
// does the same work, compression included.
curl_slist* sameHeaders() {
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: */*");
    headers = curl_slist_append(headers, "Expect:");
    for (const auto& [name, value] : Zavorida::SessionManager::standardHeaders()) {
        if (name != "Accept-Encoding") {
            headers = curl_slist_append(headers, (name + ": " + value).c_str());
        }
    }
    return headers;
}

void configure(CURL* easy, const std::string& target, curl_slist* headers, bool compressed) {
    curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kBody.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(kBody.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    if (compressed) {
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip;q=1.0, compress;q=0.5");
    }
}

double timedEasyPost(CURL* easy) {
    const auto start = Clock::now();
    if (curl_easy_perform(easy) != CURLE_OK) {
        std::abort();
    }
    return bench::microsSince(start);
}

void curlEasyPosts(benchmark::State& state, const char* name, bool same) {
    CURL* easy = curl_easy_init();
    const std::string target = url();
    curl_slist* headers = same ? sameHeaders() : curl_slist_append(nullptr, "Content-Type: application/json");
    configure(easy, target, headers, same);
    std::vector<double> samples;
    for (auto _ : state) {
        samples.push_back(timedEasyPost(easy));
    }
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    recordMedian(state, name, samples);
}

// The goal's pair taken in turns, one request of each per iteration: a change of load on the shared machine
// then weighs on both alike, which back-to-back runs of 1000 each do not ensure.
void BM_InterleavedJSONPost(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    const std::string target = url();
    curl_slist* headers = sameHeaders();
    configure(easy, target, headers, true);
    std::vector<double> ours;
    std::vector<double> baseline;
    for (auto _ : state) {
        ours.push_back(timedManagerPost());
        baseline.push_back(timedEasyPost(easy));
    }
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    recordMedian(state, "manager-interleaved", ours);
    medians()["easy-same-interleaved"] = bench::median(baseline);
    state.counters["baseline_median_us"] = bench::median(baseline);
}

void BM_CurlEasyJSONPost(benchmark::State& state) {
    curlEasyPosts(state, "easy", false);
}

void BM_CurlEasyJSONPostSameHeaders(benchmark::State& state) {
    curlEasyPosts(state, "easy-same", true);
}

void BM_SharedManager200Concurrent(benchmark::State& state) {
    for (auto _ : state) {
        int left = kConcurrent;
        for (int i = 0; i < kConcurrent; ++i) {
            Zavorida::requestWithDefaultSession(url(), Zavorida::HTTPMethod::post, parameters(),
                                                Zavorida::JSONEncoding())
                ->addJSONResponseHandler(nullptr, 0, [&left](const Zavorida::DataResponse<plat::Value>& r) {
                    if (!r.result().isSuccess()) {
                        std::abort();
                    }
                    --left;
                });
        }
        if (!plat::MainLoop::runUntil([&] { return left == 0; }, 30)) {
            std::abort();
        }
    }
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}

// The platform session alone, 200 at once with the same configuration and request.
void BM_URLSession200Concurrent(benchmark::State& state) {
    const auto session = plat::URLSession::make(sharedConfiguration());
    const auto request = jsonPost();
    for (auto _ : state) {
        plat::DispatchSemaphore done(0);
        std::atomic<int> left{kConcurrent};
        for (int i = 0; i < kConcurrent; ++i) {
            session
                ->dataTask(request,
                           [&](auto, auto, auto) {
                               if (--left == 0) {
                                   done.signal();
                               }
                           })
                ->resume();
        }
        done.wait();
    }
    session->invalidateAndCancel();
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}

// The same through a session delegate that takes what the HTTP client's session delegate takes (data,
// metrics, completion): the platform's delegate path, without the HTTP client's own work.
struct CountingDelegate : plat::URLSessionDelegate {
    bool respondsTo(std::string_view selector) const override {
        namespace sel = plat::URLSessionSelector;
        return selector == sel::didReceiveData || selector == sel::didFinishCollectingMetrics ||
               selector == sel::didCompleteWithError;
    }
    void didReceiveData(plat::URLSession&, const TaskPtr&, const plat::Data& data) override {
        received.fetch_add(data.size());
    }
    void didCompleteWithError(plat::URLSession&, const TaskPtr&, const std::optional<plat::Error>&) override {
        if (--left == 0) {
            done->signal();
        }
    }
    std::atomic<std::size_t> received{0};
    std::atomic<int> left{0};
    plat::DispatchSemaphore* done = nullptr;
};

void BM_URLSessionDelegate200Concurrent(benchmark::State& state) {
    auto delegate = std::make_shared<CountingDelegate>();
    const auto session = plat::URLSession::make(sharedConfiguration(), delegate);
    const auto request = jsonPost();
    for (auto _ : state) {
        plat::DispatchSemaphore done(0);
        delegate->done = &done;
        delegate->left = kConcurrent;
        for (int i = 0; i < kConcurrent; ++i) {
            session->dataTask(request)->resume();
        }
        done.wait();
    }
    session->invalidateAndCancel();
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}

void BM_CurlMulti200ConcurrentSameHeaders(benchmark::State& state) {
    const std::string target = url();
    curl_slist* headers = sameHeaders();
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                      plat::URLSessionConfiguration::defaultConfiguration().httpMaximumConnectionsPerHost);
    for (auto _ : state) {
        std::vector<CURL*> handles;
        for (int i = 0; i < kConcurrent; ++i) {
            CURL* easy = curl_easy_init();
            configure(easy, target, headers, true);
            curl_multi_add_handle(multi, easy);
            handles.push_back(easy);
        }
        int running = 1;
        while (running) {
            curl_multi_perform(multi, &running);
            if (running) {
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
            }
        }
        for (CURL* easy : handles) {
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
        }
    }
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}

// Throughput comes from the reporter's per-second rate, so the ratio is read from it.
using RatioReporter = bench::PerSecondReporter;

} // namespace

BENCHMARK(BM_SharedManagerJSONPost)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_URLSessionJSONPost)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_CurlEasyJSONPost)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_CurlEasyJSONPostSameHeaders)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_InterleavedJSONPost)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_SharedManager200Concurrent)->Iterations(20)->UseRealTime();
BENCHMARK(BM_URLSession200Concurrent)->Iterations(20)->UseRealTime();
BENCHMARK(BM_URLSessionDelegate200Concurrent)->Iterations(20)->UseRealTime();
BENCHMARK(BM_CurlMulti200ConcurrentSameHeaders)->Iterations(20)->UseRealTime();

int main(int argc, char** argv) {
    // First, while this process has no thread yet.
    const bool serving = server().start([](devserver::Server& s) {
        s.route("POST", "/api/register", devserver::Reply::json(200, "{\"ok\":true}"));
    });
    if (!serving) {
        return 1;
    }
    char home[] = "/tmp/portal-bench-XXXXXX";
    if (!::mkdtemp(home)) {
        return 1;
    }
    plat::AppHome::configure(std::string(home) + "/home");
    (void)plat::AppHome::createFolders();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& m = medians();
    bench::printLatencyRatios("manager", "manager");
    if (m.count("manager") && m.count("session") && m.count("easy-same")) {
        std::printf(
            "URLSession alone: %.1f us median, %.2fx of easy with the same headers; manager %.2fx of it\n",
            m["session"], m["session"] / m["easy-same"], m["manager"] / m["session"]);
    }
    const auto ours = reporter.perSecond.find("BM_SharedManager200Concurrent/iterations:20/real_time");
    const auto base = reporter.perSecond.find("BM_CurlMulti200ConcurrentSameHeaders/iterations:20/real_time");
    if (ours != reporter.perSecond.end() && base != reporter.perSecond.end()) {
        std::printf("200 concurrent: manager %.0f/s, curl_multi %.0f/s, throughput ratio %.2fx\n",
                    ours->second, base->second, ours->second / base->second);
        const auto delegated =
            reporter.perSecond.find("BM_URLSessionDelegate200Concurrent/iterations:20/real_time");
        if (delegated != reporter.perSecond.end()) {
            std::printf("URLSession with a delegate: %.0f/s, %.2fx of curl_multi; manager %.2fx of it\n",
                        delegated->second, delegated->second / base->second,
                        ours->second / delegated->second);
        }
        const auto alone = reporter.perSecond.find("BM_URLSession200Concurrent/iterations:20/real_time");
        if (alone != reporter.perSecond.end()) {
            std::printf("URLSession alone: %.0f/s, %.2fx of curl_multi; manager %.2fx of it\n", alone->second,
                        alone->second / base->second, ours->second / alone->second);
        }
    }
    return 0;
}
