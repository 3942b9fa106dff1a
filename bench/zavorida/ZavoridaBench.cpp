// The HTTP client's hot paths against their natural baselines in the same run:
// - URLEncoding of 10,000 parameters and percentEscape of 10 MB against curl_easy_escape on the same text;
// - MultipartFormData.encodeToData of 100 MB against building the same bytes in memory by hand;
// - writeEncodedDataToFile of a 1 GB file part against fread/fwrite with 64 KiB buffers.
// Run each benchmark in a process of its own (`bench/run-paired` does), so that neither side meets a heap
// the other warmed.
// ZAVORIDA_BENCH_FILE_MB overrides the size of the file benchmark (default 1024).

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Zavorida/Source/MultipartFormData.hpp"
#include "Zavorida/Source/ParameterEncoding.hpp"

namespace {

namespace fs = std::filesystem;
using Zavorida::MultipartFormData;
using Zavorida::ParameterDictionary;
using Zavorida::URLEncoding;

constexpr std::size_t kChunk = 64 * 1024;

// Text with the mix a query sees: letters, digits, spaces, reserved characters and some UTF-8.
std::string mixedText(std::size_t size) {
    static const std::string pattern = "name=Ann Smith&city=Zürich/€?q=a+b;c:d#e[0]@x!y$z'(1)*2,3 value-._~ ";
    std::string text;
    text.reserve(size + pattern.size());
    while (text.size() < size) {
        text += pattern;
    }
    text.resize(size);
    // Keep the cut inside ASCII so the text stays valid UTF-8.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0x80)) {
        text.pop_back();
    }
    return text;
}

struct Parameters {
    ParameterDictionary dictionary;
    std::vector<std::pair<std::string, std::string>> sorted;
};

const Parameters& tenThousandParameters() {
    static const Parameters parameters = [] {
        Parameters p;
        for (int i = 0; i < 10000; ++i) {
            char key[32];
            std::snprintf(key, sizeof key, "key%05d", i);
            std::string value = "value " + std::to_string(i) + " & more=text/€";
            p.dictionary.set(key, value);
            p.sorted.emplace_back(key, value);
        }
        return p;
    }();
    return parameters;
}

std::string curlEscape(CURL* curl, const std::string& text) {
    char* escaped = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
    std::string result(escaped);
    curl_free(escaped);
    return result;
}

void BM_URLEncoding_QueryOf10000Parameters(benchmark::State& state) {
    const auto& parameters = tenThousandParameters();
    URLEncoding encoding;
    for (auto _ : state) {
        benchmark::DoNotOptimize(encoding.makeQueryString(parameters.dictionary));
    }
}
BENCHMARK(BM_URLEncoding_QueryOf10000Parameters)->Unit(benchmark::kMillisecond);

void BM_Baseline_CurlEscapeOf10000Parameters(benchmark::State& state) {
    const auto& parameters = tenThousandParameters();
    CURL* curl = curl_easy_init();
    for (auto _ : state) {
        std::string query;
        for (const auto& [key, value] : parameters.sorted) {
            if (!query.empty()) {
                query += '&';
            }
            query += curlEscape(curl, key);
            query += '=';
            query += curlEscape(curl, value);
        }
        benchmark::DoNotOptimize(query);
    }
    curl_easy_cleanup(curl);
}
BENCHMARK(BM_Baseline_CurlEscapeOf10000Parameters)->Unit(benchmark::kMillisecond);

const std::string& tenMegabytes() {
    static const std::string text = mixedText(10 * 1024 * 1024);
    return text;
}

void BM_PercentEscape_10MB(benchmark::State& state) {
    const std::string& text = tenMegabytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(URLEncoding::percentEscape(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PercentEscape_10MB)->Unit(benchmark::kMillisecond);

void BM_Baseline_CurlEscape_10MB(benchmark::State& state) {
    const std::string& text = tenMegabytes();
    CURL* curl = curl_easy_init();
    for (auto _ : state) {
        benchmark::DoNotOptimize(curlEscape(curl, text));
    }
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Baseline_CurlEscape_10MB)->Unit(benchmark::kMillisecond);

// Multipart

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "zavorida-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data())) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

long maxRSSKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

constexpr std::size_t kMemoryBody = 100u * 1024 * 1024;

plat::Data encodedForm(const plat::Data& payload) {
    MultipartFormData form;
    form.appendDataWithFileName(payload, "file", "payload.bin", "application/octet-stream");
    return form.encodeToData();
}

void BM_Multipart_EncodeToData_100MB(benchmark::State& state) {
    const plat::Data payload(kMemoryBody, 'x');
    for (auto _ : state) {
        state.PauseTiming();
        MultipartFormData form;
        form.appendDataWithFileName(payload, "file", "payload.bin", "application/octet-stream");
        state.ResumeTiming();
        const plat::Data body = form.encodeToData();
        if (body.size() <= kMemoryBody) {
            std::abort();
        }
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMemoryBody));
}
BENCHMARK(BM_Multipart_EncodeToData_100MB)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same bytes built in memory by hand: the part's head, the payload and the closing boundary copied
// into one buffer of the right size.
void BM_Baseline_InMemory_100MB(benchmark::State& state) {
    const plat::Data payload(kMemoryBody, 'x');
    const plat::Data reference = encodedForm(payload);
    const auto at = std::search(reference.begin(), reference.end(), payload.begin(), payload.begin() + 64);
    const plat::Data head(reference.begin(), at);
    const plat::Data tail(at + static_cast<std::ptrdiff_t>(payload.size()), reference.end());
    for (auto _ : state) {
        plat::Data body;
        body.reserve(head.size() + payload.size() + tail.size());
        body.insert(body.end(), head.begin(), head.end());
        body.insert(body.end(), payload.begin(), payload.end());
        body.insert(body.end(), tail.begin(), tail.end());
        if (body.size() != reference.size()) {
            std::abort();
        }
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMemoryBody));
}
BENCHMARK(BM_Baseline_InMemory_100MB)->Unit(benchmark::kMillisecond)->Iterations(3);

std::size_t fileBenchBytes() {
    const char* env = std::getenv("ZAVORIDA_BENCH_FILE_MB");
    return static_cast<std::size_t>(env ? std::atol(env) : 1024) * 1024 * 1024;
}

// The file part of the file benchmarks, written once and removed at exit.
struct SourceFile {
    SourceFile() : size(fileBenchBytes()), path(dir.path() / "source.bin") {
        FILE* out = std::fopen(path.c_str(), "wb");
        std::vector<char> block(kChunk, 'y');
        for (std::size_t at = 0; at < size; at += kChunk) {
            std::fwrite(block.data(), 1, std::min(kChunk, size - at), out);
        }
        std::fclose(out);
    }
    TempDir dir;
    std::size_t size;
    fs::path path;
};

const SourceFile& sourceFile() {
    static const SourceFile source;
    return source;
}

void BM_Multipart_WriteEncodedDataToFile(benchmark::State& state) {
    const SourceFile& source = sourceFile();
    const long rssBefore = maxRSSKilobytes();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path target = source.dir.path() / ("form" + std::to_string(round++));
        MultipartFormData form;
        form.appendFile(plat::URL::file(source.path.string()), "file");
        state.ResumeTiming();
        form.writeEncodedDataToFile(plat::URL::file(target.string()));
        state.PauseTiming();
        fs::remove(target);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size));
    state.counters["maxRSSGrowthMB"] = static_cast<double>(maxRSSKilobytes() - rssBefore) / 1024.0;
}
BENCHMARK(BM_Multipart_WriteEncodedDataToFile)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_Baseline_FreadFwrite64K_File(benchmark::State& state) {
    const SourceFile& source = sourceFile();
    std::vector<char> buffer(kChunk);
    int round = 0;
    for (auto _ : state) {
        const fs::path target = source.dir.path() / ("copy" + std::to_string(round++));
        FILE* in = std::fopen(source.path.c_str(), "rb");
        FILE* out = std::fopen(target.c_str(), "wb");
        std::setvbuf(out, nullptr, _IOFBF, kChunk);
        std::size_t n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
            std::fwrite(buffer.data(), 1, n, out);
        }
        std::fclose(in);
        std::fclose(out);
        state.PauseTiming();
        fs::remove(target);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size));
}
BENCHMARK(BM_Baseline_FreadFwrite64K_File)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
