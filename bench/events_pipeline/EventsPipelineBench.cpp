// The event kit's pipeline, each step against its natural baseline:
// - compressing a 1 MiB event log and packaging it as a multipart file (the kit's compress and package
//   operations) against zlib's gzopen/gzwrite/gzclose of the same bytes (goal: at most 1.3x);
// - uploading a 64 KiB package through ZDAUploader (session, task per name, delegate round trip) against a raw
//   libcurl POST of the same file with the same headers, one at a time, to a forked loopback devserver over
//   plain HTTP, the pair taken in turns (goal: median latency at most 1.5x); the platform session's own upload
//   task from the same file is timed too, to tell the uploader's share from the session's. A second raw POST
//   takes a new connection each time and sends "Accept-Encoding: gzip, deflate", as the session once sent
//   every request not safe to repeat; it shows what a connection of its own per upload costs. main prints the
//   ratios.

#include "ZazududIda/ZDALogFileOperations.hpp"
#include "ZazududIda/ZDAUploader.hpp"
#include "bench/common/ForkedServer.hpp"
#include "bench/common/Medians.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/URLSession.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using bench::ForkedServer;

std::string& pipelineFolder() {
    static std::string folder;
    return folder;
}

ForkedServer& eventsServer() {
    static ForkedServer instance;
    return instance;
}

// A log of realistic lines: tab-separated records with JSON payloads, some repetition, some noise.
std::string pipelineLog(std::size_t size) {
    std::mt19937 random(7);
    std::string log;
    while (log.size() < size) {
        const std::string payload = "{\"eventId\":\"" + std::to_string(random()) + "-" + std::to_string(random()) +
                                    "\",\"custom_type\":\"purchase_done\",\"custom_attributes\":{\"items\":" +
                                    std::to_string(random() % 10) + ",\"screen\":\"checkout\"}}";
        log += "1700000000" + std::to_string(random() % 1000) + "\tcustom\t" + std::to_string(payload.size()) + "\t" +
               payload + "\n";
    }
    log.resize(size);
    return log;
}

void writePipelineFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

double gzipBaselineMicros(const std::string& log, const std::string& out) {
    const auto start = bench::Clock::now();
    gzFile gz = gzopen(out.c_str(), "w");
    gzwrite(gz, log.data(), static_cast<unsigned>(log.size()));
    gzclose(gz);
    return bench::microsSince(start);
}

double compressAndPackageMicros(const std::string& log) {
    const std::string dir = pipelineFolder();
    writePipelineFile(dir + "/L.log", log);
    std::filesystem::remove(dir + "/L.gz");
    const auto start = bench::Clock::now();
    ZDACompressLogOperation compress(plat::URL::file(dir + "/L.log"), plat::URL::file(dir + "/L.gz"));
    compress.main();
    ZDAPackageLogOperation package(plat::URL::file(dir + "/L.gz"), plat::URL::file(dir + "/B.multipartmime"), "B");
    package.main();
    const double micros = bench::microsSince(start);
    if (!compress.success() || !package.success()) {
        std::fprintf(stderr, "the pipeline failed\n");
        std::exit(1);
    }
    return micros;
}

void BM_CompressAndPackage1MiB(benchmark::State& state) {
    const std::string log = pipelineLog(1 << 20);
    std::vector<double> ours, baseline;
    for (auto _ : state) {
        ours.push_back(compressAndPackageMicros(log));
        baseline.push_back(gzipBaselineMicros(log, pipelineFolder() + "/baseline.gz"));
    }
    bench::recordMedian(state, "package", ours);
    bench::recordMedian(state, "gzwrite", baseline);
}
BENCHMARK(BM_CompressAndPackage1MiB)->Iterations(60)->UseRealTime();

// Ends each upload at once and wakes the waiting bench.
class BenchUploaderDelegate : public ZDAUploaderDelegate {
public:
    std::string filePathForUniqueName(ZDAUploader&, const std::string& name) override {
        return pipelineFolder() + "/" + name + ".multipartmime";
    }
    void didFinishUploadWithUniqueName(ZDAUploader&, const std::string&, const std::optional<plat::Error>& error) override {
        failed = failed || error.has_value();
        done.signal();
    }
    void completedRequest(ZDAUploader&, const plat::URLRequest&, const plat::HTTPURLResponse* response,
                          const std::string&, const std::optional<plat::Error>& error, RetryCompletion completion) override {
        failed = failed || !response || response->statusCode() != 200;
        completion(false, error);
    }
    plat::DispatchSemaphore done{0};
    bool failed = false;
};

std::string eventsURL() {
    return "http://127.0.0.1:" + std::to_string(eventsServer().port()) + "/spi/v2/events";
}

struct UploadFixture {
    std::shared_ptr<plat::OperationQueue> queue = plat::OperationQueue::create("bench.events.upload");
    std::shared_ptr<BenchUploaderDelegate> delegate = std::make_shared<BenchUploaderDelegate>();
    std::shared_ptr<ZDAUploader> uploader;
    std::string path = pipelineFolder() + "/U.multipartmime";
    UploadFixture() {
        queue->setMaxConcurrentOperationCount(1);
        uploader = ZDAUploader::make(queue, delegate);
        writePipelineFile(path, std::string(64 * 1024, 'p'));
    }
};

double timedKitUpload(UploadFixture& fixture) {
    ZDAUploadOperation operation(fixture.uploader, plat::URL::parse(eventsURL()), std::string("bench-key"),
                                 plat::URL::file(fixture.path), "U");
    const auto start = bench::Clock::now();
    fixture.uploader->startUploadRequest(operation.request(), fixture.path, "U");
    fixture.delegate->done.wait();
    return bench::microsSince(start);
}

// `sameWire`: a fresh connection and the session's Accept-Encoding, as the session once sent a POST.
double timedCurlUpload(CURL* easy, const UploadFixture& fixture, bool sameWire) {
    ZDAUploadOperation operation(nullptr, plat::URL::parse(eventsURL()), std::string("bench-key"),
                                 plat::URL::file(fixture.path), "U");
    const auto start = bench::Clock::now();
    struct curl_slist* headers = nullptr;
    const auto request = operation.request();
    for (const auto& field : request->allHTTPHeaderFields()) {
        headers = curl_slist_append(headers, (field.first + ": " + field.second).c_str());
    }
    std::FILE* file = std::fopen(fixture.path.c_str(), "rb");
    curl_easy_setopt(easy, CURLOPT_URL, eventsURL().c_str());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_READDATA, file);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(64 * 1024));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, sameWire ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, sameWire ? "gzip, deflate" : nullptr);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
    const CURLcode code = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    std::fclose(file);
    curl_slist_free_all(headers);
    const double micros = bench::microsSince(start);
    if (code != CURLE_OK || status != 200) {
        std::fprintf(stderr, "the raw POST failed\n");
        std::exit(1);
    }
    return micros;
}

double timedBareUpload(const UploadFixture& fixture) {
    static auto session = plat::URLSession::make(plat::URLSessionConfiguration::defaultConfiguration());
    ZDAUploadOperation operation(nullptr, plat::URL::parse(eventsURL()), std::string("bench-key"),
                                 plat::URL::file(fixture.path), "U");
    const auto request = operation.request();
    const auto start = bench::Clock::now();
    plat::DispatchSemaphore done(0);
    session->uploadTask(*request, plat::URL::file(fixture.path), [&](auto, auto, auto) { done.signal(); })->resume();
    done.wait();
    return bench::microsSince(start);
}

void BM_BareSessionUpload64KiB(benchmark::State& state) {
    UploadFixture fixture;
    std::vector<double> samples;
    for (auto _ : state) {
        samples.push_back(timedBareUpload(fixture));
    }
    bench::recordMedian(state, "bare", samples);
}
BENCHMARK(BM_BareSessionUpload64KiB)->Iterations(200)->UseRealTime();

// In turns, so a change of load on the shared machine weighs on all alike.
void BM_Upload64KiBInTurns(benchmark::State& state) {
    UploadFixture fixture;
    CURL* easy = curl_easy_init();
    CURL* sameWireEasy = curl_easy_init();
    std::vector<double> ours, baseline, sameWire;
    for (auto _ : state) {
        ours.push_back(timedKitUpload(fixture));
        baseline.push_back(timedCurlUpload(easy, fixture, false));
        sameWire.push_back(timedCurlUpload(sameWireEasy, fixture, true));
    }
    curl_easy_cleanup(easy);
    curl_easy_cleanup(sameWireEasy);
    if (fixture.delegate->failed) {
        state.SkipWithError("an upload failed");
    }
    bench::recordMedian(state, "uploader", ours);
    bench::recordMedian(state, "libcurl", baseline);
    bench::recordMedian(state, "libcurl-same-wire", sameWire);
}
BENCHMARK(BM_Upload64KiBInTurns)->Iterations(500)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // First, while this process has no thread yet.
    const bool serving = eventsServer().start([](devserver::Server& s) {
        s.route("POST", "/spi/v2/events", devserver::Reply::json(200, "{}"));
    });
    if (!serving) {
        return 1;
    }
    char home[] = "/tmp/portal-bench-XXXXXX";
    if (!::mkdtemp(home)) {
        return 1;
    }
    pipelineFolder() = std::string(home) + "/work";
    std::filesystem::create_directories(pipelineFolder());
    plat::DeviceConfig config;
    config.appHome = std::string(home) + "/home";
    if (!plat::boot(config).ok()) {
        return 1;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& m = bench::medians();
    if (m.count("package") && m.count("gzwrite")) {
        std::printf("1 MiB log: compress and package %.0f us, zlib gzwrite %.0f us, ratio %.2fx (goal: at most 1.30x)\n",
                    m["package"], m["gzwrite"], m["package"] / m["gzwrite"]);
    }
    if (m.count("uploader") && m.count("libcurl")) {
        std::printf("64 KiB upload, median latency: uploader %.1f us, raw libcurl %.1f us, ratio %.2fx (goal: at most "
                    "1.50x)\n",
                    m["uploader"], m["libcurl"], m["uploader"] / m["libcurl"]);
    }
    if (m.count("uploader") && m.count("libcurl-same-wire")) {
        std::printf("raw libcurl with a new connection per POST and the session's Accept-Encoding: %.1f us; uploader / "
                    "that %.2fx\n",
                    m["libcurl-same-wire"], m["uploader"] / m["libcurl-same-wire"]);
    }
    if (m.count("uploader") && m.count("bare")) {
        std::printf("the platform's own upload task from the file alone: %.1f us; uploader / that %.2fx\n", m["bare"],
                    m["uploader"] / m["bare"]);
    }
    std::filesystem::remove_all(home);
    return 0;
}
