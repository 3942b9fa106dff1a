// The message layer against plain nanopb on the same generated structures, with the ratios printed at the end:
// - protoBuffer of a LogRequest holding one 1 MiB log file, and of a filled ICoreConfiguration, against nanopb
//   sizing and encoding a hand-filled structure (goal: at most 2x the time);
// - initWithBuffer of the same bytes against one pb_decode into a structure with plain callbacks (goal: at
//   most 3x the time).

#include "core/CoreLogMessages.hpp"

#include "CoreLog.pb.h"

#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const plat::Data& bigFile() {
    static const plat::Data file(1u << 20, 0x5a);
    return file;
}

std::shared_ptr<DLCPBLogRequest> bigRequest() {
    auto request = DLCPBLogRequest::init();
    NANOSetInt32(request, DLCPBLogRequest::kLogSource, 137);
    NANOSetInt64(request, DLCPBLogRequest::kRequestTimeMs, 1700000000123);
    NANOSetArray(request, DLCPBLogRequest::kSerializedLogEvents, plat::Array{plat::Value(bigFile())});
    return request;
}

std::shared_ptr<DAVPBICoreConfiguration> filledConfiguration() {
    using C = DAVPBICoreConfiguration;
    auto config = C::init();
    NANOSetInt32(config, C::kFixedCode16, 2);
    NANOSetInt32(config, C::kConfigurationType, 1);
    NANOSetInt32(config, C::kAppCount, 1);
    NANOSetString(config, C::kAppID, plat::Value("1:123456789:ios:abcdef"));
    NANOSetString(config, C::kBundleID, plat::Value("com.example.portal"));
    NANOSetString(config, C::kInstallString, plat::Value("9A3F7C1E-2B4D-4E6F-8A0B-1C2D3E4F5A6B"));
    NANOSetString(config, C::kDeviceModel, plat::Value("x86_64"));
    NANOSetString(config, C::kOSVersion, plat::Value("12.4"));
    NANOSetString(config, C::kToolchainBuild, plat::Value("-"));
    NANOSetArray(config, C::kSdkServiceInstalled, plat::Array{plat::Value(18), plat::Value(17)});
    NANOSetBool(config, C::kAppDelegateProxyEnabled, true);
    return config;
}

bool benchWriteBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* data = static_cast<const plat::Data*>(*arg);
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, data->data(), data->size());
}

bool benchWriteText(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const char* text = static_cast<const char*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text), std::char_traits<char>::length(text));
}

bool benchWriteCodes(pb_ostream_t* stream, const pb_field_t* field, void* const*) {
    return pb_encode_tag_for_field(stream, field) && pb_encode_varint(stream, 18) &&
           pb_encode_tag_for_field(stream, field) && pb_encode_varint(stream, 17);
}

void benchBindText(pb_callback_t& callback, const char* text) {
    callback.funcs.encode = &benchWriteText;
    callback.arg = const_cast<char*>(text);
}

// Sizes, allocates once, encodes: what the layer's encoder does for the caller.
plat::Data benchEncode(const pb_msgdesc_t* fields, const void* source) {
    std::size_t size = 0;
    pb_get_encoded_size(&size, fields, source);
    plat::Data out(size);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    pb_encode(&stream, fields, source);
    return out;
}

void BM_LayerEncodeBigRequest(benchmark::State& state) {
    auto request = bigRequest();
    for (auto _ : state) {
        benchmark::DoNotOptimize(request->protoBuffer());
    }
}

void BM_NanopbEncodeBigRequest(benchmark::State& state) {
    for (auto _ : state) {
        dvulog_LogRequest request = dvulog_LogRequest_init_zero;
        request.has_log_source = true;
        request.log_source = 137;
        request.has_request_time_ms = true;
        request.request_time_ms = 1700000000123;
        request.serialized_log_events.funcs.encode = &benchWriteBytes;
        request.serialized_log_events.arg = const_cast<plat::Data*>(&bigFile());
        benchmark::DoNotOptimize(benchEncode(dvulog_LogRequest_fields, &request));
    }
}

void BM_LayerEncodeConfiguration(benchmark::State& state) {
    auto config = filledConfiguration();
    for (auto _ : state) {
        benchmark::DoNotOptimize(config->protoBuffer());
    }
}

void BM_NanopbEncodeConfiguration(benchmark::State& state) {
    for (auto _ : state) {
        dvulog_ICoreConfiguration config = dvulog_ICoreConfiguration_init_zero;
        config.has_fixed_code16 = true;
        config.fixed_code16 = 2;
        config.has_configuration_type = true;
        config.configuration_type = 1;
        config.has_app_count = true;
        config.app_count = 1;
        benchBindText(config.app_id, "1:123456789:ios:abcdef");
        benchBindText(config.bundle_id, "com.example.portal");
        benchBindText(config.install_string, "9A3F7C1E-2B4D-4E6F-8A0B-1C2D3E4F5A6B");
        benchBindText(config.device_model, "x86_64");
        benchBindText(config.os_version, "12.4");
        benchBindText(config.toolchain_build, "-");
        config.sdk_service_installed.funcs.encode = &benchWriteCodes;
        config.has_app_delegate_proxy_enabled = true;
        config.app_delegate_proxy_enabled = true;
        benchmark::DoNotOptimize(benchEncode(dvulog_ICoreConfiguration_fields, &config));
    }
}

bool benchReadBytes(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* out = static_cast<std::vector<plat::Data>*>(*arg);
    out->emplace_back(stream->bytes_left);
    return pb_read(stream, out->back().data(), out->back().size());
}

bool benchReadString(pb_istream_t* stream, const pb_field_t*, void**) {
    std::string text(stream->bytes_left, '\0');
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(text.data()), text.size());
}

bool benchReadVarint(pb_istream_t* stream, const pb_field_t*, void**) {
    uint64_t value;
    return pb_decode_varint(stream, &value);
}

void BM_LayerDecodeBigRequest(benchmark::State& state) {
    const plat::Data bytes = *bigRequest()->protoBuffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(DLCPBLogRequest::initWithBuffer(bytes));
    }
}

void BM_NanopbDecodeBigRequest(benchmark::State& state) {
    const plat::Data bytes = *bigRequest()->protoBuffer();
    for (auto _ : state) {
        std::vector<plat::Data> files;
        dvulog_LogRequest request = dvulog_LogRequest_init_zero;
        request.serialized_log_events.funcs.decode = &benchReadBytes;
        request.serialized_log_events.arg = &files;
        pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(pb_decode(&stream, dvulog_LogRequest_fields, &request));
        benchmark::DoNotOptimize(files);
    }
}

void BM_LayerDecodeConfiguration(benchmark::State& state) {
    const plat::Data bytes = *filledConfiguration()->protoBuffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(DAVPBICoreConfiguration::initWithBuffer(bytes));
    }
}

void BM_NanopbDecodeConfiguration(benchmark::State& state) {
    const plat::Data bytes = *filledConfiguration()->protoBuffer();
    for (auto _ : state) {
        dvulog_ICoreConfiguration config = dvulog_ICoreConfiguration_init_zero;
        for (pb_callback_t* text : {&config.app_id, &config.bundle_id, &config.install_string, &config.device_model,
                                    &config.os_version, &config.toolchain_build}) {
            text->funcs.decode = &benchReadString;
        }
        config.sdk_service_installed.funcs.decode = &benchReadVarint;
        pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(pb_decode(&stream, dvulog_ICoreConfiguration_fields, &config));
    }
}

class MessageRatioReporter : public benchmark::ConsoleReporter {
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

BENCHMARK(BM_LayerEncodeBigRequest);
BENCHMARK(BM_NanopbEncodeBigRequest);
BENCHMARK(BM_LayerEncodeConfiguration);
BENCHMARK(BM_NanopbEncodeConfiguration);
BENCHMARK(BM_LayerDecodeBigRequest);
BENCHMARK(BM_NanopbDecodeBigRequest);
BENCHMARK(BM_LayerDecodeConfiguration);
BENCHMARK(BM_NanopbDecodeConfiguration);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MessageRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& t = reporter.times;
    for (const char* what : {"EncodeBigRequest", "EncodeConfiguration", "DecodeBigRequest", "DecodeConfiguration"}) {
        const std::string ours = std::string("BM_Layer") + what;
        const std::string base = std::string("BM_Nanopb") + what;
        if (t.count(ours) && t.count(base) && t[base] > 0) {
            std::printf("%s: layer %.2f us, nanopb %.2f us, ratio %.2fx\n", what, t[ours] / 1000, t[base] / 1000,
                        t[ours] / t[base]);
        }
    }
    return 0;
}
