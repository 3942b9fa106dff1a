// The instance-ID client's identity against its natural baselines, with the ratios printed at the end:
// - `appIdentityWithError` with the pair held against SHA-1 of the same public-key bytes plus OpenSSL's
//   base64 and the web-safe character translation (goal: at most 1.5x);
// - the first identity on an empty keychain (generate, store both keys, write the creation time) against
//   RSA-2048 generation alone, medians of 30 runs taken in turns (goal: at most 1.2x).

#include "bench/common/Medians.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDKeyPairStore.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/security/Keychain.hpp"
#include "platform/security/SecKey.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>

namespace {

plat::test::TempAppHome& benchHome() {
    static plat::test::TempAppHome home;
    static plat::test::FixtureBundle bundle(home.root() + "/Bench.app",
                                            plat::Dictionary{{"CFBundleIdentifier", "com.example.bench"}});
    static bool ready = [] {
        bundle.makeMain();
        return plat::FileManager::defaultManager()
            .createDirectory(plat::AppHome::applicationSupport() + "/" + kDAVInstanceIDSubDirectoryName, true)
            .ok();
    }();
    (void)ready;
    return home;
}

void resetIdentityState() {
    plat::sim::Keychain::wipe();
    (void)plat::FileManager::defaultManager().removeItem(plat::AppHome::applicationSupport() + "/" +
                                                         kDAVInstanceIDSubDirectoryName +
                                                         "/com.razoza.iid-keypair.plist");
}

std::string baselineIdentity(const plat::Data& publicKeyData) {
    plat::Data digest = plat::Digest::sha1(std::span<const std::uint8_t>(publicKeyData));
    digest[0] = static_cast<std::uint8_t>(0x70 | (digest[0] & 0x0F));
    unsigned char out[16];
    const int length = EVP_EncodeBlock(out, digest.data(), 8);
    std::string text(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    return text;
}

void BM_Identity_HeldPair(benchmark::State& state) {
    benchHome();
    resetIdentityState();
    DAVInstanceIDKeyPairStore store;
    (void)store.appIdentityWithError(nullptr);
    for (auto _ : state) {
        auto identity = store.appIdentityWithError(nullptr);
        benchmark::DoNotOptimize(identity);
    }
}

void BM_Identity_DigestAndEncodeBlock(benchmark::State& state) {
    benchHome();
    resetIdentityState();
    DAVInstanceIDKeyPairStore store;
    const plat::Data publicKeyData = store.loadKeyPairWithError(nullptr)->publicKeyData();
    for (auto _ : state) {
        auto identity = baselineIdentity(publicKeyData);
        benchmark::DoNotOptimize(identity);
    }
}

// Both sides of the first-identity comparison in one loop, taking turns (and swapping which goes first),
// so that the load of a shared machine weighs on both alike; the pause covers only the reset.
void BM_FirstIdentity_AgainstGenerateRSA(benchmark::State& state) {
    benchHome();
    std::vector<double> identitySamples;
    std::vector<double> generateSamples;
    bool identityFirst = true;
    for (auto _ : state) {
        state.PauseTiming();
        resetIdentityState();
        DAVInstanceIDKeyPairStore store;
        state.ResumeTiming();
        auto runIdentity = [&] {
            const auto start = bench::Clock::now();
            auto identity = store.appIdentityWithError(nullptr);
            identitySamples.push_back(bench::microsSince(start));
            benchmark::DoNotOptimize(identity);
        };
        auto runGenerate = [&] {
            const auto start = bench::Clock::now();
            auto key = plat::SecKey::generateRSA(2048);
            generateSamples.push_back(bench::microsSince(start));
            benchmark::DoNotOptimize(key);
        };
        if (identityFirst) {
            runIdentity();
            runGenerate();
        } else {
            runGenerate();
            runIdentity();
        }
        identityFirst = !identityFirst;
    }
    bench::recordMedian(state, "first-identity", identitySamples);
    bench::medians()["generate-rsa"] = bench::median(generateSamples);
    state.counters["rsa_median_us"] = bench::medians()["generate-rsa"];
}

BENCHMARK(BM_Identity_HeldPair);
BENCHMARK(BM_Identity_DigestAndEncodeBlock);
BENCHMARK(BM_FirstIdentity_AgainstGenerateRSA)->Iterations(30)->Unit(benchmark::kMillisecond);

class IdentityRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    IdentityRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.times;
    if (t.count("BM_Identity_HeldPair") && t.count("BM_Identity_DigestAndEncodeBlock")) {
        std::printf("identity of a held pair: %.2fx the time of SHA-1 + EVP_EncodeBlock (goal <= 1.5x)\n",
                    t["BM_Identity_HeldPair"] / t["BM_Identity_DigestAndEncodeBlock"]);
    }
    auto& m = bench::medians();
    if (m.count("first-identity") && m.count("generate-rsa")) {
        std::printf("first identity: median %.1f ms, RSA-2048 generation alone %.1f ms, %.2fx (goal <= 1.2x)\n",
                    m["first-identity"] / 1000, m["generate-rsa"] / 1000, m["first-identity"] / m["generate-rsa"]);
    }
    benchmark::Shutdown();
    return 0;
}
