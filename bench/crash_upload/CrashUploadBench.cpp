// A crash report's way out against its natural baselines, with the ratios printed at the end:
// - a 1 MiB and an 8 MiB package uploaded through the report network client (session upload task, the
//   twelve header fields the reports controller builds) to devserver over HTTPS, against a raw libcurl easy
//   POST of the same file with the same fields and CA, taken in turns (goal: at most 1.5x the median
//   latency). devserver answers the reports path with 200 "{}" and keeps only the body's size, so neither
//   side pays for the server storing what it received;
// - packaging a 1 MiB report directory (gzip of each file, the multipart package around them) against
//   zlib's gzopen/gzwrite of the same files (goal: at most 1.3x);
// - symbolicating 10000 frames of this process against dladdr alone on the same addresses (goal: at most 2x).

#include "bench/common/Medians.hpp"

#include "crash/VZRFileManager.hpp"
#include "crash/VZRNetworkClient.hpp"
#include "crash/VZRPackageReportOperation.hpp"
#include "crash/VZRReport.hpp"
#include "crash/VZRReportsController.hpp"
#include "crash/VZRSymbolResolver.hpp"
#include "crash/capture/VZRContext.hpp"

#include "devserver/CrashReportRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/net/SimNetwork.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <zlib.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <string>
#include <vector>

namespace {

struct UploadBenchState {
    std::string home;
    std::string caPath;
    int port = 0;
};

UploadBenchState& uploadBench() {
    static UploadBenchState state;
    return state;
}

devserver::Server& reportServer() {
    static devserver::Server server;
    return server;
}

// The crash reporting controller's part: identity and settings for the request, and the network client's
// outcomes counted.
class UploadBenchHost : public VZRReportsControllerDelegate, public VZRNetworkClientDelegate {
public:
    bool networkClientCanUseBackgroundSessions(VZRNetworkClient&) override { return true; }
    void networkClientDidFinishUploadWithPath(VZRNetworkClient&, const std::string&,
                                              const std::optional<plat::Error>& error) override {
        {
            std::lock_guard lock(mutex);
            ++finished;
            if (error && !failed)
                std::fprintf(stderr, "upload: %s\n", error->description().c_str());
            failed = failed || error.has_value();
        }
        // After unlocking: the waiter woken would otherwise at once block again on the mutex held here.
        changed.notify_all();
    }
    void reportsControllerDidCompletePackageSubmission(VZRReportsController&, const std::string&,
                                                       const std::optional<plat::Error>&) override {}
    void reportsControllerDidCompleteAllSubmissions(VZRReportsController&) override {}
    VZRSettings settingsForReportsController(VZRReportsController&) override { return VZRSettings(std::nullopt); }
    std::string APIKeyForReportsController(VZRReportsController&) override { return "K"; }
    std::string bundleIdentifierForReportsController(VZRReportsController&) override { return "com.example.app"; }

    // Until the outcome after `seen` arrives; aborts on a failed upload or after 60 s.
    void waitPast(size_t seen) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(60), [&] { return finished > seen; }) || failed) {
            std::fprintf(stderr, "upload failed or timed out\n");
            for (const auto& r : reportServer().requests())
                std::fprintf(stderr, "  %s %s %s\n", r.method.c_str(), r.host.c_str(), r.path.c_str());
            std::abort();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    size_t finished = 0;
    bool failed = false;
};

struct UploadBenchClient {
    std::shared_ptr<VZRFileManager> files;
    std::shared_ptr<UploadBenchHost> host;
    std::shared_ptr<VZRNetworkClient> client;
    std::shared_ptr<VZRReportsController> controller;
};

UploadBenchClient& uploadClient() {
    static UploadBenchClient made = [] {
        UploadBenchClient c;
        c.files = std::make_shared<VZRFileManager>();
        if (!c.files->prepareForNewLaunch())
            std::abort();
        auto queue = plat::OperationQueue::create("bench-crash-upload");
        queue->setMaxConcurrentOperationCount(1);
        c.host = std::make_shared<UploadBenchHost>();
        c.client = VZRNetworkClient::initWithQueue(queue, c.files, c.host);
        c.controller = std::make_shared<VZRReportsController>(queue, c.host, c.client, c.files);
        return c;
    }();
    return made;
}

// A package as the packaging makes it: two value parts and a file part of incompressible (gzip-like) bytes,
// `size` bytes in all, with the request for it.
struct UploadPackage {
    std::string path;
    plat::URLRequest request;
    std::vector<std::string> fields; // "Name: value", as libcurl takes them
};

UploadPackage makeUploadPackage(size_t size, const char* boundary) {
    UploadBenchClient& c = uploadClient();
    UploadPackage p;
    p.path = c.files->preparedPath() + "/" + boundary + ".multipartmime";
    const std::string b = boundary;
    const std::string head = "MIME-Version: 1.0\r\n--" + b +
                             "\r\nContent-Disposition: form-data; name=\"api_key\"\r\nContent-Type: text/plain\r\n\r\nK\r\n--" +
                             b + "\r\nContent-Disposition: form-data; name=\"report_id\"\r\nContent-Type: text/plain\r\n\r\ns1\r\n--" +
                             b + "\r\nContent-Disposition: form-data; name=\"signal.vzrrecord\"; filename=\"signal.vzrrecord.gz\"\r\n"
                                 "Content-Type: application/x-gzip\r\n\r\n";
    const std::string tail = "\r\n--" + b + "--\r\n";
    std::string body = head;
    std::mt19937 random(7);
    while (body.size() < size - tail.size())
        body.push_back(static_cast<char>(random() & 0xff));
    body += tail;
    std::ofstream(p.path, std::ios::binary) << body;
    p.request = c.controller->mutableRequestWithURL(*c.controller->reportURL(), 10);
    p.request.setHTTPMethod("POST"); // as the controller's submission sets it
    if (!c.controller->fillInRequest(p.request, p.path))
        std::abort();
    for (const auto& [name, value] : p.request.allHTTPHeaderFields().fields())
        p.fields.push_back(name + ": " + value);
    return p;
}

double timedClientUpload(const UploadPackage& package) {
    UploadBenchClient& c = uploadClient();
    size_t seen = 0;
    {
        std::lock_guard lock(c.host->mutex);
        seen = c.host->finished;
    }
    const auto start = bench::Clock::now();
    c.client->startUploadRequest(package.request, package.path, false);
    c.host->waitPast(seen);
    return bench::microsSince(start);
}

size_t discardCurlReply(char*, size_t size, size_t count, void*) {
    return size * count;
}

// One keep-alive handle per package size, as the session keeps its connection.
struct CurlUploader {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    curl_slist* connectTo = nullptr;
    ~CurlUploader() {
        curl_slist_free_all(headers);
        curl_slist_free_all(connectTo);
        if (easy)
            curl_easy_cleanup(easy);
    }
};

void setUpCurlUploader(CurlUploader& up, const UploadPackage& package) {
    up.easy = curl_easy_init();
    for (const std::string& field : package.fields)
        up.headers = curl_slist_append(up.headers, field.c_str());
    up.headers = curl_slist_append(up.headers, "Expect:"); // as the platform's transport: no 100-continue wait
    up.connectTo = curl_slist_append(
        nullptr, (std::string(devserver::kCrashReportsHost) + ":443:127.0.0.1:" + std::to_string(uploadBench().port)).c_str());
    curl_easy_setopt(up.easy, CURLOPT_URL, package.request.url()->absoluteString().c_str());
    curl_easy_setopt(up.easy, CURLOPT_CONNECT_TO, up.connectTo);
    curl_easy_setopt(up.easy, CURLOPT_CAINFO, uploadBench().caPath.c_str());
    curl_easy_setopt(up.easy, CURLOPT_HTTPHEADER, up.headers);
    curl_easy_setopt(up.easy, CURLOPT_POST, 1L);
    curl_easy_setopt(up.easy, CURLOPT_WRITEFUNCTION, discardCurlReply);
    curl_easy_setopt(up.easy, CURLOPT_NOSIGNAL, 1L);
}

double timedCurlUpload(CurlUploader& up, const UploadPackage& package) {
    const auto start = bench::Clock::now();
    FILE* file = std::fopen(package.path.c_str(), "rb");
    if (!file)
        std::abort();
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    curl_easy_setopt(up.easy, CURLOPT_READDATA, file);
    curl_easy_setopt(up.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
    const CURLcode code = curl_easy_perform(up.easy);
    long status = 0;
    curl_easy_getinfo(up.easy, CURLINFO_RESPONSE_CODE, &status);
    std::fclose(file);
    if (code != CURLE_OK || status != 200) {
        std::fprintf(stderr, "libcurl upload: %s, status %ld\n", curl_easy_strerror(code), status);
        std::abort();
    }
    return bench::microsSince(start);
}

void uploadInTurns(benchmark::State& state, size_t size, const char* boundary, const char* ours, const char* theirs) {
    const UploadPackage package = makeUploadPackage(size, boundary);
    CurlUploader up;
    setUpCurlUploader(up, package);
    timedClientUpload(package); // connections made before timing
    timedCurlUpload(up, package);
    std::vector<double> client;
    std::vector<double> curl;
    for (auto _ : state) {
        client.push_back(timedClientUpload(package));
        curl.push_back(timedCurlUpload(up, package));
    }
    bench::recordMedian(state, theirs, curl);
    bench::recordMedian(state, ours, client);
    ::unlink(package.path.c_str());
}

void BM_Upload1MiBInTurns(benchmark::State& state) {
    uploadInTurns(state, 1 << 20, "bench1mib", "upload-1", "curl-1");
}

void BM_Upload8MiBInTurns(benchmark::State& state) {
    uploadInTurns(state, 8 << 20, "bench8mib", "upload-8", "curl-8");
}

// A report directory of about 1 MiB as a crash leaves it: record lines of keys and hex, a log of text lines
// and the image list.
std::string makePackagingReport() {
    UploadBenchClient& c = uploadClient();
    const std::string dir = c.files->activePath() + "/bench-package";
    std::filesystem::create_directories(dir);
    std::mt19937 random(3);
    const auto hex = [&random](size_t n) {
        static const char digits[] = "0123456789abcdef";
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s.push_back(digits[random() & 15]);
        return s;
    };
    std::string signal;
    while (signal.size() < 600 * 1024)
        signal += "{\"threads\":[[" + std::to_string(0x7f0000000000ull + (random() & 0xffffff)) +
                  "]],\"msg\":\"" + hex(48) + "\"}\n";
    std::string log;
    for (int i = 0; log.size() < 320 * 1024; ++i)
        log += "WARN  [VZRDwarfInstructionsEnumerate:" + std::to_string(400 + i % 90) +
               "] DW_CFA_def_cfa_offset " + std::to_string(random() % 4096) + "\n";
    std::string images;
    while (images.size() < 104 * 1024)
        images += "{\"load\":{\"path\":\"2f7573722f6c69622f" + hex(40) + "\",\"base\":" +
                  std::to_string(random()) + ",\"size\":" + std::to_string(random() % 1000000) + ",\"uuid\":\"" +
                  hex(32) + "\"}}\n";
    std::ofstream(dir + "/signal.vzrrecord", std::ios::binary) << signal;
    std::ofstream(dir + "/sdk.log", std::ios::binary) << log;
    std::ofstream(dir + "/binary_images.vzrrecord", std::ios::binary) << images;
    std::ofstream(dir + "/metadata.vzrrecord", std::ios::binary) << "{\"identity\":{\"session_id\":\"s1\"}}\n";
    return dir;
}

const std::string& packagingReport() {
    static const std::string dir = makePackagingReport();
    return dir;
}

void BM_PackageReport(benchmark::State& state) {
    UploadBenchClient& c = uploadClient();
    auto report = VZRInternalReport::reportWithPath(packagingReport());
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        auto operation = VZRPackageReportOperation::initWithReport(report, c.files);
        operation->start();
        samples.push_back(bench::microsSince(start));
        if (!operation->finalPath())
            std::abort();
        ::unlink(operation->finalPath()->c_str());
    }
    bench::recordMedian(state, "package", samples);
}

void BM_GzwriteReportFiles(benchmark::State& state) {
    const std::string out = uploadBench().home + "/gz";
    std::filesystem::create_directories(out);
    const char* names[] = {"signal.vzrrecord", "sdk.log", "binary_images.vzrrecord", "metadata.vzrrecord"};
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        for (const char* name : names) {
            std::ifstream in(packagingReport() + "/" + name, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            gzFile gz = gzopen((out + "/" + name + ".gz").c_str(), "w");
            if (!gz || gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size())) != static_cast<int>(bytes.size()))
                std::abort();
            gzclose(gz);
        }
        samples.push_back(bench::microsSince(start));
    }
    bench::recordMedian(state, "gzwrite", samples);
}

// 10000 return addresses inside functions of the C library and of this program.
__attribute__((noinline)) int uploadBenchSymbolTarget(int v) {
    return v * 3 + 1;
}

const std::vector<uintptr_t>& symbolicationAddresses() {
    static const std::vector<uintptr_t> addresses = [] {
        void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        std::vector<uintptr_t> starts;
        for (const char* name : {"qsort", "memcpy", "strlen", "malloc", "free", "fopen", "fclose", "printf", "read",
                                 "write", "open", "close", "strtol", "getenv", "qsort_r", "bsearch"})
            if (void* f = libc ? dlsym(libc, name) : nullptr)
                starts.push_back(reinterpret_cast<uintptr_t>(f));
        starts.push_back(reinterpret_cast<uintptr_t>(&uploadBenchSymbolTarget));
        starts.push_back(reinterpret_cast<uintptr_t>(&timedCurlUpload));
        starts.push_back(reinterpret_cast<uintptr_t>(&makeUploadPackage));
        std::vector<uintptr_t> out;
        for (size_t i = 0; out.size() < 10000; ++i)
            out.push_back(starts[i % starts.size()] + 1 + (i * 7) % 24);
        return out;
    }();
    return addresses;
}

void BM_Symbolicate(benchmark::State& state) {
    VZRSymbolResolver resolver;
    const std::string images = uploadBench().home + "/report/binary_images.vzrrecord";
    if (!resolver.loadBinaryImagesFromFile(images))
        std::abort();
    std::vector<double> samples;
    size_t named = 0;
    for (auto _ : state) {
        named = 0;
        const auto start = bench::Clock::now();
        for (uintptr_t address : symbolicationAddresses()) {
            auto frame = resolver.frameForAddress(address);
            named += frame && frame->symbol ? 1 : 0;
        }
        samples.push_back(bench::microsSince(start));
    }
    state.counters["named"] = static_cast<double>(named);
    bench::recordMedian(state, "symbolicate", samples);
}

void BM_Dladdr(benchmark::State& state) {
    std::vector<double> samples;
    size_t named = 0;
    for (auto _ : state) {
        named = 0;
        const auto start = bench::Clock::now();
        for (uintptr_t address : symbolicationAddresses()) {
            Dl_info info{};
            named += dladdr(reinterpret_cast<void*>(address), &info) && info.dli_sname ? 1 : 0;
        }
        samples.push_back(bench::microsSince(start));
    }
    state.counters["named"] = static_cast<double>(named);
    bench::recordMedian(state, "dladdr", samples);
}

BENCHMARK(BM_Upload1MiBInTurns)->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upload8MiBInTurns)->Iterations(15)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackageReport)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GzwriteReportFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Symbolicate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Dladdr)->Unit(benchmark::kMicrosecond);

// The crash-time context of this process, for its binary-image record (the symbolication's input).
bool startUploadBenchCrashContext() {
    static const std::string report = uploadBench().home + "/report";
    std::filesystem::create_directories(report);
    VZRContextInitData config;
    config.apiKey = "0123456789abcdef0123456789abcdef01234567";
    config.sessionId = "bench";
    config.installId = "bench";
    config.activeDirectory = report.c_str();
    if (!VZRContextInitialize(&config))
        return false;
    for (int i = 0; i < 5000 && !VZRContextIsInitialized(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return VZRContextIsInitialized();
}

} // namespace

int main(int argc, char** argv) {
    char home[] = "/tmp/bench_crash_upload.XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    UploadBenchState& bench = uploadBench();
    bench.home = home;
    plat::Backend::select(plat::BackendKind::threaded);
    // Debug mode: devserver's CA is no pinned root; it is trusted through the extra CA file, verification on.
    plat::sim::Process::setArguments({"bench_crash_upload", "-DAVDebugEnabled"});
    plat::DeviceConfig device;
    device.appHome = bench.home;
    if (!plat::boot(device).ok())
        return 1;
    devserver::Server& server = reportServer();
    if (!server.start())
        return 1;
    server.route(devserver::Route{"POST", devserver::kCrashReportsPathPrefix, devserver::PathMatch::Prefix, "",
                                  devserver::BodyCapture::Count,
                                  [](const devserver::RecordedRequest&) { return devserver::Reply::json(200, "{}"); }});
    bench.port = server.port();
    bench.caPath = bench.home + "/devserver-ca.pem";
    if (!server.writeCa(bench.caPath))
        return 1;
    plat::sim::Network::setCAFile(bench.caPath);
    plat::sim::Network::setResolve(server.resolveEntry(devserver::kCrashReportsHost));
    if (!startUploadBenchCrashContext())
        return 1;
    curl_global_init(CURL_GLOBAL_DEFAULT);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto& m = bench::medians();
    for (const char* size : {"1", "8"}) {
        const std::string ours = std::string("upload-") + size;
        const std::string theirs = std::string("curl-") + size;
        if (m.count(ours) && m.count(theirs))
            std::printf("%s MiB package, taken in turns: network client %.2f ms, libcurl %.2f ms, latency ratio %.2fx "
                        "(goal <= 1.5x)\n",
                        size, m[ours] / 1000, m[theirs] / 1000, m[ours] / m[theirs]);
    }
    if (m.count("package") && m.count("gzwrite"))
        std::printf("1 MiB report packaged %.0f us, gzwrite of its files %.0f us: %.2fx (goal <= 1.3x)\n", m["package"],
                    m["gzwrite"], m["package"] / m["gzwrite"]);
    if (m.count("symbolicate") && m.count("dladdr"))
        std::printf("10000 frames symbolicated %.0f us, dladdr alone %.0f us: %.2fx (goal <= 2x)\n", m["symbolicate"],
                    m["dladdr"], m["symbolicate"] / m["dladdr"]);
    curl_global_cleanup();
    std::error_code ignored;
    std::filesystem::remove_all(bench.home, ignored);
    return 0;
}
