// A 10 MB notification media download from devserver over HTTPS, saved to the caches folder under a new
// name (the push client's whole download step), against raw libcurl writing the same body to a file over a
// kept connection. Throughput of both; goal: the push client at 0.8x of libcurl or better.

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "bench/common/Medians.hpp"
#include "devserver/MediaRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/net/SimNetwork.hpp"

namespace {

using bench::Clock;
constexpr uint64_t kMediaBytes = 10u * 1024u * 1024u;

struct MediaServed {
    devserver::Server server;
    std::string caPath;
    std::string resolve;
    std::string folder;
};

MediaServed& mediaServed() {
    static MediaServed s;
    return s;
}

const std::string& mediaURL() {
    static const std::string url = "https://www.example.test/media/big.png?size=" + std::to_string(kMediaBytes);
    return url;
}

void BM_PushMediaDownload(benchmark::State& state) {
    auto& files = plat::FileManager::defaultManager();
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto name = RadIrivozHelper::downloadMediaAndSaveInBundle(mediaURL());
        samples.push_back(bench::microsSince(start));
        if (!name) {
            std::fprintf(stderr, "media download refused\n");
            std::abort();
        }
        state.PauseTiming();
        const std::string path = RadIrivozHelper::cachesDirectory() + "/" + *name;
        auto attributes = files.attributesOfItem(path);
        const plat::Value* size = attributes.ok() ? attributes->find(plat::NSFileSize) : nullptr;
        if (!size || size->unsignedLongLongValue() != kMediaBytes) {
            std::fprintf(stderr, "media file has the wrong size\n");
            std::abort();
        }
        (void)files.removeItem(path);
        // Each download appends its name to the list and writes it out; the list is emptied between downloads
        // so that every sample writes a list of one name.
        auto& defaults = plat::UserDefaults::standardUserDefaults();
        defaults.remove("CACHED_MEDIA");
        defaults.synchronize();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMediaBytes));
    bench::recordMedian(state, "push", samples);
}

size_t writeToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<FILE*>(file)) * size;
}

void BM_CurlToFile(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    curl_slist* connectTo = curl_slist_append(nullptr, mediaServed().resolve.c_str());
    curl_easy_setopt(easy, CURLOPT_URL, mediaURL().c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(easy, CURLOPT_CAINFO, mediaServed().caPath.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeToFile);
    const std::string path = mediaServed().folder + "/curl.png";
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        FILE* file = std::fopen(path.c_str(), "wb");
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, file);
        long status = 0;
        const CURLcode code = curl_easy_perform(easy);
        const bool closed = file && std::fclose(file) == 0;
        samples.push_back(bench::microsSince(start));
        curl_off_t received = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
        if (code != CURLE_OK || !closed || status != 200 || static_cast<uint64_t>(received) != kMediaBytes) {
            std::fprintf(stderr, "curl download failed\n");
            std::abort();
        }
        std::remove(path.c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMediaBytes));
    bench::recordMedian(state, "curl", samples);
    curl_easy_cleanup(easy);
    curl_slist_free_all(connectTo);
}

BENCHMARK(BM_PushMediaDownload)->Iterations(20)->UseRealTime();
BENCHMARK(BM_CurlToFile)->Iterations(20)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    char home[] = "/tmp/portal-bench-media-XXXXXX";
    if (!::mkdtemp(home)) {
        return 1;
    }
    mediaServed().folder = home;
    plat::AppHome::configure(std::string(home) + "/home");
    (void)plat::AppHome::createFolders();
    devserver::installMediaRoutes(mediaServed().server);
    if (!mediaServed().server.start()) {
        return 1;
    }
    mediaServed().caPath = std::string(home) + "/ca.pem";
    mediaServed().resolve = mediaServed().server.resolveEntry(devserver::kMediaHost);
    if (!mediaServed().server.writeCa(mediaServed().caPath)) {
        return 1;
    }
    plat::sim::Network::setCAFile(mediaServed().caPath);
    plat::sim::Network::setResolve(mediaServed().resolve);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto& m = bench::medians();
    if (m.count("push") && m.count("curl")) {
        const double mb = static_cast<double>(kMediaBytes) / (1024.0 * 1024.0);
        std::printf("10 MB media download median: push client %.1f ms (%.0f MB/s), libcurl to a file %.1f ms "
                    "(%.0f MB/s), throughput ratio %.2fx\n",
                    m["push"] / 1000, mb / (m["push"] / 1e6), m["curl"] / 1000, mb / (m["curl"] / 1e6),
                    m["curl"] / m["push"]);
    }
    mediaServed().server.stop();
    return 0;
}
