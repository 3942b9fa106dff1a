#pragma once
// The kit host's back ends: the settings service on settings.example.test
// ("GET /spi/v2/platforms/ios/apps/<id>/settings") and the onboarding service on api.example.test
// ("POST /spi/v1/platforms/ios/apps", "PUT /spi/v1/platforms/ios/apps/<id>"), over a registry of apps keyed by
// API key and bundle identifier. Every request needs "X-Vuzidorazav-API-Key" (401 without) and a developer
// token of 40 lower-case hex digits (403 otherwise). The settings document is made from
// fixtures/kit_settings.json: "app"."status" is "new" for an unknown app, else "activated", with
// "update_required" true when the query's instance, build or display version differ from the registered
// ones. Onboarding forms are parsed (400 when malformed) and recorded for tests; an update of an unknown app
// is 404. Tests script faults by adding routes of their own, which take precedence.

#include "devserver/MultipartForm.hpp"
#include "devserver/Route.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devserver {

class Server;

inline constexpr const char* kKitSettingsHost = "settings.example.test";
inline constexpr const char* kKitApiHost = "api.example.test";
inline constexpr const char* kKitSettingsPathPrefix = "/spi/v2/platforms/ios/apps/";
inline constexpr const char* kKitAppsPath = "/spi/v1/platforms/ios/apps";

// The settings document before the app's own members are filled in (fixtures/kit_settings.json).
const std::string& kitSettingsTemplate();

class KitHostService {
public:
    struct App {
        std::string apiKey;
        std::string identifier;
        std::string instance;
        std::string buildVersion;
        std::string displayVersion;
    };
    // One onboarding request as the service saw it.
    struct Onboarding {
        std::string method;
        std::string path;
        int status = 0;
        std::string problem;           // why a malformed body was refused
        std::optional<ParsedForm> form; // none when malformed
    };

    void registerApp(App app);
    std::optional<App> app(const std::string& apiKey, const std::string& identifier) const;
    std::vector<App> apps() const;
    std::vector<Onboarding> onboardings() const;

    Reply settings(const RecordedRequest& request);
    Reply createApp(const RecordedRequest& request);
    Reply updateApp(const RecordedRequest& request);

private:
    Reply onboard(const RecordedRequest& request, std::optional<std::string> updatedIdentifier);

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, App> apps_;
    std::vector<Onboarding> onboardings_;
};

std::shared_ptr<KitHostService> installKitHostRoutes(Server& server);

} // namespace devserver
