// Two hot paths of notification handling, each against its natural baseline in the same run:
// - a 2 KB notification's text parsed by the platform's JSON reader and read into a payload object, against
//   nlohmann-json parsing the same text alone (goal: at most 2x);
// - a delegate call through a hook installed by exchanging implementations (the hook runs, asks whether the
//   app had its own method and calls it), against a plain message send of the same method (goal: at most 3x).
// Ratios are printed at the end.

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <string>

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "RadIrivozSDK/Source/RadIrivozSelectorHelpers.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

namespace {

namespace rt = plat::rt;

constexpr const char* kDelegateSelector = "application:didReceiveRemoteNotification:";
constexpr const char* kHookSelector = "benchReceivedRemoteNotification:userInfo:";

// A notification as the push service sends one, about 2 KB of text.
const std::string& notificationText() {
    static const std::string text = [] {
        nlohmann::json a = nlohmann::json::object();
        for (int i = 0; i < 24; ++i) {
            a["key" + std::to_string(i)] = "value number " + std::to_string(i) + " of the sender's own data";
        }
        a["targetUrl"] = "https://portal.example.test/intranet/news/2026/12/11/canteen-opening-hours";
        nlohmann::json payload = {
            {"aps", {{"alert", {{"title", "Canteen"}, {"subtitle", "Today"}, {"body", "The canteen opens at eight."}}},
                     {"badge", 3}, {"sound", "default"}, {"mutable-content", 1}, {"thread-id", "news"}}},
            {"custom", {{"i", "5f1c2b3a-acce-4ba7-8c11-0a1b2c3d4e5f"}, {"u", "https://www.example.test/news"},
                        {"ti", "template-1"}, {"tn", "News"}, {"a", a}}},
            {"buttons", {{{"n", "Read"}, {"i", "read"}}, {{"n", "Later"}, {"i", "later"}}, {{"n", "Never"}}}},
            {"att", {{"id1", "https://www.example.test/images/canteen.jpg"}}},
        };
        return payload.dump();
    }();
    return text;
}

void BM_ParseWithApns(benchmark::State& state) {
    const std::string& text = notificationText();
    for (auto _ : state) {
        auto value = plat::JSONSerialization::jsonObject(text);
        auto payload = RINotificationPayload::parseWithApns(value->asDictionary());
        benchmark::DoNotOptimize(payload->notificationID());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_NlohmannParse(benchmark::State& state) {
    const std::string& text = notificationText();
    for (auto _ : state) {
        auto json = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(json);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

int& deliveries() {
    static int count = 0;
    return count;
}

rt::Class* delegateClass(const char* name) {
    rt::Class* cls = rt::registerClass(name, rt::rootClass(), {"UIApplicationDelegate"});
    rt::addMethod(cls, kDelegateSelector,
                  [](rt::Object&, rt::ObjectPtr, const plat::Value&) { ++deliveries(); });
    return cls;
}

// The hooked class: its method now runs the hook, which calls the app's own under the hook's selector.
rt::ObjectPtr hookedDelegate() {
    rt::Class* source = rt::registerClass("BenchHookSource");
    rt::addMethod(source, kHookSelector, [](rt::Object& self, rt::ObjectPtr app, const plat::Value& userInfo) {
        if (rt::respondsTo(self, rt::Sel(kHookSelector))) {
            rt::msgSend<void>(self, rt::Sel(kHookSelector), app, userInfo);
        }
    });
    rt::Class* cls = delegateClass("BenchHookedDelegate");
    injectMethod(source, kHookSelector, cls, kDelegateSelector);
    return rt::createInstance(cls);
}

const plat::Value& smallUserInfo() {
    static const plat::Value info(plat::Dictionary{{"custom", plat::Value(plat::Dictionary{{"i", "m-1"}})}});
    return info;
}

void BM_HookedDelegateCall(benchmark::State& state) {
    static const rt::ObjectPtr delegate = hookedDelegate();
    for (auto _ : state) {
        rt::msgSend<void>(delegate, rt::Sel(kDelegateSelector), rt::ObjectPtr(), smallUserInfo());
    }
}

void BM_PlainMsgSend(benchmark::State& state) {
    static const rt::ObjectPtr delegate = rt::createInstance(delegateClass("BenchPlainDelegate"));
    for (auto _ : state) {
        rt::msgSend<void>(delegate, rt::Sel(kDelegateSelector), rt::ObjectPtr(), smallUserInfo());
    }
}

BENCHMARK(BM_ParseWithApns);
BENCHMARK(BM_NlohmannParse);
BENCHMARK(BM_HookedDelegateCall);
BENCHMARK(BM_PlainMsgSend);

class NotificationRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            cpuNanos[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void printRatio(const char* label, const char* ours, const char* base) const {
        auto o = cpuNanos.find(ours);
        auto b = cpuNanos.find(base);
        if (o != cpuNanos.end() && b != cpuNanos.end()) {
            std::printf("%s: %.3f us against %.3f us, ratio %.2fx\n", label, o->second / 1000, b->second / 1000,
                        o->second / b->second);
        }
    }
    std::map<std::string, double> cpuNanos;
};

} // namespace

int main(int argc, char** argv) {
    std::printf("notification text: %zu bytes\n", notificationText().size());
    benchmark::Initialize(&argc, argv);
    NotificationRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.printRatio("parse + payload vs nlohmann parse", "BM_ParseWithApns", "BM_NlohmannParse");
    reporter.printRatio("hooked delegate call vs plain msgSend", "BM_HookedDelegateCall", "BM_PlainMsgSend");
    return deliveries() > 0 ? 0 : 1;
}
