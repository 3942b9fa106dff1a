// The push client's two hot paths, each against its natural baseline in the same run:
// - a PUT of a full player record built into a URL request, plus a 2 KB reply parsed and handed to the
//   success block, against nlohmann-json dumping the same record and parsing the same reply alone
//   (goal: at most 2x);
// - one GET of the app's parameters to devserver over HTTPS, from the call to the success block on the main
//   queue, against a
//   raw libcurl easy handle sending the same headers over a kept connection (goal: at most 1.5x latency).
// The server runs in this process (it must serve TLS under the push service's name), so both sides of the
// round trip share its housekeeping alike. Ratios are printed at the end.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "bench/common/Checks.hpp"
#include "bench/common/Medians.hpp"
#include "deployment/Deployment.hpp"
#include "devserver/PushRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/SimNetwork.hpp"

namespace {

using bench::Clock;
constexpr const char* kAppId = "4e1b7c2a-9d3f-4a6e-b5c8-2f7a0d9e3b61";

plat::Dictionary playerRecord() {
    return plat::Dictionary{
        {"app_id", kAppId},
        {"device_type", 0},
        {"identifier", "8f3c2a1b9d7e6f5a4b3c2d1e0f9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c4d3e2f1a"},
        {"language", "en"},
        {"timezone", -18000},
        {"game_version", "1.4.2"},
        {"device_model", "iPhone11,8"},
        {"device_os", "12.4"},
        {"sdk", "020809"},
        {"sdk_type", "native"},
        {"net_type", 0},
        {"notification_types", 15},
        {"ad_id", "00000000-0000-0000-0000-000000000000"},
        {"carrier", "Example Mobile"},
        {"rooted", false},
        {"test_type", 1},
        {"ios_bundle", "test.example.portal"},
        {"tags", plat::Dictionary{{"level", "12"}, {"team", "blue"}, {"region", "north"}, {"tier", "gold"}}},
        {"lat", 52.52},
        {"long", 13.405},
        {"loc_acc", 65.0},
        {"loc_acc_vert", 10.0},
        {"loc_bg", false},
    };
}

// A reply of about 2 KB: the player as the service echoes it, with a list of recent notifications.
std::string reply2KB() {
    nlohmann::json reply = {{"success", true}, {"id", "0000000a-0000-4000-8000-000000000001"}};
    nlohmann::json items = nlohmann::json::array();
    for (int i = 0; items.dump().size() < 1800; ++i) {
        items.push_back({{"id", "n-" + std::to_string(i)}, {"opened", i % 2 == 0}, {"title", "Portal news"},
                         {"sent_at", 1700000000 + i}});
    }
    reply["notifications"] = items;
    return reply.dump();
}

void BM_PushBuildAndParse(benchmark::State& state) {
    const plat::Dictionary record = playerRecord();
    const std::string replyText = reply2KB();
    const plat::Data reply(replyText.begin(), replyText.end());
    const auto response = std::make_shared<const plat::HTTPURLResponse>(
        *plat::URL::parse(std::string(deployment::kPushRestRoot) + "api/v1/players/p"), 200, "HTTP/1.1",
        plat::HTTPHeaderFields());
    auto& client = RadIrivozClient::sharedClient();
    size_t seen = 0;
    for (auto _ : state) {
        auto request = RIRequestRegisterUser::withData(record, std::string("p"));
        request->setMethod(HTTPMethodPUT);
        auto urlRequest = request->urlRequest();
        benchmark::DoNotOptimize(urlRequest);
        client.handleJSONNSURLResponse(response, reply, std::nullopt, true, request,
                                       [&seen](const std::optional<plat::Value>& value) { seen += value->size(); },
                                       nullptr);
    }
    benchmark::DoNotOptimize(seen);
}

nlohmann::json toJson(const plat::Value& value) {
    auto text = plat::JSONSerialization::string(value);
    return nlohmann::json::parse(*text);
}

void BM_NlohmannDumpAndParse(benchmark::State& state) {
    const nlohmann::json record = toJson(plat::Value(playerRecord()));
    const std::string replyText = reply2KB();
    size_t seen = 0;
    for (auto _ : state) {
        std::string body = record.dump(2);
        benchmark::DoNotOptimize(body);
        nlohmann::json parsed = nlohmann::json::parse(replyText);
        seen += parsed.size();
    }
    benchmark::DoNotOptimize(seen);
}

struct Served {
    devserver::Server server;
    std::string caPath;
    std::string resolve;
};

Served& served() {
    static Served s;
    return s;
}

const std::string& paramsURL() {
    static const std::string url =
        std::string(deployment::kPushRestRoot) + "api/v1/apps/" + kAppId + "/ios_params.js";
    return url;
}

void BM_PushRoundTrip(benchmark::State& state) {
    auto& client = RadIrivozClient::sharedClient();
    std::vector<double> samples;
    for (auto _ : state) {
        bool done = false;
        const auto start = Clock::now();
        client.executeRequest(
            RIRequestGetIosParams::withUserId(std::nullopt, std::string(kAppId)),
            [&done](const std::optional<plat::Value>& value) {
                // The client hands over only a 2xx reply; its parsed parameters are the body.
                if (!value || !value->isDictionary() || value->asDictionary().empty()) {
                    std::fprintf(stderr, "push client: empty reply\n");
                    std::abort();
                }
                done = true;
            },
            [](const plat::Error& error) {
                std::fprintf(stderr, "%s\n", error.description().c_str());
                std::abort();
            });
        // Replies are handed over on the main queue, which this thread runs.
        if (!plat::MainLoop::runUntil([&done] { return done; }, 10)) {
            std::abort();
        }
        samples.push_back(bench::microsSince(start));
    }
    bench::recordMedian(state, "push", samples);
}

void BM_CurlEasySameHeaders(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    curl_slist* connectTo = curl_slist_append(nullptr, served().resolve.c_str());
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: application/json");
    curl_easy_setopt(easy, CURLOPT_URL, paramsURL().c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(easy, CURLOPT_CAINFO, served().caPath.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    bench::CurlBodyCount body;
    body.attach(easy);
    // The reply's length, from a first request: every later one must have it too.
    long status = 0;
    if (curl_easy_perform(easy) != CURLE_OK || curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status != 200 || body.bytes == 0) {
        std::abort();
    }
    const std::size_t expected = body.bytes;
    body.bytes = 0;
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        bench::checkCurl(easy, curl_easy_perform(easy), body, expected);
        samples.push_back(bench::microsSince(start));
    }
    bench::recordMedian(state, "easy-same", samples);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    curl_slist_free_all(connectTo);
}

BENCHMARK(BM_PushBuildAndParse);
BENCHMARK(BM_NlohmannDumpAndParse);
BENCHMARK(BM_PushRoundTrip)->Iterations(300)->UseRealTime();
BENCHMARK(BM_CurlEasySameHeaders)->Iterations(300)->UseRealTime();

// Keeps the CPU time per iteration of each benchmark for the ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            cpuNanos[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> cpuNanos;
};

} // namespace

int main(int argc, char** argv) {
    char home[] = "/tmp/portal-bench-XXXXXX";
    if (!::mkdtemp(home)) {
        return 1;
    }
    plat::AppHome::configure(std::string(home) + "/home");
    (void)plat::AppHome::createFolders();
    devserver::installPushRoutes(served().server);
    if (!served().server.start()) {
        return 1;
    }
    served().caPath = std::string(home) + "/ca.pem";
    served().resolve = served().server.resolveEntry(devserver::kPushHost);
    if (!served().server.writeCa(served().caPath)) {
        return 1;
    }
    plat::sim::Network::setCAFile(served().caPath);
    plat::sim::Network::setResolve(served().resolve);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto ours = reporter.cpuNanos.find("BM_PushBuildAndParse");
    const auto base = reporter.cpuNanos.find("BM_NlohmannDumpAndParse");
    if (ours != reporter.cpuNanos.end() && base != reporter.cpuNanos.end()) {
        std::printf("build PUT + parse 2 KB reply: %.1f us, nlohmann dump + parse %.1f us, ratio %.2fx\n",
                    ours->second / 1000, base->second / 1000, ours->second / base->second);
    }
    auto& m = bench::medians();
    if (m.count("push") && m.count("easy-same")) {
        std::printf("round trip median: push client %.1f us, easy with the same headers %.1f us, ratio %.2fx\n",
                    m["push"], m["easy-same"], m["push"] / m["easy-same"]);
    }
    served().server.stop();
    return 0;
}
