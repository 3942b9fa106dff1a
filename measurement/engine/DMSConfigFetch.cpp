// The configuration fetch: a conditional GET of this app's configuration, the reply judged by its status, the
// update time stored in one transaction and a new configuration applied in a second, so that a refused body
// leaves the configuration in force.

#include "core/DVUNetwork.hpp"
#include "deployment/Deployment.hpp"
#include "measurement/audiences/DMSAudience.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMeasurementNetworkBridge.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Clock.hpp"

namespace {

// One path segment: RFC 3986 unreserved characters and ":" stay, everything else is escaped, "/" included.
std::string configFetchPathSegment(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == ':';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string configFetchBodyText(const plat::Data& body) {
    return plat::format("%zu bytes", body.size());
}

} // namespace

std::optional<std::string> DMSMeasurement::remoteConfigURLWithAppID(const std::string& appID,
                                                                    const std::optional<std::string>& appInstanceID,
                                                                    const std::optional<std::string>& platform,
                                                                    int64_t sdkVersion) {
    if (!appInstanceID || !platform) {
        monitor().logWithLevel(1, 29010,
                               "Cannot create a URL to fetch a configuration with empty app instance ID or empty "
                               "platform (app instance, platform)",
                               appInstanceID ? plat::Value(*appInstanceID) : plat::Value(),
                               platform ? plat::Value(*platform) : plat::Value());
        return std::nullopt;
    }
    plat::Dictionary query;
    query.set("app_instance_id", plat::Value(*appInstanceID));
    query.set("platform", plat::Value(*platform));
    query.set("rmp_version", plat::Value(sdkVersion));
    return std::string(deployment::kMeasurementURL) + "/config/app/" + configFetchPathSegment(appID) + "?" +
           dms_queryString(query);
}

void DMSMeasurement::fetchRemoteConfig() {
    auto& log = monitor();
    auto& config = remoteConfig();
    DMSIdentity* identity = identity_.load();
    std::optional<std::string> url;
    if (identity) {
        url = remoteConfigURLWithAppID(appID_, identity->appInstanceID(), std::string("ios"),
                                       DMSIdentity::vivEduzavedovoLibraryVersion());
    }
    auto parsed = url ? plat::URL::parse(*url) : std::nullopt;
    if (!parsed || !network_) {
        log.logWithLevel(1, 23125, "Unable to get configuration. Invalid server URL.");
        return;
    }
    log.logWithLevel(7, 23126, "Fetching configuration from the server");
    plat::Dictionary headers;
    if (persistedConfig_) {
        auto lastModified = persistedConfig_->configServerLastModifiedString();
        if (lastModified && lastModified->isString() && !lastModified->asString().empty()) {
            headers.set("If-Modified-Since", *lastModified);
        }
    }
    isNetworkRequestPending_ = true;
    network_->setTimeoutInterval(config.networkTimeout());
    std::weak_ptr<DMSMeasurementNetworkBridge> bridge = networkBridge();
    network_->getURL(parsed, headers, scheduler_->workerQueue(), config.isNetworkBackgroundSessionEnabled(),
                     [bridge](std::shared_ptr<const plat::HTTPURLResponse> response, std::optional<plat::Data> data,
                              std::optional<plat::Error> error) {
                         auto strong = bridge.lock();
                         if (!strong || !strong->controller()) {
                             return;
                         }
                         strong->controller()->isNetworkRequestPending_ = false;
                         strong->controller()->networkRemoteConfigFetchCompletionHandler(response, data, error);
                     });
}

void DMSMeasurement::storeRemoteConfigUpdateTimeOnWorkerQueue(int64_t failureCode) {
    const double now = plat::Clock::now();
    const bool stored = database_ && database_->performTransaction([&] {
        plat::Error error;
        if (!database_->updateRemoteConfigSuccessfulTimestamp(now, &error)) {
            monitor().logWithLevel(1, failureCode,
                                   "Unable to update the configuration last set timestamp in database. Error", error);
            return false;
        }
        return true;
    });
    if (stored) {
        suspendedUploadTimestamp_ = 0;
        return;
    }
    // With the uptime unknown a suspension would never end for this process.
    const double uptime = plat::Clock::uptime();
    suspendedUploadTimestamp_ = uptime >= 0 ? uptime : 0;
}

bool DMSMeasurement::applyRemoteConfigBodyOnWorkerQueue(const plat::Data& body) {
    auto& log = monitor();
    auto message = DMSPBMeasurementConfig::initWithBuffer(body);
    if (!message) {
        log.logWithLevel(1, 23135, "Configuration data is invalid.");
        return false;
    }
    DMSIdentity* identity = identity_.load();
    const auto expected = identity ? identity->appIDFromRMP() : std::nullopt;
    if (NANOGetString(message, DMSPBMeasurementConfig::kAppID) != expected || !expected) {
        log.logWithLevel(1, 23136, "Configuration does not have valid Razoza App ID.");
        return false;
    }
    const plat::Array audiences =
        NANOGetArray(message, DMSPBMeasurementConfig::kAudiences, &DMSPBAudience::messageClass()).value_or(plat::Array());
    if (!audience_ || !audience_->updateAudiences(audiences)) {
        log.logWithLevel(1, 23137, "Failed to update audiences with new server configuration",
                         plat::Value(configFetchBodyText(body)));
        return false;
    }
    // Audience definitions live in the filter tables only, never in the stored configuration.
    NANOClearField(message, DMSPBMeasurementConfig::kAudiences);
    DMSRemoteConfig* own = ownRemoteConfig();
    if (!own || !own->updateMeasurementConfig(DMSMeasurementConfigFieldsFromMessage(message))) {
        log.logWithLevel(1, 23138, "Failed to update configuration with new server configuration",
                         plat::Value(configFetchBodyText(body)));
        return false;
    }
    return true;
}

void DMSMeasurement::networkRemoteConfigFetchCompletionHandler(
    const std::shared_ptr<const plat::HTTPURLResponse>& response, const std::optional<plat::Data>& data,
    const std::optional<plat::Error>& error) {
    auto& log = monitor();
    const int status = response ? response->statusCode() : 0;
    const double now = plat::Clock::now();
    log.logWithLevel(7, 23127, "Fetched configuration. Status code", plat::Value(int64_t{status}));
    if (status == 200 || status == 204 || status == 304 || status == 404) {
        const auto lastModified = response->value("Last-Modified");
        const bool hasBody = (status == 200 || status == 204) && data && !data->empty();
        // A body that is then refused must not leave its "Last-Modified" behind: every later request would be
        // answered 304 and that configuration never fetched again.
        if (persistedConfig_ && !hasBody) {
            persistedConfig_->setConfigServerLastModifiedString(lastModified);
        }
        if (persistedConfig_) {
            persistedConfig_->setLastFailedUploadTimestamp(0);
            persistedConfig_->setLastBackoffTimestamp(0);
        }
        if (status == 404 || status == 304) {
            if (status == 404) {
                log.logWithLevel(3, 23130, "Configuration not found. Using default configuration");
            } else {
                log.logWithLevel(7, 23131, "Configuration has not been modified. Using the same configuration. Code",
                                 plat::Value(int64_t{status}));
            }
            storeRemoteConfigUpdateTimeOnWorkerQueue(23132);
        } else {
            log.logWithLevel(7, 23133, "Successful fetched configuration from the server. Got network response. Code, size",
                             plat::Value(int64_t{status}), plat::Value(response->expectedContentLength()));
            storeRemoteConfigUpdateTimeOnWorkerQueue(23134);
            if (hasBody && database_ &&
                database_->performTransaction([&] { return applyRemoteConfigBodyOnWorkerQueue(*data); }) &&
                persistedConfig_) {
                persistedConfig_->setConfigServerLastModifiedString(lastModified);
            }
        }
        uploadDataOrRegisterAlarm();
        return;
    }
    const plat::Value errorText = error ? plat::Value(error->localizedDescription()) : plat::Value();
    log.logWithLevel(7, 23128, "Unable to get the configuration from server. Network request failed. Code, Error",
                     plat::Value(int64_t{status}), errorText);
    if (persistedConfig_) {
        persistedConfig_->setLastFailedUploadTimestamp(now);
        if (status == 503 || status == 429) {
            persistedConfig_->setLastBackoffTimestamp(now);
        }
    }
    log.logWithLevel(7, 23129, "Network fetch failed. Will retry later. Code, error", plat::Value(int64_t{status}),
                     errorText);
    updateSchedule();
}
