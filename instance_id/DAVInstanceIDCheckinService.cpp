#include "instance_id/DAVInstanceIDCheckinService.hpp"

#include "deployment/Deployment.hpp"
#include "instance_id/DAVInstanceIDErrors.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLError.hpp"

#include <charconv>

namespace {

constexpr std::int64_t kCheckinReplyWithoutDeviceIDCode = 7;

struct CheckinTestBlockSlot {
    std::mutex mutex;
    DAVInstanceIDCheckinService::TestBlock block;
};

CheckinTestBlockSlot& checkinTestBlockSlot() {
    static plat::NeverDestroyed<CheckinTestBlockSlot> slot;
    return slot.get();
}

// Credentials travel as exact 64-bit integers: a double would round device IDs above 2^53.
std::int64_t checkinCredentialNumber(const std::optional<std::string>& text) {
    std::int64_t value = 0;
    if (!text || text->empty()) {
        return 0;
    }
    const char* begin = text->data();
    const char* end = begin + text->size();
    const auto parsed = std::from_chars(begin, end, value);
    return parsed.ec == std::errc() && parsed.ptr == end ? value : 0;
}

// An integer, or a string of decimal digits, in its decimal form; anything else is absent.
std::string checkinReplyCredential(const plat::Value* value) {
    if (!value) {
        return {};
    }
    if (value->isInteger()) {
        return value->stringValue();
    }
    if (const auto* text = value->ifString()) {
        if (text->empty()) {
            return {};
        }
        for (char c : *text) {
            if (c < '0' || c > '9') {
                return {};
            }
        }
        return *text;
    }
    return {};
}

std::string checkinReplyString(const plat::Dictionary& reply, const char* key) {
    const auto* value = reply.find(key);
    return value && value->isString() ? value->asString() : std::string();
}

} // namespace

DAVInstanceIDCheckinService::DAVInstanceIDCheckinService() {
    auto configuration = plat::URLSessionConfiguration::defaultConfiguration();
    configuration.timeoutIntervalForResource = kDAVInstanceIDCheckinTimeoutSeconds;
    configuration.allowsCellularAccess = true;
    session_ = plat::URLSession::make(configuration);
    session_->setSessionDescription(kDAVInstanceIDCheckinSessionDescription);
}

DAVInstanceIDCheckinService::~DAVInstanceIDCheckinService() {
    setCheckinTestBlock(nullptr);
    session_->invalidateAndCancel();
}

void DAVInstanceIDCheckinService::setCheckinTestBlock(TestBlock block) {
    auto& slot = checkinTestBlockSlot();
    std::lock_guard lock(slot.mutex);
    slot.block = std::move(block);
}

plat::Dictionary DAVInstanceIDCheckinService::checkinParametersWithExistingCheckin(
    const DAVInstanceIDCheckinPreferences* existing) const {
    const std::int64_t deviceID = existing ? checkinCredentialNumber(existing->deviceID()) : 0;
    const std::int64_t secret = existing ? checkinCredentialNumber(existing->secretToken()) : 0;
    const std::int64_t lastCheckin = existing ? existing->lastCheckinTimestampMillis() : 0;
    const std::string digest = existing ? existing->digest().value_or("") : std::string();

    const plat::Dictionary iosbuild{{"model", plat::Value(DAVInstanceIDDeviceModel().value_or(""))},
                                    {"os_version", plat::Value("IOS_" + DAVInstanceIDSystemVersion())}};
    const plat::Dictionary checkin{{"iosbuild", plat::Value(iosbuild)},
                                   {"type", plat::Value(2)},
                                   {"user_number", plat::Value(0)},
                                   {"last_checkin_msec", plat::Value(lastCheckin)}};
    plat::Dictionary parameters{{"checkin", plat::Value(checkin)},
                                {"fragment", plat::Value(0)},
                                {"logging_id", plat::Value(plat::Random::u32())},
                                {"locale", plat::Value(DAVInstanceIDCurrentLocale())},
                                {"version", plat::Value(2)},
                                {"digest", plat::Value(digest)},
                                {"timezone", plat::Value(plat::TimeZone::local().name())},
                                {"user_serial_number", plat::Value(0)},
                                {"id", plat::Value(deviceID)},
                                {"security_token", plat::Value(secret)}};
    DAVInstanceIDLoggerDebug(7006, "Checkin parameters: %@", plat::Value(parameters).description());
    return parameters;
}

void DAVInstanceIDCheckinService::checkinWithExistingCheckin(
    std::shared_ptr<const DAVInstanceIDCheckinPreferences> existing, Completion completion) {
    plat::URLRequest request(plat::URL::parse(std::string(deployment::kInstanceIdURL) + "/checkin"));
    request.setHTTPMethod("POST");
    request.setValue("application/json", "content-type");
    const auto body =
        plat::JSONSerialization::data(plat::Value(checkinParametersWithExistingCheckin(existing.get())));
    request.setHTTPBody(body ? *body : plat::Data{});

    plat::URLSession::DataCompletion handler =
        [completion = std::move(completion)](std::optional<plat::Data> data,
                                             std::shared_ptr<const plat::HTTPURLResponse>,
                                             std::optional<plat::Error> error) {
            auto outcome = checkinFromReply(data, error);
            if (outcome) {
                completion(std::move(*outcome), std::nullopt);
            } else {
                completion(nullptr, outcome.error());
            }
        };
    TestBlock testBlock;
    {
        auto& slot = checkinTestBlockSlot();
        std::lock_guard lock(slot.mutex);
        testBlock = slot.block;
    }
    if (testBlock) {
        DAVInstanceIDLoggerDebug(7005, "Test block set, will not hit the server");
        testBlock(request, std::move(handler));
        return;
    }
    // A stopped session refuses the task without ever calling its handler; the caller waits for an answer, so
    // it gets the cancellation at once instead.
    if (session_->isInvalidated()) {
        handler(std::nullopt, nullptr, plat::URLError::make(plat::NSURLErrorCancelled, request.url()));
        return;
    }
    session_->dataTask(request, std::move(handler))->resume();
}

void DAVInstanceIDCheckinService::stopFetching() {
    session_->invalidateAndCancel();
}

plat::Result<std::shared_ptr<DAVInstanceIDCheckinPreferences>>
DAVInstanceIDCheckinService::checkinFromReply(const std::optional<plat::Data>& data,
                                              const std::optional<plat::Error>& error) {
    if (error) {
        DAVInstanceIDLoggerDebug(7000, "Device checkin HTTP fetch error. Error Code: %ld", error->code);
        return *error;
    }
    const plat::Data bytes = data.value_or(plat::Data{});
    auto parsed = plat::JSONSerialization::jsonObject(std::span<const std::uint8_t>(bytes));
    if (!parsed) {
        DAVInstanceIDLoggerDebug(7001, "Error serializing json object. Error Code: %ld", parsed.error().code);
        return parsed.error();
    }
    // A reply that is no object has no device ID either.
    static const plat::Dictionary kNoMembers;
    const plat::Dictionary* reply = parsed->ifDictionary();
    if (!reply) {
        reply = &kNoMembers;
    }
    const std::string deviceID = checkinReplyCredential(reply->find("android_id"));
    const std::string secret = checkinReplyCredential(reply->find("security_token"));
    if (deviceID.empty()) {
        return errorWithDAVInstanceIDErrorCode(kCheckinReplyWithoutDeviceIDCode);
    }
    std::int64_t timestamp = 0;
    if (const auto* time = reply->find("time_msec"); time && time->isInteger()) {
        timestamp = time->integerValue();
    }
    const std::int64_t now = DAVInstanceIDNowMilliseconds();
    if (timestamp > now) {
        DAVInstanceIDLoggerDebug(7002, "Invalid last checkin timestamp in future.");
        timestamp = now;
    }
    const std::string deviceDataVersion = checkinReplyString(*reply, "device_data_version_info");
    const std::string digest = checkinReplyString(*reply, "digest");
    DAVInstanceIDLoggerDebug(7003,
                             "Checkin successful with authId: %@, digest: %@, lastCheckinTimestamp: %lld",
                             deviceID, digest, timestamp);
    const std::string versionInfo = checkinReplyString(*reply, "version_info");

    plat::Dictionary servicesData;
    if (const auto* settings = reply->find("setting"); settings && settings->isArray()) {
        for (const auto& entry : settings->asArray()) {
            const auto* name = entry.find("name");
            const auto* value = entry.find("value");
            if (name && value && name->isString()) {
                servicesData.set(name->asString(), *value);
            }
        }
    }
    auto preferences = std::make_shared<DAVInstanceIDCheckinPreferences>(deviceID, secret);
    preferences->updateWithCheckinPlistContents(
        plat::Dictionary{{kDAVInstanceIDCheckinDigestKey, plat::Value(digest)},
                         {kDAVInstanceIDCheckinVersionInfoKey, plat::Value(versionInfo)},
                         {kDAVInstanceIDCheckinLastCheckinTimestampKey, plat::Value(timestamp)},
                         {kDAVInstanceIDCheckinGServicesDataKey, plat::Value(servicesData)},
                         {kDAVInstanceIDCheckinDeviceDataVersionKey, plat::Value(deviceDataVersion)}});
    return preferences;
}
