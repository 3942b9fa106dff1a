// The measurement messages on the core's message layer against plain nanopb on the same generated structures,
// side by side, with the speed ratios printed at the end: protoBuffer of a MeasurementBatch of 100 bundles of
// 50 events each against pb_encode of the same batch from structures filled once with plain callbacks (goal:
// at least 0.5x the speed), and initWithBuffer of those bytes against pb_decode into the same structures, the
// strings copied out (goal: at least 0.3x).

#include "measurement/messages/DMSPBMessages.hpp"

#include "DMSMeasurement.pb.h"

#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kBenchBundles = 100;
constexpr int kBenchEvents = 50;

plat::Value benchObject(const std::shared_ptr<NANOMessage>& message) {
    return plat::Value(plat::rt::ObjectPtr(message));
}

std::shared_ptr<DMSPBMeasurementBatch> benchBatch() {
    plat::Array bundles;
    for (int b = 0; b < kBenchBundles; ++b) {
        plat::Array events;
        for (int e = 0; e < kBenchEvents; ++e) {
            auto origin = DMSPBEventParam::init();
            NANOSetString(origin, DMSPBEventParam::kName, plat::Value("_o"));
            NANOSetString(origin, DMSPBEventParam::kStringValue, plat::Value("app"));
            auto count = DMSPBEventParam::init();
            NANOSetString(count, DMSPBEventParam::kName, plat::Value("value"));
            NANOSetInt64(count, DMSPBEventParam::kIntValue, 42);
            auto price = DMSPBEventParam::init();
            NANOSetString(price, DMSPBEventParam::kName, plat::Value("price"));
            NANOSetDouble(price, DMSPBEventParam::kDoubleValue, 9.99);
            auto event = DMSPBEvent::init();
            NANOSetArray(event, DMSPBEvent::kParams, plat::Array{benchObject(origin), benchObject(count), benchObject(price)});
            NANOSetString(event, DMSPBEvent::kName, plat::Value("screen_view"));
            NANOSetInt64(event, DMSPBEvent::kTimestampMillis, 1700000000000 + e);
            events.push_back(benchObject(event));
        }
        auto bundle = DMSPBMeasurementBundle::init();
        NANOSetInt32(bundle, DMSPBMeasurementBundle::kProtocolVersion, 1);
        NANOSetArray(bundle, DMSPBMeasurementBundle::kEvents, events);
        NANOSetString(bundle, DMSPBMeasurementBundle::kPlatform, plat::Value("ios"));
        NANOSetString(bundle, DMSPBMeasurementBundle::kAppID, plat::Value("com.example.portal"));
        NANOSetInt64(bundle, DMSPBMeasurementBundle::kStartTimestampMillis, 1700000000000);
        NANOSetInt64(bundle, DMSPBMeasurementBundle::kEndTimestampMillis, 1700000000049);
        bundles.push_back(benchObject(bundle));
    }
    auto batch = DMSPBMeasurementBatch::init();
    NANOSetArray(batch, DMSPBMeasurementBatch::kBundles, bundles);
    return batch;
}

// ---- plain nanopb: structures filled once, callbacks that walk them ----

bool benchText(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* text = static_cast<const std::string*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text->data()), text->size());
}

template <class T> struct BenchList {
    const pb_msgdesc_t* fields;
    std::vector<T> items;
};

template <class T> bool benchList(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* list = static_cast<const BenchList<T>*>(*arg);
    for (const T& item : list->items) {
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, list->fields, &item)) {
            return false;
        }
    }
    return true;
}

struct BenchPlainBatch {
    std::string origin = "_o", app = "app", value = "value", price = "price", name = "screen_view", ios = "ios",
                appID = "com.example.portal";
    BenchList<dms_EventParam> params{dms_EventParam_fields, {}};
    std::vector<BenchList<dms_Event>> events;
    BenchList<dms_MeasurementBundle> bundles{dms_MeasurementBundle_fields, {}};
    dms_MeasurementBatch batch = dms_MeasurementBatch_init_zero;

    BenchPlainBatch() {
        dms_EventParam param = dms_EventParam_init_zero;
        param.name = {{.encode = &benchText}, &origin};
        param.string_value = {{.encode = &benchText}, &app};
        params.items.push_back(param);
        param = dms_EventParam_init_zero;
        param.name = {{.encode = &benchText}, &value};
        param.has_int_value = true;
        param.int_value = 42;
        params.items.push_back(param);
        param = dms_EventParam_init_zero;
        param.name = {{.encode = &benchText}, &price};
        param.has_double_value = true;
        param.double_value = 9.99;
        params.items.push_back(param);
        events.resize(kBenchBundles, BenchList<dms_Event>{dms_Event_fields, {}});
        for (int b = 0; b < kBenchBundles; ++b) {
            for (int e = 0; e < kBenchEvents; ++e) {
                dms_Event event = dms_Event_init_zero;
                event.params = {{.encode = &benchList<dms_EventParam>}, &params};
                event.name = {{.encode = &benchText}, &name};
                event.has_timestamp_millis = true;
                event.timestamp_millis = 1700000000000 + e;
                events[b].items.push_back(event);
            }
            dms_MeasurementBundle bundle = dms_MeasurementBundle_init_zero;
            bundle.has_protocol_version = true;
            bundle.protocol_version = 1;
            bundle.events = {{.encode = &benchList<dms_Event>}, &events[b]};
            bundle.platform = {{.encode = &benchText}, &ios};
            bundle.app_id = {{.encode = &benchText}, &appID};
            bundle.has_start_timestamp_millis = true;
            bundle.start_timestamp_millis = 1700000000000;
            bundle.has_end_timestamp_millis = true;
            bundle.end_timestamp_millis = 1700000000049;
            bundles.items.push_back(bundle);
        }
        batch.bundles = {{.encode = &benchList<dms_MeasurementBundle>}, &bundles};
    }
};

// What the plain decoder keeps: the strings and numbers of every event.
struct BenchDecoded {
    std::vector<std::string> strings;
};

bool benchReadText(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* out = static_cast<BenchDecoded*>(*arg);
    out->strings.emplace_back(stream->bytes_left, '\0');
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(out->strings.back().data()), out->strings.back().size());
}

bool benchReadParam(pb_istream_t* stream, const pb_field_t*, void** arg) {
    dms_EventParam param = dms_EventParam_init_zero;
    param.name = {{.decode = &benchReadText}, *arg};
    param.string_value = {{.decode = &benchReadText}, *arg};
    return pb_decode(stream, dms_EventParam_fields, &param);
}

bool benchReadEvent(pb_istream_t* stream, const pb_field_t*, void** arg) {
    dms_Event event = dms_Event_init_zero;
    event.params = {{.decode = &benchReadParam}, *arg};
    event.name = {{.decode = &benchReadText}, *arg};
    return pb_decode(stream, dms_Event_fields, &event);
}

bool benchReadBundle(pb_istream_t* stream, const pb_field_t*, void** arg) {
    dms_MeasurementBundle bundle = dms_MeasurementBundle_init_zero;
    bundle.events = {{.decode = &benchReadEvent}, *arg};
    bundle.platform = {{.decode = &benchReadText}, *arg};
    bundle.app_id = {{.decode = &benchReadText}, *arg};
    return pb_decode(stream, dms_MeasurementBundle_fields, &bundle);
}

void BM_LayerEncodeBatch(benchmark::State& state) {
    auto batch = benchBatch();
    for (auto _ : state) {
        benchmark::DoNotOptimize(batch->protoBuffer());
    }
}

void BM_NanopbEncodeBatch(benchmark::State& state) {
    BenchPlainBatch plain;
    for (auto _ : state) {
        std::size_t size = 0;
        pb_get_encoded_size(&size, dms_MeasurementBatch_fields, &plain.batch);
        plat::Data out(size);
        pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
        benchmark::DoNotOptimize(pb_encode(&stream, dms_MeasurementBatch_fields, &plain.batch));
        benchmark::DoNotOptimize(out);
    }
}

void BM_LayerDecodeBatch(benchmark::State& state) {
    const plat::Data bytes = *benchBatch()->protoBuffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(DMSPBMeasurementBatch::initWithBuffer(bytes));
    }
}

void BM_NanopbDecodeBatch(benchmark::State& state) {
    const plat::Data bytes = *benchBatch()->protoBuffer();
    for (auto _ : state) {
        BenchDecoded decoded;
        dms_MeasurementBatch batch = dms_MeasurementBatch_init_zero;
        batch.bundles = {{.decode = &benchReadBundle}, &decoded};
        pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(pb_decode(&stream, dms_MeasurementBatch_fields, &batch));
        benchmark::DoNotOptimize(decoded);
    }
}

class BenchMessagesReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

BENCHMARK(BM_LayerEncodeBatch);
BENCHMARK(BM_NanopbEncodeBatch);
BENCHMARK(BM_LayerDecodeBatch);
BENCHMARK(BM_NanopbDecodeBatch);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    BenchMessagesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& t = reporter.times;
    for (auto [what, goal] : {std::pair{"EncodeBatch", 0.5}, std::pair{"DecodeBatch", 0.3}}) {
        const std::string ours = std::string("BM_Layer") + what;
        const std::string base = std::string("BM_Nanopb") + what;
        if (t.count(ours) && t.count(base) && t[ours] > 0) {
            std::printf("%s: layer %.1f us, nanopb %.1f us, speed ratio %.2fx (goal >= %.1fx)\n", what, t[ours] / 1000,
                        t[base] / 1000, t[base] / t[ours], goal);
        }
    }
    return 0;
}
