// The kit host's network client (pass-through session, no pinning) against a bare URLSession data task:
// one GET of 1 KiB of JSON at a time to a forked loopback devserver over plain HTTP on a reused connection.
// The goal: the client's median latency at most 1.1x the bare task's. main prints the ratio.

#include "bench/common/ForkedServer.hpp"
#include "bench/common/Medians.hpp"
#include "kit_host/ZUVNetworkClient.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/net/URLSession.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::ForkedServer;

ForkedServer& server() {
    static ForkedServer instance;
    return instance;
}

plat::URLRequest jsonRequest() {
    plat::URLRequest request(plat::URL::parse("http://127.0.0.1:" + std::to_string(server().port()) + "/json"));
    request.setValue("application/json", "Accept");
    return request;
}

std::shared_ptr<ZUVNetworkClient> client() {
    static auto c = ZUVNetworkClient::init();
    return c;
}

std::shared_ptr<plat::URLSession> bareSession() {
    static auto s = plat::URLSession::make(plat::URLSessionConfiguration::defaultConfiguration());
    return s;
}

double timedClientGet(const plat::URLRequest& request) {
    const auto start = bench::Clock::now();
    plat::DispatchSemaphore done(0);
    client()->startDataTaskWithRequest(request, 0, [&](auto, auto, auto) { done.signal(); });
    done.wait();
    return bench::microsSince(start);
}

double timedBareGet(const plat::URLRequest& request) {
    const auto start = bench::Clock::now();
    plat::DispatchSemaphore done(0);
    bareSession()->dataTask(request, [&](auto, auto, auto) { done.signal(); })->resume();
    done.wait();
    return bench::microsSince(start);
}

void BM_NetworkClientGet(benchmark::State& state) {
    const auto request = jsonRequest();
    std::vector<double> samples;
    for (auto _ : state)
        samples.push_back(timedClientGet(request));
    bench::recordMedian(state, "client", samples);
}
BENCHMARK(BM_NetworkClientGet)->Iterations(1000)->UseRealTime();

void BM_BareSessionGet(benchmark::State& state) {
    const auto request = jsonRequest();
    std::vector<double> samples;
    for (auto _ : state)
        samples.push_back(timedBareGet(request));
    bench::recordMedian(state, "bare", samples);
}
BENCHMARK(BM_BareSessionGet)->Iterations(1000)->UseRealTime();

// The pair in turns, so a change of load on the shared machine weighs on both alike.
void BM_InterleavedGet(benchmark::State& state) {
    const auto request = jsonRequest();
    std::vector<double> ours, baseline;
    for (auto _ : state) {
        ours.push_back(timedClientGet(request));
        baseline.push_back(timedBareGet(request));
    }
    bench::recordMedian(state, "client-interleaved", ours);
    bench::recordMedian(state, "bare-interleaved", baseline);
}
BENCHMARK(BM_InterleavedGet)->Iterations(1000)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // First, while this process has no thread yet.
    const std::string body = "{\"data\":\"" + std::string(1024 - 11, 'x') + "\"}";
    const bool serving = server().start([&body](devserver::Server& s) {
        s.route("GET", "/json", devserver::Reply::json(200, body));
    });
    if (!serving)
        return 1;
    char home[] = "/tmp/portal-bench-XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    plat::DeviceConfig config;
    config.appHome = std::string(home) + "/home";
    if (!plat::boot(config).ok())
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& m = bench::medians();
    if (m.count("client") && m.count("bare"))
        std::printf("median latency: network client %.1f us, bare session %.1f us, ratio %.2fx (goal: at most 1.10x)\n",
                    m["client"], m["bare"], m["client"] / m["bare"]);
    if (m.count("client-interleaved") && m.count("bare-interleaved"))
        std::printf("taken in turns: network client %.1f us, bare session %.1f us, ratio %.2fx\n",
                    m["client-interleaved"], m["bare-interleaved"], m["client-interleaved"] / m["bare-interleaved"]);
    return 0;
}
