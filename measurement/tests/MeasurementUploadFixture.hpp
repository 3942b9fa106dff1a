#pragma once
// What the upload suites share: a first launch at 2024-01-01 10:00:00 UTC on the scripted network, the
// measurement host's two routes scripted by the test, and the uploaded batches decoded back.

#include "core/DVUGzip.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"

#include <deque>
#include <functional>

namespace dms::test {

inline constexpr double kUploadT0 = 1704103200; // 2024-01-01 10:00:00 UTC
inline constexpr const char* kUploadConfigPrefix = "https://measurement.example.test/config/app/";
inline constexpr const char* kUploadBatchURL = "https://measurement.example.test/a";

// One decoded bundle of an upload.
struct UploadedBundle {
    std::shared_ptr<DMSPBMeasurementBundle> message;
    std::vector<DMSEventFields> events;
    std::vector<DMSUserAttributeFields> attributes;
    int64_t tag(int32_t slot) const { return NANOGetInt64(message, slot); }
    int32_t tag32(int32_t slot) const { return NANOGetInt32(message, slot); }
    bool has(int32_t slot) const { return NANOHasField(message, slot); }
    std::optional<std::string> text(int32_t slot) const { return NANOGetString(message, slot); }
    std::vector<std::string> eventNames() const {
        std::vector<std::string> names;
        for (const auto& event : events) {
            names.push_back(event.name.value_or(""));
        }
        return names;
    }
    std::optional<int64_t> attribute(const std::string& name) const {
        for (const auto& attribute : attributes) {
            if (attribute.name == name) {
                return attribute.intValue;
            }
        }
        return std::nullopt;
    }
};

inline std::vector<UploadedBundle> decodeUploadBody(const plat::Data& gzipped) {
    std::vector<UploadedBundle> bundles;
    auto body = dvu_dataByInflatingGzippedData(gzipped);
    if (!body) {
        return bundles;
    }
    auto batch = DMSPBMeasurementBatch::initWithBuffer(*body);
    auto list = NANOGetArray(batch, DMSPBMeasurementBatch::kBundles, &DMSPBMeasurementBundle::messageClass());
    for (const plat::Value& value : list.value_or(plat::Array{})) {
        UploadedBundle bundle;
        bundle.message = std::static_pointer_cast<DMSPBMeasurementBundle>(value.asObject());
        auto events = NANOGetArray(bundle.message, DMSPBMeasurementBundle::kEvents, &DMSPBEvent::messageClass());
        for (const plat::Value& event : events.value_or(plat::Array{})) {
            bundle.events.push_back(DMSEventFieldsFromMessage(std::static_pointer_cast<NANOMessage>(event.asObject())));
        }
        auto attributes = NANOGetArray(bundle.message, DMSPBMeasurementBundle::kUserAttributes,
                                       &DMSPBUserAttribute::messageClass());
        for (const plat::Value& attribute : attributes.value_or(plat::Array{})) {
            bundle.attributes.push_back(
                DMSUserAttributeFieldsFromMessage(std::static_pointer_cast<NANOMessage>(attribute.asObject())));
        }
        bundles.push_back(std::move(bundle));
    }
    return bundles;
}

inline std::optional<std::string> uploadEventText(const DMSEventFields& event, const std::string& name) {
    for (const auto& param : event.params) {
        if (param.name == name) {
            return param.stringValue;
        }
    }
    return std::nullopt;
}

inline std::optional<int64_t> uploadEventInt(const DMSEventFields& event, const std::string& name) {
    for (const auto& param : event.params) {
        if (param.name == name) {
            return param.intValue;
        }
    }
    return std::nullopt;
}

// A configuration for the engine's app ID as the server sends it.
inline std::string uploadConfigBody(int64_t version, std::vector<DMSConfigSetting> settings = {},
                                    const std::string& appID = kEngineAppID) {
    DMSMeasurementConfigFields fields;
    fields.version = version;
    fields.appID = appID;
    fields.settings = std::move(settings);
    auto bytes = DMSPBMeasurementConfigFromFields(fields)->protoBuffer().value_or(plat::Data());
    return std::string(bytes.begin(), bytes.end());
}

class UploadFixture : public EngineFixture {
protected:
    void SetUp() override {
        plat::Virtual::setWall(kUploadT0);
        net = &plat::sim::Network::useScripted();
        configReplies.push_back(configReply(200, uploadConfigBody(7), "Mon, 01 Jan 2024 10:00:00 GMT"));
        net->route("GET", kUploadConfigPrefix, [this](const plat::ScriptedRequest&) { return next(configReplies); });
        net->route("POST", kUploadBatchURL, [this](const plat::ScriptedRequest&) { return next(batchReplies); });
        plat::Dictionary info;
        info.set("CFBundleIdentifier", plat::Value("com.example.portal"));
        info.set("CFBundleShortVersionString", plat::Value("1.0"));
        info.set("CFBundleVersion", plat::Value("1.0.3"));
        makeBundle(engineOptionsFile(), info);
    }

    // The start of a launch with the network up: the front end learns it from its first reachability report.
    void start(plat::Dictionary options = {}, bool online = true) {
        startEngine(std::move(options));
        plat::sim::Network::setReachability(online ? plat::kReachabilityFlagsReachable : 0);
        settle();
    }
    static plat::ScriptedReply configReply(int status, std::string body = {},
                                           std::optional<std::string> lastModified = std::nullopt) {
        auto reply = plat::ScriptedReply::text(status, std::move(body), "application/x-protobuf");
        if (lastModified) {
            reply.withHeader("Last-Modified", *lastModified);
        }
        return reply;
    }
    // The next scripted reply of a route; the last one stays for all later requests (none: 204).
    static plat::ScriptedReply next(std::deque<plat::ScriptedReply>& replies) {
        if (replies.empty()) {
            return plat::ScriptedReply::text(204, "");
        }
        plat::ScriptedReply reply = replies.front();
        if (replies.size() > 1) {
            replies.pop_front();
        }
        return reply;
    }

    std::vector<plat::ScriptedRequest> requests(const std::string& method) const {
        std::vector<plat::ScriptedRequest> found;
        for (auto& request : net->requests()) {
            if (request.method == method) {
                found.push_back(request);
            }
        }
        return found;
    }
    std::vector<std::vector<UploadedBundle>> uploads() const {
        std::vector<std::vector<UploadedBundle>> batches;
        for (auto& request : requests("POST")) {
            batches.push_back(decodeUploadBody(request.body));
        }
        return batches;
    }
    static std::optional<std::string> header(const plat::ScriptedRequest& request, const std::string& name) {
        for (const auto& [key, value] : request.headers) {
            if (key == name) {
                return value;
            }
        }
        return std::nullopt;
    }
    static DMSMeasurement& controller() { return *DMSMeasurement::sharedInstance(); }
    // Runs a block on the worker queue and waits for it.
    template <class F> static auto onWorker(F&& block) {
        using R = decltype(block());
        if constexpr (std::is_void_v<R>) {
            controller().scheduler().scheduleOnWorkerQueueBlockID("test", std::forward<F>(block));
            settle();
        } else {
            std::optional<R> result;
            controller().scheduler().scheduleOnWorkerQueueBlockID("test", [&] { result = block(); });
            settle();
            return *result;
        }
    }
    static double alarmTime() {
        auto armed = controller().alarm()->scheduledTimestamp();
        return armed ? armed->timeIntervalSince1970() : 0;
    }
    static DMSPersistedConfig& persisted() { return *DMSPersistedConfig::sharedInstance(); }
    static void advance(double seconds) {
        plat::Virtual::advanceBy(seconds);
        settle();
    }
    std::vector<DMSQueuedBundle> queued() {
        return onWorker([] {
            plat::Error error;
            return controller().database()->queryBundlesWithCountLimit(1000, 100000000, &error).value_or(
                std::vector<DMSQueuedBundle>{});
        });
    }

    plat::ScriptedTransport* net = nullptr;
    std::deque<plat::ScriptedReply> configReplies;
    std::deque<plat::ScriptedReply> batchReplies;
};

} // namespace dms::test
