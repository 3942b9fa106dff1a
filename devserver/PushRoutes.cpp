#include "devserver/PushRoutes.hpp"

#include "devserver/FormEncoding.hpp"
#include "devserver/Server.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace devserver {

struct PushService::Player {
    nlohmann::json record = nlohmann::json::object();
    std::vector<std::string> events;
};

namespace {

using nlohmann::json;

// The path below the API prefix, split at '/', each segment decoded. A trailing '/' gives an empty last
// segment, so "players/" is not "players".
std::vector<std::string> segmentsOf(std::string_view path) {
    std::vector<std::string> segments;
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('/', start);
        segments.push_back(percentDecode(path.substr(start, slash - start)));
        if (slash == std::string_view::npos) {
            return segments;
        }
        start = slash + 1;
    }
}

std::string queryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const size_t eq = pair.find('=');
        if (percentDecode(pair.substr(0, eq)) == name) {
            return eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1));
        }
    }
    return {};
}

Reply jsonReply(int status, const json& body) {
    return Reply::json(status, body.dump());
}

Reply error(int status, std::string message) {
    return jsonReply(status, json{{"errors", json::array({std::move(message)})}});
}

// The request's JSON object; none when the body is not one.
std::optional<json> bodyObject(const std::string& body) {
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return std::nullopt;
    }
    return parsed;
}

bool hasAppId(const json& object) {
    auto it = object.find("app_id");
    return it != object.end() && it->is_string() && !it->get<std::string>().empty();
}

// Fields replace the record's; "tags" merge key by key, and a tag set to "" is deleted.
void merge(json& record, const json& update) {
    for (const auto& [key, value] : update.items()) {
        if (key != "tags" || !value.is_object()) {
            record[key] = value;
            continue;
        }
        json& tags = record["tags"];
        if (!tags.is_object()) {
            tags = json::object();
        }
        for (const auto& [tag, tagValue] : value.items()) {
            if (tagValue.is_string() && tagValue.get<std::string>().empty()) {
                tags.erase(tag);
            } else {
                tags[tag] = tagValue;
            }
        }
    }
}

// Predictable ids keep recorded runs comparable; `kind` keeps players' and notifications' apart.
std::string issueId(unsigned kind, uint64_t counter) {
    char id[64];
    std::snprintf(id, sizeof id, "%08x-0000-4000-8000-%012llx", kind, static_cast<unsigned long long>(counter));
    return id;
}

} // namespace

std::optional<std::string> PushService::player(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto it = players_.find(id);
    return it == players_.end() ? std::nullopt : std::optional(it->second->record.dump());
}

std::vector<std::string> PushService::playerIds() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const auto& entry : players_) {
        ids.push_back(entry.first);
    }
    return ids;
}

std::vector<std::string> PushService::playerEvents(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto it = players_.find(id);
    return it == players_.end() ? std::vector<std::string>() : it->second->events;
}

std::optional<std::string> PushService::notification(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto it = notifications_.find(id);
    return it == notifications_.end() ? std::nullopt : std::optional(it->second);
}

std::vector<std::string> PushService::notificationIds() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const auto& entry : notifications_) {
        ids.push_back(entry.first);
    }
    return ids;
}

void PushService::scriptNext(std::string method, std::string pathPrefix, Reply reply) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(Script{std::move(method), std::move(pathPrefix), std::move(reply)});
}

std::optional<Reply> PushService::takeScript(const std::string& method, const std::string& path) {
    std::lock_guard lock(mutex_);
    for (auto it = scripts_.begin(); it != scripts_.end(); ++it) {
        if ((it->method.empty() || it->method == method) && path.compare(0, it->pathPrefix.size(), it->pathPrefix) == 0) {
            Reply reply = std::move(it->reply);
            scripts_.erase(it);
            return reply;
        }
    }
    return std::nullopt;
}

Reply PushService::answer(const RecordedRequest& request) {
    const std::string path = request.path.substr(std::string_view(kPushApiPrefix).size());
    if (auto scripted = takeScript(request.method, path)) {
        return std::move(*scripted);
    }
    return serve(request.method, segmentsOf(path), request.query, request.body);
}

Reply PushService::serve(const std::string& method, const std::vector<std::string>& segments,
                         const std::string& query, const std::string& body) {
    const size_t n = segments.size();
    const auto& first = segments[0];

    if (method == "GET" && n == 3 && first == "apps" && !segments[1].empty() && segments[2] == "ios_params.js") {
        return jsonReply(200, json{{"fba", false}, {"require_email_auth", false}, {"uses_provisional_auth", false}});
    }

    if (first == "notifications") {
        std::lock_guard lock(mutex_);
        if (method == "POST" && n == 1) {
            auto object = bodyObject(body);
            if (!object || !hasAppId(*object)) {
                return error(400, "app_id not found");
            }
            const std::string id = issueId(0xb, ++issuedNotifications_);
            notifications_[id] = object->dump();
            size_t recipients = 0;
            for (const auto& entry : players_) {
                recipients += entry.second->record.value("app_id", std::string()) == (*object)["app_id"];
            }
            return jsonReply(200, json{{"id", id}, {"recipients", recipients}});
        }
        if (method == "PUT" && n == 2) {
            auto it = notifications_.find(segments[1]);
            if (it == notifications_.end()) {
                return error(404, "notification not found");
            }
            auto update = bodyObject(body);
            if (!update || !hasAppId(*update)) {
                return error(400, "app_id not found");
            }
            json stored = json::parse(it->second);
            stored["opened"] = update->value("opened", false);
            it->second = stored.dump();
            return jsonReply(200, json{{"success", true}});
        }
        return error(404, "no such route");
    }

    if (first != "players") {
        return error(404, "no such route");
    }
    std::lock_guard lock(mutex_);
    if (method == "POST" && n == 1) {
        auto object = bodyObject(body);
        if (!object || !hasAppId(*object)) {
            return error(400, "app_id not found");
        }
        const std::string id = issueId(0xa, ++issuedPlayers_);
        auto player = std::make_shared<Player>();
        merge(player->record, *object);
        player->events.push_back("create");
        players_[id] = player;
        return jsonReply(200, json{{"success", true}, {"id", id}});
    }
    if (n < 2 || segments[1].empty()) {
        return error(404, "no such route");
    }
    auto found = players_.find(segments[1]);
    if (found == players_.end()) {
        return error(404, "player not found");
    }
    Player& player = *found->second;
    if (method == "GET" && n == 2) {
        if (queryValue(query, "app_id").empty()) {
            return error(400, "app_id not found");
        }
        return jsonReply(200, json{{"tags", player.record.value("tags", json::object())}});
    }
    auto object = bodyObject(body);
    if (!object) {
        return error(400, "the body is not a JSON object");
    }
    if (method == "PUT" && n == 2) {
        merge(player.record, *object);
        player.events.push_back("update");
        return jsonReply(200, json{{"success", true}});
    }
    if (method == "POST" && n == 3) {
        const std::string& action = segments[2];
        if (action == "on_session") {
            merge(player.record, *object);
            player.record["session_count"] = player.record.value("session_count", 1) + 1;
        } else if (action == "on_focus") {
            if (object->contains("active_time") && (*object)["active_time"].is_number()) {
                player.record["active_time"] =
                    player.record.value("active_time", 0.0) + (*object)["active_time"].get<double>();
            }
        } else if (action == "on_purchase") {
            json& purchases = player.record["purchases"];
            if (!purchases.is_array()) {
                purchases = json::array();
            }
            for (const auto& purchase : object->value("purchases", json::array())) {
                purchases.push_back(purchase);
            }
        } else if (action == "email_logout") {
            player.record.erase("parent_player_id");
            player.record.erase("email");
        } else {
            return error(404, "no such route");
        }
        player.events.push_back(action);
        return jsonReply(200, json{{"success", true}, {"id", found->first}});
    }
    return error(404, "no such route");
}

std::shared_ptr<PushService> installPushRoutes(Server& server) {
    auto service = std::make_shared<PushService>();
    Route route;
    route.host = kPushHost;
    route.path = kPushApiPrefix;
    route.match = PathMatch::Prefix;
    route.handler = [service](const RecordedRequest& request) { return service->answer(request); };
    server.route(std::move(route));
    return service;
}

} // namespace devserver
