#include "devserver/KitHostRoutes.hpp"

#include "devserver/FormEncoding.hpp"
#include "devserver/Server.hpp"

#include <nlohmann/json.hpp>


namespace devserver {
// Generated from fixtures/kit_settings.json when CMake configures.
std::string kitSettingsTemplateText();
} // namespace devserver

namespace devserver {

namespace {

using ordered_json = nlohmann::ordered_json;

bool isDeveloperToken(const std::string& token) {
    return token.size() == 40 &&
           token.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// 401 without an API key, 403 without a well-formed developer token; none when both are there.
std::optional<Reply> kitRefusal(const RecordedRequest& request) {
    if (request.header("x-vuzidorazav-api-key").empty())
        return Reply::json(401, R"({"error":"missing API key"})");
    if (!isDeveloperToken(request.header("x-vuzidorazav-developer-token")))
        return Reply::json(403, R"({"error":"invalid developer token"})");
    return std::nullopt;
}

std::string kitPartText(const ParsedForm& form, std::string_view name) {
    const FormPart* part = form.part(name);
    return part ? part->body : std::string();
}

} // namespace

const std::string& kitSettingsTemplate() {
    static const std::string text = kitSettingsTemplateText();
    return text;
}

void KitHostService::registerApp(App app) {
    std::lock_guard lock(mutex_);
    auto key = std::make_pair(app.apiKey, app.identifier);
    apps_[std::move(key)] = std::move(app);
}

std::optional<KitHostService::App> KitHostService::app(const std::string& apiKey, const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    auto it = apps_.find({apiKey, identifier});
    if (it == apps_.end())
        return std::nullopt;
    return it->second;
}

std::vector<KitHostService::App> KitHostService::apps() const {
    std::lock_guard lock(mutex_);
    std::vector<App> all;
    for (const auto& [key, app] : apps_)
        all.push_back(app);
    return all;
}

std::vector<KitHostService::Onboarding> KitHostService::onboardings() const {
    std::lock_guard lock(mutex_);
    return onboardings_;
}

Reply KitHostService::settings(const RecordedRequest& request) {
    if (auto refused = kitRefusal(request))
        return *refused;
    std::string_view rest = std::string_view(request.path).substr(std::string_view(kKitSettingsPathPrefix).size());
    const std::string_view suffix = "/settings";
    if (!rest.ends_with(suffix) || rest.size() == suffix.size())
        return Reply::json(404, R"({"error":"no such settings"})");
    const std::string identifier = percentDecode(rest.substr(0, rest.size() - suffix.size()), false);
    auto query = formItems(request.query);
    auto known = app(request.header("x-vuzidorazav-api-key"), identifier);

    ordered_json document = ordered_json::parse(kitSettingsTemplate());
    ordered_json& appMembers = document["app"];
    if (!known) {
        appMembers["status"] = "new";
        appMembers["update_required"] = false;
    } else {
        appMembers["status"] = "activated";
        appMembers["update_required"] = query["instance"] != known->instance ||
                                        query["build_version"] != known->buildVersion ||
                                        query["display_version"] != known->displayVersion;
    }
    return Reply::json(200, document.dump());
}

Reply KitHostService::onboard(const RecordedRequest& request, std::optional<std::string> updatedIdentifier) {
    if (auto refused = kitRefusal(request))
        return *refused;
    Onboarding seen{request.method, request.path, 0, {}, std::nullopt};
    std::string problem;
    seen.form = parseMultipartForm(request, &problem);
    const std::string apiKey = request.header("x-vuzidorazav-api-key");
    Reply reply;
    if (!seen.form) {
        seen.problem = problem;
        reply = Reply::json(400, ordered_json{{"error", problem}}.dump());
    } else if (kitPartText(*seen.form, "app[identifier]").empty()) {
        seen.problem = "no app[identifier]";
        reply = Reply::json(400, R"({"error":"no app[identifier]"})");
    } else if (updatedIdentifier && !app(apiKey, *updatedIdentifier)) {
        reply = Reply::json(404, R"({"error":"no such app"})");
    } else {
        App registered{apiKey, kitPartText(*seen.form, "app[identifier]"),
                       kitPartText(*seen.form, "app[instance_identifier]"),
                       kitPartText(*seen.form, "app[build_version]"), kitPartText(*seen.form, "app[display_version]")};
        ordered_json answer{{"identifier", registered.identifier}, {"status", "activated"}};
        registerApp(std::move(registered));
        reply = Reply::json(updatedIdentifier ? 200 : 201, answer.dump());
    }
    seen.status = reply.status;
    std::lock_guard lock(mutex_);
    onboardings_.push_back(std::move(seen));
    return reply;
}

Reply KitHostService::createApp(const RecordedRequest& request) {
    return onboard(request, std::nullopt);
}

Reply KitHostService::updateApp(const RecordedRequest& request) {
    const std::string prefix = std::string(kKitAppsPath) + "/";
    return onboard(request, percentDecode(std::string_view(request.path).substr(prefix.size()), false));
}

std::shared_ptr<KitHostService> installKitHostRoutes(Server& server) {
    auto service = std::make_shared<KitHostService>();
    Route settings;
    settings.method = "GET";
    settings.host = kKitSettingsHost;
    settings.path = kKitSettingsPathPrefix;
    settings.match = PathMatch::Prefix;
    settings.handler = [service](const RecordedRequest& request) { return service->settings(request); };
    server.route(std::move(settings));
    Route create;
    create.method = "POST";
    create.host = kKitApiHost;
    create.path = kKitAppsPath;
    create.handler = [service](const RecordedRequest& request) { return service->createApp(request); };
    server.route(std::move(create));
    Route update;
    update.method = "PUT";
    update.host = kKitApiHost;
    update.path = std::string(kKitAppsPath) + "/";
    update.match = PathMatch::Prefix;
    update.handler = [service](const RecordedRequest& request) { return service->updateApp(request); };
    server.route(std::move(update));
    return service;
}

} // namespace devserver
