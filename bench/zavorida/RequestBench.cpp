// Small JSON POSTs through the shared session manager, from the caller to the serialized Result on the main
// queue, against raw libcurl doing the same work:
// - one at a time: median latency against an easy handle (with per-request allocations and context
//   switches), against devserver and, client-bound, against a fixed-reply server;
// - 200 at once: throughput against curl_multi with the session's per-host connection limit, against both.
// A POST is not safe to repeat, so the session sends each on a fresh connection; the baselines are run both
// ways (kept connection, and a fresh one per POST as ours).
// The platform session alone with a completion block gives the share that is not the HTTP client's.
//
// Fairness: the baselines send the manager's header set and body byte for byte (`--print-headers=ours|
// baseline` shows them), set CURLOPT_NOSIGNAL as the session does, and check every response (status and
// body length) as ours do. Run one benchmark per process, each side against its own fresh servers, in
// alternating order: `bench/run-paired` does that and gives the ratios.

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Zavorida/Source/SessionManager.hpp"
#include "bench/common/Checks.hpp"
#include "bench/common/FixedReplyServer.hpp"
#include "bench/common/ForkedServer.hpp"
#include "bench/common/Medians.hpp"
#include "bench/common/RequestCosts.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/AppHome.hpp"

namespace {

using bench::Clock;
constexpr int kConcurrent = 200;
const std::string kBody = "{\"player-id\":\"3f1c2a9e-7b41-4c55-9e0d-5a8f6b2c1d00\"}";
const std::string kReply = "{\"ok\":true}";

bench::ForkedServer& server() {
    static bench::ForkedServer instance;
    return instance;
}

bench::FixedReplyServer& fixedServer() {
    static bench::FixedReplyServer instance;
    return instance;
}

std::string url(const char* path = "/api/register") {
    return "http://127.0.0.1:" + std::to_string(server().port()) + path;
}

std::string fixedURL() {
    return "http://127.0.0.1:" + std::to_string(fixedServer().port()) + "/api/register";
}

Zavorida::ParameterDictionary parameters() {
    Zavorida::ParameterDictionary p;
    p.set("player-id", plat::Value("3f1c2a9e-7b41-4c55-9e0d-5a8f6b2c1d00"));
    return p;
}

void checkManagerReply(const Zavorida::DataResponse<plat::Value>& response) {
    if (!response.result().isSuccess()) {
        std::fprintf(stderr, "manager: the request failed\n");
    }
    bench::checkResponse("ours", response.response() ? response.response()->statusCode() : 0,
                         response.data() ? response.data()->size() : 0, kReply.size());
}

void sendThroughSharedManager(const std::string& target, bool& done) {
    Zavorida::requestWithDefaultSession(target, Zavorida::HTTPMethod::post, parameters(),
                                        Zavorida::JSONEncoding())
        ->addJSONResponseHandler(nullptr, 0, [&done](const Zavorida::DataResponse<plat::Value>& response) {
            checkManagerReply(response);
            done = true;
        });
}

// One POST through the shared manager, from the call to the Result on the main queue, in microseconds.
double timedManagerPost(const std::string& target) {
    const auto start = Clock::now();
    bool done = false;
    sendThroughSharedManager(target, done);
    if (!plat::MainLoop::runUntil([&] { return done; }, 10)) {
        std::abort();
    }
    return bench::microsSince(start);
}

void managerPosts(benchmark::State& state, const std::string& target) {
    timedManagerPost(target); // the threads and a first connection, as the baseline's first request
    std::vector<double> samples;
    const bench::RequestCosts costs;
    for (auto _ : state) {
        samples.push_back(timedManagerPost(target));
    }
    costs.report(state, static_cast<double>(state.iterations()));
    bench::recordMedian(state, "ours", samples);
}

void BM_SharedManagerJSONPost(benchmark::State& state) {
    managerPosts(state, url());
}

void BM_SharedManagerJSONPostFixed(benchmark::State& state) {
    managerPosts(state, fixedURL());
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

plat::URLRequest jsonPost(const std::string& target) {
    plat::URLRequest request(*plat::URL::parse(target));
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    request.setHTTPBody(plat::Data(kBody.begin(), kBody.end()));
    return request;
}

void BM_URLSessionJSONPostFixed(benchmark::State& state) {
    const auto session = plat::URLSession::make(sharedConfiguration());
    const auto request = jsonPost(fixedURL());
    std::vector<double> samples;
    const bench::RequestCosts costs;
    for (auto _ : state) {
        const auto start = Clock::now();
        plat::DispatchSemaphore done(0);
        session
            ->dataTask(request,
                       [&](auto data, auto response, auto) {
                           bench::checkResponse("ours", response ? response->statusCode() : 0,
                                                data ? data->size() : 0, kReply.size());
                           done.signal();
                       })
            ->resume();
        done.wait();
        samples.push_back(bench::microsSince(start));
    }
    costs.report(state, static_cast<double>(state.iterations()));
    session->invalidateAndCancel();
    bench::recordMedian(state, "session", samples);
}

// The headers the shared manager sends: its standard headers (Accept-Encoding through libcurl, which then
// decodes, as the session does), the JSON content type, Accept, and no Expect.
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

void configure(CURL* easy, const std::string& target, curl_slist* headers, bench::CurlBodyCount& body) {
    curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kBody.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(kBody.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING,
                     Zavorida::SessionManager::standardHeaders().at("Accept-Encoding").c_str());
    body.attach(easy);
}

// `fresh`: a new connection for every POST, as the session takes for a request that is not safe to repeat
// (a kept-alive connection that the server closed would make libcurl send it a second time).
void curlEasyPosts(benchmark::State& state, const std::string& target, bool fresh = false) {
    CURL* easy = curl_easy_init();
    curl_slist* headers = sameHeaders();
    bench::CurlBodyCount body;
    configure(easy, target, headers, body);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
    auto timedPost = [&] {
        const auto start = Clock::now();
        const CURLcode code = curl_easy_perform(easy);
        bench::checkCurl(easy, code, body, kReply.size());
        return bench::microsSince(start);
    };
    timedPost();
    std::vector<double> samples;
    const bench::RequestCosts costs;
    for (auto _ : state) {
        samples.push_back(timedPost());
    }
    costs.report(state, static_cast<double>(state.iterations()));
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    bench::recordMedian(state, "baseline", samples);
}

void BM_CurlEasyJSONPost(benchmark::State& state) {
    curlEasyPosts(state, url());
}

void BM_CurlEasyJSONPostFixed(benchmark::State& state) {
    curlEasyPosts(state, fixedURL());
}

void BM_CurlEasyJSONPostFreshConnection(benchmark::State& state) {
    curlEasyPosts(state, url(), true);
}

void BM_CurlEasyJSONPostFreshConnectionFixed(benchmark::State& state) {
    curlEasyPosts(state, fixedURL(), true);
}

void managerConcurrentPosts(benchmark::State& state, const std::string& target) {
    for (auto _ : state) {
        int left = kConcurrent;
        for (int i = 0; i < kConcurrent; ++i) {
            Zavorida::requestWithDefaultSession(target, Zavorida::HTTPMethod::post, parameters(),
                                                Zavorida::JSONEncoding())
                ->addJSONResponseHandler(nullptr, 0, [&left](const Zavorida::DataResponse<plat::Value>& r) {
                    checkManagerReply(r);
                    --left;
                });
        }
        if (!plat::MainLoop::runUntil([&] { return left == 0; }, 30)) {
            std::abort();
        }
    }
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}

void BM_SharedManager200Concurrent(benchmark::State& state) {
    managerConcurrentPosts(state, url());
}

void BM_SharedManager200ConcurrentFixed(benchmark::State& state) {
    managerConcurrentPosts(state, fixedURL());
}

void curlMultiPosts(benchmark::State& state, const std::string& target, bool fresh = false) {
    curl_slist* headers = sameHeaders();
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                      plat::URLSessionConfiguration::defaultConfiguration().httpMaximumConnectionsPerHost);
    for (auto _ : state) {
        std::vector<CURL*> handles;
        std::vector<bench::CurlBodyCount> bodies(kConcurrent);
        for (int i = 0; i < kConcurrent; ++i) {
            CURL* easy = curl_easy_init();
            configure(easy, target, headers, bodies[static_cast<std::size_t>(i)]);
            curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
            curl_multi_add_handle(multi, easy);
            handles.push_back(easy);
        }
        int running = 1;
        while (running) {
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg == CURLMSG_DONE) {
                    const auto at = static_cast<std::size_t>(
                        std::find(handles.begin(), handles.end(), message->easy_handle) - handles.begin());
                    bench::checkCurl(message->easy_handle, message->data.result, bodies[at], kReply.size());
                }
            }
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

void BM_CurlMulti200Concurrent(benchmark::State& state) {
    curlMultiPosts(state, url());
}

void BM_CurlMulti200ConcurrentFixed(benchmark::State& state) {
    curlMultiPosts(state, fixedURL());
}

void BM_CurlMulti200ConcurrentFreshConnection(benchmark::State& state) {
    curlMultiPosts(state, url(), true);
}

void BM_CurlMulti200ConcurrentFreshConnectionFixed(benchmark::State& state) {
    curlMultiPosts(state, fixedURL(), true);
}

// One POST of each side to the echo route: the header sets and bodies they send.
int printHeaders(const std::string& side) {
    const std::string target = url("/echo-headers");
    std::string text;
    if (side == "ours") {
        bool done = false;
        Zavorida::requestWithDefaultSession(target, Zavorida::HTTPMethod::post, parameters(),
                                            Zavorida::JSONEncoding())
            ->addDataResponseHandler(nullptr, [&](const Zavorida::DataResponse<plat::Data>& response) {
                if (response.data()) {
                    text.assign(response.data()->begin(), response.data()->end());
                }
                done = true;
            });
        if (!plat::MainLoop::runUntil([&] { return done; }, 10)) {
            return 1;
        }
    } else {
        CURL* easy = curl_easy_init();
        curl_slist* headers = sameHeaders();
        bench::CurlBodyCount unused;
        configure(easy, target, headers, unused);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
            static_cast<std::string*>(out)->append(data, size * count);
            return size * count;
        });
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &text);
        curl_easy_perform(easy);
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace

BENCHMARK(BM_SharedManagerJSONPost)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_CurlEasyJSONPost)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_SharedManagerJSONPostFixed)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_URLSessionJSONPostFixed)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_CurlEasyJSONPostFixed)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_CurlEasyJSONPostFreshConnection)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_CurlEasyJSONPostFreshConnectionFixed)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_SharedManager200Concurrent)->Iterations(20)->UseRealTime();
BENCHMARK(BM_CurlMulti200Concurrent)->Iterations(20)->UseRealTime();
BENCHMARK(BM_SharedManager200ConcurrentFixed)->Iterations(20)->UseRealTime();
BENCHMARK(BM_CurlMulti200ConcurrentFixed)->Iterations(20)->UseRealTime();
BENCHMARK(BM_CurlMulti200ConcurrentFreshConnection)->Iterations(20)->UseRealTime();
BENCHMARK(BM_CurlMulti200ConcurrentFreshConnectionFixed)->Iterations(20)->UseRealTime();

int main(int argc, char** argv) {
    // First, while this process has no thread yet.
    const bool serving = server().start([](devserver::Server& s) {
        s.route("POST", "/api/register", devserver::Reply::json(200, kReply));
        s.route("POST", "/echo-headers", bench::echoHeaders());
    });
    if (!serving || !fixedServer().start(kReply, "application/json")) {
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
