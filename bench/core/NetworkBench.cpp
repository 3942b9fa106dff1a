// The network front end and the guarded dictionary against their natural baselines, with the ratios
// printed at the end:
// - a POST of 64 KiB through DVUNetwork (gzip, fetcher, session, completion on the main queue) against raw
//   libcurl doing the same job: gzip the payload with zlib, send it with the same headers (the platform's
//   Accept-Encoding included, so the server does the same work for both) to the same loopback devserver and
//   wait for the answer, taken in turns (goal: at most 1.5x the median latency). libcurl sending a body
//   compressed beforehand is timed as well, to show the transport alone;
// - DVUMutableDictionary get and set from 4 threads against std::unordered_map behind a mutex (goal: at
//   least 0.5x the throughput).

#include "bench/common/Checks.hpp"
#include "bench/common/PerSecondReporter.hpp"
#include "bench/common/ForkedServer.hpp"
#include "bench/common/Medians.hpp"
#include "core/DVUGzip.hpp"
#include "core/DVUMutableDictionary.hpp"
#include "core/DVUNetwork.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/net/URL.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>

namespace {

bench::ForkedServer& uploadServer() {
    static bench::ForkedServer instance;
    return instance;
}

std::string uploadURL() {
    return "http://127.0.0.1:" + std::to_string(uploadServer().port()) + "/upload";
}

// Event-like text of 64 KiB, compressing as uploaded batches do.
const plat::Data& payload() {
    static const plat::Data data = [] {
        const char* words[] = {"event", "param", "session", "value", "timestamp", "origin", "1700000000", "_c"};
        std::mt19937 random(11);
        plat::Data d;
        while (d.size() < 64 * 1024) {
            const char* w = words[random() % 8];
            d.insert(d.end(), w, w + std::char_traits<char>::length(w));
            d.push_back(' ');
        }
        d.resize(64 * 1024);
        return d;
    }();
    return data;
}

double timedNetworkPost(DVUNetwork& network) {
    const auto start = bench::Clock::now();
    bool done = false;
    network.postURL(plat::URL::parse(uploadURL()), payload(), nullptr, false, [&done](auto response, auto, auto error) {
        bench::checkResponse("ours", error || !response ? 0 : response->statusCode(), 2, 2);
        done = true;
    });
    if (!plat::MainLoop::runUntil([&] { return done; }, 10)) {
        std::abort();
    }
    return bench::microsSince(start);
}

// The plain way: a fresh deflate state per body, as a client calling zlib directly does.
plat::Data zlibGzip(const plat::Data& in) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        std::abort();
    }
    plat::Data out(deflateBound(&stream, static_cast<uLong>(in.size())));
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        std::abort();
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

double timedCurlPost(CURL* easy, bench::CurlBodyCount& reply, bool compressEachTime) {
    const auto start = bench::Clock::now();
    plat::Data body;
    if (compressEachTime) {
        body = zlibGzip(payload());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    const CURLcode code = curl_easy_perform(easy);
    bench::checkCurl(easy, code, reply, 2);
    return bench::microsSince(start);
}

void BM_NetworkPost64KiBInTurns(benchmark::State& state) {
    auto network = DVUNetwork::initWithReachabilityHost("127.0.0.1");
    if (!network) {
        std::abort();
    }
    // The same headers the front end's session sends (its Accept and Accept-Encoding too, so that the server
    // compresses the reply for both), without signals, as the session does.
    static const plat::Data precompressed = zlibGzip(payload());
    const std::string target = uploadURL();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, "Content-Encoding: gzip");
    headers = curl_slist_append(headers, "Accept: */*");
    headers = curl_slist_append(headers, "Expect:");
    auto makeEasy = [&] {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, precompressed.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(precompressed.size()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        return easy;
    };
    CURL* compressing = makeEasy();
    CURL* transportOnly = makeEasy();
    bench::CurlBodyCount reply;
    reply.attach(compressing);
    reply.attach(transportOnly);

    std::vector<double> ours;
    std::vector<double> baseline;
    std::vector<double> transport;
    for (auto _ : state) {
        ours.push_back(timedNetworkPost(*network));
        baseline.push_back(timedCurlPost(compressing, reply, true));
        transport.push_back(timedCurlPost(transportOnly, reply, false));
    }
    curl_easy_cleanup(compressing);
    curl_easy_cleanup(transportOnly);
    curl_slist_free_all(headers);
    bench::recordMedian(state, "network", ours);
    bench::medians()["curl"] = bench::median(baseline);
    bench::medians()["curl-transport"] = bench::median(transport);
    state.counters["baseline_median_us"] = bench::median(baseline);
}

constexpr int kDictionaryKeys = 64;

const std::vector<std::string>& dictionaryKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (int i = 0; i < kDictionaryKeys; ++i) {
            k.push_back("key-" + std::to_string(i));
        }
        return k;
    }();
    return keys;
}

// One set for every three gets, as the registry and the request table see them.
void BM_GuardedDictionary(benchmark::State& state) {
    static DVUMutableDictionary dictionary;
    const auto& keys = dictionaryKeys();
    int i = static_cast<int>(state.thread_index()) * 7;
    for (auto _ : state) {
        const std::string& key = keys[i++ % kDictionaryKeys];
        if (i % 4 == 0) {
            dictionary.setObject(plat::Value(int64_t(i)), key);
        } else {
            benchmark::DoNotOptimize(dictionary.objectForKey(key));
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MutexUnorderedMap(benchmark::State& state) {
    static std::mutex mutex;
    static std::unordered_map<std::string, plat::Value> map;
    const auto& keys = dictionaryKeys();
    int i = static_cast<int>(state.thread_index()) * 7;
    for (auto _ : state) {
        const std::string& key = keys[i++ % kDictionaryKeys];
        if (i % 4 == 0) {
            std::lock_guard lock(mutex);
            map[key] = plat::Value(int64_t(i));
        } else {
            std::optional<plat::Value> found;
            {
                std::lock_guard lock(mutex);
                auto it = map.find(key);
                if (it != map.end()) {
                    found = it->second;
                }
            }
            benchmark::DoNotOptimize(found);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Throughput comes from the reporter's per-second rate, so the ratio is read from it.
using NetworkRatioReporter = bench::PerSecondReporter;

} // namespace

BENCHMARK(BM_NetworkPost64KiBInTurns)->Iterations(500)->UseRealTime();
BENCHMARK(BM_GuardedDictionary)->Threads(4)->UseRealTime();
BENCHMARK(BM_MutexUnorderedMap)->Threads(4)->UseRealTime();

int main(int argc, char** argv) {
    // First, while this process has no thread yet.
    const bool serving = uploadServer().start([](devserver::Server& s) {
        s.route(devserver::Route{"POST", "/upload", devserver::PathMatch::Exact, "", devserver::BodyCapture::Count,
                                 [](const devserver::RecordedRequest&) { return devserver::Reply::text(200, "ok"); }});
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
    NetworkRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& m = bench::medians();
    if (m.count("network") && m.count("curl")) {
        std::printf("64 KiB POST, taken in turns: DVUNetwork %.1f us, libcurl+zlib %.1f us, latency ratio %.2fx "
                    "(libcurl with the body compressed beforehand: %.1f us)\n",
                    m["network"], m["curl"], m["network"] / m["curl"], m["curl-transport"]);
    }
    const auto ours = reporter.perSecond.find("BM_GuardedDictionary/real_time/threads:4");
    const auto base = reporter.perSecond.find("BM_MutexUnorderedMap/real_time/threads:4");
    if (ours != reporter.perSecond.end() && base != reporter.perSecond.end()) {
        std::printf("dictionary, 4 threads: DVUMutableDictionary %.0f/s, mutex map %.0f/s, throughput ratio %.2fx\n",
                    ours->second, base->second, ours->second / base->second);
    }
    return 0;
}
