#include "devserver/InstanceIdRoutes.hpp"

#include "devserver/FormEncoding.hpp"
#include "devserver/Server.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

namespace devserver {

namespace {

using nlohmann::json;

int64_t iidNowMsec() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A credential from the request: a JSON integer (or digits in a string); 0 otherwise.
int64_t iidCredential(const json& request, const char* key) {
    auto it = request.find(key);
    if (it == request.end()) {
        return 0;
    }
    if (it->is_number_integer()) {
        return it->get<int64_t>();
    }
    if (it->is_string()) {
        const std::string text = it->get<std::string>();
        int64_t value = 0;
        if (std::from_chars(text.data(), text.data() + text.size(), value).ptr == text.data() + text.size()) {
            return value;
        }
    }
    return 0;
}

Reply iidText(int status, std::string body) {
    return Reply::text(status, std::move(body));
}

} // namespace

std::vector<InstanceIdService::Device> InstanceIdService::devices() const {
    std::lock_guard lock(mutex_);
    std::vector<Device> out;
    for (const auto& [id, device] : devices_) {
        out.push_back(device);
    }
    return out;
}

std::optional<InstanceIdService::Device> InstanceIdService::device(int64_t id) const {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(id);
    if (found == devices_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<InstanceIdService::Registration> InstanceIdService::registrations() const {
    std::lock_guard lock(mutex_);
    return registrations_;
}

int64_t InstanceIdService::newCredential() {
    // Positive, 63 bits and above 2^53: a client that passes them through a double loses digits.
    return static_cast<int64_t>((random_() >> 2) | (uint64_t{1} << 61));
}

Reply InstanceIdService::checkin(const RecordedRequest& request) {
    const json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("checkin") ||
        !body["checkin"].is_object() || !body.contains("version") || body["version"] != 2) {
        return Reply::json(
            400,
            json{{"error", "a check-in request is a JSON object with \"checkin\" and \"version\" 2"}}.dump());
    }
    const int64_t id = iidCredential(body, "id");
    const int64_t secret = iidCredential(body, "security_token");
    std::lock_guard lock(mutex_);
    Device* device = nullptr;
    if (auto found = devices_.find(id);
        id != 0 && found != devices_.end() && found->second.securityToken == secret) {
        device = &found->second;
    } else {
        Device fresh;
        do {
            fresh.id = newCredential();
        } while (devices_.count(fresh.id));
        fresh.securityToken = newCredential();
        char digest[64];
        std::snprintf(digest, sizeof digest, "digest-%llu", static_cast<unsigned long long>(++issued_));
        fresh.digest = digest;
        device = &devices_.emplace(fresh.id, fresh).first->second;
    }
    device->lastCheckinMsec = iidNowMsec();
    ++device->checkins;
    const json reply{{"android_id", device->id},
                     {"security_token", device->securityToken},
                     {"time_msec", device->lastCheckinMsec},
                     {"digest", device->digest},
                     {"version_info", "devserver-iid-1"},
                     {"device_data_version_info", "devserver-data-1"},
                     {"stats_ok", true},
                     {"setting", json::array({json{{"name", "gcm_secure_port"}, {"value", "5228"}},
                                              json{{"name", "checkin_interval"}, {"value", "604800"}},
                                              json{{"name", "iid_refresh"}, {"value", "0"}}})}};
    return Reply::json(200, reply.dump());
}

Reply InstanceIdService::registerToken(const RecordedRequest& request) {
    // "AidLogin <device>:<secret>" naming a known device.
    const std::string auth = request.header("Authorization");
    const std::string prefix = "AidLogin ";
    int64_t id = 0;
    int64_t secret = 0;
    bool authorized = false;
    if (auth.rfind(prefix, 0) == 0) {
        const std::string credentials = auth.substr(prefix.size());
        const size_t colon = credentials.find(':');
        if (colon != std::string::npos) {
            const char* idEnd = credentials.data() + colon;
            const char* secretEnd = credentials.data() + credentials.size();
            authorized = std::from_chars(credentials.data(), idEnd, id).ptr == idEnd &&
                         std::from_chars(idEnd + 1, secretEnd, secret).ptr == secretEnd;
        }
    }
    std::lock_guard lock(mutex_);
    auto found = devices_.find(id);
    if (!authorized || found == devices_.end() || found->second.securityToken != secret) {
        return iidText(401, "Error=AUTHENTICATION_FAILED");
    }
    const std::string deviceID = std::to_string(id);
    auto items = formItems(request.body);
    auto item = [&items](const char* name) -> std::optional<std::string> {
        auto it = items.find(name);
        return it == items.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const std::string identity = item("appid").value_or("");
    if (item("delete") == "true") {
        const auto sender = item("sender");
        const auto scope = item("X-scope");
        const bool wholeIdentity = item("iid-operation") == "delete";
        std::erase_if(registrations_, [&](const Registration& r) {
            if (r.device != deviceID) {
                return false;
            }
            if (wholeIdentity) {
                return r.identity == identity;
            }
            if (sender) {
                return r.identity == identity && r.sender == *sender && (!scope || r.scope == *scope);
            }
            return true;
        });
        return iidText(200, "deleted=" + (wholeIdentity || sender ? identity : deviceID));
    }
    const auto sender = item("sender");
    const auto subtype = item("X-subtype");
    if (!sender || sender->empty() || !subtype || identity.empty() || item("app") != request.header("app")) {
        return iidText(400, "Error=INVALID_PARAMETERS");
    }
    const std::string scope = item("X-scope").value_or("");
    const std::string apns = item("apns_token").value_or("");
    for (const auto& r : registrations_) {
        if (r.device == deviceID && r.identity == identity && r.sender == *sender && r.scope == scope &&
            r.apnsToken == apns) {
            return iidText(200, "token=" + r.token);
        }
    }
    char token[96];
    std::snprintf(token, sizeof token, "%s:APA91b%016llx", identity.c_str(),
                  static_cast<unsigned long long>(random_()));
    registrations_.push_back({deviceID, identity, *sender, scope, apns, token});
    return iidText(200, std::string("token=") + token);
}

std::shared_ptr<InstanceIdService> installInstanceIdRoutes(Server& server) {
    auto service = std::make_shared<InstanceIdService>();
    Route checkin;
    checkin.method = "POST";
    checkin.host = kInstanceIdHost;
    checkin.path = "/checkin";
    checkin.handler = [service](const RecordedRequest& request) { return service->checkin(request); };
    server.route(std::move(checkin));
    Route registration;
    registration.method = "POST";
    registration.host = kInstanceIdHost;
    registration.path = "/iid/register";
    registration.handler = [service](const RecordedRequest& request) {
        return service->registerToken(request);
    };
    server.route(std::move(registration));
    return service;
}

} // namespace devserver
