// Building an upload batch from the bundle queue, as the upload step does it (select, inflate, decode, the send
// time and library version set, encode), for 100 queued bundles of 50 events, against the same rows read with
// bare sqlite3_step, inflated with zlib, decoded and re-encoded with plain nanopb structures and callbacks
// (goal: at least 0.3x the speed); the encoding step alone against pb_encode of the same batch (goal: at least
// 0.5x). Reported without a goal: bundling 1000 raw events into one queued bundle against nanopb encoding plus
// gzip deflate of the same bundle.

#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSSqliteStore.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"

#include "bench/common/TimeReporter.hpp"

#include "DMSMeasurement.pb.h"

#include "bench/measurement/BenchApp.hpp"

#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>
#include <sqlite3.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kBatchBenchBundles = 100;
constexpr int kBatchBenchEvents = 50;
constexpr int kBatchBenchRawEvents = 1000;
// The largest batch the server may allow, so that all 100 bundles go into one batch.
constexpr int64_t kBatchBenchSizeLimit = 10485760;
constexpr int64_t kBatchBenchSendMillis = 1700000100000;
constexpr int64_t kBatchBenchLibraryVersion = 50300;

DMSMeasurement& batchBenchController() { return *DMSMeasurement::sharedInstance(); }

// On the worker queue's own thread (a synchronous dispatch would run the block on the caller's), waited for.
void batchBenchOnWorker(const std::function<void()>& block) {
    plat::DispatchSemaphore done(0);
    batchBenchController().scheduler().scheduleOnWorkerQueueBlockID("BatchBench:1", [&] {
        block();
        done.signal();
    });
    done.wait();
}

plat::Value batchBenchObject(const std::shared_ptr<NANOMessage>& message) {
    return plat::Value(plat::rt::ObjectPtr(message));
}

std::shared_ptr<DMSPBEventParam> batchBenchParam(const char* name) {
    auto param = DMSPBEventParam::init();
    NANOSetString(param, DMSPBEventParam::kName, plat::Value(name));
    return param;
}

// A bundle as bundling writes one: the device header, three user attributes and 50 events of four parameters.
std::shared_ptr<DMSPBMeasurementBundle> batchBenchBundle(int index) {
    using B = DMSPBMeasurementBundle;
    const int64_t start = 1700000000000 + int64_t{index} * 1000;
    plat::Array events;
    for (int e = 0; e < kBatchBenchEvents; ++e) {
        auto origin = batchBenchParam("_o");
        NANOSetString(origin, DMSPBEventParam::kStringValue, plat::Value("app"));
        auto item = batchBenchParam("item_name");
        NANOSetString(item, DMSPBEventParam::kStringValue, plat::Value("item-" + std::to_string(e % 20)));
        auto count = batchBenchParam("value");
        NANOSetInt64(count, DMSPBEventParam::kIntValue, 42 + e);
        auto price = batchBenchParam("price");
        NANOSetDouble(price, DMSPBEventParam::kDoubleValue, 9.99);
        auto event = DMSPBEvent::init();
        NANOSetArray(event, DMSPBEvent::kParams,
                     plat::Array{batchBenchObject(origin), batchBenchObject(item), batchBenchObject(count),
                                 batchBenchObject(price)});
        NANOSetString(event, DMSPBEvent::kName, plat::Value("select_content"));
        NANOSetInt64(event, DMSPBEvent::kTimestampMillis, start + e);
        events.push_back(batchBenchObject(event));
    }
    plat::Array attributes;
    for (const char* name : {"_fot", "_fi", "_lte"}) {
        auto attribute = DMSPBUserAttribute::init();
        NANOSetString(attribute, DMSPBUserAttribute::kName, plat::Value(name));
        NANOSetInt64(attribute, DMSPBUserAttribute::kSetTimestampMillis, 1700000000000);
        NANOSetInt64(attribute, DMSPBUserAttribute::kIntValue, 1);
        attributes.push_back(batchBenchObject(attribute));
    }
    auto bundle = B::init();
    NANOSetInt32(bundle, B::kProtocolVersion, 1);
    NANOSetArray(bundle, B::kEvents, events);
    NANOSetArray(bundle, B::kUserAttributes, attributes);
    NANOSetInt64(bundle, B::kStartTimestampMillis, start);
    NANOSetInt64(bundle, B::kEndTimestampMillis, start + kBatchBenchEvents - 1);
    NANOSetString(bundle, B::kPlatform, plat::Value("ios"));
    NANOSetString(bundle, B::kOSVersion, plat::Value("12.4"));
    NANOSetString(bundle, B::kDeviceModel, plat::Value("iPhone10,3"));
    NANOSetString(bundle, B::kUserDefaultLanguage, plat::Value("en-us"));
    NANOSetInt32(bundle, B::kTimeZoneOffsetMinutes, 60);
    NANOSetString(bundle, B::kAppID, plat::Value("com.example.portal"));
    NANOSetString(bundle, B::kAppVersion, plat::Value("1.0"));
    NANOSetInt64(bundle, B::kRmpVersion, kBatchBenchLibraryVersion);
    NANOSetString(bundle, B::kAppInstanceID, plat::Value("0123456789abcdef0123456789abcdef"));
    NANOSetInt32(bundle, B::kBundleSequentialIndex, index + 1);
    NANOSetString(bundle, B::kRmpAppID, plat::Value("1:1111:ios:0123456789abcdef"));
    NANOSetInt32(bundle, B::kAppVersionMajor, 1);
    NANOSetInt32(bundle, B::kAppVersionMinor, 0);
    NANOSetInt32(bundle, B::kAppVersionRelease, 3);
    NANOSetInt64(bundle, B::kConfigVersion, 7);
    return bundle;
}

// ---- plain nanopb: structures filled by decode callbacks, encoded again by encode callbacks ----

struct BatchPlainParam {
    dms_EventParam message = dms_EventParam_init_zero;
    std::string name, text;
};
struct BatchPlainEvent {
    dms_Event message = dms_Event_init_zero;
    std::string name;
    std::vector<BatchPlainParam> params;
};
struct BatchPlainAttribute {
    dms_UserAttribute message = dms_UserAttribute_init_zero;
    std::string name, text;
};

// Every string field of a bundle, each kept in the slot of the same index.
constexpr pb_callback_t dms_MeasurementBundle::*kBatchPlainTexts[] = {
    &dms_MeasurementBundle::platform,        &dms_MeasurementBundle::os_version,
    &dms_MeasurementBundle::device_model,    &dms_MeasurementBundle::user_default_language,
    &dms_MeasurementBundle::field13,         &dms_MeasurementBundle::app_id,
    &dms_MeasurementBundle::app_version,     &dms_MeasurementBundle::resettable_device_id,
    &dms_MeasurementBundle::vendor_device_id, &dms_MeasurementBundle::app_instance_id,
    &dms_MeasurementBundle::monitoring_sample, &dms_MeasurementBundle::rmp_app_id,
    &dms_MeasurementBundle::vedudodu_instance_id, &dms_MeasurementBundle::field34,
    &dms_MeasurementBundle::adnet_app_id,
};
constexpr size_t kBatchPlainTextCount = std::size(kBatchPlainTexts);

struct BatchPlainBundle {
    dms_MeasurementBundle message = dms_MeasurementBundle_init_zero;
    std::string texts[kBatchPlainTextCount];
    std::vector<BatchPlainEvent> events;
    std::vector<BatchPlainAttribute> attributes;
};

bool batchPlainReadText(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* text = static_cast<std::string*>(*arg);
    text->resize(stream->bytes_left);
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(text->data()), text->size());
}

bool batchPlainReadParam(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& param = static_cast<BatchPlainEvent*>(*arg)->params.emplace_back();
    param.message.name = {{.decode = &batchPlainReadText}, &param.name};
    param.message.string_value = {{.decode = &batchPlainReadText}, &param.text};
    return pb_decode(stream, dms_EventParam_fields, &param.message);
}

bool batchPlainReadEvent(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& event = static_cast<BatchPlainBundle*>(*arg)->events.emplace_back();
    event.message.params = {{.decode = &batchPlainReadParam}, &event};
    event.message.name = {{.decode = &batchPlainReadText}, &event.name};
    return pb_decode(stream, dms_Event_fields, &event.message);
}

bool batchPlainReadAttribute(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& attribute = static_cast<BatchPlainBundle*>(*arg)->attributes.emplace_back();
    attribute.message.name = {{.decode = &batchPlainReadText}, &attribute.name};
    attribute.message.string_value = {{.decode = &batchPlainReadText}, &attribute.text};
    return pb_decode(stream, dms_UserAttribute_fields, &attribute.message);
}

bool batchPlainDecodeBundle(const uint8_t* bytes, size_t size, BatchPlainBundle& bundle) {
    for (size_t i = 0; i < kBatchPlainTextCount; ++i) {
        bundle.message.*kBatchPlainTexts[i] = {{.decode = &batchPlainReadText}, &bundle.texts[i]};
    }
    bundle.message.events = {{.decode = &batchPlainReadEvent}, &bundle};
    bundle.message.user_attributes = {{.decode = &batchPlainReadAttribute}, &bundle};
    pb_istream_t stream = pb_istream_from_buffer(bytes, size);
    return pb_decode(&stream, dms_MeasurementBundle_fields, &bundle.message);
}

// Absent strings were never read into their slot, so an empty slot is written as absent.
bool batchPlainWriteText(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* text = static_cast<const std::string*>(*arg);
    return text->empty() || (pb_encode_tag_for_field(stream, field) &&
                             pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text->data()), text->size()));
}

bool batchPlainWriteParams(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (auto& param : static_cast<BatchPlainEvent*>(*arg)->params) {
        param.message.name = {{.encode = &batchPlainWriteText}, &param.name};
        param.message.string_value = {{.encode = &batchPlainWriteText}, &param.text};
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, dms_EventParam_fields, &param.message)) {
            return false;
        }
    }
    return true;
}

bool batchPlainWriteEvents(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (auto& event : static_cast<BatchPlainBundle*>(*arg)->events) {
        event.message.params = {{.encode = &batchPlainWriteParams}, &event};
        event.message.name = {{.encode = &batchPlainWriteText}, &event.name};
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, dms_Event_fields, &event.message)) {
            return false;
        }
    }
    return true;
}

bool batchPlainWriteAttributes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (auto& attribute : static_cast<BatchPlainBundle*>(*arg)->attributes) {
        attribute.message.name = {{.encode = &batchPlainWriteText}, &attribute.name};
        attribute.message.string_value = {{.encode = &batchPlainWriteText}, &attribute.text};
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, dms_UserAttribute_fields, &attribute.message)) {
            return false;
        }
    }
    return true;
}

void batchPlainPrepareBundle(BatchPlainBundle& bundle) {
    for (size_t i = 0; i < kBatchPlainTextCount; ++i) {
        bundle.message.*kBatchPlainTexts[i] = {{.encode = &batchPlainWriteText}, &bundle.texts[i]};
    }
    bundle.message.events = {{.encode = &batchPlainWriteEvents}, &bundle};
    bundle.message.user_attributes = {{.encode = &batchPlainWriteAttributes}, &bundle};
}

bool batchPlainWriteBundles(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (auto& bundle : *static_cast<std::vector<BatchPlainBundle>*>(*arg)) {
        batchPlainPrepareBundle(bundle);
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, dms_MeasurementBundle_fields, &bundle.message)) {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> batchPlainEncodeBatch(std::vector<BatchPlainBundle>& bundles) {
    dms_MeasurementBatch batch = dms_MeasurementBatch_init_zero;
    batch.bundles = {{.encode = &batchPlainWriteBundles}, &bundles};
    size_t size = 0;
    if (!pb_get_encoded_size(&size, dms_MeasurementBatch_fields, &batch)) {
        return {};
    }
    std::vector<uint8_t> out(size);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&stream, dms_MeasurementBatch_fields, &batch)) {
        return {};
    }
    return out;
}

bool batchPlainInflate(const uint8_t* bytes, size_t size, std::vector<uint8_t>& out) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        return false;
    }
    out.resize(std::max<size_t>(size * 4, 4096));
    stream.next_in = const_cast<Bytef*>(bytes);
    stream.avail_in = static_cast<uInt>(size);
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.total_out == out.size()) {
            out.resize(out.size() * 2);
        }
        stream.next_out = out.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
        status = inflate(&stream, Z_NO_FLUSH);
    }
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return status == Z_STREAM_END;
}

std::vector<uint8_t> batchPlainGzip(const std::vector<uint8_t>& bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::vector<uint8_t> out(deflateBound(&stream, bytes.size()));
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return status == Z_STREAM_END ? out : std::vector<uint8_t>{};
}

// The baseline's whole job: the same query stepped bare, each row inflated and decoded into plain structures,
// its retry count, send time and library version set, and the batch encoded.
std::vector<uint8_t> batchPlainBuild(sqlite3_stmt* select, std::vector<BatchPlainBundle>& bundles) {
    bundles.clear();
    bundles.reserve(kBatchBenchBundles);
    std::vector<uint8_t> inflated;
    int64_t total = 0;
    sqlite3_reset(select);
    sqlite3_bind_int64(select, 1, kBatchBenchBundles);
    while (sqlite3_step(select) == SQLITE_ROW) {
        const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(select, 1));
        if (!batchPlainInflate(blob, static_cast<size_t>(sqlite3_column_bytes(select, 1)), inflated)) {
            continue;
        }
        if (!bundles.empty() && total + static_cast<int64_t>(inflated.size()) > kBatchBenchSizeLimit) {
            break;
        }
        total += static_cast<int64_t>(inflated.size());
        BatchPlainBundle& bundle = bundles.emplace_back();
        if (!batchPlainDecodeBundle(inflated.data(), inflated.size(), bundle)) {
            bundles.pop_back();
            continue;
        }
        if (const int64_t retries = sqlite3_column_int64(select, 2); retries > 0) {
            bundle.message.has_retry_count = true;
            bundle.message.retry_count = static_cast<int32_t>(retries);
        }
        bundle.message.has_upload_timestamp_millis = true;
        bundle.message.upload_timestamp_millis = kBatchBenchSendMillis;
        bundle.message.has_uploading_rmp_version = true;
        bundle.message.uploading_rmp_version = kBatchBenchLibraryVersion;
    }
    return batchPlainEncodeBatch(bundles);
}

struct BatchBenchBaseline {
    sqlite3* db = nullptr;
    sqlite3_stmt* select = nullptr;
    BatchBenchBaseline() {
        const std::string path = DMSMeasurementFilePath(DMSDatabase::kDatabaseName);
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_prepare_v2(db,
                               "SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC LIMIT ?",
                               -1, &select, nullptr);
        }
    }
    ~BatchBenchBaseline() {
        sqlite3_finalize(select);
        sqlite3_close(db);
    }
    BatchBenchBaseline(const BatchBenchBaseline&) = delete;
    BatchBenchBaseline& operator=(const BatchBenchBaseline&) = delete;
};

// ---- the benchmarks ----

// Ours: the queue read and the batch the upload step posts, on the worker queue.
void BM_Batch_Build(benchmark::State& state) {
    size_t bytes = 0;
    batchBenchOnWorker([&] {
        DMSDatabase* database = batchBenchController().database();
        for (auto _ : state) {
            auto queued = database->queryBundlesWithCountLimit(kBatchBenchBundles, kBatchBenchSizeLimit, nullptr);
            if (!queued || queued->size() != kBatchBenchBundles) {
                state.SkipWithError("queue read failed");
                break;
            }
            auto batch = DMSMeasurement::uploadBatchWithQueuedBundles(*queued, kBatchBenchSendMillis);
            if (!batch || batch->rowIDs.size() != kBatchBenchBundles) {
                state.SkipWithError("batch failed");
                break;
            }
            bytes = batch->payload.size();
            benchmark::DoNotOptimize(batch);
        }
    });
    state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Batch_BuildPlain(benchmark::State& state) {
    BatchBenchBaseline baseline;
    std::vector<BatchPlainBundle> bundles;
    size_t bytes = 0;
    for (auto _ : state) {
        auto out = batchPlainBuild(baseline.select, bundles);
        if (bundles.size() != kBatchBenchBundles || out.empty()) {
            state.SkipWithError("plain build failed");
            break;
        }
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

// The encoding step alone: the batch of the decoded, stamped bundles.
void BM_Batch_Encode(benchmark::State& state) {
    std::shared_ptr<DMSPBMeasurementBatch> batch;
    batchBenchOnWorker([&] {
        auto queued = batchBenchController().database()->queryBundlesWithCountLimit(kBatchBenchBundles,
                                                                                    kBatchBenchSizeLimit, nullptr);
        plat::Array chosen;
        for (const auto& entry : queued.value_or(std::vector<DMSQueuedBundle>{})) {
            NANOSetInt64(entry.bundle, DMSPBMeasurementBundle::kUploadingRmpVersion, kBatchBenchLibraryVersion);
            NANOSetInt64(entry.bundle, DMSPBMeasurementBundle::kUploadTimestampMillis, kBatchBenchSendMillis);
            chosen.push_back(batchBenchObject(entry.bundle));
        }
        batch = DMSPBMeasurementBatch::init();
        NANOSetArray(batch, DMSPBMeasurementBatch::kBundles, chosen);
    });
    for (auto _ : state) {
        benchmark::DoNotOptimize(batch->protoBuffer());
    }
}

void BM_Batch_EncodePlain(benchmark::State& state) {
    BatchBenchBaseline baseline;
    std::vector<BatchPlainBundle> bundles;
    batchPlainBuild(baseline.select, bundles);
    for (auto _ : state) {
        benchmark::DoNotOptimize(batchPlainEncodeBatch(bundles));
    }
}

// Bundling: 1000 stored raw events (untimed) bundled into one queued bundle.
void BM_Batch_BundleRawEvents(benchmark::State& state) {
    for (auto _ : state) {
        double seconds = 0;
        batchBenchOnWorker([&] {
            DMSMeasurement& controller = batchBenchController();
            controller.database()->sqliteStore()->deleteAllRecords("queue", nullptr);
            const double now = plat::Clock::now();
            for (int i = 0; i < kBatchBenchRawEvents; ++i) {
                // Small enough that 1000 of them fit the default batch size, which also bounds a bundle.
                plat::Dictionary parameters{{"value", plat::Value(int64_t{42 + i % 50})},
                                            {"price", plat::Value(9.99)}};
                if (auto event = DMSEvent::initWithOrigin("app", true, "select_content", now, 0, parameters)) {
                    controller.writeEventOnWorkerQueue(std::move(*event));
                }
            }
            const auto start = std::chrono::steady_clock::now();
            if (!controller.bundleRawEvents()) {
                state.SkipWithError("bundling failed");
            }
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (controller.database()->isRawEventsTableEmpty(nullptr) != std::optional<bool>(true)) {
                state.SkipWithError("the raw events did not go into one bundle");
            }
        });
        state.SetIterationTime(seconds);
    }
}

// The same bundle's bytes encoded from plain structures and deflated as the queue stores them.
void BM_Batch_BundleRawEventsPlain(benchmark::State& state) {
    BatchBenchBaseline baseline;
    std::vector<BatchPlainBundle> bundles;
    sqlite3_reset(baseline.select);
    sqlite3_bind_int64(baseline.select, 1, 1);
    std::vector<uint8_t> inflated;
    if (sqlite3_step(baseline.select) != SQLITE_ROW ||
        !batchPlainInflate(static_cast<const uint8_t*>(sqlite3_column_blob(baseline.select, 1)),
                           static_cast<size_t>(sqlite3_column_bytes(baseline.select, 1)), inflated) ||
        !batchPlainDecodeBundle(inflated.data(), inflated.size(), bundles.emplace_back()) ||
        bundles.back().events.size() != kBatchBenchRawEvents) {
        state.SkipWithError("no bundle of the raw events");
        return;
    }
    BatchPlainBundle& bundle = bundles.back();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        batchPlainPrepareBundle(bundle);
        size_t size = 0;
        pb_get_encoded_size(&size, dms_MeasurementBundle_fields, &bundle.message);
        std::vector<uint8_t> out(size);
        pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
        pb_encode(&stream, dms_MeasurementBundle_fields, &bundle.message);
        benchmark::DoNotOptimize(batchPlainGzip(out));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

BENCHMARK(BM_Batch_Build)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Batch_BuildPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Batch_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Batch_EncodePlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Batch_BundleRawEvents)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Batch_BundleRawEventsPlain)->UseManualTime()->Unit(benchmark::kMillisecond);


void fillBatchBenchQueue() {
    batchBenchOnWorker([] {
        DMSDatabase* database = batchBenchController().database();
        database->sqliteStore()->deleteAllRecords("queue", nullptr);
        database->performTransaction([&] {
            for (int b = 0; b < kBatchBenchBundles; ++b) {
                if (!database->insertBundle(batchBenchBundle(b), false, nullptr)) {
                    return false;
                }
            }
            return true;
        });
    });
}

} // namespace

int main(int argc, char** argv) {
    if (bench::startMeasurementBenchApp("batch").empty()) {
        return 1;
    }
    // No upload pass may take the queue or the raw events away while they are measured.
    batchBenchOnWorker([] {
        if (batchBenchController().alarm()) {
            batchBenchController().alarm()->cancel();
        }
        batchBenchController().database()->sqliteStore()->deleteAllRecords("raw_events", nullptr);
    });

    benchmark::Initialize(&argc, argv);
    bench::TimeReporter reporter;
    fillBatchBenchQueue();
    benchmark::RunSpecifiedBenchmarks(&reporter, "BM_Batch_(Build|Encode)");
    benchmark::RunSpecifiedBenchmarks(&reporter, "BM_Batch_BundleRawEvents/");
    benchmark::RunSpecifiedBenchmarks(&reporter, "BM_Batch_BundleRawEventsPlain/");
    auto& t = reporter.times;
    const auto ratio = [&](const char* what, const std::string& ours, const std::string& base, const char* goal) {
        if (t.count(ours) && t.count(base) && t[ours] > 0) {
            std::printf("%s: ours %.3f ms, baseline %.3f ms, speed ratio %.2fx%s\n", what, t[ours], t[base],
                        t[base] / t[ours], goal);
        }
    };
    ratio("batch building", "BM_Batch_Build", "BM_Batch_BuildPlain", " (goal >= 0.3x)");
    ratio("batch encoding", "BM_Batch_Encode", "BM_Batch_EncodePlain", " (goal >= 0.5x)");
    ratio("bundling 1000 raw events", "BM_Batch_BundleRawEvents/iterations:3/manual_time",
          "BM_Batch_BundleRawEventsPlain/manual_time", "");
    benchmark::Shutdown();
    return 0;
}
