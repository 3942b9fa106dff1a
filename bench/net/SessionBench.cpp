// URLSession against raw libcurl, each side doing the same work: one small GET at a time (latency), 200 at
// once (throughput), and a 100 MB download to a fresh file that is deleted after it. Two servers run in
// child processes: devserver (which compresses a body a client accepts compressed), and a fixed-reply
// server whose cost is next to nothing, for the client-bound variants.
//
// Fairness: the baselines send the session's header set byte for byte (`--print-headers=ours|baseline`
// shows it), set CURLOPT_NOSIGNAL as the session does, take the session's per-host connection limit, and
// check every response (status and body length) as ours do. Run one benchmark per process, each side
// against its own fresh servers, in alternating order: `bench/run-paired` does that and gives the ratios.

#include "bench/common/Checks.hpp"
#include "bench/common/FixedReplyServer.hpp"
#include "bench/common/ForkedServer.hpp"
#include "bench/common/Medians.hpp"
#include "bench/common/RequestCosts.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/net/URLSession.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kBigSize = 100ull * 1024 * 1024;
constexpr int kConcurrent = 200;
const std::string kSmallBody = "ok";

bench::ForkedServer& server() {
    static bench::ForkedServer instance;
    return instance;
}

bench::FixedReplyServer& fixedServer() {
    static bench::FixedReplyServer instance;
    return instance;
}

std::string url(const char* path) {
    return "http://127.0.0.1:" + std::to_string(server().port()) + path;
}

std::string fixedURL() {
    return "http://127.0.0.1:" + std::to_string(fixedServer().port()) + "/small";
}

plat::URLSessionConfiguration configuration() {
    return plat::URLSessionConfiguration::ephemeral();
}

std::shared_ptr<plat::URLSession> session() {
    static auto s = plat::URLSession::make(configuration());
    return s;
}

void checkSessionReply(const std::optional<plat::Data>& data,
                       const std::shared_ptr<const plat::HTTPURLResponse>& response,
                       const std::optional<plat::Error>& error, std::size_t expected) {
    if (error) {
        std::fprintf(stderr, "URLSession: %s\n", error->localizedDescription().c_str());
    }
    bench::checkResponse("ours", response ? response->statusCode() : 0, data ? data->size() : 0, expected);
}

double timedSessionGet(const plat::URLRequest& request) {
    const auto start = bench::Clock::now();
    plat::DispatchSemaphore done(0);
    session()
        ->dataTask(request,
                   [&](auto data, auto response, auto error) {
                       checkSessionReply(data, response, error, kSmallBody.size());
                       done.signal();
                   })
        ->resume();
    done.wait();
    return bench::microsSince(start);
}

// An easy handle that sends what the session sends: its Accept, its Accept-Encoding (so the server does
// the same compression for both), no Expect, and no signals.
struct SameHeadersEasy {
    explicit SameHeadersEasy(const std::string& target) : easy(curl_easy_init()) {
        headers = curl_slist_append(nullptr, "Accept: */*");
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        body.attach(easy);
    }
    ~SameHeadersEasy() {
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
    double timedGet() {
        const auto start = bench::Clock::now();
        const CURLcode code = curl_easy_perform(easy);
        bench::checkCurl(easy, code, body, kSmallBody.size());
        return bench::microsSince(start);
    }
    CURL* easy;
    curl_slist* headers = nullptr;
    bench::CurlBodyCount body;
};

void sessionSmallGets(benchmark::State& state, const std::string& target) {
    const auto request = plat::URLRequest(*plat::URL::parse(target));
    timedSessionGet(request); // the connection, as the baseline's first request makes it too
    std::vector<double> samples;
    const bench::RequestCosts costs;
    for (auto _ : state) {
        samples.push_back(timedSessionGet(request));
    }
    costs.report(state, static_cast<double>(state.iterations()));
    bench::recordMedian(state, "ours", samples);
}

void curlSmallGets(benchmark::State& state, const std::string& target) {
    SameHeadersEasy same(target);
    same.timedGet();
    std::vector<double> samples;
    const bench::RequestCosts costs;
    for (auto _ : state) {
        samples.push_back(same.timedGet());
    }
    costs.report(state, static_cast<double>(state.iterations()));
    bench::recordMedian(state, "baseline", samples);
}

void BM_SessionSmallGet(benchmark::State& state) {
    sessionSmallGets(state, url("/small"));
}
BENCHMARK(BM_SessionSmallGet)->Iterations(1000)->UseRealTime();

void BM_CurlEasySmallGet(benchmark::State& state) {
    curlSmallGets(state, url("/small"));
}
BENCHMARK(BM_CurlEasySmallGet)->Iterations(1000)->UseRealTime();

// Client-bound: the fixed-reply server, so the latency is the clients' own.
void BM_SessionSmallGetFixed(benchmark::State& state) {
    sessionSmallGets(state, fixedURL());
}
BENCHMARK(BM_SessionSmallGetFixed)->Iterations(1000)->UseRealTime();

void BM_CurlEasySmallGetFixed(benchmark::State& state) {
    curlSmallGets(state, fixedURL());
}
BENCHMARK(BM_CurlEasySmallGetFixed)->Iterations(1000)->UseRealTime();

void sessionConcurrentGets(benchmark::State& state, const std::string& target) {
    const auto request = plat::URLRequest(*plat::URL::parse(target));
    for (auto _ : state) {
        plat::DispatchSemaphore done(0);
        std::atomic<int> left{kConcurrent};
        for (int i = 0; i < kConcurrent; ++i) {
            session()
                ->dataTask(request,
                           [&](auto data, auto response, auto error) {
                               checkSessionReply(data, response, error, kSmallBody.size());
                               if (--left == 0) {
                                   done.signal();
                               }
                           })
                ->resume();
        }
        done.wait();
    }
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}

void curlMultiGets(benchmark::State& state, const std::string& target) {
    curl_slist* headers = curl_slist_append(nullptr, "Accept: */*");
    headers = curl_slist_append(headers, "Expect:");
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, configuration().httpMaximumConnectionsPerHost);
    for (auto _ : state) {
        std::vector<CURL*> handles;
        std::vector<bench::CurlBodyCount> bodies(kConcurrent);
        for (int i = 0; i < kConcurrent; ++i) {
            CURL* e = curl_easy_init();
            curl_easy_setopt(e, CURLOPT_URL, target.c_str());
            curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
            curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
            bodies[static_cast<std::size_t>(i)].attach(e);
            curl_multi_add_handle(multi, e);
            handles.push_back(e);
        }
        int running = 1;
        while (running) {
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg == CURLMSG_DONE) {
                    const auto at = static_cast<std::size_t>(
                        std::find(handles.begin(), handles.end(), message->easy_handle) - handles.begin());
                    bench::checkCurl(message->easy_handle, message->data.result, bodies[at], kSmallBody.size());
                }
            }
            if (running) {
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
            }
        }
        for (CURL* e : handles) {
            curl_multi_remove_handle(multi, e);
            curl_easy_cleanup(e);
        }
    }
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}

void BM_Session200Concurrent(benchmark::State& state) {
    sessionConcurrentGets(state, url("/small"));
}
BENCHMARK(BM_Session200Concurrent)->Iterations(20)->UseRealTime();

void BM_CurlMulti200Concurrent(benchmark::State& state) {
    curlMultiGets(state, url("/small"));
}
BENCHMARK(BM_CurlMulti200Concurrent)->Iterations(20)->UseRealTime();

void BM_Session200ConcurrentFixed(benchmark::State& state) {
    sessionConcurrentGets(state, fixedURL());
}
BENCHMARK(BM_Session200ConcurrentFixed)->Iterations(20)->UseRealTime();

void BM_CurlMulti200ConcurrentFixed(benchmark::State& state) {
    curlMultiGets(state, fixedURL());
}
BENCHMARK(BM_CurlMulti200ConcurrentFixed)->Iterations(20)->UseRealTime();

std::size_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

// The session writes each download to a fresh temporary file and deletes it after the completion block.
void BM_SessionDownload100MB(benchmark::State& state) {
    const auto request = plat::URLRequest(*plat::URL::parse(url("/big")));
    for (auto _ : state) {
        plat::DispatchSemaphore done(0);
        auto task = session()->downloadTask(request, [&](auto location, auto response, auto error) {
            if (error) {
                std::fprintf(stderr, "URLSession: %s\n", error->localizedDescription().c_str());
            }
            bench::checkResponse("ours", response ? response->statusCode() : 0,
                                 location ? fileSize(location->path()) : 0, kBigSize);
            done.signal();
        });
        task->resume();
        done.wait();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_SessionDownload100MB)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

size_t writeToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<FILE*>(file)) * size;
}

// The same: a fresh file of its own for every download, deleted after it.
void BM_CurlDownload100MB(benchmark::State& state) {
    const std::string target = url("/big");
    int round = 0;
    for (auto _ : state) {
        const std::string path = plat::AppHome::tmp() + "/bench-download-" + std::to_string(round++) + ".bin";
        FILE* file = std::fopen(path.c_str(), "wbx");
        if (!file) {
            std::abort();
        }
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeToFile);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, file);
        const CURLcode code = curl_easy_perform(easy);
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(easy);
        std::fclose(file);
        if (code != CURLE_OK) {
            std::fprintf(stderr, "libcurl: %s\n", curl_easy_strerror(code));
        }
        bench::checkResponse("baseline", status, fileSize(path), kBigSize);
        std::remove(path.c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_CurlDownload100MB)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// One small GET of each side to the echo route: the header sets they send.
int printHeaders(const std::string& side) {
    const std::string target = url("/echo-headers");
    if (side == "ours") {
        plat::DispatchSemaphore done(0);
        std::string text;
        session()
            ->dataTask(plat::URLRequest(*plat::URL::parse(target)),
                       [&](auto data, auto, auto) {
                           if (data) {
                               text.assign(data->begin(), data->end());
                           }
                           done.signal();
                       })
            ->resume();
        done.wait();
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    SameHeadersEasy same(target);
    std::string text;
    curl_easy_setopt(same.easy, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    });
    curl_easy_setopt(same.easy, CURLOPT_WRITEDATA, &text);
    curl_easy_perform(same.easy);
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // First, while this process has no thread yet.
    const bool serving = server().start([](devserver::Server& s) {
        s.route("GET", "/small", devserver::Reply::text(200, kSmallBody));
        s.route("GET", "/big", devserver::Reply::generated(kBigSize));
        s.route("GET", "/echo-headers", bench::echoHeaders());
    });
    if (!serving || !fixedServer().start(kSmallBody, "text/plain; charset=utf-8")) {
        return 1;
    }
    char home[] = "/tmp/portal-bench-XXXXXX";
    if (!::mkdtemp(home)) {
        return 1;
    }
    plat::AppHome::configure(std::string(home) + "/home");
    (void)plat::AppHome::createFolders();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 0;
    if (const auto side = bench::headerProbeSide(argc, argv); !side.empty()) {
        status = printHeaders(side);
    } else {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
