// The instance-ID client's identity against its natural baselines, with the ratios printed at the end:
// - `appIdentityWithError` with the pair held against SHA-1 of the same public-key bytes plus OpenSSL's
//   base64 and the web-safe character translation (goal: at most 1.5x);
// - the first identity on an empty keychain (generate, store both keys, write the creation time) against
//   RSA-2048 generation alone, medians of 30 runs taken in turns (goal: at most 1.2x);
// - `tokenInfoWithAuthorizedEntity` with 10, 100 and 1000 records in the keychain against reading the
// keychain
//   file and parsing it with libplist alone, finding the item and decoding its one archive (goal: at most
//   1.5x at 100 records);
// - a cached token request (`tokenWithAuthorizedEntity:scope:options:handler:` with valid check-in
//   credentials and a fresh record) until its handler ran on the main loop, against the token store's lookup
//   of that record alone (goal: at most 1.3x).

#include "bench/common/Medians.hpp"
#include "instance_id/DAVInstanceID.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDKeyPairStore.hpp"
#include "instance_id/DAVInstanceIDTokenStore.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/security/Keychain.hpp"
#include "platform/security/SecKey.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

plat::test::TempAppHome& benchHome() {
    static plat::test::TempAppHome home;
    static plat::test::FixtureBundle bundle(home.root() + "/Bench.app",
                                            plat::Dictionary{{"CFBundleIdentifier", "com.example.bench"},
                                                             {"CFBundleShortVersionString", "1.0"}});
    static bool ready = [] {
        bundle.add("RazozaService-Info.plist",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                   "<key>RAZOZA_APP_ID</key><string>1:123:ios:abc</string>"
                   "<key>RCM_SENDER_ID</key><string>sender-bench</string></dict></plist>");
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

// The keychain holds `count` token records (sender-0 ... sender-<count-1>, scope "*"); grown as needed, so
// the three sizes share one set-up.
void fillTokenRecords(int count) {
    static int filled = -1;
    if (filled < 0) {
        benchHome();
        plat::sim::Keychain::wipe();
        filled = 0;
    }
    auto store = DAVInstanceIDTokenStore::defaultStore();
    for (; filled < count; ++filled) {
        DAVInstanceIDTokenInfo info("sender-" + std::to_string(filled), "*",
                                    "token-" + std::to_string(filled) +
                                        ":APA91bXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX",
                                    "1.0", "1:123:ios:abc");
        info.setAPNSInfo(std::make_shared<DAVInstanceIDAPNSInfo>(plat::Data(32, 0xAB), true));
        store->saveTokenInfo(info);
    }
}

void BM_TokenInfo_Lookup(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    fillTokenRecords(count);
    auto store = DAVInstanceIDTokenStore::defaultStore();
    const std::string entity = "sender-" + std::to_string(count / 2);
    for (auto _ : state) {
        auto info = store->tokenInfoWithAuthorizedEntity(entity, "*");
        if (!info) {
            state.SkipWithError("record not found");
            break;
        }
        benchmark::DoNotOptimize(info);
    }
}

std::string plistString(plist_t node) {
    char* text = nullptr;
    if (node && plist_get_node_type(node) == PLIST_STRING) {
        plist_get_string_val(node, &text);
    }
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

// The natural baseline: the keychain file read and parsed by libplist, the item found by service, account and
// generic, its archive parsed and its members read.
void BM_TokenInfo_LibplistAlone(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    fillTokenRecords(count);
    const std::string service = "sender-" + std::to_string(count / 2) + ":*";
    for (auto _ : state) {
        std::ifstream in(plat::sim::Keychain::path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        plist_t root = nullptr;
        plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        std::string token;
        for (uint32_t i = 0; root && i < plist_array_get_size(root); ++i) {
            plist_t item = plist_array_get_item(root, i);
            if (plistString(plist_dict_get_item(item, plat::kSecAttrService)) != service ||
                plistString(plist_dict_get_item(item, plat::kSecAttrAccount)) != "com.example.bench" ||
                plistString(plist_dict_get_item(item, plat::kSecAttrGeneric)) !=
                    kDAVInstanceIDTokenKeychainGeneric) {
                continue;
            }
            const char* data = nullptr;
            uint64_t length = 0;
            data = plist_get_data_ptr(plist_dict_get_item(item, plat::kSecValueData), &length);
            plist_t archive = nullptr;
            plist_from_memory(data, static_cast<uint32_t>(length), &archive);
            for (const char* key :
                 {"authorized_entity", "scope", "token", "app_version", "vedudodu_app_id"}) {
                token = plistString(plist_dict_get_item(archive, key));
            }
            plist_t apns = plist_dict_get_item(archive, "apns_info");
            const char* apnsData = apns ? plist_get_data_ptr(apns, &length) : nullptr;
            plist_t nested = nullptr;
            if (apnsData) {
                plist_from_memory(apnsData, static_cast<uint32_t>(length), &nested);
            }
            plist_free(nested);
            plist_free(archive);
            break;
        }
        plist_free(root);
        if (token.empty()) {
            state.SkipWithError("record not found");
            break;
        }
        benchmark::DoNotOptimize(token);
    }
}

// A started facade whose check-in is valid and whose record for ("sender-bench", "*") is fresh, so that a
// token request is answered from the cache. Made once, before the keychain fills with the records above.
std::shared_ptr<DAVInstanceID> cachedRequestFacade() {
    static std::shared_ptr<DAVInstanceID> facade = [] {
        benchHome();
        plat::sim::Keychain::wipe();
        auto first = DAVInstanceID::initPrivately();
        first->start(); // records the library version, so the next start keeps the credentials below
        DAVInstanceIDCheckinPreferences checkin("4444444444444444444", "5555555555555555555");
        checkin.setLastCheckinTimestampMillis(DAVInstanceIDNowMilliseconds());
        checkin.setVersionInfo("bench");
        first->tokenManager()->instanceIDStore()->saveCheckinPreferences(checkin, nullptr);
        DAVInstanceIDUserDefaultsSetString(kDAVInstanceIDUserDefaultsKeyLocale, DAVInstanceIDCurrentLocale());
        auto made = DAVInstanceID::initPrivately();
        made->start(); // without a key pair yet, starting drops every cached record: the record comes after
        DAVInstanceIDTokenInfo info("sender-bench", "*", "token-bench:APA91bXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX",
                                    "1.0", "1:123:ios:abc");
        made->tokenManager()->instanceIDStore()->saveTokenInfo(info);
        made->configureInstanceIDWithOptions(DAVOptions::initWithRazozaAppID("1:123:ios:abc", "sender-bench"),
                                             nullptr);
        return made;
    }();
    return facade;
}

void BM_TokenRequest_Cached(benchmark::State& state) {
    auto facade = cachedRequestFacade();
    for (auto _ : state) {
        bool answered = false;
        bool cached = false;
        facade->tokenWithAuthorizedEntity("sender-bench", "*", std::nullopt,
                                          [&](std::optional<std::string> token, std::optional<plat::Error>) {
                                              answered = true;
                                              cached = token.has_value();
                                          });
        while (!answered) {
            plat::MainLoop::drainOnce();
        }
        if (!cached) {
            state.SkipWithError("the request was not answered from the cache");
            break;
        }
    }
}

void BM_TokenRequest_StoreLookupAlone(benchmark::State& state) {
    auto facade = cachedRequestFacade();
    const auto& store = facade->tokenManager()->instanceIDStore();
    for (auto _ : state) {
        auto info = store->tokenInfoWithAuthorizedEntity("sender-bench", "*");
        if (!info) {
            state.SkipWithError("record not found");
            break;
        }
        benchmark::DoNotOptimize(info);
    }
}

// First, on a keychain that holds only this facade's items.
BENCHMARK(BM_TokenRequest_Cached)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenRequest_StoreLookupAlone)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Identity_HeldPair);
BENCHMARK(BM_Identity_DigestAndEncodeBlock);
// Both sides at one size before the keychain grows to the next.
BENCHMARK(BM_TokenInfo_Lookup)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenInfo_LibplistAlone)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenInfo_Lookup)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenInfo_LibplistAlone)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenInfo_Lookup)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenInfo_LibplistAlone)->Arg(1000)->Unit(benchmark::kMicrosecond);
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
    if (t.count("BM_TokenRequest_Cached") && t.count("BM_TokenRequest_StoreLookupAlone")) {
        std::printf("cached token request: %.2fx the time of the token store's lookup alone (goal <= 1.3x)\n",
                    t["BM_TokenRequest_Cached"] / t["BM_TokenRequest_StoreLookupAlone"]);
    }
    for (const char* n : {"10", "100", "1000"}) {
        const std::string ours = std::string("BM_TokenInfo_Lookup/") + n;
        const std::string base = std::string("BM_TokenInfo_LibplistAlone/") + n;
        if (t.count(ours) && t.count(base)) {
            std::printf("token record lookup, %s records: %.1f us, libplist alone %.1f us, %.2fx (goal <= "
                        "1.5x at 100)\n",
                        n, t[ours], t[base], t[ours] / t[base]);
        }
    }
    auto& m = bench::medians();
    if (m.count("first-identity") && m.count("generate-rsa")) {
        std::printf(
            "first identity: median %.1f ms, RSA-2048 generation alone %.1f ms, %.2fx (goal <= 1.2x)\n",
            m["first-identity"] / 1000, m["generate-rsa"] / 1000, m["first-identity"] / m["generate-rsa"]);
    }
    benchmark::Shutdown();
    return 0;
}
