#include "devserver/BetaRoutes.hpp"

#include "devserver/Server.hpp"

#include <nlohmann/json.hpp>

#include <string_view>

namespace devserver {

void BetaService::setUpdate(std::optional<Update> update) {
    std::lock_guard lock(mutex_);
    update_ = std::move(update);
}

void BetaService::scriptNext(Reply reply) {
    std::lock_guard lock(mutex_);
    scripted_.push_back(std::move(reply));
}

std::vector<RecordedRequest> BetaService::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

Reply BetaService::answer(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (!std::string_view(request.path).ends_with("/beta_update_check"))
        return Reply::json(404, R"({"error":"no such beta endpoint"})");
    if (!scripted_.empty()) {
        Reply reply = std::move(scripted_.front());
        scripted_.pop_front();
        return reply;
    }
    if (!update_)
        return Reply::json(404, "{}");
    nlohmann::json body{{"url", update_->url}};
    if (update_->versionString)
        body["version_string"] = *update_->versionString;
    return Reply::json(200, body.dump());
}

std::shared_ptr<BetaService> installBetaRoutes(Server& server) {
    auto service = std::make_shared<BetaService>();
    Route route;
    route.method = "GET";
    route.host = kBetaHost;
    route.path = kBetaPathPrefix;
    route.match = PathMatch::Prefix;
    route.handler = [service](const RecordedRequest& request) { return service->answer(request); };
    server.route(std::move(route));
    return service;
}

} // namespace devserver
