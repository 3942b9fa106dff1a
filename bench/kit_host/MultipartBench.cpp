// The multipart writer against plain appends of the identical bytes: a body of 50 text parts and one
// 10 MiB file part,
// - into a memory stream against std::string::append (goal: at most 1.2x);
// - into a file stream against write(2) of the same pieces to a file (goal: at most 1.1x).
// main prints both ratios after the runs.

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Value.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kFileBytes = 10u << 20;
constexpr int kTextParts = 50;
const std::string kBoundary = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

std::map<std::string, double>& multipartSeconds() {
    static std::map<std::string, double> m;
    return m;
}

const plat::Data& fileBytes() {
    static const plat::Data data = [] {
        plat::Data d(kFileBytes);
        for (size_t i = 0; i < d.size(); ++i)
            d[i] = static_cast<uint8_t>(i * 131 + 7);
        return d;
    }();
    return data;
}

std::string textName(int i) {
    return "app[field_" + std::to_string(i) + "]";
}
std::string textValue(int i) {
    return "value number " + std::to_string(i) + " of the form";
}

// The body's pieces as the writer puts them on the stream, for the baselines.
const std::vector<std::string>& textPieces() {
    static const std::vector<std::string> pieces = [] {
        std::vector<std::string> p;
        p.push_back("MIME-Version: 1.0\r\n");
        for (int i = 0; i < kTextParts; ++i)
            p.push_back("--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + textName(i) +
                        "\"\r\nContent-Type: text/plain\r\n\r\n" + textValue(i) + "\r\n");
        p.push_back("--" + kBoundary +
                    "\r\nContent-Disposition: form-data; name=\"app[file]\"; filename=\"blob.bin\"\r\n"
                    "Content-Type: application/octet-stream\r\n\r\n");
        return p;
    }();
    return pieces;
}
const std::string kFooter = "\r\n--" + kBoundary + "--\r\n";

void encodeBody(ZUVMultipartMimeStreamEncoder& encoder) {
    encoder.encode([&] {
        for (int i = 0; i < kTextParts; ++i)
            encoder.addValue(std::string_view(textValue(i)), textName(i));
        encoder.addFileData(fileBytes(), "blob.bin", std::nullopt, "app[file]");
    });
}

template <class Body> void timed(benchmark::State& state, const char* name, Body body) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        body();
    multipartSeconds()[name] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileBytes));
}

void BM_EncoderIntoMemory(benchmark::State& state) {
    timed(state, "encoder memory", [] {
        auto encoder = ZUVMultipartMimeStreamEncoder::encoderWithStream(plat::OutputStream::toMemory(), kBoundary);
        encodeBody(*encoder);
        benchmark::DoNotOptimize(encoder->length());
    });
}
BENCHMARK(BM_EncoderIntoMemory)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_StringAppend(benchmark::State& state) {
    timed(state, "string append", [] {
        std::string body;
        for (const auto& piece : textPieces())
            body.append(piece);
        body.append(reinterpret_cast<const char*>(fileBytes().data()), fileBytes().size());
        body.append(kFooter);
        benchmark::DoNotOptimize(body.data());
    });
}
BENCHMARK(BM_StringAppend)->UseRealTime()->Unit(benchmark::kMillisecond);

std::string& benchFolder() {
    static std::string folder;
    return folder;
}

void BM_EncoderIntoFile(benchmark::State& state) {
    const std::string path = benchFolder() + "/encoder.body";
    timed(state, "encoder file", [&] {
        std::filesystem::remove(path);
        auto encoder = ZUVMultipartMimeStreamEncoder::encoderWithStream(plat::OutputStream::toFile(path, false), kBoundary);
        encodeBody(*encoder);
        benchmark::DoNotOptimize(encoder->length());
    });
}
BENCHMARK(BM_EncoderIntoFile)->UseRealTime()->Unit(benchmark::kMillisecond);

void writeAll(int fd, const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n <= 0)
            std::abort();
        p += n;
        length -= static_cast<size_t>(n);
    }
}

void BM_WriteSyscalls(benchmark::State& state) {
    const std::string path = benchFolder() + "/write.body";
    timed(state, "write(2)", [&] {
        std::filesystem::remove(path);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            std::abort();
        for (const auto& piece : textPieces())
            writeAll(fd, piece.data(), piece.size());
        writeAll(fd, fileBytes().data(), fileBytes().size());
        writeAll(fd, kFooter.data(), kFooter.size());
        ::close(fd);
    });
}
BENCHMARK(BM_WriteSyscalls)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    char folder[] = "/tmp/multipart-bench-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    benchFolder() = folder;
    // The inputs are made before the first timed run, so no benchmark pays for them.
    (void)fileBytes();
    (void)textPieces();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto& m = multipartSeconds();
    if (m.count("encoder memory") && m.count("string append"))
        std::printf("into memory: encoder %.2f ms, string append %.2f ms, ratio %.2fx (goal <= 1.2x)\n",
                    m["encoder memory"] * 1e3, m["string append"] * 1e3, m["encoder memory"] / m["string append"]);
    if (m.count("encoder file") && m.count("write(2)"))
        std::printf("into a file: encoder %.2f ms, write(2) %.2f ms, ratio %.2fx (goal <= 1.1x)\n",
                    m["encoder file"] * 1e3, m["write(2)"] * 1e3, m["encoder file"] / m["write(2)"]);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
