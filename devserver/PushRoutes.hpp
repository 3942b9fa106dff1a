#pragma once
// The push service's REST interface on push.example.test under "/api/v1/": the app's remote parameters,
// players (create, session, update with tag merging, tags read-back, focus time, purchases, e-mail
// logout) and notifications (post, opened report), over an in-memory store that tests read back. Any
// answer can be scripted for the next matching request (status, body, delay, dropped connection).

#include "devserver/Route.hpp"

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace devserver {

class Server;

inline constexpr const char* kPushHost = "push.example.test";
inline constexpr const char* kPushApiPrefix = "/api/v1/";

// The push service's store and script. Shared by the handlers of one install, which the server may run on
// several threads at once.
class PushService {
public:
    // The player's record as JSON text (its fields, "tags" merged over time); none for an unknown id.
    std::optional<std::string> player(const std::string& id) const;
    std::vector<std::string> playerIds() const;
    // What happened to a player, oldest first: "create", "on_session", "update", "on_focus",
    // "on_purchase", "email_logout".
    std::vector<std::string> playerEvents(const std::string& id) const;
    // The posted notification as JSON text, with "opened" once a report came; none for an unknown id.
    std::optional<std::string> notification(const std::string& id) const;
    std::vector<std::string> notificationIds() const;

    // The next request whose method (empty: any) and path below "/api/v1/" (a prefix, e.g. "players/")
    // match gets `reply` instead of the service's answer; scripts are used once, oldest first.
    void scriptNext(std::string method, std::string pathPrefix, Reply reply);
    // The service's answer, or a script's.
    Reply answer(const RecordedRequest& request);

private:
    struct Player;
    struct Script {
        std::string method;
        std::string pathPrefix;
        Reply reply;
    };
    std::optional<Reply> takeScript(const std::string& method, const std::string& path);
    Reply serve(const std::string& method, const std::vector<std::string>& segments, const std::string& query,
                const std::string& body);

    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Player>> players_;
    std::map<std::string, std::string> notifications_; // id -> JSON text
    std::deque<Script> scripts_;
    uint64_t issuedPlayers_ = 0;
    uint64_t issuedNotifications_ = 0;
};

// Installs the routes; the returned service is the store and script of this install.
std::shared_ptr<PushService> installPushRoutes(Server& server);

} // namespace devserver
